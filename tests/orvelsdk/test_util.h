// Small helpers for tests that use the library through its C API only.
#pragma once

#include <orvelsdk/orvelsdk.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/emulator_process.h"
#include "support/temp_env.h"

using orvel::testsupport::EmulatorProcess;
using orvel::testsupport::TempDir;

std::u16string W(std::string_view utf8);
std::string N(const char16_t* text);

// Owns one out-string; &holder gives the BSTR* an export writes.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(BSTR p) : m_p(p) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_p); }
    BSTR* operator&() { return &m_p; }
    BSTR get() const { return m_p; }
    std::string str() const { return N(m_p); }

private:
    BSTR m_p = nullptr;
};

// Text the library wrote to its log since `Mark()`.
class LogWatch {
public:
    LogWatch();
    bool Contains(std::string_view text) const;
    // Everything written to the log file since construction, by any thread.
    std::string Text() const;
    // The messages this thread wrote since construction, in order (other
    // processes and threads may share the file).
    std::vector<std::string> OwnMessages() const;
    // Whether `texts` appear among OwnMessages() as whole messages in this order.
    bool InOrder(std::initializer_list<std::string_view> texts) const;
    // The log lines' threshold this process runs with (ORVEL_LOG_LEVEL, else 4).
    static int Threshold();

private:
    std::string m_file;
    size_t m_start = 0;
};

struct Session {
    std::string userId;
    std::string token;
};

// One emulator per test process with the accounts "alice" and "bob"; the
// library is pointed at it before the first test runs.
class EmulatorTest : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override;
    static Session SignIn(const char* user = "alice", const char* password = "secret");
    // A fresh folder under the account's root, named uniquely for the test.
    static std::string MakeFolder(const Session& s, const std::string& parentId, const std::string& name);
    static std::unique_ptr<EmulatorProcess> s_emulator;
    static std::unique_ptr<TempDir> s_folder;
};
