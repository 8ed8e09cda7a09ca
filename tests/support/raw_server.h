// A raw-socket HTTP server on 127.0.0.1 (ephemeral port) that records every
// request exactly as received (header block and Content-Length body) and answers
// with the bytes a handler returns; the connection is closed after each answer.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvel::testsupport {

class RawServer {
public:
    // Gets the raw request, returns the raw response bytes.
    using Handler = std::function<std::string(const std::string& request)>;

    explicit RawServer(Handler handler);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int Port() const { return m_port; }
    std::string Url(std::string_view path) const;
    std::vector<std::string> Requests() const;
    std::string LastRequest() const;

    // A complete response with Content-Length and "Connection: close".
    static std::string Response(int status, std::string_view body, std::string_view extraHeaders = {});

private:
    void Serve();
    void HandleClient(int fd);

    Handler m_handler;
    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// Splits a raw request into its header block (up to and without the blank line) and body.
void SplitRequest(const std::string& request, std::string* head, std::string* body);
// Header lines of a raw request (without the request line), in order.
std::vector<std::string> HeaderLines(const std::string& request);

}  // namespace orvel::testsupport
