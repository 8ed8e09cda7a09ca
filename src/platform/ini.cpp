#include "platform/ini.h"

#include <optional>

#include "platform/file_util.h"
#include "platform/reg_parse.h"
#include "platform/strings.h"

namespace {

constexpr size_t kMaxIniFile = 16u << 20;

std::optional<std::string> FindValue(std::string_view text, std::string_view section, std::string_view key) {
    using orvel::reg::Trim;
    bool sectionSeen = false;
    bool inSection = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            if (inSection) return std::nullopt;  // only the first section of that name counts
            const size_t close = line.find(']');
            std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            inSection = !sectionSeen && EqualsNoCase(name, Trim(section));
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            if (EqualsNoCase(line, Trim(key))) return std::nullopt;  // a key without a value
            continue;
        }
        if (!EqualsNoCase(Trim(line.substr(0, eq)), Trim(key))) continue;
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::nullopt;
}

}  // namespace

std::string ProfileStringFromBytes(std::string_view bytes, std::string_view section, std::string_view key,
                                   std::string_view def) {
    bool utf16 = false;
    const std::string text = orvel::reg::DecodeFileBytes(bytes, &utf16);
    if (const auto value = FindValue(text, section, key)) return CutUtf16Units(*value, kProfileMaxChars);
    return CutUtf16Units(def, kProfileMaxChars);
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& file) {
    if (!file.empty()) {
        if (const auto bytes = ReadWholeFile(file, kMaxIniFile))
            return ProfileStringFromBytes(*bytes, section, key, def);
    }
    return CutUtf16Units(def, kProfileMaxChars);
}
