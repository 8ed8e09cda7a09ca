#include "common/settings.h"
#include "common_fixture.h"

namespace {
class SettingsTest : public CommonTest {
protected:
    std::string ini = dir.File("settings.ini");
    std::string reg = dir.File("tavik.reg");
    ScopedEnv settingsEnv{"ORVEL_SETTINGS_FILE", ini};
    ScopedEnv registryEnv{"ORVEL_REGISTRY_FILE", reg};
    ScopedEnv proxyLower{"http_proxy", std::nullopt};
    ScopedEnv proxyUpper{"HTTP_PROXY", std::nullopt};

    void Registry(const std::string& body) {
        WriteFileBytes(reg,
                       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavik]\r\n" + body);
    }
};
}  // namespace

TEST_F(SettingsTest, SettingStringsAndDefaults) {
    EXPECT_EQ(SettingsFilePath(), ini);
    EXPECT_EQ(ReadSettingString("Tavik", "ServerRoot", "api.default"), "api.default");  // no file yet
    WriteFileBytes(ini, "[Tavik]\nServerRoot=api.test:8080\n[TavikShell]\nWebServerRoot=web.test\n");
    EXPECT_EQ(ReadSettingString("Tavik", "ServerRoot", "api.default"), "api.test:8080");
    EXPECT_EQ(ReadSettingString("TavikShell", "WebServerRoot", ""), "web.test");
    ScopedEnv none("ORVEL_SETTINGS_FILE", std::nullopt);
    EXPECT_EQ(SettingsFilePath(), "");
    EXPECT_EQ(ReadSettingString("Tavik", "ServerRoot", "api.default"), "api.default");
}

TEST_F(SettingsTest, ReadSettingIntTwoSteps) {
    EXPECT_EQ(ReadSettingInt("UploadSpeed"), 1048576);
    WriteFileBytes(ini, "[Debug]\nUploadSpeed=-1\nDownloadSpeed=500\n[Tavik]\nUploadSpeed=2000\nDownloadSpeed=9\n");
    EXPECT_EQ(ReadSettingInt("UploadSpeed"), 2000);  // -1 in Debug falls through
    EXPECT_EQ(ReadSettingInt("DownloadSpeed"), 500);
    WriteFileBytes(ini, "[Debug]\nUploadSpeed=\n[Tavik]\nUploadSpeed=12abc\nDownloadSpeed=0\n");
    EXPECT_EQ(ReadSettingInt("UploadSpeed"), 12);
    EXPECT_EQ(ReadSettingInt("DownloadSpeed"), 0);
    EXPECT_EQ(ParseDecimalInt32("  +77"), 77);
    EXPECT_EQ(ParseDecimalInt32("abc"), 0);
    EXPECT_EQ(ParseDecimalInt32("99999999999"), INT32_MAX);
    EXPECT_EQ(ParseDecimalInt32("-99999999999"), INT32_MIN);
}

TEST_F(SettingsTest, RegistryReadersAcceptOnlyTheirTypes) {
    Registry(
        "\"UserId\"=\"u1\"\r\n"
        "\"ConfigPath\"=hex(2):2f,00,63,00,00,00\r\n"
        "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
        "\"isent\"=dword:00000001\r\n"
        "\"Long\"=\"" +
        std::string(4096, 'x') + "\"\r\n");
    EXPECT_EQ(ReadRegistryString("UserId", true), "u1");
    EXPECT_EQ(ReadRegistryString("ConfigPath", true), "/c");
    EXPECT_EQ(ReadRegistryDword("isent", 0, true), 1u);
    EXPECT_FALSE(Logged("Register"));

    orvel::logtest::SetThreshold(9);
    EXPECT_EQ(ReadRegistryString("Multi", true), "");
    EXPECT_EQ(ReadRegistryString("isent", false), "");
    EXPECT_EQ(ReadRegistryString("Long", false), "");  // beyond 4095 characters
    EXPECT_EQ(ReadRegistryDword("UserId", 7, true), 7u);
    EXPECT_TRUE(Logged("Get Register Key/Value HKEY_CURRENT_USER\\Software\\Tavik\\Multi Failed!"));
    EXPECT_TRUE(Logged("Get Register Key/Value HKEY_CURRENT_USER\\Software\\Tavik\\UserId Failed!"));
    EXPECT_FALSE(Logged("Tavik\\isent Failed"));  // no logging asked for
    EXPECT_TRUE(Logged("\tT \tsdkrd.log"));

    EXPECT_EQ(ReadRegistryString("", false), "");
    EXPECT_TRUE(Logged("*ASSERT*: !IsStrEmpty(szKey)"));
}

