// One message-digest wrapper over OpenSSL's EVP interface: incremental or one-shot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX, kept out of this header

namespace platform {

enum class DigestKind { Sha1, Md5 };

// The largest digest any kind produces, in bytes.
constexpr size_t kMaxDigestSize = 64;

class Digest {
public:
    explicit Digest(DigestKind kind);
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // False when OpenSSL could not set the digest up (out of memory).
    bool Ok() const { return m_ok; }
    bool Update(const void* data, size_t len);
    // Finishes into raw bytes (`out` holds kMaxDigestSize) and restarts for the next input.
    bool FinishBytes(uint8_t* out, unsigned* len);
    // Finishes into lower-case hex and restarts.
    bool FinishHex(std::string& hex);
    // Lower-case hex of what was fed, then restarts; empty on a failure.
    std::string HexDigest();

    // One-shot lower-case hex; empty on a failure.
    static std::string Hex(DigestKind kind, const void* data, size_t len);

private:
    struct Free {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_ctx;
    DigestKind m_kind;
    bool m_ok = false;
};

}  // namespace platform
