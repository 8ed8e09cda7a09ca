// Locked databases: the busy handler, the outer retry loops with their
// process-wide limit, the delayed retry and the lock owner.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <chrono>
#include <thread>

#include "db/db.h"
#include "log/log.h"
#include "log/log_testing.h"
#include "support/log_capture.h"

using namespace std::chrono_literals;
using orvel::testsupport::LogCapture;
using orvel::testsupport::TempDir;

namespace {

// A second connection that holds an exclusive lock until released.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        sqlite3_open(path.c_str(), &m_db);
        m_ok = sqlite3_exec(m_db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~LockHolder() {
        Release();
        sqlite3_close(m_db);
    }
    bool ok() const { return m_ok; }
    void Release() {
        if (m_ok) sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        m_ok = false;
    }

private:
    sqlite3* m_db = nullptr;
    bool m_ok = false;
};

// Polls for what another thread or process does; the store's busy waits are real time.
void WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(1ms);
}

}  // namespace

TEST(DbBusy, StatementWaitsThroughHandlerAndOuterLoop) {
    LogCapture log(4);
    TempDir dir;
    const std::string path = dir.File("busy.db");
    CDB db;
    ASSERT_EQ(db.Init(path), S_OK);
    ASSERT_EQ(db.CreateTable("t", "v TEXT"), S_OK);

    LockHolder holder(path);
    ASSERT_TRUE(holder.ok());
    const uint32_t before = CppSQLite3DB::StatementBusyCount();
    std::thread releaser([&] {
        WaitUntil([&] { return CppSQLite3DB::StatementBusyCount() > before; });
        holder.Release();
    });
    EXPECT_EQ(db.execDML("INSERT INTO t VALUES ('x')"), S_OK);
    releaser.join();

    const std::string desc = "CppSQLite3DB::execDML()...sqlite3_exec() SQLString:INSERT INTO t VALUES ('x')";
    EXPECT_TRUE(log.Contains("DataBase BUSY! DB:BusyHandler() OPT:" + desc + " LoopCount:0\r\n"));
    EXPECT_TRUE(log.Contains("DataBase BUSY! DB:BusyHandler() OPT:" + desc + " LoopCount:1025\r\n"));
    EXPECT_FALSE(log.Contains(" LoopCount:1026\r\n"));
    EXPECT_TRUE(log.Contains("DataBase BUSY! " + desc + " LoopCount: " + std::to_string(before) + "\r\n"));
    EXPECT_GT(CppSQLite3DB::StatementBusyCount(), before);
}

TEST(DbBusy, QueryWaitsThroughOuterLoop) {
    LogCapture log(4);
    TempDir dir;
    const std::string path = dir.File("busyq.db");
    CDB db;
    ASSERT_EQ(db.Init(path), S_OK);
    ASSERT_EQ(db.CreateTable("t", "v TEXT"), S_OK);
    ASSERT_EQ(db.InsertRow("t", "v", "'row'"), S_OK);

    LockHolder holder(path);
    ASSERT_TRUE(holder.ok());
    const uint32_t before = CppSQLite3DB::QueryBusyCount();
    std::thread releaser([&] {
        WaitUntil([&] { return CppSQLite3DB::QueryBusyCount() > before; });
        holder.Release();
    });
    std::vector<std::vector<std::string>> rows;
    EXPECT_EQ(db.QueryRows("SELECT v FROM t", &rows), S_OK);
    releaser.join();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "row");
    EXPECT_TRUE(
        log.Contains("DataBase BUSY! CppSQLite3DB::execQuery()...sqlite3_step() SQLString:SELECT v FROM t "
                     "LoopCount: " +
                     std::to_string(before) + "\r\n"));
}

TEST(DbBusy, FailedInsertIsRetriedOnceAfterAPause) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.File("late.db");
    CDB db;
    ASSERT_EQ(db.Init(path), S_OK);
    // The table appears (from another connection) only after the first attempt failed.
    std::thread creator([&] {
        std::this_thread::sleep_for(300ms);  // real time: inside the store's pause before its retry
        sqlite3* other = nullptr;
        sqlite3_open(path.c_str(), &other);
        sqlite3_exec(other, "CREATE TABLE late (v TEXT)", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(db.InsertRow("late", "v", "'x'"), S_OK);
    creator.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_TRUE(log.Contains(
        "Src:SQLITE_ERROR[1]: no such table: late -- CDB::execDML -- SQL:INSERT INTO late (v) VALUES ('x')"));
    EXPECT_TRUE(log.Contains("Sql Execute Failed And Retry Succeeded!"));
}

// The outer loops stop retrying for good after 129 busy results; a statement
// that then fails on a lock still gets its one delayed retry. Runs in a child
// process because the counters are process-wide.
TEST(DbBusy, OuterLoopExhaustionAndLockedRetry) {
    TempDir dir;
    const std::string path = dir.File("exhaust.db");
    const std::string logDir = dir.Path();
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        LogSetNames("sdkrd.log", logDir + "/child.log");
        orvel::logtest::SetSleepEnabled(false);
        orvel::logtest::SetThreshold(3);  // the many busy lines are not needed here
        CDB db;
        if (db.Init(path) != S_OK || db.CreateTable("t", "v TEXT") != S_OK) ::_exit(10);
        LockHolder holder(path);
        if (!holder.ok()) ::_exit(11);
        for (int i = 0; i < 200 && CppSQLite3DB::StatementBusyCount() <= 128; ++i) {
            if (db.execDML("INSERT INTO t VALUES ('a')") != E_DB_ERROR) ::_exit(12);
        }
        if (CppSQLite3DB::StatementBusyCount() != 129) ::_exit(13);
        if (db.execDML("INSERT INTO t VALUES ('b')") != E_DB_ERROR) ::_exit(14);
        if (CppSQLite3DB::StatementBusyCount() != 129) ::_exit(15);

        orvel::logtest::SetThreshold(9);
        std::thread releaser([&] {
            std::this_thread::sleep_for(300ms);  // real time: the store waits on a busy database
            holder.Release();
        });
        HRESULT hr = db.InsertRow("t", "v", "'c'");
        releaser.join();
        if (hr != S_OK) ::_exit(16);
        std::ifstream in(orvel::logtest::CurrentFile());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("Src:SQLITE_BUSY[5]: database is locked -- CDB::execDML -- SQL:INSERT INTO t (v) VALUES ('c')") ==
            std::string::npos)
            ::_exit(17);
        if (text.find("Sql Execute Failed And Retry Succeeded!") == std::string::npos) ::_exit(18);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DbBusy, LockOwnerHoldsOtherThreadsBack) {
    TempDir dir;
    CDB db;
    ASSERT_EQ(db.Init(dir.File("owner.db")), S_OK);
    ASSERT_EQ(db.CreateTable("t", "v TEXT"), S_OK);

    db.BeginExclusive();
    std::atomic<bool> done{false};
    std::thread other([&] {
        EXPECT_EQ(db.execDML("INSERT INTO t VALUES ('other')"), S_OK);
        done = true;
    });
    std::this_thread::sleep_for(100ms);  // long enough for the other thread to block on the lock
    EXPECT_FALSE(done.load());
    EXPECT_EQ(db.execDML("INSERT INTO t VALUES ('owner')"), S_OK);  // the owner itself goes on
    db.EndExclusive();
    other.join();
    EXPECT_TRUE(done.load());
    std::vector<std::vector<std::string>> rows;
    ASSERT_EQ(db.QueryRows("SELECT v FROM t ORDER BY rowid", &rows), S_OK);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "owner");
    EXPECT_EQ(rows[1][0], "other");
}
