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

std::u16string W(std::string_view utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    char32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0) cp = c & 0x07, len = 4;
    else if (c >= 0xE0) cp = c & 0x0F, len = 3;
    else if (c >= 0xC0) cp = c & 0x1F, len = 2;
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string N(const char16_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (size_t i = 0; text[i] != 0; ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

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
std::unique_ptr<TempFolder> EmulatorTest::s_folder;

void EmulatorTest::SetUpTestSuite() {
  if (s_emulator != nullptr) return;
  s_folder = std::make_unique<TempFolder>();
  s_emulator = std::make_unique<EmulatorProcess>();
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
