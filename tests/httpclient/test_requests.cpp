// Text requests: exact bytes on the wire and the outcome of every kind of answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "httpclient/curl_helper.h"
#include "httpclient/http_fixture.h"

using namespace orvel::testsupport;

namespace orvel::httptest {
namespace {

using enum CurlOutcome;  // the outcomes by their short names

constexpr const char* kPipelineHeader = "v:2&User-Agent:sdkrd-1%2e0%2e0%2e0&cv:sdkrd-1%2e0%2e0%2e0&Expect:";

bool HasLine(const std::vector<std::string>& lines, std::string_view line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using RequestTest = HelperTest;

TEST_F(RequestTest, GetSendsTheHeaderLinesAsQueuedAndNoExpect) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "hello"); });
    m_helper.AddHeader(kPipelineHeader);
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(raw.Url("/svc/get?x=1"), 10));
    EXPECT_EQ("hello", m_helper.GetResponseText());

    std::string request = raw.LastRequest();
    EXPECT_EQ(0u, request.rfind("GET /svc/get?x=1 HTTP/1.1\r\n", 0)) << request;
    auto lines = HeaderLines(request);
    EXPECT_TRUE(HasLine(lines, "v:2"));
    EXPECT_TRUE(HasLine(lines, "User-Agent:sdkrd-1%2e0%2e0%2e0"));
    EXPECT_TRUE(HasLine(lines, "cv:sdkrd-1%2e0%2e0%2e0"));
    EXPECT_FALSE(HasLineStarting(lines, "Expect"));
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("User-Agent", 0) == 0; }));
    EXPECT_EQ(200, m_helper.Status());
}

TEST_F(RequestTest, WithoutHeaderLinesOnlyLibcurlDefaultsGoOut) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "x"); });
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(raw.Url("/"), 10));
    auto lines = HeaderLines(raw.LastRequest());
    std::vector<std::string> expected{"Host: 127.0.0.1:" + std::to_string(raw.Port()), "Accept: */*"};
    EXPECT_EQ(expected, lines);
}

TEST_F(RequestTest, AmpersandSplitsAHeaderLineAndEmptyPiecesSendNothing) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "x"); });
    m_helper.AddHeader("X-A:1&X-B:2");
    m_helper.AddHeader("");
    m_helper.AddHeader("X-C:3");
    EXPECT_EQ("X-A:1&X-B:2&&X-C:3", m_helper.HeaderLines());
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(raw.Url("/"), 10));
    auto lines = HeaderLines(raw.LastRequest());
    EXPECT_TRUE(HasLine(lines, "X-A:1"));
    EXPECT_TRUE(HasLine(lines, "X-B:2"));
    EXPECT_TRUE(HasLine(lines, "X-C:3"));
    EXPECT_EQ(5u, lines.size());
}

TEST_F(RequestTest, PostSendsTheBodyExactly) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "<r result=\"ok\"/>"); });
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Orvel><name>\xC3\xA9t\xC3\xA9 &amp; co</name></Orvel>";
    m_helper.AddHeader(kPipelineHeader);
    m_helper.AddPostField(body);
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(raw.Url("/svc/post"), 10));
    EXPECT_EQ("<r result=\"ok\"/>", m_helper.GetResponseText());

    std::string request = raw.LastRequest(), head, sent;
    SplitRequest(request, &head, &sent);
    EXPECT_EQ(0u, request.rfind("POST /svc/post HTTP/1.1\r\n", 0));
    EXPECT_EQ(body, sent);
    auto lines = HeaderLines(request);
    EXPECT_TRUE(HasLine(lines, "Content-Length: " + std::to_string(body.size())));
    EXPECT_FALSE(HasLineStarting(lines, "Expect"));
}

TEST_F(RequestTest, PostWithoutFieldsSendsAnEmptyBody) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "ok"); });
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(raw.Url("/empty"), 10));
    std::string request = raw.LastRequest();
    EXPECT_EQ(0u, request.rfind("POST /empty HTTP/1.1\r\n", 0));
    EXPECT_TRUE(HasLine(HeaderLines(request), "Content-Length: 0"));
}

