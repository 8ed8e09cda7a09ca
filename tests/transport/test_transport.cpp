// The transport object's text requests: results, answers, callback and cancel rules.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/registry.h"
#include "transport/ctransport.h"
#include "transport/transport_fixture.h"
#include "httpclient/network_error.h"
#include "httpclient/retry_policy.h"
#include "support/retry_wait_scale.h"

using namespace orvel::testsupport;

namespace orvel::transporttest {
namespace {

using enum CurlOutcome;  // the outcomes by their short names

TEST(TransportFactory, HandsOutOneReferenceAndRejectsANullOut) {
    EXPECT_EQ(E_POINTER, CreateTransport(nullptr));
    ITransport* transport = nullptr;
    ASSERT_EQ(S_OK, CreateTransport(&transport));
    ASSERT_NE(nullptr, transport);
    EXPECT_EQ(2u, transport->AddRef());
    EXPECT_EQ(1u, transport->Release());
    EXPECT_EQ(0u, transport->Release());
}

TEST(TransportOutcomes, MapToResults) {
    EXPECT_EQ(S_OK, CTransport::MapOutcome(Ok));
    EXPECT_EQ(E_OV_NETWORK_TIMEOUT, CTransport::MapOutcome(Timeout));
    EXPECT_EQ(E_OV_CANCELLED, CTransport::MapOutcome(Cancelled));
    EXPECT_EQ(E_OV_NETWORK_UNREACHABLE, CTransport::MapOutcome(ConnectFailed));
    EXPECT_EQ(E_OV_NETWORK_ERROR, CTransport::MapOutcome(NetworkFailure));
    EXPECT_EQ(E_OV_SERVER_ERROR, CTransport::MapOutcome(ServerErrorStatus));
    EXPECT_EQ(E_FAIL, CTransport::MapOutcome(static_cast<CurlOutcome>(E_FAIL)));
    EXPECT_EQ(E_FAIL, CTransport::MapOutcome(LocalFileUnreadable));
}

TEST_F(TransportTest, APostSendsTheBodyAndTheHeaderLines) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "<Orvel result=\"ok\"/>"); });
    std::string body = "<Orvel><token>abc</token></Orvel>";
    std::optional<std::string> answer;
    EXPECT_EQ(S_OK, m_transport->Request(raw.Url("/api"), "v:2&User-Agent:sdkrd-1%2e0%2e0%2e0&Expect:", &body, &answer,
                                         30, 1));
    EXPECT_EQ("<Orvel result=\"ok\"/>", answer.value_or("<null>"));
    std::string request = raw.LastRequest(), sent;
    SplitRequest(request, nullptr, &sent);
    EXPECT_EQ(0u, request.rfind("POST /api HTTP/1.1\r\n", 0));
    EXPECT_EQ(body, sent);
    auto lines = HeaderLines(request);
    EXPECT_TRUE(std::count(lines.begin(), lines.end(), "v:2"));
    EXPECT_TRUE(std::count(lines.begin(), lines.end(), "User-Agent:sdkrd-1%2e0%2e0%2e0"));
    EXPECT_FALSE(
        std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Expect", 0) == 0; }));
}

TEST_F(TransportTest, WithoutABodyItIsAGetAndTheStatusCounts) {
    std::optional<std::string> answer;
    EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/s200"), "", nullptr, &answer, 30, 1));
    EXPECT_EQ("GET", Seen().method);
    EXPECT_EQ("body 200", answer.value_or("<null>"));
    EXPECT_EQ(E_OV_SERVER_ERROR, m_transport->Request(m_server.Url("/s404"), "", nullptr, &answer, 30, 1));
    EXPECT_FALSE(answer.has_value());
    EXPECT_EQ(E_OV_SERVER_ERROR, m_transport->Request(m_server.Url("/s302"), "", nullptr, &answer, 30, 1));
    EXPECT_EQ(E_OV_NETWORK_TIMEOUT, m_transport->Request(m_server.Url("/s504"), "", nullptr, &answer, 30, 1));
}

