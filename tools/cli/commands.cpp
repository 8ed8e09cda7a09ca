// Account and item commands: one library call each.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli.h"

namespace orvelcli {
namespace {

constexpr const char16_t* kClientName = u"orvel-cli";
constexpr const char16_t* kClientVersion = u"1.0.0";

std::string DeviceId() {
    char host[256] = "unknown";
    ::gethostname(host, sizeof host - 1);
    return std::string("orvel-cli-") + host;
}

// Reads the password from the terminal without echo, or a line from stdin.
bool ReadPassword(bool fromStdin, std::string& password) {
    if (fromStdin) {
        if (!std::getline(std::cin, password)) return false;
        if (!password.empty() && password.back() == '\r') password.pop_back();
        return true;
    }
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr) return false;
    const int fd = ::fileno(tty);
    termios old{};
    const bool isTty = ::tcgetattr(fd, &old) == 0;
    if (isTty) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fputs("Password: ", tty);
    std::fflush(tty);
    char buffer[1024];
    const bool got = std::fgets(buffer, sizeof buffer, tty) != nullptr;
    if (isTty) ::tcsetattr(fd, TCSAFLUSH, &old);
    std::fputs("\n", tty);
    std::fclose(tty);
    if (!got) return false;
    password = buffer;
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) password.pop_back();
    return true;
}

void PrintDone(const Context& ctx, const nlohmann::json& j, const std::string& text) {
    if (ctx.json)
        PrintJson(j.dump());
    else
        std::cout << text << "\n";
}

}  // namespace

int CmdLogin(Context& ctx) {
    if (ctx.args.positional.size() != 1) return UsageError("usage: orvel login USER [--password-stdin]");
    const std::string user = ctx.args.positional[0];
    std::string password;
    if (!ReadPassword(ctx.args.Has("--password-stdin"), password))
        return UsageError("no password (use --password-stdin when there is no terminal)");

    SessionData s;
    s.user = user;
    s.deviceId = DeviceId();
    s.server = ctx.server;
    OutString userId, token, nick;
    const HRESULT hr = ORVEL_Login(Wide(user).c_str(), Wide(password).c_str(), Wide(s.deviceId).c_str(), kClientName,
                                   kClientVersion, &userId, &token, &nick);
    if (hr < 0) return Fail(ctx, "login", hr);
    s.userId = userId.str();
    s.token = token.str();
    s.nickName = nick.str();
    std::string error;
    if (!SaveSession(s, error)) {
        std::cerr << "orvel: " << error << "\n";
        return kExitFailure;
    }
    PrintDone(ctx, {{"user", user}, {"userId", s.userId}, {"nickName", s.nickName}},
              "Signed in as " + user + " (user id " + s.userId + ").");
    return kExitOk;
}

int CmdRelogin(Context& ctx) {
    auto s = RequireSession(ctx);
    if (!s) return kExitFailure;
    OutString token;
    const HRESULT hr = ORVEL_Relogin(Wide(s->token).c_str(), Wide(s->deviceId).c_str(), &token);
    if (hr < 0) return Fail(ctx, "relogin", hr);
    s->token = token.str();
    std::string error;
    if (!SaveSession(*s, error)) {
        std::cerr << "orvel: " << error << "\n";
        return kExitFailure;
    }
    PrintDone(ctx, {{"user", s->user}, {"renewed", true}}, "Session renewed for " + s->user + ".");
    return kExitOk;
}

int CmdLogout(Context& ctx) {
    // The service keeps no session for the library; forgetting the token is all.
    const bool removed = RemoveSession();
    PrintDone(ctx, {{"signedOut", removed}}, removed ? "Signed out." : "Not signed in.");
    return kExitOk;
}

int CmdSpace(Context& ctx) {
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    int64_t used = 0, total = 0;
    const HRESULT hr = session->Call([&](const char16_t* token) {
        return ORVEL_GetSpace(token, u"", Wide(session->Data().userId).c_str(), &used, &total);
    });
    if (hr < 0) return Fail(ctx, "space", hr);
    char text[128];
    std::snprintf(text, sizeof text, "%lld MiB used of %lld MiB (%.1f%%)", static_cast<long long>(used),
                  static_cast<long long>(total), total > 0 ? 100.0 * static_cast<double>(used) / total : 0.0);
    PrintDone(ctx, {{"usedMiB", used}, {"totalMiB", total}}, text);
    return kExitOk;
}

HRESULT MakeFolder(Session& session, const std::string& parentId, const std::string& name, std::string& id) {
    OutString out;
    const HRESULT hr = session.Call([&](const char16_t* token) {
        return ORVEL_NewFolder(token, Wide(parentId).c_str(), Wide(name).c_str(), &out);
    });
    // The taken name still hands back the existing item's id.
    id = out.str();
    return hr;
}

