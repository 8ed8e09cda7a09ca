#include "emulator_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#ifndef ORVEL_EMULATOR_PATH
#define ORVEL_EMULATOR_PATH "orvel-emulator"
#endif

EmulatorProcess::~EmulatorProcess() { Stop(); }

bool EmulatorProcess::Start(const std::vector<std::string>& args, std::string& error) {
    // The child's output goes to a file, so a chatty emulator can never block
    // on a full pipe; the "listening" line is read back from there.
    char outPath[] = "/tmp/orvel-emulator-out-XXXXXX";
    const int outFd = ::mkstemp(outPath);
    if (outFd < 0) {
        error = "mkstemp failed";
        return false;
    }
    m_outPath = outPath;
    std::vector<std::string> argv = {ORVEL_EMULATOR_PATH, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), args.begin(), args.end());
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(outFd, STDERR_FILENO);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    ::close(outFd);
    if (m_pid < 0) {
        error = "fork failed";
        return false;
    }
    const std::regex line(R"(orvel-emulator listening on 127\.0\.0\.1:(\d+))");
    std::smatch match;
    std::string seen;
    for (int waited = 0; waited < 20000; waited += 10) {
        std::ifstream in(m_outPath);
        seen.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (std::regex_search(seen, match, line)) {
            m_port = std::stoi(match[1].str());
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        ::usleep(10000);
    }
    error = "emulator did not start: " + seen;
    Stop();
    return false;
}

void EmulatorProcess::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    if (!m_outPath.empty()) {
        ::unlink(m_outPath.c_str());
        m_outPath.clear();
    }
}

std::string EmulatorProcess::WriteSettingsFile(const std::string& folder, int uploadSpeed, int downloadSpeed) const {
    const std::string path = folder + "/settings.ini";
    std::ofstream out(path, std::ios::trunc);
    const std::string hp = HostPort();
    out << "[Tavik]\nServerRoot=" << hp << "\nSvrCommandRoot=" << hp << "\nPushNotifyRoot=" << hp << "\n"
        << "[TavikShell]\nWebServerRoot=" << hp << "\n"
        << "[Debug]\nUploadSpeed=" << uploadSpeed << "\nDownloadSpeed=" << downloadSpeed << "\n";
    return path;
}

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvelsdk-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}
