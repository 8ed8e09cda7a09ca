// Feeds arbitrary bytes to the INI reader as the bytes of a profile file, asking for a section
// and a key taken from the input too. Every lookup must end in a value of at most
// kProfileMaxChars UTF-16 units without a line break; a section or key that the file does not
// name gives the default.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../fuzz_support.h"
#include "platform/ini.h"
#include "platform/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    std::string_view in(reinterpret_cast<const char*>(data), size);
    // "<section>\n<key>\n<file bytes>": short names let the fuzzer hit what it writes.
    const size_t nl1 = in.find('\n');
    if (nl1 == std::string_view::npos) return 0;
    const size_t nl2 = in.find('\n', nl1 + 1);
    if (nl2 == std::string_view::npos) return 0;
    const std::string_view section = in.substr(0, nl1);
    const std::string_view key = in.substr(nl1 + 1, nl2 - nl1 - 1);
    const std::string_view bytes = in.substr(nl2 + 1);

    // A long default is cut once; a short one keeps the per-input cost on the parser.
    static const bool longDefaultCut = [] {
        const std::string def(300, 'd');
        if (ProfileStringFromBytes({}, "s", "k", def) != def.substr(0, kProfileMaxChars)) std::abort();
        return true;
    }();
    (void)longDefaultCut;
    static constexpr std::string_view kDefault = "(default)";
    const std::string value = ProfileStringFromBytes(bytes, section, key, kDefault);
    if (Utf8ToUtf16(value).size() > kProfileMaxChars) std::abort();
    if (value.find('\n') != std::string::npos) std::abort();
    if (ProfileStringFromBytes({}, section, key, kDefault) != kDefault) std::abort();
    // A file holding only the section header has no key: the default again.
    if (section.find_first_of("]\r\n") == std::string_view::npos && key.find('=') == std::string_view::npos &&
        ProfileStringFromBytes("[" + std::string(section) + "]\n", section, key, kDefault) != kDefault)
        std::abort();
    return 0;
}
