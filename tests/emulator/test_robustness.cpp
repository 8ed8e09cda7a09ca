// Hostile and broken input, persistence, concurrency, shutdown and the
// auxiliary hosts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "harness.h"

using namespace emutest;
namespace fs = std::filesystem;

namespace {

// Sends raw bytes and closes without waiting for an answer.
void SendAndClose(int port, const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        (void)n;
    }
    close(fd);
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    return out;
}

}  // namespace

TEST(EmulatorRobustness, MalformedBodiesGetCleanErrors) {
    Emulator emu;
    std::string token = emu.Login();
    EXPECT_EQ(emu.PostRaw("/osvr/dir/", "not xml at all").result, "clientBadParams");
    EXPECT_EQ(emu.PostRaw("/osvr/dir/", "<Orvel><token>" + token + "</token>").result, "clientBadParams");
    EXPECT_EQ(emu.PostRaw("/osvr/dir/", "<Other><token>" + token + "</token></Other>").result, "clientBadParams");
    EXPECT_EQ(emu.PostRaw("/osvr/login/", "").result, "clientBadParams");
    EXPECT_EQ(emu.PostJson("/blk1/uploadMetadata", "{\"stub\":")["result"], "clientBadParams");
    EXPECT_EQ(emu.PostJson("/blk1/uploadMetadata", "[1,2]")["result"], "clientBadParams");
    EXPECT_EQ(emu.PostJson("/blk1/uploadMetadata", std::string(100000, '[') + std::string(100000, ']'))["result"],
              "clientBadParams");
    EXPECT_EQ(emu.PostJson("/blk1/downloadMetadata2", "{\"stub\":7}")["result"], "clientBadParams");
    int status = 0;
    emu.PostJson("/blk1/downloadBlock2", "{\"stub\":\"x\",\"id\":\"../../emulator.db\"}", &status);
    EXPECT_EQ(status, 404);
    auto res =
        emu.Client()->Post("/blk1/uploadBlock?stub=x&sha1=zz&size=-1&index=1", "abc", "application/octet-stream");
    ASSERT_TRUE(res);
    EXPECT_EQ(nlohmann::json::parse(res->body)["result"], "clientBadParams");
    EXPECT_EQ(emu.Post("/osvr/dir/", {{"token", token}, {"fileId", "0"}}).result, "ok");
}

TEST(EmulatorRobustness, UnknownPathsAnswerClientNoMethod) {
    Emulator emu;
    auto get = emu.Client()->Get("/osvr/nothing/");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 404);
    EXPECT_NE(get->body.find("clientNoMethod"), std::string::npos);
    Answer post = emu.PostRaw("/blk9/uploadBlock", "x");
    EXPECT_EQ(post.status, 404);
    EXPECT_EQ(post.result, "clientNoMethod");
}

TEST(EmulatorRobustness, HostileNamesAreRefusedAndNothingLeavesTheDataFolder) {
    TempDir outer;
    std::string data = outer.Path() + "/data";
    Emulator emu({"--data", data});
    std::string token = emu.Login();
    auto folder = [&](const std::string& name) {
        return emu.Post("/osvr/newFolder/", {{"token", token}, {"parentId", "0"}, {"name", name}}).result;
    };
    EXPECT_EQ(folder("../escape"), "unsupportedCharRange");
    EXPECT_EQ(folder(".."), "unsupportedCharRange");
    EXPECT_EQ(folder("a\\b"), "unsupportedCharRange");
    EXPECT_EQ(folder(std::string(10000, 'n')), "fnameTooLong");
    EXPECT_EQ(folder(""), "clientBadParams");
    EXPECT_EQ(emu.PostRaw("/osvr/newFolder/",
                          "<Orvel><token>" + token + "</token><parentId>0</parentId><name>a&#1;b</name></Orvel>")
                  .result,
              "unsupportedCharRange");
    std::string withNul = "<Orvel><token>" + token + "</token><parentId>0</parentId><name>a";
    withNul += '\0';
    withNul += "b</name></Orvel>";
    std::string nulResult = emu.PostRaw("/osvr/newFolder/", withNul).result;
    EXPECT_TRUE(nulResult == "clientBadParams" || nulResult == "unsupportedCharRange") << nulResult;
    EXPECT_EQ(folder("Zürich – 文件"), "ok");
    EXPECT_EQ(Upload(emu, token, "0", "../../x.txt", "x").failure, "requestUpload:unsupportedCharRange");
    EXPECT_EQ(Upload(emu, token, "0", std::string(10000, 'f'), "x").failure, "requestUpload:fnameTooLong");
    auto listing = emu.Post("/osvr/dir/", {{"token", token}, {"fileId", "0"}});
    ASSERT_EQ(listing.children.size(), 1u);
    EXPECT_EQ(listing.children[0].at("name"), "Zürich – 文件");
    EXPECT_EQ(Entries(outer.Path()), std::vector<std::string>{"data"});
}

