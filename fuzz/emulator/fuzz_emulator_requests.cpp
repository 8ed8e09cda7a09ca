// Feeds arbitrary request bodies to the emulator's parsers: XML documents, key=value form
// bodies, the block servers' JSON bodies (and the fault rules posted as JSON), item names and
// numbers. Nothing may crash or throw; what is accepted keeps each parser's promise.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "faults.h"
#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t which = data[0];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (which % 4) {
        case 0: {
            emu::Fields fields;
            if (!emu::ParseXmlFields(body, fields) && fields.Has("token")) std::abort();
            break;
        }
        case 1: {
            emu::Fields fields;
            emu::ParseFormFields(body, fields);
            // A key never swallows a separator.
            for (std::string_view item : {std::string_view("token"), std::string_view("uid")})
                if (fields.Get(item).find('&') != std::string::npos) std::abort();
            break;
        }
        case 2: {
            nlohmann::json json;
            if (!emu::ParseJsonObject(body, json)) break;
            if (!json.is_object()) std::abort();
            emu::Faults faults;
            std::string error;
            const bool added = faults.Add(json, error);
            if (!added && error.empty()) std::abort();
            // All or nothing: every rule of the body, or none of them.
            const size_t posted = json.contains("rules") ? json["rules"].size() : 1;
            if (faults.Count() != (added ? posted : 0)) std::abort();
            (void)faults.Take("/osvr/login/");
            break;
        }
        default: {
            const std::string verdict = emu::CheckItemName(body);
            if (verdict.empty() && (body.empty() || body.size() > 255 || body.find('/') != std::string_view::npos))
                std::abort();
            (void)emu::IsCleanText(body);
            int64_t value = 0;
            if (emu::ParseInt(body, -1000, 1000, value) && (value < -1000 || value > 1000)) std::abort();
            if (emu::IsDecimal(body) && !emu::ParseInt(body, 0, INT64_MAX, value)) std::abort();
            break;
        }
    }
    return 0;
}
