#include "db/db.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <thread>

#include "log/log.h"
#include "platform/strings.h"

namespace {

constexpr auto kRetryDelay = std::chrono::milliseconds(1000);

// Only valid UTF-8 reaches SQLite: invalid sequences become U+FFFD.
std::string ToUtf8(std::string_view text) { return Utf16ToUtf8(Utf8ToUtf16(text)); }

HRESULT ResultForCode(int code) { return code == SQLITE_FULL ? E_DB_FULL : E_DB_ERROR; }

void LogException(std::string_view where, const CppSQLite3Exception& e, std::string_view sql) {
    std::string assertion = "*ASSERT*: !L\"";
    assertion.append(where);
    assertion += " throw Exception!\"";
    LogWrite(0, assertion, __FILE__, __LINE__);
    std::string whereText(where), sqlText(sql);
    LOGF(0, "Src:%s -- %s -- SQL:%s", e.errorMessage(), whereText.c_str(), sqlText.c_str());
}

}  // namespace

void CManualEvent::Set() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_bSignalled = true;
    }
    m_cv.notify_all();
}

void CManualEvent::Reset() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSignalled = false;
}

void CManualEvent::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_bSignalled; });
}

CDB::CDB() { LogWrite(4, "CDB::CDB", __FILE__, __LINE__); }

CDB::~CDB() { Close(); }

uint32_t CDB::CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void CDB::BeginExclusive() {
    m_hLock.Reset();
    m_nLockOwner = CurrentThreadId();
}

void CDB::EndExclusive() {
    m_nLockOwner = -1;
    m_hLock.Set();
}

void CDB::WaitForOwner() {
    int64_t owner = m_nLockOwner.load();
    if (owner != -1 && owner != static_cast<int64_t>(CurrentThreadId())) m_hLock.Wait();
}

HRESULT CDB::Init(std::string_view path) {
    try {
        std::lock_guard<std::mutex> guard(m_statementLock);
        open(ToUtf8(path));
        return S_OK;
    } catch (const CppSQLite3Exception& e) {
        LogException("CDB::Init", e, "");
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"CDB::Init throw Exception!\"", __FILE__, __LINE__);
    }
    return E_FAIL;
}

HRESULT CDB::execDML(std::string_view sql) {
    if (sql.data() == nullptr) LogWrite(0, "*ASSERT*: szSQL", __FILE__, __LINE__);
    if (sql.find("(null)") != std::string_view::npos)
        LogWrite(0, "*ASSERT*: wcsstr(szSQL, L\"(null)\") == 0", __FILE__, __LINE__);
    // A NUL would silently cut the statement short and run a different one.
    if (!ORVEL_ASSERT(sql.find('\0') == std::string_view::npos)) return E_DB_ERROR;

    WaitForOwner();
    std::string statement = ToUtf8(sql);
    try {
        std::lock_guard<std::mutex> guard(m_statementLock);
        CppSQLite3DB::execDML(statement);
        return S_OK;
    } catch (const CppSQLite3Exception& e) {
        LogException("CDB::execDML", e, statement);
        return ResultForCode(e.errorCode());
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"execDML Failed!\"", __FILE__, __LINE__);
        LOGF(0, "execDML Failed:%s", statement.c_str());
        return E_FAIL;
    }
}

HRESULT CDB::tableExists(std::string_view name, bool* exists) {
    if (exists) *exists = false;
    WaitForOwner();
    try {
        std::lock_guard<std::mutex> guard(m_statementLock);
        bool found = CppSQLite3DB::tableExists(ToUtf8(name));
        if (exists) *exists = found;
        return S_OK;
    } catch (const CppSQLite3Exception& e) {
        LogException("CDB::tableExists", e, name);
        return ResultForCode(e.errorCode());
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"CDB::tableExists throw Exception!\"", __FILE__, __LINE__);
        return E_FAIL;
    }
}

HRESULT CDB::QueryRows(std::string_view sql, std::vector<std::vector<std::string>>* rows) {
    if (rows) rows->clear();
    if (!ORVEL_ASSERT(sql.find('\0') == std::string_view::npos)) return E_DB_ERROR;
    WaitForOwner();
    std::string statement = ToUtf8(sql);
    try {
        std::lock_guard<std::mutex> guard(m_statementLock);
        for (CppSQLite3Query query = execQuery(statement); !query.eof(); query.nextRow()) {
            if (!rows) continue;
            std::vector<std::string>& row = rows->emplace_back();
            for (int i = 0; i < query.numFields(); ++i) row.push_back(query.fieldText(i));
        }
        return S_OK;
    } catch (const CppSQLite3Exception& e) {
        LogException("CDB::QueryRows", e, statement);
        return ResultForCode(e.errorCode());
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"CDB::QueryRows throw Exception!\"", __FILE__, __LINE__);
        return E_FAIL;
    }
}

HRESULT CDB::RunWithRetry(const std::string& sql) {
    HRESULT hr = execDML(sql);
    if (FAILED(hr)) {
        std::this_thread::sleep_for(kRetryDelay);
        hr = execDML(sql);
        if (SUCCEEDED(hr)) LogWrite(5, "Sql Execute Failed And Retry Succeeded!", __FILE__, __LINE__);
    }
    return hr;
}

HRESULT CDB::CreateTable(std::string_view table, std::string_view columns) {
    std::string sql = "CREATE TABLE ";
    sql.append(table).append(" (").append(columns).append(")");
    return RunWithRetry(sql);
}

HRESULT CDB::InsertRow(std::string_view table, std::string_view fields, std::string_view values) {
    if (table.empty() || fields.empty() || values.empty()) {
        LogWrite(0, "*ASSERT*: szTableName && szFields && szValues", __FILE__, __LINE__);
    }
    std::string sql = "INSERT INTO ";
    sql.append(table).append(" (").append(fields).append(") VALUES (").append(values).append(")");
    return RunWithRetry(sql);
}

HRESULT CDB::Close() {
    std::lock_guard<std::mutex> guard(m_statementLock);
    close();
    return S_OK;
}
