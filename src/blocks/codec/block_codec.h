// Block codec: block lists and identifiers, the compression policy, the
// LZMA-alone payload stream, the encrypted block file formats and the
// temporary-file names used by the upload and download protocols.
//
// Every function is stateless and thread-compatible; each call owns its
// files and buffers (fixed chunks, at most one block in memory, nothing
// proportional to a file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/hresult.h"

// ---- Block arithmetic ------------------------------------------------------

inline constexpr int32_t kBlockSize = 4194304;  // 4 MiB
inline constexpr size_t kChunkSize = 65536;     // every copy, hash and cipher pass

// Number of blocks of a file of `fileSize` bytes (an empty file has one).
int32_t BlockCount(int64_t fileSize);

// One block of a file, in block order (upload side).
struct BlockRecord {
    std::string sha1;  // 40 lower-case hex characters of the plain bytes
    std::string md5;   // 32 lower-case hex characters of the plain bytes
    int32_t size = 0;  // plain length in bytes
};

// One pass over `path` in 64 KiB chunks feeding the whole-file SHA-1 and each
// block's SHA-1 and MD5. `blocks` and `fileSha1` are replaced.
// S_OK, or E_FAIL when the file is missing, cannot be opened or a read fails.
// With more than one worker (by default TransferWorkerThreads()) the file is
// still read once, in 4 MiB blocks (at most workers + 2 of them in memory),
// and the reads and digests run on several threads.
HRESULT BuildBlockList(std::string_view path, std::vector<BlockRecord>& blocks, std::string& fileSha1);
HRESULT BuildBlockList(std::string_view path, std::vector<BlockRecord>& blocks, std::string& fileSha1, int workers);

// Worker threads of a transfer: "[Tavik] WorkerThreads", by default the
// number of cores (at most 8); 1 = all work on the calling thread.
int TransferWorkerThreads();

// Creates (replacing) `blockPath` holding block `blockNumber` (from 0) of
// `sourcePath`. False when the source is missing or unreadable, the seek
// fails, the block lies beyond the end, or a write fails.
bool CutBlock(std::string_view sourcePath, std::string_view blockPath, int32_t blockNumber);

// SHA-1 of a whole file as 40 lower-case hex characters. E_FAIL when the
// file cannot be opened or a read fails.
HRESULT FileSha1(std::string_view path, std::string& sha1);

// ---- Block identifiers -----------------------------------------------------

// "%06x%s" of the block's size and SHA-1 text: 46 characters for a valid block.
std::string MakeBlockId(int32_t size, std::string_view sha1);

// The size carried by the first six hex digits of a block identifier (upper
// case accepted); -1 when the identifier is not 46 characters long or its
// first six characters are not hex digits.
int32_t BlockIdSize(std::string_view blockId);

// ---- Hex text --------------------------------------------------------------

// Parses exactly 2 * `count` hex characters of `text` into `out[0..count)`.
// With `swap` the two digits of each byte are exchanged first ("a1" -> 0x1a),
// as block keys are written. False (out untouched past the failure) when the
// length is wrong or a character is not a hex digit.
bool HexToBytes(size_t count, std::string_view text, bool swap, uint8_t* out);

// Lower-case hex of `data` ("%02x" per byte): SHA-1 and MD5 texts.
std::string BytesToHex(const uint8_t* data, size_t len);

// ---- Compression -----------------------------------------------------------

// Decides whether a block of the file named `fileName` is LZMA-compressed
// before encryption. S_OK with `compress` set, or E_FAIL when the block's
// size cannot be read or the block cannot be opened for the signature test.
HRESULT CompressPolicy(std::string_view fileName, std::string_view blockPath, bool& compress);

// LZMA-alone stream: 5 property bytes (5D 00 00 00 01), the uncompressed
// length as 8 little-endian bytes, then LZMA data without end marker.
// `destination` is created (replaced). Sources above one block (4 MiB) fail.
bool LzmaCompressFile(std::string_view source, std::string_view destination);

// Decodes an LZMA-alone stream (known length, or all ones = unknown with an
// end marker). Fails on a damaged or truncated stream and on any stream that
// declares or produces more than one block (4 MiB).
bool LzmaDecompressFile(std::string_view source, std::string_view destination);

// ---- Encrypted block files -------------------------------------------------

inline constexpr size_t kBlockFileHeaderSize = 64;  // current "BMF0" format
inline constexpr size_t kLegacyHeaderSize = 47;     // "Brenmoor_FileHeader" format

// Compresses (by CompressPolicy on `fileName`'s extension) and encrypts the
// block at `sourcePath` into `destinationPath` in the current "BMF0" format.
// `blockKey` is the server's 64-hex-digit key (digits swapped per byte);
// `plainSize`/`plainSha1` are the block's BlockRecord size and sha1.
// S_OK or E_FAIL (or the policy's failure).
HRESULT EncodeFile(std::string_view blockKey, std::string_view fileName, int32_t plainSize, std::string_view plainSha1,
                   std::string_view sourcePath, std::string_view destinationPath);

