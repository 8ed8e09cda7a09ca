#include "support/raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace orvel::testsupport {

namespace {

size_t ContentLength(const std::string& head) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    size_t pos = lower.find("\r\ncontent-length:");
    if (pos == std::string::npos) return 0;
    return std::stoul(lower.substr(pos + 17));
}

}  // namespace

RawServer::RawServer(Handler handler) : m_handler(std::move(handler)) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listenFd < 0) throw std::runtime_error("raw server: socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_listenFd, 16) != 0)
        throw std::runtime_error("raw server: bind");
    socklen_t len = sizeof(addr);
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

RawServer::~RawServer() {
    m_stop = true;
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_thread.join();
    ::close(m_listenFd);
}

std::string RawServer::Url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

std::vector<std::string> RawServer::Requests() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

std::string RawServer::LastRequest() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests.empty() ? std::string() : m_requests.back();
}

std::string RawServer::Response(int status, std::string_view body, std::string_view extraHeaders) {
    std::string out = "HTTP/1.1 " + std::to_string(status) +
                      " Status\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
    out += extraHeaders;
    out += "\r\n";
    out += body;
    return out;
}

void RawServer::Serve() {
    while (!m_stop) {
        pollfd pfd{m_listenFd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) continue;
        int fd = ::accept(m_listenFd, nullptr, nullptr);
        if (fd < 0) continue;
        HandleClient(fd);
        ::close(fd);
    }
}

void RawServer::HandleClient(int fd) {
    std::string request;
    char buf[4096];
    size_t headEnd = std::string::npos;
    size_t need = 0;
    while (true) {
        if (headEnd != std::string::npos && request.size() >= headEnd + 4 + need) break;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 5000) <= 0) return;
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
        if (headEnd == std::string::npos) {
            headEnd = request.find("\r\n\r\n");
            if (headEnd != std::string::npos) need = ContentLength(request.substr(0, headEnd + 2));
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requests.push_back(request);
    }
    std::string response = m_handler(request);
    size_t sent = 0;
    while (sent < response.size()) {
        ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
}

void SplitRequest(const std::string& request, std::string* head, std::string* body) {
    size_t end = request.find("\r\n\r\n");
    if (head) *head = request.substr(0, end);
    if (body) *body = end == std::string::npos ? std::string() : request.substr(end + 4);
}

std::vector<std::string> HeaderLines(const std::string& request) {
    std::string head;
    SplitRequest(request, &head, nullptr);
    std::vector<std::string> lines;
    size_t start = head.find("\r\n");
    while (start != std::string::npos) {
        start += 2;
        size_t end = head.find("\r\n", start);
        lines.push_back(head.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end;
    }
    return lines;
}

}  // namespace orvel::testsupport
