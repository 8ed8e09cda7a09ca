// The encrypted block file formats: current "BMF0" (written and read) and
// legacy "Brenmoor_FileHeader" (read only). AES-256-ECB over 64 KiB chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct BlockFileHeader;

namespace orvel::codec {

enum class DecryptedKind { CurrentCompressed, CurrentPlain, Legacy };

struct DecryptedInfo {
    DecryptedKind kind = DecryptedKind::CurrentPlain;
    int32_t plainSize = 0;       // current format: the header's plain block size
    uint8_t plainSha1[20] = {};  // current format: the header's SHA-1 of the block
};

// Writes `destination` in the current format from the payload file.
// `plainSize` is the block's size before compression.
bool AesFileEncrypt(std::string_view payload, std::string_view destination, bool compressed, int32_t plainSize,
                    const uint8_t sha1[20], const uint8_t hint[8], const uint8_t key[32]);

// The same for an uncompressed payload held in memory; with `fileSha1Hex` the
// SHA-1 of the written file is taken from the bytes as they go out.
bool EncryptBuffer(const uint8_t* plain, size_t n, std::string_view destination, int32_t plainSize,
                   const uint8_t sha1[20], const uint8_t hint[8], const uint8_t key[32], std::string* fileSha1Hex);

// Detects the format of `source`, checks its header against the file and
// writes the decrypted payload (padding removed) to `destination`.
bool AesFileDecrypt(std::string_view source, std::string_view destination, const uint8_t key[32], DecryptedInfo& info);

// A whole current-format block file in memory: the header followed by the
// encrypted payload padded to whole cipher blocks.
bool EncryptToMemory(const uint8_t* payload, size_t n, bool compressed, int32_t plainSize, const uint8_t sha1[20],
                     const uint8_t key[32], std::vector<uint8_t>& out);

// Reads the header of a current-format block file held in memory and
// decrypts its payload (padding removed). False for another format or a
// header the file cannot hold.
bool DecryptCurrentMemory(const uint8_t* file, size_t fileSize, const uint8_t key[32], BlockFileHeader& header,
                          std::vector<uint8_t>& payload);

// Whether the bytes start like a legacy-format block file.
bool IsLegacyBlockFile(const uint8_t* file, size_t fileSize);

}  // namespace orvel::codec
