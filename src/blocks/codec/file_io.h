// The codec's file handle and path helpers, over the platform I/O kit: every
// file it creates, writes, renames or removes goes through the active file system.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/io.h"

namespace orvel::codec {

class File {
public:
    File() = default;

    static File OpenRead(std::string_view path);
    // Creates or truncates for writing (the codec always replaces its outputs).
    static File Create(std::string_view path);

    bool IsOpen() const { return m_fd.valid(); }
    int Fd() const { return m_fd.get(); }

    // Reads until `len` bytes or end of file; the count read, or -1 on error.
    ssize_t ReadFull(void* buf, size_t len);
    bool WriteAll(const void* buf, size_t len);
    bool Seek(int64_t offset);
    int64_t Size() const;  // -1 on failure
    // Closes and reports a failed close (a write error may surface only there).
    bool Close();

private:
    explicit File(platform::UniqueFd fd) : m_fd(std::move(fd)) {}
    platform::UniqueFd m_fd;
};

bool PathExists(std::string_view path);
bool IsRegularFile(std::string_view path);
int64_t FileSizeOf(std::string_view path);  // -1 when it cannot be read
// Removes a file; true when it is gone afterwards.
bool RemoveFile(std::string_view path);
// Moves `from` onto `to`, replacing it; copies when a rename is not possible.
bool MoveReplace(std::string_view from, std::string_view to);

}  // namespace orvel::codec
