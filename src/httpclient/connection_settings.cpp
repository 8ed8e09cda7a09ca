// Proxy and speed settings applied to a helper before every request.
#include <algorithm>
#include <string>

#include "common/exceptions.h"
#include "common/settings.h"
#include "httpclient/curl_helper.h"

namespace {

enum ProxyType : int32_t { SystemProxy = 1, HttpProxy = 2, Socks4Proxy = 3, Socks5Proxy = 4 };

HRESULT SetProxy(CCurlHelper& helper, long curlProxyType, const std::string& ip, const std::string& port,
                 const std::string& user, const std::string& password) {
    if (FAILED(helper.SetOption(CURLOPT_PROXYTYPE, curlProxyType))) return E_FAIL;
    std::string proxy = ip + ":" + port;
    if (FAILED(helper.SetOption(CURLOPT_PROXY, proxy.c_str()))) return E_FAIL;
    // Credentials only with a user name; a stored password alone is not sent.
    if (!user.empty()) {
        std::string userPwd = user + ":" + password;
        if (FAILED(helper.SetOption(CURLOPT_PROXYUSERPWD, userPwd.c_str()))) return E_FAIL;
    }
    return S_OK;
}

// Full reset, then the proxy the settings name. A system proxy that is off
// leaves the proxy unset, or empty (never one from the environment) when
// `emptyWhenNoSystemProxy`.
HRESULT ApplyProxySnapshot(CCurlHelper& helper, const ProxySnapshot& snap, bool emptyWhenNoSystemProxy) {
    helper.Reset(true);
    switch (static_cast<int32_t>(snap.type)) {
        case -1:
        case SystemProxy:
            if (snap.systemEnabled) return SetProxy(helper, CURLPROXY_HTTP, snap.systemHost, snap.systemPort, {}, {});
            if (emptyWhenNoSystemProxy) return helper.SetOption(CURLOPT_PROXY, "");
            return S_OK;
        case HttpProxy:
            return SetProxy(helper, CURLPROXY_HTTP, snap.ip, snap.port, snap.user, snap.password);
        case Socks4Proxy:
            return SetProxy(helper, CURLPROXY_SOCKS4, snap.ip, snap.port, snap.user, snap.password);
        case Socks5Proxy:
            return SetProxy(helper, CURLPROXY_SOCKS5, snap.ip, snap.port, snap.user, snap.password);
        default:
            // An empty proxy also keeps libcurl from taking one from the environment.
            return helper.SetOption(CURLOPT_PROXY, "");
    }
}

}  // namespace

const SpeedCaps& SpeedCaps::Instance() {
    static const SpeedCaps caps;
    return caps;
}

HRESULT ApplyProxySettings(CCurlHelper& helper, bool emptyWhenNoSystemProxy) {
    return ApplyProxySnapshot(helper, ReadProxySnapshot(), emptyWhenNoSystemProxy);
}

void ApplyConnectionSettings(CCurlHelper& helper, int32_t sendCap, int32_t recvCap) {
    if (FAILED(ApplyProxySettings(helper, false)))
        throw EXCEPT::CurlUnknownError("CurlWrapper::SetOpt", "Network Error");
    helper.SetSpeedLimit(sendCap, recvCap);  // a cap that cannot be set leaves the transfer uncapped
}

void ApplyConnectionSettings(CCurlHelper& helper) {
    const SpeedCaps& caps = SpeedCaps::Instance();
    int32_t send = std::min(caps.upload, ReadSettingInt("UploadSpeed"));
    int32_t recv = std::min(caps.download, ReadSettingInt("DownloadSpeed"));
    ApplyConnectionSettings(helper, send, recv);
}

ProxySnapshot ReadProxySnapshot() {
    ProxySnapshot snap;
    ReadProxySettings(snap.ip, snap.port, snap.user, snap.password, snap.type);
    const int32_t type = static_cast<int32_t>(snap.type);
    if (type == -1 || type == SystemProxy) {
        bool enabled = false;
        if (SUCCEEDED(GetSystemProxy(enabled, snap.systemHost, snap.systemPort)) && enabled) snap.systemEnabled = true;
    }
    return snap;
}

void ApplyConnectionSettings(CCurlHelper& helper, const ProxySnapshot& snap, int32_t sendCap, int32_t recvCap) {
    if (FAILED(ApplyProxySnapshot(helper, snap, false)))
        throw EXCEPT::CurlUnknownError("CurlWrapper::SetOpt", "Network Error");
    helper.SetSpeedLimit(sendCap, recvCap);
}
