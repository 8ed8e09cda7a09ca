// Block upload side: policy, optional LZMA payload, current-format encryption.
#include "blocks/codec/aes_file_codec.h"
#include "blocks/codec/block_codec.h"
#include "blocks/codec/file_io.h"
#include "log/log.h"

#include <algorithm>
#include <vector>

namespace {

// Removes a temporary file (the compressed payload, the staged block file)
// however EncodeFile leaves.
struct TempFileGuard {
    std::string path;
    ~TempFileGuard() {
        if (!path.empty() && !orvel::codec::RemoveFile(path))
            LOGF(0, "EncodeFile: temporary file not removed: %s", path.c_str());
    }
};

}  // namespace

HRESULT EncodeBlockBuffer(const uint8_t* plain, size_t n, std::string_view plainSha1, std::string_view blockKey,
                          std::string_view outPath, std::string* fileSha1Hex) {
    if (!ERROR_CHECK_BOOL(n <= static_cast<size_t>(kBlockSize))) return E_FAIL;
    uint8_t sha1[20], hint[8] = {}, key[32];
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof sha1, plainSha1, false, sha1))) return E_FAIL;
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof key, blockKey, true, key))) return E_FAIL;
    if (!ERROR_CHECK_BOOL(
            orvel::codec::EncryptBuffer(plain, n, outPath, static_cast<int32_t>(n), sha1, hint, key, fileSha1Hex)))
        return E_FAIL;
    return S_OK;
}

HRESULT EncodeFile(std::string_view blockKey, std::string_view fileName, int32_t plainSize, std::string_view plainSha1,
                   std::string_view sourcePath, std::string_view destinationPath) {
    bool compress = false;
    HRESULT hr = CompressPolicy(fileName, sourcePath, compress);
    if (!ERROR_CHECK_COM(hr)) return hr;

    // The header states the block's size; a block that is not that size (the
    // file changed since the block list) would be stored under a false size.
    if (!ERROR_CHECK_BOOL(orvel::codec::FileSizeOf(sourcePath) == plainSize)) return E_FAIL;

    // Encoded beside the destination and moved in whole: a failure (a full
    // disk) leaves no partial block file and the destination as it was.
    TempFileGuard staged{SiblingPath(destinationPath, TempName())};
    if (!compress) {
        // The block fits in memory (at most 4 MiB): one writer for every plain block.
        if (!ERROR_CHECK_BOOL(plainSize <= kBlockSize)) return E_FAIL;
        std::vector<uint8_t> plain(static_cast<size_t>(std::max(plainSize, 0)));
        orvel::codec::File in = orvel::codec::File::OpenRead(sourcePath);
        if (!ERROR_CHECK_BOOL(in.IsOpen())) return E_FAIL;
        if (!ERROR_CHECK_BOOL(in.ReadFull(plain.data(), plain.size()) == static_cast<ssize_t>(plain.size())))
            return E_FAIL;
        hr = EncodeBlockBuffer(plain.data(), plain.size(), plainSha1, blockKey, staged.path, nullptr);
        if (FAILED(hr)) return hr;
        return ERROR_CHECK_BOOL(orvel::codec::MoveReplace(staged.path, destinationPath)) ? S_OK : E_FAIL;
    }

    uint8_t sha1[20], hint[8], key[32];
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof sha1, plainSha1, false, sha1))) return E_FAIL;
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof hint, "0000000000000000", false, hint))) return E_FAIL;
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof key, blockKey, true, key))) return E_FAIL;

    // Only a compressed block gets here: its LZMA stream may outgrow memory, so it goes through a file.
    TempFileGuard compressed{SiblingPath(sourcePath, TempName())};
    if (!ERROR_CHECK_BOOL(LzmaCompressFile(sourcePath, compressed.path))) return E_FAIL;
    if (!ERROR_CHECK_BOOL(orvel::codec::AesFileEncrypt(compressed.path, staged.path, true, plainSize, sha1, hint, key)))
        return E_FAIL;
    return ERROR_CHECK_BOOL(orvel::codec::MoveReplace(staged.path, destinationPath)) ? S_OK : E_FAIL;
}
