// The one hex codec: digit values for every parser of hex text, and hex text of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 0-15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other character.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The hex digit of a value 0-15.
inline char HexDigit(unsigned value, bool upper = false) {
    return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0x0f];
}

// Two digits per byte, lower case unless `upper`.
inline std::string HexEncode(const void* data, size_t len, bool upper = false) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::string hex(2 * len, '0');
    for (size_t i = 0; i < len; ++i) {
        hex[2 * i] = HexDigit(bytes[i] >> 4, upper);
        hex[2 * i + 1] = HexDigit(bytes[i], upper);
    }
    return hex;
}
