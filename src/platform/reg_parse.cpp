#include "platform/reg_parse.h"

#include "platform/hex.h"
#include "platform/strings.h"

namespace orvel::reg {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::string DecodeFileBytes(std::string_view bytes, bool* utf16File) {
    *utf16File = false;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        *utf16File = true;
        std::u16string wide;
        wide.reserve(bytes.size() / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8));
        return Utf16ToUtf8(wide);
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    return std::string(bytes);
}

bool IsHeaderLine(std::string_view line, bool* unicode) {
    line = Trim(line);
    if (line == "Windows Registry Editor Version 5.00") {
        *unicode = true;
        return true;
    }
    if (line == "REGEDIT4") {
        *unicode = false;
        return true;
    }
    return false;
}

bool IsKeySection(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
    return EqualsNoCase(Trim(line.substr(1, line.size() - 2)), kRegistryKeyName);
}

std::vector<std::string> LogicalLines(std::string_view text) {
    std::vector<std::string> out;
    bool continuing = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        std::string_view piece = continuing ? Trim(raw) : raw;
        if (continuing)
            out.back() += piece;
        else
            out.emplace_back(piece);
        // Only hex data is wrapped with a trailing backslash; a string value may end in one legitimately.
        std::string& cur = out.back();
        const size_t eq = cur.find("=hex");
        std::string_view trimmed = Trim(cur);
        continuing = eq != std::string::npos && !trimmed.empty() && trimmed.back() == '\\';
        if (continuing) cur.assign(trimmed.substr(0, trimmed.size() - 1));
        if (end == text.size()) break;
        pos = end + 1;
    }
    return out;
}

size_t ParseValueName(std::string_view s, std::string* name) {
    name->clear();
    if (!s.empty() && s[0] == '@') return 1;
    if (s.empty() || s[0] != '"') return 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            *name += s[++i];
        } else if (s[i] == '"') {
            return i + 1;
        } else {
            *name += s[i];
        }
    }
    return 0;
}

namespace {

// "41,00,42,00" -> bytes; false on any malformed item.
bool ParseHexBytes(std::string_view s, std::string* out) {
    out->clear();
    s = Trim(s);
    if (s.empty()) return true;
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        if (comma == std::string_view::npos) comma = s.size();
        std::string_view item = Trim(s.substr(pos, comma - pos));
        if (item.empty() || item.size() > 2) return false;
        int v = 0;
        for (char c : item) {
            const int d = HexDigitValue(c);
            if (d < 0) return false;
            v = v * 16 + d;
        }
        *out += static_cast<char>(v);
        if (comma == s.size()) break;
        pos = comma + 1;
    }
    return true;
}

// Registry string data: a whole number of characters ending in a zero character.
bool DecodeStringData(const std::string& bytes, bool unicode, std::u16string* units) {
    units->clear();
    if (unicode) {
        if (bytes.size() < 2 || bytes.size() % 2 != 0) return false;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            *units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8));
    } else {
        if (bytes.empty()) return false;
        *units = Utf8ToUtf16(bytes);  // 8-bit data of REGEDIT4 files is taken as UTF-8
    }
    return !units->empty() && units->back() == 0;
}

bool ParseQuoted(std::string_view s, std::string* out) {
    out->clear();
    if (s.size() < 2 || s.front() != '"') return false;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            *out += s[++i];
        } else if (s[i] == '"') {
            return Trim(s.substr(i + 1)).empty();
        } else {
            *out += s[i];
        }
    }
    return false;
}

void ParseData(std::string_view data, bool unicode, ParsedValue* v) {
    data = Trim(data);
    v->usable = false;
    if (!data.empty() && data.front() == '"') {
        v->type = RegType::String;
        v->usable = ParseQuoted(data, &v->text);
        return;
    }
    std::string lower = ToLowerAscii(data.substr(0, std::min<size_t>(data.size(), 8)));
    if (lower.rfind("dword:", 0) == 0) {
        std::string_view digits = Trim(data.substr(6));
        if (digits.empty() || digits.size() > 8) return;
        uint32_t value = 0;
        for (char c : digits) {
            const int d = HexDigitValue(c);
            if (d < 0) return;
            value = value * 16 + static_cast<uint32_t>(d);
        }
        v->type = RegType::Dword;
        v->dword = value;
        v->usable = true;
        return;
    }
    if (lower.rfind("hex(", 0) != 0) return;  // plain binary "hex:" and unknown forms
    const size_t close = data.find("):");
    if (close == std::string_view::npos) return;
    const std::string kind = ToLowerAscii(data.substr(4, close - 4));
    std::string bytes;
    if (!ParseHexBytes(data.substr(close + 2), &bytes)) return;
    if (kind == "4") {
        if (bytes.size() != 4) return;
        v->type = RegType::Dword;
        v->dword = static_cast<uint32_t>(static_cast<unsigned char>(bytes[0])) |
                   static_cast<uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
                   static_cast<uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
                   static_cast<uint32_t>(static_cast<unsigned char>(bytes[3])) << 24;
        v->usable = true;
        return;
    }
    if (kind != "1" && kind != "2" && kind != "7") return;
    v->type = kind == "1" ? RegType::String : kind == "2" ? RegType::ExpandString : RegType::MultiString;
    std::u16string units;
    if (!DecodeStringData(bytes, unicode, &units)) return;
    units.pop_back();  // the terminating zero
    if (v->type == RegType::MultiString) {
        // A multi-string ends in two zeros; the last empty string is the list's end marker.
        if (!units.empty() && units.back() == 0) units.pop_back();
    } else {
        const size_t nul = units.find(u'\0');
        if (nul != std::u16string::npos) units.resize(nul);
    }
    v->text = Utf16ToUtf8(units);
    v->usable = true;
}

}  // namespace

std::optional<ParsedFile> ParseRegText(std::string_view text) {
    const std::vector<std::string> lines = LogicalLines(text);
    ParsedFile file;
    size_t i = 0;
    while (i < lines.size() && Trim(lines[i]).empty()) ++i;
    if (i == lines.size() || !IsHeaderLine(lines[i], &file.unicode)) return std::nullopt;
    bool inKey = false;
    for (++i; i < lines.size(); ++i) {
        std::string_view line = Trim(lines[i]);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            inKey = IsKeySection(line);
            file.hasSection = file.hasSection || inKey;
            continue;
        }
        if (!inKey) continue;
        ParsedValue v;
        const size_t used = ParseValueName(line, &v.name);
        if (used == 0) continue;
        std::string_view rest = Trim(line.substr(used));
        if (rest.empty() || rest.front() != '=') continue;
        rest = Trim(rest.substr(1));
        for (size_t k = 0; k < file.values.size(); ++k) {
            if (EqualsNoCase(file.values[k].name, v.name)) {
                file.values.erase(file.values.begin() + static_cast<std::ptrdiff_t>(k));
                break;
            }
        }
        if (rest == "-") continue;  // "name"=- deletes the value
        ParseData(rest, file.unicode, &v);
        file.values.push_back(std::move(v));
    }
    return file;
}

}  // namespace orvel::reg
