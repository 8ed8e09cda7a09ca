// File uploads (raw body and multipart form) and downloads into a file.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "httpclient/curl_helper.h"
#include "httpclient/http_fixture.h"

using namespace orvel::testsupport;

namespace orvel::httptest {
namespace {

using enum CurlOutcome;  // the outcomes by their short names

std::string BinaryBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) % 256);
    return bytes;
}

using TransferTest = HelperTest;

TEST_F(TransferTest, RawUploadSendsTheFileAsTheWholeBody) {
    RawServer raw([](const std::string&) { return RawServer::Response(201, "stored"); });
    std::string bytes = BinaryBytes(300000);  // large enough for libcurl to want 100-continue
    std::string path = m_dir->File("block.bin");
    WriteFileBytes(path, bytes);
    m_helper.AddHeader("X-Mine:1");
    EXPECT_EQ(Ok, m_helper.PostFileBody(raw.Url("/upload"), path, 30));
    EXPECT_EQ("stored", m_helper.GetResponseText());

    std::string request = raw.LastRequest(), body;
    SplitRequest(request, nullptr, &body);
    EXPECT_EQ(0u, request.rfind("POST /upload HTTP/1.1\r\n", 0));
    EXPECT_EQ(bytes, body);
    auto lines = HeaderLines(request);
    EXPECT_TRUE(std::count(lines.begin(), lines.end(), "Content-Length: 300000"));
    for (const char* absent : {"Accept", "Expect", "Content-Type", "X-Mine"})
        EXPECT_FALSE(HasLineStarting(lines, absent)) << absent;
}

TEST_F(TransferTest, RawUploadChecksTheStatusRange) {
    std::string path = m_dir->File("small.bin");
    WriteFileBytes(path, "abc");
    for (int status : {200, 299}) {
        RawServer raw([status](const std::string&) { return RawServer::Response(status, "ok"); });
        EXPECT_EQ(Ok, m_helper.PostFileBody(raw.Url("/u"), path, 10)) << status;
    }
    for (int status : {300, 404, 500}) {
        RawServer raw([status](const std::string&) { return RawServer::Response(status, "no"); });
        EXPECT_EQ(NetworkFailure, m_helper.PostFileBody(raw.Url("/u"), path, 10)) << status;
        EXPECT_TRUE(
            LogHas('W', "GetInfo Error Or Response Code Not In Range 200~300, Response Code:" + std::to_string(status),
                   "curl_helper2.cpp"));
    }
    EXPECT_TRUE(LogHas('W', "CCurlHelper Visit Network Failded. CURLcode = 87"));
}

TEST_F(TransferTest, RawUploadOfAMissingFileFailsBeforeAnyTransfer) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "ok"); });
    EXPECT_EQ(LocalFileUnreadable, m_helper.PostFileBody(raw.Url("/u"), m_dir->File("none"), 10));
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOL:NULL != reader.fp", "curl_helper2.cpp"));
    EXPECT_TRUE(raw.Requests().empty());
}

TEST_F(TransferTest, FailedTransfersOfEveryKindLogTheUrl) {
    std::string url;
    {
        RawServer gone([](const std::string&) { return RawServer::Response(200, "ok"); });
        url = gone.Url("/gone");  // nothing listens there once it is gone
    }
    std::string path = m_dir->File("f.bin");
    WriteFileBytes(path, "abc");
    EXPECT_EQ(ConnectFailed, m_helper.PostFileBody(url, path, 10));
    m_helper.AddFormField(FormCopyContents, "a", "1");
    EXPECT_EQ(ConnectFailed, m_helper.PostMutiForm(url, 10));
    EXPECT_EQ(ConnectFailed, m_helper.SimpleDownLoadFile(url, m_dir->File("d.bin"), 10));
    EXPECT_EQ(3u, LogCount("CHECK_BOOL:curlRet == CURLE_OK MSG: " + url));
    EXPECT_TRUE(LogHas('T', "CHECK_BOOL:curlRet == CURLE_OK MSG: " + url, "curl_helper2.cpp"));
}