TEST_F(RequestTest, PostFieldsTurnAGetIntoAFormPost) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "ok"); });
    m_helper.AddPostField("a=1");
    m_helper.AddPostField("b=x%26y");
    EXPECT_EQ("a=1&b=x%26y", m_helper.PostFields());
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(raw.Url("/form"), 10));
    std::string request = raw.LastRequest(), body;
    SplitRequest(request, nullptr, &body);
    EXPECT_EQ(0u, request.rfind("POST /form HTTP/1.1\r\n", 0));
    EXPECT_EQ("a=1&b=x%26y", body);
    EXPECT_TRUE(HasLine(HeaderLines(request), "Content-Type: application/x-www-form-urlencoded"));
}

TEST_F(RequestTest, FieldsQueuedAfterAnEmptyPostOnTheSameHandleAreSentWhole) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "ok"); });
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(raw.Url("/first"), 10));
    m_helper.AddPostField("<a>123</a>");  // no full reset: the empty POST's options survive
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(raw.Url("/second"), 10));
    std::string body;
    SplitRequest(raw.LastRequest(), nullptr, &body);
    EXPECT_EQ("<a>123</a>", body);
    EXPECT_TRUE(HasLine(HeaderLines(raw.LastRequest()), "Content-Length: 10"));
}

TEST_F(RequestTest, ARawUploadAfterATextPostSendsTheFileNotTheFields) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "ok"); });
    m_helper.AddPostField("k=v");
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(raw.Url("/text"), 10));
    std::string path = m_dir->File("f.bin");
    WriteFileBytes(path, "file bytes");
    EXPECT_EQ(Ok, m_helper.PostFileBody(raw.Url("/file"), path, 10));
    std::string body;
    SplitRequest(raw.LastRequest(), nullptr, &body);
    EXPECT_EQ("file bytes", body);
}

TEST_F(RequestTest, NullTextsAreRejectedWithAnAssertion) {
    m_helper.AddHeader(std::string_view());
    m_helper.AddPostField(std::string_view());
    EXPECT_TRUE(m_helper.HeaderLines().empty());
    EXPECT_TRUE(m_helper.PostFields().empty());
    EXPECT_TRUE(LogHas('E', "*ASSERT*: szHeader", "curl_helper2.cpp"));
    EXPECT_TRUE(LogHas('E', "*ASSERT*: szPostField", "curl_helper2.cpp"));
}

TEST_F(RequestTest, FullResetClearsQueuesButALightResetKeepsThem) {
    m_helper.AddHeader("A:1");
    m_helper.AddPostField("k=v");
    m_helper.AddFormField(FormCopyContents, "n", "c");
    m_helper.Reset(false);
    EXPECT_EQ("A:1", m_helper.HeaderLines());
    EXPECT_EQ(1u, m_helper.FormFields().size());
    m_helper.Reset(true);
    EXPECT_TRUE(m_helper.HeaderLines().empty());
    EXPECT_TRUE(m_helper.PostFields().empty());
    EXPECT_TRUE(m_helper.FormFields().empty());
}

// ---- outcomes ----

class OutcomeTest : public RequestTest {
protected:
    void SetUp() override {
        RequestTest::SetUp();
        auto& http = m_server.Http();
        for (int status : {200, 201, 302, 404, 500, 504}) {
            http.Get("/s" + std::to_string(status), [status](const httplib::Request&, httplib::Response& res) {
                res.status = status;
                res.set_content("body " + std::to_string(status), "text/plain");
            });
            http.Post("/s" + std::to_string(status), [status](const httplib::Request&, httplib::Response& res) {
                res.status = status;
                res.set_content("body " + std::to_string(status), "text/plain");
            });
        }
        http.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(m_gateLock);
            m_gate.wait_for(lock, std::chrono::seconds(10), [this] { return m_open; });
            res.set_content("late", "text/plain");
        });
        m_server.Start();
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(m_gateLock);
            m_open = true;
        }
        m_gate.notify_all();
        m_server.Stop();
        RequestTest::TearDown();
    }
    LoopbackServer m_server;
    std::mutex m_gateLock;
    std::condition_variable m_gate;
    bool m_open = false;
};

