// The progress handle exports. Any thread may query or cancel a handle while
// a transfer that uses it runs; only destruction must wait for the transfer.
#include <orvelsdk/orvelsdk.h>

#include <memory>

#include "log/log.h"
#include "orvelsdk/progress.h"
#include "orvelsdk/sdk_util.h"

extern "C" {

ORVEL_API HRESULT ORVEL_CreateProgress(ORVEL_PROGRESS* phProgress) {
    return GuardExport("ORVEL_CreateProgress", [&]() -> HRESULT {
        if (!ORVEL_ASSERT(phProgress)) return E_POINTER;
        HRESULT hr = S_OK;
        TRACE_SCOPE("ORVEL_CreateProgress()", &hr, "phProgress = %p", static_cast<void*>(phProgress));
        // A failed allocation throws and the guard answers E_OUTOFMEMORY.
        auto progress = std::make_unique<TransferProgress>();
        // Ownership passes to the caller, who frees it with ORVEL_DestroyProgress.
        *phProgress = progress.release();
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_QueryProgress(ORVEL_PROGRESS hProgress, double* total, double* done, double* speed) {
    return GuardExport("ORVEL_QueryProgress", [&]() -> HRESULT {
        const bool argsOk = ORVEL_ASSERT(hProgress) & ORVEL_ASSERT(total) & ORVEL_ASSERT(done) & ORVEL_ASSERT(speed);
        if (!argsOk) return E_POINTER;
        std::lock_guard<std::mutex> guard(hProgress->lock);
        *total = hProgress->total;
        *done = hProgress->done;
        *speed = hProgress->speed;
        return S_OK;
    });
}

ORVEL_API HRESULT ORVEL_CancelTransport(ORVEL_PROGRESS hProgress) {
    return GuardExport("ORVEL_CancelTransport", [&]() -> HRESULT {
        if (!ORVEL_ASSERT(hProgress)) return E_POINTER;
        std::lock_guard<std::mutex> guard(hProgress->lock);
        hProgress->cancelled = 1;
        return S_OK;
    });
}

ORVEL_API HRESULT ORVEL_DestroyProgress(ORVEL_PROGRESS hProgress) {
    return GuardExport("ORVEL_DestroyProgress", [&]() -> HRESULT {
        if (!ORVEL_ASSERT(hProgress)) return E_POINTER;
        std::unique_ptr<TransferProgress> owned(hProgress);
        return S_OK;
    });
}

}  // extern "C"
