// Uploads and downloads through the library against the service emulator.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_file.h"
#include "support/emulator_process.h"
#include "support/faulty_fs.h"
#include "test_support.h"

using namespace xfertest;

namespace {

constexpr HRESULT kServerError = static_cast<HRESULT>(0x80041011);
constexpr HRESULT kNetworkError = static_cast<HRESULT>(0x80044005);
constexpr HRESULT kCancelled = static_cast<HRESULT>(0x80041016);
constexpr HRESULT kTargetExists = static_cast<HRESULT>(0x8004101A);

// The record behind a progress handle: written by the transfer, polled and
// cancelled from another thread.
struct Progress {
    std::mutex lock;
    double total = 0, done = 0, speed = 0;
    bool cancelled = false;
    int calls = 0;

    static HRESULT Upload(void* ctx, double, double, double ulTotal, double ulNow, double speed) {
        return static_cast<Progress*>(ctx)->Update(ulTotal, ulNow, speed);
    }
    static HRESULT Download(void* ctx, double dlTotal, double dlNow, double, double, double speed) {
        return static_cast<Progress*>(ctx)->Update(dlTotal, dlNow, speed);
    }
    HRESULT Update(double t, double d, double s) {
        std::lock_guard<std::mutex> guard(lock);
        total = t;
        done = d;
        speed = s;
        ++calls;
        return cancelled ? E_FAIL : S_OK;
    }
    void Cancel() {
        std::lock_guard<std::mutex> guard(lock);
        cancelled = true;
    }
    std::pair<double, double> Query() {
        std::lock_guard<std::mutex> guard(lock);
        return {total, done};
    }
};

class EmulatorTransfer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!EmulatorAvailable()) return;
        emulator = std::make_unique<orvel::testsupport::EmulatorProcess>(ORVEL_EMULATOR_PATH);
        std::string error;
        if (emulator->Start({}, error))
            token = emulator->Login();
        else
            std::fprintf(stderr, "orvel-emulator did not start: %s\n", error.c_str());
    }
    static void TearDownTestSuite() { emulator.reset(); }

    void SetUp() override {
        if (!emulator || !emulator->Running() || token.empty()) GTEST_SKIP() << "orvel-emulator is not available";
        UseServiceRoot(emulator->HostPort());
        emulator->ClearFaults();
    }

    // Uploads `path` (whose contents are already written) into the root folder.
    HRESULT UploadPath(const std::string& path, const std::string& name, std::string& id, std::string& ver,
                       const std::string& baseId = "", const std::string& baseVer = "0",
                       ProgressCallback callback = nullptr, void* context = nullptr) {
        std::vector<BlockRecord> blocks;
        std::string sha1;
        EXPECT_EQ(S_OK, BuildBlockList(path, blocks, sha1));
        UploadRequest request =
            NewUpload(token, name, path, FileSizeOf(path), blocks, sha1, temp.Path(), callback, context);
        request.fileId = baseId;
        request.fileVer = baseVer;
        TransferResult result;
        const HRESULT hr = UploadFileGuarded(request, result);
        if (hr == S_OK) {  // the caller's id and version change only with a committed upload
            id = result.fileId;
            ver = result.fileVer;
        }
        conflict = result.conflict;
        return hr;
    }

    HRESULT Upload(const std::string& bytes, const std::string& name, std::string& id, std::string& ver,
                   const std::string& baseId = "", const std::string& baseVer = "0",
                   ProgressCallback callback = nullptr, void* context = nullptr) {
        const std::string path = files.File(name);
        WriteFileBytes(path, bytes);
        return UploadPath(path, name, id, ver, baseId, baseVer, callback, context);
    }

    HRESULT Download(const std::string& id, const std::string& target, bool previous = false,
                     ProgressCallback callback = nullptr, void* context = nullptr) {
        TransferResult result;
        const HRESULT hr = DownloadGuarded(DownloadOf(id, target, previous, callback, context), result);
        modTime = result.modTime;
        sha1 = result.sha1;
        fileVer = result.fileVer;
        opVer = result.opVer;
        return hr;
    }

    DownloadRequest DownloadOf(const std::string& id, const std::string& target, bool previous = false,
                               ProgressCallback callback = nullptr, void* context = nullptr) const {
        return DownloadRequest{.token = token,
                               .fileId = id,
                               .targetPath = target,
                               .tempFolder = temp.Path(),
                               .previousVersion = previous,
                               .callback = callback,
                               .context = context};
    }

    static int64_t FileSizeOf(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }

    static std::string UniqueName(const std::string& ext) {
        static int n = 0;
        return "f" + std::to_string(::getpid()) + "_" + std::to_string(++n) + ext;
    }

    static std::unique_ptr<orvel::testsupport::EmulatorProcess> emulator;
    static std::string token;
    TempDir files, temp, out;
    RecordTree conflict;
    std::string modTime, sha1, fileVer;
    int32_t opVer = -1;
};

