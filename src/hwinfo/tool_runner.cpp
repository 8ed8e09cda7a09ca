#include "hwinfo/tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/io.h"

extern char** environ;

namespace {

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

}  // namespace

std::string RunToolOutput(const std::vector<std::string>& argv, int timeLimitMs, size_t maxBytes) {
    if (argv.empty()) return {};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    platform::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);

    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ) != 0) return {};
    writeEnd.Close();

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs);
    bool finished = false;
    while (output.size() < maxBytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{readEnd.get(), POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[1024];
        ssize_t got = ::read(readEnd.get(), buf, std::min(sizeof buf, maxBytes - output.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            finished = true;  // end of output
            break;
        }
        output.append(buf, static_cast<size_t>(got));
    }
    readEnd.Close();

    // Reap the child; one that is still running past the limit is killed.
    int status = 0;
    if (!finished || ::waitpid(pid, &status, WNOHANG) == 0) {
        const auto reapDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (!finished || std::chrono::steady_clock::now() >= reapDeadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            ::usleep(1000);
        }
    }
    return output;
}
