#include "blocks/codec/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace orvel::codec {

File::~File() {
    if (m_fd >= 0) ::close(m_fd);
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

File File::OpenRead(std::string_view path) { return File(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC)); }

File File::Create(std::string_view path) {
    return File(::open(std::string(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

ssize_t File::ReadFull(void* buf, size_t len) {
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::read(m_fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool File::WriteAll(const void* buf, size_t len) {
    const auto* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = ::write(m_fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool File::Seek(int64_t offset) {
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int64_t File::Size() const {
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool File::Close() {
    if (m_fd < 0) return false;
    int rc = ::close(m_fd);
    m_fd = -1;
    return rc == 0;
}

bool PathExists(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0;
}

bool IsRegularFile(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t FileSizeOf(std::string_view path) {
    struct stat st {};
    if (::stat(std::string(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool RemoveFile(std::string_view path) {
    std::string p(path);
    return ::unlink(p.c_str()) == 0 || errno == ENOENT;
}

bool MoveReplace(std::string_view from, std::string_view to) {
    std::string src(from), dst(to);
    if (::rename(src.c_str(), dst.c_str()) == 0) return true;
    // Across file systems a rename cannot work: copy, then drop the source.
    std::error_code ec;
    std::filesystem::copy_file(src, dst, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return false;
    ::unlink(src.c_str());
    return true;
}

}  // namespace orvel::codec
