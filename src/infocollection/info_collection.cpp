#include "infocollection/info_collection.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/settings.h"
#include "common/xml_helper.h"
#include "log/log.h"

// Database side of the collector; filled in once the local database lands.
class CInfoStore {};

namespace {

std::mutex g_sinkLock;
std::function<void(const RecordTree&)> g_sink;

std::string LocalTimeText() {
    std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    localtime_r(&now, &tmNow);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04i-%02i-%02i %02i:%02i:%02i", tmNow.tm_year + 1900,
                  tmNow.tm_mon + 1, tmNow.tm_mday, tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec);
    return buf;
}

}  // namespace

CInfoCollection& CInfoCollection::Instance() {
    static CInfoCollection instance;
    return instance;
}

CInfoCollection::CInfoCollection() : m_store(std::make_unique<CInfoStore>()) {}
CInfoCollection::~CInfoCollection() = default;

void CInfoCollection::IncrementRequestCounter() {
    std::lock_guard<std::mutex> guard(m_counterLock);
    ++m_nRequestCounter;
}

uint32_t CInfoCollection::RequestCount() const {
    std::lock_guard<std::mutex> guard(m_counterLock);
    return m_nRequestCounter;
}

void CInfoCollection::CollectInfo(std::string_view key, std::string_view infotype,
                                  std::string_view value) {
    RecordTree item("dataitem");
    item.AddValue("time", LocalTimeText());
    item.AddValue("infotype", infotype);
    if (!key.empty()) item.AddValue(key, value);
    File(item);
}

void CInfoCollection::CollectInfo(std::string_view infotype) {
    RecordTree item("dataitem");
    item.AddValue("infotype", infotype);
    item.AddValue("time", LocalTimeText());
    File(item);
}

void CInfoCollection::CollectItem(std::string_view infotype, const RecordTree& values) {
    RecordTree item("dataitem");
    item.AddValue("time", LocalTimeText());
    item.AddValue("infotype", infotype);
    for (size_t i = 0; i < values.ValueCount(); ++i) item.AddValue(values[i].Key, values[i].Value);
    File(item);
}

void CInfoCollection::File(RecordTree& item) {
    try {
        {
            std::function<void(const RecordTree&)> sink;
            {
                std::lock_guard<std::mutex> guard(g_sinkLock);
                sink = g_sink;
            }
            if (sink) sink(item);
        }
        bool opened = EnsureStore();
        if (!ERROR_CHECK_BOOL(m_bInited)) return;
        (void)opened;
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"CInfoCollection::CollectInfo Failed!\"", __FILE__, __LINE__);
    }
}

bool CInfoCollection::EnsureStore() {
    if (m_bInited.load()) return true;
    if (m_bOpenTried.exchange(true)) return false;
    if (ReadRegistryDword("EnableInfoStore", 0, false) != 1) return false;
    return InitStore() == S_OK;
}

HRESULT CInfoCollection::InitStore() {
    std::lock_guard<std::mutex> guard(m_insertLock);
    return InitStoreLocked(true);
}

HRESULT CInfoCollection::InitStoreLocked(bool allowRecovery) {
    (void)allowRecovery;
    return E_NOTIMPL;
}

HRESULT CInfoCollection::RecoverLocked() { return E_NOTIMPL; }

void CInfoCollection::CloseStore() {
    std::lock_guard<std::mutex> guard(m_insertLock);
    m_bInited = false;
}

std::string CInfoCollection::ConfigFolder() {
    std::string base = ReadRegistryString("ConfigPath", true);
    if (!base.empty()) return base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/Brenmoor/Tavik/";
}

std::string CInfoCollection::StoreFilePath() {
    std::string folder = ConfigFolder();
    if (folder.back() != '/') folder += '/';
    return folder + "info/data.db";
}

namespace orvel::infotest {

void SetSink(std::function<void(const RecordTree& item)> sink) {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    g_sink = std::move(sink);
}

void ResetStore() {
    CInfoCollection::Instance().CloseStore();
}

}  // namespace orvel::infotest
