// CppSQLite3DB, CDB and kvdb against real database files.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/db.h"
#include "db/kvdb.h"
#include "support/log_capture.h"

using orvel::testsupport::LogCapture;
using orvel::testsupport::TempDir;

namespace {

int64_t CountRows(CDB& db, const std::string& table) {
    std::vector<std::vector<std::string>> rows;
    EXPECT_EQ(db.QueryRows("SELECT count(*) FROM " + table, &rows), S_OK);
    return rows.empty() ? -1 : std::stoll(rows[0][0]);
}

}  // namespace

TEST(CppSQLite3Exception, MessageCarriesNameCodeAndText) {
    EXPECT_STREQ(CppSQLite3Exception(13, "Disk Full").errorMessage(), "SQLITE_FULL[13]: Disk Full");
    EXPECT_STREQ(CppSQLite3Exception(CPPSQLITE_ERROR, "Database not open").errorMessage(),
                 "CPPSQLITE_ERROR[1000]: Database not open");
    EXPECT_STREQ(CppSQLite3Exception(1, "").errorMessage(), "SQLITE_ERROR[1]: ");
    EXPECT_STREQ(CppSQLite3Exception(101, "x").errorMessage(), "SQLITE_DONE[101]: x");
    EXPECT_STREQ(CppSQLite3Exception(4242, "x").errorMessage(), "UNKNOWN_ERROR[4242]: x");
    EXPECT_EQ(CppSQLite3Exception(26, "x").errorCode(), 26);
}

TEST(CppSQLite3DB, EveryCallWithoutDatabaseRaisesNotOpen) {
    CppSQLite3DB db;
    auto expectNotOpen = [](auto&& call) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const CppSQLite3Exception& e) {
            EXPECT_EQ(e.errorCode(), CPPSQLITE_ERROR);
            EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Database not open");
        }
    };
    expectNotOpen([&] { db.execDML("CREATE TABLE t (a)"); });
    expectNotOpen([&] { db.execQuery("SELECT 1"); });
    expectNotOpen([&] { db.tableExists("t"); });
}

TEST(CppSQLite3DB, StatementsQueriesAndTables) {
    TempDir dir;
    CppSQLite3DB db;
    db.open(dir.File("a.db"));
    EXPECT_FALSE(db.tableExists("t"));
    EXPECT_EQ(db.execDML("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)"), 0);
    EXPECT_TRUE(db.tableExists("t"));
    EXPECT_EQ(db.execDML("INSERT INTO t (v) VALUES ('a'); INSERT INTO t (v) VALUES ('b')"), 1);
    EXPECT_EQ(db.execDML("UPDATE t SET v = 'c'"), 2);

    CppSQLite3Query q = db.execQuery("SELECT id, v FROM t ORDER BY id");
    ASSERT_FALSE(q.eof());
    EXPECT_EQ(q.numFields(), 2);
    EXPECT_EQ(q.getInt64Field(0), 1);
    EXPECT_EQ(q.fieldText(1), "c");
    q.nextRow();
    EXPECT_EQ(q.getInt64Field(0), 2);
    q.nextRow();
    EXPECT_TRUE(q.eof());
    EXPECT_TRUE(db.execQuery("SELECT * FROM t WHERE id = 99").eof());

    try {
        db.execQuery("SELECT * FROM nope");
        ADD_FAILURE() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_STREQ(e.errorMessage(), "SQLITE_ERROR[1]: no such table: nope");
    }
    try {
        db.execDML("INSERT INTO nope VALUES (1)");
        ADD_FAILURE() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_STREQ(e.errorMessage(), "SQLITE_ERROR[1]: no such table: nope");
    }
}

