// The block protocol end to end: upload, deduplication, resumption,
// versions, conflicts, several block servers, the checks on block bodies.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"

using namespace emutest;

namespace {

std::string FirstId(const Emulator& emu, const std::string& token) {
    return emu.Post("/osvr/dir/", {{"token", token}, {"fileId", "0"}}).children.at(0).at("fileId");
}

size_t CountBlockFiles(const std::string& data) {
    size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(std::filesystem::path(data) / "blocks"))
        if (e.is_regular_file()) ++n;
    return n;
}

}  // namespace

TEST(EmulatorTransfer, UploadAndDownloadAMultiBlockFile) {
    Emulator emu;
    std::string token = emu.Login();
    std::string content = Content(kBlock + 1000, 7);
    UploadOutcome up = Upload(emu, token, "0", "big.bin", content);
    ASSERT_EQ(up.failure, "");
    EXPECT_EQ(up.blocksSent, 2);
    EXPECT_EQ(up.commit["fileVer"], "1");
    Answer info = emu.Post("/osvr/getItemInfo/", {{"token", token}, {"fileId", up.commit["fileId"]}});
    EXPECT_EQ(info["size"], std::to_string(content.size()));
    EXPECT_EQ(info["sha1"], Sha1Hex(content));
    DownloadOutcome down = Download(emu, token, up.commit["fileId"]);
    ASSERT_EQ(down.failure, "");
    EXPECT_TRUE(down.content == content);
    EXPECT_EQ(down.request["fileVer"], "1");
    EXPECT_EQ(down.request["sha1"], Sha1Hex(content));
    EXPECT_EQ(down.request["modTime"], "2026-12-07 10:00:00");
    EXPECT_FALSE(down.request["opVer"].empty());
}

TEST(EmulatorTransfer, EmptyFileIsOneEmptyBlock) {
    Emulator emu;
    std::string token = emu.Login();
    UploadOutcome up = Upload(emu, token, "0", "empty", "");
    ASSERT_EQ(up.failure, "");
    DownloadOutcome down = Download(emu, token, up.commit["fileId"]);
    ASSERT_EQ(down.failure, "");
    EXPECT_EQ(down.content, "");
}

TEST(EmulatorTransfer, BlocksAreStoredOncePerIdentifierAcrossFilesAndUsers) {
    TempDir data;
    Emulator emu({"--data", data.Path(), "--user", "demo:demo", "--user", "eve:eve"});
    std::string token = emu.Login();
    std::string content = Content(kBlock + 10, 3);
    ASSERT_EQ(Upload(emu, token, "0", "one", content).failure, "");
    UploadOutcome again = Upload(emu, token, "0", "two", content);
    ASSERT_EQ(again.failure, "");
    EXPECT_EQ(again.blocksSent, 0);
    EXPECT_EQ(again.blocksSkipped, 2);
    UploadOutcome eve = Upload(emu, emu.Login("eve", "eve"), "0", "copy", content);
    EXPECT_EQ(eve.blocksSkipped, 2);
    EXPECT_EQ(CountBlockFiles(data.Path()), 2u);
    EXPECT_TRUE(Download(emu, emu.Login("eve", "eve"), eve.commit["fileId"]).content == content);
}

TEST(EmulatorTransfer, InterruptedUploadResumesWithTheMissingBlocks) {
    Emulator emu;
    std::string token = emu.Login();
    std::string content = Content(2 * kBlock + 5, 11);
    UploadOutcome first = Upload(emu, token, "0", "f", content, "0", "0", 1);
    EXPECT_EQ(first.blocksSent, 1);
    // Not committed: the file does not exist yet.
    EXPECT_TRUE(emu.Post("/osvr/dir/", {{"token", token}, {"fileId", "0"}}).children.empty());
    UploadOutcome retry = Upload(emu, token, "0", "f", content);
    ASSERT_EQ(retry.failure, "");
    EXPECT_EQ(retry.blocksSkipped, 1);
    EXPECT_EQ(retry.blocksSent, 2);
    EXPECT_TRUE(Download(emu, token, retry.commit["fileId"]).content == content);
}

