// Feeds arbitrary bytes to the .reg reader as the registry file. Parsing must never crash;
// when the bytes are a .reg file (or empty), setting one value must keep every other value
// of the key readable as before and make the new value read back exactly.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "log/log.h"
#include "log/log_testing.h"
#include "platform/reg_parse.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace {

const std::string& RegistryFile() {
    static const std::string path = [] {
        char templ[] = "/tmp/orvel_fuzz_registry_XXXXXX";
        if (::mkdtemp(templ) == nullptr) std::abort();
        const std::string file = std::string(templ) + "/tavik.reg";
        ::setenv("ORVEL_REGISTRY_FILE", file.c_str(), 1);
        orvel::logtest::SetSleepEnabled(false);
        return file;
    }();
    return path;
}

void Write(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& file = RegistryFile();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    bool utf16 = false;
    const auto before = orvel::reg::ParseRegText(orvel::reg::DecodeFileBytes(bytes, &utf16));
    Write(file, bytes);
    const bool setOk = RegSetString("FuzzValue", "fuzz \"value\" \\ end");
    if (!before) {
        // Not ours: must stay byte for byte unless it was blank.
        std::ifstream in(file, std::ios::binary);
        const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (setOk ? !orvel::reg::Trim(orvel::reg::DecodeFileBytes(bytes, &utf16)).empty() : now != bytes) std::abort();
        if (!setOk) return 0;
    }
    if (!setOk) std::abort();

    RegType type{};
    std::string text;
    if (!RegQueryValue("FuzzValue", &type, &text, nullptr) || type != RegType::String ||
        text != "fuzz \"value\" \\ end")
        std::abort();
    if (!before || !before->hasSection) return 0;
    for (const auto& v : before->values) {
        if (EqualsNoCase(v.name, "FuzzValue") || !v.usable) continue;
        RegType t{};
        std::string s;
        uint32_t d = 0;
        if (!RegQueryValue(v.name, &t, &s, &d) || t != v.type) std::abort();
        if (t == RegType::Dword ? d != v.dword : s != v.text) std::abort();
    }
    return 0;
}
