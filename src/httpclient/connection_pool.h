// Connections kept open between the requests of one transfer (or of one
// remote-storage object): a libcurl share of the connection cache, TLS
// sessions and name lookups. Every helper made on a thread while a
// ConnectionScope is open there joins the scope's pool, so a series of
// requests to one host rides one connection, with one TLS handshake.
#pragma once

#include <memory>
#include <mutex>

#include <curl/curl.h>

class ConnectionPool {
public:
    // Null when libcurl cannot make a share; requests then connect one by one.
    static std::shared_ptr<ConnectionPool> Create();
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    CURLSH* Share() const { return m_share; }

    // Benchmarks compare with one connection per request: Create() then
    // answers null.
    static void SetEnabledForTesting(bool enabled);

private:
    ConnectionPool() = default;
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
    static void Unlock(CURL*, curl_lock_data data, void* self);

    CURLSH* m_share = nullptr;
    // libcurl asks for one lock per kind of shared data.
    std::mutex m_locks[CURL_LOCK_DATA_LAST];
};

// While alive, helpers created on this thread use `pool` (a new one when none
// is given and no scope is open yet; an open outer scope's pool otherwise).
class ConnectionScope {
public:
    explicit ConnectionScope(std::shared_ptr<ConnectionPool> pool = nullptr);
    ~ConnectionScope();
    ConnectionScope(const ConnectionScope&) = delete;
    ConnectionScope& operator=(const ConnectionScope&) = delete;

    // The pool of the innermost open scope on this thread, or null.
    static std::shared_ptr<ConnectionPool> Current();

private:
    std::shared_ptr<ConnectionPool> m_previous;
};
