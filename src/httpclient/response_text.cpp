// Answer text of CCurlHelper: gzip detection on the response header text and
// inflation of the body.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "httpclient/curl_helper.h"
#include "httpclient/gzip_body.h"
#include "log/log.h"

namespace {
std::string UpToZero(std::string_view bytes) {
    size_t zero = bytes.find('\0');
    return std::string(bytes.substr(0, zero));
}
}  // namespace

std::string InflateBody(std::string_view body, size_t maxBytes, bool* tooLarge) {
    std::string out;
    if (tooLarge) *tooLarge = false;
    z_stream zs{};
    // 15 + 32: window of 32 KiB and automatic zlib-or-gzip header detection.
    if (inflateInit2(&zs, 15 + 32) != Z_OK) return out;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    zs.avail_in = static_cast<uInt>(body.size());
    unsigned char chunk[1024];
    while (true) {
        zs.next_out = chunk;
        zs.avail_out = sizeof(chunk);
        int rc = inflate(&zs, Z_SYNC_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;  // keep what earlier steps produced
        const size_t produced = sizeof(chunk) - zs.avail_out;
        if (out.size() + produced > maxBytes) {
            std::string().swap(out);
            if (tooLarge) *tooLarge = true;
            break;
        }
        out.append(reinterpret_cast<char*>(chunk), produced);
        if (rc == Z_STREAM_END) break;
        if (zs.avail_in == 0 && zs.avail_out != 0) break;  // all input consumed
    }
    inflateEnd(&zs);
    return out;
}

bool HeaderAnnouncesGzip(std::string_view headerText) {
    static constexpr std::string_view kName = "Content-Encoding";
    size_t pos = 0;
    while ((pos = headerText.find(kName, pos)) != std::string_view::npos) {
        size_t after = pos + kName.size();
        if (after < headerText.size() && headerText[after] == ':') {
            size_t valueStart = std::min(after + 2, headerText.size());
            size_t end = headerText.find("\r\n", valueStart);
            std::string_view value = headerText.substr(
                valueStart, end == std::string_view::npos ? std::string_view::npos : end - valueStart);
            return value == "gzip";
        }
        pos = after;
    }
    return false;
}

bool CCurlHelper::IsGzipResponse() const {
    if (m_headerText.empty()) return false;
    return HeaderAnnouncesGzip(m_headerText);
}

std::string AnswerText(std::string_view headerText, std::string_view body, size_t maxBytes, bool* tooLarge) {
    if (HeaderAnnouncesGzip(headerText)) return UpToZero(InflateBody(body, maxBytes, tooLarge));
    return UpToZero(body);
}

const std::string& CCurlHelper::GetResponseText() {
    if (!m_response.empty() || m_body.empty() || m_answerTooLarge) return m_response;
    bool tooLarge = false;
    m_response = AnswerText(m_headerText, m_body, kMaxAnswerBytes, &tooLarge);
    if (tooLarge) {
        LOGF(5, "Answer refused: more than %zu bytes once inflated", kMaxAnswerBytes);
        m_answerTooLarge = true;
    }
    return m_response;
}

std::string CCurlHelper::TakeResponseText() {
    std::string text;
    if (m_response.empty() && !m_body.empty() && !m_answerTooLarge && !IsGzipResponse()) {
        // A plain answer is its body cut at the first zero byte: no copy needed.
        m_body.resize(std::min(m_body.find('\0'), m_body.size()));
        text = std::move(m_body);
    } else {
        GetResponseText();
        text = std::move(m_response);
    }
    std::string().swap(m_body);
    std::string().swap(m_response);
    return text;
}