TEST(EmulatorRobustness, OversizedAndTruncatedBodiesLeaveItServing) {
    TempDir data;
    Emulator emu({"--data", data.Path()});
    std::string token = emu.Login();
    Answer big = emu.PostRaw("/osvr/dir/", "<Orvel><token>" + std::string(5 * 1024 * 1024, 'x') + "</token></Orvel>");
    EXPECT_EQ(big.status, 413);
    SendAndClose(emu.port(), "POST /osvr/login/ HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n<Orvel><user>");
    Answer req = emu.Post("/osvr/requestUpload/", {{"token", token},
                                                   {"fileVer", "0"},
                                                   {"size", "3"},
                                                   {"fileId", "0"},
                                                   {"sha1", Sha1Hex("abc")},
                                                   {"parentId", "0"},
                                                   {"name", "t"}});
    std::string id = BlockId("abc");
    emu.PostJson("/blk1/uploadMetadata", "{\"stub\":\"" + req["stub"] + "\",\"metas\":[{\"index\":1,\"md5\":\"" +
                                             Md5Hex("abc") + "\",\"blockId\":\"" + id + "\"}]}");
    SendAndClose(emu.port(), "POST /blk1/uploadBlock?stub=" + req["stub"] + "&sha1=" + Sha1Hex("x") +
                                 "&size=100000&index=1 HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\nBMF0");
    UploadOutcome up = Upload(emu, token, "0", "t", "abc");
    EXPECT_EQ(up.failure, "");
    EXPECT_EQ(Download(emu, token, up.commit["fileId"]).content, "abc");
    EXPECT_TRUE(fs::is_empty(fs::path(data.Path()) / "tmp"));  // the cut-off body was not kept
}

TEST(EmulatorRobustness, StatePersistsAcrossARestartWithData) {
    TempDir data;
    std::string content = Content(kBlock + 77, 21);
    std::string token, fileId;
    {
        Emulator first({"--data", data.Path()});
        token = first.Login();
        ASSERT_EQ(first.Post("/osvr/newFolder/", {{"token", token}, {"parentId", "0"}, {"name", "kept"}}).result, "ok");
        UploadOutcome up = Upload(first, token, "0", "kept.bin", content);
        ASSERT_EQ(up.failure, "");
        fileId = up.commit["fileId"];
        EXPECT_EQ(first.Stop(), 0);
    }
    Emulator second({"--data", data.Path()});
    // Sessions survive too.
    EXPECT_EQ(second.Post("/osvr/dir/", {{"token", token}, {"fileId", "0"}}).children.size(), 2u);
    EXPECT_TRUE(Download(second, second.Login(), fileId).content == content);
    EXPECT_EQ(Upload(second, token, "0", "again.bin", content).blocksSkipped, 2);
}

TEST(EmulatorRobustness, ConcurrentClientsEachGetTheirOwnResults) {
    Emulator emu;
    constexpr int kClients = 8;
    std::vector<std::string> failures(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            std::string token = emu.Login();
            std::string name = "client" + std::to_string(i);
            if (emu.Post("/osvr/newFolder/", {{"token", token}, {"parentId", "0"}, {"name", name}}).result != "ok")
                failures[i] = "newFolder";
            std::string content = Content(200000 + static_cast<size_t>(i), static_cast<uint32_t>(i));
            UploadOutcome up = Upload(emu, token, "0", name + ".bin", content);
            if (!up.failure.empty())
                failures[i] = up.failure;
            else if (Download(emu, token, up.commit["fileId"]).content != content)
                failures[i] = "content";
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& f : failures) EXPECT_EQ(f, "");
    std::string token = emu.Login();
    EXPECT_EQ(emu.Post("/osvr/dir/", {{"token", token}, {"fileId", "0"}}).children.size(), 2u * kClients);
}

