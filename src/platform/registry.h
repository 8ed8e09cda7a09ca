// The per-user key HKEY_CURRENT_USER\Software\Tavik, kept as a .reg text file named by
// ORVEL_REGISTRY_FILE. Unset variable, unreadable file or a file that is not .reg format
// = a key that does not exist; every read then fails and callers use their defaults.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class RegType { String, ExpandString, MultiString, Dword };

// The section of the .reg file that stands for the key.
inline constexpr std::string_view kRegistryKeyName = "HKEY_CURRENT_USER\\Software\\Tavik";

// Path from ORVEL_REGISTRY_FILE ("" when unset).
std::string RegistryFilePath();
// True when the file is a .reg file holding the key's section.
bool RegKeyExists();
// Reads one value (names compare without regard to ASCII case). A multi-string comes back
// with its strings separated by '\0' and no final terminator. Values of other types, and
// data that is not a whole, zero-terminated UTF-16 string, fail. Out pointers may be null.
bool RegQueryValue(std::string_view name, RegType* type, std::string* text, uint32_t* dword);
// Writes one value, creating the file and the section when missing. A file that exists but
// is not a .reg file is left untouched (false).
bool RegSetString(std::string_view name, std::string_view value);
bool RegSetDword(std::string_view name, uint32_t value);
