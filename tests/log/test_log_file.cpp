#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "log_fixture.h"

TEST_F(LogTest, LineFormatByteForByte) {
    LogWrite(4, "hello world", "/src/some/unit.cpp", 12);
    LogWrite(0, "*ASSERT*: x", "unit.cpp", 13);
    EXPECT_EQ(orvel::logtest::CurrentFile(), dir.File("sdkrd_2011_05_03.log"));
    EXPECT_EQ(LogText(), Prefix('I') + "hello world\r\n" + Prefix('E') + "*ASSERT*: x\r\n");
}

TEST_F(LogTest, LevelsAboveThresholdAreDropped) {
    LogWrite(5, "warn", "f.cpp", 1);
    LogWrite(9, "trace", "f.cpp", 1);
    LogWriteFormat(5, "f.cpp", 1, "%s", "warn");
    EXPECT_FALSE(std::filesystem::exists(orvel::logtest::CurrentFile()));
    EXPECT_FALSE(LogLevelEnabled(5));
    EXPECT_TRUE(LogLevelEnabled(4));
}

TEST_F(LogTest, LongFormAboveThresholdFourCarriesSourcePosition) {
    orvel::logtest::SetThreshold(9);
    LogWrite(9, "trace", "/a/b/remote_storage.cpp", 321);
    LogWrite(5, "warn", "plain.cpp", 7);
    LogWrite(7, "r", nullptr, 0);
    EXPECT_EQ(LogText(), Prefix('T') + "trace \tFL:remote_storage.cpp(321)\r\n" + Prefix('W') +
                             "warn \tFL:plain.cpp(7)\r\n" + Prefix('R') + "r \tFL:(0)\r\n");
}

TEST_F(LogTest, FormattedMessageIsCutAt1023AndLineAt1100WithoutLineEnd) {
    const std::string big(2000, 'm');
    LogWriteFormat(4, "f.cpp", 1, "%s", big.c_str());
    std::string text = LogText();
    EXPECT_EQ(text, Prefix('I') + std::string(1023, 'm') + "\r\n");

    std::filesystem::remove(orvel::logtest::CurrentFile());
    LogWrite(4, big, "f.cpp", 1);
    text = LogText();
    ASSERT_EQ(text.size(), 1100u);
    EXPECT_EQ(text, Prefix('I') + std::string(1100 - Prefix('I').size(), 'm'));
}

TEST_F(LogTest, DailyFileNameFollowsTheLocalDate) {
    LogWrite(4, "day one", "f.cpp", 1);
    now = LocalTimeT(2011, 5, 4, 0, 0, 1);
    LogWrite(4, "day two", "f.cpp", 1);
    now = LocalTimeT(2012, 5, 3, 12, 0, 0);  // same day of the year, next year
    LogWrite(4, "next year", "f.cpp", 1);
    EXPECT_NE(ReadFileBytes(dir.File("sdkrd_2011_05_03.log")).find("day one"), std::string::npos);
    EXPECT_NE(ReadFileBytes(dir.File("sdkrd_2011_05_04.log")).find("day two"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(dir.File("sdkrd_2011_05_04.log")).find("day one"), std::string::npos);
    EXPECT_NE(ReadFileBytes(dir.File("sdkrd_2012_05_03.log")).find("next year"), std::string::npos);
}

TEST_F(LogTest, SizeCheckOnEveryHundredthWriteDeletesOversizedFile) {
    const std::string file = orvel::logtest::CurrentFile();
    WriteFileBytes(file, "");
    ASSERT_EQ(truncate(file.c_str(), 104857601), 0);  // sparse: one byte over the limit
    for (int i = 0; i < 98; ++i) LogWrite(4, "x", "f.cpp", 1);
    LogWrite(4, "99th", "f.cpp", 1);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 104857601);  // not checked yet
    LogWrite(4, "100th", "f.cpp", 1);
    EXPECT_EQ(LogText(), Prefix('I') + "100th\r\n");  // deleted, then written afresh

    // Exactly the limit stays.
    std::filesystem::remove(file);
    WriteFileBytes(file, "");
    ASSERT_EQ(truncate(file.c_str(), 104857600), 0);
    orvel::logtest::SetWriteCount(99);
    LogWrite(4, "checked", "f.cpp", 1);
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 104857600);
}

