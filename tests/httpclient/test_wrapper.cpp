// The throwing file-transfer layer: which exception each outcome raises, the
// three request functions, and the progress callback with its speed rule.
#include <atomic>
#include <chrono>
#include <thread>

#include "httpclient/curl_wrapper.h"
#include "httpclient/http_fixture.h"
#include "infocollection/info_collection.h"

using namespace orvel::testsupport;

namespace orvel::httptest {
namespace {

using enum CurlOutcome;  // the outcomes by their short names

class WrapperTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        WriteSettings("[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n");  // no caps: quick transfers
        m_server.Post("/text", [this](const httplib::Request& req, httplib::Response& res) {
            res.status = m_status;
            res.set_content("answer " + req.body, "text/plain");
        });
        m_server.Post("/block", [this](const httplib::Request&, httplib::Response& res) {
            res.status = m_status;
            res.set_content(m_blockBytes, "application/octet-stream");
        });
        m_blockBytes = std::string(96 * 1024, 'b');
        m_server.Start();
    }
    template <typename E>
    E Catch(const std::function<void()>& run) {
        try {
            run();
        } catch (const E& e) {
            return e;
        } catch (const EXCEPT::BaseException& e) {
            ADD_FAILURE() << "raised " << e.type << " " << e.detail;
        }
        ADD_FAILURE() << "nothing raised";
        return E("none");
    }
    std::atomic<int> m_status = 200;
    std::string m_blockBytes;
    LoopbackServer m_server;  // last: stopped before the members its handlers use
};

TEST_F(WrapperTest, TextPostReturnsTheAnswerForAnyStatusAndCountsTheRequest) {
    CurlWrapper wrapper;
    uint32_t before = CInfoCollection::Instance().RequestCount();
    EXPECT_EQ("answer {\"a\":1}", HttpRequestPost(wrapper, m_server.Url("/text"), "v:2&Expect:", "{\"a\":1}"));
    EXPECT_EQ("{\"a\":1}", m_server.LastRequest().body);
    EXPECT_EQ("2", m_server.LastRequest().version);
    m_status = 500;
    EXPECT_EQ("answer x", HttpRequestPost(wrapper, m_server.Url("/text"), "", "x"));
    EXPECT_EQ(before + 2, CInfoCollection::Instance().RequestCount());
}

TEST_F(WrapperTest, EmptyArgumentsAreAssertedAndTheCallGoesOn) {
    CurlWrapper wrapper;
    EXPECT_EQ("answer ", HttpRequestPost(wrapper, m_server.Url("/text"), "", ""));
    EXPECT_TRUE(LogHas('E', "*ASSERT*: !strPostData.IsEmpty()"));
    auto e = Catch<EXCEPT::CurlUnknownError>([&] { HttpUploadFile(wrapper, "", "", ""); });
    EXPECT_TRUE(LogHas('E', "*ASSERT*: !strURL.IsEmpty()"));
    EXPECT_TRUE(LogHas('E', "*ASSERT*: !strLocal.IsEmpty()"));
}

TEST_F(WrapperTest, DownloadWritesTheFileIntoNewFolders) {
    CurlWrapper wrapper;
    std::string local = m_dir->File("a/b/c/block.tmp");
    HttpDownloadFile(wrapper, m_server.Url("/block"), local, "v:2", "blockid=1");
    EXPECT_EQ(m_blockBytes, ReadFileBytes(local));
    EXPECT_EQ("blockid=1", m_server.LastRequest().body);
}

TEST_F(WrapperTest, DownloadStatusesRaiseAfterTheFileWasWritten) {
    CurlWrapper wrapper;
    std::string local = m_dir->File("block.tmp");
    m_status = 206;
    auto e = Catch<EXCEPT::ServerError>([&] { HttpDownloadFile(wrapper, m_server.Url("/block"), local, "", "k=v"); });
    EXPECT_EQ("Response not 200", e.detail);
    EXPECT_EQ("CurlWrapper::SimpleDownloadFile", e.raisedIn);
    EXPECT_EQ(m_blockBytes, ReadFileBytes(local));
    m_status = 504;
    auto t = Catch<EXCEPT::NetworkError>([&] { HttpDownloadFile(wrapper, m_server.Url("/block"), local, "", "k=v"); });
    EXPECT_EQ("Timeout", t.detail);
}

