// Points the process log at a fresh folder with a fixed clock and no per-line sleep.
#pragma once

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "support/temp_env.h"
#include "log/log.h"
#include "log/log_testing.h"

using orvel::testsupport::ReadFileBytes;
using orvel::testsupport::ScopedEnv;
using orvel::testsupport::TempDir;
using orvel::testsupport::WriteFileBytes;

inline time_t LocalTimeT(int year, int month, int day, int hour, int minute, int second) {
    tm t{};
    t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day;
    t.tm_hour = hour, t.tm_min = minute, t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

class LogTest : public ::testing::Test {
protected:
    TempDir dir;
    time_t now = LocalTimeT(2011, 5, 3, 9, 5, 3);

    void SetUp() override {
        orvel::logtest::SetSleepEnabled(false);
        orvel::logtest::SetNow([this] { return now; });
        orvel::logtest::SetTicks(nullptr);
        LogSetNames("sdkrd.log", dir.File("sdkrd.log"));
        orvel::logtest::SetWriteCount(0);
    }
    void TearDown() override {
        orvel::logtest::SetNow(nullptr);
        orvel::logtest::SetTicks(nullptr);
        orvel::logtest::SetThreshold(4);
    }
    std::string LogText() const { return ReadFileBytes(orvel::logtest::CurrentFile()); }

    // The fixed part of a line written by this thread at the fixed time.
    static std::string Prefix(char letter) {
        char buf[128];
        std::snprintf(buf, sizeof(buf), "2011/05/03 09:05:03 \t%c \tsdkrd.log \t%08x:%08x \t", letter,
                      static_cast<unsigned>(getpid()), static_cast<unsigned>(syscall(SYS_gettid)));
        return buf;
    }
};
