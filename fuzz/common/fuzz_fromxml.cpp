// Feeds arbitrary bytes to FromXml as a service answer. Every input must end in S_OK or
// E_FAIL without a crash or a leak; a failure leaves the caller's tree as it was, and a
// parsed tree written back with ToXml parses again to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../fuzz_support.h"
#include "common/xml_helper.h"

namespace {

RecordTree Sentinel() {
    RecordTree tree("keep");
    tree.SetAttr("a", "1");
    tree.AddValue("k", "v");
    return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    RecordTree untouched = Sentinel();
    RecordTree tree;
    const HRESULT hr = FromXml(text, tree);
    if (hr != S_OK && hr != E_FAIL) std::abort();
    if (hr == E_FAIL) {
        if (!tree.IsEmpty()) std::abort();
        if (FromXml(text, untouched) != E_FAIL || ToXml(untouched) != ToXml(Sentinel())) std::abort();
        return 0;
    }

    const std::string written = ToXml(tree);
    RecordTree back;
    if (FromXml(written, back) != S_OK) std::abort();
    if (ToXml(back) != written) std::abort();
    return 0;
}
