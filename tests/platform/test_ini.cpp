#include <gtest/gtest.h>

#include "platform/ini.h"
#include "support/temp_env.h"

using namespace orvel::testsupport;

namespace {
class Ini : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.File("settings.ini");
    std::string Get(std::string_view s, std::string_view k, std::string_view def = "D") {
        return GetPrivateProfileString(s, k, def, file);
    }
};
}  // namespace

TEST_F(Ini, PrivateProfileSemantics) {
    WriteFileBytes(file,
                   "; comment\r\n"
                   "[Tavik]\r\n"
                   "  ServerRoot =  api.example.test  \r\n"
                   "Quoted=\"  spaced  \"\r\n"
                   "Single='x'\r\n"
                   "Empty=\r\n"
                   "NoValue\r\n"
                   "Eq=a=b\r\n"
                   "[ Debug ]\r\n"
                   "UploadSpeed=-1\r\n"
                   "[tavik]\r\n"
                   "Later=ignored\r\n");
    EXPECT_EQ(Get("TAVIK", "serverroot"), "api.example.test");
    EXPECT_EQ(Get("Tavik", "Quoted"), "  spaced  ");
    EXPECT_EQ(Get("Tavik", "Single"), "x");
    EXPECT_EQ(Get("Tavik", "Empty"), "");  // present but empty: not the default
    EXPECT_EQ(Get("Tavik", "NoValue"), "D");
    EXPECT_EQ(Get("Tavik", "Eq"), "a=b");
    EXPECT_EQ(Get("debug", "UploadSpeed"), "-1");
    EXPECT_EQ(Get("Tavik", "Later"), "D");  // only the first section of a name is read
    EXPECT_EQ(Get("Missing", "ServerRoot"), "D");
    EXPECT_EQ(Get("Tavik", "Missing"), "D");
}

TEST_F(Ini, ValuesAndDefaultsAreCutAt259Characters) {
    WriteFileBytes(file, "[S]\nK=" + std::string(300, 'v') + "\n");
    EXPECT_EQ(Get("S", "K"), std::string(259, 'v'));
    EXPECT_EQ(Get("S", "Other", std::string(400, 'd')), std::string(259, 'd'));
}

TEST_F(Ini, MissingUnreadableOrBinaryFilesGiveDefaults) {
    EXPECT_EQ(GetPrivateProfileString("S", "K", "def", ""), "def");
    EXPECT_EQ(GetPrivateProfileString("S", "K", "def", dir.File("absent.ini")), "def");
    EXPECT_EQ(GetPrivateProfileString("S", "K", "def", dir.Path()), "def");  // a folder
    WriteFileBytes(file, std::string("\x00\xFF[S\x00K=\x01", 9));
    EXPECT_EQ(Get("S", "K", "def"), "def");
    WriteFileBytes(file, "[S\nK=v\n");  // unclosed section header still names the section
    EXPECT_EQ(Get("S", "K", "def"), "v");
}

TEST_F(Ini, Utf16FileWithBom) {
    std::string bytes = "\xFF\xFE";
    for (char c : std::string("[Tavik]\r\nProgramVersion=1.2.3\r\n")) bytes += c, bytes += '\0';
    WriteFileBytes(file, bytes);
    EXPECT_EQ(Get("Tavik", "ProgramVersion"), "1.2.3");
}
