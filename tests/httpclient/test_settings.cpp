// Connection settings: proxy modes from the registry file, speed caps from the
// settings file, and caps taking effect on the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/settings.h"
#include "httpclient/curl_helper.h"
#include "httpclient/http_fixture.h"
#include "platform/registry.h"

using namespace orvel::testsupport;
using Clock = std::chrono::steady_clock;

namespace orvel::httptest {
namespace {

using enum CurlOutcome;  // the outcomes by their short names

long Millis(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// An HTTP proxy: takes the absolute-URI request, fetches it from the target
// with a plain client and hands the answer back.
std::string ForwardingProxy(const std::string& request) {
    size_t sp1 = request.find(' ');
    size_t sp2 = request.find(' ', sp1 + 1);
    std::string method = request.substr(0, sp1);
    std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);  // http://host:port/path
    size_t pathStart = target.find('/', 7);
    httplib::Client client(target.substr(0, pathStart));
    auto result = method == "GET" ? client.Get(target.substr(pathStart)) : client.Post(target.substr(pathStart));
    if (!result) return RawServer::Response(502, "proxy could not reach the target");
    return RawServer::Response(result->status, result->body, "X-Via-Test-Proxy: 1\r\n");
}

// Accepts one connection and records the first bytes the client sends (for SOCKS).
class FirstBytes {
public:
    FirstBytes() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(m_fd, 4);
        socklen_t len = sizeof(addr);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 5000) <= 0) return;
            int client = ::accept(m_fd, nullptr, nullptr);
            char buf[64];
            pollfd cfd{client, POLLIN, 0};
            if (::poll(&cfd, 1, 5000) > 0) {
                ssize_t n = ::recv(client, buf, sizeof(buf), 0);
                if (n > 0) m_bytes.assign(buf, static_cast<size_t>(n));
            }
            ::close(client);
        });
    }
    ~FirstBytes() {
        if (m_thread.joinable()) m_thread.join();
        ::close(m_fd);
    }
    int Port() const { return m_port; }
    std::string Bytes() {
        if (m_thread.joinable()) m_thread.join();
        return m_bytes;
    }

private:
    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
    std::string m_bytes;
};

class SettingsTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        ASSERT_EQ(1, m_helper.InitHandle());
        m_bytes = std::string(128 * 1024, 'd');
        AddChunkedGet(m_server.Http(), "/data", m_bytes, 8 * 1024, std::chrono::milliseconds(3));
        m_server.Http().Post("/upload", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::to_string(req.body.size()), "text/plain");
        });
        m_server.Http().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("hello from target", "text/plain");
        });
        m_server.Start();
    }
    void UseProxy(uint32_t type, int port, std::string_view user = {}, std::string_view password = {}) {
        ASSERT_TRUE(RegSetDword("ProxyServerType", type));
        ASSERT_TRUE(RegSetString("ProxyServerIP", "127.0.0.1"));
        ASSERT_TRUE(RegSetString("ProxyServerPort", std::to_string(port)));
        ASSERT_TRUE(RegSetString("ProxyServerUserName", user));
        ASSERT_TRUE(RegSetString("ProxyServerPassword", password));
    }
    long TimedGet() {
        auto start = Clock::now();
        EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/data"), 30));
        EXPECT_EQ(m_bytes.size(), m_helper.Body().size());
        return Millis(Clock::now() - start);
    }
    CCurlHelper m_helper;
    LoopbackServer m_server;
    std::string m_bytes;
};

TEST_F(SettingsTest, SpeedSettingsFallBackFromDebugToTavikToTheDefault) {
    EXPECT_EQ(1048576, ReadSettingInt("UploadSpeed"));
    WriteSettings("[Debug]\nUploadSpeed=-1\nDownloadSpeed=5000\n[Tavik]\nUploadSpeed=7000\nDownloadSpeed=9000\n");
    EXPECT_EQ(7000, ReadSettingInt("UploadSpeed"));
    EXPECT_EQ(5000, ReadSettingInt("DownloadSpeed"));
    EXPECT_EQ(307200, SpeedCaps::Instance().upload);
    EXPECT_EQ(307200, SpeedCaps::Instance().download);
}

TEST_F(SettingsTest, AReceiveCapSlowsADownload) {
    m_helper.Reset(true);
    long uncapped = TimedGet();
    m_helper.Reset(true);
    ASSERT_EQ(S_OK, m_helper.SetSpeedLimit(0, 128 * 1024));
    long capped = TimedGet();
    EXPECT_GT(capped, uncapped + 400) << "uncapped " << uncapped << " ms, capped " << capped << " ms";
}

TEST_F(SettingsTest, ASendCapSlowsAnUpload) {
    std::string path = m_dir->File("up.bin");
    WriteFileBytes(path, std::string(64 * 1024, 'u'));
    auto timedUpload = [&] {
        auto start = Clock::now();
        EXPECT_EQ(Ok, m_helper.PostFileBody(m_server.Url("/upload"), path, 30));
        EXPECT_EQ("65536", m_helper.GetResponseText());
        return Millis(Clock::now() - start);
    };
    m_helper.Reset(true);
    long uncapped = timedUpload();
    m_helper.Reset(true);
    ASSERT_EQ(S_OK, m_helper.SetSpeedLimit(64 * 1024, 0));
    long capped = timedUpload();
    EXPECT_GT(capped, uncapped + 400) << "uncapped " << uncapped << " ms, capped " << capped << " ms";
}

