#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/registry.h"
#include "support/temp_env.h"

using namespace orvel::testsupport;

namespace {

class Registry : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.File("tavik.reg");
    ScopedEnv env{"ORVEL_REGISTRY_FILE", file};

    void Write(const std::string& body) {
        WriteFileBytes(file,
                       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavik]\r\n" + body);
    }
    static std::string Utf16Le(const std::u16string& s) {
        std::string out = "\xFF\xFE";
        for (char16_t c : s) out += static_cast<char>(c & 0xFF), out += static_cast<char>(c >> 8);
        return out;
    }
};

}  // namespace

TEST_F(Registry, ReadsEachValueType) {
    Write(
        "\"ProxyServerIP\"=\"10.0.0.1\"\r\n"
        "\"ProxyServerType\"=dword:0000001f\r\n"
        "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
        "\"Quoted\"=\"say \\\"hi\\\" in C:\\\\dir\"\r\n"
        "@=\"default value\"\r\n");
    RegType type{};
    std::string text;
    uint32_t dword = 0;
    ASSERT_TRUE(RegQueryValue("ProxyServerIP", &type, &text, &dword));
    EXPECT_EQ(type, RegType::String);
    EXPECT_EQ(text, "10.0.0.1");
    ASSERT_TRUE(RegQueryValue("proxyservertype", &type, &text, &dword));  // names ignore case
    EXPECT_EQ(type, RegType::Dword);
    EXPECT_EQ(dword, 31u);
    ASSERT_TRUE(RegQueryValue("Expand", &type, &text, nullptr));
    EXPECT_EQ(type, RegType::ExpandString);
    EXPECT_EQ(text, "%A%");  // not expanded
    ASSERT_TRUE(RegQueryValue("Multi", &type, &text, nullptr));
    EXPECT_EQ(type, RegType::MultiString);
    EXPECT_EQ(text, std::string("a\0bc", 4));
    ASSERT_TRUE(RegQueryValue("Quoted", &type, &text, nullptr));
    EXPECT_EQ(text, "say \"hi\" in C:\\dir");
    ASSERT_TRUE(RegQueryValue("", &type, &text, nullptr));
    EXPECT_EQ(text, "default value");
    EXPECT_FALSE(RegQueryValue("Missing", &type, &text, nullptr));
    EXPECT_TRUE(RegKeyExists());
}

TEST_F(Registry, HexContinuationLinesAndDwordAsHex4) {
    Write(
        "\"Long\"=hex(2):41,00,42,00,\\\r\n"
        "  43,00,00,00\r\n"
        "\"D\"=hex(4):01,02,00,00\r\n");
    RegType type{};
    std::string text;
    uint32_t dword = 0;
    ASSERT_TRUE(RegQueryValue("Long", &type, &text, nullptr));
    EXPECT_EQ(text, "ABC");
    ASSERT_TRUE(RegQueryValue("D", &type, nullptr, &dword));
    EXPECT_EQ(type, RegType::Dword);
    EXPECT_EQ(dword, 0x201u);
}

TEST_F(Registry, MalformedAndUnknownDataFailsThatValueOnly) {
    Write(
        "\"Binary\"=hex:01,02\r\n"
        "\"Unterminated\"=hex(2):41,00\r\n"
        "\"OddBytes\"=hex(2):41,00,00\r\n"
        "\"BadHex\"=hex(2):zz,00\r\n"
        "\"BadDword\"=dword:123456789\r\n"
        "\"OpenQuote\"=\"abc\r\n"
        "garbage line without quotes\r\n"
        "\"Good\"=\"yes\"\r\n");
    for (const char* name : {"Binary", "Unterminated", "OddBytes", "BadHex", "BadDword", "OpenQuote"})
        EXPECT_FALSE(RegQueryValue(name, nullptr, nullptr, nullptr)) << name;
    std::string text;
    EXPECT_TRUE(RegQueryValue("Good", nullptr, &text, nullptr));
    EXPECT_EQ(text, "yes");
}

TEST_F(Registry, OnlyTheTavikSectionCountsAndLaterLinesWin) {
    WriteFileBytes(file,
                   "Windows Registry Editor Version 5.00\n\n"
                   "[HKEY_CURRENT_USER\\Software\\Other]\n\"UserId\"=\"other\"\n"
                   "[hkey_current_user\\software\\tavik]\n\"UserId\"=\"first\"\n\"UserId\"=\"second\"\n"
                   "\"Gone\"=\"x\"\n\"Gone\"=-\n");
    std::string text;
    ASSERT_TRUE(RegQueryValue("UserId", nullptr, &text, nullptr));
    EXPECT_EQ(text, "second");
    EXPECT_FALSE(RegQueryValue("Gone", nullptr, nullptr, nullptr));
}

