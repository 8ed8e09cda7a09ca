// Upload, update and download through the exports against the emulator,
// with progress read and cancels sent from another thread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "test_util.h"

namespace {

class TransferTest : public EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        session = SignIn();
        ASSERT_EQ(ORVEL_CreateProgress(&progress), S_OK);
    }
    void TearDown() override { ORVEL_DestroyProgress(progress); }

    std::string WriteRandomFile(const std::string& name, size_t size, uint32_t seed) {
        std::mt19937 gen(seed);
        std::string data(size, '\0');
        for (auto& c : data) c = static_cast<char>(gen());
        const std::string path = temp.File(name);
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        return path;
    }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    HRESULT Upload(const std::string& parent, const std::string& name, const std::string& path, Bstr& id) {
        return ORVEL_Upload(W(session.token).c_str(), W(parent).c_str(), W(name).c_str(), W(path).c_str(),
                            W(temp.Path()).c_str(), &id, progress);
    }
    HRESULT Download(const std::string& id, const std::string& target, bool previous = false) {
        // The modify time, SHA-1 and version only serve the argument checks.
        return ORVEL_Download(W(session.token).c_str(), W(id).c_str(), u"2000-01-01 00:00:00", W(target).c_str(),
                              u"unused", u"1", W(temp.Path()).c_str(), previous ? 1 : 0, progress);
    }

    TempDir temp;
    Session session;
    ORVEL_PROGRESS progress = nullptr;
};

TEST_F(TransferTest, RoundTripsOfSeveralSizes) {
    const std::string folder = MakeFolder(session, "0", "round-trips");
    for (size_t size : {size_t{0}, size_t{1}, size_t{4194304}, size_t{4194305}}) {
        SCOPED_TRACE(size);
        const std::string name = "file-" + std::to_string(size) + ".mp4";
        const std::string path = WriteRandomFile(name, size, static_cast<uint32_t>(size) + 7);
        Bstr id;
        ASSERT_EQ(Upload(folder, name, path, id), S_OK);
        ASSERT_FALSE(id.str().empty());
        const std::string back = temp.File("back-" + name);
        ASSERT_EQ(Download(id.str(), back), S_OK);
        EXPECT_EQ(ReadFile(back), ReadFile(path));
    }
    ORVEL_FILELIST h = nullptr;
    ASSERT_EQ(ORVEL_EnumFiles(W(session.token).c_str(), W(folder).c_str(), &h), S_OK);
    int count = 0;
    ASSERT_EQ(ORVEL_GetFilesNum(h, &count), S_OK);
    EXPECT_EQ(count, 4);
    int64_t largest = 0;
    for (unsigned i = 0; i < static_cast<unsigned>(count); ++i) {
        int type = -1, size = -1;
        int64_t size64 = -1;
        Bstr sha1;
        ASSERT_EQ(ORVEL_GetFileType(h, i, &type), S_OK);
        ASSERT_EQ(ORVEL_GetFileSize(h, i, &size), S_OK);
        ASSERT_EQ(ORVEL_GetFileSize64(h, i, &size64), S_OK);
        ASSERT_EQ(ORVEL_GetFileSha1(h, i, &sha1), S_OK);
        EXPECT_EQ(type, 1);
        EXPECT_EQ(size, size64);
        EXPECT_EQ(sha1.str().size(), 40u);
        largest = std::max(largest, size64);
    }
    EXPECT_EQ(largest, 4194305);
    ORVEL_DestoryFiles(h);
}

TEST_F(TransferTest, CompressibleTextRoundTrip) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i % 97) + " of a very repetitive text\n";
    const std::string path = temp.File("notes.txt");
    std::ofstream(path, std::ios::binary) << text;
    Bstr id;
    ASSERT_EQ(Upload("0", "notes.txt", path, id), S_OK);
    const std::string back = temp.File("notes-back.txt");
    ASSERT_EQ(Download(id.str(), back), S_OK);
    EXPECT_EQ(ReadFile(back), text);
}

