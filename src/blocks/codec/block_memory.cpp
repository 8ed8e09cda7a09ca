// Block encoding and decoding in memory for the transfer engine: no block,
// payload or fetched file on the disk.
#include <cstring>

#include "blocks/codec/aes_file_codec.h"
#include "blocks/codec/block_codec.h"
#include "blocks/codec/digest.h"
#include "log/log.h"

namespace {

// A block must shrink by at least this much in the quick probe to be compressed.
constexpr double kProbeRatio = 0.97;

std::string Sha1Hex(const uint8_t* data, size_t n) {
    return platform::Digest::Hex(platform::DigestKind::Sha1, data, n);
}

}  // namespace

int64_t MaxBlockFileSize(int32_t plainSize) {
    const int64_t n = plainSize < 0 ? 0 : plainSize;
    // LZMA grows incompressible data by well under 1/16; headers, padding and
    // a legacy archive's own structures fit in the 64 KiB beside it.
    return n + n / 16 + 65536;
}

HRESULT EncodeBlockMemory(const uint8_t* plain, size_t n, bool compress, std::string_view plainSha1,
                          std::string_view blockKey, EncodedBlock& out) {
    if (!ERROR_CHECK_BOOL(n <= static_cast<size_t>(kBlockSize))) return E_FAIL;
    uint8_t sha1[20], key[32];
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof sha1, plainSha1, false, sha1))) return E_FAIL;
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof key, blockKey, true, key))) return E_FAIL;
    std::vector<uint8_t> stream;
    // Compressed only when the stream is smaller than the block itself.
    out.compressed = compress && QuickProbeShrinks(plain, n, kProbeRatio) && LzmaCompressBuffer(plain, n, stream, n);
    const bool ok = out.compressed
                        ? orvel::codec::EncryptToMemory(stream.data(), stream.size(), true, static_cast<int32_t>(n),
                                                        sha1, key, out.bytes)
                        : orvel::codec::EncryptToMemory(plain, n, false, static_cast<int32_t>(n), sha1, key, out.bytes);
    if (!ERROR_CHECK_BOOL(ok)) return E_FAIL;
    out.sha1 = Sha1Hex(out.bytes.data(), out.bytes.size());
    return S_OK;
}

MemoryDecode DecodeBlockMemory(const uint8_t* stored, size_t n, std::string_view blockKey, int32_t plainSize,
                               std::string_view plainSha1, std::vector<uint8_t>& plain) {
    if (orvel::codec::IsLegacyBlockFile(stored, n)) return MemoryDecode::NotHandled;
    uint8_t key[32];
    BlockFileHeader header;
    if (!HexToBytes(sizeof key, blockKey, true, key) ||
        !orvel::codec::DecryptCurrentMemory(stored, n, key, header, plain)) {
        LogWrite(0, "DecryptFile File Failded!", __FILE__, __LINE__);
        return MemoryDecode::Failed;
    }
    if (header.compressed) {
        std::vector<uint8_t> payload;
        payload.swap(plain);
        if (!LzmaDecompressBuffer(payload.data(), payload.size(), plain) ||
            static_cast<int64_t>(plain.size()) != header.plainSize) {
            LogWrite(0, "UnCompress File Failded!", __FILE__, __LINE__);
            return MemoryDecode::Failed;
        }
    }
    // ECB carries no integrity of its own: the identifier's size and SHA-1 decide.
    if (static_cast<int64_t>(plain.size()) != plainSize || Sha1Hex(plain.data(), plain.size()) != plainSha1)
        return MemoryDecode::Failed;
    return MemoryDecode::Ok;
}
