#include "blockstore.h"

#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#ifdef ORVEL_EMULATOR_HAVE_CODEC
#include "blocks/codec/block_codec.h"
#include "log/log.h"
#endif

namespace fs = std::filesystem;

namespace emu {

Sha1::Sha1() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha1(), nullptr) != 1) throw std::runtime_error("sha1 init");
}

void Sha1::Update(const void* data, size_t len) { EVP_DigestUpdate(ctx_.get(), data, len); }

std::string Sha1::Hex() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx_.get(), md, &n);
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += digits[md[i] >> 4];
    out += digits[md[i] & 15];
  }
  return out;
}

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1)
    throw std::runtime_error("random");
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string FileSha1Hex(const std::string& path, int64_t* size) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  Sha1 sha;
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
  return sha.Hex();
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
#ifdef ORVEL_EMULATOR_HAVE_CODEC
  // The codec logs its failures; keep that log inside the data folder rather
  // than beside the executable.
  LogSetNames("orvel-emulator.log", (fs::path(root_) / "orvel-emulator.log").string());
#endif
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
bool CheckHeader(const std::string& encPath, std::string_view blockId, std::string& why) {
  std::ifstream in(encPath, std::ios::binary);
  unsigned char h[64] = {};
  in.read(reinterpret_cast<char*>(h), sizeof h);
  if (in.gcount() >= 19 && std::memcmp(h, "Brenmoor_FileHeader", 19) == 0) return true;  // legacy: no hash
  if (in.gcount() != 64 || std::memcmp(h, "BMF0", 4) != 0 || h[4] != 1) {
    why = "not a block file";
    return false;
  }
  int64_t plain = int64_t(h[8]) | int64_t(h[9]) << 8 | int64_t(h[10]) << 16 | int64_t(h[11]) << 24;
  std::string sha;
  static const char* digits = "0123456789abcdef";
  for (int i = 12; i < 32; ++i) {
    sha += digits[h[i] >> 4];
    sha += digits[h[i] & 15];
  }
  if (plain != BlockIdSize(blockId) || sha != blockId.substr(6)) {
    why = "block header does not match the block identifier";
    return false;
  }
  return true;
}

#ifdef ORVEL_EMULATOR_HAVE_CODEC
// The one place the emulator reaches into the library's codec.
bool DecodeBlock(const std::string& encPath, std::string_view key, const std::string& plainPath) {
  return DecodeFile(plainPath, key, encPath) == S_OK;
}
#endif

}  // namespace

bool BlockFiles::Verify(const std::string& encPath, std::string_view key, std::string_view blockId,
                        std::string& why) const {
  if (!CheckHeader(encPath, blockId, why)) return false;
#ifdef ORVEL_EMULATOR_HAVE_CODEC
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
#else
  (void)key;
#endif
  return true;
}

}  // namespace emu
