#include "platform/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/guid.h"

namespace {
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxBytes) {
    if (path.empty()) return std::nullopt;
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > maxBytes)
        return std::nullopt;
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(f.fd, buf, sizeof(buf));
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > maxBytes) return std::nullopt;
    }
    return data;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
    const std::string tmp = path + "." + NewGuidString() + ".tmp";
    // Keep the file's permissions; a new one is private (it may hold a proxy password).
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0600;
    {
        Fd f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
        if (f.fd < 0) return false;
        ::fchmod(f.fd, mode);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(f.fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                ::unlink(tmp.c_str());
                return false;
            }
            done += static_cast<size_t>(n);
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}
