#include "blocks/transfer/rate_query.h"

#include <cstdlib>
#include <mutex>
#include <optional>

#include "common/settings.h"
#include "hwinfo/hardware_info.h"
#include "httpclient/retry_policy.h"
#include "log/log.h"
#include "remotestorage/http_call.h"
#include "transport/transport.h"

namespace {

constexpr std::string_view kRatePath = "/tavik/getrate.do";
constexpr std::string_view kDefaultRateRoot = "127.0.0.1:8080";
constexpr int32_t kRateTimeLimitSeconds = 2;

void AddFormField(std::string& fields, std::string_view key, std::string_view value) {
    if (key.empty()) LogWrite(0, "*ASSERT*: szKey != 0 && *szKey != 0", __FILE__, __LINE__);
    if (!fields.empty()) fields += '&';
    fields.append(key);
    fields += '=';
    // As in the header text: an empty value (no user signed in yet) is sent
    // empty, not reported as a bad argument of the encoder.
    if (!value.empty()) fields += UrlEncode(value);
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::string RateQueryUrl() {
    std::string root = ReadSettingString("Tavik", "RateQueryRoot", kDefaultRateRoot);
    if (root.empty()) root = kDefaultRateRoot;
    while (!root.empty() && root.back() == '/') root.pop_back();
    if (StartsWith(root, "http://") || StartsWith(root, "https://")) return root + std::string(kRatePath);
    if (root.find(':') == std::string::npos) root += ":8080";
    return "http://" + root + std::string(kRatePath);
}

long ParseRateAnswer(std::string_view answer) {
    size_t eq = answer.find('=');
    if (eq == std::string_view::npos) return 0;
    std::string rest(answer.substr(eq + 1));
    return std::strtol(rest.c_str(), nullptr, 10);
}

std::string ProcessHardwareId() {
    static std::once_flag once;
    static std::string id;
    std::call_once(once, [] {
        HardwareInfo info;
        info.GetHardwareInfoMD5();
        id = info.Fingerprint();
    });
    return id;
}

bool QueryRateDecision() {
    try {
        const std::string version = GetProgramVersion();
        std::string fields;
        AddFormField(fields, "uname", ReadRegistryString("UserName", true));
        AddFormField(fields, "uid", ReadRegistryString("UserId", true));
        AddFormField(fields, "ver", version);
        AddFormField(fields, "hwid", ProcessHardwareId());

        std::string header;
        AddHeaderField(header, "v", "1");
        AddHeaderField(header, "User-Agent", ("tavik-" + version).c_str());

        ITransport* raw = nullptr;
        HRESULT hr = CreateTransport(&raw);
        TransportPtr transport(raw);
        if (!ERROR_CHECK_COM(hr) || !transport) return false;
        // The decision has a 2 s limit and a default: never wait to ask again.
        transport->SetRequestKind(RequestKind::BestEffort);

        std::optional<std::string> answer;
        hr = transport->Request(RateQueryUrl(), header, &fields, &answer, kRateTimeLimitSeconds, 1);
        if (!ERROR_CHECK_COM(hr) || !answer) return false;
        return ParseRateAnswer(*answer) != 0;
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"QueryRateDecision throw Exception!\"", __FILE__, __LINE__);
        return false;
    }
}