int CmdMkdir(Context& ctx) {
    const auto& p = ctx.args.positional;
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    const bool parents = ctx.args.Has("-p");
    std::string parentId = "0", detail, id;
    std::vector<std::string> names;
    if (p.size() == 2) {
        // PARENT NAME
        RemoteItem parent;
        const HRESULT hr = Resolve(*session, p[0], parent, detail);
        if (hr == E_INVALIDARG) return UsageError(detail);
        if (hr < 0) return Fail(ctx, "mkdir", hr, detail);
        parentId = parent.id;
        names.push_back(p[1]);
    } else if (IsPath(p[0])) {
        names = PathParts(p[0]);
        if (names.empty()) return UsageError("mkdir wants a folder to make, not /");
        if (!parents && names.size() > 1) {
            // Without -p the parent must exist already.
            std::string parentPath;
            for (size_t i = 0; i + 1 < names.size(); ++i) parentPath += "/" + names[i];
            RemoteItem parent;
            const HRESULT hr = Resolve(*session, parentPath, parent, detail);
            if (hr < 0) return Fail(ctx, "mkdir", hr, detail + " (-p makes missing parents)");
            parentId = parent.id;
            names.erase(names.begin(), names.end() - 1);
        }
    } else {
        names.push_back(p[0]);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        const HRESULT hr = MakeFolder(*session, parentId, names[i], id);
        if (hr == E_OV_TARGET_EXISTS && parents && !id.empty()) {
            // An existing folder is no error with -p; a file in the way is.
            RemoteItem existing;
            existing.id = id;
            if (FillKind(*session, existing) < 0 || existing.type != 0)
                return Fail(ctx, "mkdir", hr, names[i] + " exists and is not a folder");
        } else if (hr == E_OV_TARGET_EXISTS) {
            return Fail(ctx, "mkdir", hr, "existing id " + id);
        } else if (hr < 0) {
            return Fail(ctx, "mkdir", hr, names[i]);
        }
        if (!last) parentId = id;
    }
    PrintDone(ctx, {{"id", id}, {"name", names.back()}, {"parentId", parentId}}, id);
    return kExitOk;
}

// Resolves a command's ITEM argument, printing the failure.
std::optional<RemoteItem> ResolveArg(const Context& ctx, Session& session, const std::string& what,
                                     const std::string& arg, int& exitCode) {
    RemoteItem item;
    std::string detail;
    const HRESULT hr = Resolve(session, arg, item, detail);
    if (hr == E_INVALIDARG) {
        exitCode = UsageError(detail);
        return std::nullopt;
    }
    if (hr < 0) {
        exitCode = Fail(ctx, what, hr, detail);
        return std::nullopt;
    }
    return item;
}

int CmdRename(Context& ctx) {
    const auto& p = ctx.args.positional;
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    int rc = kExitFailure;
    auto item = ResolveArg(ctx, *session, "rename", p[0], rc);
    if (!item) return rc;
    const HRESULT hr = session->Call(
        [&](const char16_t* token) { return ORVEL_Rename(token, Wide(item->id).c_str(), Wide(p[1]).c_str()); });
    if (hr < 0) return Fail(ctx, "rename", hr);
    PrintDone(ctx, {{"id", item->id}, {"name", p[1]}}, "Renamed " + p[0] + " to " + p[1] + ".");
    return kExitOk;
}

int CmdMove(Context& ctx) {
    const auto& p = ctx.args.positional;
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    int rc = kExitFailure;
    auto item = ResolveArg(ctx, *session, "mv", p[0], rc);
    if (!item) return rc;
    auto parent = ResolveArg(ctx, *session, "mv", p[1], rc);
    if (!parent) return rc;
    const HRESULT hr = session->Call(
        [&](const char16_t* token) { return ORVEL_Move(token, Wide(item->id).c_str(), Wide(parent->id).c_str()); });
    if (hr < 0) return Fail(ctx, "mv", hr);
    PrintDone(ctx, {{"id", item->id}, {"parentId", parent->id}}, "Moved " + p[0] + " into " + p[1] + ".");
    return kExitOk;
}

namespace {

HRESULT DeleteOne(Session& session, const std::string& id) {
    return session.Call([&](const char16_t* token) { return ORVEL_Delete(token, Wide(id).c_str()); });
}

// Deletes a folder's contents depth first, then the folder; counts what went.
HRESULT DeleteTree(Session& session, const std::string& folderId, int depth, int& removed) {
    if (depth > 256) return E_FAIL;  // a service that answers with a cycle
    std::vector<Entry> entries;
    HRESULT hr = ListFolder(session, folderId, entries);
    if (hr < 0) return hr;
    for (const Entry& e : entries) {
        hr = e.type == 0 ? DeleteTree(session, e.id, depth + 1, removed) : DeleteOne(session, e.id);
        if (hr < 0) return hr;
        if (e.type != 0) ++removed;
    }
    hr = DeleteOne(session, folderId);
    if (hr >= 0) ++removed;
    return hr;
}

bool Confirm(const std::string& question) {
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int CmdRemove(Context& ctx) {
    const auto& p = ctx.args.positional;
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    int rc = kExitFailure;
    auto item = ResolveArg(ctx, *session, "rm", p[0], rc);
    if (!item) return rc;
    HRESULT hr = DeleteOne(*session, item->id);
    int removed = 1;
    if (hr == E_OV_FOLDER_NON_EMPTY && ctx.args.Has("-r")) {
        if (!ctx.args.Has("--yes") && !Confirm("orvel: remove the folder " + p[0] + " and everything in it?")) {
            std::cerr << "orvel: " << p[0] << " kept\n";
            return kExitFailure;
        }
        removed = 0;
        hr = DeleteTree(*session, item->id, 0, removed);
    }
    if (hr == E_OV_FOLDER_NON_EMPTY) return Fail(ctx, "rm", hr, "rm -r removes a folder with its contents");
    if (hr < 0) return Fail(ctx, "rm", hr);
    PrintDone(ctx, {{"id", item->id}, {"deleted", true}, {"items", removed}},
              removed > 1 ? "Deleted " + p[0] + " (" + std::to_string(removed) + " items)." : "Deleted " + p[0] + ".");
    return kExitOk;
}

}  // namespace orvelcli
