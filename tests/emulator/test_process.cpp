// The shared child-process launcher that every emulator-backed test uses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <string>

#include "support/emulator_process.h"
#include "support/temp_env.h"

using orvel::testsupport::EmulatorProcess;
using orvel::testsupport::ParseListeningPort;

TEST(EmulatorProcess, ReadyLineGivesThePort) {
    EXPECT_EQ(ParseListeningPort("orvel-emulator listening on 127.0.0.1:18750\n"), 18750);
    EXPECT_EQ(ParseListeningPort("noise\norvel-emulator listening on 127.0.0.1:1\n"), 1);
    EXPECT_EQ(ParseListeningPort("orvel-emulator listening on 127.0.0.1:"), 0);
    EXPECT_EQ(ParseListeningPort("orvel-emulator listening on 127.0.0.1:99999"), 0);
    EXPECT_EQ(ParseListeningPort("orvel-emulator: cannot listen on 127.0.0.1:80"), 0);
    EXPECT_EQ(ParseListeningPort(""), 0);
}

TEST(EmulatorProcess, StartsSignsInAndStopsCleanly) {
    EmulatorProcess emu(ORVEL_EMULATOR_PATH);
    std::string error;
    ASSERT_TRUE(emu.Start({"--user", "ann:pw"}, error)) << error;
    EXPECT_TRUE(emu.Running());
    EXPECT_GT(emu.Port(), 0);
    EXPECT_EQ(emu.Url("/x"), "http://" + emu.HostPort() + "/x");
    EXPECT_FALSE(emu.Login("ann", "pw").empty());
    EXPECT_TRUE(emu.Login("ann", "wrong").empty());
    EXPECT_TRUE(emu.AddFault(R"({"path":"/osvr/login/","result":"serverBusy"})"));
    EXPECT_FALSE(emu.AddFault(R"({"path":"/osvr/login/"})"));
    EXPECT_TRUE(emu.Login("ann", "pw").empty());
    emu.ClearFaults();
    EXPECT_TRUE(emu.AdvanceClock(60));
    EXPECT_EQ(emu.Stop(), 0);
    EXPECT_FALSE(emu.Running());
    EXPECT_EQ(emu.Stop(), -1);
}

TEST(EmulatorProcess, ReportsAChildThatDoesNotComeUp) {
    std::string error;
    EmulatorProcess badOption(ORVEL_EMULATOR_PATH);
    EXPECT_FALSE(badOption.Start({"--no-such-option"}, error));
    EXPECT_FALSE(badOption.Start({"--tls-cert", "cert.pem"}, error));  // a key is needed too
    EXPECT_FALSE(badOption.Start({"--latency", "-5"}, error));
    EXPECT_NE(error.find("did not start"), std::string::npos) << error;
    EXPECT_FALSE(badOption.Running());

    orvel::testsupport::TempDir dir;
    EmulatorProcess missing(dir.File("no-such-binary"));
    EXPECT_FALSE(missing.Start({}, error));
    EXPECT_FALSE(missing.Running());
}

namespace {

// Runs the emulator with `args` to its end; its exit status and both outputs.
int RunEmulator(const std::string& args, std::string& output) {
    const std::string command = std::string(ORVEL_EMULATOR_PATH) + " " + args + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return -1;
    output.clear();
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) output.append(buffer, n);
    const int status = ::pclose(pipe.release());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(EmulatorCommandLine, HelpListsEveryOptionWithItsDefault) {
    std::string out;
    ASSERT_EQ(RunEmulator("--help", out), 0) << out;
    for (const char* option :
         {"--listen HOST:PORT=127.0.0.1:18750", "--data DIR", "--user NAME:PASSWORD=demo:demo", "--quota MiB=10240",
          "--token-ttl SECONDS=3600", "--block-servers N=1", "--max-versions N=10", "--hold SECONDS=86400",
          "--threads N=16", "--tls-cert FILE", "--tls-key FILE", "--latency MS=0", "--verbose", "/_emulator/faults"})
        EXPECT_NE(out.find(option), std::string::npos) << option << "\n" << out;
}

TEST(EmulatorCommandLine, BadLinesAreNamedAndExitTwo) {
    std::string out;
    EXPECT_EQ(RunEmulator("--bogus", out), 2);
    EXPECT_NE(out.find("orvel-emulator: unknown option --bogus\n"), std::string::npos) << out;
    EXPECT_EQ(RunEmulator("--listen 127.0.0.1", out), 2);
    EXPECT_NE(out.find("wants HOST:PORT"), std::string::npos) << out;
    EXPECT_EQ(RunEmulator("--threads 1", out), 2);
    EXPECT_EQ(RunEmulator("--tls-cert a.pem", out), 2);
    EXPECT_NE(out.find("--tls-cert and --tls-key go together"), std::string::npos) << out;
    // Both spellings of a value.
    EXPECT_EQ(RunEmulator("--quota=abc", out), 2);
}

TEST(EmulatorCommandLine, ATakenPortSaysWhy) {
    EmulatorProcess first(ORVEL_EMULATOR_PATH);
    std::string error, out;
    ASSERT_TRUE(first.Start({}, error)) << error;
    EXPECT_EQ(RunEmulator("--listen " + first.HostPort(), out), 1);
    EXPECT_NE(out.find("orvel-emulator: cannot listen on " + first.HostPort() + ": Address already in use"),
              std::string::npos)
        << out;
}
