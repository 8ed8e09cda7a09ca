#include "test_util.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/strings.h"

std::u16string W(std::string_view utf8) { return Utf8ToUtf16(utf8); }

std::string N(const char16_t* text) { return Utf16ToUtf8(text); }

namespace {

// Today's file of the log folder the tests run with (ORVEL_LOG_DIR).
std::string TodaysLogFile() {
    const char* dir = std::getenv("ORVEL_LOG_DIR");
    if (dir == nullptr) return {};
    const time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char name[64];
    std::snprintf(name, sizeof name, "/sdkrd_%04d_%02d_%02d.log", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    return std::string(dir) + name;
}

std::string ReadFrom(const std::string& path, size_t start) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

LogWatch::LogWatch() : m_file(TodaysLogFile()) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(m_file, ec);
    m_start = ec ? 0 : static_cast<size_t>(size);
}

bool LogWatch::Contains(std::string_view text) const {
    return ReadFrom(m_file, m_start).find(text) != std::string::npos;
}

std::string LogWatch::Text() const { return ReadFrom(m_file, m_start); }

std::vector<std::string> LogWatch::OwnMessages() const {
    // "date time \tL \tlog name \tpid:tid \tmessage[ \tFL:file(line)]\r\n"
    char tag[32];
    std::snprintf(tag, sizeof tag, " \t%08x:%08x \t", static_cast<unsigned>(::getpid()),
                  static_cast<unsigned>(::syscall(SYS_gettid)));
    std::vector<std::string> messages;
    const std::string text = ReadFrom(m_file, m_start);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        start = end + 2;
        const size_t at = line.find(tag);
        if (at == std::string_view::npos) continue;
        std::string_view message = line.substr(at + std::strlen(tag));
        message = message.substr(0, message.find(" \tFL:"));
        messages.emplace_back(message);
    }
    return messages;
}

bool LogWatch::InOrder(std::initializer_list<std::string_view> texts) const {
    const std::vector<std::string> messages = OwnMessages();
    auto it = messages.begin();
    for (std::string_view text : texts) {
        it = std::find(it, messages.end(), text);
        if (it == messages.end()) return false;
        ++it;
    }
    return true;
}

int LogWatch::Threshold() {
    const char* level = std::getenv("ORVEL_LOG_LEVEL");
    return level != nullptr && *level != 0 ? std::atoi(level) : 4;
}

std::unique_ptr<EmulatorProcess> EmulatorTest::s_emulator;
std::unique_ptr<TempDir> EmulatorTest::s_folder;

void EmulatorTest::SetUpTestSuite() {
    if (s_emulator != nullptr) return;
    s_folder = std::make_unique<TempDir>();
    s_emulator = std::make_unique<EmulatorProcess>(ORVEL_EMULATOR_PATH);
    std::string error;
    if (!s_emulator->Start({"--user", "alice:secret", "--user", "bob:hunter2"}, error)) {
        ADD_FAILURE() << error;
        return;
    }
    ::setenv("ORVEL_SETTINGS_FILE", s_emulator->WriteSettingsFile(s_folder->Path()).c_str(), 1);
}

void EmulatorTest::TearDownTestSuite() {
    s_emulator.reset();
    s_folder.reset();
}

void EmulatorTest::SetUp() { ASSERT_NE(s_emulator->Port(), 0) << "emulator not running"; }

Session EmulatorTest::SignIn(const char* user, const char* password) {
    Bstr userId, token, nick;
    const HRESULT hr = ORVEL_Login(W(user).c_str(), W(password).c_str(), u"test-device", u"orvel-tests", u"1.0.0",
                                   &userId, &token, &nick);
    EXPECT_EQ(hr, S_OK) << user;
    return {userId.str(), token.str()};
}

std::string EmulatorTest::MakeFolder(const Session& s, const std::string& parentId, const std::string& name) {
    Bstr id;
    const HRESULT hr = ORVEL_NewFolder(W(s.token).c_str(), W(parentId).c_str(), W(name).c_str(), &id);
    EXPECT_EQ(hr, S_OK) << name;
    return id.str();
}
