// What a transfer tells its progress callback: plain bytes, never going back,
// the current rate of the last few seconds.
#pragma once

#include <chrono>
#include <deque>
#include <future>
#include <utility>

#include "common/exceptions.h"
#include "common/hresult.h"

namespace ufa {

class TransferMeter {
public:
    using Clock = std::chrono::steady_clock;

    // `download` picks the callback's slots: (total, done, 0, 0, speed) for a
    // download, (0, 0, total, done, speed) for an upload.
    TransferMeter(ProgressCallback callback, void* context, bool download, double total);

    // The whole becomes known (a download learns it from its block list);
    // until then the reports say 0 of 0.
    void SetTotal(double total);

    // A block finished (or skipped: held by the service, or done by an earlier run).
    void AddPlain(double plainBytes);
    // The block whose encoded bytes move next: `plainSize` plain bytes stand
    // for `encodedSize` bytes on the wire (0 = not known yet).
    void StartBlock(double plainSize, double encodedSize);
    // The block in flight ended: its plain size is counted whole.
    void FinishBlock();
    // `moved` of `expected` encoded bytes of the block in flight have moved
    // (`expected` 0 = take the size given to StartBlock). Calls the callback;
    // its result (E_FAIL = stop).
    HRESULT Moved(double moved, double expected);
    // Calls the callback with what is counted now.
    HRESULT Report();
    // The transfer succeeded: done = total. The callback's result is not used.
    void Finish();

    // The callback shape the HTTP layer calls during a block request
    // (context: the meter); download or upload figures as the meter's direction.
    static HRESULT OnBlockProgress(void* meter, double dlTotal, double dlNow, double ulTotal, double ulNow,
                                   double speed);

    // The callback shape for the text requests of a transfer (context: the
    // meter): whatever libcurl reports, the meter's own figures are told.
    static HRESULT OnIdleProgress(void* meter, double, double, double, double, double);

    // The rate of plain bytes over the last seconds; testable with any clock.
    double SpeedAt(Clock::time_point now, double done);

private:
    HRESULT Call(double done);

    ProgressCallback m_callback;
    void* m_context;
    bool m_download;
    double m_total;
    double m_base = 0;        // plain sizes of the blocks finished or skipped
    double m_blockPlain = 0;  // the block in flight
    double m_blockEncoded = 0;
    double m_lastDone = 0;
    double m_lastSpeed = 0;
    std::deque<std::pair<Clock::time_point, double>> m_samples;  // (when, done)
};

// Waits for a worker's result while the progress keeps ticking (a cancel
// lands meanwhile: raises TaskCancel with `origin`). Work deferred to the
// caller's thread (one worker) simply runs.
template <class Future>
auto WaitTicking(Future& future, TransferMeter& meter, const char* origin) {
    while (future.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout) {
        if (meter.Report() == E_FAIL) throw EXCEPT::TaskCancel(origin);
    }
    return future.get();
}

}  // namespace ufa
