// Runs a test program against a fresh emulator, for tests that cannot use the
// C++ harness themselves (the C API test):
//   with_emulator EMULATOR [EMULATOR-ARGS...] -- PROGRAM [ARGS...]
// The program finds the library pointed at the emulator (ORVEL_SETTINGS_FILE)
// and a scratch folder of its own (ORVEL_TEST_DIR); its exit status is ours.
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/emulator_process.h"
#include "support/temp_env.h"

extern char** environ;

int main(int argc, char** argv) {
    int split = 2;
    while (split < argc && std::string(argv[split]) != "--") ++split;
    if (argc < 2 || split + 1 >= argc) {
        std::fprintf(stderr, "usage: %s EMULATOR [ARGS...] -- PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    orvel::testsupport::TempDir dir;
    orvel::testsupport::EmulatorProcess emulator(argv[1]);
    std::string error;
    if (!emulator.Start(std::vector<std::string>(argv + 2, argv + split), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    orvel::testsupport::ScopedEnv settings("ORVEL_SETTINGS_FILE", emulator.WriteSettingsFile(dir.Path()));
    orvel::testsupport::ScopedEnv scratch("ORVEL_TEST_DIR", dir.Path());
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[split + 1], nullptr, nullptr, argv + split + 1, environ) != 0) {
        std::fprintf(stderr, "cannot run %s\n", argv[split + 1]);
        return 2;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 2;
    return WEXITSTATUS(status);
}
