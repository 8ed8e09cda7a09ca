// Feeds arbitrary bytes to DecodeFile as a downloaded block file. Every input
// must end in S_OK or E_FAIL without a crash, a leak or a decoded block above
// 4 MiB, and no temporary file may be left behind.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../fuzz_support.h"
#include "blocks/codec/block_codec.h"

namespace {

const std::string& Folder() {
    static const std::string dir = [] {
        char templ[] = "/tmp/orvel_fuzz_blocks_XXXXXX";
        if (::mkdtemp(templ) == nullptr) std::abort();
        fuzzsupport::QuietLog();
        return std::string(templ);
    }();
    return dir;
}

// The key text and the key bytes it stands for (digits swapped per byte).
const char kKeyText[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const uint8_t kKey[32] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                          0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                          0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

using Bytes = std::vector<uint8_t>;

Bytes Encrypt(Bytes plain) {
    plain.resize((plain.size() + 15) / 16 * 16, 0);
    Bytes out(plain.size());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, kKey, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &len, plain.data(), static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The first byte picks what the rest is: 0 a raw block file (header checks),
// 1 the decrypted payload of a current file (flags, plain size and padding
// from the next bytes: reaches the LZMA decoder), 2 the decrypted content of
// a legacy file (reaches the 7z reader).
Bytes MakeFile(const uint8_t* data, size_t size) {
    if (size == 0) return {};
    const uint8_t mode = data[0] % 3;
    if (mode == 0 || size < 7) return Bytes(data + 1, data + size);
    if (mode == 1) {
        Bytes payload(data + 6, data + size);
        Bytes file(64, 0);
        std::memcpy(file.data(), "BMF0", 4);
        file[4] = 1;
        file[5] = data[1];
        std::memcpy(file.data() + 8, data + 2, 4);
        file[40] = static_cast<uint8_t>((16 - payload.size() % 16) % 16);
        Bytes enc = Encrypt(payload);
        file.insert(file.end(), enc.begin(), enc.end());
        return file;
    }
    Bytes content(data + 1, data + size);
    Bytes enc = Encrypt(content);
    Bytes file(47, 0);
    std::memcpy(file.data(), "Brenmoor_FileHeader", 19);
    PutLe32(file.data() + 19, 1);
    unsigned mdLen = 0;
    EVP_Digest(enc.data(), enc.size(), file.data() + 23, &mdLen, EVP_md5(), nullptr);
    PutLe32(file.data() + 39, static_cast<uint32_t>(content.size()));
    PutLe32(file.data() + 43, static_cast<uint32_t>(enc.size()));
    file.insert(file.end(), enc.begin(), enc.end());
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = Folder() + "/in";
    const std::string out = Folder() + "/out";
    const Bytes file = MakeFile(data, size);
    FILE* f = std::fopen(in.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    ::unlink(out.c_str());

    HRESULT hr = DecodeFile(out, kKeyText, in);
    if (hr != S_OK && hr != E_FAIL) std::abort();
    struct stat st {};
    if (hr == S_OK && (::stat(out.c_str(), &st) != 0 || st.st_size > kBlockSize)) std::abort();
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(Folder())) {
        (void)e;
        ++entries;
    }
    if (entries > 2) std::abort();  // only "in" and "out": no temporary left behind
    return 0;
}