TEST(EmulatorTransfer, NewVersionsConflictsAndPreviousVersion) {
    Emulator emu;
    std::string token = emu.Login();
    UploadOutcome v1 = Upload(emu, token, "0", "doc.txt", "version one");
    ASSERT_EQ(v1.failure, "");
    std::string id = v1.commit["fileId"];
    UploadOutcome v2 = Upload(emu, token, "0", "doc.txt", "version two", id, "1");
    ASSERT_EQ(v2.failure, "");
    EXPECT_EQ(v2.commit["fileId"], id);
    EXPECT_EQ(v2.commit["fileVer"], "2");
    EXPECT_EQ(Download(emu, token, id).content, "version two");
    EXPECT_EQ(Download(emu, token, id, true).content, "version one");
    EXPECT_EQ(Download(emu, token, id, true).request["fileVer"], "1");
    // A stale base version is refused, with the current one in the answer.
    UploadOutcome stale = Upload(emu, token, "0", "doc.txt", "version three", id, "1");
    EXPECT_EQ(stale.failure, "requestUpload:fileVerConflict");
    EXPECT_EQ(stale.commit["fileVer"], "2");
    // A new file under a taken name: targetExist with the existing id.
    UploadOutcome taken = Upload(emu, token, "0", "doc.txt", "other");
    EXPECT_EQ(taken.failure, "commit:targetExist");
    EXPECT_EQ(taken.commit["fileId"], id);
    UploadOutcome first = Upload(emu, token, "0", "new.txt", "only");
    EXPECT_EQ(Download(emu, token, first.commit["fileId"], true).failure, "requestDownload:targetNotExist");
}

TEST(EmulatorTransfer, TwoUpdatesFromTheSameBaseCommitOnlyOnce) {
    Emulator emu;
    std::string token = emu.Login();
    std::string id = Upload(emu, token, "0", "x", "base").commit["fileId"];
    UploadOutcome a = Upload(emu, token, "0", "x", "from a", id, "1", 1);  // all blocks sent, not committed
    ASSERT_EQ(a.blocksSent, 1);
    ASSERT_EQ(Upload(emu, token, "0", "x", "from b", id, "1").failure, "");
    Answer late = emu.Post("/osvr/commit/", {{"token", token}, {"stub", a.stub}, {"modTime", "2026-01-01 00:00:00"}});
    EXPECT_EQ(late.result, "fileVerConflict");
    EXPECT_EQ(late["fileVer"], "2");
    EXPECT_EQ(Download(emu, token, id).content, "from b");
}

TEST(EmulatorTransfer, QuotaIsEnforced) {
    Emulator emu({"--quota", "1"});
    std::string token = emu.Login();
    EXPECT_EQ(Upload(emu, token, "0", "big", Content(2 * 1024 * 1024, 1)).failure, "requestUpload:overSpace");
    EXPECT_EQ(Upload(emu, token, "0", "small", Content(1024, 1)).failure, "");
}

TEST(EmulatorTransfer, FilesAbove4GiBAreAnnouncedWith64BitSizes) {
    Emulator emu;
    std::string token = emu.Login();
    const std::string size = std::to_string((int64_t(5) << 30) + 7);
    Answer req = emu.Post("/osvr/requestUpload/", {{"token", token},
                                                   {"fileVer", "0"},
                                                   {"size", size},
                                                   {"fileId", "0"},
                                                   {"sha1", Sha1Hex("x")},
                                                   {"parentId", "0"},
                                                   {"name", "huge.bin"}});
    EXPECT_EQ(req.result, "ok");
    EXPECT_FALSE(req["stub"].empty());
    // The metadata must then describe 1281 blocks adding up to that size.
    std::string meta = "{\"stub\":\"" + req["stub"] + "\",\"metas\":[{\"index\":1,\"md5\":\"x\",\"blockId\":\"" +
                       BlockId("x") + "\"}]}";
    EXPECT_EQ(emu.PostJson(req["url"] + "uploadMetadata", meta)["result"], "clientBadParams");
}

TEST(EmulatorTransfer, TwoBlockServersShareTheBlocksOfAFile) {
    Emulator emu({"--block-servers", "2"});
    std::string token = emu.Login();
    std::string content = Content(2 * kBlock + 1, 5);
    ASSERT_EQ(Upload(emu, token, "0", "f", content).failure, "");
    DownloadOutcome down = Download(emu, token, FirstId(emu, token));
    ASSERT_EQ(down.failure, "");
    EXPECT_TRUE(down.content == content);
    ASSERT_EQ(down.urls.size(), 3u);
    EXPECT_EQ(down.urls[0], emu.base() + "/blk1/");
    EXPECT_EQ(down.urls[1], emu.base() + "/blk2/");
    EXPECT_EQ(down.urls[2], emu.base() + "/blk1/");
}

