#include "common/settings.h"

#include <cstdlib>

#include "log/log.h"
#include "platform/ini.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace {

constexpr size_t kRegistryStringMax = 4095;

bool IsStrEmpty(std::string_view s) { return s.empty(); }

void LogOpenFailure(bool logFailures) {
    if (logFailures)
        LogWrite(kLogLevelTrace, "Open Register HKEY_CURRENT_USER\\Software\\Tavik Failed!", __FILE__, __LINE__);
}

void LogValueFailure(bool logFailures, std::string_view name) {
    if (!logFailures) return;
    const std::string n(name);
    LOGF(kLogLevelTrace, "Get Register Key/Value HKEY_CURRENT_USER\\Software\\Tavik\\%s Failed!", n.c_str());
}

}  // namespace

std::string SettingsFilePath() {
    const char* p = std::getenv("ORVEL_SETTINGS_FILE");
    return p != nullptr ? p : "";
}

std::string ReadSettingString(std::string_view section, std::string_view key, std::string_view def) {
    return GetPrivateProfileString(section, key, def, SettingsFilePath());
}

int32_t ParseDecimalInt32(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) value = 2147483648LL;  // saturate; clamped below
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t ReadSettingInt(std::string_view key) {
    const std::string debug = ReadSettingString("Debug", key, "");
    const int32_t value = debug.empty() ? -1 : ParseDecimalInt32(debug);
    if (value != -1) return value;
    const std::string tavik = ReadSettingString("Tavik", key, "");
    return tavik.empty() ? 1048576 : ParseDecimalInt32(tavik);
}

std::string ReadRegistryString(std::string_view szKey, bool logFailures) {
    ORVEL_ASSERT(!IsStrEmpty(szKey));
    if (!RegKeyExists()) {
        LogOpenFailure(logFailures);
        return {};
    }
    RegType type{};
    std::string text;
    if (!RegQueryValue(szKey, &type, &text, nullptr) || (type != RegType::String && type != RegType::ExpandString) ||
        Utf8ToUtf16(text).size() > kRegistryStringMax) {
        LogValueFailure(logFailures, szKey);
        return {};
    }
    return text;
}

uint32_t ReadRegistryDword(std::string_view szKey, uint32_t def, bool logFailures) {
    ORVEL_ASSERT(!IsStrEmpty(szKey));
    if (!RegKeyExists()) {
        LogOpenFailure(logFailures);
        return def;
    }
    RegType type{};
    uint32_t value = 0;
    if (!RegQueryValue(szKey, &type, nullptr, &value) || type != RegType::Dword) {
        LogValueFailure(logFailures, szKey);
        return def;
    }
    return value;
}

void ReadProxySettings(std::string& ip, std::string& port, std::string& user, std::string& password, uint32_t& type) {
    ip = ReadRegistryString("ProxyServerIP", false);
    port = ReadRegistryString("ProxyServerPort", false);
    user = ReadRegistryString("ProxyServerUserName", false);
    password = ReadRegistryString("ProxyServerPassword", false);
    type = ReadRegistryDword("ProxyServerType", static_cast<uint32_t>(-1), false);
}

HRESULT GetSystemProxy(bool& enabled, std::string& host, std::string& port) {
    enabled = false;
    const char* env = std::getenv("http_proxy");
    if (env == nullptr || env[0] == 0) env = std::getenv("HTTP_PROXY");
    if (env == nullptr || env[0] == 0) return S_OK;  // no proxy configured

    std::string_view entry(env);
    // Several entries may be listed; the first one counts.
    while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
    entry = entry.substr(0, entry.find(' '));
    if (const size_t scheme = entry.find("://"); scheme != std::string_view::npos) entry.remove_prefix(scheme + 3);
    entry = entry.substr(0, entry.find('/'));  // trailing slash and any path
    if (const size_t at = entry.rfind('@'); at != std::string_view::npos) entry.remove_prefix(at + 1);  // credentials
    std::string_view h, p;
    if (!entry.empty() && entry.front() == '[') {  // [v6 address]:port
        const size_t close = entry.find(']');
        h = entry.substr(0, close == std::string_view::npos ? entry.size() : close + 1);
        if (close != std::string_view::npos && close + 1 < entry.size() && entry[close + 1] == ':')
            p = entry.substr(close + 2);
    } else {
        const size_t colon = entry.find(':');
        h = entry.substr(0, colon);
        if (colon != std::string_view::npos) p = entry.substr(colon + 1);
    }
    if (h.empty()) {
        LogWrite(kLogLevelWarn, "ERROR_CHECK_BOOLEX:vecIpPort.size() > 0", __FILE__, __LINE__);
        return E_FAIL;
    }
    enabled = true;
    host = std::string(h);
    port = p.empty() ? std::string("80") : std::string(p);
    return S_OK;
}
