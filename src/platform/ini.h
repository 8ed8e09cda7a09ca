// Private-profile (INI) reading: sections and keys compare without regard to ASCII case,
// the first matching section wins, blanks around keys and values are dropped, a value in
// matching quotes loses them, a key without '=' has no value. Result at most 259 characters;
// the default (also cut to 259) when the file, the section or the key is missing.
#pragma once

#include <string>
#include <string_view>

inline constexpr size_t kProfileMaxChars = 259;

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& file);
// The same lookup on the bytes of a profile file already read.
std::string ProfileStringFromBytes(std::string_view bytes, std::string_view section, std::string_view key,
                                   std::string_view def);
