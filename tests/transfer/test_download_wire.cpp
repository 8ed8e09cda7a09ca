// Block download against a scripted loopback service: groups, checks,
// dropped and corrupted blocks, resumption and the untouched target.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/block_list_check.h"
#include "blocks/transfer/temp_folder_check.h"
#include "blocks/transfer/ufa_file.h"
#include "infocollection/info_collection.h"
#include "infocollection/info_collection_testing.h"
#include "test_support.h"

using namespace xfertest;

namespace {

const std::string kKey = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";
constexpr HRESULT kServerError = static_cast<HRESULT>(0x80041011);
constexpr HRESULT kNetworkError = static_cast<HRESULT>(0x80044005);
constexpr HRESULT kCancelled = static_cast<HRESULT>(0x80041016);

struct ServedBlock {
    std::string group;    // "/a/" or "/b/"
    std::string blockId;  // listed identifier
    std::string sha1;     // listed SHA-1 of the stored file
    std::string stored;   // bytes served
};

HRESULT CancelAt(void* ctx, double, double dlNow, double, double, double) {
    return dlNow >= *static_cast<double*>(ctx) ? E_FAIL : S_OK;
}

class DownloadWire : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* path : {"/osvr/requestDownload/", "/osvr/requestDownloadPreviousVer/"}) {
            fake.Post(path, [this](const httplib::Request& req, httplib::Response& res) {
                res.set_content("<?xml version=\"1.0\"?><Orvel result=\"ok\"><stub>S</stub><url>" + fake.Url("/a/") +
                                    "</url><fileVer>3</fileVer><sha1>" + fileSha1 +
                                    "</sha1><modTime>2011-03-02 09:05:03</modTime><opVer>17</opVer>" + sizeElement +
                                    "</Orvel>",
                                "text/xml");
            });
        }
        fake.Post("/a/downloadMetadata2", [this](const httplib::Request& req, httplib::Response& res) {
            if (!metadataAnswer.empty()) {
                res.set_content(metadataAnswer, "application/json");
                return;
            }
            nlohmann::json answer{{"result", "ok"}};
            for (const auto& [id, block] : served) {
                answer[fake.Url(block.group)].push_back({{"sha1", block.sha1},
                                                         {"id", id},
                                                         {"blockId", block.blockId},
                                                         {"fileKey", kKey},
                                                         {"index", id.substr(1)}});
            }
            res.set_content(answer.dump(), "application/json");
        });
        for (const char* path : {"/a/downloadBlock2", "/b/downloadBlock2"}) {
            fake.Post(path, [this](const httplib::Request& req, httplib::Response& res) {
                const std::string id = nlohmann::json::parse(req.body)["id"];
                std::lock_guard<std::mutex> guard(lock);
                if (failures[id] > 0) {
                    --failures[id];
                    res.status = 500;
                    return;
                }
                std::string bytes = served.at(id).stored;
                if (corrupt.erase(id)) bytes[bytes.size() / 2] ^= 0x55;
                if (drop.erase(id)) {
                    const size_t half = bytes.size() / 2;
                    res.set_content_provider(bytes.size(), "application/octet-stream",
                                             [bytes, half](size_t offset, size_t, httplib::DataSink& sink) {
                                                 if (offset < half) sink.write(bytes.data(), half);
                                                 return offset < half;  // then drop the connection
                                             });
                    return;
                }
                res.set_content(bytes, "application/octet-stream");
            });
        }
        fake.Start();
        UseServiceRoot(fake.Root());
    }

    // Serves `bytes` as blocks; block 2 (when there is one) comes from group /b/.
    void Serve(const std::string& bytes) {
        content = bytes;
        fileSha1 = Sha1Hex(bytes);
        served.clear();
        const size_t count = bytes.empty() ? 1 : (bytes.size() + 4194303) / 4194304;
        for (size_t i = 0; i < count; ++i) {
            const std::string plain = bytes.substr(i * 4194304, 4194304);
            ServedBlock block;
            block.group = i == 1 ? "/b/" : "/a/";
            block.blockId = MakeBlockId(static_cast<int32_t>(plain.size()), Sha1Hex(plain));
            block.stored = Encode(plain);
            block.sha1 = Sha1Hex(block.stored);
            served["b" + std::to_string(i + 1)] = block;
        }
    }

    std::string Encode(const std::string& plain) {
        WriteFileBytes(scratch.File("plain"), plain);
        EXPECT_EQ(S_OK, EncodeFile(kKey, "x" + extension, static_cast<int32_t>(plain.size()), Sha1Hex(plain),
                                   scratch.File("plain"), scratch.File("enc")));
        return ReadFileBytes(scratch.File("enc"));
    }

    HRESULT Download(bool previous = false, ProgressCallback callback = nullptr, void* context = nullptr) {
        modTime = sha1 = fileVer = "unset";
        opVer = -1;
        fake.Sync();  // the handlers see what the test set, the test what they changed
        TransferResult result;
        const HRESULT hr = DownloadGuarded({.token = "TOKEN",
                                            .fileId = "F1",
                                            .targetPath = target,
                                            .tempFolder = temp.Path(),
                                            .previousVersion = previous,
                                            .callback = callback,
                                            .context = context},
                                           result);
        fake.Sync();
        modTime = result.modTime;
        sha1 = result.sha1;
        fileVer = result.fileVer;
        opVer = result.opVer;
        return hr;
    }

    int Fetches(const std::string& id) {
        int n = 0;
        for (const auto& r : fake.Requests())
            n += r.path.find("downloadBlock2") != std::string::npos && r.body == R"({"stub":"S","id":")" + id + "\"}";
        return n;
    }

    TempDir out, temp, scratch;
    std::string target = out.File("target.bin");
    std::string content, fileSha1, metadataAnswer, sizeElement;
    std::string extension = ".mp4";  // ".txt" blocks are compressed
    std::map<std::string, ServedBlock> served;
    std::mutex lock;
    std::map<std::string, int> failures;
    std::set<std::string> corrupt, drop;
    std::string modTime, sha1, fileVer;
    int32_t opVer = -1;
    LoopbackServer fake;  // last: stopped before the members its handlers use
};