TEST(CDB, ConstructionInitAndFailures) {
    LogCapture log;
    TempDir dir;
    {
        CDB db;
        EXPECT_TRUE(log.Contains("\tCDB::CDB"));
        EXPECT_EQ(db.Init(dir.File("missing/folder/x.db")), E_FAIL);
        EXPECT_TRUE(log.Contains("*ASSERT*: !L\"CDB::Init throw Exception!\""));
        EXPECT_TRUE(log.Contains("Src:SQLITE_CANTOPEN[14]: unable to open database file -- CDB::Init -- SQL:"));

        // Without an open database a statement is a wrapper error.
        log.Clear();
        EXPECT_EQ(db.execDML("CREATE TABLE t (a)"), E_DB_ERROR);
        size_t assertion = log.Find("*ASSERT*: !L\"CDB::execDML throw Exception!\"");
        size_t src = log.Find("Src:CPPSQLITE_ERROR[1000]: Database not open -- CDB::execDML -- SQL:CREATE TABLE t (a)");
        ASSERT_NE(assertion, std::string::npos);
        ASSERT_NE(src, std::string::npos);
        EXPECT_LT(assertion, src);
        bool exists = true;
        EXPECT_EQ(db.tableExists("t", &exists), E_DB_ERROR);
        EXPECT_FALSE(exists);
        EXPECT_TRUE(log.Contains("*ASSERT*: !L\"CDB::tableExists throw Exception!\""));
        EXPECT_TRUE(log.Contains("Src:CPPSQLITE_ERROR[1000]: Database not open -- CDB::tableExists -- SQL:t"));

        EXPECT_EQ(db.Init(dir.File("ok.db")), S_OK);
        EXPECT_EQ(db.CreateTable("t", "id INTEGER PRIMARY KEY, v TEXT"), S_OK);
        EXPECT_EQ(db.tableExists("t", &exists), S_OK);
        EXPECT_TRUE(exists);
        EXPECT_EQ(db.tableExists("other", &exists), S_OK);
        EXPECT_FALSE(exists);
        EXPECT_EQ(db.InsertRow("t", "v", SqlQuote("one")), S_OK);

        log.Clear();
        EXPECT_EQ(db.execDML("INSERT INTO t (nope) VALUES (1)"), E_DB_ERROR);
        EXPECT_TRUE(
            log.Contains("Src:SQLITE_ERROR[1]: table t has no column named nope -- CDB::execDML -- "
                         "SQL:INSERT INTO t (nope) VALUES (1)"));

        // "(null)" in a statement is suspicious but still runs.
        log.Clear();
        EXPECT_EQ(db.execDML("INSERT INTO t (v) VALUES ('(null)')"), S_OK);
        EXPECT_TRUE(log.Contains("*ASSERT*: wcsstr(szSQL, L\"(null)\") == 0"));
        EXPECT_EQ(CountRows(db, "t"), 2);
        EXPECT_EQ(db.Close(), S_OK);
        EXPECT_EQ(db.Close(), S_OK);
    }
}

TEST(CDB, InsertRowWithMissingPartsAsserts) {
    LogCapture log;
    TempDir dir;
    CDB db;
    ASSERT_EQ(db.Init(dir.File("a.db")), S_OK);
    db.execDML("CREATE TABLE t (v TEXT)");
    EXPECT_EQ(db.InsertRow("t", "v", ""), E_DB_ERROR);  // fails twice: one delayed retry
    EXPECT_TRUE(log.Contains("*ASSERT*: szTableName && szFields && szValues"));
    EXPECT_FALSE(log.Contains("Sql Execute Failed And Retry Succeeded!"));
    EXPECT_EQ(log.Count("-- CDB::execDML -- SQL:INSERT INTO t (v) VALUES ()"), 2u);
}

TEST(CDB, InvalidUtf8IsReplacedBeforeSqlite) {
    TempDir dir;
    CDB db;
    ASSERT_EQ(db.Init(dir.File("a.db")), S_OK);
    ASSERT_EQ(db.CreateTable("t", "v TEXT"), S_OK);
    ASSERT_EQ(db.InsertRow("t", "v",
                           SqlQuote("a\xff"
                                    "b")),
              S_OK);
    std::vector<std::vector<std::string>> rows;
    ASSERT_EQ(db.QueryRows("SELECT v FROM t", &rows), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0],
              "a\xef\xbf\xbd"
              "b");
}

