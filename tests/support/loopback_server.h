// A cpp-httplib server on 127.0.0.1 with an ephemeral port, run on its own thread.
// Register handlers before Start(): through Get()/Post() to have the requests recorded
// for the test thread, or straight on Http() for anything else.
#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvel::testsupport {

class LoopbackServer {
public:
    // What a recorded request carried.
    struct Request {
        std::string method, path, target, body;
        std::string version;  // the "v" header (the service's protocol version)
        std::string userAgent;
        httplib::Request http;  // all of it: headers, form parts
    };
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    LoopbackServer();
    // An https server with the given PEM certificate and key.
    LoopbackServer(const std::string& certFile, const std::string& keyFile);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    httplib::Server& Http() { return *m_server; }
    // Routes whose requests are recorded and whose handlers run under the server's lock.
    void Get(const std::string& pattern, Handler handler);
    void Post(const std::string& pattern, Handler handler);
    // Binds, starts listening and returns once the server accepts connections.
    void Start();
    void Stop();
    int Port() const { return m_port; }
    // "127.0.0.1:<port>".
    std::string Root() const;
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path) const;

    // The recorded requests, in order.
    std::vector<Request> Requests() const;
    // The last recorded request (an empty one when there is none).
    Request LastRequest() const;
    // How many recorded requests had exactly `path`.
    int Count(std::string_view path) const;
    // Takes and drops the lock the handlers run under. Between a test thread that sets what a
    // handler reads (or reads what it wrote) and the handler, only the socket orders things,
    // which ThreadSanitizer does not see; passing through the lock shows it the order.
    void Sync() const;

private:
    Handler Locked(Handler handler);

    std::unique_ptr<httplib::Server> m_server;
    bool m_tls = false;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_lock;
    std::vector<Request> m_requests;
};

// Serves `bytes` at GET `path` in chunks of `chunk` bytes with `gap` between them,
// so that a client sees the body arrive over time (rate limits, progress ticks).
void AddChunkedGet(httplib::Server& server, const std::string& path, std::string bytes, size_t chunk,
                   std::chrono::milliseconds gap);

// A loopback port on which nothing listens (bound once, then closed), for refused connections.
int ClosedPort();

}  // namespace orvel::testsupport
