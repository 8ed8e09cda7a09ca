// Local file work of the block protocols: hashing a file, the checked block
// cut, and the raising file reader and writer (over the platform I/O kit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io.h"

namespace ufa {

// Size and SHA-1 of a whole file in one pass. False when it cannot be read.
bool HashFile(const std::string& path, int64_t& size, std::string& sha1);

enum class CutResult { Ok, IoError, Changed };

// Reads `size` bytes at `offset` of an open source into `block` (at most one
// block, so memory stays fixed) and checks their SHA-1: Changed when the file
// no longer holds `size` bytes there or their SHA-1 differs from
// `expectedSha1`. Any thread may call it (it reads with pread); nothing is written.
CutResult ReadAndCheckBlock(int fd, int64_t offset, int32_t size, std::string_view expectedSha1,
                            std::vector<uint8_t>& block);

// Reader and writer that raise FileReadError / FileWriteError.
class FileReader {
public:
    explicit FileReader(const std::string& path);
    // Reads up to `len` bytes; 0 at the end.
    size_t Read(void* buffer, size_t len);

private:
    platform::UniqueFd m_fd;
};

class FileWriter {
public:
    explicit FileWriter(const std::string& path);
    void Write(const void* data, size_t len);
    void Close();

private:
    platform::UniqueFd m_fd;
};

}  // namespace ufa