// A value cannot leave its literal: quotes are doubled, semicolons stay text,
// NULs are spliced in as char(0), and the stored bytes equal the input.
TEST(SqlQuote, HostileValueIsStoredIntact) {
    EXPECT_EQ(SqlQuote("it's"), "'it''s'");
    EXPECT_EQ(SqlQuote(""), "''");
    EXPECT_EQ(SqlQuote(std::string("a\0b", 3)), "'a'||char(0)||'b'");

    TempDir dir;
    CDB db;
    ASSERT_EQ(db.Init(dir.File("q.db")), S_OK);
    ASSERT_EQ(db.CreateTable("data", "id INTEGER PRIMARY KEY, data TEXT"), S_OK);
    ASSERT_EQ(db.CreateTable("victim", "v TEXT"), S_OK);
    ASSERT_EQ(db.InsertRow("victim", "v", SqlQuote("keep")), S_OK);

    const std::string hostile = std::string("x'); DROP TABLE victim; --") + std::string("\0", 1) +
                                "'; DELETE FROM victim; '" + std::string("\0\0", 2) + "'''';;\"end";
    ASSERT_EQ(db.InsertRow("data", "data", SqlQuote(hostile)), S_OK);

    bool exists = false;
    ASSERT_EQ(db.tableExists("victim", &exists), S_OK);
    EXPECT_TRUE(exists);
    EXPECT_EQ(CountRows(db, "victim"), 1);
    EXPECT_EQ(CountRows(db, "data"), 1);
    std::vector<std::vector<std::string>> rows;
    ASSERT_EQ(db.QueryRows("SELECT data FROM data", &rows), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], hostile);
}

TEST(SqlQuote, StatementWithNulIsRefusedNotCut) {
    LogCapture log;
    TempDir dir;
    CDB db;
    ASSERT_EQ(db.Init(dir.File("n.db")), S_OK);
    ASSERT_EQ(db.CreateTable("t", "id INTEGER"), S_OK);
    ASSERT_EQ(db.execDML("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)"), S_OK);
    // Cut at the NUL this would delete every row.
    EXPECT_EQ(db.execDML(std::string("DELETE FROM t\0 WHERE id = 1", 28)), E_DB_ERROR);
    EXPECT_TRUE(log.Contains("*ASSERT*: sql.find('\\0') == std::string_view::npos"));
    EXPECT_EQ(CountRows(db, "t"), 2);
}

TEST(CDB, DatabaseFullMapsToItsOwnResult) {
    LogCapture log;
    TempDir dir;
    CDB db;
    ASSERT_EQ(db.Init(dir.File("full.db")), S_OK);
    ASSERT_EQ(db.execDML("CREATE TABLE t (v TEXT)"), S_OK);
    ASSERT_EQ(db.execDML("PRAGMA max_page_count = 4"), S_OK);
    HRESULT hr = S_OK;
    for (int i = 0; i < 20 && hr == S_OK; ++i) hr = db.execDML("INSERT INTO t VALUES (zeroblob(3000))");
    EXPECT_EQ(hr, E_DB_FULL);
    EXPECT_TRUE(log.Contains("Src:SQLITE_FULL[13]: database or disk is full -- CDB::execDML -- SQL:INSERT INTO t"));
}

