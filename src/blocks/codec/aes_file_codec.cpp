#include "blocks/codec/aes_file_codec.h"

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "blocks/codec/block_codec.h"
#include "blocks/codec/digest.h"
#include "blocks/codec/file_io.h"
#include "log/log.h"

namespace orvel::codec {
namespace {

constexpr char kMagic[4] = {'B', 'M', 'F', '0'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kFlagCompressed = 0x01;
constexpr uint8_t kFlagEncrypted = 0x02;
constexpr size_t kPaddingOffset = 40;
constexpr size_t kEncryptBatch = 4 * kChunkSize;

constexpr char kLegacyMagic[19] = {'B', 'r', 'e', 'n', 'm', 'o', 'o', 'r', '_', 'F',
                                   'i', 'l', 'e', 'H', 'e', 'a', 'd', 'e', 'r'};

uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 64-byte current-format header of a payload of `payloadLength` bytes.
void WriteHeader(uint8_t* header, bool compressed, int32_t plainSize, const uint8_t sha1[20], const uint8_t hint[8],
                 int64_t payloadLength) {
    std::memset(header, 0, kBlockFileHeaderSize);
    std::memcpy(header, kMagic, sizeof kMagic);
    header[4] = kVersion;
    header[5] = compressed ? (kFlagEncrypted | kFlagCompressed) : kFlagEncrypted;
    PutLe32(header + 8, static_cast<uint32_t>(plainSize));
    std::memcpy(header + 12, sha1, 20);
    std::memcpy(header + 32, hint, 8);
    header[kPaddingOffset] = static_cast<uint8_t>((16 - payloadLength % 16) % 16);
}

// Decrypts `dataLength` bytes (a multiple of 16) from `in` into `out`,
// writing only the first `keep` plain bytes. `md5` (if any) sees the
// ciphertext; `yieldEvery` chunks the loop sleeps 1 ms (0: never).
bool DecryptStream(File& in, File& out, const uint8_t key[32], int64_t dataLength, int64_t keep, Digest* md5,
                   unsigned yieldEvery) {
    EcbCipher cipher(key, false);
    if (!ERROR_CHECK_BOOL(cipher.Ok())) return false;
    auto cipherBuf = std::make_unique<uint8_t[]>(kChunkSize);
    auto plainBuf = std::make_unique<uint8_t[]>(kChunkSize);
    unsigned chunks = 0;
    while (dataLength > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(dataLength, kChunkSize));
        ssize_t got = in.ReadFull(cipherBuf.get(), want);
        if (!ERROR_CHECK_BOOL(got == static_cast<ssize_t>(want))) return false;
        if (md5 && !ERROR_CHECK_BOOL(md5->Update(cipherBuf.get(), want))) return false;
        if (!ERROR_CHECK_BOOL(cipher.Run(cipherBuf.get(), plainBuf.get(), want))) return false;
        size_t write = static_cast<size_t>(std::min<int64_t>(keep, static_cast<int64_t>(want)));
        if (write > 0 && !ERROR_CHECK_BOOL(out.WriteAll(plainBuf.get(), write))) return false;
        keep -= static_cast<int64_t>(write);
        dataLength -= static_cast<int64_t>(want);
        if (yieldEvery != 0 && ++chunks % yieldEvery == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool DecryptCurrent(File& in, int64_t fileSize, std::string_view destination, const uint8_t key[32],
                    DecryptedInfo& info) {
    uint8_t header[kBlockFileHeaderSize];
    if (!ERROR_CHECK_BOOL(fileSize >= static_cast<int64_t>(sizeof header))) return false;
    if (!ERROR_CHECK_BOOL(in.Seek(0))) return false;
    if (!ERROR_CHECK_BOOL(in.ReadFull(header, sizeof header) == static_cast<ssize_t>(sizeof header))) return false;
    if (!ERROR_CHECK_BOOL(std::memcmp(header, kMagic, sizeof kMagic) == 0)) return false;
    BlockFileHeader parsed;
    if (!ReadBlockFileHeader(header, fileSize, parsed)) return false;
    const int64_t dataLength = fileSize - static_cast<int64_t>(sizeof header);
    const int64_t payloadLength = parsed.payloadLength;
    const bool compressed = parsed.compressed;
    const int32_t plainSize = parsed.plainSize;

    File out = File::Create(destination);
    if (!ERROR_CHECK_BOOL(out.IsOpen())) return false;
    if (!DecryptStream(in, out, key, dataLength, payloadLength, nullptr, 0)) return false;
    if (!ERROR_CHECK_BOOL(out.Close())) return false;
    info.kind = compressed ? DecryptedKind::CurrentCompressed : DecryptedKind::CurrentPlain;
    info.plainSize = plainSize;
    std::memcpy(info.plainSha1, parsed.plainSha1, sizeof info.plainSha1);
    return true;
}

bool DecryptLegacy(File& in, int64_t fileSize, std::string_view destination, const uint8_t key[32],
                   DecryptedInfo& info) {
    uint8_t header[kLegacyHeaderSize];
    if (!ERROR_CHECK_BOOL(fileSize >= static_cast<int64_t>(sizeof header))) return false;
    if (!ERROR_CHECK_BOOL(in.Seek(0))) return false;
    if (!ERROR_CHECK_BOOL(in.ReadFull(header, sizeof header) == static_cast<ssize_t>(sizeof header))) return false;
    if (!ERROR_CHECK_BOOL(std::memcmp(header, kLegacyMagic, sizeof kLegacyMagic) == 0)) return false;
    if (!ERROR_CHECK_BOOL(GetLe32(header + 19) == 1)) return false;
    const uint8_t* storedMd5 = header + 23;
    uint32_t plainSize = GetLe32(header + 39);
    uint32_t sectionSize = GetLe32(header + 43);
    if (!ERROR_CHECK_BOOL(sectionSize >= plainSize)) return false;
    int64_t dataLength = fileSize - static_cast<int64_t>(sizeof header);
    // The section must be what the file holds, in whole cipher blocks; the
    // plain size then can never ask for bytes that are not there.
    if (!ERROR_CHECK_BOOL(dataLength == static_cast<int64_t>(sectionSize))) return false;
    if (!ERROR_CHECK_BOOL(dataLength % 16 == 0)) return false;

    File out = File::Create(destination);
    if (!ERROR_CHECK_BOOL(out.IsOpen())) return false;
    Digest md5(platform::DigestKind::Md5);
    if (!ERROR_CHECK_BOOL(md5.Ok())) return false;
    if (!DecryptStream(in, out, key, dataLength, plainSize, &md5, 20)) return false;
    uint8_t digest[platform::kMaxDigestSize];
    unsigned digestLen = 0;
    if (!ERROR_CHECK_BOOL(md5.FinishBytes(digest, &digestLen) && digestLen == 16)) return false;
    if (!ERROR_CHECK_BOOL(std::memcmp(digest, storedMd5, 16) == 0)) return false;
    if (!ERROR_CHECK_BOOL(out.Close())) return false;
    info.kind = DecryptedKind::Legacy;
    info.plainSize = static_cast<int32_t>(std::min<uint32_t>(plainSize, INT32_MAX));
    return true;
}

}  // namespace

bool AesFileEncrypt(std::string_view payload, std::string_view destination, bool compressed, int32_t plainSize,
                    const uint8_t sha1[20], const uint8_t hint[8], const uint8_t key[32]) {
    EcbCipher cipher(key, true);
    if (!ERROR_CHECK_BOOL(cipher.Ok())) return false;
    File in = File::OpenRead(payload);
    if (!ERROR_CHECK_BOOL(in.IsOpen())) return false;
    int64_t payloadLength = in.Size();
    if (!ERROR_CHECK_BOOL(payloadLength >= 0)) return false;

    // Four 64 KiB chunks side by side, enciphered in place (ECB transforms each
    // 16 bytes alone) and moved with one read and one write: a quarter of the
    // system calls of chunk-sized passes, still a fixed amount of memory. The
    // header rides in front of the first chunk, which is shorter by the
    // header's size, so every write lands on whole pages of the output.
    auto buffer = std::make_unique<uint8_t[]>(kEncryptBatch);
    WriteHeader(buffer.get(), compressed, plainSize, sha1, hint, payloadLength);

    File out = File::Create(destination);
    if (!ERROR_CHECK_BOOL(out.IsOpen())) return false;
    // Reserving the final size at once spares the file system growing the file
    // page by page. Only a hint: where it is not supported the writes extend it.
    const int64_t finalSize = static_cast<int64_t>(kBlockFileHeaderSize) + (payloadLength + 15) / 16 * 16;
    if (finalSize > static_cast<int64_t>(kBlockFileHeaderSize))
        ::fallocate(out.Fd(), 0, 0, static_cast<off_t>(finalSize));

    size_t offset = kBlockFileHeaderSize;  // bytes of the buffer already taken
    int64_t total = 0;
    for (;;) {
        const size_t want = kEncryptBatch - offset;
        ssize_t got = in.ReadFull(buffer.get() + offset, want);
        if (!ERROR_CHECK_BOOL(got >= 0)) return false;
        size_t blocks = (static_cast<size_t>(got) + 15) / 16 * 16;
        // The last short chunk is zero-padded to whole cipher blocks.
        std::memset(buffer.get() + offset + got, 0, blocks - static_cast<size_t>(got));
        if (!ERROR_CHECK_BOOL(cipher.Run(buffer.get() + offset, buffer.get() + offset, blocks))) return false;
        if (!ERROR_CHECK_BOOL(out.WriteAll(buffer.get(), offset + blocks))) return false;
        total += got;
        if (static_cast<size_t>(got) < want) break;
        offset = 0;
    }
    // The padding byte was computed from the length at the start.
    if (!ERROR_CHECK_BOOL(total == payloadLength)) return false;
    return ERROR_CHECK_BOOL(out.Close());
}

bool AesFileDecrypt(std::string_view source, std::string_view destination, const uint8_t key[32], DecryptedInfo& info) {
    File in = File::OpenRead(source);
    if (!ERROR_CHECK_BOOL(in.IsOpen())) return false;
    int64_t fileSize = in.Size();
    if (!ERROR_CHECK_BOOL(fileSize >= 0)) return false;
    uint8_t head[sizeof kLegacyMagic];
    ssize_t got = in.ReadFull(head, sizeof head);
    if (!ERROR_CHECK_BOOL(got >= 0)) return false;
    if (got == static_cast<ssize_t>(sizeof head) && std::memcmp(head, kLegacyMagic, sizeof head) == 0)
        return DecryptLegacy(in, fileSize, destination, key, info);
    if (got >= static_cast<ssize_t>(sizeof kMagic) && std::memcmp(head, kMagic, sizeof kMagic) == 0)
        return DecryptCurrent(in, fileSize, destination, key, info);
    ERROR_CHECK_BOOL(!"unknown block file magic");
    return false;
}

bool EncryptBuffer(const uint8_t* plain, size_t n, std::string_view destination, int32_t plainSize,
                   const uint8_t sha1[20], const uint8_t hint[8], const uint8_t key[32], std::string* fileSha1Hex) {
    EcbCipher cipher(key, true);
    if (!ERROR_CHECK_BOOL(cipher.Ok())) return false;
    Digest digest(platform::DigestKind::Sha1);
    if (fileSha1Hex != nullptr && !ERROR_CHECK_BOOL(digest.Ok())) return false;
    File out = File::Create(destination);
    if (!ERROR_CHECK_BOOL(out.IsOpen())) return false;
    const int64_t finalSize = EncodedBlockSize(n);
    if (finalSize > static_cast<int64_t>(kBlockFileHeaderSize))
        ::fallocate(out.Fd(), 0, 0, static_cast<off_t>(finalSize));

    // The same batches as AesFileEncrypt: the header in front of the first one.
    auto buffer = std::make_unique<uint8_t[]>(kEncryptBatch);
    WriteHeader(buffer.get(), false, plainSize, sha1, hint, static_cast<int64_t>(n));
    size_t offset = kBlockFileHeaderSize;
    size_t at = 0;
    do {
        const size_t take = std::min(kEncryptBatch - offset, n - at);
        const size_t blocks = (take + 15) / 16 * 16;
        if (take > 0) std::memcpy(buffer.get() + offset, plain + at, take);
        std::memset(buffer.get() + offset + take, 0, blocks - take);
        if (!ERROR_CHECK_BOOL(cipher.Run(buffer.get() + offset, buffer.get() + offset, blocks))) return false;
        if (fileSha1Hex != nullptr && !ERROR_CHECK_BOOL(digest.Update(buffer.get(), offset + blocks))) return false;
        if (!ERROR_CHECK_BOOL(out.WriteAll(buffer.get(), offset + blocks))) return false;
        at += take;
        offset = 0;
    } while (at < n);
    if (!ERROR_CHECK_BOOL(out.Close())) return false;
    return fileSha1Hex == nullptr || ERROR_CHECK_BOOL(digest.FinishHex(*fileSha1Hex));
}

}  // namespace orvel::codec

bool ReadBlockFileHeader(const uint8_t* header, int64_t fileSize, BlockFileHeader& out) {
    using namespace orvel::codec;
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return false;  // another format
    if (!ERROR_CHECK_BOOL(fileSize >= static_cast<int64_t>(kBlockFileHeaderSize))) return false;
    if (!ERROR_CHECK_BOOL(header[4] == kVersion)) return false;
    uint8_t flags = header[5];
    // Only the two values ever written: encrypted, with or without LZMA.
    if (!ERROR_CHECK_BOOL(flags == kFlagEncrypted || flags == (kFlagEncrypted | kFlagCompressed))) return false;
    int32_t plainSize = static_cast<int32_t>(GetLe32(header + 8));
    if (!ERROR_CHECK_BOOL(plainSize >= 0 && plainSize <= kBlockSize)) return false;
    unsigned padding = header[kPaddingOffset];
    if (!ERROR_CHECK_BOOL(padding <= 15)) return false;
    int64_t dataLength = fileSize - static_cast<int64_t>(kBlockFileHeaderSize);
    if (!ERROR_CHECK_BOOL(dataLength % 16 == 0)) return false;
    if (!ERROR_CHECK_BOOL(padding <= dataLength)) return false;
    int64_t payloadLength = dataLength - padding;
    bool compressed = (flags & kFlagCompressed) != 0;
    // A plain payload is the block itself; a compressed one holds at least the
    // 13-byte stream header. Either way nothing is written past what the header allows.
    if (compressed) {
        if (!ERROR_CHECK_BOOL(payloadLength >= 13)) return false;
    } else {
        if (!ERROR_CHECK_BOOL(payloadLength == plainSize)) return false;
    }
    out.compressed = compressed;
    out.plainSize = plainSize;
    std::memcpy(out.plainSha1, header + 12, sizeof out.plainSha1);
    out.payloadLength = payloadLength;
    return true;
}

namespace orvel::codec {

bool EncryptToMemory(const uint8_t* payload, size_t n, bool compressed, int32_t plainSize, const uint8_t sha1[20],
                     const uint8_t key[32], std::vector<uint8_t>& out) {
    EcbCipher cipher(key, true);
    if (!ERROR_CHECK_BOOL(cipher.Ok())) return false;
    const uint8_t hint[8] = {};
    const size_t whole = n / 16 * 16;
    const size_t padded = (n + 15) / 16 * 16;
    // A recycled buffer of this size or more is not filled again.
    out.resize(kBlockFileHeaderSize + padded);
    WriteHeader(out.data(), compressed, plainSize, sha1, hint, static_cast<int64_t>(n));
    uint8_t* data = out.data() + kBlockFileHeaderSize;
    // Straight from the payload; only a short last piece is padded with zeros first.
    if (whole > 0 && !ERROR_CHECK_BOOL(cipher.Run(payload, data, whole))) return false;
    if (padded == whole) return true;
    uint8_t last[16] = {};
    std::memcpy(last, payload + whole, n - whole);
    return ERROR_CHECK_BOOL(cipher.Run(last, data + whole, sizeof last));
}

bool DecryptCurrentMemory(const uint8_t* file, size_t fileSize, const uint8_t key[32], BlockFileHeader& header,
                          std::vector<uint8_t>& payload) {
    if (fileSize < kBlockFileHeaderSize || std::memcmp(file, kMagic, sizeof kMagic) != 0 ||
        !ReadBlockFileHeader(file, static_cast<int64_t>(fileSize), header)) {
        payload.clear();
        return false;
    }
    EcbCipher cipher(key, false);
    if (!ERROR_CHECK_BOOL(cipher.Ok())) return false;
    const size_t dataLength = fileSize - kBlockFileHeaderSize;
    // A recycled buffer of this size or more is not filled again.
    payload.resize(dataLength);
    if (dataLength > 0 && !ERROR_CHECK_BOOL(cipher.Run(file + kBlockFileHeaderSize, payload.data(), dataLength))) {
        payload.clear();
        return false;
    }
    payload.resize(static_cast<size_t>(header.payloadLength));
    return true;
}

bool IsLegacyBlockFile(const uint8_t* file, size_t fileSize) {
    return fileSize >= sizeof kLegacyMagic && std::memcmp(file, kLegacyMagic, sizeof kLegacyMagic) == 0;
}

}  // namespace orvel::codec
