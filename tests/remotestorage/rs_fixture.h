// Test environment of the remote-storage tests: a loopback service that records
// every request, temporary settings and registry files, a private log file and
// a view of the items the collector files.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/recordtree.h"
#include "support/raw_server.h"

namespace rstest {

// One request as received, split into its parts; header values stay as sent.
struct Captured {
    std::string method;
    std::string target;  // path with query
    std::string body;
    std::vector<std::string> headerLines;

    bool HasHeader(std::string_view name) const;
    std::string Header(std::string_view name) const;
    bool HasLine(std::string_view line) const;
};

struct Reply {
    Reply(int s = 200, std::string b = {}, std::string h = {}, int d = 0)
        : status(s), body(std::move(b)), extraHeaders(std::move(h)), delayMs(d) {}
    int status;
    std::string body;
    std::string extraHeaders;  // "Name: value\r\n" lines
    int delayMs;
};

using Responder = std::function<Reply(const Captured&)>;

// Records every request byte for byte and answers with the responder's reply
// ("ok" by default).
class RecordingServer {
public:
    RecordingServer();

    int Port() const { return m_raw->Port(); }
    std::string Root() const;  // "127.0.0.1:<port>"
    void SetResponder(Responder responder);
    // Answers every request with this XML text.
    void AnswerXml(std::string xml);
    std::vector<Captured> Requests();
    void Clear();

private:
    std::string Handle(const std::string& raw);

    std::mutex m_lock;
    std::vector<Captured> m_requests;
    Responder m_responder;
    std::unique_ptr<orvel::testsupport::RawServer> m_raw;
};

// One line of the log file: level letter and message.
struct LogLine {
    char level;
    std::string message;
};

class RemoteStorageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Rewrites the settings file; every root points at the test server unless overridden.
    void WriteSettings(const std::string& extra = {});
    void SetIsEnt(uint32_t value);
    // Log lines written since the test started.
    std::vector<LogLine> Log();
    // True when a line with exactly this level and message was written.
    bool Logged(char level, const std::string& message);
    std::vector<RecordTree> Items();
    std::vector<RecordTree> ItemsOf(const std::string& infotype);
    // The address of a port nobody listens on.
    static std::string ClosedRoot();

public:
    static RecordingServer* server;
    static std::string tempDir;

private:
    size_t m_logMark = 0;
};

// The answer document with a result attribute and optional inner elements.
std::string Answer(const std::string& result, const std::string& inner = {});

}  // namespace rstest
