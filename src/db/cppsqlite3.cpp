#include "db/cppsqlite3.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "log/log.h"

namespace {

// Outer busy loops, shared by every connection of the process. They are
// never reset, so a process retries at most 129 times in each loop.
std::atomic<uint32_t> g_nStatementBusy{0};
std::atomic<uint32_t> g_nQueryBusy{0};
constexpr uint32_t kMaxOuterBusyLoops = 128;
constexpr int kMaxBusyHandlerCalls = 1024;

// Installs the busy handler with a description for one statement and
// detaches the description again, so the handler never sees a dead text.
class BusyHandlerScope {
public:
    BusyHandlerScope(sqlite3* db, const std::string& description) : m_pDB(db) {
        sqlite3_busy_handler(db, &CppSQLite3DB::BusyHandler, const_cast<std::string*>(&description));
    }
    ~BusyHandlerScope() { sqlite3_busy_handler(m_pDB, &CppSQLite3DB::BusyHandler, nullptr); }
    BusyHandlerScope(const BusyHandlerScope&) = delete;
    BusyHandlerScope& operator=(const BusyHandlerScope&) = delete;

private:
    sqlite3* m_pDB;
};

bool IsDiskFullErrno(int err) { return err == ENOSPC || err == EFBIG || err == EDQUOT; }

// SQLite retries a failed create read-only, which overwrites the system error
// of the create. For a file that does not exist yet, the create is repeated
// here (exclusively, so nothing but our own probe is ever removed) to learn
// whether the disk had no room for it.
bool CreateFailsForLackOfSpace(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    return IsDiskFullErrno(errno);
}

// An I/O failure caused by a full disk (or a file-size limit) is reported as
// SQLITE_FULL so that callers can tell it apart.
// savedErrno is errno right after the failing call (SQLite does not always
// record the system error of a failed write).
[[noreturn]] void RaiseFromDb(sqlite3* db, int rc, const char* message, int savedErrno = 0) {
    if ((rc & 0xff) == SQLITE_IOERR &&
        (IsDiskFullErrno(savedErrno) || (db && IsDiskFullErrno(sqlite3_system_errno(db)))))
        throw CppSQLite3Exception(SQLITE_FULL, "Disk Full");
    throw CppSQLite3Exception(rc, message ? message : (db ? sqlite3_errmsg(db) : ""));
}

}  // namespace

CppSQLite3Exception::CppSQLite3Exception(int errCode, std::string_view errMess) : m_nErrCode(errCode) {
    const char* name = errorCodeAsString(errCode);
    char head[64];
    std::snprintf(head, sizeof head, "%s[%d]: ", name, errCode);
    m_strErrMess = head;
    m_strErrMess.append(errMess);
}

const char* CppSQLite3Exception::errorCodeAsString(int errCode) {
    static const char* const kNames[] = {
        "SQLITE_OK",       "SQLITE_ERROR",   "SQLITE_INTERNAL", "SQLITE_PERM",     "SQLITE_ABORT",
        "SQLITE_BUSY",     "SQLITE_LOCKED",  "SQLITE_NOMEM",    "SQLITE_READONLY", "SQLITE_INTERRUPT",
        "SQLITE_IOERR",    "SQLITE_CORRUPT", "SQLITE_NOTFOUND", "SQLITE_FULL",     "SQLITE_CANTOPEN",
        "SQLITE_PROTOCOL", "SQLITE_EMPTY",   "SQLITE_SCHEMA",   "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
        "SQLITE_MISMATCH", "SQLITE_MISUSE",  "SQLITE_NOLFS",    "SQLITE_AUTH",     "SQLITE_FORMAT",
        "SQLITE_RANGE",    "SQLITE_NOTADB",  "SQLITE_NOTICE",   "SQLITE_WARNING"};
    if (errCode == CPPSQLITE_ERROR) return "CPPSQLITE_ERROR";
    if (errCode == SQLITE_ROW) return "SQLITE_ROW";
    if (errCode == SQLITE_DONE) return "SQLITE_DONE";
    if (errCode >= 0 && errCode < static_cast<int>(std::size(kNames))) return kNames[errCode];
    return "UNKNOWN_ERROR";
}

// ---------------------------------------------------------------- query

CppSQLite3Query::CppSQLite3Query(sqlite3* db, SqliteStmtPtr stmt, bool eof)
    : m_pDB(db), m_pStmt(std::move(stmt)), m_bEof(eof) {}

void CppSQLite3Query::checkStmt() const {
    if (!m_pStmt) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
}

void CppSQLite3Query::nextRow() {
    checkStmt();
    int rc = sqlite3_step(m_pStmt.get());
    if (rc == SQLITE_ROW) return;
    if (rc == SQLITE_DONE) {
        m_bEof = true;
        return;
    }
    std::string message = sqlite3_errmsg(m_pDB);
    m_pStmt.reset();
    m_bEof = true;
    throw CppSQLite3Exception(rc, message);
}

int CppSQLite3Query::numFields() const { return m_pStmt ? sqlite3_column_count(m_pStmt.get()) : 0; }

bool CppSQLite3Query::fieldIsNull(int field) const {
    checkStmt();
    return sqlite3_column_type(m_pStmt.get(), field) == SQLITE_NULL;
}

