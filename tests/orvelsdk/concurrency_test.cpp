// Many threads using the exports at once: no lock serialises them, so every
// call must stand on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

class ConcurrencyTest : public EmulatorTest {};

TEST_F(ConcurrencyTest, EightThreadsSignInCreateListDelete) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 6;
    std::atomic<int> failures{0};
    auto fail = [&](int thread, const char* what, HRESULT hr) {
        ++failures;
        ADD_FAILURE() << "thread " << thread << ": " << what << " = 0x" << std::hex << hr;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const char16_t* user = (t % 2 == 0) ? u"alice" : u"bob";
            const char16_t* password = (t % 2 == 0) ? u"secret" : u"hunter2";
            for (int round = 0; round < kRounds; ++round) {
                Bstr userId, token, nick;
                HRESULT hr = ORVEL_Login(user, password, u"dev", u"c", u"1", &userId, &token, &nick);
                if (hr != S_OK) return fail(t, "Login", hr);
                const std::string name = "t" + std::to_string(t) + "-r" + std::to_string(round);
                Bstr folderId;
                hr = ORVEL_NewFolder(token.get(), u"0", W(name).c_str(), &folderId);
                if (hr != S_OK) return fail(t, "NewFolder", hr);
                Bstr childId;
                hr = ORVEL_NewFolder(token.get(), folderId.get(), u"child", &childId);
                if (hr != S_OK) return fail(t, "NewFolder child", hr);

                ORVEL_FILELIST h = nullptr;
                hr = ORVEL_EnumFiles(token.get(), folderId.get(), &h);
                if (hr != S_OK) return fail(t, "EnumFiles", hr);
                int count = 0;
                Bstr listedId;
                ORVEL_GetFilesNum(h, &count);
                if (count == 1) ORVEL_GetFileId(h, 0, &listedId);
                ORVEL_DestoryFiles(h);
                if (count != 1 || listedId.str() != childId.str()) return fail(t, "listing content", count);

                hr = ORVEL_Delete(token.get(), childId.get());
                if (hr != S_OK) return fail(t, "Delete child", hr);
                hr = ORVEL_Delete(token.get(), folderId.get());
                if (hr != S_OK) return fail(t, "Delete", hr);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(ConcurrencyTest, FourTransfersAtOnceEachWithItsOwnHandle) {
    constexpr int kThreads = 4;
    const Session s = SignIn();
    TempDir temp;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread its own bytes, so no upload is deduplicated away.
            std::string data(1500000 + static_cast<size_t>(t) * 777, '\0');
            for (size_t i = 0; i < data.size(); ++i)
                data[i] = static_cast<char>((i * 31 + static_cast<size_t>(t) * 7) ^ (i >> 9));
            const std::string path = temp.File("par-" + std::to_string(t) + ".mp4");
            std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
            ORVEL_PROGRESS h = nullptr;
            if (ORVEL_CreateProgress(&h) != S_OK) return void(++failures);
            Bstr id;
            HRESULT hr = ORVEL_Upload(W(s.token).c_str(), u"0", W("par-" + std::to_string(t) + ".mp4").c_str(),
                                      W(path).c_str(), W(temp.Path()).c_str(), &id, h);
            const std::string back = path + ".back";
            if (hr == S_OK)
                hr = ORVEL_Download(W(s.token).c_str(), id.get(), u"m", W(back).c_str(), u"s", u"1",
                                    W(temp.Path()).c_str(), 0, h);
            ORVEL_DestroyProgress(h);
            std::ifstream in(back, std::ios::binary);
            const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (hr != S_OK || got != data) {
                ++failures;
                ADD_FAILURE() << "thread " << t << ": 0x" << std::hex << hr;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
