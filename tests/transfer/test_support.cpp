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
    : m_rate(std::make_unique<LoopbackServer>()), m_serverRoot(serverRoot) {
    m_rate->Http().Post("/tavik/getrate.do", [](const httplib::Request&, httplib::Response& res) {
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

UploadRequest NewUpload(const std::string& token, const std::string& name, const std::string& path, int64_t size,
                        std::span<const BlockRecord> blocks, const std::string& sha1, const std::string& tempFolder,
                        ProgressCallback callback, void* context) {
    UploadRequest request;
    request.sha1 = sha1;
    request.parentId = "0";
    request.token = token;
    request.name = name;
    request.modTime = "2011-03-02 09:05:03";
    request.localPath = path;
    request.fileSize = size;
    request.blocks = blocks;
    request.tempFolder = tempFolder;
    request.callback = callback;
    request.context = context;
    return request;
}

bool EmulatorAvailable() { return ::access(ORVEL_EMULATOR_PATH, X_OK) == 0; }

}  // namespace xfertest
