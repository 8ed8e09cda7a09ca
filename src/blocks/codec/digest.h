// RAII wrappers over OpenSSL EVP message digests and the AES-256-ECB cipher.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvel::codec {

class Digest {
public:
    explicit Digest(const EVP_MD* md);
    bool Ok() const { return m_ok; }
    bool Update(const void* data, size_t len);
    // Finishes into lower-case hex and restarts the digest for the next input.
    bool FinishHex(std::string& hex);
    // Finishes into raw bytes (`out` holds at least EVP_MAX_MD_SIZE) and restarts.
    bool FinishBytes(uint8_t* out, unsigned* len);

private:
    struct Free {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> m_ctx;
    const EVP_MD* m_md;
    bool m_ok = false;
};

// AES-256 in ECB mode without padding; inputs are whole 16-byte blocks.
class EcbCipher {
public:
    EcbCipher(const uint8_t key[32], bool encrypt);
    bool Ok() const { return m_ok; }
    // Transforms `len` bytes (a multiple of 16) from `in` to `out`.
    bool Run(const uint8_t* in, uint8_t* out, size_t len);

private:
    struct Free {
        void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
    };
    std::unique_ptr<EVP_CIPHER_CTX, Free> m_ctx;
    bool m_ok = false;
};

}  // namespace orvel::codec
