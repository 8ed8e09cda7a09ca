// Sign-in, sessions, space, properties: the account endpoints.
#include <gtest/gtest.h>

#include "harness.h"

using namespace emutest;

namespace {

Answer Dir(const Emulator& emu, const std::string& token, const std::string& id = "0") {
    return emu.Post("/osvr/dir/", {{"token", token}, {"fileId", id}});
}

}  // namespace

TEST(EmulatorAccounts, LoginAnswersIdTokenAndNickOrRefusesWrongPassword) {
    Emulator emu({"--user", "alice:secret"});
    Answer ok = emu.Post(
        "/osvr/login/",
        {{"user", "alice"}, {"password", "secret"}, {"deviceId", "d"}, {"clientName", "c"}, {"clientVersion", "1"}});
    EXPECT_EQ(ok.result, "ok");
    EXPECT_FALSE(ok["userId"].empty());
    EXPECT_EQ(ok["token"].size(), 32u);
    EXPECT_EQ(ok["nickName"], "alice");
    EXPECT_EQ(emu.Post("/osvr/login/", {{"user", "alice"}, {"password", "wrong"}}).result, "accountNotMatch");
    EXPECT_EQ(emu.Post("/osvr/login/", {{"user", "nobody"}, {"password", "x"}}).result, "accountNotMatch");
    // Only the given accounts exist when some are given.
    EXPECT_EQ(emu.Login("demo", "demo"), "");
}

TEST(EmulatorAccounts, DefaultAccountIsDemo) {
    Emulator emu;
    EXPECT_FALSE(emu.Login("demo", "demo").empty());
}

TEST(EmulatorAccounts, TokensExpireAndReLoginRenewsThem) {
    Emulator emu({"--token-ttl", "60"});
    std::string token = emu.Login();
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(Dir(emu, token).result, "ok");
    emu.AdvanceClock(61);
    EXPECT_EQ(Dir(emu, token).result, "clientTokenExpired");
    EXPECT_EQ(emu.Post("/osvr/getSpace/", {{"token", token}}).result, "clientTokenExpired");

    Answer renewed = emu.Post("/osvr/reLogin/", {{"token", token}, {"deviceId", "dev"}});
    ASSERT_EQ(renewed.result, "ok");
    ASSERT_FALSE(renewed["token"].empty());
    EXPECT_NE(renewed["token"], token);
    EXPECT_EQ(Dir(emu, renewed["token"]).result, "ok");
    // The renewed token replaces the old one.
    EXPECT_EQ(Dir(emu, token).result, "clientNoLogin");
    EXPECT_EQ(emu.Post("/osvr/reLogin/", {{"token", "0123"}, {"deviceId", "dev"}}).result, "clientNoLogin");
    EXPECT_EQ(emu.Post("/osvr/reLogin/", {{"deviceId", "dev"}}).result, "clientNoLogin");
    EXPECT_EQ(Dir(emu, "").result, "clientNoLogin");
}

TEST(EmulatorAccounts, ForkTokenGivesASecondSession) {
    Emulator emu;
    std::string token = emu.Login();
    Answer fork = emu.Post("/osvr/forkToken/", {{"token", token}, {"deviceId", "d2"}, {"clientName", "other"}});
    ASSERT_EQ(fork.result, "ok");
    EXPECT_NE(fork["token"], token);
    EXPECT_EQ(Dir(emu, fork["token"]).result, "ok");
    EXPECT_EQ(Dir(emu, token).result, "ok");
    EXPECT_EQ(emu.Post("/osvr/forkToken/", {{"token", "bad"}}).result, "clientNoLogin");
}

TEST(EmulatorAccounts, SpaceInBothFormsCountsUploadedBytes) {
    Emulator emu({"--quota", "5"});
    std::string token = emu.Login();
    Answer xml = emu.Post("/osvr/getSpace/?isent=1", {{"token", token}});
    ASSERT_EQ(xml.result, "ok");
    EXPECT_EQ(xml["used"], "0");
    EXPECT_EQ(xml["total"], std::to_string(5 * 1024 * 1024));
    ASSERT_EQ(Upload(emu, token, "0", "a.bin", Content(1000, 1)).failure, "");
    Answer form = emu.PostRaw("/kmg/usertask/getuserspace/", "token=" + token + "&uid=1&email=a@b.c");
    EXPECT_EQ(form.result, "ok");
    EXPECT_EQ(form["used"], "1000");
    EXPECT_EQ(emu.PostRaw("/kmg/usertask/getuserspace/", "token=nope&uid=1&email=").result, "clientNoLogin");
}

TEST(EmulatorAccounts, PropertiesAndMaxVersions) {
    Emulator emu({"--max-versions", "3"});
    std::string token = emu.Login();
    EXPECT_EQ(emu.Post("/osvr/getProp/", {{"token", token}, {"key", "theme"}}).result, "targetNotExist");
    EXPECT_EQ(emu.Post("/osvr/setProp/", {{"token", token}, {"key", "theme"}, {"value", "dark"}}).result, "ok");
    EXPECT_EQ(emu.Post("/osvr/setProp/", {{"token", token}, {"key", "theme"}, {"value", "light"}}).result, "ok");
    Answer got = emu.Post("/osvr/getProp/", {{"token", token}, {"key", "theme"}});
    EXPECT_EQ(got.result, "ok");
    EXPECT_EQ(got["value"], "light");
    EXPECT_EQ(emu.Post("/osvr/setProp/", {{"token", token}, {"key", ""}, {"value", "x"}}).result, "clientBadParams");
    Answer vers = emu.Post("/osvr/getMaxVers/", {{"token", token}});
    EXPECT_EQ(vers.result, "ok");
    EXPECT_EQ(vers["maxFileVers"], "3");
    EXPECT_FALSE(vers["opVer"].empty());
}

TEST(EmulatorAccounts, TelephoneSignInTakesTheValueHandedOut) {
    Emulator emu;
    Answer value = emu.Post("/osvr/getUDBLoginRequestValue/", {{"clientType", "pc"}, {"returnURL", "http://x/"}});
    ASSERT_EQ(value.result, "ok");
    Answer login = emu.Post("/osvr/lazyTeleudbLogin/", {{"plrValue", value["value"]},
                                                        {"clientType", "pc"},
                                                        {"deviceId", "d"},
                                                        {"clientName", "c"},
                                                        {"clientVersion", "1"}});
    EXPECT_EQ(login.result, "ok");
    EXPECT_FALSE(login["token"].empty());
    EXPECT_EQ(emu.Post("/osvr/lazyTeleudbLogin/", {{"plrValue", "forged"}}).result, "accountNotMatch");
}
