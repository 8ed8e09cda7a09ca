// Request helpers shared by every service operation: header text, percent
// encoding, root URLs, the "isent" marker and the log masking of credentials.
#pragma once

#include <string>
#include <string_view>

// Percent-encodes the bytes the service's header parser treats as special.
std::string UrlEncode(std::string_view src);

// Appends "key:value" (value percent-encoded) to the "&"-joined header text.
void AddHeaderField(std::string& header, std::string_view key, const char* value);

// The header lines every service request carries (v, User-Agent, cv, Expect,
// and Accept-Encoding when gzip is asked for).
void BuildRequestHeaders(std::string& header, bool gzip, std::string_view version);

// Root builders: scheme + configured root + path. A root that already names
// its scheme ("http://" or "https://") is used as given.
std::string ServiceUrl(std::string_view path);
std::string CommandUrl(std::string_view path);
std::string PushUrl(std::string_view path);
std::string WebUrl(std::string_view path);
// The message service and the sign-in return address are deployment values.
std::string MessageUrl(std::string_view path);
std::string UdbReturnUrl();

// Joins a root setting and a path.
std::string JoinRoot(std::string_view root, std::string_view path);

// Marks the URL with "isent=1" when the registry flag "isent" is set.
void AppendIsEnt(std::string& url);

// Removes the session token and the password from a request text (for logs).
std::string MaskToken(std::string_view text);

// The address every root defaults to: the local service emulator.
inline constexpr std::string_view kDefaultRoot = "127.0.0.1:18750";
