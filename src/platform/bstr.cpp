#include "platform/bstr.h"

// The BSTR helpers are exports: their declarations carry the default visibility.
#include <orvelsdk/orvelsdk.h>

#include <cstdlib>
#include <cstring>

#include "platform/strings.h"

namespace {
constexpr size_t kPrefix = sizeof(uint32_t);
}

extern "C" {

ORVEL_API BSTR SysAllocStringLen(const char16_t* pch, unsigned int len) {
    const size_t bytes = static_cast<size_t>(len) * sizeof(char16_t);
    if (bytes > 0xFFFFFFF0u) return nullptr;
    // The prefix holds the byte length; the string is NUL-terminated as well.
    void* block = std::malloc(kPrefix + bytes + sizeof(char16_t));
    if (block == nullptr) return nullptr;
    const uint32_t byteLen = static_cast<uint32_t>(bytes);
    std::memcpy(block, &byteLen, kPrefix);
    auto* text = reinterpret_cast<char16_t*>(static_cast<char*>(block) + kPrefix);
    if (pch != nullptr)
        std::memcpy(text, pch, bytes);
    else
        std::memset(text, 0, bytes);
    text[len] = 0;
    return text;
}

ORVEL_API BSTR SysAllocString(const char16_t* psz) {
    if (psz == nullptr) return nullptr;
    size_t len = 0;
    while (psz[len] != 0) ++len;
    if (len > 0x7FFFFFF0u) return nullptr;
    return SysAllocStringLen(psz, static_cast<unsigned int>(len));
}

ORVEL_API void SysFreeString(BSTR bstr) {
    if (bstr == nullptr) return;
    std::free(reinterpret_cast<char*>(bstr) - kPrefix);
}

ORVEL_API unsigned int SysStringLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    uint32_t byteLen = 0;
    std::memcpy(&byteLen, reinterpret_cast<char*>(bstr) - kPrefix, kPrefix);
    return byteLen / sizeof(char16_t);
}

}  // extern "C"

BSTR BstrFromUtf8(std::string_view text) {
    const std::u16string wide = Utf8ToUtf16(text);
    if (wide.size() > 0x7FFFFFF0u) return nullptr;
    return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}
