#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "platform/file_util.h"
#include "platform/named_mutex.h"
#include "platform/reg_parse.h"
#include "platform/strings.h"

using namespace orvel::reg;

namespace {

constexpr size_t kMaxRegFile = 16u << 20;  // larger files are not a settings key; treat as absent

std::optional<ParsedFile> LoadKey() {
    const std::string path = RegistryFilePath();
    const auto bytes = ReadWholeFile(path, kMaxRegFile);
    if (!bytes) return std::nullopt;
    bool utf16 = false;
    auto parsed = ParseRegText(DecodeFileBytes(*bytes, &utf16));
    if (parsed) parsed->utf16File = utf16;
    return parsed;
}

NamedMutex& WriteLock() {
    static NamedMutex mutex("orvel_registry_file");
    return mutex;
}

std::string QuoteRegString(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string HexLine(std::string_view bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof(buf), "%02x", static_cast<unsigned char>(bytes[i]));
        if (i) out += ',';
        out += buf;
    }
    return out;
}

std::string EncodeUtf16Le(std::string_view text) {
    std::u16string w = Utf8ToUtf16(text);
    w += u'\0';
    std::string out;
    for (char16_t u : w) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

std::string EncodeFile(const std::string& text, bool utf16) {
    if (!utf16) return text;
    std::u16string w = Utf8ToUtf16(text);
    std::string out = "\xFF\xFE";
    for (char16_t u : w) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

// Replaces (or adds) one value line in the key's section, keeping every other line as it was.
bool WriteValueLine(std::string_view name, const std::function<std::string(bool unicode)>& makeData) {
    const std::string path = RegistryFilePath();
    if (path.empty()) return false;
    std::lock_guard<NamedMutex> guard(WriteLock());
    std::string text;
    bool utf16 = false;
    bool unicode = true;
    if (const auto bytes = ReadWholeFile(path, kMaxRegFile)) {
        text = DecodeFileBytes(*bytes, &utf16);
        if (!ParseRegText(text)) {
            // Not ours to overwrite: an unknown file must not be lost.
            if (!Trim(text).empty()) return false;
            text.clear();
        }
    }
    if (text.empty()) text = "Windows Registry Editor Version 5.00\r\n";
    std::vector<std::string> lines = LogicalLines(text);
    for (const auto& l : lines)
        if (IsHeaderLine(l, &unicode)) break;
    const std::string newLine = (name.empty() ? std::string("@") : QuoteRegString(name)) + "=" + makeData(unicode);
    // Drop earlier lines of the same value in the section; insert the new one at the section end.
    std::vector<std::string> out;
    bool inKey = false, done = false, sawKey = false;
    size_t insertAt = std::string::npos;
    for (auto& l : lines) {
        std::string_view t = Trim(l);
        if (!t.empty() && t.front() == '[') {
            if (inKey && insertAt == std::string::npos) insertAt = out.size();
            inKey = IsKeySection(t);
            sawKey = sawKey || inKey;
        } else if (inKey) {
            std::string existing;
            if (ParseValueName(t, &existing) != 0 && EqualsNoCase(existing, name)) continue;
        }
        out.push_back(l);
    }
    while (!out.empty() && Trim(out.back()).empty()) out.pop_back();
    if (sawKey) {
        if (insertAt == std::string::npos) insertAt = out.size();
        while (insertAt > 0 && Trim(out[insertAt - 1]).empty()) --insertAt;
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
        done = true;
    }
    if (!done) {
        out.emplace_back("");
        out.push_back("[" + std::string(kRegistryKeyName) + "]");
        out.push_back(newLine);
    }
    std::string result;
    for (const auto& l : out) result += Trim(l).empty() ? std::string() + "\r\n" : l + "\r\n";
    return ReplaceFileContents(path, EncodeFile(result, utf16));
}

}  // namespace

std::string RegistryFilePath() {
    const char* p = std::getenv("ORVEL_REGISTRY_FILE");
    return p != nullptr ? p : "";
}

bool RegKeyExists() {
    const auto key = LoadKey();
    return key && key->hasSection;
}

bool RegQueryValue(std::string_view name, RegType* type, std::string* text, uint32_t* dword) {
    const auto key = LoadKey();
    if (!key || !key->hasSection) return false;
    for (const auto& v : key->values) {
        if (!EqualsNoCase(v.name, name)) continue;
        if (!v.usable) return false;
        if (type) *type = v.type;
        if (text) *text = v.text;
        if (dword) *dword = v.dword;
        return true;
    }
    return false;
}

bool RegSetString(std::string_view name, std::string_view value) {
    return WriteValueLine(name, [value](bool unicode) {
        // A line break cannot stand inside a quoted .reg string; such text goes out as hex data.
        if (value.find('\n') == std::string_view::npos && value.find('\r') == std::string_view::npos)
            return QuoteRegString(value);
        return "hex(1):" + HexLine(unicode ? EncodeUtf16Le(value) : std::string(value) + std::string(1, '\0'));
    });
}

bool RegSetDword(std::string_view name, uint32_t value) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "dword:%08x", value);
    const std::string data = buf;
    return WriteValueLine(name, [&data](bool) { return data; });
}
