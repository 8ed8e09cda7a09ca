#include "support/log_capture.h"

#include <fstream>

#include "log/log.h"
#include "log/log_testing.h"

namespace orvel::testsupport {

LogCapture::LogCapture(int threshold) {
    LogSetNames("sdkrd.log", m_dir.File("sdkrd.log"));
    orvel::logtest::SetSleepEnabled(false);
    orvel::logtest::SetThreshold(threshold);
}

LogCapture::~LogCapture() { orvel::logtest::SetThreshold(4); }

std::string LogCapture::Text() const { return ReadFileBytes(orvel::logtest::CurrentFile()); }

size_t LogCapture::Count(std::string_view part) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

bool LogCapture::HasLine(std::string_view message) const {
    const std::string text = Text();
    for (size_t at = 0; (at = text.find(message, at)) != std::string::npos; at += message.size()) {
        const size_t end = at + message.size();
        // The message is a whole field: after a tab, before the line end or
        // the " \tFL:" source field of trace-level lines.
        if (at > 0 && text[at - 1] == '\t' &&
            (end == text.size() || text[end] == '\r' || text.compare(end, 2, " \t") == 0))
            return true;
    }
    return false;
}

void LogCapture::Clear() const { std::ofstream(orvel::logtest::CurrentFile(), std::ios::trunc); }

}  // namespace orvel::testsupport
