// UTF-8 <-> UTF-16 conversion at the C boundary; inside the library text is UTF-8.
#pragma once

#include <string>
#include <string_view>

// Invalid sequences (bad bytes, lone surrogates) become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// A null pointer gives "".
std::string Utf16ToUtf8(const char16_t* text);

// ASCII-only case folding, the comparison the service's keys use.
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view text);
// Cuts UTF-8 text to at most maxBytes without splitting a character.
std::string_view CutUtf8(std::string_view text, size_t maxBytes);
// Cuts UTF-8 text to at most maxUnits UTF-16 code units (the "characters" of a wide buffer).
std::string CutUtf16Units(std::string_view text, size_t maxUnits);
