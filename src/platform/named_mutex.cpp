#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

std::string TrimSlashes(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

std::string TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return TrimSlashes((tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp");
}

// A folder only this user can enter: a real folder (not a link), owned by us,
// with no access for group or others.
bool IsPrivateFolder(const std::string& folder) {
    struct stat st {};
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

// $XDG_RUNTIME_DIR when it is a usable private folder, else "orvel-<uid>" (0700)
// under the temp folder. Empty when neither can be had safely (another user
// planted the folder): the lock then only serialises this process's threads.
std::string LockFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string folder = TrimSlashes(runtime);
        if (IsPrivateFolder(folder)) return folder;
    }
    std::string folder = TempFolder() + "/orvel-" + std::to_string(::geteuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    return IsPrivateFolder(folder) ? folder : std::string();
}

// The name becomes a file name: keep it to safe characters so it cannot leave the lock folder.
std::string SafeName(std::string_view name) {
    std::string out;
    for (char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        out += ok ? c : '_';
    }
    return out;
}

}  // namespace

NamedMutex::NamedMutex(std::string_view name) {
    const std::string folder = LockFolder();
    if (!folder.empty()) m_path = folder + "/orvel-" + SafeName(name) + ".lock";
    Open();
}

void NamedMutex::Open() {
    m_pid = ::getpid();
    m_fd = -1;
    if (m_path.empty()) return;
    // Never follow a link planted at the lock's name, and only use a plain file of our own.
    int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return;
    }
    if ((st.st_mode & 0777) != 0600) ::fchmod(fd, 0600);
    m_fd = fd;
}

NamedMutex::~NamedMutex() {
    if (m_fd >= 0) ::close(m_fd);
}

void NamedMutex::lock() {
    m_local.lock();
    if (m_pid != ::getpid()) {
        // A forked child shares the parent's open file description, and flock would not keep
        // the two apart: the child takes a description of its own.
        if (m_fd >= 0) ::close(m_fd);
        Open();
    }
    if (m_fd < 0) return;  // no lock file: threads are still serialised
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {}
}

void NamedMutex::unlock() {
    if (m_fd >= 0) ::flock(m_fd, LOCK_UN);
    m_local.unlock();
}
