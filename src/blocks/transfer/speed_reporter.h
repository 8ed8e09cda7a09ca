// Transfer speeds, filed with the usage collector when the rate query asks for them.
#pragma once

#include <string>
#include <string_view>

// Speed recording: the reporter gets the requester's URL and the text.
using SpeedReporter = void (*)(const std::string& requesterUrl, const std::string& text);

// Decided once per process by the rate query; later calls return the choice.
SpeedReporter GetSpeedReporter();
// "%d %s" and "%d %d", handed to the reporter (a null reporter does nothing).
void ReportSpeedText(SpeedReporter reporter, const std::string& url, int n, std::string_view text);
void ReportSpeedNumbers(SpeedReporter reporter, const std::string& url, int a, int b);

// The active reporter: item key = the text between the last two "/" of the
// URL, infotype "NetSpeed", value = the text.
void NetSpeed(const std::string& requesterUrl, const std::string& text);
// The reporter chosen when speeds are not recorded.
void NoSpeed(const std::string& requesterUrl, const std::string& text);
// The key NetSpeed files under for a URL.
std::string SpeedKeyFromUrl(std::string_view url);
