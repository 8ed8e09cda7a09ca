// Thin object wrapper over the SQLite C interface. Every failure raises
// CppSQLite3Exception; a locked database is retried (busy handler plus an
// outer loop bounded by process-wide counters).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The wrapper's own error code ("CPPSQLITE_ERROR").
inline constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception {
public:
    // Message: "<code name>[<code>]: <errMess>" (errMess may be empty).
    CppSQLite3Exception(int errCode, std::string_view errMess);

    int errorCode() const { return m_nErrCode; }
    const char* errorMessage() const { return m_strErrMess.c_str(); }

    // "SQLITE_OK" ... "SQLITE_DONE", "CPPSQLITE_ERROR", or "UNKNOWN_ERROR".
    static const char* errorCodeAsString(int errCode);

private:
    int m_nErrCode;
    std::string m_strErrMess;
};

struct SqliteStmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using SqliteStmtPtr = std::unique_ptr<sqlite3_stmt, SqliteStmtFinalizer>;

// A compiled query positioned at its current row (or at its end).
class CppSQLite3Query {
public:
    CppSQLite3Query() = default;
    CppSQLite3Query(sqlite3* db, SqliteStmtPtr stmt, bool eof);
    CppSQLite3Query(CppSQLite3Query&&) noexcept = default;
    CppSQLite3Query& operator=(CppSQLite3Query&&) noexcept = default;

    bool eof() const { return m_bEof; }
    void nextRow();
    int numFields() const;
    bool fieldIsNull(int field) const;
    // The field's bytes, embedded NULs included.
    std::string fieldText(int field) const;
    int64_t getInt64Field(int field, int64_t nullValue = 0) const;
    void finalize();

private:
    void checkStmt() const;

    sqlite3* m_pDB = nullptr;
    SqliteStmtPtr m_pStmt;
    bool m_bEof = true;
};

class CppSQLite3DB {
public:
    CppSQLite3DB() = default;
    virtual ~CppSQLite3DB() = default;
    CppSQLite3DB(const CppSQLite3DB&) = delete;
    CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;

    // Opens (or creates) the database at a UTF-8 path.
    void open(const std::string& path);
    void close();
    bool isOpen() const { return m_pDB != nullptr; }

    // Runs a statement (several, separated by ";", are allowed); changed rows.
    int execDML(const std::string& sql);
    CppSQLite3Query execQuery(const std::string& sql);
    // First column of the first row as an integer (0 for no row or NULL).
    int64_t execScalar(const std::string& sql);
    bool tableExists(std::string_view table);

    void setBusyTimeout(int milliseconds);
    sqlite3* handle() const { return m_pDB.get(); }

    // Process-wide busy retry counters of the outer loops; they only grow.
    static uint32_t StatementBusyCount();
    static uint32_t QueryBusyCount();

    // The handler SQLite calls while a lock is held elsewhere: logs, yields,
    // retries while calls <= 1024.
    static int BusyHandler(void* description, int calls);

private:
    void checkDB() const;

    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> m_pDB;
    int m_nBusyTimeoutMs = 60000;
};

// SQL text literal: the value between single quotes with every single quote
// doubled. A NUL cannot live inside a literal, so it is spliced in as
// '||char(0)||' and the stored text keeps every byte.
std::string SqlQuote(std::string_view value);
