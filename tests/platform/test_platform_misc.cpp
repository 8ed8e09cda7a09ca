#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include <orvelsdk/orvelsdk.h>

#include "platform/bstr.h"
#include "platform/clock.h"
#include "platform/guid.h"
#include "platform/module.h"
#include "platform/named_mutex.h"
#include "platform/strings.h"
#include "support/temp_env.h"

using namespace orvel::testsupport;

extern "C" int orvel_header_c_check(void);

// Two NamedMutex objects of one name exclude each other only through flock, which
// ThreadSanitizer cannot see: the test tells it that taking the lock orders what follows
// after the previous holder's release.
#if defined(__SANITIZE_THREAD__)
#define ORVEL_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVEL_TEST_TSAN 1
#endif
#endif
#if defined(ORVEL_TEST_TSAN)
#include <sanitizer/tsan_interface.h>
#define FLOCK_ACQUIRED(addr) __tsan_acquire(addr)
#define FLOCK_RELEASING(addr) __tsan_release(addr)
#else
#define FLOCK_ACQUIRED(addr) (void)(addr)
#define FLOCK_RELEASING(addr) (void)(addr)
#endif

TEST(PublicHeader, UsableFromC) { EXPECT_EQ(orvel_header_c_check(), 1); }

TEST(Strings, ConvertsBothWaysIncludingSurrogatePairs) {
    const std::string text = "a\xC3\xA4\xE4\xB8\xAD\xF0\x9F\x98\x80";  // a ä 中 😀
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, (std::u16string{u'a', 0x00E4, 0x4E2D, 0xD83D, 0xDE00}));
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf16ToUtf8(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(Utf16ToUtf8(u"xy"), "xy");
}

TEST(Strings, InvalidSequencesBecomeReplacementCharacters) {
    EXPECT_EQ(Utf8ToUtf16("\xFF"), std::u16string(1, 0xFFFD));
    EXPECT_EQ(Utf8ToUtf16("\xC3"), std::u16string(1, 0xFFFD));          // cut sequence
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::u16string(1, 0xFFFD));      // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80").front(), 0xFFFD);             // encoded surrogate
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, 0xD800)), "\xEF\xBF\xBD");  // lone surrogate
}

TEST(Strings, CaseFoldingAndCuts) {
    EXPECT_TRUE(EqualsNoCase("FileId", "fileid"));
    EXPECT_FALSE(EqualsNoCase("fileId", "fileIds"));
    EXPECT_EQ(CutUtf8("ab\xC3\xA4", 3), "ab");  // never half a character
    EXPECT_EQ(CutUtf16Units("ab\xF0\x9F\x98\x80", 3), "ab");
}

TEST(Bstr, CarriesByteLengthPrefixAndTerminator) {
    BSTR s = SysAllocString(u"abc");
    ASSERT_NE(s, nullptr);
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(s[3], 0);
    SysFreeString(s);

    BSTR zeros = SysAllocStringLen(nullptr, 2);
    ASSERT_NE(zeros, nullptr);
    EXPECT_EQ(SysStringLen(zeros), 2u);
    EXPECT_EQ(zeros[0], 0);
    SysFreeString(zeros);

    BSTR empty = BstrFromUtf8("");
    ASSERT_NE(empty, nullptr);  // a missing value is an allocated empty string, never null
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);

    BSTR text = BstrFromUtf8("\xE4\xB8\xAD!");
    EXPECT_EQ(std::u16string(text, SysStringLen(text)), u"\u4E2D!");
    SysFreeString(text);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(Guid, RegistryFormUpperCaseAndUnique) {
    const std::regex form("^\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}$");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string g = NewGuidString();
        EXPECT_TRUE(std::regex_match(g, form)) << g;
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Module, PathNamesThisExecutable) {
    const std::string path = ModulePath();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_NE(path.find("test_platform"), std::string::npos);
    const std::string folder = ModuleFolder();
    EXPECT_EQ(path.substr(0, folder.size()), folder);
    EXPECT_EQ(path[folder.size()], '/');
}

TEST(Clock, TicksDoNotGoBack) {
    const uint32_t a = GetTickCountMs();
    const uint32_t b = GetTickCountMs();
    EXPECT_LE(a, b);
}