TEST_F(SettingsTest, ConnectionSettingsTakeTheSmallerCap) {
    WriteSettings("[Debug]\nDownloadSpeed=131072\n");
    ApplyConnectionSettings(m_helper);
    long capped = TimedGet();
    WriteSettings("[Debug]\nDownloadSpeed=0\n");  // 0 removes the cap entirely
    ApplyConnectionSettings(m_helper);
    long uncapped = TimedGet();
    EXPECT_GT(capped, uncapped + 400) << "uncapped " << uncapped << " ms, capped " << capped << " ms";
}

TEST_F(SettingsTest, WithoutSpeedSettingsTheBlockTransfersAreHeldTo307200) {
    // Both settings default to 1048576; the process-wide ceiling lowers them.
    ApplyConnectionSettings(m_helper);
    long capped = TimedGet();
    // 128 KiB at 307200 bytes per second: about 400 ms (1048576 would be about 120 ms).
    EXPECT_GE(capped, 350) << capped << " ms";
}

TEST_F(SettingsTest, HttpProxyCarriesTheRequest) {
    RawServer proxy(&ForwardingProxy);
    UseProxy(2, proxy.Port());
    ApplyConnectionSettings(m_helper);
    std::string url = m_server.Url("/hello");
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(url, 10));
    EXPECT_EQ("hello from target", m_helper.GetResponseText());
    ASSERT_EQ(1u, proxy.Requests().size());
    EXPECT_EQ(0u, proxy.LastRequest().rfind("GET " + url + " HTTP/1.1\r\n", 0)) << proxy.LastRequest();
    EXPECT_NE(std::string::npos, m_helper.HeaderText().find("X-Via-Test-Proxy: 1"));
    auto lines = HeaderLines(proxy.LastRequest());
    EXPECT_EQ(lines.end(), std::find_if(lines.begin(), lines.end(),
                                        [](const std::string& l) { return l.rfind("Proxy-Authorization", 0) == 0; }));
}

TEST_F(SettingsTest, ProxyCredentialsNeedAUserName) {
    RawServer proxy(&ForwardingProxy);
    UseProxy(2, proxy.Port(), "", "secret");
    ApplyConnectionSettings(m_helper);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
    EXPECT_EQ(std::string::npos, proxy.LastRequest().find("Proxy-Authorization"));

    UseProxy(2, proxy.Port(), "alice", "secret");
    ApplyConnectionSettings(m_helper);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
    auto lines = HeaderLines(proxy.LastRequest());
    EXPECT_TRUE(std::count(lines.begin(), lines.end(), "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0"));
}

TEST_F(SettingsTest, SocksModesSpeakSocks) {
    {
        FirstBytes socks;
        UseProxy(3, socks.Port());
        ApplyConnectionSettings(m_helper);
        EXPECT_NE(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 5));
        ASSERT_FALSE(socks.Bytes().empty());
        EXPECT_EQ(4, socks.Bytes()[0]);  // SOCKS4 version byte
    }
    {
        FirstBytes socks;
        UseProxy(4, socks.Port());
        ApplyConnectionSettings(m_helper);
        EXPECT_NE(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 5));
        ASSERT_FALSE(socks.Bytes().empty());
        EXPECT_EQ(5, socks.Bytes()[0]);  // SOCKS5 version byte
    }
}

TEST_F(SettingsTest, TheSystemProxyIsUsedByDefaultAndModeZeroUsesNone) {
    RawServer proxy(&ForwardingProxy);
    ScopedEnv systemProxy("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.Port()) + "/");
    ApplyConnectionSettings(m_helper);  // no registry value: system proxy
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
    EXPECT_EQ(1u, proxy.Requests().size());

    ASSERT_TRUE(RegSetDword("ProxyServerType", 0));
    ApplyConnectionSettings(m_helper);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
    EXPECT_EQ(1u, proxy.Requests().size());  // went direct
    EXPECT_EQ("hello from target", m_helper.GetResponseText());

    ASSERT_TRUE(RegSetDword("ProxyServerType", 1));  // 1 asks for the system proxy as well
    ApplyConnectionSettings(m_helper);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
    EXPECT_EQ(2u, proxy.Requests().size());

    ASSERT_TRUE(RegSetDword("ProxyServerType", 5));  // an unknown mode is no proxy at all
    ApplyConnectionSettings(m_helper);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
    EXPECT_EQ(2u, proxy.Requests().size());
}

TEST_F(SettingsTest, WithTheSystemProxyOffTheFileLayerLeavesTheProxyUnsetAndTheTransportClearsIt) {
    // all_proxy is not the system proxy, but libcurl reads it when no proxy is set.
    ScopedEnv allProxy("all_proxy", "http://127.0.0.1:1/");
    ApplyConnectionSettings(m_helper);
    EXPECT_EQ(ConnectFailed, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
    ASSERT_EQ(S_OK, ApplyProxySettings(m_helper, true));
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/hello"), 10));
}

}  // namespace
}  // namespace orvel::httptest
