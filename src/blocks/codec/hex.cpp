#include "blocks/codec/block_codec.h"
#include "platform/hex.h"

bool HexToBytes(size_t count, std::string_view text, bool swap, uint8_t* out) {
    if (out == nullptr || text.size() != 2 * count) return false;
    for (size_t k = 0; k < count; ++k) {
        int hi = HexDigitValue(text[2 * k]);
        int lo = HexDigitValue(text[2 * k + 1]);
        if (hi < 0 || lo < 0) return false;
        // Block keys are written with the two digits of every byte exchanged.
        out[k] = static_cast<uint8_t>(swap ? (lo << 4) | hi : (hi << 4) | lo);
    }
    return true;
}

std::string BytesToHex(const uint8_t* data, size_t len) { return HexEncode(data, len); }
