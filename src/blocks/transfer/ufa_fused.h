// Single-pass block decoding for the download: the stored bytes are hashed,
// decrypted and the plain bytes hashed and written while the data is in hand,
// instead of reading the block three times (stored SHA-1, decode, plain SHA-1).
// The block file's header is read by the codec (ReadBlockFileHeader); the
// upload's in-memory encoding is the codec's EncodeBlockBuffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ufa {

enum class FusedDecode {
    NotHandled,  // not a plain current-format block file: use the general decoder
    Dropped,     // the stored bytes do not match their listed SHA-1
    Failed,      // decrypted bytes do not match the block identifier (or I/O failed)
    Ok,          // `donePath` holds the verified plain block
};

// Decodes the current-format, uncompressed block file at `downloadPath`.
// `storedSha1` is the listed SHA-1 of the stored file (compared without regard
// to case); `size` and `plainSha1` come from the block identifier. On any
// result but Ok no `donePath` is left behind.
FusedDecode DecodePlainBlock(const std::string& downloadPath, std::string_view fileKey,
                             std::string_view storedSha1, const std::string& donePath, int32_t size,
                             std::string_view plainSha1);

}  // namespace ufa