TEST_F(DownloadWire, BlocksComeFromTheirGroupAndAssembleInOrder) {
    Serve(RandomBytes(2 * 4194304 + 5, 20));
    LogCapture log;
    ASSERT_EQ(S_OK, Download());
    EXPECT_TRUE(log.HasLine("CTraceStack In, DownloadRequester::PerformDownload : Id = F1")) << log.Text();
    EXPECT_TRUE(log.HasLine("CTraceStack In, MetadataDownloader::Perform : Stub = *** URL = " + fake.Url("/a/")));
    EXPECT_TRUE(log.HasLine("CTraceStack In, BlockDownloader::Perform : Id = b2 Stub = ***"));
    EXPECT_EQ(content, ReadFileBytes(target));
    EXPECT_EQ("2011-03-02 09:05:03", modTime);
    EXPECT_EQ(fileSha1, sha1);
    EXPECT_EQ("3", fileVer);
    EXPECT_EQ(17, opVer);
    const auto requests = fake.Requests();
    ASSERT_EQ(5u, requests.size());
    EXPECT_EQ("/osvr/requestDownload/", requests[0].path);
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel><token>TOKEN</token><fileId>F1</fileId></Orvel>",
              requests[0].body);
    EXPECT_EQ("4", requests[0].version);
    EXPECT_EQ(R"({"stub":"S"})", requests[1].body);
    EXPECT_EQ("/a/downloadBlock2", requests[2].path);
    EXPECT_EQ("/b/downloadBlock2", requests[3].path);
    EXPECT_EQ(R"({"stub":"S","id":"b2"})", requests[3].body);
    EXPECT_EQ("/a/downloadBlock2", requests[4].path);
    for (size_t i = 1; i < requests.size(); ++i) EXPECT_EQ("3", requests[i].version);
    for (const auto& r : requests) EXPECT_EQ("tavik-1.0.0.0", r.userAgent);
    EXPECT_TRUE(temp.Entries().empty());
    EXPECT_EQ(std::vector<std::string>{"target.bin"}, out.Entries());
}

