#include "infocollection/info_collection.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "common/request_counter.h"
#include "infocollection/info_collection_testing.h"
#include "common/settings.h"
#include "common/xml_helper.h"
#include "db/db.h"
#include "db/kvdb.h"
#include "log/log.h"
#include "platform/guid.h"

// Database side of the collector: the database and its "config" binding.
class CInfoStore {
public:
    CDB db;
    kvdb kv;
};

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDataTable = "data";
constexpr std::string_view kDataColumns = "id INTEGER PRIMARY KEY, data TEXT";

std::mutex g_sinkLock;
std::function<void(const RecordTree&)> g_sink;

std::string LocalTimeText() {
    std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&now, &tmNow);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04i-%02i-%02i %02i:%02i:%02i", tmNow.tm_year + 1900, tmNow.tm_mon + 1,
                  tmNow.tm_mday, tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
    return buf;
}

std::string JoinPath(std::string base, std::string_view name) {
    if (!base.empty() && base.back() != '/') base += '/';
    base.append(name);
    return base;
}

bool IsDatabaseError(HRESULT hr) { return hr == E_DB_FULL || hr == E_DB_ERROR; }

// Removes a file; when it cannot be removed, moves it aside within its folder
// under a fresh GUID name so that the next open starts from scratch.
void RemoveOrMoveAside(const fs::path& file, std::string_view suffix) {
    std::error_code ec;
    fs::remove(file, ec);
    if (!fs::exists(file, ec)) return;
    fs::path aside = file.parent_path() / (NewGuidString() + std::string(suffix));
    fs::rename(file, aside, ec);
    if (ec) LOGF(5, "Move damaged database aside failed: %s", file.c_str());
}

}  // namespace

CInfoCollection& CInfoCollection::Instance() {
    static CInfoCollection instance;
    return instance;
}

CInfoCollection::CInfoCollection() : m_store(std::make_unique<CInfoStore>()) {}
CInfoCollection::~CInfoCollection() = default;

void CInfoCollection::IncrementRequestCounter() { CountNetworkRequest(); }

uint32_t CInfoCollection::RequestCount() const { return NetworkRequestCount(); }

void CInfoCollection::CollectInfo(std::string_view key, std::string_view infotype, std::string_view value) {
    try {
        RecordTree item("dataitem");
        item.AddValue("time", LocalTimeText());
        item.AddValue("infotype", infotype);
        if (!key.empty()) item.AddValue(key, value);
        File(item);
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"CInfoCollection::CollectInfo throw Exception!\"", __FILE__, __LINE__);
    }
}

void CInfoCollection::CollectInfo(std::string_view infotype) {
    try {
        RecordTree item("dataitem");
        item.AddValue("infotype", infotype);
        item.AddValue("time", LocalTimeText());
        File(item);
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"CInfoCollection::CollectInfo throw Exception!\"", __FILE__, __LINE__);
    }
}

void CInfoCollection::CollectItem(std::string_view infotype, const RecordTree& values) {
    try {
        RecordTree item("dataitem");
        item.AddValue("time", LocalTimeText());
        item.AddValue("infotype", infotype);
        for (size_t i = 0; i < values.ValueCount(); ++i) item.AddValue(values[i].Key, values[i].Value);
        File(item);
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"CInfoCollection::CollectInfo throw Exception!\"", __FILE__, __LINE__);
    }
}

void CInfoCollection::File(RecordTree& item) {
    std::function<void(const RecordTree&)> sink;
    {
        std::lock_guard<std::mutex> guard(g_sinkLock);
        sink = g_sink;
    }
    if (sink) sink(item);

    std::lock_guard<std::mutex> guard(m_insertLock);
    EnsureStore();
    if (!ERROR_CHECK_BOOL(m_bInited)) return;

    HRESULT hr = m_store->db.InsertRow(kDataTable, "data", SqlQuote(ToXml(item)));
    if (!ERROR_CHECK_COM(hr) && IsDatabaseError(hr)) RecoverLocked();
}

// Called with the insert lock held. The library's default keeps the store
// closed; the registry DWORD "EnableInfoStore" = 1 opens it on first use.
bool CInfoCollection::EnsureStore() {
    if (m_bInited.load()) return true;
    if (m_bOpenTried.exchange(true)) return false;
    if (ReadRegistryDword("EnableInfoStore", 0, false) != 1) return false;
    return SUCCEEDED(InitStoreLocked(true));
}

HRESULT CInfoCollection::InitStore() {
    std::lock_guard<std::mutex> guard(m_insertLock);
    m_bOpenTried = true;
    return InitStoreLocked(true);
}

HRESULT CInfoCollection::InitStoreLocked(bool allowRecovery) {
    m_bInited = false;
    m_store->kv.Detach();
    m_store->db.Close();

    const std::string folder = JoinPath(ConfigFolder(), "info");
    HRESULT hr = CreateFolderTree(folder);
    if (!ERROR_CHECK_COM(hr)) return hr;

    hr = m_store->db.Init(JoinPath(folder, "data.db"));
    if (ERROR_CHECK_COM(hr)) {
        hr = m_store->kv.Attach(&m_store->db);
        ERROR_CHECK_COM(hr);
    }
    if (SUCCEEDED(hr)) {
        bool exists = false;
        hr = m_store->db.tableExists(kDataTable, &exists);
        if (ERROR_CHECK_COM(hr) && !exists) {
            hr = m_store->db.CreateTable(kDataTable, kDataColumns);
            ERROR_CHECK_COM(hr);
        }
    }
    if (SUCCEEDED(hr)) {
        m_bInited = true;
        return S_OK;
    }
    if (allowRecovery && IsDatabaseError(hr)) return RecoverLocked();
    m_store->kv.Detach();
    m_store->db.Close();
    return hr;
}

// A damaged or full database: drop the file (and its journals, which would
// otherwise be replayed into the new file) and create the store once more.
HRESULT CInfoCollection::RecoverLocked() {
    m_bInited = false;
    m_store->kv.Detach();
    m_store->db.Close();

    const fs::path file = StoreFilePath();
    for (std::string_view suffix : {"-journal", "-wal", "-shm"})
        RemoveOrMoveAside(fs::path(file.string() + std::string(suffix)), suffix);
    RemoveOrMoveAside(file, "");
    return InitStoreLocked(false);
}

void CInfoCollection::CloseStore() {
    std::lock_guard<std::mutex> guard(m_insertLock);
    m_bInited = false;
    m_bOpenTried = false;
    m_store->kv.Detach();
    m_store->db.Close();
}

std::string CInfoCollection::ConfigFolder() {
    std::string base = ReadRegistryString("ConfigPath", true);
    if (!base.empty()) return base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = JoinPath(home ? home : "", ".config");
    }
    return JoinPath(base, "Brenmoor/Tavik/");
}

std::string CInfoCollection::StoreFilePath() { return JoinPath(JoinPath(ConfigFolder(), "info"), "data.db"); }

namespace orvel::infotest {

void SetSink(std::function<void(const RecordTree& item)> sink) {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    g_sink = std::move(sink);
}

void ResetStore() { CInfoCollection::Instance().CloseStore(); }

}  // namespace orvel::infotest
