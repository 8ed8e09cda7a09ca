#include "rs_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "infocollection/info_collection.h"
#include "infocollection/info_collection_testing.h"
#include "log/log.h"
#include "log/log_testing.h"
#include "platform/registry.h"
#include "support/temp_env.h"

namespace rstest {

namespace fs = std::filesystem;

RecordingServer* RemoteStorageTest::server = nullptr;
std::string RemoteStorageTest::tempDir;

namespace {
// The suite's folder: settings, registry and log.
std::unique_ptr<orvel::testsupport::TempDir> g_dir;
}  // namespace

namespace {

std::mutex g_itemLock;
std::vector<RecordTree> g_items;

}  // namespace

namespace {

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

const std::string* FindHeader(const std::vector<std::string>& lines, std::string_view name) {
    for (const auto& line : lines) {
        size_t colon = line.find(':');
        if (colon != std::string::npos && SameName(std::string_view(line).substr(0, colon), name)) return &line;
    }
    return nullptr;
}

Captured Parse(const std::string& raw) {
    Captured c;
    std::string head;
    orvel::testsupport::SplitRequest(raw, &head, &c.body);
    const std::string requestLine = head.substr(0, head.find("\r\n"));
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = requestLine.rfind(' ');
    c.method = requestLine.substr(0, sp1);
    c.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    c.headerLines = orvel::testsupport::HeaderLines(raw);
    return c;
}

}  // namespace

bool Captured::HasHeader(std::string_view name) const { return FindHeader(headerLines, name) != nullptr; }

std::string Captured::Header(std::string_view name) const {
    const std::string* line = FindHeader(headerLines, name);
    if (line == nullptr) return {};
    size_t start = line->find(':') + 1;
    while (start < line->size() && (*line)[start] == ' ') ++start;
    return line->substr(start);
}

bool Captured::HasLine(std::string_view line) const {
    for (const auto& l : headerLines) {
        if (l == line) return true;
    }
    return false;
}

RecordingServer::RecordingServer()
    : m_raw(std::make_unique<orvel::testsupport::RawServer>([this](const std::string& raw) { return Handle(raw); })) {}

std::string RecordingServer::Root() const { return "127.0.0.1:" + std::to_string(Port()); }

void RecordingServer::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_responder = std::move(responder);
}

void RecordingServer::AnswerXml(std::string xml) {
    SetResponder([xml](const Captured&) { return Reply{200, xml}; });
}

std::vector<Captured> RecordingServer::Requests() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

void RecordingServer::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_requests.clear();
    m_responder = nullptr;
}

std::string RecordingServer::Handle(const std::string& raw) {
    Captured c = Parse(raw);
    Responder responder;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requests.push_back(c);
        responder = m_responder;
    }
    Reply reply = responder ? responder(c) : Reply{200, Answer("ok")};
    // A late answer, for the client's own time-outs.
    if (reply.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    return orvel::testsupport::RawServer::Response(reply.status, reply.body, reply.extraHeaders);
}

std::string Answer(const std::string& result, const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><answer result=\"" + result + "\">" + inner + "</answer>";
}

void RemoteStorageTest::SetUpTestSuite() {
    g_dir = std::make_unique<orvel::testsupport::TempDir>();
    tempDir = g_dir->Path();
    setenv("ORVEL_SETTINGS_FILE", (tempDir + "/settings.ini").c_str(), 1);
    setenv("ORVEL_REGISTRY_FILE", (tempDir + "/tavik.reg").c_str(), 1);
    LogSetNames("sdkrd.log", tempDir + "/sdkrd.log");
    orvel::logtest::SetSleepEnabled(false);
    orvel::logtest::SetThreshold(9);
    orvel::infotest::SetSink([](const RecordTree& item) {
        std::lock_guard<std::mutex> guard(g_itemLock);
        g_items.push_back(item);
    });
    server = new RecordingServer();
}

void RemoteStorageTest::TearDownTestSuite() {
    delete server;
    server = nullptr;
    orvel::infotest::SetSink(nullptr);
    g_dir.reset();
}

void RemoteStorageTest::SetUp() {
    server->Clear();
    WriteSettings();
    SetIsEnt(0);
    {
        std::lock_guard<std::mutex> guard(g_itemLock);
        g_items.clear();
    }
    std::error_code ec;
    auto size = fs::file_size(orvel::logtest::CurrentFile(), ec);
    m_logMark = ec ? 0 : static_cast<size_t>(size);
}

void RemoteStorageTest::TearDown() {}

void RemoteStorageTest::WriteSettings(const std::string& extra) {
    const std::string root = server->Root();
    std::ofstream out(tempDir + "/settings.ini", std::ios::trunc);
    out << "[Tavik]\nServerRoot=" << root << "\nSvrCommandRoot=" << root << "\nPushNotifyRoot=" << root
        << "\nMessageServerRoot=" << root << "\n[TavikShell]\nWebServerRoot=" << root << "\n"
        << extra;
}

void RemoteStorageTest::SetIsEnt(uint32_t value) { ASSERT_TRUE(RegSetDword("isent", value)); }

std::vector<LogLine> RemoteStorageTest::Log() {
    std::ifstream in(orvel::logtest::CurrentFile(), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::vector<LogLine> lines;
    size_t pos = std::min(m_logMark, text.size());
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        // date time \tL \tname \tpid:tid \tmessage[ \tFL:file(line)]
        std::vector<std::string> fields;
        size_t start = 0;
        for (int i = 0; i < 4; ++i) {
            size_t sep = line.find(" \t", start);
            if (sep == std::string::npos) break;
            fields.push_back(line.substr(start, sep - start));
            start = sep + 2;
        }
        if (fields.size() < 4 || fields[1].empty()) continue;
        std::string message = line.substr(start);
        size_t fl = message.rfind(" \tFL:");
        if (fl != std::string::npos) message.erase(fl);
        lines.push_back({fields[1][0], message});
    }
    return lines;
}

bool RemoteStorageTest::Logged(char level, const std::string& message) {
    for (const auto& line : Log()) {
        if (line.level == level && line.message == message) return true;
    }
    return false;
}

std::vector<RecordTree> RemoteStorageTest::Items() {
    std::lock_guard<std::mutex> guard(g_itemLock);
    return g_items;
}

std::vector<RecordTree> RemoteStorageTest::ItemsOf(const std::string& infotype) {
    std::vector<RecordTree> out;
    for (auto& item : Items()) {
        if (item.GetValue("infotype") == infotype) out.push_back(item);
    }
    return out;
}

std::string RemoteStorageTest::ClosedRoot() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

}  // namespace rstest
