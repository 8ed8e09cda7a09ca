// Local file work of the block protocols: hashing while copying, the checked
// block cut, the raising file reader and writer, and temporary-file guards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct evp_md_ctx_st;

namespace ufa {

// Owns a POSIX file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes and reports whether the close (the last chance for a write error) worked.
    bool Close();

private:
    int m_fd = -1;
};

// Streaming SHA-1 producing the 40 lower-case hex characters.
class Sha1 {
public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;
    void Update(const void* data, size_t len);
    std::string HexDigest();

private:
    evp_md_ctx_st* m_ctx;
};

// Removes the file it names when it goes out of scope, unless released.
class ScopedFile {
public:
    explicit ScopedFile(std::string path) : m_path(std::move(path)) {}
    ~ScopedFile();
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    const std::string& path() const { return m_path; }
    void Release() { m_path.clear(); }

private:
    std::string m_path;
};

// Size and SHA-1 of a whole file in one pass. False when it cannot be read.
bool HashFile(const std::string& path, int64_t& size, std::string& sha1);

// Size of a file, or -1 when it does not exist or cannot be queried.
int64_t FileSize(const std::string& path);
bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);

enum class CutResult { Ok, IoError, Changed };

// Reads `size` bytes at `offset` of an open source into `block` (at most one
// block, so memory stays fixed) and checks their SHA-1: Changed when the file
// no longer holds `size` bytes there or their SHA-1 differs from
// `expectedSha1`. Any thread may call it (it reads with pread); nothing is written.
CutResult ReadAndCheckBlock(int fd, int64_t offset, int32_t size, std::string_view expectedSha1,
                            std::vector<uint8_t>& block);

// Writes all `len` bytes, again after an interruption. False on a failure.
bool WriteFull(int fd, const void* data, size_t len);

// Copies all of `from` to the end of `to` through the kernel where it can
// (copy_file_range), through a buffer where it cannot. False on a failure.
bool AppendFile(int to, int from);

// Reader and writer that raise FileReadError / FileWriteError.
class FileReader {
public:
    explicit FileReader(const std::string& path);
    // Reads up to `len` bytes; 0 at the end.
    size_t Read(void* buffer, size_t len);

private:
    UniqueFd m_fd;
};

class FileWriter {
public:
    explicit FileWriter(const std::string& path);
    void Write(const void* data, size_t len);
    void Close();

private:
    UniqueFd m_fd;
};

}  // namespace ufa
