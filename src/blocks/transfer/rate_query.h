// The once-per-process question to the rate-query host: are transfer speeds
// to be recorded?
#pragma once

#include <string>
#include <string_view>

// "http://" + setting "RateQueryRoot" of section "Tavik" (default
// "127.0.0.1:8080"; a host without a port gets ":8080"; a value starting with
// "http://" or "https://" is used as given) + "/tavik/getrate.do".
std::string RateQueryUrl();

// The decimal number after the first "=" of the answer; 0 without one.
long ParseRateAnswer(std::string_view answer);

// Posts uname, uid, ver and hwid with a 2-second limit; true when the answer
// carries a non-zero number. Any failure answers false.
bool QueryRateDecision();

// The machine's fingerprint, computed once per process.
std::string ProcessHardwareId();