std::unique_ptr<orvel::testsupport::EmulatorProcess> EmulatorTransfer::emulator;
std::string EmulatorTransfer::token;

TEST_F(EmulatorTransfer, RoundTripsOfEveryShape) {
    struct Case {
        std::string bytes, ext;
    };
    const std::vector<Case> cases = {
        {"", ".bin"},
        {"x", ".bin"},
        {RandomBytes(4194304, 31), ".mp4"},
        {RandomBytes(4194305, 32), ".mp4"},
        {TextBytes(6000000), ".txt"},
        {RandomBytes(5000000, 33), ".txt"},
    };
    for (const Case& c : cases) {
        const std::string name = UniqueName(c.ext);
        std::string id, ver;
        ASSERT_EQ(S_OK, Upload(c.bytes, name, id, ver)) << c.bytes.size();
        EXPECT_FALSE(id.empty());
        const std::string target = out.File(name);
        ASSERT_EQ(S_OK, Download(id, target)) << c.bytes.size();
        EXPECT_EQ(c.bytes.size(), ReadFileBytes(target).size());
        EXPECT_TRUE(c.bytes == ReadFileBytes(target)) << c.bytes.size();
        EXPECT_EQ(Sha1Hex(c.bytes), sha1);
        EXPECT_EQ(ver, fileVer);
        EXPECT_TRUE(temp.Entries().empty());
    }
}

TEST_F(EmulatorTransfer, NewVersionAndThePreviousOneBack) {
    const std::string name = UniqueName(".txt");
    const std::string v1 = TextBytes(10000), v2 = RandomBytes(4194400, 34);
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload(v1, name, id, ver));
    std::string id2, ver2;
    ASSERT_EQ(S_OK, Upload(v2, name, id2, ver2, id, ver));
    EXPECT_EQ(id, id2);
    EXPECT_NE(ver, ver2);
    ASSERT_EQ(S_OK, Download(id, out.File("current")));
    EXPECT_TRUE(v2 == ReadFileBytes(out.File("current")));
    ASSERT_EQ(S_OK, Download(id, out.File("previous"), true));
    EXPECT_TRUE(v1 == ReadFileBytes(out.File("previous")));
    EXPECT_EQ(ver, fileVer);
}

TEST_F(EmulatorTransfer, NameConflictReportsTheExistingId) {
    const std::string name = UniqueName(".txt");
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload("first", name, id, ver));
    std::string id2 = "unset", ver2;
    EXPECT_EQ(kTargetExists, Upload("second", name, id2, ver2));
    EXPECT_EQ(id, conflict.GetValue("fileId"));
}

