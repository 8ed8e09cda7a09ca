#include "platform/digest.h"

#include <openssl/evp.h>

#include "platform/hex.h"

namespace platform {

static_assert(EVP_MAX_MD_SIZE <= kMaxDigestSize);

void Digest::Free::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

namespace {
const EVP_MD* Algorithm(DigestKind kind) {
    switch (kind) {
        case DigestKind::Md5:
            return EVP_md5();
        case DigestKind::Sha1:
            break;
    }
    return EVP_sha1();
}
}  // namespace

Digest::Digest(DigestKind kind) : m_ctx(EVP_MD_CTX_new()), m_kind(kind) {
    m_ok = m_ctx && EVP_DigestInit_ex(m_ctx.get(), Algorithm(kind), nullptr) == 1;
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

bool Digest::Update(const void* data, size_t len) { return m_ok && EVP_DigestUpdate(m_ctx.get(), data, len) == 1; }

bool Digest::FinishBytes(uint8_t* out, unsigned* len) {
    if (!m_ok) return false;
    m_ok = EVP_DigestFinal_ex(m_ctx.get(), out, len) == 1 &&
           EVP_DigestInit_ex(m_ctx.get(), Algorithm(m_kind), nullptr) == 1;
    return m_ok;
}

bool Digest::FinishHex(std::string& hex) {
    uint8_t raw[kMaxDigestSize];
    unsigned len = 0;
    if (!FinishBytes(raw, &len)) return false;
    hex = HexEncode(raw, len);
    return true;
}

std::string Digest::HexDigest() {
    std::string hex;
    return FinishHex(hex) ? hex : std::string();
}

std::string Digest::Hex(DigestKind kind, const void* data, size_t len) {
    Digest digest(kind);
    digest.Update(data, len);
    return digest.HexDigest();
}

}  // namespace platform
