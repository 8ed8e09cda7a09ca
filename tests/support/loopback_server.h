// A cpp-httplib server on 127.0.0.1 with an ephemeral port, run on its own thread.
// Register handlers on Http() before Start().
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace orvel::testsupport {

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    httplib::Server& Http() { return m_server; }
    // Binds, starts listening and returns once the server accepts connections.
    void Start();
    void Stop();
    int Port() const { return m_port; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(std::string_view path) const;

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
};

// Serves `bytes` at GET `path` in chunks of `chunk` bytes with `gap` between them,
// so that a client sees the body arrive over time (rate limits, progress ticks).
void AddChunkedGet(httplib::Server& server, const std::string& path, std::string bytes, size_t chunk,
                   std::chrono::milliseconds gap);

// A loopback port on which nothing listens (bound once, then closed), for refused connections.
int ClosedPort();

}  // namespace orvel::testsupport
