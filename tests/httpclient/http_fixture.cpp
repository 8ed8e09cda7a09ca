#include "httpclient/http_fixture.h"

#include <sstream>

namespace orvel::httptest {

void HttpTest::SetUp() {
    m_dir = std::make_unique<testsupport::TempDir>();
    m_settingsFile = m_dir->File("settings.ini");
    m_registryFile = m_dir->File("tavik.reg");
    auto set = [this](const char* name, std::optional<std::string> value) {
        m_env.push_back(std::make_unique<testsupport::ScopedEnv>(name, std::move(value)));
    };
    set("ORVEL_SETTINGS_FILE", m_settingsFile);
    set("ORVEL_REGISTRY_FILE", m_registryFile);
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        set(name, std::nullopt);
    m_log = std::make_unique<testsupport::LogCapture>();
}

void HttpTest::TearDown() {
    m_log.reset();
    m_env.clear();
    m_dir.reset();
}

void HttpTest::WriteSettings(std::string_view ini) { testsupport::WriteFileBytes(m_settingsFile, ini); }

std::string HttpTest::LogText() const { return m_log->Text(); }

bool HttpTest::LogHas(char letter, std::string_view message, std::string_view file) const {
    std::istringstream in(LogText());
    std::string line;
    const std::string levelField = std::string("\t") + letter + " \t";
    const std::string messageField = "\t" + std::string(message) + " \tFL:" + std::string(file);
    while (std::getline(in, line)) {
        if (line.find(levelField) != std::string::npos && line.find(messageField) != std::string::npos) return true;
    }
    return false;
}

size_t HttpTest::LogCount(std::string_view message) const {
    std::string text = LogText();
    std::string needle = "\t" + std::string(message) + " \tFL:";
    size_t count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++count;
    return count;
}

}  // namespace orvel::httptest
