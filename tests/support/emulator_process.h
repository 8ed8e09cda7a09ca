// orvel-emulator as a child process on an ephemeral loopback port, for tests
// that talk to the service emulator over HTTP (directly or through the library).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvel::testsupport {

// The port of the ready line "orvel-emulator listening on 127.0.0.1:PORT"
// found in `output`, or 0 when there is none.
int ParseListeningPort(std::string_view output);

class EmulatorProcess {
public:
    // `binary` is the emulator's path (tests get it as ORVEL_EMULATOR_PATH).
    explicit EmulatorProcess(std::string binary);
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    // Runs `binary --listen 127.0.0.1:0 args...` and waits for its ready line.
    // False with a reason in `error` when it does not come up in time. The
    // child's stderr is this process's stderr.
    bool Start(const std::vector<std::string>& args, std::string& error);
    // SIGTERM and wait (SIGKILL when it does not end within a while). The
    // exit status, or -1 when it was not running or did not exit normally.
    int Stop();

    bool Running() const { return m_pid > 0 && m_port > 0; }
    int Port() const { return m_port; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    // "http://127.0.0.1:PORT" (https when started with --tls-cert) followed by `path`.
    std::string Url(std::string_view path) const;

    // The emulator's own test hooks. AddFault takes one rule or {"rules":[...]}
    // as JSON text and is true when the emulator accepted it.
    bool AddFault(std::string_view ruleJson) const;
    void ClearFaults() const;
    // Moves the service clock forward (token and stub expiry) without sleeping.
    bool AdvanceClock(int64_t seconds) const;
    // TCP connections the emulator has accepted so far (-1 when it cannot say).
    int Connections() const;
    // Writes `folder`/settings.ini naming this emulator for every service root, with the given
    // speed caps in bytes per second (0: none); its path.
    std::string WriteSettingsFile(const std::string& folder, int uploadSpeed = 0, int downloadSpeed = 0) const;
    // Signs in through /osvr/login/; the token, or "" when refused.
    std::string Login(std::string_view user = "demo", std::string_view password = "demo") const;

private:
    std::string m_binary;
    pid_t m_pid = -1;
    int m_port = 0;
    bool m_tls = false;
};

}  // namespace orvel::testsupport
