#include <filesystem>

#include "log_fixture.h"

namespace {
HRESULT Fail(HRESULT hr) { return hr; }
}  // namespace

TEST_F(LogTest, CheckMacrosWriteTheirExactTextsAndReportTheOutcome) {
    orvel::logtest::SetThreshold(9);
    const int x = 2;
    EXPECT_TRUE(ORVEL_ASSERT(x == 2));
    EXPECT_FALSE(ORVEL_ASSERT(x == 1));
    EXPECT_FALSE(ERROR_CHECK_BOOL(x > 5));
    EXPECT_FALSE(ERROR_CHECK_BOOLEX(x % 2 == 1));
    EXPECT_TRUE(ERROR_CHECK_COM(S_OK));
    EXPECT_FALSE(ERROR_CHECK_COM(Fail(E_OV_TARGET_EXISTS)));
    EXPECT_FALSE(ERROR_CHECK_COM_LEVEL(0, E_FAIL));
    EXPECT_FALSE(ERROR_CHECK_COM_MSG(0, E_OV_NETWORK_ERROR, "Create CTransport Failed!"));
    EXPECT_FALSE(CHECK_BOOL(x == 3, "http://host/path?a=%s"));
    EXPECT_FALSE(CHECK_COM(E_OV_CANCELLED));
    EXPECT_TRUE(CHECK_COM(1));
    const std::string text = LogText();
    const char* expected[] = {
        "\tE \tsdkrd.log \t",  // letter of the assertion line
        "*ASSERT*: x == 1 \tFL:test_log_checks.cpp(",
        "\tW \tsdkrd.log",
        "ERROR_CHECK_BOOL:x > 5 \tFL:",
        "ERROR_CHECK_BOOLEX:x % 2 == 1 \tFL:",
        "ERROR_CHECK_COM hr = 8004101a: hr \tFL:",
        "ERROR_CHECK_COM hr = 80004005: hr \tFL:",
        "ERROR_CHECK_COM: hr = 80044005 MSG: Create CTransport Failed! \tFL:",
        "CHECK_BOOL:x == 3 MSG: http://host/path?a=%s \tFL:",
        "CHECK_COM hr = 80041016: hr \tFL:",
    };
    for (const char* piece : expected) EXPECT_NE(text.find(piece), std::string::npos) << piece;
    EXPECT_EQ(text.find("x == 2"), std::string::npos);
    size_t lines = 0;
    for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2)) ++lines;
    EXPECT_EQ(lines, 8u);
}

TEST_F(LogTest, ChecksAtTheDefaultThresholdKeepOnlyLevelZero) {
    EXPECT_FALSE(ORVEL_ASSERT(!"CreateTask Failed: No Task!"));
    EXPECT_FALSE(ERROR_CHECK_BOOL(false));
    EXPECT_FALSE(ERROR_CHECK_COM_LEVEL(0, E_FAIL));
    EXPECT_FALSE(CHECK_BOOL(false, "m"));
    EXPECT_EQ(LogText(), Prefix('E') + "*ASSERT*: !\"CreateTask Failed: No Task!\"\r\n" + Prefix('E') +
                             "ERROR_CHECK_COM hr = 80004005: hr\r\n");
}

TEST_F(LogTest, TraceStackLinesWithElapsedTime) {
    orvel::logtest::SetThreshold(9);
    uint32_t tick = 1000;
    orvel::logtest::SetTicks([&tick] { return tick; });
    HRESULT hr = S_OK;
    {
        TRACE_SCOPE("UploadRequester::Perform", &hr, "szUri = %s", "http://x/y");
        tick += 2050;
        hr = E_OV_TARGET_EXISTS;
    }
    {
        CTraceStack plain("", "ORVEL_CreateProgress()", "progress.cc", 9, nullptr);
        tick += 1005;
    }
    const std::string text = LogText();
    EXPECT_NE(text.find(Prefix('T') +
                        "CTraceStack In, UploadRequester::Perform : szUri = http://x/y \tFL:test_log_checks.cpp("),
              std::string::npos);
    EXPECT_NE(text.find("CTraceStack Out,UploadRequester::Perform : hr = 8004101a, UserTime: 2'.50' \tFL:"),
              std::string::npos);
    EXPECT_NE(text.find("CTraceStack In, ORVEL_CreateProgress() :  \tFL:progress.cc(9)"), std::string::npos);
    EXPECT_NE(text.find("CTraceStack Out,ORVEL_CreateProgress() : UserTime: 1'.5'' \tFL:progress.cc(9)"),
              std::string::npos);
}

TEST_F(LogTest, TraceDetailIsNotFormattedWhenTracesAreOff) {
    int calls = 0;
    auto counted = [&calls] {
        ++calls;
        return "d";
    };
    { TRACE_SCOPE("Op", nullptr, "%s", counted()); }
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(std::filesystem::exists(orvel::logtest::CurrentFile()));
}

TEST_F(LogTest, LogFormatCutsAt1023CharactersNotBytes) {
    std::string two;
    for (int i = 0; i < 600; ++i) two += "\xC3\xA4";  // 600 characters in 1200 bytes: not cut
    EXPECT_EQ(LogFormat("%s", two.c_str()), two);
    std::string cjk;
    for (int i = 0; i < 2000; ++i) cjk += "\xE4\xB8\xAD";
    EXPECT_EQ(LogFormat("%s", cjk.c_str()), cjk.substr(0, 1023 * 3));
    // A character outside the BMP takes two units; it is dropped whole rather than split.
    const std::string astral = std::string(1022, 'a') + "\xF0\x9F\x98\x80" + "b";
    EXPECT_EQ(LogFormat("%s", astral.c_str()), std::string(1022, 'a'));
    EXPECT_EQ(LogFormat("%d-%s", 7, "x"), "7-x");

    // The whole line is still cut at 1100 bytes, on a character boundary.
    LogWriteFormat(4, "f.cpp", 1, "%s", cjk.c_str());
    const std::string text = LogText();
    const size_t room = 1100 - Prefix('I').size();
    EXPECT_EQ(text, Prefix('I') + cjk.substr(0, room - room % 3));
}

TEST_F(LogTest, OddLevelsAndNullTextsDoNotCrash) {
    orvel::logtest::SetThreshold(9);
    LogWrite(-3, "negative", nullptr, -1);
    LogWriteFormat(4, nullptr, 0, nullptr);
    LogWrite(4, std::string_view("a\0b", 3), "f", 1);
    EXPECT_NE(LogText().find("\tN \tsdkrd.log"), std::string::npos);
}
