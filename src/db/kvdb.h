// Key/value rows ("section", "field", "value") in the table "config" of a CDB.
#pragma once

#include <string>
#include <string_view>

#include "common/hresult.h"

class CDB;

class kvdb {
public:
    // Binds to the database and makes sure the table "config" exists.
    HRESULT Attach(CDB* pDB);
    void Detach();
    bool IsAttached() const { return m_pDB != nullptr; }

    // Replaces the value stored under (section, field).
    HRESULT SetValue(std::string_view section, std::string_view field, std::string_view value);
    // The stored value, or "" with S_FALSE when there is none.
    HRESULT GetValue(std::string_view section, std::string_view field, std::string* value);

private:
    CDB* m_pDB = nullptr;
    std::string m_strTableName;
};
