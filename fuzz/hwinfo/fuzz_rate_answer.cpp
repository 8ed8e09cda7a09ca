// Feeds arbitrary bytes to the key=value reader of the rate-query answer: the decimal number
// after the first "=" (0 without one). It must never crash and must agree with a plain
// reading of that rule.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../fuzz_support.h"
#include "blocks/transfer/rate_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string_view answer(reinterpret_cast<const char*>(data), size);
    const long value = ParseRateAnswer(answer);
    const size_t eq = answer.find('=');
    if (eq == std::string_view::npos) {
        if (value != 0) std::abort();
        return 0;
    }
    const std::string rest(answer.substr(eq + 1));
    if (value != std::strtol(rest.c_str(), nullptr, 10)) std::abort();
    return 0;
}
