// Sends the process log into a folder of its own, with every level up to
// `threshold` written and no per-line sleep, and reads it back; the threshold
// goes back to the default when the capture ends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/temp_env.h"

namespace orvel::testsupport {

class LogCapture {
public:
    explicit LogCapture(int threshold = 9);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written since the capture began (or since Clear()).
    std::string Text() const;
    bool Contains(std::string_view needle) const { return Find(needle) != std::string::npos; }
    // Position of `needle` in Text(), npos when absent (for order checks).
    size_t Find(std::string_view needle) const { return Text().find(needle); }
    // How many times `part` occurs, counting non-overlapping matches.
    size_t Count(std::string_view part) const;
    // True when some line has exactly `message` as its message field.
    bool HasLine(std::string_view message) const;
    void Clear() const;

private:
    TempDir m_dir;
};

}  // namespace orvel::testsupport
