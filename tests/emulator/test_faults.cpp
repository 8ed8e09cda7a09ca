// Every fault-injection effect, and the rule bookkeeping.
#include <gtest/gtest.h>

#include <chrono>

#include "harness.h"

using namespace emutest;

namespace {

class EmulatorFaults : public ::testing::Test {
protected:
    Emulator emu;
    std::string token = emu.Login();
    Answer Dir() const { return emu.Post("/osvr/dir/", {{"token", token}, {"fileId", "0"}}); }
};

}  // namespace

TEST_F(EmulatorFaults, StatusEffectAnswersThatStatusOnce) {
    emu.AddFault(R"({"path":"/osvr/dir/","status":"503"})");
    Answer hit = Dir();
    EXPECT_EQ(hit.status, 503);
    EXPECT_EQ(hit.result, "serverError");
    EXPECT_EQ(Dir().status, 200);
    EXPECT_EQ(Dir().result, "ok");
}

TEST_F(EmulatorFaults, ResultEffectInXmlAndJsonAnswers) {
    emu.AddFault(R"({"rules":[{"path":"/osvr/getSpace/","result":"serverBusy","times":2},
                            {"path":"uploadMetadata","result":"clientTooFrequent"}]})");
    EXPECT_EQ(emu.Post("/osvr/getSpace/", {{"token", token}}).result, "serverBusy");
    EXPECT_EQ(emu.Post("/osvr/getSpace/", {{"token", token}}).result, "serverBusy");
    EXPECT_EQ(emu.Post("/osvr/getSpace/", {{"token", token}}).result, "ok");
    EXPECT_EQ(Upload(emu, token, "0", "f", "x").failure, "uploadMetadata:clientTooFrequent");
    EXPECT_EQ(Upload(emu, token, "0", "f", "x").failure, "");
}

TEST_F(EmulatorFaults, DelayEffectAnswersLate) {
    emu.AddFault(R"({"path":"/osvr/dir/","delayMs":300})");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Dir().result, "ok");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    start = std::chrono::steady_clock::now();
    Dir();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(EmulatorFaults, DropEffectClosesTheConnectionMidAnswer) {
    emu.AddFault(R"({"path":"/osvr/dir/","drop":true})");
    auto res = emu.Client()->Post("/osvr/dir/", "<Orvel><token>" + token + "</token><fileId>0</fileId></Orvel>",
                                  "application/x-www-form-urlencoded");
    EXPECT_FALSE(res);
    EXPECT_EQ(Dir().result, "ok");
    // Also in the middle of a block upload, whose body is then never read.
    emu.AddFault(R"({"path":"uploadBlock","drop":true})");
    std::string content = Content(100000, 4);
    EXPECT_EQ(Upload(emu, token, "0", "f", content).failure, "uploadBlock:transport");
    UploadOutcome retry = Upload(emu, token, "0", "f", content);
    EXPECT_EQ(retry.failure, "");
    EXPECT_EQ(retry.blocksSent, 1);
}

TEST_F(EmulatorFaults, CorruptEffectOnBlockDownloadAndUpload) {
    std::string content = Content(3000, 2);
    UploadOutcome up = Upload(emu, token, "0", "f", content);
    ASSERT_EQ(up.failure, "");
    emu.AddFault(R"({"path":"downloadBlock2","corrupt":"true"})");
    EXPECT_EQ(Download(emu, token, up.commit["fileId"]).failure, "sha1:1");
    EXPECT_TRUE(Download(emu, token, up.commit["fileId"]).content == content);

    emu.AddFault(R"({"path":"uploadBlock","corrupt":1})");
    EXPECT_EQ(Upload(emu, token, "0", "g", Content(3000, 3)).failure, "uploadBlock:uploadError");
    EXPECT_EQ(Upload(emu, token, "0", "g", Content(3000, 3)).failure, "");
}

TEST_F(EmulatorFaults, UnlimitedRulesLastUntilCleared) {
    emu.AddFault(R"({"path":"","status":500,"times":0})");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Dir().status, 500);
    emu.ClearFaults();  // control paths are never affected
    EXPECT_EQ(Dir().status, 200);
}

TEST_F(EmulatorFaults, MalformedRulesAreRefused) {
    auto post = [&](const std::string& body) {
        auto res = emu.Client()->Post("/_emulator/faults", body, "application/json");
        return res ? res->status : 0;
    };
    EXPECT_EQ(post(R"({"status":500})"), 400);
    EXPECT_EQ(post(R"({"path":"x","status":500,"drop":true})"), 400);
    EXPECT_EQ(post(R"({"path":"x","status":99})"), 400);
    EXPECT_EQ(post(R"({"path":"x"})"), 400);
    EXPECT_EQ(post("not json"), 400);
    EXPECT_EQ(post(R"({"rules":{}})"), 400);
    EXPECT_EQ(Dir().result, "ok");
}

TEST_F(EmulatorFaults, ActiveRulesAreListed) {
    auto client = emu.Client();
    auto empty = client->Get("/_emulator/faults");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->body, R"({"result":"ok","rules":[]})");
    emu.AddFault(R"({"rules":[{"path":"/osvr/dir/","status":"503","times":2},
                            {"path":"blk","drop":true,"times":0},{"path":"x","result":"serverBusy"}]})");
    Dir();  // uses up one of the first rule's two times
    auto listed = client->Get("/_emulator/faults");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->status, 200);
    EXPECT_EQ(nlohmann::json::parse(listed->body),
              nlohmann::json::parse(R"({"result":"ok","rules":[{"path":"/osvr/dir/","times":1,"status":503},
                                     {"path":"blk","times":0,"drop":true},
                                     {"path":"x","times":1,"result":"serverBusy"}]})"));
    ASSERT_TRUE(client->Delete("/_emulator/faults"));
    EXPECT_EQ(client->Get("/_emulator/faults")->body, R"({"result":"ok","rules":[]})");
}
