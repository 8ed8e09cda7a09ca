// Helpers for the transfer tests: temporary folders (tests/support's TempDir), file contents, the
// settings file that points the library at a loopback server (tests/support's LoopbackServer); the emulator itself is
// tests/support's EmulatorProcess.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "blocks/transfer/ufa_file.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "support/temp_env.h"

namespace xfertest {

using orvel::testsupport::LogCapture;
using orvel::testsupport::LoopbackServer;
using orvel::testsupport::ReadFileBytes;
using orvel::testsupport::WriteFileBytes;
using TempDir = orvel::testsupport::TempDir;

bool Exists(const std::string& path);
// Deterministic pseudo-random (incompressible) bytes.
std::string RandomBytes(size_t size, uint32_t seed);
// Text that compresses well.
std::string TextBytes(size_t size);
std::string Sha1Hex(const std::string& bytes);

// Writes a settings file naming `serverRoot` as the API root with the speed
// caps lifted (plus `extraTavik` lines in section "Tavik"), and points
// ORVEL_SETTINGS_FILE (and an empty registry file) at it.
void UseServiceRoot(const std::string& serverRoot, const std::string& extraTavik = {});

// Items filed with the usage collector, as "infotype|key=value|..." lines.
class InfoItems {
public:
    InfoItems();
    ~InfoItems();
    InfoItems(const InfoItems&) = delete;
    InfoItems& operator=(const InfoItems&) = delete;
    std::vector<std::string> Lines();
    std::vector<std::string> Orders();  // item name and value keys, in order

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines, m_orders;
};

// Turns transfer-speed recording on for its life: a loopback rate-query host
// that answers "rate=1", named in the settings beside `serverRoot`.
class SpeedRecording {
public:
    explicit SpeedRecording(const std::string& serverRoot);
    ~SpeedRecording();
    SpeedRecording(const SpeedRecording&) = delete;
    SpeedRecording& operator=(const SpeedRecording&) = delete;

private:
    std::unique_ptr<LoopbackServer> m_rate;
    std::string m_serverRoot;
};

// True when the emulator binary exists.
bool EmulatorAvailable();

// A new file's upload into folder "0" at the tests' fixed modification time; a test sets what differs.
UploadRequest NewUpload(const std::string& token, const std::string& name, const std::string& path, int64_t size,
                        std::span<const BlockRecord> blocks, const std::string& sha1, const std::string& tempFolder,
                        ProgressCallback callback = nullptr, void* context = nullptr);

}  // namespace xfertest
