// CDB: the database wrapper the library uses. Serialises statements, turns
// every failure into a result value plus log lines, and retries table
// creation and row insertion once after a pause.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/hresult.h"
#include "db/cppsqlite3.h"

// SQLite reported the disk or the database full (SQLite code 13).
inline constexpr HRESULT E_DB_FULL = static_cast<HRESULT>(0x80048003);
// Any other SQLite or wrapper failure.
inline constexpr HRESULT E_DB_ERROR = static_cast<HRESULT>(0x80048004);

// Manual-reset event, created signalled.
class CManualEvent {
public:
    void Set();
    void Reset();
    void Wait();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bSignalled = true;
};

class CDB : public CppSQLite3DB {
public:
    CDB();
    ~CDB() override;

    HRESULT Init(std::string_view path);
    HRESULT execDML(std::string_view sql);
    HRESULT tableExists(std::string_view name, bool* exists);
    // "CREATE TABLE %s (%s)"; a failure is retried once after 1000 ms.
    HRESULT CreateTable(std::string_view table, std::string_view columns);
    // "INSERT INTO %s (%s) VALUES (%s)"; values must already be quoted
    // (SqlQuote). A failure is retried once after 1000 ms.
    HRESULT InsertRow(std::string_view table, std::string_view fields, std::string_view values);
    // Every row of a query, each field as text (NULL gives "").
    HRESULT QueryRows(std::string_view sql, std::vector<std::vector<std::string>>* rows);
    HRESULT Close();

    // Lock owner: while one thread owns the database, statements from other
    // threads wait (without a time limit) until it lets go.
    void BeginExclusive();
    void EndExclusive();

    static uint32_t CurrentThreadId();

private:
    HRESULT RunWithRetry(const std::string& sql);
    void WaitForOwner();

    std::mutex m_statementLock;
    CManualEvent m_hLock;
    std::atomic<int64_t> m_nLockOwner{-1};
};
