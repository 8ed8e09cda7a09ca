// Runs orvel-emulator as a child on an ephemeral loopback port and points the
// library at it through a settings file of its own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class EmulatorProcess {
public:
    EmulatorProcess() = default;
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;
    ~EmulatorProcess();

    // Starts the emulator with `args` added to "--listen 127.0.0.1:0" and waits
    // for its "listening" line. False (with `error`) when it does not come up.
    bool Start(const std::vector<std::string>& args, std::string& error);
    void Stop();

    int Port() const { return m_port; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Writes a settings file naming this emulator for every service root, with
    // the given speed caps in bytes per second (0: none).
    std::string WriteSettingsFile(const std::string& folder, int uploadSpeed = 0, int downloadSpeed = 0) const;

private:
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_outPath;  // the emulator's output
};

// A fresh folder under the temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
