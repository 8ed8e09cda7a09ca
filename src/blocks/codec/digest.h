// RAII wrapper over OpenSSL's AES-256-ECB cipher; digests come from the platform kit.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/digest.h"

namespace orvel::codec {

// The shared digest wrapper, under the name the codec has always used.
using platform::Digest;

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
