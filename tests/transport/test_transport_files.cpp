// The transport object's file operations: download, multipart and raw uploads.
#include "transport/transport_fixture.h"

using namespace orvel::testsupport;

namespace orvel::transporttest {
namespace {

class TransportFileTest : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        m_local = m_dir->File("up.bin");
        WriteFileBytes(m_local, std::string("file\0content", 12));
    }
    std::string m_local;
};

TEST_F(TransportFileTest, DownloadCreatesTheFoldersAndWritesTheFile) {
    std::string local = m_dir->File("x/y/data.bin");
    std::string post = "id=7";
    EXPECT_EQ(S_OK, m_transport->DownloadFile(m_server.Url("/data"), local, "v:2", nullptr, 30));
    EXPECT_EQ(m_bytes, ReadFileBytes(local));
    EXPECT_EQ(S_OK, m_transport->DownloadFile(m_server.Url("/s200"), local, "v:2", &post, 30));
    EXPECT_EQ("POST", Seen().method);
    EXPECT_EQ("id=7", Seen().body);
    EXPECT_EQ("body 200", ReadFileBytes(local));
}

TEST_F(TransportFileTest, DownloadFailuresAreLogged) {
    std::string local = m_dir->File("d.bin");
    EXPECT_EQ(E_OV_SERVER_ERROR, m_transport->DownloadFile(m_server.Url("/s404"), local, "", nullptr, 30));
    EXPECT_TRUE(LogHas('W', "DownLoad File Failed!", "ctransport.cpp"));
    EXPECT_EQ(E_OV_NETWORK_TIMEOUT, m_transport->DownloadFile(m_server.Url("/s504"), local, "", nullptr, 30));
    EXPECT_EQ(E_FAIL, m_transport->DownloadFile(m_server.Url("/s200"), "", "", nullptr, 30));
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)", "ctransport.cpp"));
}

TEST_F(TransportFileTest, MultipartUploadSendsThePairsAndTheFile) {
    std::optional<std::string> answer;
    EXPECT_EQ(S_OK, m_transport->PostMultiForm(m_server.Url("/s201"), m_local, "v:2",
                                               "token=abc&name=f%20n&flag=", &answer, 30));
    EXPECT_EQ("body 201", answer.value_or(""));
    httplib::Request seen = Seen();
    EXPECT_EQ("abc", seen.get_file_value("token").content);
    EXPECT_EQ("f%20n", seen.get_file_value("name").content);
    EXPECT_TRUE(seen.has_file("flag"));
    ASSERT_TRUE(seen.has_file("FileCont"));
    EXPECT_EQ(std::string("file\0content", 12), seen.get_file_value("FileCont").content);
    EXPECT_EQ("up.bin", seen.get_file_value("FileCont").filename);
    EXPECT_EQ("2", seen.get_header_value("v"));
}

TEST_F(TransportFileTest, MultipartUploadChecksTheRange) {
    std::optional<std::string> answer = "stale";
    EXPECT_EQ(E_OV_NETWORK_ERROR, m_transport->PostMultiForm(m_server.Url("/s404"), m_local, "", "", &answer, 30));
    EXPECT_FALSE(answer.has_value());
    EXPECT_EQ(E_FAIL, m_transport->PostMultiForm(m_server.Url("/s200"), "", "", "", &answer, 30));
}

TEST_F(TransportFileTest, RawUploadSendsTheFileAsTheBody) {
    std::optional<std::string> answer;
    EXPECT_EQ(S_OK, m_transport->PostFile(m_server.Url("/s200"), m_local, "v:2", 0, &answer, 30));
    EXPECT_EQ("body 200", answer.value_or(""));
    EXPECT_EQ(std::string("file\0content", 12), Seen().body);
    EXPECT_FALSE(Seen().has_header("Content-Type"));
    EXPECT_EQ(E_OV_NETWORK_ERROR, m_transport->PostFile(m_server.Url("/s500"), m_local, "v:2", 0, &answer, 30));
    EXPECT_FALSE(answer.has_value());
}

TEST_F(TransportFileTest, RawUploadArgumentChecks) {
    EXPECT_EQ(S_OK, m_transport->PostFile(m_server.Url("/s200"), m_local, "", 0, nullptr, 30));
    EXPECT_TRUE(LogHas('E', "*ASSERT*: szHeader && wcslen(szHeader)", "ctransport.cpp"));
    EXPECT_EQ(E_FAIL, m_transport->PostFile(m_server.Url("/s200"), "", "v:2", 0, nullptr, 30));
    EXPECT_TRUE(LogHas('W', "ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)"));
    // A file that cannot be opened: the helper's own failure value comes back as it is.
    EXPECT_EQ(E_FAIL, m_transport->PostFile(m_server.Url("/s200"), m_dir->File("none"), "v:2", 0, nullptr, 30));
    EXPECT_TRUE(LogHas('E', "*ASSERT*: !\"unknown request outcome\"", "ctransport.cpp"));
}

}  // namespace
}  // namespace orvel::transporttest
