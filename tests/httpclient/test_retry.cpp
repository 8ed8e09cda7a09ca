// Retries of the request functions: which faults are repeated for which kind
// of request, the backoff lines, Retry-After, the setting that turns retries
// off, and a cancel that ends a wait at once.
#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>

#include "httpclient/curl_wrapper.h"
#include "httpclient/http_fixture.h"
#include "httpclient/network_error.h"
#include "httpclient/retry_policy.h"

using namespace orvel::testsupport;

namespace orvel::httptest {
namespace {

class RetryTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        WriteSettings("[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n");
        m_server.Http().Post("/text", [this](const httplib::Request& req, httplib::Response& res) {
            int n = ++m_requests;
            res.status = n <= m_failures ? m_failStatus.load() : 200;
            const std::string retryAfter = RetryAfter();
            if (!retryAfter.empty()) res.set_header("Retry-After", retryAfter);
            res.set_content("answer " + std::to_string(n) + " " + req.body, "text/plain");
        });
        m_server.Http().Post("/block", [this](const httplib::Request&, httplib::Response& res) {
            ++m_requests;
            res.status = 503;
            res.set_header("Retry-After", "8");
            res.set_content("busy", "text/plain");
        });
        m_server.Start();
        SetRetryWaitScaleForTesting(0.01);
    }
    void TearDown() override {
        SetRetryWaitScaleForTesting(1.0);
        HttpTest::TearDown();
    }
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_server.Port()); }

    std::string RetryAfter() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_retryAfter;
    }
    void SetRetryAfter(std::string value) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_retryAfter = std::move(value);
    }

    std::atomic<int> m_requests{0};
    std::atomic<int> m_failures = 0;
    std::atomic<int> m_failStatus = 503;
    std::mutex m_lock;  // the handler runs on the server's thread
    std::string m_retryAfter;
    LoopbackServer m_server;  // last: stopped before the members its handlers use
};

TEST_F(RetryTest, RepeatableRequestsRideOutServerErrorsAndStateChangesOnlyRefusals) {
    m_failures = 2;
    CurlWrapper wrapper;
    EXPECT_EQ("answer 3 x", HttpRequestPost(wrapper, m_server.Url("/text"), "", "x"));
    EXPECT_EQ(3, m_requests.load());
    const std::string log = LogText();
    EXPECT_NE(std::string::npos, log.find("Retrying network request (1 of 3) in "));
    EXPECT_NE(std::string::npos, log.find("Retrying network request (2 of 3) in "));
    EXPECT_NE(std::string::npos, log.find(" ms after: HTTP 503 from " + Host()));
    EXPECT_TRUE(ThreadNetworkError().empty());

    // A state change answered 503 may have been carried out: it is not sent again,
    // and the answer is handed back as before.
    m_requests = 0;
    EXPECT_EQ("answer 1 y", HttpRequestPost(wrapper, m_server.Url("/text"), "", "y", RequestKind::ChangesState));
    EXPECT_EQ(1, m_requests.load());
    EXPECT_EQ("HTTP 503 from " + Host(), ThreadNetworkError());

    // A refused connection never reached the service: even a commit is repeated.
    const std::string closed = "127.0.0.1:" + std::to_string(ClosedPort());
    try {
        HttpRequestPost(wrapper, "http://" + closed + "/osvr/commit/?token=secret", "", "z", RequestKind::ChangesState);
        ADD_FAILURE() << "nothing raised";
    } catch (const EXCEPT::NetworkError& e) {
        EXPECT_EQ("Couldn't connect", e.detail);
    }
    size_t retries = 0, failures = 0;
    const std::string text = LogText();
    for (size_t at = 0; (at = text.find("after: connection refused (" + closed + ")", at)) != std::string::npos; ++at)
        ++retries;
    for (size_t at = 0; (at = text.find("Network request to " + closed + " failed: ", at)) != std::string::npos; ++at)
        ++failures;
    EXPECT_EQ(3u, retries);
    EXPECT_EQ(4u, failures);
    // The new lines name host and port only, never the query that may carry a token.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Network request to ") != std::string::npos || line.find("Retrying") != std::string::npos) {
            EXPECT_EQ(std::string::npos, line.find("secret")) << line;
        }
    }
    EXPECT_EQ("connection refused (" + closed + ")", ThreadNetworkError());
}

