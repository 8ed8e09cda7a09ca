// Shared helpers of the block codec tests: temporary folders, file bytes,
// deterministic data, the reference cipher and the external tools.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_env.h"

namespace blocktest {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the temp folder, removed with everything in it.
using TempDir = orvel::testsupport::TempDir;

void WriteBytes(const std::string& path, const Bytes& data);
Bytes ReadBytes(const std::string& path);
bool Exists(const std::string& path);

Bytes RandomBytes(size_t n, uint32_t seed);  // incompressible
Bytes TextBytes(size_t n, uint32_t seed);    // compressible, word-like
Bytes Concat(const Bytes& a, const Bytes& b);

std::string Sha1Hex(const Bytes& data);
std::string Md5Hex(const Bytes& data);
Bytes Md5Raw(const Bytes& data);
// AES-256-ECB without padding over whole 16-byte blocks.
Bytes EcbEncrypt(const Bytes& key, const Bytes& plain);
Bytes ZeroPad16(Bytes data);
// LZMA-alone stream with unknown size and end marker (as xz writes it).
Bytes LzmaAloneUnknownSize(const Bytes& plain);

// A block key text and the key bytes it stands for (digits swapped per byte).
struct KeyPair {
    std::string text;
    Bytes bytes;
};
KeyPair MakeKey(uint32_t seed);

// Builds a current-format file around an already made payload.
Bytes CurrentFile(uint8_t flags, int32_t plainSize, const Bytes& sha1Raw, const Bytes& key, const Bytes& payload);
// Builds a legacy-format file around a plain payload.
Bytes LegacyFile(const Bytes& key, const Bytes& plain);

// Runs a shell command; true on exit status 0.
bool RunShell(const std::string& command);
bool HaveTool(std::string_view name);

}  // namespace blocktest
