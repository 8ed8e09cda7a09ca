#include "support/emulator_process.h"

#include <fcntl.h>
#include <httplib.h>

#include <algorithm>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace orvel::testsupport {

namespace {

// Generous: sanitizer builds on a busy machine start slowly.
constexpr auto kStartWait = std::chrono::seconds(60);
constexpr auto kStopWait = std::chrono::seconds(30);

// The test hooks talk to the emulator whatever certificate it serves.
httplib::Client ClientFor(int port, bool tls) {
    httplib::Client client(std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port));
    client.enable_server_certificate_verification(false);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(30, 0);
    return client;
}

}  // namespace

int ParseListeningPort(std::string_view output) {
    constexpr std::string_view kReady = "orvel-emulator listening on 127.0.0.1:";
    const size_t at = output.find(kReady);
    if (at == std::string_view::npos) return 0;
    int port = 0;
    for (size_t i = at + kReady.size(); i < output.size() && output[i] >= '0' && output[i] <= '9'; ++i) {
        port = port * 10 + (output[i] - '0');
        if (port > 65535) return 0;
    }
    return port;
}

EmulatorProcess::EmulatorProcess(std::string binary) : m_binary(std::move(binary)) {}

EmulatorProcess::~EmulatorProcess() { Stop(); }

bool EmulatorProcess::Start(const std::vector<std::string>& args, std::string& error) {
    Stop();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    m_tls = std::find(args.begin(), args.end(), "--tls-cert") != args.end();
    std::vector<std::string> all = {m_binary, "--listen", "127.0.0.1:0"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    // posix_spawn rather than fork: nothing but the exec runs in the child,
    // which matters when other test threads hold locks.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        error = "cannot run " + m_binary + ": " + std::strerror(rc);
        return false;
    }
    m_pid = pid;

    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (seen.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[256];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;  // the child ended (or closed its output) without the line
        seen.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    m_port = ParseListeningPort(seen);
    if (m_port == 0) {
        error = "emulator did not start: " + (seen.empty() ? std::string("(no output)") : seen);
        Stop();
        return false;
    }
    return true;
}

int EmulatorProcess::Stop() {
    if (m_pid <= 0) return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while ((done = ::waitpid(m_pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {  // hung on shutdown: the test fails on the status, not by hanging
        ::kill(m_pid, SIGKILL);
        done = ::waitpid(m_pid, &status, 0);
        status = -1;
    }
    m_pid = -1;
    m_port = 0;
    return done > 0 && status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string EmulatorProcess::Url(std::string_view path) const {
    return (m_tls ? "https://" : "http://") + HostPort() + std::string(path);
}

int EmulatorProcess::Connections() const {
    auto res = ClientFor(m_port, m_tls).Get("/_emulator/connections");
    if (!res || res->status != 200) return -1;
    const std::string key = "\"connections\":";
    size_t at = res->body.find(key);
    return at == std::string::npos ? -1 : std::atoi(res->body.c_str() + at + key.size());
}

bool EmulatorProcess::AddFault(std::string_view ruleJson) const {
    auto res = ClientFor(m_port, m_tls).Post("/_emulator/faults", std::string(ruleJson), "application/json");
    return res && res->status == 200;
}

void EmulatorProcess::ClearFaults() const { ClientFor(m_port, m_tls).Delete("/_emulator/faults"); }

bool EmulatorProcess::AdvanceClock(int64_t seconds) const {
    auto res = ClientFor(m_port, m_tls)
                   .Post("/_emulator/clock", "{\"advance\":\"" + std::to_string(seconds) + "\"}", "application/json");
    return res && res->status == 200;
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

std::string EmulatorProcess::Login(std::string_view user, std::string_view password) const {
    // Names and passwords of test accounts need no XML escaping.
    const std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel><user>" + std::string(user) +
                             "</user><password>" + std::string(password) +
                             "</password><deviceId>test</deviceId><clientName>test</clientName>"
                             "<clientVersion>1.0.0.0</clientVersion></Orvel>";
    auto res = ClientFor(m_port, m_tls).Post("/osvr/login/", body, "text/xml");
    if (!res || res->status != 200 || res->body.find("result=\"ok\"") == std::string::npos) return {};
    const size_t open = res->body.find("<token>");
    const size_t close = res->body.find("</token>");
    if (open == std::string::npos || close == std::string::npos || close < open) return {};
    return res->body.substr(open + 7, close - open - 7);
}

}  // namespace orvel::testsupport
