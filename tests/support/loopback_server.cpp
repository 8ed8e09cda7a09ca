#include "support/loopback_server.h"

#include <chrono>
#include <stdexcept>

namespace orvel::testsupport {

LoopbackServer::LoopbackServer() {
    // One request per connection: a client that keeps its connection open would
    // otherwise hold Stop() for the whole keep-alive time-out.
    m_server.set_keep_alive_max_count(1);
}

LoopbackServer::~LoopbackServer() { Stop(); }

void LoopbackServer::Start() {
    m_port = m_server.bind_to_any_port("127.0.0.1");
    if (m_port <= 0) throw std::runtime_error("loopback server: cannot bind");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // Stop() only works once the accept loop runs.
    while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LoopbackServer::Stop() {
    if (m_thread.joinable()) {
        m_server.stop();
        m_thread.join();
    }
}

std::string LoopbackServer::Url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

}  // namespace orvel::testsupport
