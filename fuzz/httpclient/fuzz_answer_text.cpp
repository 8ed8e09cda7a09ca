// Feeds arbitrary header text and body bytes through the way an HTTP answer becomes text
// (gzip announcement, inflation, the cut at the first NUL) and then through the service
// answer's XML check (parse, "result" attribute, result lookup). The text never holds a NUL;
// a body that is not announced as gzip is taken as it stands; a body the harness gzips
// itself comes back unchanged. The XML is read whole and in slices (cut between the root's
// children): both readings give the same result and the same tree.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../fuzz_support.h"
#include "common/results.h"
#include "common/xml_helper.h"
#include "httpclient/gzip_body.h"

namespace {

constexpr std::string_view kGzipHeader = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n";

std::string Gzip(std::string_view plain) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    std::string out(deflateBound(&zs, static_cast<uLong>(plain.size())) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    zs.avail_in = static_cast<uInt>(plain.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string_view UpToZero(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    if (size == 0) return 0;
    // First byte: bit 0 announce gzip, bit 1 gzip the body here, bits 2..7 the length of a
    // header text of the input's own (when not announcing).
    const uint8_t mode = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string_view header;
    if (mode & 1) {
        header = kGzipHeader;
    } else {
        header = rest.substr(0, mode >> 2);
        rest.remove_prefix(header.size());
    }
    const std::string body = (mode & 2) ? Gzip(rest) : std::string(rest);

    const std::string text = AnswerText(header, body);
    if (text.find('\0') != std::string::npos) std::abort();
    const bool gzip = HeaderAnnouncesGzip(header);
    if ((mode & 1) && !gzip) std::abort();
    if (!gzip && text != UpToZero(body)) std::abort();
    if (gzip && (mode & 2) && text != UpToZero(rest)) std::abort();

    // The service answer's check: an XML document whose root carries a known result.
    RecordTree answer;
    const HRESULT hr = FromXml(text, answer);
    if (hr != S_OK && hr != E_FAIL) std::abort();
    RecordTree sliced;  // every child of the root a slice of its own
    if (FromXmlInSlices(text, sliced, 0) != hr) std::abort();
    if (hr == S_OK && ToXml(sliced) != ToXml(answer)) std::abort();
    if (hr == S_OK) {
        const std::string code = answer.GetAttr("result");
        if (!code.empty()) (void)LookupServerResult(code.c_str());
    }
    return 0;
}