TEST(EmulatorTransfer, BlockUploadsAreCheckedAgainstQueryAndIdentifier) {
    Emulator emu;
    std::string token = emu.Login();
    std::string plain = Content(5000, 9);
    Answer req = emu.Post("/osvr/requestUpload/", {{"token", token},
                                                   {"fileVer", "0"},
                                                   {"size", "5000"},
                                                   {"fileId", "0"},
                                                   {"sha1", Sha1Hex(plain)},
                                                   {"parentId", "0"},
                                                   {"name", "p"}});
    ASSERT_EQ(req.result, "ok");
    std::string stub = req["stub"], id = BlockId(plain);
    auto keys =
        emu.PostJson(req["url"] + "uploadMetadata", "{\"stub\":\"" + stub + "\",\"metas\":[{\"index\":1,\"md5\":\"" +
                                                        Md5Hex(plain) + "\",\"blockId\":\"" + id + "\"}]}");
    ASSERT_EQ(keys["result"], "ok");
    std::string key = keys["keys"][id];
    ASSERT_EQ(key.size(), 64u);
    auto post = [&](const std::string& body, const std::string& sha1, size_t size) {
        std::string path =
            "/blk1/uploadBlock?stub=" + stub + "&sha1=" + sha1 + "&size=" + std::to_string(size) + "&index=1";
        auto res = emu.Client()->Post(path.c_str(), body, "application/octet-stream");
        return res ? nlohmann::json::parse(res->body, nullptr, false).value("result", "") : std::string("transport");
    };
    std::string good = EncodeBlock(plain, key);
    EXPECT_EQ(post(good, Sha1Hex("other"), good.size()), "uploadError");
    EXPECT_EQ(post(good, Sha1Hex(good), good.size() + 1), "uploadError");
    // Encoded with another key: the transport checks pass, the content does not.
    std::string wrongKey = EncodeBlock(plain, std::string(64, '1'));
    std::string refused = post(wrongKey, Sha1Hex(wrongKey), wrongKey.size());
    EXPECT_EQ(refused, "uploadError");
    // Another block's bytes under this index.
    std::string other = EncodeBlock(Content(5000, 10), key);
    EXPECT_EQ(post(other, Sha1Hex(other), other.size()), "uploadError");
    EXPECT_EQ(emu.Post("/osvr/commit/", {{"token", token}, {"stub", stub}, {"modTime", "x"}}).result, "commitFail");
    EXPECT_EQ(post(good, Sha1Hex(good), good.size()), "ok");
    EXPECT_EQ(emu.Post("/osvr/commit/", {{"token", token}, {"stub", stub}, {"modTime", "x"}}).result, "ok");
    EXPECT_EQ(emu.Post("/osvr/commit/", {{"token", token}, {"stub", stub}, {"modTime", "x"}}).result, "badStub");
}

TEST(EmulatorTransfer, MetadataMustDescribeTheAnnouncedFile) {
    Emulator emu;
    std::string token = emu.Login();
    Answer req = emu.Post("/osvr/requestUpload/", {{"token", token},
                                                   {"fileVer", "0"},
                                                   {"size", "10"},
                                                   {"fileId", "0"},
                                                   {"sha1", Sha1Hex("0123456789")},
                                                   {"parentId", "0"},
                                                   {"name", "m"}});
    std::string url = req["url"], stub = req["stub"];
    auto meta = [&](const std::string& metas) {
        auto j = emu.PostJson(url + "uploadMetadata", "{\"stub\":\"" + stub + "\",\"metas\":[" + metas + "]}");
        return j.is_object() ? j.value("result", "") : std::string("not json");
    };
    std::string id = BlockId("0123456789");
    EXPECT_EQ(meta("{\"index\":2,\"md5\":\"x\",\"blockId\":\"" + id + "\"}"), "clientBadParams");
    EXPECT_EQ(meta("{\"index\":1,\"md5\":\"x\",\"blockId\":\"" + BlockId("short") + "\"}"), "clientBadParams");
    EXPECT_EQ(meta("{\"index\":1,\"md5\":\"x\",\"blockId\":\"../../etc/passwd\"}"), "clientBadParams");
    EXPECT_EQ(
        emu.PostJson(url + "uploadMetadata", "{\"stub\":\"nope\",\"metas\":[{\"index\":1,\"md5\":\"x\",\"blockId\":\"" +
                                                 id + "\"}]}")["result"],
        "badStub");
    EXPECT_EQ(meta("{\"index\":1,\"md5\":\"x\",\"blockId\":\"" + id + "\"}"), "ok");
}