TEST_F(EmulatorTransfer, SecondUploadOfTheSameBytesSendsNoBlocks) {
    const std::string bytes = RandomBytes(4194304 + 4096, 35);
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id, ver));
    // Retries off and every block request refused: the second upload only
    // succeeds if it sends no block.
    UseServiceRoot(emulator->HostPort(), "NetworkRetries=0\n");
    ASSERT_TRUE(emulator->AddFault(R"({"path":"uploadBlock","status":500})"));
    Progress progress;
    std::string id2, ver2;
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id2, ver2, "", "0", &Progress::Upload, &progress));
    emulator->ClearFaults();
    EXPECT_GE(progress.calls, 1);  // the commit's reports and the closing one
    EXPECT_EQ(static_cast<double>(bytes.size()), progress.Query().second);
    EXPECT_NE(id, id2);
    ASSERT_EQ(S_OK, Download(id2, out.File("copy")));
    EXPECT_TRUE(bytes == ReadFileBytes(out.File("copy")));
}

TEST_F(EmulatorTransfer, ServerErrorsTwiceThenSuccessThreeTimesFail) {
    UseServiceRoot(emulator->HostPort(), "NetworkRetries=0\n");  // Retries off: the first fault ends the transfer.
    ASSERT_TRUE(emulator->AddFault(R"({"path":"uploadBlock","times":2,"result":"serverError"})"));
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload(TextBytes(3000), UniqueName(".txt"), id, ver));
    ASSERT_TRUE(emulator->AddFault(R"({"path":"uploadBlock","times":3,"result":"serverError"})"));
    EXPECT_EQ(kServerError, Upload(TextBytes(3001), UniqueName(".txt"), id, ver));
    EXPECT_TRUE(temp.Entries().empty());

    ASSERT_TRUE(emulator->AddFault(R"({"path":"downloadBlock2","times":2,"status":500})"));
    ASSERT_EQ(S_OK, Download(id, out.File("a")));
    WriteFileBytes(out.File("b"), "keep");
    ASSERT_TRUE(emulator->AddFault(R"({"path":"downloadBlock2","times":3,"status":500})"));
    EXPECT_EQ(kServerError, Download(id, out.File("b")));
    EXPECT_EQ("keep", ReadFileBytes(out.File("b")));
}

TEST_F(EmulatorTransfer, DroppedConnectionsAndCorruptedBlocks) {
    UseServiceRoot(emulator->HostPort(), "NetworkRetries=0\n");  // Retries off: the first fault ends the transfer.
    const std::string bytes = RandomBytes(2 * 4194304 + 77, 36);
    std::string id, ver;
    ASSERT_TRUE(emulator->AddFault(R"({"path":"uploadBlock","drop":true})"));
    EXPECT_EQ(kNetworkError, Upload(bytes, UniqueName(".mp4"), id, ver));
    EXPECT_TRUE(temp.Entries().empty());
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id, ver));

    const std::string target = out.File("t");
    WriteFileBytes(target, "keep");
    ASSERT_TRUE(emulator->AddFault(R"({"path":"blk1/downloadBlock2","drop":true})"));
    EXPECT_EQ(kNetworkError, Download(id, target));
    EXPECT_EQ("keep", ReadFileBytes(target));

    // A corrupted block is dropped; the others are kept for the rerun.
    emulator->ClearFaults();
    ASSERT_TRUE(emulator->AddFault(R"({"path":"downloadBlock2","corrupt":true})"));
    EXPECT_EQ(kNetworkError, Download(id, target));
    EXPECT_EQ("keep", ReadFileBytes(target));
    EXPECT_EQ(2u, temp.Entries().size());  // the two good blocks, as done files
    ASSERT_EQ(S_OK, Download(id, target));
    EXPECT_TRUE(bytes == ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());
}

