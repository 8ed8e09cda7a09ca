#include "support/faulty_fs.h"

namespace orvel::testsupport {

namespace {
bool StartsWith(const std::string& text, const std::string& prefix) {
    return !prefix.empty() && text.compare(0, prefix.size(), prefix) == 0;
}
}  // namespace

FaultyFileSystem::FaultyFileSystem() : m_previous(platform::SetActiveFileSystem(this)) {}

FaultyFileSystem::~FaultyFileSystem() { platform::SetActiveFileSystem(m_previous); }

void FaultyFileSystem::FailWrites(const std::string& prefix, size_t okBytes, int error) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_writePrefix = prefix;
    m_okBytes = okBytes;
    m_writeError = error;
}

void FaultyFileSystem::ShortWrites(size_t chunk) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_chunk = chunk;
}

void FaultyFileSystem::FailRenames(const std::string& prefix, int error) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_renamePrefix = prefix;
    m_renameError = error;
}

void FaultyFileSystem::Heal() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_writePrefix.clear();
    m_renamePrefix.clear();
    m_chunk = 0;
}

int FaultyFileSystem::WriteFaults() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_writeFaults;
}

int FaultyFileSystem::RenameFaults() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_renameFaults;
}

int FaultyFileSystem::ShortWritesMade() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_shortWrites;
}

platform::UniqueFd FaultyFileSystem::OpenWrite(const std::string& path, platform::WriteMode mode) {
    platform::UniqueFd fd = platform::FileSystem::OpenWrite(path, mode);
    if (fd.valid()) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_open[fd.get()] = {path, 0};  // a reused descriptor number starts afresh
    }
    return fd;
}

size_t FaultyFileSystem::Allow(int fd, size_t len) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_open.find(fd);
    if (it != m_open.end() && StartsWith(it->second.first, m_writePrefix)) {
        const size_t room = it->second.second < m_okBytes ? m_okBytes - it->second.second : 0;
        if (room == 0) {
            ++m_writeFaults;
            errno = m_writeError;
            return 0;
        }
        len = std::min(len, room);
    }
    if (m_chunk > 0 && len > m_chunk) {
        len = m_chunk;
        ++m_shortWrites;
    }
    if (it != m_open.end()) it->second.second += len;
    return len;
}

ssize_t FaultyFileSystem::Write(int fd, const void* data, size_t len) {
    if (len == 0) return platform::FileSystem::Write(fd, data, 0);
    const size_t allowed = Allow(fd, len);
    if (allowed == 0) return -1;
    return platform::FileSystem::Write(fd, data, allowed);
}

ssize_t FaultyFileSystem::CopyRange(int from, int to, size_t len) {
    const size_t allowed = Allow(to, len);
    if (allowed == 0) return -1;
    return platform::FileSystem::CopyRange(from, to, allowed);
}

bool FaultyFileSystem::Rename(const std::string& from, const std::string& to) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (StartsWith(to, m_renamePrefix)) {
            ++m_renameFaults;
            errno = m_renameError;
            return false;
        }
    }
    return platform::FileSystem::Rename(from, to);
}

}  // namespace orvel::testsupport
