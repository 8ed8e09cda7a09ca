#include "httpclient/retry_policy.h"

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "common/settings.h"

namespace {

std::atomic<double> g_waitScale{1.0};

constexpr std::chrono::milliseconds kWaitSlice{20};

int64_t Jittered(int64_t ms) {
    // Between 75 % and 125 % of the step, so clients that failed together do
    // not come back together.
    thread_local std::minstd_rand rng{std::random_device{}()};
    std::uniform_int_distribution<int64_t> spread(ms * 3 / 4, ms * 5 / 4);
    return spread(rng);
}

}  // namespace

bool NeverReachedService(const AttemptFailure& f) {
    return f.code == CURLE_COULDNT_CONNECT || f.code == CURLE_COULDNT_RESOLVE_HOST ||
           f.code == CURLE_COULDNT_RESOLVE_PROXY;
}

bool IsTransientFailure(const AttemptFailure& f, RequestKind kind) {
    if (kind == RequestKind::BestEffort) return false;
    if (f.cancelled || f.code == CURLE_ABORTED_BY_CALLBACK) return false;
    if (NeverReachedService(f)) return true;
    if (kind != RequestKind::Repeatable) return false;
    switch (f.code) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_SSL_CONNECT_ERROR:  // handshake cut off; a bad certificate is CURLE_PEER_FAILED_VERIFICATION
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return true;
        default:
            break;
    }
    return f.status == 429 || (f.status >= 500 && f.status <= 599);
}

int ReadNetworkRetries() {
    std::string text = ReadSettingString("Tavik", "NetworkRetries", "");
    if (text.empty()) return 3;
    int32_t n = ParseDecimalInt32(text);
    return std::clamp<int32_t>(n, 0, 10);
}

RetryPolicy::RetryPolicy(RequestKind kind, int extraAttempts, std::chrono::steady_clock::time_point start)
    : m_kind(kind), m_extra(std::max(0, extraAttempts)), m_start(start) {}

std::optional<std::chrono::milliseconds> RetryPolicy::NextWait(const AttemptFailure& failure) {
    if (m_retries >= m_extra || !IsTransientFailure(failure, m_kind)) return std::nullopt;
    int64_t ms = Jittered(kBaseDelay.count() << m_retries);
    if (failure.retryAfterSec >= 0)
        ms = std::min<int64_t>(std::max<int64_t>(ms, failure.retryAfterSec * 1000), kMaxRetryAfter.count());
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start);
    if (spent.count() + ms > kBudget.count()) return std::nullopt;
    ++m_retries;
    return std::chrono::milliseconds(ms);
}

bool CancellableWait(std::chrono::milliseconds delay, const std::function<bool()>& stillWanted) {
    using clock = std::chrono::steady_clock;
    auto scaled = std::chrono::duration_cast<clock::duration>(delay * g_waitScale.load());
    auto until = clock::now() + scaled;
    while (true) {
        if (stillWanted && !stillWanted()) return false;
        auto now = clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<clock::duration>(until - now, kWaitSlice));
    }
}

void SetRetryWaitScaleForTesting(double scale) { g_waitScale.store(scale); }
