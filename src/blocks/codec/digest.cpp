#include "blocks/codec/digest.h"

#include <climits>

#include "blocks/codec/block_codec.h"

namespace orvel::codec {

EcbCipher::EcbCipher(const uint8_t key[32], bool encrypt) : m_ctx(EVP_CIPHER_CTX_new()) {
    m_ok = m_ctx && EVP_CipherInit_ex(m_ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_set_padding(m_ctx.get(), 0) == 1;
}

bool EcbCipher::Run(const uint8_t* in, uint8_t* out, size_t len) {
    if (!m_ok || len % 16 != 0 || len > static_cast<size_t>(INT_MAX)) return false;
    int outLen = 0;
    // Without padding ECB holds nothing back: every whole block comes out at once.
    return EVP_CipherUpdate(m_ctx.get(), out, &outLen, in, static_cast<int>(len)) == 1 &&
           outLen == static_cast<int>(len);
}

}  // namespace orvel::codec
