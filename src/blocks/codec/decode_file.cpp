// Block download side: decrypt either format, then decompress or unpack.
#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <memory>

#include "blocks/codec/aes_file_codec.h"
#include "blocks/codec/block_codec.h"
#include "blocks/codec/digest.h"
#include "blocks/codec/file_io.h"
#include "log/log.h"

using orvel::codec::File;

namespace {

struct ArchiveFree {
    void operator()(archive* a) const { archive_read_free(a); }
};

// Removes a temporary file when the call ends, logging one that survives.
struct TempFileGuard {
    std::string path;
    ~TempFileGuard() {
        if (!orvel::codec::RemoveFile(path) || orvel::codec::PathExists(path))
            LOGF(0, "DecodeFile: temporary file still exists: %s", path.c_str());
    }
};

enum class Unpack { NotArchive, Done, Failed };

// A legacy payload may be a 7z archive whose first file entry is the block.
Unpack Extract7z(const std::string& archivePath, std::string_view destination) {
    std::unique_ptr<archive, ArchiveFree> reader(archive_read_new());
    if (!ERROR_CHECK_BOOL(reader != nullptr)) return Unpack::Failed;
    archive_read_support_format_7zip(reader.get());
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), kChunkSize) != ARCHIVE_OK)
        return Unpack::NotArchive;

    archive_entry* entry = nullptr;
    for (;;) {
        int rc = archive_read_next_header(reader.get(), &entry);
        if (!ERROR_CHECK_BOOL(rc == ARCHIVE_OK || rc == ARCHIVE_WARN)) return Unpack::Failed;
        if (archive_entry_filetype(entry) != AE_IFDIR) break;
    }
    // One block is the most an entry may unpack to, whatever it claims.
    if (archive_entry_size_is_set(entry) && !ERROR_CHECK_BOOL(archive_entry_size(entry) <= kBlockSize))
        return Unpack::Failed;

    File out = File::Create(destination);
    if (!ERROR_CHECK_BOOL(out.IsOpen())) return Unpack::Failed;
    auto buffer = std::make_unique<uint8_t[]>(kChunkSize);
    int64_t total = 0;
    for (;;) {
        la_ssize_t got = archive_read_data(reader.get(), buffer.get(), kChunkSize);
        if (!ERROR_CHECK_BOOL(got >= 0)) return Unpack::Failed;
        if (got == 0) break;
        total += got;
        if (!ERROR_CHECK_BOOL(total <= kBlockSize)) return Unpack::Failed;
        if (!ERROR_CHECK_BOOL(out.WriteAll(buffer.get(), static_cast<size_t>(got)))) return Unpack::Failed;
    }
    return ERROR_CHECK_BOOL(out.Close()) ? Unpack::Done : Unpack::Failed;
}

// SHA-1 of a whole file compared with the digest a block file's header holds.
bool MatchesSha1(const std::string& path, const uint8_t expected[20]) {
    File in = File::OpenRead(path);
    orvel::codec::Digest sha1(platform::DigestKind::Sha1);
    if (!in.IsOpen() || !sha1.Ok()) return false;
    auto buffer = std::make_unique<uint8_t[]>(kChunkSize);
    for (;;) {
        ssize_t got = in.ReadFull(buffer.get(), kChunkSize);
        if (got < 0 || !sha1.Update(buffer.get(), static_cast<size_t>(got))) return false;
        if (static_cast<size_t>(got) < kChunkSize) break;
    }
    uint8_t digest[platform::kMaxDigestSize];
    unsigned len = 0;
    return sha1.FinishBytes(digest, &len) && len == 20 && std::memcmp(digest, expected, 20) == 0;
}

void LogDecryptFailed() { LogWrite(0, "DecryptFile File Failded!", __FILE__, __LINE__); }
void LogUncompressFailed() { LogWrite(0, "UnCompress File Failded!", __FILE__, __LINE__); }

// Produces the plain block in `staged` (beside the destination) from the
// decrypted payload in `decrypted`.
HRESULT Unwrap(const orvel::codec::DecryptedInfo& info, const std::string& decrypted, const std::string& staged) {
    switch (info.kind) {
        case orvel::codec::DecryptedKind::CurrentCompressed:
            // The stream must also agree with the block size the header states.
            if (!LzmaDecompressFile(decrypted, staged) ||
                !ERROR_CHECK_BOOL(orvel::codec::FileSizeOf(staged) == info.plainSize)) {
                LogUncompressFailed();
                return E_FAIL;
            }
            return S_OK;
        case orvel::codec::DecryptedKind::CurrentPlain:
            return ERROR_CHECK_BOOL(orvel::codec::MoveReplace(decrypted, staged)) ? S_OK : E_FAIL;
        case orvel::codec::DecryptedKind::Legacy:
            switch (Extract7z(decrypted, staged)) {
                case Unpack::Done:
                    return S_OK;
                case Unpack::Failed:
                    LogUncompressFailed();
                    return E_FAIL;
                case Unpack::NotArchive:
                    break;
            }
            return ERROR_CHECK_BOOL(orvel::codec::MoveReplace(decrypted, staged)) ? S_OK : E_FAIL;
    }
    return E_FAIL;
}

}  // namespace

HRESULT DecodeFile(std::string_view destinationPath, std::string_view blockKey, std::string_view sourcePath) {
    uint8_t key[32];
    if (!ERROR_CHECK_BOOL(HexToBytes(sizeof key, blockKey, true, key))) {
        LogDecryptFailed();
        return E_FAIL;
    }
    TempFileGuard decrypted{SiblingPath(sourcePath, TempName())};
    orvel::codec::DecryptedInfo info;
    if (!orvel::codec::AesFileDecrypt(sourcePath, decrypted.path, key, info)) {
        LogDecryptFailed();
        return E_FAIL;
    }
    // The block is finished beside the destination and moved in whole, so the
    // destination never holds a partial block that a rerun would take as done.
    TempFileGuard staged{SiblingPath(destinationPath, TempName())};
    HRESULT hr = Unwrap(info, decrypted.path, staged.path);
    if (FAILED(hr)) return hr;
    // ECB carries no integrity of its own: a wrong key or damaged data would
    // otherwise pass as a good block. The current header names the block's SHA-1.
    if (info.kind != orvel::codec::DecryptedKind::Legacy && !MatchesSha1(staged.path, info.plainSha1)) {
        LogWrite(0, "DecodeFile: decoded block does not match the SHA-1 in its header", __FILE__, __LINE__);
        return E_FAIL;
    }
    if (!ERROR_CHECK_BOOL(orvel::codec::MoveReplace(staged.path, destinationPath))) return E_FAIL;
    return S_OK;
}
