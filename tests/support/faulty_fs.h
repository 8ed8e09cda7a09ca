// A file system for tests that fails the disk operations a test picks (a full
// disk, a failed rename) and cuts writes short; everything else is the real
// file system. It is the active one for its life.
#pragma once

#include <cerrno>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "platform/io.h"

namespace orvel::testsupport {

class FaultyFileSystem : public platform::FileSystem {
public:
    FaultyFileSystem();
    ~FaultyFileSystem() override;
    FaultyFileSystem(const FaultyFileSystem&) = delete;
    FaultyFileSystem& operator=(const FaultyFileSystem&) = delete;

    // Writes into files whose path starts with `prefix` fail with `error` once
    // `okBytes` bytes went into that file.
    void FailWrites(const std::string& prefix, size_t okBytes = 0, int error = ENOSPC);
    // Every write and copy moves at most `chunk` bytes (0: no limit).
    void ShortWrites(size_t chunk);
    // Renames onto a path starting with `prefix` fail with `error`.
    void FailRenames(const std::string& prefix, int error = EIO);
    // Stops failing; counters stay.
    void Heal();

    int WriteFaults() const;
    int RenameFaults() const;
    int ShortWritesMade() const;

    platform::UniqueFd OpenWrite(const std::string& path, platform::WriteMode mode) override;
    ssize_t Write(int fd, const void* data, size_t len) override;
    ssize_t CopyRange(int from, int to, size_t len) override;
    bool Rename(const std::string& from, const std::string& to) override;

private:
    // How much of `len` may go into `fd` now: 0 with errno set for a failure.
    size_t Allow(int fd, size_t len);

    mutable std::mutex m_lock;  // the download writes on its workers
    platform::FileSystem* m_previous;
    std::map<int, std::pair<std::string, size_t>> m_open;  // fd -> path, bytes written
    std::string m_writePrefix, m_renamePrefix;
    size_t m_okBytes = 0, m_chunk = 0;
    int m_writeError = 0, m_renameError = 0;
    int m_writeFaults = 0, m_renameFaults = 0, m_shortWrites = 0;
};

}  // namespace orvel::testsupport
