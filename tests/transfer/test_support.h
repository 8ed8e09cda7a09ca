// Helpers for the transfer tests: temporary folders (tests/support's TempDir), file contents, the
// settings file that points the library at a loopback server, a scriptable
// loopback HTTP server; the emulator itself is tests/support's EmulatorProcess.
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

#include "support/temp_env.h"

namespace xfertest {

using TempDir = orvel::testsupport::TempDir;

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
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

// A loopback HTTP server; tests register handlers on `server` before Start().
class FakeServer {
public:
    FakeServer();
    ~FakeServer();
    void Start();
    int port() const { return m_port; }
    std::string Root() const;                        // "127.0.0.1:PORT"
    std::string Url(const std::string& path) const;  // "http://127.0.0.1:PORT" + path

    struct Request {
        std::string method, path, target, body, version, userAgent;
    };
    // Every request the server saw, in order.
    std::vector<Request> Requests();
    int Count(const std::string& path);
    void Record(const httplib::Request& req);

    httplib::Server server;

private:
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_lock;
    std::vector<Request> m_requests;
};

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
    std::unique_ptr<FakeServer> m_rate;
    std::string m_serverRoot;
};

// Sends the log into a folder of its own with trace lines on, for the life of
// the object; Text() is everything written since.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string Text() const;
    // True when some line of the log has exactly `message` as its message.
    bool HasLine(const std::string& message) const;
    // How many times `part` occurs in the log, counting non-overlapping matches.
    size_t Count(const std::string& part) const;

private:
    TempDir m_dir;
};

// True when the emulator binary exists.
bool EmulatorAvailable();

}  // namespace xfertest
