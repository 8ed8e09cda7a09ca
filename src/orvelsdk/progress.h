// TransferProgress: the record behind an ORVEL_PROGRESS handle. Written by a
// transfer's progress callback, read and cancelled from any thread.
#pragma once

#include <orvelsdk/orvelsdk.h>

#include <cstdint>
#include <mutex>

struct OrvelProgress {
    double total = 0.0;     // bytes of the whole transfer
    double done = 0.0;      // bytes transferred so far
    double speed = 0.0;     // bytes per second
    int32_t cancelled = 0;  // once set it stays set
    std::mutex lock;        // guards the four fields above
};
using TransferProgress = OrvelProgress;

// The engines' progress callbacks; the context is the TransferProgress.
// Both answer E_FAIL once the record is cancelled, S_OK otherwise.
HRESULT UploadProgressCallback(void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow, double speed);
HRESULT DownloadProgressCallback(void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow, double speed);