TEST_F(TransportTest, APostIsJudgedByNothingButTheTransfer) {
    std::string body = "<x/>";
    std::optional<std::string> answer;
    EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/s500"), "", &body, &answer, 30, 1));
    EXPECT_EQ("body 500", answer.value_or("<null>"));
    EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/s504"), "", &body, nullptr, 30, 1));
}

TEST_F(TransportTest, AnEmptyBodyIsAnEmptyPost) {
    std::string body;
    EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/s200"), "", &body, nullptr, 30, 1));
    EXPECT_EQ("POST", Seen().method);
    EXPECT_EQ("0", Seen().get_header_value("Content-Length"));
}

TEST_F(TransportTest, NetworkFailuresMapAndAreLogged) {
    std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
    std::optional<std::string> answer = "stale";
    EXPECT_EQ(E_OV_NETWORK_UNREACHABLE, m_transport->Request(url, "", nullptr, &answer, 30, 1));
    EXPECT_FALSE(answer.has_value());
    EXPECT_TRUE(LogHas('T', "CHECK_BOOL:hr == S_OKMSG: " + url, "ctransport.cpp"));
    EXPECT_EQ(E_OV_NETWORK_ERROR, m_transport->Request("ftp://127.0.0.1/x", "", nullptr, &answer, 30, 1));
    EXPECT_EQ(E_OV_NETWORK_TIMEOUT, m_transport->Request(m_server.Url("/slow"), "", nullptr, &answer, 1, 1));
}

struct Calls {
    std::atomic<int> count{0};
    HRESULT answer = S_OK;
    std::atomic<double> speedAfterBytes{0};
    std::atomic<double> lastDlNow{0};
};

HRESULT Callback(void* ctx, double, double dlNow, double, double, double speed) {
    auto* calls = static_cast<Calls*>(ctx);
    ++calls->count;
    calls->lastDlNow = dlNow;
    if (dlNow > 0.1 && speed > calls->speedAfterBytes) calls->speedAfterBytes = speed;
    return calls->answer;
}

TEST_F(TransportTest, ACallbackAnsweringEFailOnItsFirstCallCancels) {
    Calls calls;
    calls.answer = E_FAIL;
    EXPECT_EQ(S_OK, m_transport->SetCallback(&Callback, &calls));
    EXPECT_EQ(E_OV_CANCELLED, m_transport->Request(m_server.Url("/data"), "", nullptr, nullptr, 30, 1));
    EXPECT_EQ(1, calls.count.load());
}

TEST_F(TransportTest, OtherCallbackAnswersDoNotStopTheTransfer) {
    Calls calls;
    calls.answer = E_OV_CANCELLED;
    m_transport->SetCallback(&Callback, &calls);
    std::optional<std::string> answer;
    EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/data"), "", nullptr, &answer, 30, 1));
    EXPECT_EQ(m_bytes, answer.value_or(""));
    EXPECT_GT(calls.count.load(), 1);
    EXPECT_GT(calls.speedAfterBytes.load(), 0.0);  // the download speed once bytes arrived
    EXPECT_EQ(static_cast<double>(m_bytes.size()), calls.lastDlNow.load());
}

