// Block upload against a scripted loopback service: exact requests on the
// wire and every failure path.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_common.h"
#include "blocks/transfer/ufa_file.h"
#include "blocks/transfer/ufa_progress.h"
#include "infocollection/info_collection.h"
#include "test_support.h"

using namespace xfertest;

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr HRESULT kServerError = static_cast<HRESULT>(0x80041011);
constexpr HRESULT kNetworkError = static_cast<HRESULT>(0x80044005);
constexpr HRESULT kCancelled = static_cast<HRESULT>(0x80041016);
constexpr HRESULT kTargetExists = static_cast<HRESULT>(0x8004101A);

struct ProgressLog {
    std::mutex lock;
    std::vector<std::array<double, 5>> calls;
    // Returns E_FAIL once `done` has passed this many bytes (negative: never).
    double cancelAfter = -1;
    static HRESULT Callback(void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow, double speed) {
        auto* self = static_cast<ProgressLog*>(ctx);
        std::lock_guard<std::mutex> guard(self->lock);
        self->calls.push_back({dlTotal, dlNow, ulTotal, ulNow, speed});
        if (self->cancelAfter >= 0 && ulNow + dlNow >= self->cancelAfter) return E_FAIL;
        return S_OK;
    }
};

class UploadWire : public ::testing::Test {
protected:
    void SetUp() override {
        fake.Post("/osvr/requestUpload/", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_content(requestAnswer.empty() ? "<?xml version=\"1.0\"?><Orvel result=\"ok\"><stub>S1</stub><url>" +
                                                        fake.Url("/blk/") + "</url></Orvel>"
                                                  : requestAnswer,
                            "text/xml");
        });
        fake.Post("/blk/uploadMetadata", [this](const httplib::Request& req, httplib::Response& res) {
            nlohmann::json keys = nlohmann::json::object();
            const auto request = nlohmann::json::parse(req.body);
            for (const auto& meta : request["metas"]) {
                const std::string id = meta["blockId"];
                if (!omitKeys) keys[id] = held.count(meta["index"].get<int>()) ? "TargetExist" : kKey;
            }
            res.set_content(nlohmann::json{{"result", "ok"}, {"keys", keys}}.dump(), "application/json");
        });
        fake.Post("/blk/uploadBlock", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            if (!blockAnswers.empty()) {
                auto [status, body] = blockAnswers.front();
                blockAnswers.pop_front();
                res.status = status;
                res.set_content(body, "application/json");
                return;
            }
            bodies[std::stoi(req.get_param_value("index"))] = req.body;
            res.set_content(R"({"result":"ok"})", "application/json");
        });
        fake.Post("/osvr/commit/", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_content(commitAnswer, "text/xml");
        });
        fake.Start();
        UseServiceRoot(fake.Root());
    }

    HRESULT Upload(const std::string& bytes, const std::string& name = "a.mp4", ProgressCallback callback = nullptr,
                   void* context = nullptr, const std::function<void()>& afterList = {}) {
        const std::string path = files.File(name);
        WriteFileBytes(path, bytes);
        EXPECT_EQ(S_OK, BuildBlockList(path, blocks, sha1));
        if (afterList) afterList();
        fake.Sync();  // the handlers see what the test set, the test what they stored
        TransferResult result;
        const HRESULT hr = UploadFileGuarded(NewUpload("TOKEN", name, path, static_cast<int64_t>(bytes.size()), blocks,
                                                       sha1, temp.Path(), callback, context),
                                             result);
        fake.Sync();
        fileId = result.fileId;
        fileVer = result.fileVer;
        conflict = result.conflict;
        return hr;
    }

    std::string Decode(const std::string& encoded) {
        WriteFileBytes(scratch.File("enc"), encoded);
        EXPECT_EQ(S_OK, DecodeFile(scratch.File("plain"), kKey, scratch.File("enc")));
        return ReadFileBytes(scratch.File("plain"));
    }

    std::vector<std::string> Paths() {
        std::vector<std::string> paths;
        for (const auto& r : fake.Requests()) paths.push_back(r.path);
        return paths;
    }

    TempDir files, temp, scratch;
    std::string requestAnswer;
    std::string commitAnswer =
        "<?xml version=\"1.0\"?><Orvel result=\"ok\"><fileId>F7</fileId><fileVer>1</fileVer></Orvel>";
    std::set<int> held;
    bool omitKeys = false;
    std::mutex lock;
    std::deque<std::pair<int, std::string>> blockAnswers;
    std::map<int, std::string> bodies;
    std::vector<BlockRecord> blocks;
    std::string sha1, fileId, fileVer;
    RecordTree conflict;
    LoopbackServer fake;  // last: stopped before the members its handlers use
};

