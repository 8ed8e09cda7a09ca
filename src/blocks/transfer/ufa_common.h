// Pieces shared by the upload and download protocols: header texts, the retry
// rule, answer parsing and checks on what the service hands out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/exceptions.h"
#include "common/hresult.h"
#include "common/recordtree.h"

namespace ufa {

// Header lines of the block protocol ("&"-joined "name:value" items): "v" is 4
// towards the API host and 3 towards the block servers.
inline constexpr std::string_view kClientAgent = "tavik-1.0.0.0";
std::string ApiHeaders();
std::string BlockServerHeaders();

// Retry up to three times on a server error, at once; anything else (and the
// third server error) propagates.
inline constexpr int kAttempts = 3;
template <class Perform>
auto PerformWithRetry(Perform&& perform) {
    for (int attempt = 1;; ++attempt) {
        try {
            return perform();
        } catch (const EXCEPT::ServerError&) {
            if (attempt >= kAttempts) throw;
        }
    }
}

// The API host's URLs are the pipeline's (ServiceUrl, remotestorage/http_call.h).

// Parses an XML answer of the API host and applies the result check. An answer
// that is not XML raises ServerError(raisedIn, answer text).
RecordTree ParseXmlAnswer(const std::string& text, std::string_view raisedIn);
// The same for a block server's JSON answer.
RecordTree ParseJsonAnswer(const std::string& text, std::string_view raisedIn);

// A value the API host sends as an element's text (or, failing that, as an attribute).
std::string AnswerField(const RecordTree& answer, std::string_view key);

// A block identifier is exactly 46 lower-case hex characters: six of size and
// forty of SHA-1. Only such identifiers are ever used in file names.
bool IsValidBlockId(std::string_view blockId);
// A block server URL must be http:// or https:// with a host.
bool IsHttpUrl(std::string_view url);

// Call only inside a catch block: maps the failure in flight to the transfer's
// result and files the "<infoType>" event for network and server failures
// (e.g. "UFAUploadFailed"). A conflict's answer is copied into `conflict`.
HRESULT ResultForTransferFailure(std::string_view infoType, RecordTree* conflict);

// Case-insensitive comparison of two hex texts.
bool HexEqualsNoCase(std::string_view a, std::string_view b);

// Decimal text of a non-negative 32-bit number; false for anything else.
bool ParseIndex(std::string_view text, int32_t& value);

}  // namespace ufa
