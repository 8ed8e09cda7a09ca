// Usage collector: request counter and information items kept in the local
// database "data.db".
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
    uint32_t m_nCounter1 = 0;
};