TEST_F(OutcomeTest, GetMapsTheStatus) {
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/s200"), 10));
    EXPECT_EQ(ServerErrorStatus, m_helper.Request_URL_GET(m_server.Url("/s201"), 10));
    EXPECT_EQ(ServerErrorStatus, m_helper.Request_URL_GET(m_server.Url("/s302"), 10));
    EXPECT_EQ("body 302", m_helper.GetResponseText());  // a GET does not follow redirects
    EXPECT_EQ(ServerErrorStatus, m_helper.Request_URL_GET(m_server.Url("/s404"), 10));
    EXPECT_EQ("body 404", m_helper.GetResponseText());
    EXPECT_EQ(404, m_helper.Status());
    EXPECT_EQ(ServerErrorStatus, m_helper.Request_URL_GET(m_server.Url("/s500"), 10));
    EXPECT_EQ(Timeout, m_helper.Request_URL_GET(m_server.Url("/s504"), 10));
    EXPECT_EQ(static_cast<int32_t>(0x80041011), static_cast<int32_t>(ServerErrorStatus));
}

TEST_F(OutcomeTest, PostDoesNotExamineTheStatus) {
    m_helper.AddPostField("<x/>");
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(m_server.Url("/s500"), 10));
    EXPECT_EQ("body 500", m_helper.GetResponseText());
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(m_server.Url("/s404"), 10));
    EXPECT_EQ(Ok, m_helper.Request_URL_POST(m_server.Url("/s504"), 10));
}

TEST_F(OutcomeTest, ConnectionRefusedIsConnectFailedAndLogsTheUrl) {
    std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/nothing";
    EXPECT_EQ(ConnectFailed, m_helper.Request_URL_GET(url, 10));
    EXPECT_EQ(ConnectFailed, m_helper.Request_URL_POST(url, 10));
    EXPECT_TRUE(LogHas('T', "CHECK_BOOL:curlRet == CURLE_OK MSG: " + url, "curl_helper2.cpp"));
    EXPECT_EQ(0u, LogCount("CCurlHelper Visit Network Failded. CURLcode = 7"));
}

