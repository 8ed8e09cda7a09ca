#include "log/mask_secrets.h"

#include <algorithm>
#include <array>

#include "platform/hex.h"
#include "platform/strings.h"

namespace {

constexpr std::string_view kMask = "***";
constexpr std::array<std::string_view, 7> kSecretEndings = {"token", "password", "passwd", "pwd",
                                                            "stub",  "filekey",  "secret"};

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool NamesASecret(std::string_view name) {
    for (std::string_view ending : kSecretEndings) {
        if (name.size() >= ending.size() && EqualsNoCase(name.substr(name.size() - ending.size()), ending)) return true;
    }
    return false;
}

// Where an unquoted value ends: at a field, element or word boundary.
bool EndsBareValue(char c) {
    return c == '&' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';' || c == '"' ||
           c == '\'' || c == '<' || c == '>' || c == '}' || c == ']' || c == ')';
}

// After a secret's name at `pos`, finds its value [begin, end); false when the
// name is not followed by one.
bool FindValue(std::string_view text, size_t nameStart, size_t pos, size_t& begin, size_t& end) {
    // An XML element: <token>value</token>
    if (nameStart > 0 && text[nameStart - 1] == '<' && pos < text.size() && text[pos] == '>') {
        begin = pos + 1;
        end = text.find('<', begin);
        if (end == std::string_view::npos) end = text.size();
        return end > begin;
    }
    size_t at = pos;
    if (at < text.size() && (text[at] == '"' || text[at] == '\'')) ++at;  // the quote closing a JSON name
    while (at < text.size() && text[at] == ' ') ++at;
    if (at >= text.size() || (text[at] != '=' && text[at] != ':')) return false;
    const bool colon = text[at] == ':';
    ++at;
    while (at < text.size() && text[at] == ' ') ++at;
    if (at >= text.size()) return false;
    if (text[at] == '"' || text[at] == '\'') {
        const char quote = text[at];
        begin = at + 1;
        end = begin;
        while (end < text.size() && text[end] != quote) end += (text[end] == '\\' && end + 1 < text.size()) ? 2 : 1;
        if (end > text.size()) end = text.size();
        return end > begin;
    }
    // "Name:" directly followed by a value is a header or a JSON member; "::" is C++ scope.
    if (colon && text[at] == ':') return false;
    begin = at;
    end = begin;
    while (end < text.size() && !EndsBareValue(text[end])) ++end;
    return end > begin;
}

}  // namespace

std::string MaskSecrets(std::string_view text, size_t limit) {
    std::string out;
    out.reserve(std::min(text.size(), limit) + 64);
    size_t i = 0;
    while (i < text.size() && out.size() <= limit) {
        const char c = text[i];
        if (IsNameChar(c) && (i == 0 || !IsNameChar(text[i - 1]))) {
            size_t j = i;
            while (j < text.size() && IsNameChar(text[j])) ++j;
            const std::string_view word = text.substr(i, j - i);
            size_t begin = 0, end = 0;
            if (word.size() == 64 && [&] {
                    for (char h : word)
                        if (HexDigitValue(h) < 0) return false;
                    return true;
                }()) {
                out += kMask;  // a block key
                i = j;
                continue;
            }
            out += word;
            if (NamesASecret(word) && FindValue(text, i, j, begin, end)) {
                out.append(text.substr(j, begin - j));
                out += kMask;
                i = end;
            } else {
                i = j;
            }
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}
