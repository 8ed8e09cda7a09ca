#include "log/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <thread>

#include "log/log_state.h"
#include "log/log_testing.h"
#include "log/mask_secrets.h"
#include "platform/clock.h"
#include "platform/io.h"
#include "platform/module.h"
#include "platform/strings.h"

namespace orvel::logimpl {

LogState::LogState() {
    // At load the log is named after the host executable, beside it.
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    const std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("orvelsdk");
    basePath = exe + ".log";
    const size_t slash = exe.rfind('/');
    logName = slash == std::string::npos ? exe : exe.substr(slash + 1);
}

LogState& State() {
    // Never destroyed: destructors of other static objects may still log while the process exits.
    union Holder {
        LogState state;
        Holder() : state() {}
        ~Holder() {}
    };
    static Holder holder;
    return holder.state;
}

time_t Now() {
    LogState& s = State();
    std::lock_guard<std::mutex> g(s.hookLock);
    return s.now ? s.now() : time(nullptr);
}

uint32_t Ticks() {
    LogState& s = State();
    std::lock_guard<std::mutex> g(s.hookLock);
    return s.ticks ? s.ticks() : GetTickCountMs();
}

bool LocalTime(time_t t, tm* out) { return localtime_r(&t, out) != nullptr; }

std::string DailyName(const std::string& basePath, const tm& date) {
    const size_t slash = basePath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : basePath.substr(0, slash + 1);
    const std::string file = slash == std::string::npos ? basePath : basePath.substr(slash + 1);
    const size_t dot = file.rfind('.');
    const std::string stem = dot == std::string::npos ? file : file.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : file.substr(dot);
    char date_part[64];
    std::snprintf(date_part, sizeof(date_part), "_%d_%02d_%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
    return folder + stem + date_part + ext;
}

}  // namespace orvel::logimpl

using namespace orvel::logimpl;

namespace {

const char* BaseName(const char* path) {
    if (path == nullptr) return "";
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

char LevelLetter(int level) {
    static constexpr char kLetters[] = "ENNNIWNRNT";
    return level >= 0 && level <= 9 ? kLetters[level] : 'N';
}

}  // namespace

bool LogLevelEnabled(int level) { return level <= State().threshold.load(); }

void LogWrite(int level, std::string_view message, const char* srcFile, int srcLine) {
    LogState& s = State();
    if (s.sleepEnabled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    const int threshold = s.threshold.load();
    if (level > threshold) return;
    // No credential ever reaches the file. Only the head that fits a line is
    // kept, so masking stops there, and runs before the cross-process lock.
    const std::string text = MaskSecrets(message, kLogMaxLine);
    std::lock_guard<NamedMutex> guard(s.mutex);

    tm date{};
    if (!LocalTime(Now(), &date)) return;
    if (date.tm_yday != s.lastYday || date.tm_year != s.lastYear) {
        s.currentFile = DailyName(s.basePath, date);
        s.lastYday = date.tm_yday;
        s.lastYear = date.tm_year;
    }

    if (++s.writeCount >= 100) {
        s.writeCount = 0;
        struct stat st {};
        if (::stat(s.currentFile.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > kLogMaxFileSize)
            ::unlink(s.currentFile.c_str());
    }

    platform::UniqueFd file(::open(s.currentFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!file.valid()) return;

    tm now{};
    if (!LocalTime(Now(), &now)) return;
    const unsigned pid = static_cast<unsigned>(::getpid());
    const unsigned tid = static_cast<unsigned>(::syscall(SYS_gettid));
    std::string line =
        threshold <= kLogDefaultThreshold
            ? LogFormatWhole("%d/%02d/%02d %02d:%02d:%02d \t%c \t%s \t%08x:%08x \t%s\r\n", now.tm_year + 1900,
                             now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, LevelLetter(level),
                             s.logName.c_str(), pid, tid, text.c_str())
            : LogFormatWhole("%d/%02d/%02d %02d:%02d:%02d \t%c \t%s \t%08x:%08x \t%s \tFL:%s(%d)\r\n",
                             now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec,
                             LevelLetter(level), s.logName.c_str(), pid, tid, text.c_str(), BaseName(srcFile), srcLine);
    // A line longer than the buffer is cut and loses its line end.
    const std::string_view out = CutUtf8(line, kLogMaxLine);
    // Never through a test's failing file system: the log must report its faults.
    platform::WriteAll(file.get(), out.data(), out.size(), platform::RealFileSystem());
}

namespace {
// printf into a string, whole.
std::string VFormatWhole(const char* fmt, va_list args) {
    if (fmt == nullptr) return {};
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, again);
        out.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return out;
}

std::string VFormat(const char* fmt, va_list args) {
    std::string out = VFormatWhole(fmt, args);
    // The message buffer holds 1023 wide characters (UTF-16 units), not 1023 bytes.
    if (out.size() > kLogMaxMessage) out = CutUtf16Units(out, kLogMaxMessage);
    return out;
}
}  // namespace

std::string LogFormatWhole(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = VFormatWhole(fmt, args);
    va_end(args);
    return out;
}

void LogWriteFormat(int level, const char* srcFile, int srcLine, const char* fmt, ...) {
    if (!LogLevelEnabled(level)) return;
    va_list args;
    va_start(args, fmt);
    const std::string message = VFormat(fmt, args);
    va_end(args);
    LogWrite(level, message, srcFile, srcLine);
}

std::string LogFormat(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string message = VFormat(fmt, args);
    va_end(args);
    return message;
}

void LogSetNames(std::string_view logName, std::string_view basePath) {
    LogState& s = State();
    {
        std::lock_guard<NamedMutex> guard(s.mutex);
        s.logName = std::string(logName);
        s.basePath = std::string(basePath);
        s.threshold = kLogDefaultThreshold;
        s.lastYday = -1;  // a new base path must take effect now, not at the next midnight
        s.lastYear = -1;
    }
    CleanOldLogs();
}

void LogSetThreshold(int threshold) { State().threshold = threshold; }

std::string LogBasePath() {
    std::lock_guard<NamedMutex> guard(State().mutex);
    return State().basePath;
}

namespace orvel::logtest {
void SetThreshold(int threshold) { LogSetThreshold(threshold); }
void SetNow(std::function<time_t()> now) {
    std::lock_guard<std::mutex> g(State().hookLock);
    State().now = std::move(now);
}
void SetTicks(std::function<uint32_t()> ticks) {
    std::lock_guard<std::mutex> g(State().hookLock);
    State().ticks = std::move(ticks);
}
void SetSleepEnabled(bool enabled) { State().sleepEnabled = enabled; }
void SetWriteCount(uint32_t count) {
    std::lock_guard<NamedMutex> guard(State().mutex);
    State().writeCount = count;
}
std::string CurrentFile() {
    tm date{};
    LocalTime(Now(), &date);
    std::lock_guard<NamedMutex> guard(State().mutex);
    return DailyName(State().basePath, date);
}
std::string LogName() {
    std::lock_guard<NamedMutex> guard(State().mutex);
    return State().logName;
}
std::string BasePath() { return LogBasePath(); }
}  // namespace orvel::logtest