TEST_F(LogTest, CleanOldLogsRemovesOnlyOldDailyFiles) {
    WriteFileBytes(dir.File("sdkrd_2011_05_01.log"), "old");
    WriteFileBytes(dir.File("notes.txt"), "user data");
    WriteFileBytes(dir.File("sdkrd.log.bak"), "not a daily file");
    std::filesystem::create_directory(dir.File("sdkrd_2011_04_01.log"));
    const time_t created = time(nullptr);

    now = created + 86400 - 60;  // less than a day after creation: stays
    CleanOldLogs();
    EXPECT_TRUE(std::filesystem::exists(dir.File("sdkrd_2011_05_01.log")));

    now = created + 2 * 86400;  // two days: goes
    CleanOldLogs();
    EXPECT_FALSE(std::filesystem::exists(dir.File("sdkrd_2011_05_01.log")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("notes.txt")));
    EXPECT_TRUE(std::filesystem::exists(dir.File("sdkrd.log.bak")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("sdkrd_2011_04_01.log")));
}

TEST_F(LogTest, TwoProcessesWriteWholeLines) {
    constexpr int kLines = 300;
    const std::string parentText(300, 'p'), childText(300, 'c');
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < kLines; ++i) LogWrite(4, childText, "f.cpp", 1);
        _exit(0);
    }
    for (int i = 0; i < kLines; ++i) LogWrite(4, parentText, "f.cpp", 1);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));

    const std::string text = LogText();
    int parents = 0, children = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(pos, end - pos);
        const size_t tab = line.rfind('\t');
        ASSERT_NE(tab, std::string::npos);
        const std::string msg = line.substr(tab + 1);
        if (msg == parentText)
            ++parents;
        else if (msg == childText)
            ++children;
        else
            ADD_FAILURE() << "mixed line: " << line.substr(0, 80);
        pos = end + 2;
    }
    EXPECT_EQ(parents, kLines);
    EXPECT_EQ(children, kLines);
}

TEST_F(LogTest, CreateFolderTreeMakesParentsAndFailsOnFiles) {
    EXPECT_EQ(CreateFolderTree(dir.File("a/b/c/")), S_OK);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b/c")));
    EXPECT_EQ(CreateFolderTree(dir.File("a/b/c")), S_OK);
    EXPECT_EQ(CreateFolderTree("/"), S_OK);
    WriteFileBytes(dir.File("file"), "x");
    orvel::logtest::SetThreshold(5);
    EXPECT_EQ(CreateFolderTree(dir.File("file")), E_FAIL);
    EXPECT_EQ(CreateFolderTree(dir.File("file/sub")), E_FAIL);
    orvel::logtest::SetThreshold(4);
    EXPECT_NE(LogText().find("ERROR_CHECK_BOOLEX:path.IsDirectory()"), std::string::npos);
}

TEST_F(LogTest, AttachHonoursLogDirAndLevel) {
    ScopedEnv logDir("ORVEL_LOG_DIR", dir.File("custom/logs/"));
    ScopedEnv level("ORVEL_LOG_LEVEL", "9");
    LogAttachModule();
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("custom/logs")));
    EXPECT_EQ(orvel::logtest::BasePath(), dir.File("custom/logs/sdkrd.log"));
    EXPECT_EQ(orvel::logtest::LogName(), "sdkrd.log");
    EXPECT_TRUE(LogLevelEnabled(9));
    EXPECT_EQ(orvel::logtest::CurrentFile(), dir.File("custom/logs/sdkrd_2011_05_03.log"));

    ScopedEnv badLevel("ORVEL_LOG_LEVEL", "high");
    LogAttachModule();
    EXPECT_FALSE(LogLevelEnabled(5));
}

TEST_F(LogTest, AttachDefaultsBesideTheModule) {
    ScopedEnv logDir("ORVEL_LOG_DIR", std::nullopt);
    ScopedEnv level("ORVEL_LOG_LEVEL", std::nullopt);
    ScopedEnv state("XDG_STATE_HOME", dir.File("state"));
    LogAttachModule();
    const std::string base = orvel::logtest::BasePath();
    // Beside the test executable when its folder is writable, else the state folder.
    const bool beside = base.size() > 14 && base.substr(base.size() - 14) == "/log/sdkrd.log";
    EXPECT_TRUE(beside) << base;
    EXPECT_TRUE(std::filesystem::is_directory(base.substr(0, base.rfind('/'))));
}