TEST_F(TransferTest, ModifyTimeIsSentInLocalTimeToTheSecond) {
    const std::string path = WriteRandomFile("dated.mp4", 100, 9);
    struct tm local {};
    local.tm_year = 2011 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 2;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 3;
    local.tm_isdst = -1;
    const timespec times[2] = {{std::mktime(&local), 123456700}, {std::mktime(&local), 123456700}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const std::string folder = MakeFolder(session, "0", "dated");
    Bstr id;
    ASSERT_EQ(Upload(folder, "dated.mp4", path, id), S_OK);
    ORVEL_FILELIST h = nullptr;
    ASSERT_EQ(ORVEL_EnumFiles(W(session.token).c_str(), W(folder).c_str(), &h), S_OK);
    Bstr modTime;
    EXPECT_EQ(ORVEL_GetModifyTime(h, 0, &modTime), S_OK);
    EXPECT_EQ(modTime.str(), "2011-03-02 09:05:03");
    ORVEL_DestoryFiles(h);
}

TEST_F(TransferTest, NameConflictReportsTheExistingId) {
    const std::string path = WriteRandomFile("same.bin", 1000, 1);
    Bstr first;
    ASSERT_EQ(Upload("0", "same.bin", path, first), S_OK);
    const std::string other = WriteRandomFile("other.bin", 2000, 2);
    Bstr second;
    EXPECT_EQ(Upload("0", "same.bin", other, second), E_OV_TARGET_EXISTS);
    EXPECT_EQ(second.str(), first.str());
}

TEST_F(TransferTest, UpdateMakesANewVersionAndThePreviousStaysReachable) {
    const std::string v1 = WriteRandomFile("doc-v1.bin", 5000, 11);
    Bstr id;
    ASSERT_EQ(Upload("0", "doc.bin", v1, id), S_OK);
    const std::string v2 = WriteRandomFile("doc-v2.bin", 7000, 12);
    ASSERT_EQ(ORVEL_Update(W(session.token).c_str(), id.get(), W(v2).c_str(), W(temp.Path()).c_str(), progress), S_OK);

    const std::string current = temp.File("current.bin");
    const std::string previous = temp.File("previous.bin");
    ASSERT_EQ(Download(id.str(), current), S_OK);
    ASSERT_EQ(Download(id.str(), previous, true), S_OK);
    EXPECT_EQ(ReadFile(current), ReadFile(v2));
    EXPECT_EQ(ReadFile(previous), ReadFile(v1));
}

TEST_F(TransferTest, FailuresLeaveTargetAndIdAlone) {
    const std::string target = temp.File("keep.txt");
    std::ofstream(target) << "precious";
    EXPECT_LT(Download("987654321", target), 0);
    EXPECT_EQ(ReadFile(target), "precious");
    // A real file into a folder that does not exist.
    const std::string small = WriteRandomFile("small.mp4", 10, 8);
    Bstr smallId;
    ASSERT_EQ(Upload("0", "small.mp4", small, smallId), S_OK);
    EXPECT_LT(Download(smallId.str(), temp.File("no/such/folder/small.mp4")), 0);

    const std::string path = WriteRandomFile("x.bin", 10, 3);
    BSTR id = nullptr;
    EXPECT_LT(ORVEL_Upload(u"bad-token", u"0", u"x.bin", W(path).c_str(), W(temp.Path()).c_str(), &id, progress), 0);
    EXPECT_EQ(id, nullptr);
}

TEST_F(TransferTest, CancelBeforeStartStopsEveryLaterTransfer) {
    const std::string path = WriteRandomFile("cancel-first.bin", 100000, 4);
    ASSERT_EQ(ORVEL_CancelTransport(progress), S_OK);
    BSTR id = nullptr;
    EXPECT_EQ(ORVEL_Upload(W(session.token).c_str(), u"0", u"cancel-first.bin", W(path).c_str(), W(temp.Path()).c_str(),
                           &id, progress),
              E_OV_CANCELLED);
    EXPECT_EQ(id, nullptr);
}

TEST_F(TransferTest, ProgressFromAnotherThreadAndCancelMidTransfer) {
    constexpr size_t kSize = 3 * 4194304 + 12345;
    const std::string path = WriteRandomFile("big.mp4", kSize, 5);

    // A whole upload, watched from another thread.
    std::atomic<bool> running{true};
    double maxDone = 0, lastTotal = 0;
    std::thread watcher([&] {
        while (running) {
            double total = 0, done = 0, speed = 0;
            ORVEL_QueryProgress(progress, &total, &done, &speed);
            maxDone = std::max(maxDone, done);
            if (total > 0) lastTotal = total;
            std::this_thread::yield();
        }
    });
    Bstr id;
    const HRESULT hr = Upload("0", "big.mp4", path, id);
    running = false;
    watcher.join();
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(lastTotal, static_cast<double>(kSize));
    // Done counts finished blocks plus the encoded bytes of the block in flight,
    // which carry a header and padding beyond the plain size.
    EXPECT_GT(maxDone, 0.0);
    EXPECT_LE(maxDone, static_cast<double>(kSize) + 4 * 128);

    // A download of the same file, cancelled as soon as bytes flow: the first
    // block is still in flight then, so the cancel is seen at a later tick.
    ORVEL_PROGRESS fresh = nullptr;
    ASSERT_EQ(ORVEL_CreateProgress(&fresh), S_OK);
    std::atomic<bool> finished{false};
    std::thread canceller([&] {
        while (!finished) {
            double total = 0, done = 0, speed = 0;
            ORVEL_QueryProgress(fresh, &total, &done, &speed);
            if (done > 0) {
                ORVEL_CancelTransport(fresh);
                return;
            }
            std::this_thread::yield();
        }
    });
    const std::string target = temp.File("big-back.mp4");
    const HRESULT down = ORVEL_Download(W(session.token).c_str(), id.get(), u"m", W(target).c_str(), u"s", u"1",
                                        W(temp.Path()).c_str(), 0, fresh);
    finished = true;
    canceller.join();
    EXPECT_EQ(down, E_OV_CANCELLED);
    ORVEL_DestroyProgress(fresh);
}

}  // namespace
