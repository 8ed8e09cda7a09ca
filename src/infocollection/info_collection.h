// Usage collector: request counter, information items kept in the local
// database "data.db", and the transfer-speed reporters.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/hresult.h"
#include "common/recordtree.h"

class CInfoStore;  // database side, defined beside the implementation

class CInfoCollection {
public:
    static CInfoCollection& Instance();

    // Every request that reaches the network counts once.
    void IncrementRequestCounter();
    uint32_t RequestCount() const;

    // Item "dataitem" with "time", "infotype", then key = value (when key is not empty).
    void CollectInfo(std::string_view key, std::string_view infotype, std::string_view value);
    // Item "dataitem" with "infotype", then "time".
    void CollectInfo(std::string_view infotype);
    // Item "dataitem" with "time", "infotype", then every value of `item` in order.
    void CollectItem(std::string_view infotype, const RecordTree& item);

    // Opens (or creates) <config folder>/info/data.db; a damaged file is
    // removed and the store re-created once.
    HRESULT InitStore();

    // --- additions beyond the shared seam ---
    bool IsInited() const { return m_bInited.load(); }
    // Closes the store; the next item may open it again (when enabled).
    void CloseStore();
    // <config folder>/info/data.db, the config folder being "ConfigPath" from
    // the registry or ${XDG_CONFIG_HOME:-~/.config}/Brenmoor/Tavik/.
    static std::string StoreFilePath();
    static std::string ConfigFolder();

    CInfoCollection(const CInfoCollection&) = delete;
    CInfoCollection& operator=(const CInfoCollection&) = delete;

private:
    CInfoCollection();
    ~CInfoCollection();

    void File(RecordTree& item);
    bool EnsureStore();
    HRESULT InitStoreLocked(bool allowRecovery);
    HRESULT RecoverLocked();

    std::unique_ptr<CInfoStore> m_store;  // database and its "config" binding
    std::atomic<bool> m_bInited{false};
    std::atomic<bool> m_bOpenTried{false};
    std::mutex m_insertLock;  // held for every insert, open and recovery
    mutable std::mutex m_counterLock;
    uint32_t m_nCounter1 = 0;
    uint32_t m_nRequestCounter = 0;
};

namespace orvel::infotest {
// Sees every item filed, before the store (also while the store is closed).
void SetSink(std::function<void(const RecordTree& item)> sink);
// Closes the store and forgets that opening was tried, so a test can switch
// "EnableInfoStore" or "ConfigPath" and start over.
void ResetStore();
}  // namespace orvel::infotest

// Speed recording: the reporter gets the requester's URL and the text.
using SpeedReporter = void (*)(const std::string& requesterUrl, const std::string& text);

// Decided once per process by the rate query; later calls return the choice.
SpeedReporter GetSpeedReporter();
// "%d %s" and "%d %d", handed to the reporter (a null reporter does nothing).
void ReportSpeedText(SpeedReporter reporter, const std::string& url, int n, std::string_view text);
void ReportSpeedNumbers(SpeedReporter reporter, const std::string& url, int a, int b);

// The active reporter: item key = the text between the last two "/" of the
// URL, infotype "NetSpeed", value = the text.
void NetSpeed(const std::string& requesterUrl, const std::string& text);
// The reporter chosen when speeds are not recorded.
void NoSpeed(const std::string& requesterUrl, const std::string& text);
// The key NetSpeed files under for a URL.
std::string SpeedKeyFromUrl(std::string_view url);

namespace orvel::infotest {
// Forgets the rate-query decision so the next GetSpeedReporter asks again.
void ResetSpeedReporter();
}  // namespace orvel::infotest