// A full disk while a fetched block is kept in the temporary folder, then
// while the file is put together beside the target: both fail, the target
// keeps the user's bytes, nothing half written stays, and a rerun finishes.
TEST_F(EmulatorTransfer, FullDiskWhileKeepingBlocksOrAssemblingKeepsTheTarget) {
    const std::string bytes = RandomBytes(2 * 4194304 + 77, 37);
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id, ver));
    const std::string target = out.File("t");
    WriteFileBytes(target, "keep");
    {
        LogCapture log;
        orvel::testsupport::FaultyFileSystem fs;
        fs.FailWrites(temp.Path() + "/", 1000);
        EXPECT_EQ(E_FAIL, Download(id, target));
        EXPECT_GE(fs.WriteFaults(), 1);
        EXPECT_EQ(1u, log.Count("UFA_FILE::Download Block 1 not kept: writing it failed (errno 28)"));
        EXPECT_EQ("keep", ReadFileBytes(target));
        EXPECT_EQ(std::vector<std::string>{"t"}, out.Entries());
        // No claim and no partial block: at most the short last block, which fitted, done.
        for (const std::string& name : temp.Entries()) {
            EXPECT_EQ(".done", name.substr(name.size() - 5)) << name;
            EXPECT_EQ(77u, ReadFileBytes(temp.File(name)).size()) << name;
        }
    }
    {
        LogCapture log;
        orvel::testsupport::FaultyFileSystem fs;
        fs.FailWrites(out.Path() + "/", 4194304 + 1000);  // within the second block
        EXPECT_EQ(E_FAIL, Download(id, target));
        EXPECT_GE(fs.WriteFaults(), 1);
        EXPECT_EQ(1u, log.Count("Exception type=FileWriteError raised-in FileWriter::Write detail=Append block"));
        EXPECT_EQ("keep", ReadFileBytes(target));
        EXPECT_EQ(std::vector<std::string>{"t"}, out.Entries());
        EXPECT_EQ(3u, temp.Entries().size());  // the blocks, as done files, for the rerun
    }
    ASSERT_EQ(S_OK, Download(id, target));
    EXPECT_TRUE(bytes == ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());
}

// The assembled file cannot take the target's place: the target keeps the
// user's bytes and the assembled file goes.
TEST_F(EmulatorTransfer, FailedFinalRenameKeepsTheTarget) {
    const std::string bytes = RandomBytes(4194304 + 77, 38);
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id, ver));
    const std::string target = out.File("t");
    WriteFileBytes(target, "keep");
    LogCapture log;
    orvel::testsupport::FaultyFileSystem fs;
    fs.FailRenames(target);
    EXPECT_EQ(E_FAIL, Download(id, target));
    EXPECT_EQ(1, fs.RenameFaults());
    EXPECT_EQ(
        1u, log.Count("Exception type=FileWriteError raised-in FileWriter::FileWriter detail=Create file: " + target));
    EXPECT_EQ("keep", ReadFileBytes(target));
    EXPECT_EQ(std::vector<std::string>{"t"}, out.Entries());
}

// Writes that take a few kilobytes at a time still give the whole file.
TEST_F(EmulatorTransfer, ShortWritesAssembleTheSameFile) {
    const std::string bytes = RandomBytes(4194304 + 5000, 39);
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id, ver));
    orvel::testsupport::FaultyFileSystem fs;
    fs.ShortWrites(65536 + 7);
    ASSERT_EQ(S_OK, Download(id, out.File("t")));
    EXPECT_GT(fs.ShortWritesMade(), 60);  // the blocks kept and the file assembled, each in pieces
    EXPECT_TRUE(bytes == ReadFileBytes(out.File("t")));
    EXPECT_TRUE(temp.Entries().empty());
}

// Every figure a transfer hands its callback, with the time it came.
struct Ticks {
    struct Tick {
        std::chrono::steady_clock::time_point at;
        double total, done, speed;
    };
    std::mutex lock;
    std::vector<Tick> ticks;
    std::atomic<bool> cancelled{false};
    std::chrono::steady_clock::time_point cancelledAt;
    bool download = false;

