// Parser for .reg text ("Windows Registry Editor Version 5.00" / "REGEDIT4").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace orvel::reg {

struct ParsedValue {
    std::string name;     // "" for the default value "@"
    bool usable = false;  // false: a type the readers do not know, or malformed data
    RegType type = RegType::String;
    std::string text;
    uint32_t dword = 0;
};

struct ParsedFile {
    bool unicode = true;              // 5.00 (UTF-16 hex data) rather than REGEDIT4 (8-bit)
    bool utf16File = false;           // the file itself was UTF-16LE
    bool hasSection = false;          // the key's section was present
    std::vector<ParsedValue> values;  // values of the key's section, last write wins
};

// Raw file bytes (any encoding handled) to UTF-8 text; sets utf16File.
std::string DecodeFileBytes(std::string_view bytes, bool* utf16File);
// Splits text into logical lines, joining hex continuation lines.
std::vector<std::string> LogicalLines(std::string_view text);
// Null when the text is not .reg format.
std::optional<ParsedFile> ParseRegText(std::string_view text);
// Parses a quoted name at the start of s ("name" or @); returns the length consumed, 0 on error.
size_t ParseValueName(std::string_view s, std::string* name);
bool IsHeaderLine(std::string_view line, bool* unicode);
bool IsKeySection(std::string_view line);
std::string_view Trim(std::string_view s);

}  // namespace orvel::reg