TEST_F(OutcomeTest, SlowAnswerTimesOut) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Timeout, m_helper.Request_URL_GET(m_server.Url("/slow"), 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(OutcomeTest, OtherFailuresAreNetworkFailureWithTheCodeLogged) {
    // Only http and https are spoken.
    EXPECT_EQ(NetworkFailure, m_helper.Request_URL_GET("file:///etc/hostname", 10));
    EXPECT_TRUE(LogHas('W', "CCurlHelper Visit Network Failded. CURLcode = 1", "curl_helper2.cpp"));
    EXPECT_TRUE(m_helper.GetResponseText().empty());
}

TEST_F(OutcomeTest, AHelperWithoutHandleFailsWithAssertion) {
    CCurlHelper bare;
    EXPECT_EQ(NetworkFailure, bare.Request_URL_GET(m_server.Url("/s200"), 10));
    EXPECT_EQ(NetworkFailure, bare.Request_URL_POST(m_server.Url("/s200"), 10));
    EXPECT_TRUE(LogHas('E', "*ASSERT*: m_hCURL", "curl_helper2.cpp"));
    EXPECT_EQ(E_FAIL, bare.SetSpeedLimit(1000, 1000));
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOL:curlRet == CURLE_OK", "curl_helper2.cpp"));  // the URL option
}

TEST_F(OutcomeTest, AnOptionOnAHelperWithoutHandleFailsAndIsLogged) {
    CCurlHelper bare;
    EXPECT_EQ(E_FAIL, bare.SetOption(CURLOPT_TIMEOUT, 5L));
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOL:curlRet == CURLE_OK", "curl_helper2.cpp"));
}

TEST_F(OutcomeTest, AnOptionThatCannotBeSetIsLogged) {
    EXPECT_EQ(E_FAIL, m_helper.SetSpeedLimit(-5, 0));
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOL:curlRet == CURLE_OK", "curl_helper2.cpp"));
    EXPECT_EQ(S_OK, m_helper.SetSpeedLimit(0, 0));
    EXPECT_EQ(S_OK, m_helper.SetSpeedLimit(1000, 2000));
}

// ---- cancellation ----

struct HookState {
    CCurlHelper* helper = nullptr;
    std::atomic<int> ticks{0};
    std::atomic<bool> cancelInHook{false};
};

void CountingHook(void* data, double, double, double, double) {
    auto* state = static_cast<HookState*>(data);
    ++state->ticks;
    if (state->cancelInHook) state->helper->Cancel();
}

TEST_F(OutcomeTest, CancelFromTheProgressHookEndsTheTransfer) {
    HookState state;
    state.helper = &m_helper;
    state.cancelInHook = true;
    m_helper.SetProgressHook(&CountingHook, &state);
    EXPECT_EQ(Cancelled, m_helper.Request_URL_GET(m_server.Url("/slow"), 30));
    EXPECT_GE(state.ticks.load(), 1);
}

TEST_F(OutcomeTest, CancelFromAnotherThreadEndsTheTransfer) {
    HookState state;
    m_helper.SetProgressHook(&CountingHook, &state);
    // Waits for the transfer to be under way on the client's thread, then cancels it.
    std::thread canceller([&] {
        while (state.ticks.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        m_helper.Cancel();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Cancelled, m_helper.Request_URL_GET(m_server.Url("/slow"), 30));
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(OutcomeTest, ACancelBeforeTheRequestIsClearedByItsOwnReset) {
    m_helper.Cancel();
    EXPECT_TRUE(m_helper.IsCancelled());
    EXPECT_EQ(Ok, m_helper.Request_URL_GET(m_server.Url("/s200"), 10));
    EXPECT_FALSE(m_helper.IsCancelled());
}

void ThrowingHook(void*, double, double, double, double) { throw std::runtime_error("hook failed"); }

TEST_F(OutcomeTest, AnExceptionInTheHookEndsTheRequestAsNetworkFailure) {
    m_helper.SetProgressHook(&ThrowingHook, nullptr);
    std::string url = m_server.Url("/s200");
    EXPECT_EQ(NetworkFailure, m_helper.Request_URL_GET(url, 10));
    EXPECT_TRUE(LogHas('E', "Request_URL_GET Raise Exception! szURL = " + url, "curl_helper2.cpp"));
    EXPECT_TRUE(LogHas('W', "CCurlHelper Visit Network Failded. CURLcode = 87"));
    // The exception line reports it; the failed-transfer line is not written.
    EXPECT_EQ(0u, LogCount("CHECK_BOOL:curlRet == CURLE_OK MSG: " + url));
    EXPECT_EQ(NetworkFailure, m_helper.Request_URL_POST(url, 10));
    EXPECT_TRUE(LogHas('E', "Request_URL_POST Raise Exception! szURL = " + url));
}

// A step that raises still takes the request off the multi handle, so the
// next request on the helper runs.
TEST_F(RequestTest, AStepThatRaisesLeavesTheMultiHandleFreeForTheNextRequest) {
    RawServer raw([](const std::string&) {
        // A late answer keeps the request in flight while the step raises.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return RawServer::Response(200, "");
    });
    const std::string url = raw.Url("/");
    ASSERT_EQ(CURLE_OK, curl_easy_setopt(m_helper.Handle(), CURLOPT_URL, url.c_str()));
    EXPECT_THROW(m_helper.RunOnMulti([](int&) -> bool { throw std::runtime_error("step"); }), std::runtime_error);
    EXPECT_EQ(CURLE_OK, m_helper.RunOnMulti([](int& waitMs) {
        waitMs = 10;
        return true;
    }));
}

}  // namespace
}  // namespace orvel::httptest
