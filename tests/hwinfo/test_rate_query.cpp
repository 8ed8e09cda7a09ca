// The rate query against a loopback host: URL, request fields and headers,
// the answers 0, 1 and without "=", and the failures that leave it off.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>

#include <thread>

#include "blocks/transfer/rate_query.h"
#include "platform/registry.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"

using orvel::testsupport::TempDir;

namespace {

class RateHost {
public:
    RateHost(std::string answer, std::chrono::milliseconds delay = std::chrono::milliseconds(0))
        : m_answer(std::move(answer)), m_delay(delay) {
        m_server.Http().Post("/tavik/getrate.do", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_body = req.body;
                m_version = req.get_header_value("v");
                m_agent = req.get_header_value("User-Agent");
            }
            ++m_hits;
            // A host that answers late: what is tested is the client's own time-out.
            if (m_delay.count() > 0) std::this_thread::sleep_for(m_delay);
            res.set_content(m_answer, "text/plain");
        });
        m_server.Start();
    }
    int port() const { return m_server.Port(); }
    int hits() const { return m_hits.load(); }
    std::string body() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_body;
    }
    std::string version() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_version;
    }
    std::string agent() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_agent;
    }

private:
    std::string m_answer;
    std::chrono::milliseconds m_delay;
    std::atomic<int> m_hits{0};
    std::mutex m_lock;
    std::string m_body, m_version, m_agent;
    orvel::testsupport::LoopbackServer m_server;  // last: stopped before what its handler uses
};

class RateQueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ORVEL_REGISTRY_FILE", m_dir.File("tavik.reg").c_str(), 1);
        ::setenv("ORVEL_SETTINGS_FILE", m_dir.File("settings.ini").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ORVEL_REGISTRY_FILE");
        ::unsetenv("ORVEL_SETTINGS_FILE");
    }
    void Settings(const std::string& tavikSection) {
        std::ofstream(m_dir.File("settings.ini")) << "[Tavik]\n" << tavikSection;
    }
    void PointAt(int port) { Settings("RateQueryRoot=127.0.0.1:" + std::to_string(port) + "\n"); }
    TempDir m_dir;
};

}  // namespace

TEST(RateAnswer, NumberAfterTheFirstEquals) {
    EXPECT_EQ(ParseRateAnswer("rate=1"), 1);
    EXPECT_EQ(ParseRateAnswer("rate=0"), 0);
    EXPECT_EQ(ParseRateAnswer("1"), 0);
    EXPECT_EQ(ParseRateAnswer(""), 0);
    EXPECT_EQ(ParseRateAnswer("a=12&b=3"), 12);
    EXPECT_EQ(ParseRateAnswer("a= 7"), 7);
    EXPECT_EQ(ParseRateAnswer("a=x1"), 0);
}

TEST_F(RateQueryTest, UrlFromTheSetting) {
    EXPECT_EQ(RateQueryUrl(), "http://127.0.0.1:8080/tavik/getrate.do");
    Settings("RateQueryRoot=rates.example\n");
    EXPECT_EQ(RateQueryUrl(), "http://rates.example:8080/tavik/getrate.do");
    Settings("RateQueryRoot=rates.example:9000\n");
    EXPECT_EQ(RateQueryUrl(), "http://rates.example:9000/tavik/getrate.do");
    Settings("RateQueryRoot=https://rates.example/base/\n");
    EXPECT_EQ(RateQueryUrl(), "https://rates.example/base/tavik/getrate.do");
}

TEST_F(RateQueryTest, AnswerOneSendsTheFieldsAndSaysYes) {
    ASSERT_TRUE(RegSetString("UserName", "bob & co"));
    ASSERT_TRUE(RegSetString("UserId", "42"));
    RateHost host("rate=1");
    PointAt(host.port());
    EXPECT_TRUE(QueryRateDecision());
    EXPECT_EQ(host.hits(), 1);
    const std::string body = host.body();
    EXPECT_TRUE(std::regex_match(body, std::regex("uname=bob%20%26%20co&uid=42&ver=1%2e0%2e0%2e0&hwid=[0-9a-f]{32}")))
        << body;
    EXPECT_EQ(host.version(), "1");
    // Sent as "tavik-1%2e0%2e0%2e0"; the test server decodes header values.
    EXPECT_EQ(host.agent(), "tavik-1.0.0.0");
}

TEST_F(RateQueryTest, AnswerZeroOrWithoutEqualsSaysNo) {
    {
        // Nobody signed in: the user fields go out empty, without assertion lines.
        orvel::testsupport::LogCapture log;
        RateHost host("rate=0");
        PointAt(host.port());
        EXPECT_FALSE(QueryRateDecision());
        EXPECT_EQ(host.hits(), 1);
        EXPECT_TRUE(std::regex_match(host.body(), std::regex("uname=&uid=&ver=1%2e0%2e0%2e0&hwid=[0-9a-f]{32}")))
            << host.body();
        EXPECT_FALSE(log.Contains("*ASSERT*")) << log.Text();
    }
    {
        RateHost host("1");
        PointAt(host.port());
        EXPECT_FALSE(QueryRateDecision());
        EXPECT_EQ(host.hits(), 1);
    }
}

TEST_F(RateQueryTest, UnreachableOrSlowHostSaysNoWithinTheLimit) {
    int closedPort = 0;
    {
        RateHost gone("rate=1");
        closedPort = gone.port();
    }
    PointAt(closedPort);
    EXPECT_FALSE(QueryRateDecision());

    RateHost slow("rate=1", std::chrono::milliseconds(3500));
    PointAt(slow.port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(QueryRateDecision());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3400));
}

// The decision is asked once with a short limit: a refused connection is not
// waited for and asked again, as other reading requests are.
TEST_F(RateQueryTest, ARefusedQueryIsNotRetried) {
    int closedPort = 0;
    {
        RateHost gone("rate=1");
        closedPort = gone.port();
    }
    PointAt(closedPort);
    orvel::testsupport::LogCapture capture;
    EXPECT_FALSE(QueryRateDecision());
    const std::string log = capture.Text();
    EXPECT_NE(log.find("Network request to 127.0.0.1:" + std::to_string(closedPort) + " failed"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("Retrying network request"), std::string::npos) << log;
}

TEST(RateQueryHardwareId, ComputedOncePerProcess) {
    const std::string id = ProcessHardwareId();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}")));
    EXPECT_EQ(ProcessHardwareId(), id);
}
