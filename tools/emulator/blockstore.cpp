#include "blockstore.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "platform/digest.h"
#include "platform/hex.h"
#include "blocks/codec/block_codec.h"
#include "log/log.h"

namespace fs = std::filesystem;

namespace emu {

std::string RandomHex(size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1)
        throw std::runtime_error("random");
    return HexEncode(raw.data(), raw.size());
}

std::string FileSha1Hex(const std::string& path, int64_t* size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    platform::Digest sha(platform::DigestKind::Sha1);
    std::array<char, 65536> buf;
    int64_t total = 0;
    while (in) {
        in.read(buf.data(), buf.size());
        std::streamsize n = in.gcount();
        if (n <= 0) break;
        sha.Update(buf.data(), static_cast<size_t>(n));
        total += n;
    }
    if (in.bad()) return {};
    if (size) *size = total;
    return sha.HexDigest();
}

bool IsBlockId(std::string_view id) {
    if (id.size() != 46) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

int64_t BlockIdSize(std::string_view id) {
    if (!IsBlockId(id)) return -1;
    return static_cast<int64_t>(std::stoll(std::string(id.substr(0, 6)), nullptr, 16));
}

void BlockFiles::Open(const std::string& dataDir) {
    root_ = dataDir;
    // The codec logs its failures; keep that log inside the data folder rather
    // than beside the executable.
    LogSetNames("orvel-emulator.log", (fs::path(root_) / "orvel-emulator.log").string());
    fs::create_directories(fs::path(root_) / "blocks");
    std::error_code ec;
    fs::remove_all(fs::path(root_) / "tmp", ec);
    fs::create_directories(fs::path(root_) / "tmp");
}

std::string BlockFiles::NewTempPath() const { return (fs::path(root_) / "tmp" / RandomHex(12)).string(); }

std::string BlockFiles::PathFor(std::string_view blockId) const {
    // Fan out by the first SHA-1 digits so no folder grows huge.
    fs::path dir = fs::path(root_) / "blocks" / std::string(blockId.substr(6, 2));
    std::error_code ec;
    fs::create_directories(dir, ec);
    return (dir / std::string(blockId)).string();
}

bool BlockFiles::Has(std::string_view blockId) const {
    std::error_code ec;
    return IsBlockId(blockId) && fs::exists(PathFor(blockId), ec);
}

void BlockFiles::Remove(std::string_view blockId) const {
    if (!IsBlockId(blockId)) return;
    std::error_code ec;
    fs::remove(PathFor(blockId), ec);
}

namespace {

// The current format's header carries the plain size and SHA-1; checking them
// catches a client that encodes the wrong block even without decoding.
bool CheckHeaderBytes(const unsigned char* h, size_t got, std::string_view blockId, std::string& why) {
    if (got >= 19 && std::memcmp(h, "Brenmoor_FileHeader", 19) == 0) return true;  // legacy: no hash
    if (got < 64 || std::memcmp(h, "BMF0", 4) != 0 || h[4] != 1) {
        why = "not a block file";
        return false;
    }
    int64_t plain = int64_t(h[8]) | int64_t(h[9]) << 8 | int64_t(h[10]) << 16 | int64_t(h[11]) << 24;
    const std::string sha = HexEncode(h + 12, 20);
    if (plain != BlockIdSize(blockId) || sha != blockId.substr(6)) {
        why = "block header does not match the block identifier";
        return false;
    }
    return true;
}

bool CheckHeader(const std::string& encPath, std::string_view blockId, std::string& why) {
    std::ifstream in(encPath, std::ios::binary);
    unsigned char h[64] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    return CheckHeaderBytes(h, static_cast<size_t>(in.gcount()), blockId, why);
}

// The one place the emulator reaches into the library's codec.
bool DecodeBlock(const std::string& encPath, std::string_view key, const std::string& plainPath) {
    return DecodeFile(plainPath, key, encPath) == S_OK;
}

// The common case, a current-format block stored without compression, checked
// without writing anything: the payload is decrypted in chunks and its plain
// bytes hashed in memory. True only when the header is well formed, the key
// parses and the plain bytes match the identifier's size and SHA-1; any other
// outcome (another format, compression, a mismatch) is left to the full
// decoder, so refusals and their log lines stay exactly as they were.
bool PlainBlockMatches(const std::string& encPath, std::string_view key, std::string_view blockId) {
    uint8_t rawKey[32];
    if (!HexToBytes(sizeof rawKey, key, true, rawKey)) return false;
    std::ifstream in(encPath, std::ios::binary);
    unsigned char h[64] = {};
    if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return false;
    std::error_code ec;
    auto fileSize = static_cast<int64_t>(fs::file_size(encPath, ec));
    if (ec) return false;
    if (std::memcmp(h, "BMF0", 4) != 0 || h[4] != 1 || h[5] != 0x02) return false;
    int64_t plain = int64_t(h[8]) | int64_t(h[9]) << 8 | int64_t(h[10]) << 16 | int64_t(h[11]) << 24;
    int64_t dataLength = fileSize - 64;
    unsigned padding = h[40];
    if (plain > kBlockSize || padding > 15 || dataLength % 16 != 0 || padding > dataLength ||
        dataLength - padding != plain || plain != BlockIdSize(blockId))
        return false;
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, rawKey, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return false;
    constexpr size_t kChunk = 1 << 20;
    std::vector<unsigned char> cipherBuf(kChunk), plainBuf(kChunk);
    platform::Digest sha(platform::DigestKind::Sha1);
    int64_t left = dataLength, keep = plain;
    while (left > 0) {
        auto want = static_cast<size_t>(std::min<int64_t>(left, kChunk));
        if (!in.read(reinterpret_cast<char*>(cipherBuf.data()), static_cast<std::streamsize>(want))) return false;
        int outLen = 0;
        if (EVP_DecryptUpdate(ctx.get(), plainBuf.data(), &outLen, cipherBuf.data(), static_cast<int>(want)) != 1 ||
            outLen != static_cast<int>(want))
            return false;
        auto take = static_cast<size_t>(std::min<int64_t>(keep, static_cast<int64_t>(want)));
        sha.Update(plainBuf.data(), take);
        keep -= static_cast<int64_t>(take);
        left -= static_cast<int64_t>(want);
    }
    return sha.HexDigest() == blockId.substr(6);
}

}  // namespace

bool BlockFiles::Verify(const std::string& encPath, std::string_view key, std::string_view blockId,
                        std::string& why) const {
    if (!CheckHeader(encPath, blockId, why)) return false;
    if (PlainBlockMatches(encPath, key, blockId)) return true;
    std::string plain = NewTempPath();
    bool decoded = DecodeBlock(encPath, key, plain);
    int64_t size = -1;
    std::string sha = decoded ? FileSha1Hex(plain, &size) : std::string();
    std::error_code ec;
    fs::remove(plain, ec);
    if (!decoded) {
        why = "block does not decode with its key";
        return false;
    }
    if (size != BlockIdSize(blockId) || sha != blockId.substr(6)) {
        why = "decoded block does not match the block identifier";
        return false;
    }
    return true;
}

bool BlockFiles::VerifyBytes(const std::string& bytes, std::string_view key, std::string_view blockId,
                             const std::string& onDisk, std::string& why) const {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (!CheckHeaderBytes(data, bytes.size(), blockId, why)) return false;
    std::vector<uint8_t> plain;
    switch (DecodeBlockMemory(data, bytes.size(), key, static_cast<int32_t>(BlockIdSize(blockId)), blockId.substr(6),
                              plain)) {
        case MemoryDecode::Ok:
            return true;
        case MemoryDecode::Failed:
            why = "block does not decode to the block identifier with its key";
            return false;
        case MemoryDecode::NotHandled:
            break;
    }
    // A legacy block: its archive reader works on files.
    if (!onDisk.empty()) return Verify(onDisk, key, blockId, why);
    std::string path = NewTempPath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    bool ok = Verify(path, key, blockId, why);
    std::error_code ec;
    fs::remove(path, ec);
    return ok;
}

}  // namespace emu
