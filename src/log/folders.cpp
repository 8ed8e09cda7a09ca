#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "log/log.h"
#include "log/log_state.h"

using namespace orvel::logimpl;

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creation time where the file system records it, else the modification time (from st):
// a failed query must not make a file look ancient.
time_t CreationTime(int dirFd, const char* name, const struct stat& st) {
    struct statx sx {};
    if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
        return static_cast<time_t>(sx.stx_btime.tv_sec);
    return st.st_mtime;
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// "<stem>_YYYY_MM_DD<ext>": only the log's own daily files are ever removed, so a log folder
// pointed at a shared place (ORVEL_LOG_DIR) cannot cost anyone their files.
bool IsDailyLogName(std::string_view name, std::string_view stem, std::string_view ext) {
    if (name.size() <= stem.size() + ext.size() + 1) return false;
    if (name.substr(0, stem.size()) != stem || name[stem.size()] != '_') return false;
    if (name.substr(name.size() - ext.size()) != ext) return false;
    std::string_view date = name.substr(stem.size() + 1, name.size() - stem.size() - 1 - ext.size());
    const size_t a = date.find('_');
    const size_t b = a == std::string_view::npos ? a : date.find('_', a + 1);
    if (b == std::string_view::npos) return false;
    std::string_view month = date.substr(a + 1, b - a - 1), day = date.substr(b + 1);
    return AllDigits(date.substr(0, a)) && month.size() == 2 && AllDigits(month) && day.size() == 2 && AllDigits(day);
}

}  // namespace

HRESULT CreateFolderTree(std::string_view pathIn) {
    std::string path(pathIn);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty() || path == "/") return S_OK;  // the root always exists
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) break;
    }
    if (!IsDirectory(path)) {
        LogWrite(kLogLevelWarn, "ERROR_CHECK_BOOLEX:path.IsDirectory()", __FILE__, __LINE__);
        return E_FAIL;
    }
    return S_OK;
}

void CleanOldLogs() {
    const std::string base = LogBasePath();
    const size_t slash = base.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : base.substr(0, slash == 0 ? 1 : slash);
    const std::string file = slash == std::string::npos ? base : base.substr(slash + 1);
    const size_t dot = file.rfind('.');
    const std::string stem = dot == std::string::npos ? file : file.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : file.substr(dot);
    const time_t now = Now();

    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return;
    const int dirFd = ::dirfd(dir.get());
    while (dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (!IsDailyLogName(name, stem, ext)) continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        const time_t created = CreationTime(dirFd, entry->d_name, st);
        if (now - created > 86400) ::unlinkat(dirFd, entry->d_name, 0);  // errors are ignored
    }
}
