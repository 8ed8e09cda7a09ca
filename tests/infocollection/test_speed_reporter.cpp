// Speed reporters and the once-per-process choice made by the rate query.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "blocks/transfer/speed_reporter.h"
#include "blocks/transfer/speed_reporter_testing.h"
#include "info_test_support.h"
#include "support/loopback_server.h"

namespace {

std::vector<std::pair<std::string, std::string>> g_reported;
void Capture(const std::string& url, const std::string& text) { g_reported.emplace_back(url, text); }

// A loopback rate-query host answering with a fixed text.
class RateServer {
public:
    explicit RateServer(std::string answer) : m_answer(std::move(answer)) {
        m_server.Http().Post("/tavik/getrate.do", [this](const httplib::Request&, httplib::Response& res) {
            ++m_hits;
            res.set_content(m_answer, "text/plain");
        });
        m_server.Start();
    }
    int port() const { return m_server.Port(); }
    int hits() const { return m_hits.load(); }

private:
    std::string m_answer;
    std::atomic<int> m_hits{0};
    orvel::testsupport::LoopbackServer m_server;  // last: stopped before what its handler reads
};

class SpeedReporterTest : public InfoStoreTest {
protected:
    void SetUp() override {
        InfoStoreTest::SetUp();
        orvel::infotest::ResetSpeedReporter();
    }
    void TearDown() override {
        orvel::infotest::ResetSpeedReporter();
        ::unsetenv("ORVEL_SETTINGS_FILE");
        InfoStoreTest::TearDown();
    }
    void PointAt(int port) {
        const std::string ini = m_dir.File("settings.ini");
        std::ofstream(ini) << "[Tavik]\nRateQueryRoot=127.0.0.1:" << port << "\n";
        ::setenv("ORVEL_SETTINGS_FILE", ini.c_str(), 1);
    }
};

}  // namespace

TEST(SpeedReport, KeyIsTheTextBetweenTheLastTwoSlashes) {
    EXPECT_EQ(SpeedKeyFromUrl("http://host:80/upload/"), "upload");
    EXPECT_EQ(SpeedKeyFromUrl("http://host/tavik/block/put"), "block");
    EXPECT_EQ(SpeedKeyFromUrl("a/b"), "b");
    EXPECT_EQ(SpeedKeyFromUrl("/x"), "x");
    EXPECT_EQ(SpeedKeyFromUrl("plain"), "plain");
    EXPECT_EQ(SpeedKeyFromUrl(""), "");
}

TEST(SpeedReport, TextsAreFormattedForTheReporter) {
    g_reported.clear();
    ReportSpeedText(&Capture, "http://h/a/b", 42, "kB/s");
    ReportSpeedNumbers(&Capture, "http://h/a/b", 7, -3);
    ReportSpeedText(nullptr, "u", 1, "ignored");
    ReportSpeedNumbers(nullptr, "u", 1, 2);
    ASSERT_EQ(g_reported.size(), 2u);
    EXPECT_EQ(g_reported[0], std::make_pair(std::string("http://h/a/b"), std::string("42 kB/s")));
    EXPECT_EQ(g_reported[1].second, "7 -3");
}

TEST_F(SpeedReporterTest, NetSpeedFilesAnItem) {
    NetSpeed("http://h/tavik/upfile/abc", "100 2048");
    NoSpeed("http://h/tavik/upfile/abc", "ignored");
    std::vector<RecordTree> items = Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("infotype"), "NetSpeed");
    EXPECT_EQ(items[0].GetValue("upfile"), "100 2048");
}

TEST_F(SpeedReporterTest, AnswerOneTurnsRecordingOnForTheProcess) {
    RateServer server("rate=1");
    PointAt(server.port());
    EXPECT_EQ(GetSpeedReporter(), &NetSpeed);
    EXPECT_EQ(GetSpeedReporter(), &NetSpeed);
    EXPECT_EQ(server.hits(), 1);  // decided once
}

TEST_F(SpeedReporterTest, AnswerZeroOrWithoutEqualsLeavesItOff) {
    {
        RateServer server("rate=0");
        PointAt(server.port());
        EXPECT_EQ(GetSpeedReporter(), &NoSpeed);
        EXPECT_EQ(server.hits(), 1);
    }
    orvel::infotest::ResetSpeedReporter();
    {
        RateServer server("1");
        PointAt(server.port());
        EXPECT_EQ(GetSpeedReporter(), &NoSpeed);
        EXPECT_EQ(server.hits(), 1);
    }
}