TEST_F(RetryTest, RetryAfterIsHonouredUpToItsBound) {
    m_failures = 2;
    SetRetryAfter("120");
    CurlWrapper wrapper;
    EXPECT_EQ("answer 3 x", HttpRequestPost(wrapper, m_server.Url("/text"), "", "x"));
    EXPECT_TRUE(LogHas('W', "Retrying network request (1 of 3) in 8000 ms after: HTTP 503 from " + Host()));
    m_requests = 0;
    SetRetryAfter("2");
    m_failStatus = 429;
    EXPECT_EQ("answer 3 x", HttpRequestPost(wrapper, m_server.Url("/text"), "", "x"));
    EXPECT_TRUE(LogHas('W', "Retrying network request (1 of 3) in 2000 ms after: HTTP 429 from " + Host()));
}

TEST_F(RetryTest, NoRetriesWhenTheSettingIsZero) {
    WriteSettings("[Tavik]\nNetworkRetries=0\n[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n");
    m_failures = 5;
    CurlWrapper wrapper;
    EXPECT_EQ("answer 1 x", HttpRequestPost(wrapper, m_server.Url("/text"), "", "x"));
    EXPECT_EQ(1, m_requests.load());
    EXPECT_EQ(std::string::npos, LogText().find("Retrying network request"));
}

TEST_F(RetryTest, ACancelEndsTheBackoffWaitAtOnce) {
    SetRetryWaitScaleForTesting(1.0);
    m_failures = 100;
    SetRetryAfter("8");
    ClearThreadNetworkError();
    int calls = 0;
    // Asks to stop once the first attempt has failed: that is inside the wait.
    auto callback = [](void* ctx, double, double, double, double, double) -> HRESULT {
        ++*static_cast<int*>(ctx);
        return ThreadNetworkError().empty() ? S_OK : E_FAIL;
    };
    CurlWrapper wrapper(callback, &calls);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HttpDownloadFile(wrapper, m_server.Url("/block"), m_dir->File("blk"), "", "a=1"), EXCEPT::TaskCancel);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(1, m_requests.load());
    EXPECT_GT(calls, 0);
    EXPECT_LT(waited, std::chrono::seconds(4));  // the planned wait was 8 s
    EXPECT_TRUE(LogHas('W', "Retrying network request (1 of 3) in 8000 ms after: HTTP 503 from " + Host()));
}

TEST(RetryPolicyTest, WhatIsRetriedAndForHowLong) {
    using namespace std::chrono;
    AttemptFailure dropped{CURLE_RECV_ERROR};
    AttemptFailure refused{CURLE_COULDNT_CONNECT};
    AttemptFailure busy{CURLE_OK, 503};
    AttemptFailure missing{CURLE_OK, 404};
    AttemptFailure untrusted{CURLE_PEER_FAILED_VERIFICATION};
    AttemptFailure cancelled{CURLE_ABORTED_BY_CALLBACK};
    EXPECT_TRUE(IsTransientFailure(dropped, RequestKind::Repeatable));
    EXPECT_FALSE(IsTransientFailure(dropped, RequestKind::ChangesState));
    EXPECT_TRUE(IsTransientFailure(refused, RequestKind::ChangesState));
    EXPECT_TRUE(IsTransientFailure(busy, RequestKind::Repeatable));
    EXPECT_FALSE(IsTransientFailure(busy, RequestKind::ChangesState));
    EXPECT_FALSE(IsTransientFailure(missing, RequestKind::Repeatable));
    EXPECT_FALSE(IsTransientFailure(untrusted, RequestKind::Repeatable));
    EXPECT_FALSE(IsTransientFailure(cancelled, RequestKind::Repeatable));

    // About 0.25 s doubling, jittered, three retries at most.
    RetryPolicy policy(RequestKind::Repeatable, 3);
    int64_t base = 250;
    for (int n = 0; n < 3; ++n, base *= 2) {
        auto wait = policy.NextWait(dropped);
        ASSERT_TRUE(wait);
        EXPECT_GE(wait->count(), base * 3 / 4);
        EXPECT_LE(wait->count(), base * 5 / 4);
    }
    EXPECT_FALSE(policy.NextWait(dropped));

    // A service that stays down: no retry starts once 20 s have gone.
    RetryPolicy late(RequestKind::Repeatable, 3, steady_clock::now() - milliseconds(19900));
    EXPECT_FALSE(late.NextWait(refused));
    EXPECT_FALSE(RetryPolicy(RequestKind::Repeatable, 0).NextWait(refused));
}

}  // namespace
}  // namespace orvel::httptest
