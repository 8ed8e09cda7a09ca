// Log into a fresh folder so tests can read back the lines the code under test writes.
#pragma once

#include <gtest/gtest.h>

#include <ctime>

#include "../platform/temp_dir.h"
#include "log/log.h"
#include "log/log_testing.h"

class CommonTest : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        orvel::logtest::SetSleepEnabled(false);
        LogSetNames("sdkrd.log", dir / "sdkrd.log");
    }
    void TearDown() override { orvel::logtest::SetThreshold(4); }
    std::string LogText() const { return ReadFile(orvel::logtest::CurrentFile()); }
    bool Logged(const std::string& piece) const { return LogText().find(piece) != std::string::npos; }
};