TEST(NamedMutex, SerialisesThreadsOfOneProcessAcrossInstances) {
    NamedMutex first("orvel_test_mutex");
    NamedMutex second("orvel_test_mutex");
    EXPECT_EQ(first.LockFilePath(), second.LockFilePath());
    EXPECT_EQ(first.LockFilePath().find("/../"), std::string::npos);
    int counter = 0;
    bool overlap = false;
    int inside = 0;
    auto work = [&](NamedMutex& m) {
        for (int i = 0; i < 2000; ++i) {
            m.lock();
            FLOCK_ACQUIRED(&counter);
            if (++inside != 1) overlap = true;
            ++counter;
            --inside;
            FLOCK_RELEASING(&counter);
            m.unlock();
        }
    };
    std::thread t1(work, std::ref(first)), t2(work, std::ref(second)), t3(work, std::ref(first));
    t1.join();
    t2.join();
    t3.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(counter, 6000);
}

TEST(NamedMutex, NameCannotLeaveTheTempFolder) {
    NamedMutex m("../../etc/passwd");
    EXPECT_EQ(m.LockFilePath().find(".."), std::string::npos);
}

TEST(NamedMutex, LinkPlantedAtTheLockNameIsNotFollowed) {
    TempDir dir;
    ScopedEnv tmp("TMPDIR", dir.Path());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const std::string victim = dir.File("victim");
    WriteFileBytes(victim, "secret");
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    NamedMutex probe("orvel_link_test");
    ASSERT_EQ(::unlink(probe.LockFilePath().c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), probe.LockFilePath().c_str()), 0);
    {
        NamedMutex m("orvel_link_test");
        std::lock_guard<NamedMutex> guard(m);  // still serialises this process's threads
    }
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFileBytes(victim), "secret");
}

namespace {
// Runs `probe` in a child that has dropped to the unprivileged user 65534; its exit code.
template <typename Fn>
int AsOtherUser(Fn probe) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
        ::_exit(probe());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST(NamedMutex, LockFilesLiveInAPrivateFolderOfTheUser) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 01777), 0);  // a shared temp folder, as /tmp is
    ScopedEnv tmp("TMPDIR", dir.Path());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const std::string folder = dir.File("orvel-" + std::to_string(::geteuid()));
    NamedMutex m("orvel_private_test");
    EXPECT_EQ(m.LockFilePath(), folder + "/orvel-orvel_private_test.lock");
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::lstat(m.LockFilePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    if (::geteuid() == 0) {
        // Another user can neither open the lock to hold it nor put a file of its own there.
        const std::string path = m.LockFilePath();
        EXPECT_EQ(AsOtherUser([&] {
                      const bool opened = ::open(path.c_str(), O_RDONLY) >= 0;
                      const bool created = ::open((folder + "/planted").c_str(), O_CREAT | O_WRONLY, 0666) >= 0;
                      const bool removed = ::unlink(path.c_str()) == 0;
                      return opened || created || removed ? 1 : 0;
                  }),
                  0);
    }

    // A private $XDG_RUNTIME_DIR is preferred; one that others can enter is not used.
    const std::string xdg = dir.File("run");
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    {
        ScopedEnv set("XDG_RUNTIME_DIR", xdg);
        EXPECT_EQ(NamedMutex("orvel_private_test").LockFilePath(), xdg + "/orvel-orvel_private_test.lock");
        ASSERT_EQ(::chmod(xdg.c_str(), 0755), 0);
        EXPECT_EQ(NamedMutex("orvel_private_test").LockFilePath(), m.LockFilePath());
    }
}

TEST(NamedMutex, AFolderPlantedByAnotherUserIsNotUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a second user";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 01777), 0);
    ScopedEnv tmp("TMPDIR", dir.Path());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const std::string folder = dir.File("orvel-" + std::to_string(::geteuid()));
    ASSERT_EQ(
        AsOtherUser([&] { return ::mkdir(folder.c_str(), 0777) == 0 && ::chmod(folder.c_str(), 0777) == 0 ? 0 : 1; }),
        0);
    NamedMutex m("orvel_planted_test");
    EXPECT_TRUE(m.LockFilePath().empty());
    {
        std::lock_guard<NamedMutex> guard(m);  // threads of this process are still kept apart
    }
    EXPECT_FALSE(std::filesystem::exists(folder + "/orvel-orvel_planted_test.lock"));
}
