// Small whole-file helpers shared by the settings stores.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Whole file, or null when it cannot be read or is larger than maxBytes.
std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxBytes);
// Writes through a temporary file in the same folder and renames it over path, so readers
// never see half a file.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);