TEST_F(WrapperTest, UploadChecksTheRangeAndRaisesNetworkError) {
    CurlWrapper wrapper;
    std::string local = m_dir->File("up.bin");
    WriteFileBytes(local, "encrypted block");
    EXPECT_EQ("answer encrypted block", HttpUploadFile(wrapper, m_server.Url("/text"), local, "v:2"));
    EXPECT_EQ("encrypted block", m_server.LastRequest().body);
    EXPECT_EQ("", m_server.LastRequest().version);  // the raw upload sends its own three-line header list
    m_status = 500;
    auto e = Catch<EXCEPT::CurlUnknownError>([&] { HttpUploadFile(wrapper, m_server.Url("/text"), local, "v:2"); });
    EXPECT_EQ("Network Error", e.detail);
    EXPECT_EQ("CurlWrapper::PostFile", e.raisedIn);
    EXPECT_TRUE(LogHas('W', "GetInfo Error Or Response Code Not In Range 200~300, Response Code:500"));
    auto missing = Catch<EXCEPT::CurlUnknownError>(
        [&] { HttpUploadFile(wrapper, m_server.Url("/text"), m_dir->File("none"), "v:2"); });
    EXPECT_EQ("Network Error", missing.detail);
}

TEST_F(WrapperTest, OutcomesMapToExceptions) {
    EXPECT_NO_THROW(RaiseForOutcome(Ok, "X"));
    EXPECT_EQ("Timeout", Catch<EXCEPT::NetworkError>([] { RaiseForOutcome(Timeout, "X"); }).detail);
    EXPECT_EQ("X", Catch<EXCEPT::TaskCancel>([] { RaiseForOutcome(Cancelled, "X"); }).raisedIn);
    EXPECT_EQ("Couldn't connect", Catch<EXCEPT::NetworkError>([] { RaiseForOutcome(ConnectFailed, "X"); }).detail);
    EXPECT_EQ("Network Error", Catch<EXCEPT::CurlUnknownError>([] { RaiseForOutcome(NetworkFailure, "X"); }).detail);
    EXPECT_EQ("Response not 200", Catch<EXCEPT::ServerError>([] { RaiseForOutcome(ServerErrorStatus, "X"); }).detail);
    EXPECT_EQ("Network Error",
              Catch<EXCEPT::CurlUnknownError>([] { RaiseForOutcome(static_cast<CurlOutcome>(E_FAIL), "X"); }).detail);
    EXPECT_EQ("Network Error",
              Catch<EXCEPT::CurlUnknownError>([] { RaiseForOutcome(LocalFileUnreadable, "X"); }).detail);
}

TEST_F(WrapperTest, ARefusedConnectionRaisesCouldntConnect) {
    CurlWrapper wrapper;
    m_server.Stop();
    auto e = Catch<EXCEPT::NetworkError>([&] { HttpRequestPost(wrapper, m_server.Url("/text"), "", "x"); });
    EXPECT_EQ("Couldn't connect", e.detail);
    EXPECT_EQ("CurlWrapper::RequestPost", e.raisedIn);
}

TEST_F(WrapperTest, DownloadsAndUploadsAreCountedToo) {
    CurlWrapper wrapper;
    uint32_t before = CInfoCollection::Instance().RequestCount();
    HttpDownloadFile(wrapper, m_server.Url("/block"), m_dir->File("block.tmp"), "", "k=v");
    std::string local = m_dir->File("up.bin");
    WriteFileBytes(local, "x");
    HttpUploadFile(wrapper, m_server.Url("/text"), local, "");
    EXPECT_EQ(before + 2, CInfoCollection::Instance().RequestCount());
}

TEST_F(WrapperTest, AValueThatCannotBeReadRaisesFromGetInfo) {
    CurlWrapper wrapper;
    long value = 0;
    auto e =
        Catch<EXCEPT::CurlUnknownError>([&] { wrapper.GetInfo(static_cast<CURLINFO>(CURLINFO_LONG + 999), &value); });
    EXPECT_EQ("CurlWrapper::GetInfo", e.raisedIn);
    EXPECT_EQ("Network Error", e.detail);
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOL:curlRet == CURLE_OK"));
}

TEST_F(WrapperTest, AnOptionThatCannotBeSetRaisesFromSetOpt) {
    CurlWrapper wrapper;
    auto e = Catch<EXCEPT::CurlUnknownError>([&] { wrapper.SetOpt(CURLOPT_TIMEOUT, -1L); });
    EXPECT_EQ("CurlWrapper::SetOpt", e.raisedIn);
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOL:curlRet == CURLE_OK"));
}

// ---- progress ----

struct Progress {
    std::atomic<int> calls{0};
    HRESULT answer = S_OK;
    int stopAfter = 1;
    double lastSpeed = 0, maxDlNow = 0, maxUlNow = 0, speedWithDownload = 0;
};

HRESULT Record(void* ctx, double, double dlNow, double, double ulNow, double speed) {
    auto* p = static_cast<Progress*>(ctx);
    int n = ++p->calls;
    p->maxDlNow = std::max(p->maxDlNow, dlNow);
    p->maxUlNow = std::max(p->maxUlNow, ulNow);
    if (dlNow > 0.1) p->speedWithDownload = std::max(p->speedWithDownload, speed);
    p->lastSpeed = speed;
    return n >= p->stopAfter ? p->answer : S_OK;
}

