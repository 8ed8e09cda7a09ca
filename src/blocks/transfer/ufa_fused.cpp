#include "blocks/transfer/ufa_fused.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/codec/digest.h"
#include "blocks/transfer/ufa_common.h"
#include "blocks/transfer/ufa_io.h"

namespace ufa {

namespace {

constexpr size_t kHeaderSize = 64;
constexpr uint8_t kFlagEncrypted = 0x02;
constexpr size_t kPaddingOffset = 40;
// Larger than the 64 KiB copy chunk: fewer system calls, still fixed memory.
constexpr size_t kFusedChunk = 1 << 20;

bool ReadExactly(int fd, void* buffer, size_t len)
{
    auto* p = static_cast<char*>(buffer);
    while (len > 0) {
        ssize_t n = ::read(fd, p, len);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteExactly(int fd, const void* data, size_t len)
{
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FusedDecode DecodePlainBlock(const std::string& downloadPath, std::string_view fileKey,
                             std::string_view storedSha1, const std::string& donePath, int32_t size,
                             std::string_view plainSha1)
{
    UniqueFd in(::open(downloadPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in.valid() || ::fstat(in.get(), &st) != 0)
        return FusedDecode::NotHandled;
    const int64_t fileSize = st.st_size;
    uint8_t header[kHeaderSize];
    if (fileSize < static_cast<int64_t>(kHeaderSize) || !ReadExactly(in.get(), header, kHeaderSize))
        return FusedDecode::NotHandled;
    const int64_t dataSize = fileSize - static_cast<int64_t>(kHeaderSize);
    const unsigned padding = header[kPaddingOffset];
    // Anything unusual goes to the general decoder, which knows every format.
    if (std::memcmp(header, "BMF0", 4) != 0 || header[4] != 1 || header[5] != kFlagEncrypted ||
        padding > 15 || dataSize % 16 != 0 || dataSize - padding != size)
        return FusedDecode::NotHandled;
    uint8_t key[32];
    if (!HexToBytes(sizeof key, fileKey, true, key))
        return FusedDecode::NotHandled;
    orvel::codec::EcbCipher cipher(key, false);
    if (!cipher.Ok())
        return FusedDecode::NotHandled;

    Sha1 stored, plain;
    stored.Update(header, kHeaderSize);
    ScopedFile done(donePath);
    UniqueFd out(::open(donePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid())
        return FusedDecode::Failed;
    std::vector<uint8_t> buffer(kFusedChunk);
    int64_t left = dataSize;
    int64_t plainLeft = size;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, kFusedChunk));
        if (!ReadExactly(in.get(), buffer.data(), want))
            return FusedDecode::Failed;
        stored.Update(buffer.data(), want);
        if (!cipher.Run(buffer.data(), buffer.data(), want))
            return FusedDecode::Failed;
        const size_t keep = static_cast<size_t>(std::min<int64_t>(plainLeft, want));
        plain.Update(buffer.data(), keep);
        if (!WriteExactly(out.get(), buffer.data(), keep))
            return FusedDecode::Failed;
        left -= static_cast<int64_t>(want);
        plainLeft -= static_cast<int64_t>(keep);
    }
    if (!out.Close())
        return FusedDecode::Failed;
    if (!HexEqualsNoCase(stored.HexDigest(), storedSha1))
        return FusedDecode::Dropped;
    if (plain.HexDigest() != plainSha1)
        return FusedDecode::Failed;
    done.Release();
    return FusedDecode::Ok;
}

bool EncodePlainBlock(const std::vector<uint8_t>& block, std::string_view blockSha1,
                      std::string_view fileKey, const std::string& encodedPath, int64_t& encodedSize,
                      std::string& encodedSha1)
{
    uint8_t key[32];
    uint8_t header[kHeaderSize] = {'B', 'M', 'F', '0', 1, kFlagEncrypted};
    const uint32_t plainSize = static_cast<uint32_t>(block.size());
    for (int i = 0; i < 4; ++i)
        header[8 + i] = static_cast<uint8_t>(plainSize >> (8 * i));
    if (!HexToBytes(20, blockSha1, false, header + 12) || !HexToBytes(sizeof key, fileKey, true, key))
        return false;
    // Bytes 32..39 hold the hint, all zero.
    header[kPaddingOffset] = static_cast<uint8_t>((16 - block.size() % 16) % 16);
    orvel::codec::EcbCipher cipher(key, true);
    if (!cipher.Ok())
        return false;

    UniqueFd out(::open(encodedPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out.valid())
        return false;
    Sha1 hash;
    hash.Update(header, kHeaderSize);
    if (!WriteExactly(out.get(), header, kHeaderSize))
        return false;
    encodedSize = kHeaderSize;
    std::vector<uint8_t> buffer(kFusedChunk);
    for (size_t at = 0; at < block.size(); at += kFusedChunk) {
        const size_t len = std::min(kFusedChunk, block.size() - at);
        const size_t whole = (len + 15) / 16 * 16;  // the last piece is zero-padded
        std::memcpy(buffer.data(), block.data() + at, len);
        std::memset(buffer.data() + len, 0, whole - len);
        if (!cipher.Run(buffer.data(), buffer.data(), whole))
            return false;
        hash.Update(buffer.data(), whole);
        if (!WriteExactly(out.get(), buffer.data(), whole))
            return false;
        encodedSize += static_cast<int64_t>(whole);
    }
    if (!out.Close())
        return false;
    encodedSha1 = hash.HexDigest();
    return true;
}

}  // namespace ufa