// A file-size limit makes the disk look full to SQLite's writes.
TEST(CDB, FileSizeLimitMapsToDiskFull) {
    TempDir dir;
    const std::string path = dir.File("limited.db");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        CDB db;
        if (db.Init(path) != S_OK || db.execDML("CREATE TABLE t (v BLOB)") != S_OK) ::_exit(10);
        rlimit limit{64 * 1024, 64 * 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(11);
        HRESULT hr = S_OK;
        for (int i = 0; i < 100 && hr == S_OK; ++i) hr = db.execDML("INSERT INTO t VALUES (zeroblob(8000))");
        if (hr != E_DB_FULL) std::fprintf(stderr, "hr=%x\n", static_cast<unsigned>(hr));
        ::_exit(hr == E_DB_FULL ? 0 : hr == S_OK ? 12 : 13);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A disk that cannot take one more file: the open fails and is reported as
// a full disk. The child gets a private mount namespace with a tmpfs whose
// only free inode is taken up front.
TEST(CDB, OpenOnFullDiskIsDiskFull) {
    LogCapture log;
    TempDir dir;
    const std::string mountPoint = dir.File("full");
    ASSERT_TRUE(std::filesystem::create_directory(mountPoint));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(77);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(77);
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k,nr_inodes=2") != 0) ::_exit(77);
        if (!std::ofstream(mountPoint + "/filler")) ::_exit(77);
        CDB db;
        ::_exit(db.Init(mountPoint + "/data.db") == E_FAIL ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private tmpfs mount possible here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    size_t assertion = log.Find("*ASSERT*: !L\"CDB::Init throw Exception!\"");
    size_t src = log.Find("Src:SQLITE_FULL[13]: Disk Full -- CDB::Init -- SQL: ");
    ASSERT_NE(assertion, std::string::npos) << log.Text();
    ASSERT_NE(src, std::string::npos) << log.Text();
    EXPECT_LT(assertion, src);
}

TEST(kvdb, AttachCreatesConfigTableAndStoresValues) {
    LogCapture log;
    TempDir dir;
    CDB db;
    ASSERT_EQ(db.Init(dir.File("kv.db")), S_OK);
    kvdb kv;
    EXPECT_EQ(kv.GetValue("s", "f", nullptr), E_FAIL);  // not attached
    ASSERT_EQ(kv.Attach(&db), S_OK);
    bool exists = false;
    ASSERT_EQ(db.tableExists("config", &exists), S_OK);
    EXPECT_TRUE(exists);
    std::vector<std::vector<std::string>> rows;
    ASSERT_EQ(db.QueryRows("SELECT sql FROM sqlite_master WHERE name = 'config'", &rows), S_OK);
    EXPECT_EQ(rows.at(0).at(0), "CREATE TABLE config (section TEXT, field TEXT, value TEXT)");

    EXPECT_EQ(kv.SetValue("main", "who's", "a'b;c"), S_OK);
    EXPECT_EQ(kv.SetValue("main", "who's", "second"), S_OK);
    std::string value;
    EXPECT_EQ(kv.GetValue("main", "who's", &value), S_OK);
    EXPECT_EQ(value, "second");
    EXPECT_EQ(kv.SetValue("other", "who's", "third"), S_OK);
    ASSERT_EQ(db.QueryRows("SELECT count(*) FROM config", &rows), S_OK);
    EXPECT_EQ(rows.at(0).at(0), "2");
    EXPECT_EQ(kv.GetValue("main", "absent", &value), S_FALSE);
    EXPECT_EQ(value, "");

    // A second attach is a caller fault; the table is already there.
    log.Clear();
    EXPECT_EQ(kv.Attach(&db), S_OK);
    EXPECT_TRUE(log.Contains("*ASSERT*: !m_pDB && pDB && szTableName"));

    kvdb none;
    EXPECT_EQ(none.Attach(nullptr), E_POINTER);
    EXPECT_FALSE(none.IsAttached());
}

TEST(kvdb, AttachToClosedDatabaseFails) {
    LogCapture log;
    CDB db;
    kvdb kv;
    EXPECT_EQ(kv.Attach(&db), E_DB_ERROR);
    EXPECT_TRUE(log.Contains("ERROR_CHECK_COM hr = 80048004: hr"));
}
