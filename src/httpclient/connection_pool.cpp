#include "httpclient/connection_pool.h"

#include <atomic>
#include <new>

namespace {
thread_local std::shared_ptr<ConnectionPool> t_current;
std::atomic<bool> g_enabled{true};
}  // namespace

void ConnectionPool::SetEnabledForTesting(bool enabled) { g_enabled.store(enabled); }

std::shared_ptr<ConnectionPool> ConnectionPool::Create() {
    if (!g_enabled.load()) return nullptr;
    std::shared_ptr<ConnectionPool> pool(new (std::nothrow) ConnectionPool());
    if (!pool) return nullptr;
    pool->m_share = curl_share_init();
    if (!pool->m_share) return nullptr;
    CURLSH* sh = pool->m_share;
    bool ok = curl_share_setopt(sh, CURLSHOPT_LOCKFUNC, &ConnectionPool::Lock) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_UNLOCKFUNC, &ConnectionPool::Unlock) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_USERDATA, pool.get()) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK &&
              curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
    return ok ? pool : nullptr;
}

ConnectionPool::~ConnectionPool() {
    // Every helper holding the pool has cleaned up its handle by now; this
    // closes the connections still open.
    if (m_share) curl_share_cleanup(m_share);
}

void ConnectionPool::Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    if (data >= 0 && data < CURL_LOCK_DATA_LAST) static_cast<ConnectionPool*>(self)->m_locks[data].lock();
}

void ConnectionPool::Unlock(CURL*, curl_lock_data data, void* self) {
    if (data >= 0 && data < CURL_LOCK_DATA_LAST) static_cast<ConnectionPool*>(self)->m_locks[data].unlock();
}

ConnectionScope::ConnectionScope(std::shared_ptr<ConnectionPool> pool) : m_previous(t_current) {
    if (!pool) pool = m_previous ? m_previous : ConnectionPool::Create();
    t_current = std::move(pool);
}

ConnectionScope::~ConnectionScope() { t_current = std::move(m_previous); }

std::shared_ptr<ConnectionPool> ConnectionScope::Current() { return t_current; }
