// Gzip handling of answer bodies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Inflates a zlib- or gzip-wrapped body (the header is detected). On a broken
// stream the bytes produced before the failing step are returned. Output beyond
// `maxBytes` stops the inflation: the result is then empty and *tooLarge is set.
std::string InflateBody(std::string_view body, size_t maxBytes = SIZE_MAX, bool* tooLarge = nullptr);

// True when the response header text carries "Content-Encoding: gzip" exactly
// (name case as written, one blank after the colon, value "gzip").
bool HeaderAnnouncesGzip(std::string_view headerText);

// The answer text of a body: inflated when the header text announces gzip, then
// cut at its first NUL byte.
std::string AnswerText(std::string_view headerText, std::string_view body, size_t maxBytes = SIZE_MAX,
                       bool* tooLarge = nullptr);