    static HRESULT Upload(void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow, double speed) {
        EXPECT_EQ(0.0, dlTotal + dlNow);
        return static_cast<Ticks*>(ctx)->Add(ulTotal, ulNow, speed);
    }
    static HRESULT Download(void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow, double speed) {
        EXPECT_EQ(0.0, ulTotal + ulNow);
        static_cast<Ticks*>(ctx)->download = true;
        return static_cast<Ticks*>(ctx)->Add(dlTotal, dlNow, speed);
    }
    HRESULT Add(double total, double done, double speed) {
        std::lock_guard<std::mutex> guard(lock);
        ticks.push_back({std::chrono::steady_clock::now(), total, done, speed});
        return cancelled ? E_FAIL : S_OK;
    }
    void Cancel() {
        cancelledAt = std::chrono::steady_clock::now();
        cancelled = true;
    }
    double Done() {
        std::lock_guard<std::mutex> guard(lock);
        return ticks.empty() ? 0 : ticks.back().done;
    }
    // Done never goes back nor past the total, and ends at `expectEnd`. A
    // download tells 0 of 0 until its block list gives the size.
    void ExpectPlainBytes(double size, double expectEnd) {
        ASSERT_FALSE(ticks.empty()) << size;
        double last = 0;
        bool listed = !download;
        for (const Tick& t : ticks) {
            listed = listed || t.total != 0;
            if (!listed) {
                EXPECT_EQ(0.0, t.done);
                EXPECT_EQ(0.0, t.speed);
                continue;
            }
            EXPECT_EQ(size, t.total);
            EXPECT_GE(t.done, last) << size;
            EXPECT_LE(t.done, size);
            EXPECT_GE(t.speed, 0.0);
            last = t.done;
        }
        EXPECT_EQ(expectEnd, ticks.back().done) << size;
    }
};

TEST_F(EmulatorTransfer, DoneCountsPlainBytesAndEndsAtTheTotal) {
    const std::string text = TextBytes(10388890);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {text, ".txt"},                            // compressible: blocks far smaller on the wire
        {RandomBytes(4194304 + 999, 41), ".bin"},  // incompressible
        {"", ".txt"},
        {"z", ".txt"},
    };
    for (const auto& [bytes, ext] : cases) {
        const double size = static_cast<double>(bytes.size());
        Ticks up;
        std::string id, ver;
        ASSERT_EQ(S_OK, Upload(bytes, UniqueName(ext), id, ver, "", "0", &Ticks::Upload, &up));
        up.ExpectPlainBytes(size, size);
        Ticks down;
        ASSERT_EQ(S_OK, Download(id, out.File("t" + ext), false, &Ticks::Download, &down));
        down.ExpectPlainBytes(size, size);
        // Deduplicated: the same bytes again send no block and still end done.
        Ticks again;
        ASSERT_EQ(S_OK, Upload(bytes, UniqueName(ext), id, ver, "", "0", &Ticks::Upload, &again));
        again.ExpectPlainBytes(size, size);
    }
}

TEST_F(EmulatorTransfer, DownloadsSharingATemporaryFolderAllSucceed) {
    // Two files of the same content: their blocks share identifiers and so
    // done-file names in the one temporary folder.
    const std::string bytes = RandomBytes(3 * 4194304 + 77, 42);
    std::string id1, id2, ver;
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id1, ver));
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id2, ver));
    std::vector<HRESULT> results(8, E_FAIL);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            TransferResult result;
            results[i] = DownloadGuarded(DownloadOf(i % 2 ? id1 : id2, out.File("copy" + std::to_string(i))), result);
        });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(S_OK, results[i]) << i;
        EXPECT_TRUE(bytes == ReadFileBytes(out.File("copy" + std::to_string(i)))) << i;
    }
    EXPECT_TRUE(temp.Entries().empty());
}

// With the default speed caps a block is in flight long enough for another
// thread to watch it and cancel it.
class CappedEmulatorTransfer : public EmulatorTransfer {
protected:
    void SetUp() override {
        EmulatorTransfer::SetUp();
        if (IsSkipped()) return;
        WriteFileBytes(settings.Path() + "/s.ini", "[Tavik]\nServerRoot=" + emulator->HostPort() + "\n");
        ::setenv("ORVEL_SETTINGS_FILE", (settings.Path() + "/s.ini").c_str(), 1);
    }
    TempDir settings;
};