std::string CppSQLite3Query::fieldText(int field) const {
    checkStmt();
    if (field < 0 || field >= numFields()) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid field index requested");
    const auto* text = sqlite3_column_text(m_pStmt.get(), field);
    int bytes = sqlite3_column_bytes(m_pStmt.get(), field);
    if (!text) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

int64_t CppSQLite3Query::getInt64Field(int field, int64_t nullValue) const {
    if (fieldIsNull(field)) return nullValue;
    return sqlite3_column_int64(m_pStmt.get(), field);
}

void CppSQLite3Query::finalize() {
    m_pStmt.reset();
    m_bEof = true;
}

// ---------------------------------------------------------------- database

uint32_t CppSQLite3DB::StatementBusyCount() { return g_nStatementBusy.load(); }
uint32_t CppSQLite3DB::QueryBusyCount() { return g_nQueryBusy.load(); }

int CppSQLite3DB::BusyHandler(void* description, int calls) {
    const auto* text = static_cast<const std::string*>(description);
    LOGF(4, "DataBase BUSY! DB:BusyHandler() OPT:%s LoopCount:%d", text ? text->c_str() : "", calls);
    std::this_thread::yield();
    return calls <= kMaxBusyHandlerCalls ? 1 : 0;
}

void CppSQLite3DB::checkDB() const {
    if (!m_pDB) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Database not open");
}

void CppSQLite3DB::open(const std::string& path) {
    close();
    sqlite3* raw = nullptr;
    errno = 0;
    int rc = sqlite3_open(path.c_str(), &raw);
    std::unique_ptr<sqlite3, Closer> db(raw);
    if (rc != SQLITE_OK) {
        const int savedErrno = errno;
        int sysErr = raw ? sqlite3_system_errno(raw) : savedErrno;
        if (IsDiskFullErrno(sysErr) || IsDiskFullErrno(savedErrno) ||
            ((rc & 0xff) == SQLITE_CANTOPEN && CreateFailsForLackOfSpace(path)))
            throw CppSQLite3Exception(SQLITE_FULL, "Disk Full");
        throw CppSQLite3Exception(rc, raw ? sqlite3_errmsg(raw) : "");
    }
    m_pDB = std::move(db);
    setBusyTimeout(m_nBusyTimeoutMs);
}

void CppSQLite3DB::close() { m_pDB.reset(); }

void CppSQLite3DB::setBusyTimeout(int milliseconds) {
    m_nBusyTimeoutMs = milliseconds;
    if (m_pDB) sqlite3_busy_timeout(m_pDB.get(), m_nBusyTimeoutMs);
}

int CppSQLite3DB::execDML(const std::string& sql) {
    checkDB();
    sqlite3* db = m_pDB.get();
    const std::string description = "CppSQLite3DB::execDML()...sqlite3_exec() SQLString:" + sql;
    BusyHandlerScope handler(db, description);

    char* error = nullptr;
    errno = 0;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    int savedErrno = errno;
    while (rc == SQLITE_BUSY && g_nStatementBusy.load() <= kMaxOuterBusyLoops) {
        sqlite3_free(error);
        error = nullptr;
        LOGF(4, "DataBase BUSY! %s LoopCount: %d", description.c_str(), static_cast<int>(g_nStatementBusy.load()));
        std::this_thread::yield();
        ++g_nStatementBusy;
        errno = 0;
        rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        savedErrno = errno;
    }
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        RaiseFromDb(db, rc, message.c_str(), savedErrno);
    }
    return sqlite3_changes(db);
}

CppSQLite3Query CppSQLite3DB::execQuery(const std::string& sql) {
    checkDB();
    sqlite3* db = m_pDB.get();
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    SqliteStmtPtr stmt(raw);
    if (rc != SQLITE_OK) RaiseFromDb(db, rc, nullptr);
    if (!stmt) return CppSQLite3Query(db, nullptr, true);  // only white space or comments

    const std::string description = "CppSQLite3DB::execQuery()...sqlite3_step() SQLString:" + sql;
    BusyHandlerScope handler(db, description);
    errno = 0;
    rc = sqlite3_step(stmt.get());
    int savedErrno = errno;
    while (rc == SQLITE_BUSY && g_nQueryBusy.load() <= kMaxOuterBusyLoops) {
        LOGF(4, "DataBase BUSY! %s LoopCount: %d", description.c_str(), static_cast<int>(g_nQueryBusy.load()));
        std::this_thread::yield();
        ++g_nQueryBusy;
        errno = 0;
        rc = sqlite3_step(stmt.get());
        savedErrno = errno;
    }
    if (rc == SQLITE_ROW) return CppSQLite3Query(db, std::move(stmt), false);
    if (rc == SQLITE_DONE) return CppSQLite3Query(db, std::move(stmt), true);
    std::string message = sqlite3_errmsg(db);
    stmt.reset();
    RaiseFromDb(db, rc, message.c_str(), savedErrno);
}

int64_t CppSQLite3DB::execScalar(const std::string& sql) {
    CppSQLite3Query query = execQuery(sql);
    if (query.eof() || query.numFields() < 1) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid scalar query");
    return query.getInt64Field(0);
}

bool CppSQLite3DB::tableExists(std::string_view table) {
    std::string sql = "select count(*) from sqlite_master where type='table' and name=" + SqlQuote(table);
    return execScalar(sql) > 0;
}

std::string SqlQuote(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (char c : value) {
        if (c == '\'') {
            out += "''";
        } else if (c == '\0') {
            out += "'||char(0)||'";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}
