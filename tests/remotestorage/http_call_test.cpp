// Header text, percent encoding, root URLs, the "isent" marker and masking.
#include <fstream>

#include "remotestorage/http_call.h"
#include "rs_fixture.h"

namespace rstest {
namespace {

TEST(UrlEncodeTest, EscapesTheReservedBytesInLowerCaseHex) {
    EXPECT_EQ(UrlEncode(" "), "%20");
    EXPECT_EQ(UrlEncode("."), "%2e");
    EXPECT_EQ(UrlEncode("/"), "%2f");
    EXPECT_EQ(UrlEncode("~"), "~");
    EXPECT_EQ(UrlEncode("\xE4"), "%e4");
    EXPECT_EQ(UrlEncode("\"%&+;<=>[\\]^`{|}"), "%22%25%26%2b%3b%3c%3d%3e%5b%5c%5d%5e%60%7b%7c%7d");
}

TEST(UrlEncodeTest, CopiesLettersDigitsControlBytesAndTheOtherPunctuation) {
    const std::string kept = "AZaz09!#$'()*,-:?@_~\t\x01";
    EXPECT_EQ(UrlEncode(kept), kept);
}

TEST(UrlEncodeTest, NeverGrowsBeyondThreeTimesTheInput) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_LE(UrlEncode(all).size(), all.size() * 3);
}

TEST_F(RemoteStorageTest, UrlEncodeOfEmptyTextAssertsAndGivesNothing) {
    EXPECT_EQ(UrlEncode(""), "");
    EXPECT_TRUE(Logged('E', "*ASSERT*: psrc != 0 && *psrc != 0"));
}

TEST(HeaderTest, VersionTwoWithoutGzip) {
    std::string header;
    BuildRequestHeaders(header, false, "2");
    EXPECT_EQ(header, "v:2&User-Agent:sdkrd-1%2e0%2e0%2e0&cv:sdkrd-1%2e0%2e0%2e0&Expect:");
}

TEST(HeaderTest, GzipAddsAcceptEncodingLast) {
    std::string header;
    BuildRequestHeaders(header, true, "3");
    EXPECT_EQ(header, "v:3&User-Agent:sdkrd-1%2e0%2e0%2e0&cv:sdkrd-1%2e0%2e0%2e0&Expect:&Accept-Encoding:gzip");
}

TEST(HeaderTest, AddHeaderFieldJoinsWithAmpersandAndEncodesValues) {
    std::string header;
    AddHeaderField(header, "a", "x y");
    AddHeaderField(header, "b", nullptr);
    AddHeaderField(header, "c", "");
    EXPECT_EQ(header, "a:x%20y&b:&c:");
}

TEST_F(RemoteStorageTest, RootsComeFromTheirSettingsAndKeepAGivenScheme) {
    std::ofstream(tempDir + "/settings.ini", std::ios::trunc)
        << "[Tavik]\nServerRoot=api.example:81\nSvrCommandRoot=https://cmd.example\n"
           "PushNotifyRoot=http://push.example\n[TavikShell]\nWebServerRoot=web.example\n";
    EXPECT_EQ(ServiceUrl("/osvr/login/"), "http://api.example:81/osvr/login/");
    EXPECT_EQ(CommandUrl("/c"), "https://cmd.example/c");
    EXPECT_EQ(PushUrl("/sync/get?uid=1"), "http://push.example/sync/get?uid=1");
    EXPECT_EQ(WebUrl("/kmg/"), "http://web.example/kmg/");
}

TEST_F(RemoteStorageTest, EveryRootDefaultsToTheLocalEmulator) {
    std::ofstream(tempDir + "/settings.ini", std::ios::trunc) << "[Other]\nx=1\n";
    EXPECT_EQ(ServiceUrl("/a"), "http://127.0.0.1:18750/a");
    EXPECT_EQ(CommandUrl("/a"), "http://127.0.0.1:18750/a");
    EXPECT_EQ(PushUrl("/a"), "http://127.0.0.1:18750/a");
    EXPECT_EQ(WebUrl("/a"), "http://127.0.0.1:18750/a");
    EXPECT_EQ(MessageUrl("/a"), "http://127.0.0.1:18750/a");
    EXPECT_EQ(UdbReturnUrl(), "http://127.0.0.1:18750/osvr/udbLoginReturn/");
}

TEST_F(RemoteStorageTest, AppendIsEntFollowsTheRegistryFlag) {
    std::string url = "http://h/p/";
    AppendIsEnt(url);
    EXPECT_EQ(url, "http://h/p/");

    SetIsEnt(1);
    url = "http://h/p/";
    AppendIsEnt(url);
    EXPECT_EQ(url, "http://h/p/?isent=1");
    url = "http://h/p/?a=1";
    AppendIsEnt(url);
    EXPECT_EQ(url, "http://h/p/?a=1&isent=1");
    url = "http://h/p";
    AppendIsEnt(url);
    EXPECT_EQ(url, "http://h/p/?isent=1");
}

struct MaskCase {
    const char* name;
    const char* in;
    const char* out;
};

// Test names and printed parameters come from the case name, never from bytes.
void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.name; }

class MaskTokenTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskTokenTest, RemovesCredentials) { EXPECT_EQ(MaskToken(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Cases, MaskTokenTest,
    ::testing::Values(MaskCase{"TokenElement", "<Orvel><token>abc</token><fileId>7</fileId></Orvel>",
                               "<Orvel><fileId>7</fileId></Orvel>"},
                      MaskCase{"TokenItem", "a=1&token=abc&b=2", "a=1&b=2"},
                      // A last "token=" item goes to the end of the text.
                      MaskCase{"LastTokenItem", "uid=1&token=abc", "uid=1&"},
                      MaskCase{"PasswordElement",
                               "<Orvel><user>u</user><password>secret</password><deviceId>d</deviceId></Orvel>",
                               "<Orvel><user>u</user><deviceId>d</deviceId></Orvel>"},
                      MaskCase{"TokenAndPassword", "<token>t</token><password>p</password>", ""},
                      MaskCase{"UnterminatedPassword", "<Orvel><password>p", "<Orvel>"},
                      MaskCase{"UnterminatedToken", "<Orvel><token>unterminated", "<Orvel>"},
                      MaskCase{"EveryTokenElement", "<a><token>1</token><b><token>2</token></b></a>", "<a><b></b></a>"},
                      MaskCase{"EveryTokenItem", "token=1&x=2&token=3", "x=2&"},
                      MaskCase{"NothingToHide", "nothing to hide", "nothing to hide"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace rstest