TEST_F(DownloadWire, EachFetchedBlockFeedsTheSpeedRecorder) {
    Serve(RandomBytes(4194304 + 5, 26));
    SpeedRecording recording(fake.Root());
    InfoItems items;
    ASSERT_EQ(S_OK, Download());
    // "<milliseconds> <downloaded size>" under each block server's last path segment.
    const auto lines = items.Lines();
    ASSERT_EQ(2u, lines.size());
    const std::pair<std::string, std::string> expected[] = {{"NetSpeed|a=", served["b1"].stored},
                                                            {"NetSpeed|b=", served["b2"].stored}};
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(0u, lines[i].rfind(expected[i].first, 0)) << lines[i];
        const std::string value = lines[i].substr(expected[i].first.size());
        const size_t space = value.find(' ');
        ASSERT_NE(std::string::npos, space);
        EXPECT_GE(std::stoi(value.substr(0, space)), 0);
        EXPECT_EQ(std::to_string(expected[i].second.size()), value.substr(space + 1));
    }
}

TEST_F(DownloadWire, EmptyAndSmallFiles) {
    Serve("");
    ASSERT_EQ(S_OK, Download());
    EXPECT_TRUE(Exists(target));
    EXPECT_EQ("", ReadFileBytes(target));
    Serve("z");
    ASSERT_EQ(S_OK, Download());
    EXPECT_EQ("z", ReadFileBytes(target));
}

TEST_F(DownloadWire, PreviousVersionUsesItsOwnRequest) {
    LogCapture log;
    Serve(TextBytes(3000));
    ASSERT_EQ(S_OK, Download(true));
    EXPECT_EQ(1, fake.Count("/osvr/requestDownloadPreviousVer/"));
    EXPECT_EQ(0, fake.Count("/osvr/requestDownload/"));
    EXPECT_TRUE(log.HasLine("CTraceStack In, DownloadRequester::PerformDownload_PrevVer : Id = F1")) << log.Text();
}

TEST_F(DownloadWire, ListedSha1InOtherLetterCaseIsAccepted) {
    Serve(TextBytes(3000));
    for (auto& c : served["b1"].sha1) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(S_OK, Download());
    EXPECT_EQ(content, ReadFileBytes(target));
}