// Encrypts the uncompressed block `plain[0..n)` (at most one block) into
// `outPath` in the current "BMF0" format: the same bytes EncodeFile writes for
// a block it does not compress. `plainSha1` is the block's SHA-1 text,
// `blockKey` the server's key text. With `fileSha1Hex` the SHA-1 of the
// written file is computed on the way out (no second read). S_OK or E_FAIL.
HRESULT EncodeBlockBuffer(const uint8_t* plain, size_t n, std::string_view plainSha1, std::string_view blockKey,
                          std::string_view outPath, std::string* fileSha1Hex);

// Size of the block file EncodeBlockBuffer writes for `n` plain bytes.
inline constexpr int64_t EncodedBlockSize(size_t n) {
    return static_cast<int64_t>(kBlockFileHeaderSize) + (static_cast<int64_t>(n) + 15) / 16 * 16;
}

// What the header of a current-format block file states, checked against the
// length of the whole file (`fileSize`, header included).
struct BlockFileHeader {
    bool compressed = false;
    int32_t plainSize = 0;       // the block's size before compression
    uint8_t plainSha1[20] = {};  // the block's SHA-1
    int64_t payloadLength = 0;   // encrypted bytes after the header, less the padding
};

// Reads the 64-byte "BMF0" header at `header`. False (with the failed check
// logged) for another format or any field the file cannot hold.
bool ReadBlockFileHeader(const uint8_t* header, int64_t fileSize, BlockFileHeader& out);

// Decrypts an encrypted block file of either format at `sourcePath` with
// `blockKey`, decompresses or unpacks it, and writes the plain block to
// `destinationPath`. Logs "DecryptFile File Failded!" or "UnCompress File
// Failded!" on the matching failure. S_OK or E_FAIL. Every header field is
// checked against the file; a current-format block must match the size and
// SHA-1 its header states (so a wrong key fails instead of passing garbage);
// nothing larger than 4 MiB is ever decoded. The destination is written
// whole or not at all (staged beside it, then moved in). Needs no other unit
// than the log, so the emulator can verify uploaded blocks with it.
HRESULT DecodeFile(std::string_view destinationPath, std::string_view blockKey, std::string_view sourcePath);

// ---- Temporary names -------------------------------------------------------

// A new GUID in registry form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string TempName();
// `folder` joined with a new TempName() (the folder must exist).
std::string TempPath(std::string_view folder);
// The directory of `path` joined with `name`.
std::string SiblingPath(std::string_view path, std::string_view name);

// ---- Blocks in memory ------------------------------------------------------

// CompressPolicy's decision for a block held in memory.
bool CompressPolicyBuffer(std::string_view fileName, const uint8_t* data, size_t size);

// LZMA-alone stream of `in[0..n)` into `out`, the same bytes LzmaCompressFile
// writes; false when the stream would not fit in `limit` bytes (or fails).
bool LzmaCompressBuffer(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit);
// Quick look whether compressing pays: a fast deflate of a few 32 KiB
// samples spread over the block must come out at most `ratio` of their size.
// About 25 times cheaper than a fast LZMA pass over the same samples, and
// the two agree on what shrinks (repeats within the samples, skewed bytes).
bool QuickProbeShrinks(const uint8_t* in, size_t n, double ratio);
// Decodes an LZMA-alone stream held in memory; at most one block comes out.
bool LzmaDecompressBuffer(const uint8_t* in, size_t n, std::vector<uint8_t>& out);

// A block encoded for the wire.
struct EncodedBlock {
    std::vector<uint8_t> bytes;  // the whole block file
    std::string sha1;            // its SHA-1, lower-case hex
    bool compressed = false;
};

// Encodes the block `plain[0..n)` in the current format without touching
// the disk. With `compress` (the policy's word) the block is LZMA-compressed
// unless a quick probe says it will not shrink by a few percent, or the
// stream comes out no smaller than the block: then it goes plain. S_OK or E_FAIL.
HRESULT EncodeBlockMemory(const uint8_t* plain, size_t n, bool compress, std::string_view plainSha1,
                          std::string_view blockKey, EncodedBlock& out);

// The largest block file any valid encoding of `plainSize` plain bytes can
// take: header, padding and LZMA's worst-case growth (legacy 7z case too).
int64_t MaxBlockFileSize(int32_t plainSize);

enum class MemoryDecode {
    Ok,          // `plain` holds the block, size and SHA-1 as its identifier says
    Failed,      // not a block of that identifier
    NotHandled,  // a legacy-format block: decode it through DecodeFile
};

// Decrypts (and decompresses) the current-format block file `stored[0..n)`
// with `blockKey` and checks the plain bytes against `plainSize` and
// `plainSha1` (hex). Logs "DecryptFile File Failded!" or "UnCompress File
// Failded!" on the matching failure.
MemoryDecode DecodeBlockMemory(const uint8_t* stored, size_t n, std::string_view blockKey, int32_t plainSize,
                               std::string_view plainSha1, std::vector<uint8_t>& plain);
