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
    uint8_t header[kBlockFileHeaderSize];
    if (fileSize < static_cast<int64_t>(kBlockFileHeaderSize) ||
        !ReadExactly(in.get(), header, kBlockFileHeaderSize))
        return FusedDecode::NotHandled;
    // The codec reads the header; anything but a plain block of the listed
    // size goes to the general decoder, which knows every format.
    BlockFileHeader parsed;
    if (!ReadBlockFileHeader(header, fileSize, parsed) || parsed.compressed ||
        parsed.plainSize != size)
        return FusedDecode::NotHandled;
    const int64_t dataSize = fileSize - static_cast<int64_t>(kBlockFileHeaderSize);
    uint8_t key[32];
    if (!HexToBytes(sizeof key, fileKey, true, key))
        return FusedDecode::NotHandled;
    orvel::codec::EcbCipher cipher(key, false);
    if (!cipher.Ok())
        return FusedDecode::NotHandled;

    Sha1 stored, plain;
    stored.Update(header, kBlockFileHeaderSize);
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

}  // namespace ufa