TEST_F(DownloadWire, CorruptedBlockIsDroppedAndARerunFetchesOnlyIt) {
    WriteFileBytes(target, "old contents");
    Serve(RandomBytes(2 * 4194304 + 5, 21));
    corrupt = {"b2"};
    {
        LogCapture log;
        EXPECT_EQ(kNetworkError, Download());
        EXPECT_TRUE(log.HasLine("UFA_FILE::Download Some blocks dropped because of network error.")) << log.Text();
    }
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_EQ(3, fake.Count("/a/downloadBlock2") + fake.Count("/b/downloadBlock2"));
    // Only the decoded blocks stay, as done files.
    std::vector<std::string> expected{served["b1"].blockId + ".done", served["b3"].blockId + ".done"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, temp.Entries());

    std::vector<std::pair<double, double>> done;  // (total, done) of every report
    auto record = [](void* ctx, double dlTotal, double dlNow, double, double, double) -> HRESULT {
        static_cast<std::vector<std::pair<double, double>>*>(ctx)->emplace_back(dlTotal, dlNow);
        return S_OK;
    };
    ASSERT_EQ(S_OK, Download(false, record, &done));
    EXPECT_EQ(content, ReadFileBytes(target));
    EXPECT_EQ(1, Fetches("b1"));
    EXPECT_EQ(2, Fetches("b2"));
    EXPECT_EQ(1, Fetches("b3"));
    // 0 of 0 until the block list is known; from its first report on, block 1 counts as done.
    const auto listed = std::find_if(done.begin(), done.end(), [](const auto& r) { return r.first != 0; });
    ASSERT_NE(done.end(), listed);
    for (auto early = done.begin(); early != listed; ++early) EXPECT_EQ(0.0, early->second);
    EXPECT_GE(listed->second, 4194304.0);
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(DownloadWire, CompressedBlocksDropAndResumeTheSameWay) {
    extension = ".txt";
    WriteFileBytes(target, "old contents");
    Serve(TextBytes(2 * 4194304 + 99));
    ASSERT_LT(served["b2"].stored.size(), 1000000u);  // really compressed
    corrupt = {"b2"};
    EXPECT_EQ(kNetworkError, Download());
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_EQ(2u, temp.Entries().size());
    ASSERT_EQ(S_OK, Download());
    EXPECT_EQ(content, ReadFileBytes(target));
    EXPECT_EQ(1, Fetches("b1"));
    EXPECT_EQ(2, Fetches("b2"));
    served["b1"].stored = Encode(TextBytes(4194303) + "!");
    served["b1"].sha1 = Sha1Hex(served["b1"].stored);
    // All work on the calling thread: the run ends at the block that fails.
    UseServiceRoot(fake.Root(), "WorkerThreads=1\n");
    EXPECT_EQ(E_FAIL, Download());
    EXPECT_EQ(content, ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());
    // With workers the blocks behind it may be in already: they stay done,
    // the failed one does not.
    UseServiceRoot(fake.Root(), "WorkerThreads=4\n");
    EXPECT_EQ(E_FAIL, Download());
    EXPECT_EQ(content, ReadFileBytes(target));
    for (const std::string& entry : temp.Entries()) EXPECT_NE(served["b1"].blockId + ".done", entry);
}

TEST_F(DownloadWire, BlockThatDecodesToOtherBytesFailsAsADecodeFailure) {
    WriteFileBytes(target, "old contents");
    Serve(TextBytes(5000));
    served["b1"].stored = Encode(TextBytes(4999) + "!");
    served["b1"].sha1 = Sha1Hex(served["b1"].stored);
    LogCapture log;
    EXPECT_EQ(E_FAIL, Download());
    EXPECT_TRUE(log.HasLine("Fatal error on decode block. BlockId=" + served["b1"].blockId +
                            ", BlockCheckSHA1=" + served["b1"].sha1))
        << log.Text();
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(DownloadWire, UndecodableBlockFailsAndLeavesNoDoneFile) {
    Serve(TextBytes(5000));
    served["b1"].stored = "not a block file at all";
    served["b1"].sha1 = Sha1Hex(served["b1"].stored);
    EXPECT_EQ(E_FAIL, Download());
    EXPECT_FALSE(Exists(target));
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(DownloadWire, WholeFileMismatchLeavesTheTargetUntouched) {
    WriteFileBytes(target, "old contents");
    Serve(RandomBytes(4194304 + 10, 22));
    fileSha1 = Sha1Hex("something else");
    EXPECT_EQ(kNetworkError, Download());
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{"target.bin"}, out.Entries());
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(DownloadWire, ServerErrorsTwiceThenSuccess) {
    Serve(TextBytes(70000));
    failures["b1"] = 2;
    ASSERT_EQ(S_OK, Download());
    EXPECT_EQ(3, Fetches("b1"));
    EXPECT_EQ(content, ReadFileBytes(target));
}

TEST_F(DownloadWire, ThreeServerErrorsEndTheDownload) {
    UseServiceRoot(fake.Root(), "NetworkRetries=0\n");  // Retries off: the first fault ends the transfer.
    WriteFileBytes(target, "old contents");
    Serve(TextBytes(70000));
    failures["b1"] = 3;
    std::vector<std::string> items;
    orvel::infotest::SetSink([&](const RecordTree& item) {
        items.push_back(item.GetValue("infotype") + "|" + item.GetValue("Raiser") + "|" + item.GetValue("Detail"));
    });
    EXPECT_EQ(kServerError, Download());
    orvel::infotest::SetSink(nullptr);
    EXPECT_EQ(std::vector<std::string>{"UFADownloadFailed|CurlWrapper::SimpleDownloadFile|Response not 200"}, items);
    EXPECT_EQ(3, Fetches("b1"));
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(DownloadWire, DroppedConnectionMidBlock) {
    UseServiceRoot(fake.Root(), "NetworkRetries=0\n");  // Retries off: the first fault ends the transfer.
    WriteFileBytes(target, "old contents");
    Serve(RandomBytes(2 * 4194304, 23));
    drop = {"b2"};
    EXPECT_EQ(kNetworkError, Download());
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{served["b1"].blockId + ".done"}, temp.Entries());
    ASSERT_EQ(S_OK, Download());
    EXPECT_EQ(content, ReadFileBytes(target));
    EXPECT_EQ(1, Fetches("b1"));
}

TEST_F(DownloadWire, CancelBeforeStartAndMidBlock) {
    WriteFileBytes(target, "old contents");
    Serve(RandomBytes(4194304 + 100, 24));
    double at = 0;
    EXPECT_EQ(kCancelled, Download(false, &CancelAt, &at));
    at = 1000000;
    EXPECT_EQ(kCancelled, Download(false, &CancelAt, &at));
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(DownloadWire, ProgressFollowsTheWholeFile) {
    Serve(RandomBytes(4194304 + 100000, 25));
    std::vector<std::array<double, 4>> calls;
    auto record = [](void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow, double) -> HRESULT {
        static_cast<std::vector<std::array<double, 4>>*>(ctx)->push_back({dlTotal, dlNow, ulTotal, ulNow});
        return S_OK;
    };
    ASSERT_EQ(S_OK, Download(false, record, &calls));
    ASSERT_FALSE(calls.empty());
    double last = 0;
    bool listed = false;
    for (const auto& c : calls) {
        // 0 of 0 until the block list gives the size.
        listed = listed || c[0] != 0;
        if (listed)
            EXPECT_EQ(static_cast<double>(content.size()), c[0]);
        else
            EXPECT_EQ(0.0, c[1]);
        // The upload slots are the block request's own small body.
        EXPECT_LT(c[2], 1024.0);
        EXPECT_LE(c[3], c[2]);
        EXPECT_LE(c[1], static_cast<double>(content.size()));
        EXPECT_GE(c[1], last);
        last = c[1];
    }
    EXPECT_EQ(static_cast<double>(content.size()), last);
}

TEST_F(DownloadWire, UntrustworthyMetadataIsRefusedBeforeAnyFileIsMade) {
    Serve(TextBytes(100));
    metadataAnswer =
        R"({"result":"ok","http://127.0.0.1:1/a/":[{"sha1":"x","id":"b1","blockId":"../../../../tmp/evil","fileKey":"k","index":"1"}]})";
    EXPECT_EQ(kServerError, Download());
    EXPECT_EQ(3, fake.Count("/a/downloadMetadata2"));
    EXPECT_EQ(0, fake.Count("/a/downloadBlock2"));
    EXPECT_TRUE(temp.Entries().empty());
    metadataAnswer = "{\"result\":\"ok\",\t\"x\":\"y\"}";
    EXPECT_EQ(kServerError, Download());
    metadataAnswer = R"({"result":"ok","http://a/":[{"index":1}]})";
    EXPECT_EQ(kServerError, Download());
    EXPECT_FALSE(Exists(target));
}

TEST_F(DownloadWire, WorkerCountLeavesTheWireByteIdentical) {
    Serve(RandomBytes(3 * 4194304 + 17, 27));
    std::vector<std::vector<LoopbackServer::Request>> runs;
    for (const char* workers : {"WorkerThreads=1\n", "WorkerThreads=4\n"}) {
        UseServiceRoot(fake.Root(), workers);
        const size_t before = fake.Requests().size();
        ASSERT_EQ(S_OK, Download());
        EXPECT_EQ(content, ReadFileBytes(target));
        const auto all = fake.Requests();
        runs.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    }
    ASSERT_EQ(6u, runs[0].size());
    ASSERT_EQ(runs[0].size(), runs[1].size());
    for (size_t i = 0; i < runs[0].size(); ++i) {
        EXPECT_EQ(runs[0][i].path, runs[1][i].path) << i;
        EXPECT_EQ(runs[0][i].body, runs[1][i].body) << i;
        EXPECT_EQ(runs[0][i].version, runs[1][i].version) << i;
    }
}

// A block answer longer than any valid block file of its size stops at the
// limit: the block is dropped, nothing of it is kept, a rerun fetches it.
TEST_F(DownloadWire, OverLongBlockAnswerIsDroppedAtTheLimit) {
    WriteFileBytes(target, "old contents");
    Serve(TextBytes(5000) + RandomBytes(4194304, 28));
    const std::string good = served["b1"].stored;
    served["b1"].stored = good + RandomBytes(8 * 1024 * 1024, 29);  // far past 5000 + growth
    LogCapture log;
    EXPECT_EQ(kNetworkError, Download());
    EXPECT_TRUE(
        log.HasLine("UFA_FILE::Download Block 1 dropped: the answer is longer than any block "
                    "file of 4194304 bytes"))
        << log.Text();
    EXPECT_EQ("old contents", ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{served["b2"].blockId + ".done"}, temp.Entries());
    served["b1"].stored = good;
    ASSERT_EQ(S_OK, Download());
    EXPECT_EQ(content, ReadFileBytes(target));
    EXPECT_EQ(1, Fetches("b2"));
}

// The same block listed twice: when its one fetch is too long, the repeat has
// nothing to stand on and the file is dropped as a whole, not failed as a file error.
TEST_F(DownloadWire, OverLongAnswerForABlockListedTwiceDropsTheFile) {
    const std::string half = RandomBytes(4194304, 47);
    Serve(half + half);
    served["b1"].stored += RandomBytes(8 * 1024 * 1024, 48);
    EXPECT_EQ(kNetworkError, Download());
    EXPECT_FALSE(Exists(target));
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(DownloadWire, ABlockListThatCannotDescribeTheFileFailsBeforeAnyBlockIsFetched) {
    Serve(RandomBytes(4194304 + 10, 31));
    const std::string whole = served["b1"].blockId, tail = served["b2"].blockId;
    auto listOf = [&](const std::vector<std::pair<std::string, std::string>>& blocks) {
        nlohmann::json answer{{"result", "ok"}};
        for (const auto& [index, blockId] : blocks)
            answer[fake.Url("/a/")].push_back(
                {{"sha1", served["b1"].sha1}, {"id", "b1"}, {"blockId", blockId}, {"fileKey", kKey}, {"index", index}});
        return answer.dump();
    };
    sizeElement = "<size>4194314</size>";
    const std::string bad[] = {
        listOf({{"1", whole}, {"3", tail}}),                // a gap
        listOf({{"1", whole}, {"1", whole}, {"2", tail}}),  // a repeat
        listOf({{"1", tail}, {"2", whole}}),                // a short block before the last
        listOf({{"1", whole}, {"2", whole}}),               // sizes beyond the file's size
        listOf({{"1", whole}}),                             // too few blocks
    };
    for (const std::string& answer : bad) {
        metadataAnswer = answer;
        LogCapture log;
        EXPECT_EQ(kServerError, Download()) << answer;
        EXPECT_NE(std::string::npos, log.Text().find("Bad block list: ")) << log.Text();
    }
    // A 10-byte file listed with many blocks costs one metadata request and no block request.
    sizeElement = "<size>10</size>";
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 1; i <= 2000; ++i) many.emplace_back(std::to_string(i), whole);
    metadataAnswer = listOf(many);
    EXPECT_EQ(kServerError, Download());
    EXPECT_EQ(static_cast<int>(std::size(bad)) + 1, fake.Count("/a/downloadMetadata2"));
    EXPECT_EQ(0, fake.Count("/a/downloadBlock2"));
    EXPECT_EQ(0, fake.Count("/b/downloadBlock2"));
    EXPECT_TRUE(temp.Entries().empty());
    EXPECT_FALSE(Exists(target));

    // The sound list with the file's size still downloads.
    sizeElement = "<size>4194314</size>";
    metadataAnswer.clear();
    ASSERT_EQ(S_OK, Download());
    EXPECT_EQ(content, ReadFileBytes(target));
}

TEST_F(DownloadWire, AnUnusableTemporaryFolderFailsBeforeAnythingIsSentOrWritten) {
    Serve(TextBytes(100));
    const std::string file = out.File("plain.txt");
    WriteFileBytes(file, "x");
    const std::string notAFolder = file;
    const std::pair<std::string, std::string> cases[] = {{"", "no folder given"},
                                                         {"relative/tmp", "not an absolute path"},
                                                         {out.File("missing"), "does not exist"},
                                                         {notAFolder, "not a folder"}};
    std::vector<BlockRecord> blocks;
    std::string listSha1;
    ASSERT_EQ(S_OK, BuildBlockList(file, blocks, listSha1));
    for (const auto& [folder, why] : cases) {
        LogCapture log;
        DownloadRequest download;
        download.token = "TOKEN";
        download.fileId = "F1";
        download.targetPath = target;
        download.tempFolder = folder;
        TransferResult result;
        EXPECT_EQ(E_INVALIDARG, DownloadGuarded(download, result));
        EXPECT_EQ(E_INVALIDARG,
                  UploadFileGuarded(NewUpload("TOKEN", "plain.txt", file, 1, blocks, listSha1, folder), result));
        EXPECT_EQ(2u, log.Count("Unusable temporary folder '" + folder + "': " + why)) << log.Text();
    }
    EXPECT_TRUE(fake.Requests().empty());
    EXPECT_FALSE(Exists(target));
    EXPECT_FALSE(Exists(out.File("missing")));
    EXPECT_FALSE(Exists("relative"));
    EXPECT_EQ("", TempFolderProblem(temp.Path()));
}

TEST(BlockListCheck, AcceptsOnlyCompleteConsistentLists) {
    const std::string sha(40, 'a');
    const std::string whole = "400000" + sha, last = "00000a" + sha, empty = "000000" + sha;
    EXPECT_EQ("", CheckBlockList({{2, last}, {1, whole}}, 4194314));
    EXPECT_EQ("", CheckBlockList({{1, whole}, {2, last}}, -1));  // no size given: per-block rules only
    EXPECT_EQ("", CheckBlockList({{1, empty}}, 0));
    EXPECT_EQ("", CheckBlockList({{1, whole}}, 4194304));
    EXPECT_EQ("no blocks", CheckBlockList({}, -1));
    EXPECT_EQ("2 blocks for a file of 10 bytes", CheckBlockList({{1, whole}, {2, last}}, 10));
    EXPECT_EQ("index 3 outside 1..2", CheckBlockList({{1, whole}, {3, last}}, -1));
    EXPECT_EQ("index 0 outside 1..2", CheckBlockList({{0, whole}, {1, last}}, -1));
    EXPECT_EQ("index 1 listed twice", CheckBlockList({{1, whole}, {1, last}}, -1));
    EXPECT_EQ("bad identifier at index 1", CheckBlockList({{1, "40000"}}, -1));
    EXPECT_EQ("size 10 of block 1 of 2", CheckBlockList({{1, last}, {2, last}}, -1));
    EXPECT_EQ("size 0 of block 2 of 2", CheckBlockList({{1, whole}, {2, empty}}, -1));
    EXPECT_EQ("size 4194305 of block 1 of 1", CheckBlockList({{1, "400001" + sha}}, -1));
    EXPECT_EQ("block sizes add up to 10, the file has 11", CheckBlockList({{1, last}}, 11));
    // Above 4 GiB: 1280 whole blocks and one byte.
    std::vector<ListedBlock> big;
    for (int32_t i = 1; i <= 1280; ++i) big.push_back({i, whole});
    big.push_back({1281, "000001" + sha});
    EXPECT_EQ("", CheckBlockList(big, int64_t{1280} * 4194304 + 1));
    EXPECT_EQ("1281 blocks for a file of 5368709120 bytes", CheckBlockList(big, int64_t{1280} * 4194304));
}

}  // namespace