TEST_F(TransportTest, CancelFromAnotherThreadEndsTheRequest) {
    Calls calls;
    m_transport->SetCallback(&Callback, &calls);
    // Waits for the request to be under way on the client's thread, then cancels it.
    std::thread canceller([&] {
        while (calls.count.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(S_OK, m_transport->Cancel());
    });
    EXPECT_EQ(E_OV_CANCELLED, m_transport->Request(m_server.Url("/slow"), "", nullptr, nullptr, 30, 1));
    canceller.join();
    // The next request starts afresh.
    EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/s200"), "", nullptr, nullptr, 30, 1));
}

TEST_F(TransportTest, ACapSetBetweenTwoRequestsSlowsTheSecond) {
    auto timed = [&] {
        auto start = std::chrono::steady_clock::now();
        std::optional<std::string> answer;
        EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/data"), "", nullptr, &answer, 30, 1));
        EXPECT_EQ(m_bytes.size(), answer.value_or("").size());
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    auto uncapped = timed();
    EXPECT_EQ(S_OK, m_transport->SetSpeedLimit(0, 128 * 1024));
    auto capped = timed();
    EXPECT_GT(capped, uncapped + 400) << uncapped << " ms vs " << capped << " ms";
}

TEST_F(TransportTest, TheInitialCapsComeFromTheSettings) {
    WriteSettings("[Tavik]\nDownloadSpeed=131072\n");
    ITransport* raw = nullptr;
    ASSERT_EQ(S_OK, CreateTransport(&raw));
    TransportPtr capped(raw);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, capped->Request(m_server.Url("/data"), "", nullptr, nullptr, 30, 1));
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(TransportTest, WithTheSystemProxyOffNoEnvironmentProxyIsUsed) {
    ScopedEnv allProxy("all_proxy", "http://127.0.0.1:1/");
    EXPECT_EQ(S_OK, m_transport->Request(m_server.Url("/s200"), "", nullptr, nullptr, 30, 1));
}

TEST_F(TransportTest, AnHttpProxyFromTheRegistryCarriesTheRequest) {
    RawServer proxy([&](const std::string&) { return RawServer::Response(200, "via proxy"); });
    ASSERT_TRUE(RegSetDword("ProxyServerType", 2));
    ASSERT_TRUE(RegSetString("ProxyServerIP", "127.0.0.1"));
    ASSERT_TRUE(RegSetString("ProxyServerPort", std::to_string(proxy.Port())));
    std::optional<std::string> answer;
    std::string url = m_server.Url("/s200");
    EXPECT_EQ(S_OK, m_transport->Request(url, "", nullptr, &answer, 30, 1));
    EXPECT_EQ("via proxy", answer.value_or(""));
    EXPECT_EQ(0u, proxy.LastRequest().rfind("GET " + url + " HTTP/1.1\r\n", 0));
}

}  // namespace
}  // namespace orvel::transporttest

namespace orvel::transporttest {
namespace {

TEST_F(TransportTest, AReadingRequestIsRetriedAndACancelEndsTheBackoffWait) {
    const std::string host = "127.0.0.1:" + std::to_string(m_server.Port());
    m_transport->SetRequestKind(RequestKind::Repeatable);
    std::string log;
    {
        const ScopedRetryWaitScale fastRetries(0.01);
        EXPECT_EQ(E_OV_NETWORK_TIMEOUT, m_transport->Request(m_server.Url("/s504"), "", nullptr, nullptr, 30, 1));
        log = LogText();
        for (const char* n : {"(1 of 3)", "(2 of 3)", "(3 of 3)"})
            EXPECT_NE(std::string::npos, log.find(std::string("Retrying network request ") + n)) << n;
        EXPECT_EQ("HTTP 504 from " + host, ThreadNetworkError());
    }

    // The callback keeps being called during the wait; its E_FAIL ends the wait.
    ClearThreadNetworkError();
    auto stopAfterAFailure = [](void*, double, double, double, double, double) -> HRESULT {
        return ThreadNetworkError().empty() ? S_OK : E_FAIL;
    };
    m_transport->SetCallback(stopAfterAFailure, nullptr);
    EXPECT_EQ(E_OV_CANCELLED, m_transport->Request(m_server.Url("/s500"), "", nullptr, nullptr, 30, 1));
    const std::string after = LogText().substr(log.size());
    EXPECT_NE(std::string::npos, after.find("Retrying network request (1 of 3) in "));
    EXPECT_EQ(std::string::npos, after.find("Retrying network request (2 of 3) in "));
}

}  // namespace
}  // namespace orvel::transporttest