class FormTest : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        m_server.Post("/form", [this](const httplib::Request&, httplib::Response& res) {
            res.status = m_status;
            res.set_content("form answer", "text/plain");
        });
        m_server.Start();
    }
    std::atomic<int> m_status = 200;
    LoopbackServer m_server;  // last: stopped before the members its handlers use
};

TEST_F(FormTest, FormPartsArriveInOrderWithTheFile) {
    std::string bytes = BinaryBytes(5000);
    std::string path = m_dir->File("up.bin");
    WriteFileBytes(path, bytes);
    m_helper.AddFormField(FormCopyContents, "token", "t\xC3\xA9st");
    m_helper.AddFormField(FormCopyContents, "empty", "");
    m_helper.AddFormField(FormFile, "FileCont", path);
    m_status = 201;
    EXPECT_EQ(Ok, m_helper.PostMutiForm(m_server.Url("/form"), 10));
    EXPECT_EQ("form answer", m_helper.GetResponseText());
    const httplib::Request request = m_server.LastRequest().http;
    ASSERT_TRUE(request.has_file("token"));
    EXPECT_EQ("t\xC3\xA9st", request.get_file_value("token").content);
    EXPECT_EQ("", request.get_file_value("empty").content);
    ASSERT_TRUE(request.has_file("FileCont"));
    EXPECT_EQ(bytes, request.get_file_value("FileCont").content);
    EXPECT_EQ("up.bin", request.get_file_value("FileCont").filename);
    EXPECT_EQ(0u, request.get_header_value("Content-Type").rfind("multipart/form-data; boundary=", 0));
}

TEST_F(FormTest, AFormAnsweredOutsideTheRangeFails) {
    m_helper.AddFormField(FormCopyContents, "a", "1");
    m_status = 404;
    EXPECT_EQ(NetworkFailure, m_helper.PostMutiForm(m_server.Url("/form"), 10));
    EXPECT_TRUE(LogHas('W', "GetInfo Error Or Response Code Not In Range 200~300, Response Code:404"));
    m_status = 300;
    EXPECT_EQ(NetworkFailure, m_helper.PostMutiForm(m_server.Url("/form"), 10));
}

TEST_F(FormTest, AMissingFileFailsTheForm) {
    m_helper.AddFormField(FormFile, "FileCont", m_dir->File("missing.bin"));
    EXPECT_EQ(NetworkFailure, m_helper.PostMutiForm(m_server.Url("/form"), 10));
}

TEST_F(FormTest, AFormWithoutPartsIsAnEmptyPost) {
    RawServer raw([](const std::string&) { return RawServer::Response(200, "ok"); });
    EXPECT_EQ(Ok, m_helper.PostMutiForm(raw.Url("/f"), 10));
    std::string request = raw.LastRequest();
    EXPECT_EQ(0u, request.rfind("POST /f HTTP/1.1\r\n", 0));
    auto lines = HeaderLines(request);
    EXPECT_TRUE(std::count(lines.begin(), lines.end(), "Content-Length: 0"));
}

class DownloadTest : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        auto& http = m_server.Http();
        m_bytes = BinaryBytes(200000);
        http.Get("/file", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(m_bytes, "application/octet-stream");
        });
        m_server.Post("/file", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(m_bytes, "application/octet-stream");
        });
        http.Get("/moved", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/file"); });
        http.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
        http.Get("/elsewhere",
                 [](const httplib::Request&, httplib::Response& res) { res.set_redirect("file:///etc/hostname"); });
        for (int status : {206, 404, 504}) {
            http.Get("/s" + std::to_string(status), [status](const httplib::Request&, httplib::Response& res) {
                res.status = status;
                res.set_content("status body", "text/plain");
            });
        }
        m_server.Start();
    }
    std::string m_bytes;
    LoopbackServer m_server;  // last: stopped before the members its handlers use
};

TEST_F(DownloadTest, TheBodyGoesIntoTheFileNotIntoMemory) {
    std::string path = m_dir->File("down.bin");
    EXPECT_EQ(Ok, m_helper.SimpleDownLoadFile(m_server.Url("/file"), path, 10));
    EXPECT_EQ(m_bytes, ReadFileBytes(path));
    EXPECT_TRUE(m_helper.Body().empty());
}

