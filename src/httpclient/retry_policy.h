// When and how long to wait before a request is sent again after a transient
// network fault: a dropped or refused connection, a time-out, HTTP 5xx or 429.
// A request that changes state on the service is repeated only when it cannot
// have reached it (the connection was never made).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <curl/curl.h>

// Whether sending a request twice is harmless.
enum class RequestKind {
    Repeatable,    // reads, block transfers, metadata: any transient fault is retried
    ChangesState,  // commit, create, rename, move, delete, sign-in: only an unmade connection
    BestEffort,    // a once-per-process query with a short limit: a failure is final at once
};

// What one failed attempt looked like, as the request helper saw it.
struct AttemptFailure {
    CURLcode code = CURLE_OK;    // libcurl's result of the transfer
    long status = 0;             // HTTP status of the answer, 0 when none came
    long osErrno = 0;            // the socket error of a failed connect
    int64_t retryAfterSec = -1;  // the answer's Retry-After, -1 when none
    bool cancelled = false;      // the caller asked the transfer to stop
};

// True when the fault is worth another attempt for a request of this kind.
bool IsTransientFailure(const AttemptFailure& failure, RequestKind kind);
// True when the request never reached the service (no connection was made).
bool NeverReachedService(const AttemptFailure& failure);

// "[Tavik] NetworkRetries": extra attempts after the first (default 3, 0 = none).
int ReadNetworkRetries();

class RetryPolicy {
public:
    static constexpr std::chrono::milliseconds kBaseDelay{250};
    static constexpr std::chrono::milliseconds kMaxRetryAfter{8000};
    // No retry starts once this much time has gone since the first attempt, so
    // a service that stays down still fails well within half a minute.
    static constexpr std::chrono::milliseconds kBudget{20000};

    RetryPolicy(RequestKind kind, int extraAttempts,
                std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now());
    explicit RetryPolicy(RequestKind kind) : RetryPolicy(kind, ReadNetworkRetries()) {}

    // After a failed attempt: the wait before the next one, or nothing when the
    // failure is final. Counts the retry.
    std::optional<std::chrono::milliseconds> NextWait(const AttemptFailure& failure);
    int RetriesDone() const { return m_retries; }
    int ExtraAttempts() const { return m_extra; }

private:
    RequestKind m_kind;
    int m_extra;
    int m_retries = 0;
    std::chrono::steady_clock::time_point m_start;
};

// Waits `delay` in short slices, calling `stillWanted` between them; returns
// false at once when it answers false (the caller cancelled).
bool CancellableWait(std::chrono::milliseconds delay, const std::function<bool()>& stillWanted);

// Tests scale the real waits (the planned ones are still logged unscaled).
void SetRetryWaitScaleForTesting(double scale);