TEST_F(CappedEmulatorTransfer, ProgressSeenFromAnotherThreadAndCancelMidBlock) {
    const std::string bytes = RandomBytes(400000, static_cast<uint32_t>(::getpid()));
    Progress progress;
    std::vector<std::pair<double, double>> seen;
    std::atomic<bool> finished{false};
    // Samples the progress in real time, as an application's other thread would.
    std::thread watcher([&] {
        while (!finished) {
            seen.push_back(progress.Query());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::string id, ver;
    const HRESULT hr = Upload(bytes, UniqueName(".mp4"), id, ver, "", "0", &Progress::Upload, &progress);
    finished = true;
    watcher.join();
    ASSERT_EQ(S_OK, hr);
    const std::string firstId = id;
    double last = 0;
    int moving = 0;
    for (const auto& [total, done] : seen) {
        if (total == 0) continue;
        EXPECT_EQ(400000.0, total);
        EXPECT_GE(done, last);
        EXPECT_LE(done, 400000.0 + 64 + 16);  // the encoded block carries a header and padding
        moving += done > 0 && done < total;
        last = done;
    }
    EXPECT_GT(moving, 0);

    // Cancelled from another thread once the block is on its way.
    Progress cancel;
    std::atomic<bool> over{false};
    std::thread canceller([&] {
        while (!over && cancel.Query().second <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        cancel.Cancel();
    });
    const HRESULT cancelled =
        Upload(RandomBytes(400000, 39), UniqueName(".mp4"), id, ver, "", "0", &Progress::Upload, &cancel);
    over = true;
    canceller.join();
    EXPECT_EQ(kCancelled, cancelled);
    EXPECT_TRUE(temp.Entries().empty());

    // Cancelled before the start: stops at the first tick, upload and download alike.
    Progress before;
    before.Cancel();
    EXPECT_EQ(kCancelled,
              Upload(RandomBytes(100000, 40), UniqueName(".mp4"), id, ver, "", "0", &Progress::Upload, &before));
    const std::string target = out.File("t");
    WriteFileBytes(target, "keep");
    EXPECT_EQ(kCancelled, Download(firstId, target, false, &Progress::Download, &before));
    EXPECT_EQ("keep", ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());
}

// Under a 200 kB/s cap the callback still runs at least every 250 ms (the
// pacing itself ticks), a cancel from another thread lands within 0.5 s, and
// the speed is the rate of the cap.
class SlowEmulatorTransfer : public EmulatorTransfer {
protected:
    void SetUp() override {
        EmulatorTransfer::SetUp();
        if (IsSkipped()) return;
        WriteFileBytes(settings.Path() + "/s.ini",
                       "[Tavik]\nServerRoot=" + emulator->HostPort() + "\nUploadSpeed=200000\nDownloadSpeed=200000\n");
        ::setenv("ORVEL_SETTINGS_FILE", (settings.Path() + "/s.ini").c_str(), 1);
    }

    // Runs `transfer` with `ticks` as its record; cancels it from another
    // thread after `cancelAfter` plain bytes (negative: never).
    HRESULT Watch(Ticks& ticks, double cancelAfter, const std::function<HRESULT()>& transfer,
                  std::chrono::steady_clock::time_point& ended) {
        std::atomic<bool> over{false};
        std::thread canceller([&] {
            while (!over && (cancelAfter < 0 || ticks.Done() < cancelAfter))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!over) ticks.Cancel();
        });
        const HRESULT hr = transfer();
        ended = std::chrono::steady_clock::now();
        over = true;
        canceller.join();
        return hr;
    }

    static void ExpectSteadyTicks(const Ticks& ticks) {
        ASSERT_GT(ticks.ticks.size(), 4u);
        for (size_t i = 1; i < ticks.ticks.size(); ++i)
            EXPECT_LE(ticks.ticks[i].at - ticks.ticks[i - 1].at, std::chrono::milliseconds(250)) << i;
    }

    TempDir settings;
};

TEST_F(SlowEmulatorTransfer, TicksEveryQuarterSecondAndCancelsWithinHalfASecond) {
    const std::string bytes = RandomBytes(500000, 43);
    std::string id, ver;
    std::chrono::steady_clock::time_point ended;
    // Upload: steady ticks all the way, the speed near the cap.
    Ticks up;
    ASSERT_EQ(
        S_OK,
        Watch(
            up, -1, [&] { return Upload(bytes, UniqueName(".mp4"), id, ver, "", "0", &Ticks::Upload, &up); }, ended));
    up.ExpectPlainBytes(500000, 500000);
    ExpectSteadyTicks(up);
    const double upSpeed = up.ticks[up.ticks.size() / 2].speed;
    EXPECT_GT(upSpeed, 100000.0);
    EXPECT_LT(upSpeed, 400000.0);

    Ticks down;
    ASSERT_EQ(S_OK, Watch(
                        down, -1, [&] { return Download(id, out.File("t"), false, &Ticks::Download, &down); }, ended));
    down.ExpectPlainBytes(500000, 500000);
    ExpectSteadyTicks(down);
    const double downSpeed = down.ticks[down.ticks.size() / 2].speed;
    EXPECT_GT(downSpeed, 100000.0);
    EXPECT_LT(downSpeed, 400000.0);

    // Cancelled from another thread mid-block: over within half a second.
    Ticks upCancel;
    std::string id2, ver2;
    EXPECT_EQ(kCancelled, Watch(
                              upCancel, 100000,
                              [&] {
                                  return Upload(RandomBytes(500000, 44), UniqueName(".mp4"), id2, ver2, "", "0",
                                                &Ticks::Upload, &upCancel);
                              },
                              ended));
    EXPECT_LE(ended - upCancel.cancelledAt, std::chrono::milliseconds(500));
    Ticks downCancel;
    const std::string target = out.File("kept");
    WriteFileBytes(target, "keep");
    EXPECT_EQ(kCancelled, Watch(
                              downCancel, 100000,
                              [&] { return Download(id, target, false, &Ticks::Download, &downCancel); }, ended));
    EXPECT_LE(ended - downCancel.cancelledAt, std::chrono::milliseconds(500));
    EXPECT_EQ("keep", ReadFileBytes(target));
    EXPECT_TRUE(temp.Entries().empty());  // the block in flight never became a done file
}

// A slow commit still ticks, and a cancel during it lands within half a second.
TEST_F(SlowEmulatorTransfer, ASlowCommitTicksAndCancels) {
    ASSERT_TRUE(emulator->AddFault(R"({"path":"commit","delayMs":1500})"));
    const std::string bytes = RandomBytes(100000, 45);
    std::string id, ver;
    std::chrono::steady_clock::time_point ended;
    Ticks slow;
    ASSERT_EQ(S_OK,
              Watch(
                  slow, -1, [&] { return Upload(bytes, UniqueName(".mp4"), id, ver, "", "0", &Ticks::Upload, &slow); },
                  ended));
    ExpectSteadyTicks(slow);
    ASSERT_TRUE(emulator->AddFault(R"({"path":"commit","delayMs":1500})"));
    Ticks cancelled;
    std::string id2, ver2;
    EXPECT_EQ(kCancelled, Watch(
                              cancelled, 100000,
                              [&] {
                                  return Upload(RandomBytes(100000, 46), UniqueName(".mp4"), id2, ver2, "", "0",
                                                &Ticks::Upload, &cancelled);
                              },
                              ended));
    EXPECT_LE(ended - cancelled.cancelledAt, std::chrono::milliseconds(500));
}

// The slow requests before the block list is known tick as steadily (nothing
// done yet: 0 of the file's size going up, 0 of 0 coming down) and a cancel
// during them lands within half a second, long before the answer would.
TEST_F(SlowEmulatorTransfer, SlowRequestsBeforeTheBlockListTickAndCancel) {
    constexpr auto kDelay = std::chrono::milliseconds(1200);
    const std::string bytes = RandomBytes(20000, 47);
    std::string id, ver;
    ASSERT_EQ(S_OK, Upload(bytes, UniqueName(".mp4"), id, ver));
    const std::string target = out.File("kept");
    for (const char* path : {"requestUpload", "uploadMetadata", "requestDownload/", "downloadMetadata2"}) {
        SCOPED_TRACE(path);
        const bool download = std::string_view(path).find("ownload") != std::string_view::npos;
        const std::string delay =
            std::string(R"({"path":")") + path + R"(","delayMs":)" + std::to_string(kDelay.count()) + "}";
        using Clock = std::chrono::steady_clock;
        Clock::time_point started, ended;
        // Cancels from another thread `after` the start (never: no cancel).
        auto run = [&](Ticks& ticks, Clock::duration after) {
            std::atomic<bool> over{false};
            started = Clock::now();
            std::thread canceller([&] {
                while (!over && Clock::now() - started < after)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (!over) ticks.Cancel();
            });
            std::string id2, ver2;
            const HRESULT hr = download ? Download(id, target, false, &Ticks::Download, &ticks)
                                        : Upload(bytes, UniqueName(".mp4"), id2, ver2, "", "0", &Ticks::Upload, &ticks);
            ended = Clock::now();
            over = true;
            canceller.join();
            return hr;
        };

        ASSERT_TRUE(emulator->AddFault(delay));
        Ticks slow;
        ASSERT_EQ(S_OK, run(slow, Clock::duration::max()));
        ExpectSteadyTicks(slow);
        EXPECT_LE(slow.ticks.front().at - started, std::chrono::milliseconds(250));
        slow.ExpectPlainBytes(20000, 20000);
        // Every report before the slow answer could have come is an early one.
        int early = 0;
        for (const Ticks::Tick& t : slow.ticks) {
            if (t.at - started >= kDelay) break;
            ++early;
            EXPECT_EQ(download ? 0.0 : 20000.0, t.total);
            EXPECT_EQ(0.0, t.done);
            EXPECT_EQ(0.0, t.speed);
        }
        EXPECT_GE(early, 4);

        ASSERT_TRUE(emulator->AddFault(delay));
        WriteFileBytes(target, "keep");
        Ticks cancelled;
        LogCapture log;
        EXPECT_EQ(kCancelled, run(cancelled, std::chrono::milliseconds(300)));
        EXPECT_TRUE(cancelled.cancelled);
        EXPECT_LE(ended - cancelled.cancelledAt, std::chrono::milliseconds(500));
        EXPECT_LT(ended - started, kDelay);
        EXPECT_EQ("keep", ReadFileBytes(target));
        EXPECT_TRUE(temp.Entries().empty());
        // The lines of any cancelled text request: its URL (no token in it), the exception.
        const std::string text = log.Text();
        const size_t failed = text.find("CHECK_BOOL:curlRet == CURLE_OK MSG: http://");
        ASSERT_NE(std::string::npos, failed) << text;
        EXPECT_NE(std::string::npos, text.substr(failed, text.find('\n', failed) - failed).find(path)) << text;
        EXPECT_EQ(1u, log.Count("CHECK_BOOL:curlRet == CURLE_OK MSG: "));
        EXPECT_TRUE(log.HasLine("Exception type=TaskCancel raised-in CurlWrapper::RequestPost")) << text;
        EXPECT_EQ(0u, log.Count("Retrying"));
        EXPECT_EQ(0u, log.Count(token));
    }
}

}  // namespace
