// The collector: request counter, item shapes, the closed default store, the
// enabled store with its recovery, and concurrent filing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "common/xml_helper.h"
#include "info_test_support.h"

using orvel::testsupport::LogCapture;

namespace {

bool IsLocalTime(const std::string& text) {
    return std::regex_match(text, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})"));
}

std::vector<std::string> Keys(const RecordTree& item) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < item.ValueCount(); ++i) keys.push_back(item[i].Key);
    return keys;
}

void Overwrite(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(0);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(InfoCollection, RequestCounterCountsEveryThread) {
    CInfoCollection& info = CInfoCollection::Instance();
    const uint32_t before = info.RequestCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) info.IncrementRequestCounter();
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(info.RequestCount(), before + 8000);
}

TEST_F(InfoStoreTest, ItemShapes) {
    CInfoCollection& info = CInfoCollection::Instance();
    info.CollectInfo("operation", "time_out", "http://h/x");
    info.CollectInfo("", "plain", "ignored");
    info.CollectInfo("started");
    RecordTree dynamic;
    dynamic.AddValue("url", "http://h/y");
    dynamic.AddValue("errorcode", "serverBusy");
    info.CollectItem("dynamic", dynamic);

    std::vector<RecordTree> items = Items();
    ASSERT_EQ(items.size(), 4u);
    for (const RecordTree& item : items) EXPECT_EQ(item.Key, "dataitem");
    EXPECT_EQ(Keys(items[0]), (std::vector<std::string>{"time", "infotype", "operation"}));
    EXPECT_TRUE(IsLocalTime(items[0].GetValue("time")));
    EXPECT_EQ(items[0].GetValue("infotype"), "time_out");
    EXPECT_EQ(items[0].GetValue("operation"), "http://h/x");
    EXPECT_EQ(Keys(items[1]), (std::vector<std::string>{"time", "infotype"}));
    EXPECT_EQ(Keys(items[2]), (std::vector<std::string>{"infotype", "time"}));
    EXPECT_TRUE(IsLocalTime(items[2].GetValue("time")));
    EXPECT_EQ(Keys(items[3]), (std::vector<std::string>{"time", "infotype", "url", "errorcode"}));
    EXPECT_EQ(items[3].GetValue("errorcode"), "serverBusy");
}

TEST_F(InfoStoreTest, StoreStaysClosedByDefault) {
    LogCapture log;
    CInfoCollection::Instance().CollectInfo("k", "t", "v");
    CInfoCollection::Instance().CollectInfo("t2");
    EXPECT_EQ(Items().size(), 2u);  // the sink still sees them
    EXPECT_FALSE(CInfoCollection::Instance().IsInited());
    EXPECT_EQ(log.Count("ERROR_CHECK_BOOL:m_bInited"), 2u);
    EXPECT_FALSE(std::filesystem::exists(StorePath()));
}

TEST_F(InfoStoreTest, EnabledStoreKeepsItemsAsXml) {
    EnableStore();
    const std::string value = "it's a 'quoted'; value\"<&>";
    CInfoCollection::Instance().CollectInfo("note", "test", value);
    CInfoCollection::Instance().CollectInfo("second");
    EXPECT_TRUE(CInfoCollection::Instance().IsInited());

    std::vector<RecordTree> items = Items();
    std::vector<std::string> rows = StoredRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], ToXml(items[0]));
    EXPECT_EQ(rows[1], ToXml(items[1]));
    RecordTree back;
    ASSERT_EQ(FromXml(rows[0], back), S_OK);
    EXPECT_EQ(back.GetValue("note"), value);
    EXPECT_EQ(CInfoCollection::StoreFilePath(), StorePath());
}

TEST_F(InfoStoreTest, ExplicitInitStoreOpensWithoutTheRegistrySwitch) {
    EXPECT_EQ(CInfoCollection::Instance().InitStore(), S_OK);
    CInfoCollection::Instance().CollectInfo("k", "t", "v");
    EXPECT_EQ(StoredRows().size(), 1u);
}

TEST_F(InfoStoreTest, DamagedFileAtOpenIsReplaced) {
    LogCapture log;
    EnableStore();
    std::filesystem::create_directories(ConfigFolder() + "/info");
    std::ofstream(StorePath(), std::ios::binary) << std::string(4096, 'x');
    std::ofstream(StorePath() + "-journal", std::ios::binary) << std::string(512, 'y');

    CInfoCollection::Instance().CollectInfo("k", "first", "v");
    EXPECT_TRUE(CInfoCollection::Instance().IsInited());
    EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80048004: hr"));
    EXPECT_FALSE(std::filesystem::exists(StorePath() + "-journal"));
    std::vector<std::string> rows = StoredRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(rows[0].find("first"), std::string::npos);
}

