#include "blocks/transfer/ufa_io.h"

#include <cstdio>
#include <vector>

#include "common/exceptions.h"
#include "common/hresult.h"
#include "platform/digest.h"

namespace ufa {

namespace {
constexpr size_t kCopyChunk = 65536;
}  // namespace

bool HashFile(const std::string& path, int64_t& size, std::string& sha1) {
    platform::UniqueFd fd = platform::ActiveFileSystem().OpenRead(path);
    if (!fd.valid()) return false;
    std::vector<char> buffer(kCopyChunk);
    platform::Digest hash(platform::DigestKind::Sha1);
    int64_t total = 0;
    for (;;) {
        const ssize_t n = platform::ReadAll(fd.get(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) break;
        hash.Update(buffer.data(), static_cast<size_t>(n));
        total += n;
    }
    size = total;
    sha1 = hash.HexDigest();
    return true;
}

CutResult ReadAndCheckBlock(int fd, int64_t offset, int32_t size, std::string_view expectedSha1,
                            std::vector<uint8_t>& block) {
    block.resize(static_cast<size_t>(size));
    const ssize_t got = platform::PreadAll(fd, block.data(), block.size(), offset);
    if (got < 0) return CutResult::IoError;
    if (static_cast<size_t>(got) < block.size()) return CutResult::Changed;  // the file got shorter
    return platform::Digest::Hex(platform::DigestKind::Sha1, block.data(), block.size()) == expectedSha1
               ? CutResult::Ok
               : CutResult::Changed;
}

FileReader::FileReader(const std::string& path) : m_fd(platform::ActiveFileSystem().OpenRead(path)) {
    if (!m_fd.valid()) throw EXCEPT::FileReadError("FileReader::FileReader", "Open path: " + path, E_FAIL);
}

size_t FileReader::Read(void* buffer, size_t len) {
    const ssize_t n = platform::ReadAll(m_fd.get(), buffer, len);
    if (n < 0) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "Want to read %d bytes", static_cast<int>(len));
        throw EXCEPT::FileReadError("FileReader::Read", detail, E_FAIL);
    }
    return static_cast<size_t>(n);
}

FileWriter::FileWriter(const std::string& path)
    : m_fd(platform::ActiveFileSystem().OpenWrite(path, platform::WriteMode::Truncate)) {
    if (!m_fd.valid()) throw EXCEPT::FileWriteError("FileWriter::FileWriter", "Create file: " + path, E_FAIL);
}

void FileWriter::Write(const void* data, size_t len) {
    if (!platform::WriteAll(m_fd.get(), data, len)) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "Want to write %d bytes", static_cast<int>(len));
        throw EXCEPT::FileWriteError("FileWriter::Write", detail, E_FAIL);
    }
}

void FileWriter::Close() {
    if (!m_fd.Close()) throw EXCEPT::FileWriteError("FileWriter::Write", "Close", E_FAIL);
}

}  // namespace ufa
