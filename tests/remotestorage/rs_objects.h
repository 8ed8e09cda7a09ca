// Owning handle for remote-storage objects in tests.
#pragma once

#include <memory>

#include "remotestorage/remote_storage.h"

namespace rstest {

struct StorageRelease {
    void operator()(IRemoteStorage* p) const {
        if (p) p->Release();
    }
};
using StoragePtr = std::unique_ptr<IRemoteStorage, StorageRelease>;

inline StoragePtr MakeStorage() {
    IRemoteStorage* raw = nullptr;
    EXPECT_EQ(CreateRemoteStorage(&raw), S_OK);
    return StoragePtr(raw);
}

inline CRemoteStorage& Impl(const StoragePtr& p) { return *static_cast<CRemoteStorage*>(p.get()); }

}  // namespace rstest