// What cannot be deleted is moved aside within the folder under a GUID name.
TEST_F(InfoStoreTest, UndeletableLeftoverIsMovedAside) {
    EnableStore();
    const std::string folder = ConfigFolder() + "/info";
    std::filesystem::create_directories(StorePath() + "-journal/inside");
    std::ofstream(StorePath(), std::ios::binary) << std::string(4096, 'x');

    CInfoCollection::Instance().CollectInfo("k", "first", "v");
    EXPECT_TRUE(CInfoCollection::Instance().IsInited());
    EXPECT_FALSE(std::filesystem::exists(StorePath() + "-journal"));
    size_t movedAside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (std::regex_match(name,
                             std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}-journal)")))
            ++movedAside;
    }
    EXPECT_EQ(movedAside, 1u);
    EXPECT_EQ(StoredRows().size(), 1u);
}

TEST_F(InfoStoreTest, DamageWhileOpenMakesInsertFailThenStoreIsRecreated) {
    LogCapture log;
    EnableStore();
    CInfoCollection::Instance().CollectInfo("k", "before", "v");
    ASSERT_EQ(StoredRows().size(), 1u);

    Overwrite(StorePath(), std::string(8192, '\x5a'));
    log.Clear();
    CInfoCollection::Instance().CollectInfo("k", "lost", "v");  // fails, retried after a pause, then recovery
    EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80048004: hr"));
    EXPECT_FALSE(log.Contains("Sql Execute Failed And Retry Succeeded!"));
    EXPECT_TRUE(CInfoCollection::Instance().IsInited());

    CInfoCollection::Instance().CollectInfo("k", "after", "v");
    std::vector<std::string> rows = StoredRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(rows[0].find("after"), std::string::npos);
}

TEST_F(InfoStoreTest, UncreatableFolderLeavesStoreClosed) {
    LogCapture log;
    std::ofstream(m_dir.File("plainfile")) << "x";
    ASSERT_TRUE(RegSetString("ConfigPath", m_dir.File("plainfile")));
    EnableStore();
    EXPECT_EQ(CInfoCollection::Instance().InitStore(), E_FAIL);
    EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80004005: hr"));
    log.Clear();
    CInfoCollection::Instance().CollectInfo("k", "t", "v");
    EXPECT_TRUE(log.Contains("ERROR_CHECK_BOOL:m_bInited"));
}

TEST_F(InfoStoreTest, EmptyConfigPathFallsBackToUserConfigFolder) {
    ASSERT_TRUE(RegSetString("ConfigPath", ""));
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    std::string saved = oldXdg ? oldXdg : "";
    ::setenv("XDG_CONFIG_HOME", m_dir.File("xdg").c_str(), 1);
    EXPECT_EQ(CInfoCollection::StoreFilePath(), m_dir.File("xdg") + "/Brenmoor/Tavik/info/data.db");
    EXPECT_EQ(CInfoCollection::Instance().InitStore(), S_OK);
    EXPECT_TRUE(std::filesystem::exists(m_dir.File("xdg") + "/Brenmoor/Tavik/info/data.db"));
    ::unsetenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    EXPECT_EQ(CInfoCollection::ConfigFolder(), std::string(home ? home : "") + "/.config/Brenmoor/Tavik/");
    if (oldXdg) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST_F(InfoStoreTest, ConcurrentCollectFromEightThreads) {
    EnableStore();
    constexpr int kThreads = 8, kEach = 8;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                CInfoCollection::Instance().CollectInfo("n", "thread" + std::to_string(t), std::to_string(i));
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(Items().size(), static_cast<size_t>(kThreads * kEach));
    std::vector<std::string> rows = StoredRows();
    ASSERT_EQ(rows.size(), static_cast<size_t>(kThreads * kEach));
    for (int t = 0; t < kThreads; ++t) {
        size_t n = 0;
        for (const std::string& row : rows) n += row.find("thread" + std::to_string(t) + "<") != std::string::npos;
        EXPECT_EQ(n, static_cast<size_t>(kEach)) << "thread " << t;
    }
}