TEST_F(SettingsTest, MissingOrMalformedRegistryGivesDefaults) {
    orvel::logtest::SetThreshold(9);
    EXPECT_EQ(ReadRegistryDword("isent", 0, true), 0u);
    EXPECT_TRUE(Logged("Open Register HKEY_CURRENT_USER\\Software\\Tavik Failed!"));
    WriteFileBytes(reg, "this is not a registry file\n[HKEY_CURRENT_USER\\Software\\Tavik]\n\"isent\"=dword:1\n");
    EXPECT_EQ(ReadRegistryDword("isent", 5, false), 5u);
    WriteFileBytes(reg, std::string(1000, '\0'));
    EXPECT_EQ(ReadRegistryString("UserId", false), "");
}

TEST_F(SettingsTest, ProxySettings) {
    std::string ip = "x", port = "x", user = "x", password = "x";
    uint32_t type = 0;
    ReadProxySettings(ip, port, user, password, type);
    EXPECT_EQ(ip, "");
    EXPECT_EQ(type, static_cast<uint32_t>(-1));
    Registry(
        "\"ProxyServerIP\"=\"10.1.1.1\"\r\n\"ProxyServerPort\"=\"3128\"\r\n\"ProxyServerUserName\"=\"me\"\r\n"
        "\"ProxyServerPassword\"=\"pw\"\r\n\"ProxyServerType\"=dword:00000004\r\n");
    ReadProxySettings(ip, port, user, password, type);
    EXPECT_EQ(ip, "10.1.1.1");
    EXPECT_EQ(port, "3128");
    EXPECT_EQ(user, "me");
    EXPECT_EQ(password, "pw");
    EXPECT_EQ(type, 4u);
}

TEST_F(SettingsTest, SystemProxyFromEnvironment) {
    bool enabled = true;
    std::string host = "h", port = "p";
    EXPECT_EQ(GetSystemProxy(enabled, host, port), S_OK);
    EXPECT_FALSE(enabled);
    {
        ScopedEnv p("http_proxy", "http://proxy.local:3128/");
        EXPECT_EQ(GetSystemProxy(enabled, host, port), S_OK);
        EXPECT_TRUE(enabled);
        EXPECT_EQ(host, "proxy.local");
        EXPECT_EQ(port, "3128");
    }
    {
        ScopedEnv p("HTTP_PROXY", "proxy2");
        EXPECT_EQ(GetSystemProxy(enabled, host, port), S_OK);
        EXPECT_EQ(host, "proxy2");
        EXPECT_EQ(port, "80");
    }
    {
        ScopedEnv p("http_proxy", "http://user:secret@[::1]:8080");
        EXPECT_EQ(GetSystemProxy(enabled, host, port), S_OK);
        EXPECT_EQ(host, "[::1]");
        EXPECT_EQ(port, "8080");
    }
    {
        orvel::logtest::SetThreshold(5);
        ScopedEnv p("http_proxy", "http://:99/");
        EXPECT_EQ(GetSystemProxy(enabled, host, port), E_FAIL);
        EXPECT_FALSE(enabled);
        EXPECT_TRUE(Logged("ERROR_CHECK_BOOLEX:vecIpPort.size() > 0"));
    }
}