TEST(EmulatorTransfer, HeldBlocksAreCollectedOnlyWhenNothingUsesThem) {
    TempDir data;
    Emulator emu({"--data", data.Path(), "--hold", "60"});
    std::string token = emu.Login();
    std::string shared = Content(1000, 1);
    std::string a = Upload(emu, token, "0", "a", shared).commit["fileId"];
    std::string b = Upload(emu, token, "0", "b", shared).commit["fileId"];
    Upload(emu, token, "0", "orphan", Content(2000, 2), "0", "0", 1);  // never committed
    ASSERT_EQ(CountBlockFiles(data.Path()), 2u);
    auto gc = [&] { emu.Client()->Post("/_emulator/gc", "", "application/json"); };
    gc();  // within the hold time nothing goes
    EXPECT_EQ(CountBlockFiles(data.Path()), 2u);
    ASSERT_EQ(emu.Post("/osvr/delete/", {{"token", token}, {"fileId", a}}).result, "ok");
    emu.AdvanceClock(2 * 86400);  // past the hold time and the stub's life
    token = emu.Login();
    gc();
    EXPECT_EQ(CountBlockFiles(data.Path()), 1u);  // the orphan went, b's block stays
    EXPECT_EQ(Download(emu, token, b).content, shared);
    ASSERT_EQ(emu.Post("/osvr/deleteExVirtual/", {{"token", token}, {"fileId", b}, {"toRecycel", "false"}}).result,
              "ok");
    emu.AdvanceClock(61);
    gc();
    EXPECT_EQ(CountBlockFiles(data.Path()), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(data.Path()) / "tmp"));
}

TEST(EmulatorTransfer, OnlyTheNewestVersionsAreKept) {
    TempDir data;
    Emulator emu({"--data", data.Path(), "--max-versions", "2", "--hold", "0"});
    std::string token = emu.Login();
    std::string id = Upload(emu, token, "0", "v", "one").commit["fileId"];
    ASSERT_EQ(Upload(emu, token, "0", "v", "two", id, "1").failure, "");
    ASSERT_EQ(Upload(emu, token, "0", "v", "three", id, "2").failure, "");
    EXPECT_EQ(Download(emu, token, id, true).content, "two");
    emu.Client()->Post("/_emulator/gc", "", "application/json");
    EXPECT_EQ(CountBlockFiles(data.Path()), 2u);  // "one" is gone with its version
}

namespace {

// Objects, arrays of objects and strings only: what the library's strict reader takes.
bool StrictShape(const nlohmann::json& j) {
    if (j.is_string()) return true;
    if (j.is_array()) {
        for (const auto& e : j)
            if (!e.is_object() || !StrictShape(e)) return false;
        return true;
    }
    if (!j.is_object()) return false;
    for (const auto& [k, v] : j.items())
        if (!StrictShape(v)) return false;
    return true;
}

}  // namespace

TEST(EmulatorTransfer, BlockServerAnswersSuitAStrictJsonReader) {
    Emulator emu({"--block-servers", "2"});
    std::string token = emu.Login();
    std::string content = Content(kBlock + 1, 8);
    UploadOutcome up = Upload(emu, token, "0", "s", content);
    ASSERT_EQ(up.failure, "");
    Answer req = emu.Post("/osvr/requestDownload/", {{"token", token}, {"fileId", up.commit["fileId"]}});
    auto res = emu.Client()->Post("/blk1/downloadMetadata2", "{\"stub\":\"" + req["stub"] + "\"}",
                                  "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body.find_first_of(" \t\r\n"), std::string::npos);
    auto meta = nlohmann::json::parse(res->body);
    EXPECT_TRUE(StrictShape(meta));
    EXPECT_EQ(meta.size(), 3u);  // result and two block-server groups
    Answer again = emu.Post("/osvr/requestUpload/", {{"token", token},
                                                     {"fileVer", "0"},
                                                     {"size", "1"},
                                                     {"fileId", "0"},
                                                     {"sha1", Sha1Hex("q")},
                                                     {"parentId", "0"},
                                                     {"name", "q"}});
    auto keys = emu.Client()->Post("/blk1/uploadMetadata",
                                   "{\"stub\":\"" + again["stub"] + "\",\"metas\":[{\"index\":1,\"md5\":\"" +
                                       Md5Hex("q") + "\",\"blockId\":\"" + BlockId("q") + "\"}]}",
                                   "application/x-www-form-urlencoded");
    ASSERT_TRUE(keys);
    EXPECT_EQ(keys->body.find(' '), std::string::npos);
    EXPECT_TRUE(StrictShape(nlohmann::json::parse(keys->body)));
}
