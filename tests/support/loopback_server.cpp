#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>

namespace orvel::testsupport {

LoopbackServer::LoopbackServer() : m_server(std::make_unique<httplib::Server>()) {
    // One request per connection: a client that keeps its connection open would
    // otherwise hold Stop() for the whole keep-alive time-out.
    m_server->set_keep_alive_max_count(1);
}

LoopbackServer::LoopbackServer(const std::string& certFile, const std::string& keyFile)
    : m_server(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())), m_tls(true) {
    if (!m_server->is_valid()) throw std::runtime_error("loopback server: cannot load " + certFile);
    m_server->set_keep_alive_max_count(1);
}

LoopbackServer::~LoopbackServer() { Stop(); }

void LoopbackServer::Start() {
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) throw std::runtime_error("loopback server: cannot bind");
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // Stop() only works once the accept loop runs.
    while (!m_server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LoopbackServer::Stop() {
    if (m_thread.joinable()) {
        m_server->stop();
        m_thread.join();
    }
}

std::string LoopbackServer::Root() const { return "127.0.0.1:" + std::to_string(m_port); }

std::string LoopbackServer::Url(std::string_view path) const {
    return (m_tls ? "https://" : "http://") + Root() + std::string(path);
}

LoopbackServer::Handler LoopbackServer::Locked(Handler handler) {
    return [this, handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> guard(m_lock);
        Request r;
        r.method = req.method;
        r.path = req.path;
        r.target = req.target;
        r.body = req.body;
        r.version = req.get_header_value("v");
        r.userAgent = req.get_header_value("User-Agent");
        r.http = req;
        m_requests.push_back(std::move(r));
        handler(req, res);
    };
}

void LoopbackServer::Get(const std::string& pattern, Handler handler) {
    m_server->Get(pattern, Locked(std::move(handler)));
}

void LoopbackServer::Post(const std::string& pattern, Handler handler) {
    m_server->Post(pattern, Locked(std::move(handler)));
}

std::vector<LoopbackServer::Request> LoopbackServer::Requests() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

LoopbackServer::Request LoopbackServer::LastRequest() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests.empty() ? Request{} : m_requests.back();
}

int LoopbackServer::Count(std::string_view path) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(
        std::count_if(m_requests.begin(), m_requests.end(), [&](const Request& r) { return r.path == path; }));
}

void LoopbackServer::Sync() const { std::lock_guard<std::mutex> guard(m_lock); }

void AddChunkedGet(httplib::Server& server, const std::string& path, std::string bytes, size_t chunk,
                   std::chrono::milliseconds gap) {
    auto shared = std::make_shared<std::string>(std::move(bytes));
    server.Get(path, [shared, chunk, gap](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(shared->size(), "application/octet-stream",
                                 [shared, chunk, gap](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (offset > 0) std::this_thread::sleep_for(gap);
                                     size_t n = std::min({chunk, length, shared->size() - offset});
                                     return sink.write(shared->data() + offset, n);
                                 });
    });
}

int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace orvel::testsupport
