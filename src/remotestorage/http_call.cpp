#include "remotestorage/http_call.h"

#include "common/settings.h"
#include "log/log.h"
#include "platform/hex.h"

namespace {

// The 19 printable bytes that must not travel raw in a header value.
bool NeedsEscape(unsigned char c) {
    if (c > 0x7E) return true;
    switch (c) {
        case 0x20:
        case 0x22:
        case 0x25:
        case 0x26:
        case 0x2B:
        case 0x2E:
        case 0x2F:
        case 0x3B:
        case 0x3C:
        case 0x3D:
        case 0x3E:
        case 0x5B:
        case 0x5C:
        case 0x5D:
        case 0x5E:
        case 0x60:
        case 0x7B:
        case 0x7C:
        case 0x7D:
            return true;
        default:
            return false;
    }
}

constexpr std::string_view kUserAgent = "sdkrd-1.0.0.0";

std::string RootSetting(std::string_view section, std::string_view key, std::string_view path) {
    return JoinRoot(ReadSettingString(section, key, kDefaultRoot), path);
}

// Cuts [open, close-marker end) out of text; with no closing marker the rest
// of the text goes, so an unterminated credential never reaches the log.
bool CutElement(std::string& text, std::string_view open, std::string_view close) {
    size_t begin = text.find(open);
    if (begin == std::string::npos) return false;
    size_t end = text.find(close, begin + open.size());
    if (end == std::string::npos) {
        text.erase(begin);
    } else {
        text.erase(begin, end + close.size() - begin);
    }
    return true;
}

}  // namespace

std::string UrlEncode(std::string_view src) {
    if (src.empty()) {
        LogWrite(0, "*ASSERT*: psrc != 0 && *psrc != 0", __FILE__, __LINE__);
        return {};
    }
    std::string out;
    out.reserve(src.size() * 3);
    for (char ch : src) {
        auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c)) {
            out += '%';
            out += HexDigit(c >> 4);
            out += HexDigit(c);
        } else {
            out += ch;
        }
    }
    return out;
}

void AddHeaderField(std::string& header, std::string_view key, const char* value) {
    if (!header.empty()) header += '&';
    header += key;
    header += ':';
    if (value != nullptr && *value != '\0') header += UrlEncode(value);
}

void BuildRequestHeaders(std::string& header, bool gzip, std::string_view version) {
    const std::string v(version);
    const std::string agent(kUserAgent);
    AddHeaderField(header, "v", v.c_str());
    AddHeaderField(header, "User-Agent", agent.c_str());
    AddHeaderField(header, "cv", agent.c_str());
    // An empty "Expect:" line stops the HTTP layer from sending "Expect: 100-continue".
    AddHeaderField(header, "Expect", nullptr);
    if (gzip) AddHeaderField(header, "Accept-Encoding", "gzip");
}

std::string JoinRoot(std::string_view root, std::string_view path) {
    std::string url;
    if (!root.starts_with("http://") && !root.starts_with("https://")) url = "http://";
    url += root;
    url += path;
    return url;
}

std::string ServiceUrl(std::string_view path) { return RootSetting("Tavik", "ServerRoot", path); }
std::string CommandUrl(std::string_view path) { return RootSetting("Tavik", "SvrCommandRoot", path); }
std::string PushUrl(std::string_view path) { return RootSetting("Tavik", "PushNotifyRoot", path); }
std::string WebUrl(std::string_view path) { return RootSetting("TavikShell", "WebServerRoot", path); }
std::string MessageUrl(std::string_view path) { return RootSetting("Tavik", "MessageServerRoot", path); }

std::string UdbReturnUrl() {
    return JoinRoot(ReadSettingString("Tavik", "UdbReturnUrl", "127.0.0.1:18750/osvr/udbLoginReturn/"), "");
}

void AppendIsEnt(std::string& url) {
    if (ReadRegistryDword("isent", 0, true) == 0) return;
    if (url.find("/?") != std::string::npos) {
        url += "&isent=1";
        return;
    }
    if (url.empty() || url.back() != '/') url += '/';
    url += "?isent=1";
}

std::string MaskToken(std::string_view text) {
    std::string out(text);
    bool element = false;
    for (size_t open; (open = out.find("<token>")) != std::string::npos;) {
        const size_t close = out.find("</token>", open);
        if (close == std::string::npos) break;
        out.erase(open, close + 8 - open);
        element = true;
    }
    if (!element) {
        for (size_t item; (item = out.find("token=")) != std::string::npos;) {
            const size_t amp = out.find('&', item);
            // A last item (no "&" after it) is cut to the end of the text.
            out.erase(item, amp == std::string::npos ? std::string::npos : amp + 1 - item);
        }
    }
    CutElement(out, "<token>", "</token>");
    while (CutElement(out, "<password>", "</password>")) {}
    return out;
}