TEST_F(DownloadTest, RedirectsAreFollowed) {
    std::string path = m_dir->File("down.bin");
    EXPECT_EQ(Ok, m_helper.SimpleDownLoadFile(m_server.Url("/moved"), path, 10));
    EXPECT_EQ(m_bytes, ReadFileBytes(path));
}

TEST_F(DownloadTest, RedirectLoopsAndNonHttpTargetsEndTheDownload) {
    std::string path = m_dir->File("down.bin");
    EXPECT_EQ(NetworkFailure, m_helper.SimpleDownLoadFile(m_server.Url("/loop"), path, 10));
    EXPECT_TRUE(LogHas('W', "CCurlHelper Visit Network Failded. CURLcode = 47"));
    EXPECT_EQ(NetworkFailure, m_helper.SimpleDownLoadFile(m_server.Url("/elsewhere"), path, 10));
    EXPECT_TRUE(LogHas('W', "CCurlHelper Visit Network Failded. CURLcode = 1"));
}

TEST_F(DownloadTest, PostFieldsMakeTheDownloadAFormPost) {
    m_helper.AddPostField("blockid=00001a");
    std::string path = m_dir->File("down.bin");
    EXPECT_EQ(Ok, m_helper.SimpleDownLoadFile(m_server.Url("/file"), path, 10));
    EXPECT_EQ("blockid=00001a", m_server.LastRequest().body);
    EXPECT_EQ(m_bytes, ReadFileBytes(path));
}

TEST_F(DownloadTest, AStatusOtherThan200FailsAfterTheFileWasWritten) {
    std::string path = m_dir->File("down.bin");
    EXPECT_EQ(ServerErrorStatus, m_helper.SimpleDownLoadFile(m_server.Url("/s206"), path, 10));
    EXPECT_EQ("status body", ReadFileBytes(path));
    EXPECT_EQ(ServerErrorStatus, m_helper.SimpleDownLoadFile(m_server.Url("/s404"), path, 10));
    EXPECT_EQ(Timeout, m_helper.SimpleDownLoadFile(m_server.Url("/s504"), path, 10));
}

TEST_F(DownloadTest, AFileThatCannotBeCreatedFailsBeforeAnyTransfer) {
    EXPECT_EQ(NetworkFailure, m_helper.SimpleDownLoadFile(m_server.Url("/file"), m_dir->File("no/such/dir/f"), 10));
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOL:file", "curl_helper2.cpp"));
}

TEST_F(DownloadTest, ADownloadRightAfterATextRequestWritesTheFile) {
    // No full reset in between: the body writer of the text request is still set.
    EXPECT_EQ(ServerErrorStatus, m_helper.Request_URL_GET(m_server.Url("/s404"), 10));
    std::string path = m_dir->File("down.bin");
    EXPECT_EQ(Ok, m_helper.SimpleDownLoadFile(m_server.Url("/file"), path, 10));
    EXPECT_EQ(m_bytes, ReadFileBytes(path));
    EXPECT_EQ("status body", m_helper.Body());
}

TEST_F(DownloadTest, ACancelBeforeADownloadIsKeptBecauseItHasNoOwnReset) {
    m_helper.Cancel();
    std::string path = m_dir->File("down.bin");
    EXPECT_EQ(Cancelled, m_helper.SimpleDownLoadFile(m_server.Url("/file"), path, 10));
    m_helper.Reset(true);
    EXPECT_EQ(Ok, m_helper.SimpleDownLoadFile(m_server.Url("/file"), path, 10));
}

void CountTicks(void* data, double, double, double, double) { ++*static_cast<std::atomic<int>*>(data); }

TEST_F(DownloadTest, ACancelReachesADownloadHeldBackByTheReceiveCap) {
    std::atomic<int> ticks{0};
    m_helper.SetProgressHook(&CountTicks, &ticks);
    ASSERT_EQ(S_OK, m_helper.SetSpeedLimit(0, 16 * 1024));  // the whole file would take about 12 s
    // Real time on purpose: the cancel has to land while the receive cap holds the body back.
    std::thread canceller([&] {
        while (ticks.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_helper.Cancel();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Cancelled, m_helper.SimpleDownLoadFile(m_server.Url("/file"), m_dir->File("down.bin"), 60));
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace orvel::httptest
