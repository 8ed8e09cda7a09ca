// Per-user settings: the registry key (proxy, user, config path, "isent") and the settings file
// (sections "Tavik", "TavikShell", "Debug"). A missing, unreadable or ill-typed value yields its default.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/hresult.h"

// From ORVEL_SETTINGS_FILE; "" = no file, all defaults.
std::string SettingsFilePath();
// At most 259 characters; def when the file has no value.
std::string ReadSettingString(std::string_view section, std::string_view key, std::string_view def);
// "UploadSpeed"/"DownloadSpeed": section "Debug" unless empty or -1, then "Tavik", else 1048576.
int32_t ReadSettingInt(std::string_view key);
// String or expandable-string values only (no expansion), at most 4095 characters; "" on any failure.
std::string ReadRegistryString(std::string_view name, bool logFailures);
uint32_t ReadRegistryDword(std::string_view name, uint32_t def, bool logFailures);
// "ProxyServerIP", "ProxyServerPort", "ProxyServerUserName", "ProxyServerPassword", "ProxyServerType" (-1).
void ReadProxySettings(std::string& ip, std::string& port, std::string& user, std::string& password, uint32_t& type);
// The system proxy from http_proxy / HTTP_PROXY ("http://host:port/" -> host, port; port "80" when absent).
// S_OK with enabled = false when none is set; E_FAIL when the variable names no host.
HRESULT GetSystemProxy(bool& enabled, std::string& host, std::string& port);

// Decimal text as a 32-bit integer the way the settings are read: leading blanks, an optional sign,
// digits up to the first other character (none: 0), clamped to the 32-bit range.
int32_t ParseDecimalInt32(std::string_view text);
