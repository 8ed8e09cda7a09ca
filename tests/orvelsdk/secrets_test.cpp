// A whole session through the exports leaves no credential in the log: not the
// password, not the token, not a stub, not a block key. Runs at the default
// level and, as a test of its own, with every trace line written.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "test_util.h"

namespace {

class SecretsInLog : public EmulatorTest {};

// Every stub in the text is followed by the mask, whatever way it was written.
void ExpectNoBareSecrets(const std::string& log) {
    static const std::regex named(R"((stub|token|password|fileKey)("?\s*[:=]\s*"?|>)(?!\*\*\*)[^\s"&<,]+)",
                                  std::regex::icase);
    std::smatch m;
    EXPECT_FALSE(std::regex_search(log, m, named)) << m.str();
    static const std::regex key("[0-9a-fA-F]{64}");
    EXPECT_FALSE(std::regex_search(log, m, key)) << m.str();
}

TEST_F(SecretsInLog, AWholeSessionLeavesNoCredentialInTheLog) {
    LogWatch watch;
    Bstr userId, token, nick;
    ASSERT_EQ(ORVEL_Login(u"bob", u"hunter2", u"dev", u"c", u"1", &userId, &token, &nick), S_OK);
    const std::string tok = token.str();
    ASSERT_FALSE(tok.empty());
    Bstr folder;
    ASSERT_EQ(ORVEL_NewFolder(token.get(), u"0", u"secrets-session", &folder), S_OK);
    ORVEL_FILELIST files = nullptr;
    ASSERT_EQ(ORVEL_EnumFiles(token.get(), u"0", &files), S_OK);
    ORVEL_DestoryFiles(files);
    int64_t used = 0, total = 0;
    ORVEL_GetSpace(token.get(), u"", W(userId.str()).c_str(), &used, &total);

    TempDir temp;
    const std::string path = temp.File("a.mp4");
    std::ofstream(path, std::ios::binary) << std::string(5000, 'q');
    ORVEL_PROGRESS progress = nullptr;
    ASSERT_EQ(ORVEL_CreateProgress(&progress), S_OK);
    Bstr id;
    ASSERT_EQ(ORVEL_Upload(token.get(), folder.get(), u"a.mp4", W(path).c_str(), W(temp.Path()).c_str(), &id, progress),
              S_OK);
    EXPECT_EQ(ORVEL_Download(token.get(), id.get(), u"2000-01-01 00:00:00", W(temp.File("b.mp4")).c_str(), u"x", u"1",
                             W(temp.Path()).c_str(), 0, progress),
              S_OK);
    // A failed call echoes its request: still masked.
    EXPECT_LT(ORVEL_Download(token.get(), u"no-such-id", u"m", W(temp.File("c.mp4")).c_str(), u"x", u"1",
                             W(temp.Path()).c_str(), 0, progress),
              0);
    ORVEL_DestroyProgress(progress);
    Bstr renewed;
    ASSERT_EQ(ORVEL_Relogin(token.get(), u"dev", &renewed), S_OK);
    ASSERT_EQ(ORVEL_Login(u"bob", u"wrong-pw-7", u"dev", u"c", u"1", &userId, &token, &nick), E_OV_ACCOUNT_NOT_MATCH);

    const std::string log = watch.Text();
    ASSERT_FALSE(log.empty());
    if (LogWatch::Threshold() >= 9) {
        EXPECT_NE(log.find("Stub = ***"), std::string::npos);
    }
    for (const std::string& secret : {std::string("hunter2"), std::string("wrong-pw-7"), tok, renewed.str()})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    ExpectNoBareSecrets(log);
}

}  // namespace
