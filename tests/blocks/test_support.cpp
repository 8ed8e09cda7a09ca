#include "test_support.h"

#include <lzma.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>

#include "platform/digest.h"
#include "platform/hex.h"

namespace blocktest {

void WriteBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("write failed: " + path);
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("read failed: " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

Bytes TextBytes(size_t n, uint32_t seed) {
    static const char* kWords[] = {"block", "file",  "storage", "cloud", "upload",  "download",
                                   "the",   "of",    "and",     "data",  "server",  "client",
                                   "key",   "index", "size",    "hash",  "version", "folder"};
    std::mt19937 gen(seed);
    Bytes out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const char* w = kWords[gen() % std::size(kWords)];
        out.insert(out.end(), w, w + std::strlen(w));
        out.push_back(gen() % 11 == 0 ? '\n' : ' ');
    }
    out.resize(n);
    return out;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out(a);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

namespace {

Bytes DigestRaw(platform::DigestKind kind, const Bytes& data) {
    platform::Digest digest(kind);
    uint8_t raw[platform::kMaxDigestSize];
    unsigned len = 0;
    digest.Update(data.data(), data.size());
    if (!digest.FinishBytes(raw, &len)) return {};
    return Bytes(raw, raw + len);
}

std::string Hex(const Bytes& data) { return HexEncode(data.data(), data.size()); }

void PutLe32(Bytes& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::string Sha1Hex(const Bytes& data) { return Hex(DigestRaw(platform::DigestKind::Sha1, data)); }
std::string Md5Hex(const Bytes& data) { return Hex(DigestRaw(platform::DigestKind::Md5, data)); }
Bytes Md5Raw(const Bytes& data) { return DigestRaw(platform::DigestKind::Md5, data); }

Bytes EcbEncrypt(const Bytes& key, const Bytes& plain) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(plain.size() + 16);
    int len = 0, fin = 0;
    EVP_EncryptUpdate(ctx.get(), out.data(), &len, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &fin);
    out.resize(static_cast<size_t>(len + fin));
    return out;
}

Bytes ZeroPad16(Bytes data) {
    data.resize((data.size() + 15) / 16 * 16, 0);
    return data;
}

Bytes LzmaAloneUnknownSize(const Bytes& plain) {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 1);
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&strm, &opt) != LZMA_OK) throw std::runtime_error("lzma init");
    Bytes out(plain.size() + plain.size() / 2 + 4096);
    strm.next_in = plain.data();
    strm.avail_in = plain.size();
    strm.next_out = out.data();
    strm.avail_out = out.size();
    lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
    out.resize(strm.total_out);
    lzma_end(&strm);
    if (ret != LZMA_STREAM_END) throw std::runtime_error("lzma encode");
    return out;
}

KeyPair MakeKey(uint32_t seed) {
    KeyPair k;
    k.bytes = RandomBytes(32, seed);
    // The server writes each byte's two hex digits in exchanged order.
    std::string hex = Hex(k.bytes);
    for (size_t i = 0; i < hex.size(); i += 2) std::swap(hex[i], hex[i + 1]);
    k.text = hex;
    return k;
}

Bytes CurrentFile(uint8_t flags, int32_t plainSize, const Bytes& sha1Raw, const Bytes& key, const Bytes& payload) {
    Bytes header(64, 0);
    std::memcpy(header.data(), "BMF0", 4);
    header[4] = 1;
    header[5] = flags;
    PutLe32(header, 8, static_cast<uint32_t>(plainSize));
    std::copy(sha1Raw.begin(), sha1Raw.end(), header.begin() + 12);
    header[40] = static_cast<uint8_t>((16 - payload.size() % 16) % 16);
    return Concat(header, EcbEncrypt(key, ZeroPad16(payload)));
}

Bytes LegacyFile(const Bytes& key, const Bytes& plain) {
    Bytes data = EcbEncrypt(key, ZeroPad16(plain));
    Bytes header(47, 0);
    std::memcpy(header.data(), "Brenmoor_FileHeader", 19);
    PutLe32(header, 19, 1);
    Bytes md5 = Md5Raw(data);
    std::copy(md5.begin(), md5.end(), header.begin() + 23);
    PutLe32(header, 39, static_cast<uint32_t>(plain.size()));
    PutLe32(header, 43, static_cast<uint32_t>(data.size()));
    return Concat(header, data);
}

bool RunShell(const std::string& command) { return std::system(command.c_str()) == 0; }

bool HaveTool(std::string_view name) { return RunShell("command -v " + std::string(name) + " >/dev/null 2>&1"); }

}  // namespace blocktest
