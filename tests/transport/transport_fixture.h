// A transport object and a loopback server with the answers the transport tests use.
#pragma once

#include <condition_variable>
#include <mutex>

#include "httpclient/http_fixture.h"
#include "transport/transport.h"

namespace orvel::transporttest {

class TransportTest : public httptest::HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        WriteSettings("[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n");
        auto& http = m_server.Http();
        for (int status : {200, 201, 302, 404, 500, 504}) {
            auto handler = [this, status](const httplib::Request& req, httplib::Response& res) {
                std::lock_guard<std::mutex> lock(m_seenLock);
                m_seen = req;
                res.status = status;
                res.set_content("body " + std::to_string(status), "text/xml");
            };
            http.Get("/s" + std::to_string(status), handler);
            http.Post("/s" + std::to_string(status), handler);
        }
        http.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(m_gateLock);
            m_gate.wait_for(lock, std::chrono::seconds(10), [this] { return m_open; });
            res.set_content("late", "text/plain");
        });
        m_bytes = std::string(128 * 1024, 'x');
        testsupport::AddChunkedGet(http, "/data", m_bytes, 8 * 1024, std::chrono::milliseconds(2));
        m_server.Start();
        ASSERT_EQ(S_OK, CreateTransport(&m_raw));
        m_transport.reset(m_raw);
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(m_gateLock);
            m_open = true;
        }
        m_gate.notify_all();
        m_transport.reset();
        m_server.Stop();
        HttpTest::TearDown();
    }
    httplib::Request Seen() {
        std::lock_guard<std::mutex> lock(m_seenLock);
        return m_seen;
    }

    testsupport::LoopbackServer m_server;
    ITransport* m_raw = nullptr;
    TransportPtr m_transport;
    std::string m_bytes;
    std::mutex m_seenLock;
    httplib::Request m_seen;
    std::mutex m_gateLock;
    std::condition_variable m_gate;
    bool m_open = false;
};

}  // namespace orvel::transporttest
