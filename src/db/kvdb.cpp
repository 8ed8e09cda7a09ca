#include "db/kvdb.h"

#include <vector>

#include "db/db.h"
#include "log/log.h"

namespace {
constexpr std::string_view kTableName = "config";
constexpr std::string_view kColumns = "section TEXT, field TEXT, value TEXT";

std::string KeyCondition(std::string_view section, std::string_view field) {
    return " WHERE section=" + SqlQuote(section) + " AND field=" + SqlQuote(field);
}
}  // namespace

HRESULT kvdb::Attach(CDB* pDB) {
    if (m_pDB || !pDB) {
        LogWrite(0, "*ASSERT*: !m_pDB && pDB && szTableName", __FILE__, __LINE__);
        if (!pDB) return E_POINTER;  // nothing to bind to
    }
    m_pDB = pDB;
    m_strTableName = kTableName;

    bool exists = false;
    HRESULT hr = m_pDB->tableExists(m_strTableName, &exists);
    if (!ERROR_CHECK_COM(hr)) return hr;
    if (!exists) {
        hr = m_pDB->CreateTable(m_strTableName, kColumns);
        if (!ERROR_CHECK_COM(hr)) return hr;
    }
    return S_OK;
}

void kvdb::Detach() {
    m_pDB = nullptr;
    m_strTableName.clear();
}

HRESULT kvdb::SetValue(std::string_view section, std::string_view field, std::string_view value) {
    if (!ERROR_CHECK_BOOL(m_pDB)) return E_FAIL;
    // Update in place, insert only when missing: each step leaves a whole row
    // behind even if the other one fails.
    const std::string condition = KeyCondition(section, field);
    std::string sql = "UPDATE " + m_strTableName + " SET value=" + SqlQuote(value) + condition + ";";
    sql += "INSERT INTO " + m_strTableName + " (section, field, value) SELECT " + SqlQuote(section) + ", " +
           SqlQuote(field) + ", " + SqlQuote(value) + " WHERE NOT EXISTS (SELECT 1 FROM " + m_strTableName + condition +
           ")";
    HRESULT hr = m_pDB->execDML(sql);
    ERROR_CHECK_COM(hr);
    return hr;
}

HRESULT kvdb::GetValue(std::string_view section, std::string_view field, std::string* value) {
    if (value) value->clear();
    if (!ERROR_CHECK_BOOL(m_pDB)) return E_FAIL;
    std::vector<std::vector<std::string>> rows;
    HRESULT hr = m_pDB->QueryRows("SELECT value FROM " + m_strTableName + KeyCondition(section, field), &rows);
    if (!ERROR_CHECK_COM(hr)) return hr;
    if (rows.empty() || rows.front().empty()) return S_FALSE;
    if (value) *value = rows.front().front();
    return S_OK;
}
