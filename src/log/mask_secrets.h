// Every log line passes through here before it is written: credentials and
// access grants that a request, an answer or a URL carries are replaced by "***".
#pragma once

#include <string>
#include <string_view>

// Masks the value of every name that ends (any letter case) in "token",
// "password", "passwd", "pwd", "stub", "filekey" or "secret" when it is written as
// an XML element (<token>v</token>), an attribute or JSON member (token="v",
// "stub":"v"), a form or query field (token=v&...), a header (Token: v) or a
// trace detail (Stub = v); and every run of exactly 64 hex digits (a block key).
// `limit` bounds the work for a caller that keeps only a head of the text:
// masking stops once the output is longer than `limit`. Whole words and masked
// values are appended, so the output up to there is the same as without a limit.
std::string MaskSecrets(std::string_view text, size_t limit = std::string::npos);
