// The encrypted block file formats: current "BMF0" (written and read) and
// legacy "Brenmoor_FileHeader" (read only). AES-256-ECB over 64 KiB chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvel::codec {

enum class DecryptedKind { CurrentCompressed, CurrentPlain, Legacy };

struct DecryptedInfo {
  DecryptedKind kind = DecryptedKind::CurrentPlain;
  int32_t plainSize = 0;     // current format: the header's plain block size
  uint8_t plainSha1[20] = {};  // current format: the header's SHA-1 of the block
};

// Writes `destination` in the current format from the payload file.
// `plainSize` is the block's size before compression.
bool AesFileEncrypt(std::string_view payload, std::string_view destination, bool compressed,
                    int32_t plainSize, const uint8_t sha1[20], const uint8_t hint[8],
                    const uint8_t key[32]);

// The same for an uncompressed payload held in memory; with `fileSha1Hex` the
// SHA-1 of the written file is taken from the bytes as they go out.
bool EncryptBuffer(const uint8_t* plain, size_t n, std::string_view destination, int32_t plainSize,
                   const uint8_t sha1[20], const uint8_t hint[8], const uint8_t key[32],
                   std::string* fileSha1Hex);

// Detects the format of `source`, checks its header against the file and
// writes the decrypted payload (padding removed) to `destination`.
bool AesFileDecrypt(std::string_view source, std::string_view destination, const uint8_t key[32],
                    DecryptedInfo& info);

}  // namespace orvel::codec