TEST_F(WrapperTest, ACallbackAnsweringEFailStopsTheTransfer) {
    Progress progress;
    progress.answer = E_FAIL;
    CurlWrapper wrapper(&Record, &progress);
    auto e = Catch<EXCEPT::TaskCancel>([&] { HttpRequestPost(wrapper, m_server.Url("/text"), "", "x"); });
    EXPECT_EQ("CurlWrapper::RequestPost", e.raisedIn);
    EXPECT_EQ(1, progress.calls.load());
}

TEST_F(WrapperTest, OtherFailureAnswersDoNotStopIt) {
    Progress progress;
    progress.answer = E_OV_CANCELLED;
    CurlWrapper wrapper(&Record, &progress);
    std::string local = m_dir->File("block.tmp");
    EXPECT_NO_THROW(HttpDownloadFile(wrapper, m_server.Url("/block"), local, "", "k=v"));
    EXPECT_EQ(m_blockBytes, ReadFileBytes(local));
    EXPECT_GT(progress.calls.load(), 1);
}

TEST_F(WrapperTest, TheSpeedIsTheDownloadSpeedOnceBytesHaveArrived) {
    Progress progress;
    CurlWrapper wrapper(&Record, &progress);
    HttpDownloadFile(wrapper, m_server.Url("/block"), m_dir->File("block.tmp"), "", "k=v");
    EXPECT_EQ(static_cast<double>(m_blockBytes.size()), progress.maxDlNow);
    EXPECT_GT(progress.speedWithDownload, 0.0);
}

TEST_F(WrapperTest, DuringAnUploadTheSpeedIsTheUploadSpeed) {
    Progress progress;
    CurlWrapper wrapper(&Record, &progress);
    std::string local = m_dir->File("up.bin");
    WriteFileBytes(local, std::string(200000, 'u'));
    HttpUploadFile(wrapper, m_server.Url("/text"), local, "");
    EXPECT_EQ(200000.0, progress.maxUlNow);
    EXPECT_GT(progress.lastSpeed, 0.0);
}

HRESULT Throwing(void*, double, double, double, double, double) { throw std::runtime_error("callback failed"); }

TEST_F(WrapperTest, AnExceptionInsideTheProgressCallbackEndsAsNetworkError) {
    CurlWrapper wrapper(&Throwing, nullptr);
    std::string url = m_server.Url("/text");
    auto e = Catch<EXCEPT::CurlUnknownError>([&] { HttpRequestPost(wrapper, url, "", "x"); });
    EXPECT_EQ("Network Error", e.detail);
    EXPECT_TRUE(LogHas('E', "Request_URL_POST Raise Exception! szURL = " + url, "curl_helper2.cpp"));
    std::string local = m_dir->File("up.bin");
    WriteFileBytes(local, "x");
    Catch<EXCEPT::CurlUnknownError>([&] { HttpUploadFile(wrapper, url, local, ""); });
    EXPECT_TRUE(LogHas('E', "*ASSERT*: 0", "curl_helper2.cpp"));
    EXPECT_TRUE(LogHas('E', "PostMutiForm Raise Exception! szURL = " + url, "curl_helper2.cpp"));
    Catch<EXCEPT::CurlUnknownError>([&] { HttpDownloadFile(wrapper, url, local, "", "k=v"); });
    EXPECT_TRUE(LogHas('E', "SimpleDownLoadFile Raise Exception! szURL = " + url + ", szLocal = " + local));
}

// A block request retries as often as the transfer's pace says, whatever the
// setting reads later.
TEST_F(WrapperTest, ABlockRequestTakesItsRetriesFromThePace) {
    LoopbackServer busy;
    std::atomic<int> calls{0};
    busy.Http().Post("/block", [&](const httplib::Request&, httplib::Response& res) {
        ++calls;
        res.status = 503;
    });
    busy.Start();
    SetRetryWaitScaleForTesting(0.01);
    WriteSettings("[Tavik]\nNetworkRetries=1\n");
    const BlockPace pace = ReadBlockPace();
    EXPECT_EQ(1, pace.retries);
    WriteSettings("[Tavik]\nNetworkRetries=0\n");
    CurlWrapper wrapper;
    std::vector<uint8_t> out;
    Catch<EXCEPT::ServerError>([&] { HttpDownloadBuffer(wrapper, busy.Url("/block"), "", "x=1", 1024, out, pace); });
    SetRetryWaitScaleForTesting(1.0);
    EXPECT_EQ(2, calls.load());
}

}  // namespace
}  // namespace orvel::httptest
