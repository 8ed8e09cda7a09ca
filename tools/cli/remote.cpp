// The session a command runs with, and items named by id or by path.
#include <deque>
#include <iostream>

#include "cli.h"

namespace orvelcli {

// ---- session -----------------------------------------------------------------

HRESULT Session::Call(const std::function<HRESULT(const char16_t* token)>& call) {
    HRESULT hr = call(Wide(m_data.token).c_str());
    if (hr != E_OV_CLIENT_TOKEN_EXPIRED || m_renewed) return hr;
    // Renewed once per run: a second refusal is the answer.
    m_renewed = true;
    OutString token;
    const HRESULT renewed = ORVEL_Relogin(Wide(m_data.token).c_str(), Wide(m_data.deviceId).c_str(), &token);
    if (renewed < 0) return hr;
    m_data.token = token.str();
    std::string error;
    if (!SaveSession(m_data, error)) std::cerr << "orvel: " << error << "\n";
    if (m_verbose) std::cerr << "orvel: the session had expired; renewed it\n";
    return call(Wide(m_data.token).c_str());
}

std::optional<Session> OpenSession(const Context& ctx) {
    auto data = RequireSession(ctx);
    if (!data) return std::nullopt;
    return Session(std::move(*data), ctx.verbose);
}

// ---- listings ----------------------------------------------------------------

namespace {

// Frees the list handle on every path.
struct FileListOwner {
    ORVEL_FILELIST h = nullptr;
    ~FileListOwner() {
        if (h != nullptr) ORVEL_DestoryFiles(h);
    }
};

HRESULT ReadEntries(ORVEL_FILELIST h, std::vector<Entry>& entries) {
    int count = 0;
    HRESULT hr = ORVEL_GetFilesNum(h, &count);
    if (hr < 0) return hr;
    for (unsigned i = 0; i < static_cast<unsigned>(count); ++i) {
        Entry e;
        OutString id, parent, name, modTime, sha1, version;
        if ((hr = ORVEL_GetFileType(h, i, &e.type)) < 0 || (hr = ORVEL_GetFileSize64(h, i, &e.size)) < 0 ||
            (hr = ORVEL_GetFileId(h, i, &id)) < 0 || (hr = ORVEL_GetParentId(h, i, &parent)) < 0 ||
            (hr = ORVEL_GetFileName(h, i, &name)) < 0 || (hr = ORVEL_GetModifyTime(h, i, &modTime)) < 0 ||
            (hr = ORVEL_GetFileSha1(h, i, &sha1)) < 0 || (hr = ORVEL_GetFileVersion(h, i, &version)) < 0)
            return hr;
        e.id = id.str();
        e.parentId = parent.str();
        e.name = name.str();
        e.modTime = modTime.str();
        e.sha1 = sha1.str();
        e.version = version.str();
        entries.push_back(std::move(e));
    }
    return S_OK;
}

}  // namespace

HRESULT ListFolder(Session& session, const std::string& folderId, std::vector<Entry>& entries) {
    entries.clear();
    FileListOwner list;
    HRESULT hr = session.Call([&](const char16_t* token) {
        if (list.h != nullptr) ORVEL_DestoryFiles(list.h), list.h = nullptr;
        return ORVEL_EnumFiles(token, Wide(folderId).c_str(), &list.h);
    });
    if (hr < 0) return hr;
    return ReadEntries(list.h, entries);
}

// ---- ids and paths -------------------------------------------------------------

std::vector<std::string> PathParts(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        std::string part(path.substr(start, slash - start));
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = slash + 1;
    }
    return parts;
}

bool IsId(std::string_view arg) {
    return !arg.empty() && arg.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsPath(std::string_view arg) { return !arg.empty() && arg[0] == '/'; }

std::string JoinPath(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

HRESULT Resolve(Session& session, const std::string& arg, RemoteItem& out, std::string& detail) {
    out = RemoteItem();
    if (IsId(arg)) {
        out.id = arg;
        out.type = arg == "0" ? 0 : -1;
        return S_OK;
    }
    if (!IsPath(arg)) {
        detail = "'" + arg + "' is neither an id nor a /path";
        return E_INVALIDARG;
    }
    out.id = "0";
    out.type = 0;
    out.path = "/";
    const std::vector<std::string> parts = PathParts(arg);
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (out.type != 0) {
            detail = out.path + " is not a folder";
            return E_OV_TARGET_NOT_EXISTS;
        }
        std::vector<Entry> entries;
        const HRESULT hr = ListFolder(session, out.id, entries);
        if (hr < 0) return hr;
        const Entry* found = nullptr;
        for (const Entry& e : entries)
            if (e.name == part && (found == nullptr || e.type == 0)) found = &e;
        out.path = JoinPath(out.path, part);
        if (found == nullptr) {
            detail = "no " + out.path;
            if (i + 1 == parts.size()) out.missingLastIn = out.id;
            return E_OV_TARGET_NOT_EXISTS;
        }
        out.parentId = out.id;
        out.id = found->id;
        out.type = found->type;
        out.name = found->name;
        out.size = found->size;
        out.entry = *found;
    }
    if (session.Verbose() && out.path != "/") std::cerr << "orvel: " << out.path << " is id " << out.id << "\n";
    return S_OK;
}

HRESULT FillKind(Session& session, RemoteItem& item) {
    if (item.type >= 0) return S_OK;
    // Only a folder can be listed; the service refuses a file's listing.
    std::vector<Entry> entries;
    const HRESULT hr = ListFolder(session, item.id, entries);
    if (hr >= 0) {
        item.type = 0;
        return S_OK;
    }
    // The service's refusal of a file's listing reaches the library's callers
    // as E_OV_SERVER_ERROR; any other failure says nothing about the kind.
    if (hr != E_OV_SERVER_ERROR) return hr;
    item.type = 1;
    return S_OK;
}

HRESULT FindById(Session& session, RemoteItem& item) {
    if (!item.name.empty() || item.id == "0") return S_OK;
    // No call reads one item by id: search the folders from the root, nearest first.
    std::deque<std::pair<std::string, std::string>> folders = {{"0", "/"}};
    constexpr int kMaxListings = 10000;
    for (int listed = 0; !folders.empty() && listed < kMaxListings; ++listed) {
        if (Interrupted()) return E_OV_CANCELLED;
        auto [folderId, folderPath] = folders.front();
        folders.pop_front();
        std::vector<Entry> entries;
        const HRESULT hr = ListFolder(session, folderId, entries);
        if (hr < 0) return hr;
        for (const Entry& e : entries) {
            if (e.id == item.id) {
                item.type = e.type;
                item.name = e.name;
                item.size = e.size;
                item.parentId = folderId;
                item.path = JoinPath(folderPath, e.name);
                return S_OK;
            }
            if (e.type == 0) folders.emplace_back(e.id, JoinPath(folderPath, e.name));
        }
    }
    return E_OV_TARGET_NOT_EXISTS;
}

}  // namespace orvelcli