TEST_F(Registry, NotARegFileIsAnEmptyStore) {
    WriteFileBytes(file, "[HKEY_CURRENT_USER\\Software\\Tavik]\n\"UserId\"=\"u\"\n");
    EXPECT_FALSE(RegKeyExists());
    EXPECT_FALSE(RegQueryValue("UserId", nullptr, nullptr, nullptr));
    WriteFileBytes(file, std::string("\x00\x01\x02\xFF", 4));
    EXPECT_FALSE(RegQueryValue("UserId", nullptr, nullptr, nullptr));
    // An unknown file is never overwritten.
    EXPECT_FALSE(RegSetString("UserId", "x"));
    EXPECT_EQ(ReadFileBytes(file), std::string("\x00\x01\x02\xFF", 4));
}

TEST_F(Registry, MissingFileOrVariableMeansNoKey) {
    EXPECT_FALSE(RegKeyExists());
    ScopedEnv unset("ORVEL_REGISTRY_FILE", std::nullopt);
    EXPECT_EQ(RegistryFilePath(), "");
    EXPECT_FALSE(RegQueryValue("UserId", nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegSetDword("isent", 1));
}

TEST_F(Registry, Utf16FileAndRegedit4) {
    WriteFileBytes(file, Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavik]\r\n"
                                 u"\"UserName\"=\"\u4E2D\u6587\"\r\n\"E\"=hex(2):4e,2d,00,00\r\n"));
    std::string text;
    ASSERT_TRUE(RegQueryValue("UserName", nullptr, &text, nullptr));
    EXPECT_EQ(text, "\xE4\xB8\xAD\xE6\x96\x87");
    ASSERT_TRUE(RegQueryValue("E", nullptr, &text, nullptr));
    EXPECT_EQ(text, "\xE2\xB5\x8E");  // U+2D4E from the little-endian pair 4e,2d

    WriteFileBytes(file, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tavik]\n\"E\"=hex(2):41,42,00\n");
    RegType type{};
    ASSERT_TRUE(RegQueryValue("E", &type, &text, nullptr));
    EXPECT_EQ(type, RegType::ExpandString);
    EXPECT_EQ(text, "AB");  // 8-bit data in the old format
}

TEST_F(Registry, SetCreatesFileAndKeepsOtherLines) {
    ASSERT_TRUE(RegSetString("UserId", "42"));
    ASSERT_TRUE(RegSetDword("isent", 1));
    RegType type{};
    std::string text;
    uint32_t dword = 0;
    ASSERT_TRUE(RegQueryValue("UserId", &type, &text, nullptr));
    EXPECT_EQ(text, "42");
    ASSERT_TRUE(RegQueryValue("isent", &type, nullptr, &dword));
    EXPECT_EQ(type, RegType::Dword);
    EXPECT_EQ(dword, 1u);
    EXPECT_EQ(ReadFileBytes(file).rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // new file: private
    chmod(file.c_str(), 0640);
    ASSERT_TRUE(RegSetDword("isent", 0));
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // existing file: mode kept

    WriteFileBytes(file,
                   "Windows Registry Editor Version 5.00\r\n\r\n; comment\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n"
                   "\"Keep\"=\"me\"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavik]\r\n\"UserId\"=\"old\"\r\n"
                   "\"Path\"=hex(2):41,00,\\\r\n  00,00\r\n");
    ASSERT_TRUE(RegSetString("userid", "new \"quoted\" \\ value"));
    ASSERT_TRUE(RegSetString("Path", "two\nlines"));
    const std::string after = ReadFileBytes(file);
    EXPECT_NE(after.find("; comment"), std::string::npos);
    EXPECT_NE(after.find("\"Keep\"=\"me\""), std::string::npos);
    EXPECT_EQ(after.find("old"), std::string::npos);
    ASSERT_TRUE(RegQueryValue("UserId", nullptr, &text, nullptr));
    EXPECT_EQ(text, "new \"quoted\" \\ value");
    ASSERT_TRUE(RegQueryValue("Path", &type, &text, nullptr));
    EXPECT_EQ(type, RegType::String);
    EXPECT_EQ(text, "two\nlines");
}
