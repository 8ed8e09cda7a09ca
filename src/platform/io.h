// The low-level file kit every subsystem shares: a file-descriptor owner, read
// and write loops that survive interruptions and short transfers, a temporary
// file removed unless kept, and the file-system seam through which the codec
// and the transfer code create, write, rename and remove files (so tests can
// make a disk fill up or a rename fail without a real full disk).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Owns a POSIX file descriptor; move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Close(); }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int Release();
    // Closes and reports whether the close (the last chance for a write error) worked;
    // true when nothing was open.
    bool Close();

private:
    int m_fd = -1;
};

// How OpenWrite treats an existing file.
enum class WriteMode {
    Truncate,   // create or empty it
    Exclusive,  // create; fail when it exists
};

// The file operations that change the disk. Every call reports failure the
// POSIX way (false or -1, with errno set). The real one is the default; a test
// derives from it and fails the calls it chooses.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual UniqueFd OpenRead(const std::string& path);
    // Files are created with mode 0644 (less the umask).
    virtual UniqueFd OpenWrite(const std::string& path, WriteMode mode);
    // One write(2): may write fewer bytes than asked.
    virtual ssize_t Write(int fd, const void* data, size_t len);
    // One copy_file_range(2) from the current offsets: may copy fewer bytes than asked.
    virtual ssize_t CopyRange(int from, int to, size_t len);
    // Replaces `to` atomically.
    virtual bool Rename(const std::string& from, const std::string& to);
    // A hard link `to` of `from`.
    virtual bool Link(const std::string& from, const std::string& to);
    // Removes a file; a missing one is not an error.
    virtual bool Remove(const std::string& path);
    // Size of a regular file; -1 when there is none.
    virtual int64_t Size(const std::string& path);
};

// The real file system.
FileSystem& RealFileSystem();
// The file system the codec and the transfer code use: the real one unless a
// test installed another.
FileSystem& ActiveFileSystem();
// Installs `fs` (null for the real one) and returns the one it replaces. Set it
// while no transfer runs: workers read it without a lock.
FileSystem* SetActiveFileSystem(FileSystem* fs);

// Reads until `len` bytes or the end of the file; the count read, or -1 on an error.
ssize_t ReadAll(int fd, void* buffer, size_t len);
// As ReadAll, at `offset`, without moving the file offset (any thread may call it).
ssize_t PreadAll(int fd, void* buffer, size_t len, int64_t offset);
// Writes all `len` bytes through `fs`, again after an interruption or a short
// write. False on a failure (errno tells which).
bool WriteAll(int fd, const void* data, size_t len, FileSystem& fs = ActiveFileSystem());
// Copies the rest of `from` to the end of `to` through the kernel where it can,
// through a buffer where it cannot. False on a failure.
bool AppendAll(int to, int from, FileSystem& fs = ActiveFileSystem());

// Removes the file it names (through the active file system) when it goes out
// of scope, unless kept.
class ScopedFile {
public:
    explicit ScopedFile(std::string path) : m_path(std::move(path)) {}
    ~ScopedFile();
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    const std::string& path() const { return m_path; }
    // The file stays: it was renamed away or is wanted.
    void Keep() { m_path.clear(); }

private:
    std::string m_path;
};

}  // namespace platform
