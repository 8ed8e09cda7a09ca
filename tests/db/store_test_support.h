// Temporary folders and log capture for the local-store tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/log.h"
#include "log/log_testing.h"

namespace storetest {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvel-store-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sends the log into a folder of its own, with every level written and no
// per-line sleep, and reads it back.
class LogCapture {
public:
    explicit LogCapture(int threshold = 9) {
        LogSetNames("sdkrd.log", m_dir.file("sdkrd.log"));
        orvel::logtest::SetSleepEnabled(false);
        orvel::logtest::SetThreshold(threshold);
    }
    ~LogCapture() { orvel::logtest::SetThreshold(4); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const {
        std::ifstream in(orvel::logtest::CurrentFile(), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    bool Contains(const std::string& needle) const { return Text().find(needle) != std::string::npos; }
    size_t Count(const std::string& needle) const {
        std::string text = Text();
        size_t n = 0;
        for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
        return n;
    }
    // Position of a needle, npos when absent (for order checks).
    size_t Find(const std::string& needle) const { return Text().find(needle); }
    void Clear() const { std::ofstream(orvel::logtest::CurrentFile(), std::ios::trunc); }

private:
    TempDir m_dir;
};

}  // namespace storetest
