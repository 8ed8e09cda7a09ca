#include "orvelsdk/progress.h"

namespace {

HRESULT Record(void* ctx, double total, double done, double speed) {
    auto* progress = static_cast<TransferProgress*>(ctx);
    if (progress == nullptr) return S_OK;
    std::lock_guard<std::mutex> guard(progress->lock);
    progress->total = total;
    progress->done = done;
    progress->speed = speed;
    return progress->cancelled != 0 ? E_FAIL : S_OK;
}

}  // namespace

HRESULT UploadProgressCallback(void* ctx, double, double, double ulTotal, double ulNow, double speed) {
    return Record(ctx, ulTotal, ulNow, speed);
}

HRESULT DownloadProgressCallback(void* ctx, double dlTotal, double dlNow, double, double, double speed) {
    return Record(ctx, dlTotal, dlNow, speed);
}
