// Helpers for the transfer tests: temporary folders, file contents, the
// settings file that points the library at a loopback server, a scriptable
// loopback HTTP server and the emulator as a child process.
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

namespace xfertest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    // Names of the entries in the folder, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string m_path;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// Deterministic pseudo-random (incompressible) bytes.
std::string RandomBytes(size_t size, uint32_t seed);
// Text that compresses well.
std::string TextBytes(size_t size);
std::string Sha1Hex(const std::string& bytes);

// Writes a settings file naming `serverRoot` as the API root with the speed
// caps lifted, and points ORVEL_SETTINGS_FILE (and an empty registry file) at it.
void UseServiceRoot(const std::string& serverRoot);

// A loopback HTTP server; tests register handlers on `server` before Start().
class FakeServer {
public:
    FakeServer();
    ~FakeServer();
    void Start();
    int port() const { return m_port; }
    std::string Root() const;                       // "127.0.0.1:PORT"
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

// The emulator binary as a child process on an ephemeral port.
class Emulator {
public:
    explicit Emulator(const std::vector<std::string>& args = {});
    ~Emulator();
    bool running() const { return m_pid > 0 && m_port > 0; }
    std::string Root() const { return "127.0.0.1:" + std::to_string(m_port); }
    int port() const { return m_port; }
    // Signs in "demo"/"demo" and returns the token ("" on failure).
    std::string Login(const std::string& user = "demo", const std::string& password = "demo");
    // Posts a fault-injection rule (JSON text); true when accepted.
    bool AddFault(const std::string& json);
    void ClearFaults();

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// True when the emulator binary exists.
bool EmulatorAvailable();

}  // namespace xfertest
