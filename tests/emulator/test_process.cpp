// The shared child-process launcher that every emulator-backed test uses.
#include <gtest/gtest.h>

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
