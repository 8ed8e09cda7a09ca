#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "blocks/transfer/speed_reporter_testing.h"
#include "common/recordtree.h"
#include "common/xml_helper.h"
#include "infocollection/info_collection.h"
#include "infocollection/info_collection_testing.h"
#include "log/log.h"
#include "log/log_testing.h"
#include "platform/digest.h"

namespace xfertest {

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i += 4) {
        uint32_t v = gen();
        for (size_t k = 0; k < 4 && i + k < size; ++k) out[i + k] = static_cast<char>(v >> (8 * k));
    }
    return out;
}

std::string TextBytes(size_t size) {
    static const std::string kLine = "The quick brown fox jumps over the lazy dog 0123456789.\n";
    std::string out;
    out.reserve(size + kLine.size());
    while (out.size() < size) out += kLine;
    out.resize(size);
    return out;
}

std::string Sha1Hex(const std::string& bytes) {
    return platform::Digest::Hex(platform::DigestKind::Sha1, bytes.data(), bytes.size());
}

void UseServiceRoot(const std::string& serverRoot, const std::string& extraTavik) {
    static TempDir settingsDir;
    const std::string settings = settingsDir.File("settings.ini");
    WriteFileBytes(settings, "[Tavik]\nServerRoot=" + serverRoot + "\nUploadSpeed=0\nDownloadSpeed=0\n" + extraTavik +
                                 "[Debug]\nUploadSpeed=0\nDownloadSpeed=0\n");
    const std::string registry = settingsDir.File("registry.reg");
    if (!Exists(registry)) WriteFileBytes(registry, "Windows Registry Editor Version 5.00\n");
    ::setenv("ORVEL_SETTINGS_FILE", settings.c_str(), 1);
    ::setenv("ORVEL_REGISTRY_FILE", registry.c_str(), 1);
}

FakeServer::FakeServer() = default;

FakeServer::~FakeServer() {
    server.stop();
    if (m_thread.joinable()) m_thread.join();
}

void FakeServer::Start() {
    m_port = server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::yield();
}

std::string FakeServer::Root() const { return "127.0.0.1:" + std::to_string(m_port); }

std::string FakeServer::Url(const std::string& path) const { return "http://" + Root() + path; }

void FakeServer::Record(const httplib::Request& req) {
    Request r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    r.body = req.body;
    r.version = req.get_header_value("v");
    r.userAgent = req.get_header_value("User-Agent");
    std::lock_guard<std::mutex> guard(m_lock);
    m_requests.push_back(std::move(r));
}

std::vector<FakeServer::Request> FakeServer::Requests() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

int FakeServer::Count(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(
        std::count_if(m_requests.begin(), m_requests.end(), [&](const Request& r) { return r.path == path; }));
}

InfoItems::InfoItems() {
    orvel::infotest::SetSink([this](const RecordTree& item) {
        std::string line = item.GetValue("infotype");
        std::string order = item.Key;
        for (size_t i = 0; i < item.ValueCount(); ++i) {
            order += "," + item[i].Key;
            if (item[i].Key != "time" && item[i].Key != "infotype") line += "|" + item[i].Key + "=" + item[i].Value;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(line);
        m_orders.push_back(order);
    });
}

InfoItems::~InfoItems() { orvel::infotest::SetSink(nullptr); }

std::vector<std::string> InfoItems::Lines() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

std::vector<std::string> InfoItems::Orders() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_orders;
}

SpeedRecording::SpeedRecording(const std::string& serverRoot)
    : m_rate(std::make_unique<FakeServer>()), m_serverRoot(serverRoot) {
    m_rate->server.Post("/tavik/getrate.do", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("rate=1", "text/plain");
    });
    m_rate->Start();
    UseServiceRoot(serverRoot, "RateQueryRoot=" + m_rate->Root() + "\n");
    orvel::infotest::ResetSpeedReporter();
}

SpeedRecording::~SpeedRecording() {
    // Later tests decide again, without a rate host: recording off.
    UseServiceRoot(m_serverRoot);
    orvel::infotest::ResetSpeedReporter();
}

LogCapture::LogCapture() {
    LogSetNames("sdkrd.log", m_dir.File("sdkrd.log"));
    orvel::logtest::SetSleepEnabled(false);
    orvel::logtest::SetThreshold(9);
}

LogCapture::~LogCapture() {
    orvel::logtest::SetThreshold(4);
    orvel::logtest::SetSleepEnabled(true);
}

std::string LogCapture::Text() const {
    const std::string path = orvel::logtest::CurrentFile();
    return Exists(path) ? ReadFileBytes(path) : std::string();
}

size_t LogCapture::Count(const std::string& part) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

bool LogCapture::HasLine(const std::string& message) const {
    const std::string text = Text();
    for (size_t at = 0; (at = text.find(message, at)) != std::string::npos; at += message.size()) {
        const size_t end = at + message.size();
        // The message is a whole field: after a tab, before the line end or
        // the " \tFL:" source field of trace-level lines.
        if (at > 0 && text[at - 1] == '\t' &&
            (end == text.size() || text[end] == '\r' || text.compare(end, 2, " \t") == 0))
            return true;
    }
    return false;
}

bool EmulatorAvailable() {
#ifdef ORVEL_EMULATOR_PATH
    return ::access(ORVEL_EMULATOR_PATH, X_OK) == 0;
#else
    return false;
#endif
}

}  // namespace xfertest