TEST(EmulatorRobustness, AuxiliaryHostsAndGzip) {
    Emulator emu;
    std::string token = emu.Login();
    auto cli = emu.Client();
    auto rate = cli->Post("/tavik/getrate.do", "uname=demo&uid=1&ver=1&hwid=x", "application/x-www-form-urlencoded");
    ASSERT_TRUE(rate);
    EXPECT_EQ(rate->body, "rate=0");
    auto probe = cli->Get("/osvr/");
    ASSERT_TRUE(probe);
    EXPECT_NE(probe->body.find("result=\"methodVersionNotMatch\""), std::string::npos);
    auto limits = cli->Get("/getcinfo?uid=1");
    ASSERT_TRUE(limits);
    EXPECT_NE(limits->body.find("<uploadLimit>0</uploadLimit>"), std::string::npos);
    auto push = cli->Get("/sync/get?uid=1");
    ASSERT_TRUE(push);
    EXPECT_NE(push->body.find("result=\"ok\""), std::string::npos);
    EXPECT_EQ(emu.PostRaw("/cmd/report", "anything").result, "ok");
    // Command files: the client appends its query to the URL it is given, with or without "?".
    EXPECT_EQ(emu.PostRaw("/cmdfile/?type=cmd&un=demo", "file bytes")["received"], "10");
    EXPECT_EQ(emu.PostRaw("/cmdfile/type=cmd&un=demo", "file bytes")["received"], "10");
    auto notFound = cli->Get("/cmdfile/?fileId=notFound&user=demo");
    ASSERT_TRUE(notFound);
    EXPECT_NE(notFound->body.find("result=\"ok\""), std::string::npos);
    EXPECT_EQ(emu.PostRaw("/kmg/space/getchannel/", "token=" + token + "&email=a@b").result, "ok");
    EXPECT_EQ(emu.PostRaw("/kmg/msg/getmsg/", "userid=1&email=a@b&version=3")["version"], "3");

    httplib::Client raw("127.0.0.1", emu.port());
    raw.set_decompress(false);
    std::string body = "<Orvel><token>" + token + "</token><opVer>0</opVer><size>10</size></Orvel>";
    auto zipped = raw.Post("/osvr/syncFile/", {{"Accept-Encoding", "gzip"}}, body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(zipped);
    EXPECT_EQ(zipped->get_header_value("Content-Encoding"), "gzip");
    auto plain = raw.Post("/osvr/syncFile/", body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->get_header_value("Content-Encoding"), "");
}

TEST(EmulatorRobustness, StopsCleanlyRightAfterTheReadyLine) {
    for (int i = 0; i < 5; ++i) {
        Emulator emu;
        EXPECT_EQ(emu.Stop(), 0);
    }
}

TEST(EmulatorRobustness, RefusesBadOptionsAndABusyPort) {
    EXPECT_THROW(Emulator({"--bogus", "1"}), std::runtime_error);
    EXPECT_THROW(Emulator({"--block-servers", "9"}), std::runtime_error);
    EXPECT_THROW(Emulator({"--user", "nopassword"}), std::runtime_error);
    Emulator first;
    EXPECT_THROW(Emulator({"--listen", "127.0.0.1:" + std::to_string(first.port())}), std::runtime_error);
    EXPECT_FALSE(first.Login().empty());
}

TEST(EmulatorRobustness, ScratchStateIsRemovedOnShutdown) {
    TempDir tmp;
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", tmp.Path().c_str(), 1);  // the child keeps its scratch state here
    Emulator emu;
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_FALSE(emu.Login().empty());
    // The log lock of the library's logger (used by the block codec) may sit there too,
    // in the user's private lock folder.
    const std::string lockFolder = "orvel-" + std::to_string(::geteuid());
    auto state = [&] {
        std::vector<std::string> out;
        for (const auto& e : Entries(tmp.Path()))
            if ((e.size() < 5 || e.compare(e.size() - 5, 5, ".lock") != 0) && e != lockFolder) out.push_back(e);
        return out;
    };
    ASSERT_EQ(state().size(), 1u);
    EXPECT_EQ(state()[0].rfind("orvel-emulator-", 0), 0u);
    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_TRUE(state().empty());
}
