#include "platform/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.Release();
    }
    return *this;
}

int UniqueFd::Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool UniqueFd::Close() {
    if (m_fd < 0) return true;
    const int rc = ::close(m_fd);
    m_fd = -1;
    return rc == 0;
}

UniqueFd FileSystem::OpenRead(const std::string& path) { return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); }

UniqueFd FileSystem::OpenWrite(const std::string& path, WriteMode mode) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == WriteMode::Exclusive ? O_EXCL : O_TRUNC);
    return UniqueFd(::open(path.c_str(), flags, 0644));
}

ssize_t FileSystem::Write(int fd, const void* data, size_t len) { return ::write(fd, data, len); }

ssize_t FileSystem::CopyRange(int from, int to, size_t len) {
    return ::copy_file_range(from, nullptr, to, nullptr, len, 0);
}

bool FileSystem::Rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool FileSystem::Link(const std::string& from, const std::string& to) { return ::link(from.c_str(), to.c_str()) == 0; }

bool FileSystem::Remove(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

int64_t FileSystem::Size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

namespace {
std::atomic<FileSystem*> g_active{nullptr};
}  // namespace

FileSystem& RealFileSystem() {
    static FileSystem real;
    return real;
}

FileSystem& ActiveFileSystem() {
    FileSystem* fs = g_active.load(std::memory_order_acquire);
    return fs != nullptr ? *fs : RealFileSystem();
}

FileSystem* SetActiveFileSystem(FileSystem* fs) { return g_active.exchange(fs, std::memory_order_acq_rel); }

namespace {
// Calls `readAt(dest, count, done)` until `len` bytes or the end; -1 on an error.
template <class ReadAt>
ssize_t FillBuffer(void* buffer, size_t len, ReadAt readAt) {
    auto* p = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = readAt(p + got, len - got, got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}
}  // namespace

ssize_t ReadAll(int fd, void* buffer, size_t len) {
    return FillBuffer(buffer, len, [fd](char* dest, size_t count, size_t) { return ::read(fd, dest, count); });
}

ssize_t PreadAll(int fd, void* buffer, size_t len, int64_t offset) {
    return FillBuffer(buffer, len, [fd, offset](char* dest, size_t count, size_t done) {
        return ::pread(fd, dest, count, static_cast<off_t>(offset + static_cast<int64_t>(done)));
    });
}

bool WriteAll(int fd, const void* data, size_t len, FileSystem& fs) {
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = fs.Write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {  // no progress: a loop here would never end
            errno = ENOSPC;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool AppendAll(int to, int from, FileSystem& fs) {
    for (;;) {
        const ssize_t n = fs.CopyRange(from, to, size_t{1} << 30);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
        break;  // not between these files: copy through a buffer
    }
    std::vector<char> buffer(size_t{1} << 20);
    for (;;) {
        const ssize_t n = ReadAll(from, buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(to, buffer.data(), static_cast<size_t>(n), fs)) return false;
    }
}

ScopedFile::~ScopedFile() {
    if (!m_path.empty()) ActiveFileSystem().Remove(m_path);
}

}  // namespace platform
