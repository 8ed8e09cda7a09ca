#include "platform/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/guid.h"
#include "platform/io.h"

using platform::ReadAll;
using platform::RealFileSystem;
using platform::UniqueFd;
using platform::WriteAll;

std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxBytes) {
    if (path.empty()) return std::nullopt;
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!f.valid()) return std::nullopt;
    struct stat st {};
    if (::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > maxBytes)
        return std::nullopt;
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = ReadAll(f.get(), buf, sizeof(buf));
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
        UniqueFd f(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!f.valid()) return false;
        ::fchmod(f.get(), mode);
        // A write error may surface only at the close: no broken file replaces a good one.
        if (!WriteAll(f.get(), bytes.data(), bytes.size(), RealFileSystem()) || !f.Close()) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}
