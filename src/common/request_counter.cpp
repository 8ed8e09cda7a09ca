#include "common/request_counter.h"

#include <atomic>

namespace {
// Requests come from any caller thread; a plain count needs no ordering with other data.
std::atomic<uint32_t> g_requests{0};
}  // namespace

void CountNetworkRequest() { g_requests.fetch_add(1, std::memory_order_relaxed); }

uint32_t NetworkRequestCount() { return g_requests.load(std::memory_order_relaxed); }