TEST_F(UploadWire, RequestsCarryExactDocumentsHeadersAndBlocks) {
    const std::string bytes = RandomBytes(4194305, 1);
    ASSERT_EQ(S_OK, Upload(bytes));
    EXPECT_EQ("F7", fileId);
    EXPECT_EQ("1", fileVer);
    const auto requests = fake.Requests();
    ASSERT_EQ((std::vector<std::string>{"/osvr/requestUpload/", "/blk/uploadMetadata", "/blk/uploadBlock",
                                        "/blk/uploadBlock", "/osvr/commit/"}),
              Paths());
    EXPECT_EQ(
        "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel><token>TOKEN</token><fileVer>0</fileVer>"
        "<size>4194305</size><fileId>0</fileId><sha1>" +
            Sha1Hex(bytes) + "</sha1><parentId>0</parentId><name>a.mp4</name></Orvel>",
        requests[0].body);
    EXPECT_EQ("{\"stub\":\"S1\",\"metas\":[{\"index\":1,\"md5\":\"" + blocks[0].md5 + "\",\"blockId\":\"400000" +
                  Sha1Hex(bytes.substr(0, 4194304)) + "\"},{\"index\":2,\"md5\":\"" + blocks[1].md5 +
                  "\",\"blockId\":\"000001" + Sha1Hex(bytes.substr(4194304)) + "\"}]}",
              requests[1].body);
    EXPECT_EQ(
        "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel><token>TOKEN</token><stub>S1</stub>"
        "<modTime>2011-03-02 09:05:03</modTime></Orvel>",
        requests[4].body);
    for (size_t i : {0u, 4u}) EXPECT_EQ("4", requests[i].version);
    EXPECT_EQ("3", requests[1].version);
    // The raw block post sends only the HTTP layer's own header lines.
    for (size_t i : {0u, 1u, 4u}) EXPECT_EQ("tavik-1.0.0.0", requests[i].userAgent);
    for (int index : {1, 2}) {
        const auto& r = requests[1 + index];
        const std::string& body = bodies[index];
        EXPECT_EQ("/blk/uploadBlock?stub=S1&sha1=" + Sha1Hex(body) + "&size=" + std::to_string(body.size()) +
                      "&index=" + std::to_string(index),
                  r.target);
        EXPECT_EQ(bytes.substr((index - 1) * 4194304u, index == 1 ? 4194304u : 1u), Decode(body));
    }
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(UploadWire, TraceLinesOfEveryRequest) {
    LogCapture log;
    held = {1};
    const std::string bytes = RandomBytes(4194304 + 33, 11);
    ASSERT_EQ(S_OK, Upload(bytes));
    const std::string& body = bodies[2];
    EXPECT_TRUE(
        log.HasLine("CTraceStack In, UploadRequester::Perform : FileVer = 0, SizeOrg = 4194337, "
                    "Id = 0, Sha1Org = " +
                    Sha1Hex(bytes)))
        << log.Text();
    EXPECT_TRUE(log.HasLine("CTraceStack In, MetadataUploader::Perform : Stub = *** BlockCount = 2"));
    EXPECT_TRUE(log.HasLine("CTraceStack In, BlockUploader::Perform : Url = " + fake.Url("/blk/") +
                            ", Stub = ***, BlockSHA1 = " + Sha1Hex(body) + " Index = 2"));
    EXPECT_TRUE(log.HasLine("CTraceStack In, Committer::Perform : Stub = ***"));
}

TEST_F(UploadWire, EmptyFileIsOneEmptyBlock) {
    ASSERT_EQ(S_OK, Upload(""));
    const auto requests = fake.Requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_NE(std::string::npos,
              requests[1].body.find("\"blockId\":\"000000da39a3ee5e6b4b0d3255bfef95601890afd80709\""));
    EXPECT_EQ("", Decode(bodies[1]));
}

TEST_F(UploadWire, HeldBlocksAreNotSentAndCountAsDone) {
    held = {1};
    ProgressLog progress;
    const std::string bytes = RandomBytes(4194304 + 70000, 2);
    ASSERT_EQ(S_OK, Upload(bytes, "a.mp4", &ProgressLog::Callback, &progress));
    EXPECT_EQ(1, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(1u, bodies.count(2));
    ASSERT_FALSE(progress.calls.empty());
    double maxDone = 0;
    bool listed = false;
    for (const auto& c : progress.calls) {
        // The download slots are the block request's own small answer.
        EXPECT_LT(c[0], 1024.0);
        EXPECT_LE(c[1], c[0]);
        EXPECT_EQ(static_cast<double>(bytes.size()), c[2]);
        // Nothing done before the block list is known; the held block counts from then on.
        listed = listed || c[3] != 0;
        if (listed)
            EXPECT_GE(c[3], 4194304.0);
        else
            EXPECT_EQ(0.0, c[4]);
        maxDone = std::max(maxDone, c[3]);
    }
    // Plain bytes: the whole file once the upload is through.
    EXPECT_EQ(static_cast<double>(bytes.size()), maxDone);
    EXPECT_EQ(static_cast<double>(bytes.size()), progress.calls.back()[3]);
}

TEST_F(UploadWire, EachSentBlockFeedsTheSpeedRecorder) {
    SpeedRecording recording(fake.Root());
    InfoItems items;
    held = {1};
    ASSERT_EQ(S_OK, Upload(RandomBytes(4194304 + 70000, 12)));
    // One record for the one block sent: "<milliseconds> <encoded size>",
    // filed under the block server's last path segment.
    const auto lines = items.Lines();
    ASSERT_EQ(1u, lines.size());
    const std::string prefix = "NetSpeed|blk=";
    ASSERT_EQ(0u, lines[0].rfind(prefix, 0)) << lines[0];
    const std::string value = lines[0].substr(prefix.size());
    const size_t space = value.find(' ');
    ASSERT_NE(std::string::npos, space);
    EXPECT_GE(std::stoi(value.substr(0, space)), 0);
    EXPECT_EQ(std::to_string(bodies[2].size()), value.substr(space + 1));
    EXPECT_EQ(std::vector<std::string>{"dataitem,time,infotype,blk"}, items.Orders());
}

TEST_F(UploadWire, EveryBlockHeldSendsNothingAndCommits) {
    held = {1, 2};
    ProgressLog progress;
    ASSERT_EQ(S_OK, Upload(RandomBytes(4194305, 3), "a.mp4", &ProgressLog::Callback, &progress));
    EXPECT_EQ(0, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(1, fake.Count("/osvr/commit/"));
    // No block transfer ran: every report once the block list is known (the
    // commit's steady ones and the closing one) tells the whole file done;
    // the ones before it, nothing done yet.
    ASSERT_FALSE(progress.calls.empty());
    bool listed = false;
    for (const auto& call : progress.calls) {
        EXPECT_EQ(0, call[0]);
        EXPECT_EQ(0, call[1]);
        EXPECT_EQ(4194305, call[2]);
        listed = listed || call[3] != 0;
        EXPECT_EQ(listed ? 4194305 : 0, call[3]);
    }
    EXPECT_EQ(4194305, progress.calls.back()[3]);
}

// Every failure in flight at a guarded entry: its result, the items filed and
// the conflict's answer.
template <class Raise>
HRESULT MapFailure(Raise raise, RecordTree* conflict = nullptr) {
    try {
        raise();
    } catch (...) {
        return ufa::ResultForTransferFailure("UFADownloadFailed", conflict);
    }
    return S_OK;
}

TEST(TransferFailures, EveryFailureMapsAndFilesItsItem) {
    InfoItems items;
    EXPECT_EQ(kNetworkError, MapFailure([] { throw EXCEPT::CurlUnknownError("X", "Network Error"); }));
    EXPECT_EQ(kNetworkError, MapFailure([] { throw EXCEPT::NetworkError("X", "Timeout"); }));
    EXPECT_EQ(kServerError, MapFailure([] { throw EXCEPT::ServerError("BlockUploader::Perform", "serverBusy"); }));
    EXPECT_EQ(kCancelled, MapFailure([] { throw EXCEPT::TaskCancel("X"); }));
    EXPECT_EQ(static_cast<HRESULT>(0x80041014),
              MapFailure([] { throw EXCEPT::UserSessionError("X", "clientTokenExpired", 0x80041014); }));
    EXPECT_EQ(static_cast<HRESULT>(0x80040001),
              MapFailure([] { throw EXCEPT::FileReadError("X", "d", static_cast<HRESULT>(0x80040001)); }));
    EXPECT_EQ(static_cast<HRESULT>(0x80040002),
              MapFailure([] { throw EXCEPT::FileWriteError("X", "d", static_cast<HRESULT>(0x80040002)); }));
    EXPECT_EQ(E_FAIL, MapFailure([] { throw EXCEPT::FileSysError("X", "Cut block"); }));
    EXPECT_EQ(E_FAIL, MapFailure([] { throw std::runtime_error("other"); }));
    RecordTree answer("Orvel");
    answer.SetAttr("result", "targetExist");
    answer.AddValue("fileId", "9");
    RecordTree conflict;
    EXPECT_EQ(kTargetExists,
              MapFailure([&] { throw EXCEPT::RemoteConflict("X", "targetExist", kTargetExists, answer); }, &conflict));
    EXPECT_EQ("9", conflict.GetValue("fileId"));
    EXPECT_EQ(kTargetExists,
              MapFailure([&] { throw EXCEPT::RemoteConflict("X", "targetExist", kTargetExists, answer); }));
    EXPECT_EQ((std::vector<std::string>{"UFADownloadFailed|Raiser=Network", "UFADownloadFailed|Raiser=Network",
                                        "UFADownloadFailed|Raiser=BlockUploader::Perform|Detail=serverBusy"}),
              items.Lines());
    EXPECT_EQ((std::vector<std::string>{"dataitem,time,infotype,Raiser", "dataitem,time,infotype,Raiser",
                                        "dataitem,time,infotype,Raiser,Detail"}),
              items.Orders());
}

TEST_F(UploadWire, MissingBlockKeyIsAServerError) {
    omitKeys = true;
    InfoItems items;
    LogCapture log;
    EXPECT_EQ(kServerError, Upload(RandomBytes(100, 4)));
    EXPECT_TRUE(
        log.HasLine("Exception type=ServerError raised-in MetadataUploader::GetBlockKey "
                    "detail=Block key not returned - Block info: " +
                    MakeBlockId(100, Sha1Hex(RandomBytes(100, 4)))))
        << log.Text();
    EXPECT_EQ(std::vector<std::string>{"UFAUploadFailed|Raiser=MetadataUploader::GetBlockKey|Detail=Block key "
                                       "not returned - Block info: " +
                                       MakeBlockId(100, Sha1Hex(RandomBytes(100, 4)))},
              items.Lines());
    EXPECT_EQ(0, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
}

TEST_F(UploadWire, ServerErrorsTwiceThenSuccess) {
    blockAnswers = {{200, R"({"result":"serverError"})"}, {200, R"({"code":"serverBusy"})"}};
    ASSERT_EQ(S_OK, Upload(RandomBytes(5000, 5)));
    EXPECT_EQ(3, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(1, fake.Count("/osvr/commit/"));
}

TEST_F(UploadWire, ThreeServerErrorsEndTheUpload) {
    blockAnswers = {{200, R"({"result":"serverError"})"}, {200, "not json"}, {200, "{\"result\":\t\"ok\"}"}};
    EXPECT_EQ(kServerError, Upload(RandomBytes(5000, 6)));
    EXPECT_EQ(3, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
    EXPECT_TRUE(temp.Entries().empty());  // no block or encoded file left behind
}

TEST_F(UploadWire, HttpFailureOfABlockIsANetworkErrorWithoutRetry) {
    UseServiceRoot(fake.Root(), "NetworkRetries=0\n");  // Retries off: the first fault ends the transfer.
    blockAnswers = {{500, "{}"}};
    InfoItems items;
    EXPECT_EQ(kNetworkError, Upload(RandomBytes(5000, 7)));
    EXPECT_EQ(std::vector<std::string>{"UFAUploadFailed|Raiser=Network"}, items.Lines());
    EXPECT_EQ(1, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
    EXPECT_TRUE(temp.Entries().empty());
}

TEST_F(UploadWire, AnOverlongBlockAnswerIsRefusedAtTheTextCap) {
    UseServiceRoot(fake.Root(), "NetworkRetries=0\n");
    blockAnswers = {{200, std::string((32u << 20) + 1, ' ')}};
    LogCapture log;
    EXPECT_EQ(kNetworkError, Upload(RandomBytes(5000, 8)));
    EXPECT_TRUE(log.HasLine("Answer refused: more than 33554432 bytes")) << log.Text().substr(0, 4000);
    EXPECT_EQ(1, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
}

TEST_F(UploadWire, SessionErrorIsNotRetried) {
    requestAnswer = "<?xml version=\"1.0\"?><Orvel result=\"clientTokenExpired\"/>";
    EXPECT_EQ(static_cast<HRESULT>(0x80041014), Upload("x"));
    EXPECT_EQ(1, fake.Count("/osvr/requestUpload/"));
}

TEST_F(UploadWire, BlockServerOutsideHttpIsRefused) {
    requestAnswer = "<?xml version=\"1.0\"?><Orvel result=\"ok\"><stub>S1</stub><url>file:///tmp/</url></Orvel>";
    EXPECT_EQ(kServerError, Upload("x"));
    EXPECT_EQ(3, fake.Count("/osvr/requestUpload/"));
    EXPECT_EQ(0, fake.Count("/blk/uploadMetadata"));
}

TEST_F(UploadWire, NameConflictOnCommitFillsTheConflictTree) {
    commitAnswer = "<?xml version=\"1.0\"?><Orvel result=\"targetExist\"><fileId>F9</fileId></Orvel>";
    EXPECT_EQ(static_cast<HRESULT>(0x8004101A), Upload("abc"));
    EXPECT_EQ("F9", conflict.GetValue("fileId"));
    EXPECT_EQ("", fileId);
}

TEST_F(UploadWire, FileChangedAfterTheBlockListStopsBeforeCommit) {
    const std::string path = files.File("a.mp4");
    LogCapture log;
    EXPECT_EQ(E_FAIL, Upload(RandomBytes(4194305, 8), "a.mp4", nullptr, nullptr,
                             [&] { WriteFileBytes(path, RandomBytes(4194305, 9)); }));
    EXPECT_TRUE(log.HasLine("UFA_FILE::UploadFile Block 1 of " + path +
                            " no longer matches the block list (the file changed since the list "
                            "was made); upload stopped"))
        << log.Text();
    EXPECT_EQ(0, fake.Count("/blk/uploadBlock"));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
    EXPECT_TRUE(temp.Entries().empty());
    // A file that shrank is caught the same way.
    EXPECT_EQ(E_FAIL, Upload(RandomBytes(4194305, 8), "a.mp4", nullptr, nullptr,
                             [&] { WriteFileBytes(path, RandomBytes(4194300, 8)); }));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
}

TEST_F(UploadWire, CancelStopsAtTheNextTick) {
    ProgressLog before;
    before.cancelAfter = 0;  // cancelled before the transfer started
    EXPECT_EQ(kCancelled, Upload(RandomBytes(4194305, 10), "a.mp4", &ProgressLog::Callback, &before));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
    EXPECT_TRUE(bodies.empty());
    EXPECT_TRUE(temp.Entries().empty());

    ProgressLog midBlock;
    midBlock.cancelAfter = 1000000;
    EXPECT_EQ(kCancelled, Upload(RandomBytes(4194305, 11), "a.mp4", &ProgressLog::Callback, &midBlock));
    EXPECT_EQ(0, fake.Count("/osvr/commit/"));
    EXPECT_TRUE(temp.Entries().empty());
}

// The pool changes nothing on the wire: every request, its target and its
// body are the same with all work on the calling thread and with four workers.
TEST_F(UploadWire, WorkerCountLeavesTheWireByteIdentical) {
    const std::string bytes = TextBytes(2 * 4194304) + RandomBytes(4194304 + 1234, 12);
    std::vector<std::vector<LoopbackServer::Request>> runs;
    for (const char* workers : {"WorkerThreads=1\n", "WorkerThreads=4\n"}) {
        UseServiceRoot(fake.Root(), workers);
        const size_t before = fake.Requests().size();
        ASSERT_EQ(S_OK, Upload(bytes, "a.txt"));
        const auto all = fake.Requests();
        runs.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    }
    ASSERT_EQ(7u, runs[0].size());  // request, metadata, four blocks, commit
    ASSERT_EQ(runs[0].size(), runs[1].size());
    for (size_t i = 0; i < runs[0].size(); ++i) {
        EXPECT_EQ(runs[0][i].target, runs[1][i].target) << i;
        EXPECT_TRUE(runs[0][i].body == runs[1][i].body) << i;
        EXPECT_EQ(runs[0][i].version, runs[1][i].version) << i;
    }
    EXPECT_LT(bodies[1].size(), 1000000u);  // the text block went compressed
    EXPECT_EQ(bytes, Decode(bodies[1]) + Decode(bodies[2]) + Decode(bodies[3]) + Decode(bodies[4]));
}

// Compression only where it pays: an incompressible block whose name asks
// for LZMA goes plain (flags 0x02) at its own size plus header and padding;
// text goes compressed (0x03).
TEST_F(UploadWire, IncompressibleBlockIsStoredPlain) {
    const std::string random = RandomBytes(4194304, 13);
    ASSERT_EQ(S_OK, Upload(random, "a.bin"));
    ASSERT_EQ(static_cast<size_t>(64 + 4194304), bodies[1].size());
    EXPECT_EQ(0x02, bodies[1][5]);
    EXPECT_EQ(random, Decode(bodies[1]));
    const std::string text = TextBytes(300000);
    ASSERT_EQ(S_OK, Upload(text, "b.bin"));
    EXPECT_EQ(0x03, bodies[1][5]);
    EXPECT_LT(bodies[1].size(), text.size() / 4);
    EXPECT_EQ(text, Decode(bodies[1]));
}

// Speed is the rate of the last seconds, not the average since the start,
// and 0 before anything moved; done never goes back nor past the total.
TEST(TransferMeter, RecentRateAndMonotonicDone) {
    using namespace std::chrono;
    ufa::TransferMeter meter(nullptr, nullptr, true, 1000000);
    const auto t0 = steady_clock::now();
    EXPECT_EQ(0.0, meter.SpeedAt(t0, 0));
    double done = 0;
    for (int ms = 100; ms <= 10000; ms += 100) {
        done += ms <= 5000 ? 10 : 1000;  // 100 B/s, then 10,000 B/s
        meter.SpeedAt(t0 + milliseconds(ms), done);
    }
    EXPECT_NEAR(10000.0, meter.SpeedAt(t0 + milliseconds(10000), done), 500.0);

    std::vector<std::array<double, 5>> seen;
    ufa::TransferMeter figures(
        [](void* ctx, double a, double b, double c, double d, double e) -> HRESULT {
            static_cast<std::vector<std::array<double, 5>>*>(ctx)->push_back({a, b, c, d, e});
            return S_OK;
        },
        &seen, false, 1000);
    figures.AddPlain(300);                  // a held block
    figures.StartBlock(600, 100);           // 600 plain bytes, 100 on the wire
    EXPECT_EQ(S_OK, figures.Moved(50, 0));  // half of it: 300 + 300
    EXPECT_EQ(S_OK, figures.Moved(10, 0));  // a retry starts over: never back
    figures.FinishBlock();
    EXPECT_EQ(S_OK, figures.Report());
    figures.Finish();
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(600.0, seen[0][3]);
    EXPECT_EQ(600.0, seen[1][3]);
    EXPECT_EQ(900.0, seen[2][3]);
    EXPECT_EQ((std::array<double, 4>{0, 0, 1000, 1000}),
              (std::array<double, 4>{seen[3][0], seen[3][1], seen[3][2], seen[3][3]}));
}

}  // namespace
