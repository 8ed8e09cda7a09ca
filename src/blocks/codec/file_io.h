// Small RAII file handle and path helpers shared by the codec's sources.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvel::codec {

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    static File OpenRead(std::string_view path);
    // Creates or truncates for writing (the codec always replaces its outputs).
    static File Create(std::string_view path);

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    // Reads until `len` bytes or end of file; the count read, or -1 on error.
    ssize_t ReadFull(void* buf, size_t len);
    bool WriteAll(const void* buf, size_t len);
    bool Seek(int64_t offset);
    int64_t Size() const;  // -1 on failure
    // Closes and reports a failed close (a write error may surface only there).
    bool Close();

private:
    explicit File(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

bool PathExists(std::string_view path);
bool IsRegularFile(std::string_view path);
int64_t FileSizeOf(std::string_view path);  // -1 when it cannot be read
// Removes a file; true when it is gone afterwards.
bool RemoveFile(std::string_view path);
// Moves `from` onto `to`, replacing it; copies when a rename is not possible.
bool MoveReplace(std::string_view from, std::string_view to);

}  // namespace orvel::codec
