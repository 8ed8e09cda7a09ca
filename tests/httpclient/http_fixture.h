// Common set-up of the HTTP client tests: a temporary folder with the registry
// file and the settings file, a log written at full detail into that folder, and
// no proxy taken from the environment.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "httpclient/curl_helper.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "support/raw_server.h"
#include "support/temp_env.h"

namespace orvel::httptest {

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the settings file (INI text).
    void WriteSettings(std::string_view ini);
    // The log text written so far.
    std::string LogText() const;
    // True when a log line of the level letter ('E', 'W', 'T', ...) carries exactly
    // `message`, written from a source file whose base name is `file` (empty = any).
    bool LogHas(char letter, std::string_view message, std::string_view file = {}) const;
    size_t LogCount(std::string_view message) const;

    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::LogCapture> m_log;  // every level, no per-line sleep
    std::vector<std::unique_ptr<testsupport::ScopedEnv>> m_env;
    std::string m_settingsFile;
    std::string m_registryFile;
};

// A fresh helper with its handle made and fully reset, as every request starts.
class HelperTest : public HttpTest {
protected:
    void SetUp() override {
        HttpTest::SetUp();
        ASSERT_EQ(1, m_helper.InitHandle());
        m_helper.Reset(true);
    }
    CCurlHelper m_helper;
};

inline bool HasLineStarting(const std::vector<std::string>& lines, std::string_view prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

}  // namespace orvel::httptest
