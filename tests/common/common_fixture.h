// Log into a fresh folder so tests can read back the lines the code under test writes.
#pragma once

#include <gtest/gtest.h>

#include <ctime>

#include "support/temp_env.h"
#include "log/log.h"
#include "log/log_testing.h"

using orvel::testsupport::ReadFileBytes;
using orvel::testsupport::ScopedEnv;
using orvel::testsupport::TempDir;
using orvel::testsupport::WriteFileBytes;

class CommonTest : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        orvel::logtest::SetSleepEnabled(false);
        LogSetNames("sdkrd.log", dir.File("sdkrd.log"));
    }
    void TearDown() override { orvel::logtest::SetThreshold(4); }
    std::string LogText() const { return ReadFileBytes(orvel::logtest::CurrentFile()); }
    bool Logged(const std::string& piece) const { return LogText().find(piece) != std::string::npos; }
};
