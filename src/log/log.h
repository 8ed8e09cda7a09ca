// The daily log file and the check conventions every unit uses.
//
// One line per write: "2011/05/03 09:05:03 \tI \tsdkrd.log \t00001234:00001234 \tmessage\r\n".
// Writers in all threads and processes are serialised by a named mutex; the file is opened,
// appended and closed for every line. Checks only write a line; none stops the caller.
#pragma once

#include "platform/result_types.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

// Levels: 0 "E" assertions/errors, 4 "I" information, 5 "W" failed checks, 9 "T" traces.
inline constexpr int kLogLevelError = 0;
inline constexpr int kLogLevelInfo = 4;
inline constexpr int kLogLevelWarn = 5;
inline constexpr int kLogLevelTrace = 9;
inline constexpr int kLogDefaultThreshold = 4;
inline constexpr size_t kLogMaxMessage = 1023;          // a formatted message is cut here (UTF-16 units)
inline constexpr size_t kLogMaxLine = 1100;             // the whole line (a longer one loses its line end)
inline constexpr uint64_t kLogMaxFileSize = 104857600;  // checked every 100 writes
inline constexpr const char* kLogMutexName = "_#_LogFile_Z_MutxName_#_";

void LogWrite(int level, std::string_view message, const char* srcFile, int srcLine);
void LogWriteFormat(int level, const char* srcFile, int srcLine, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
bool LogLevelEnabled(int level);
// Sets the log name shown in every line and the path the daily file name is made from
// ("<folder>/sdkrd.log" gives "<folder>/sdkrd_2011_05_03.log"), resets the threshold to 4
// and removes old log files from the folder.
void LogSetNames(std::string_view logName, std::string_view basePath);
// Lines above this level are not written (0-9).
void LogSetThreshold(int threshold);
// The path given to LogSetNames.
std::string LogBasePath();
// Deletes this log's daily files in its folder that were created more than a day ago.
void CleanOldLogs();
// Creates a folder and its missing parents; S_OK, or E_FAIL when the path is no folder afterwards.
HRESULT CreateFolderTree(std::string_view path);
// Library start-up: ORVEL_LOG_DIR when set; else, in its build tree, beside the module ("log");
// installed, ${XDG_STATE_HOME:-~/.local/state}/orvelsdk/log (each falls back to the other);
// then LogSetNames("sdkrd.log", ...) and the optional ORVEL_LOG_LEVEL (0-9) threshold.
void LogAttachModule();

// printf into a string cut to kLogMaxMessage characters (UTF-16 units, never half a character).
std::string LogFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// printf into a string that is never cut (for texts that are not log messages).
std::string LogFormatWhole(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Entry and exit lines of an operation (level 9).
class CTraceStack {
public:
    CTraceStack(std::string_view detail, std::string_view name, const char* file, int line, const HRESULT* result);
    ~CTraceStack();
    CTraceStack(const CTraceStack&) = delete;
    CTraceStack& operator=(const CTraceStack&) = delete;

private:
    uint32_t m_start;
    std::string m_name;
    const HRESULT* m_result;
    int32_t m_toLog = 1;
    const char* m_file;
    int m_line;
};

namespace orvel::logdetail {
// Each writes its line (when the level is enabled) and returns whether the check passed.
bool CheckFailed(int level, const char* text, const char* file, int line);
bool CheckCom(int level, HRESULT hr, const char* file, int line);
bool CheckComMsg(int level, HRESULT hr, std::string_view msg, const char* file, int line);
bool CheckBoolMsg(bool ok, const char* condText, std::string_view msg, const char* file, int line);
bool SecondaryCom(HRESULT hr, const char* file, int line);
}  // namespace orvel::logdetail

// The source file named in log lines. A file that must keep another name in its lines
// redefines it after its includes: #undef ORVEL_LOG_FILE, #define ORVEL_LOG_FILE "name.cpp".
#define ORVEL_LOG_FILE __FILE__

#define ORVEL_LOG_CONCAT2(a, b) a##b
#define ORVEL_LOG_CONCAT(a, b) ORVEL_LOG_CONCAT2(a, b)

#define LOGF(level, fmt, ...) LogWriteFormat((level), ORVEL_LOG_FILE, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

#define ORVEL_ASSERT(cond) \
    (static_cast<bool>(cond) || ::orvel::logdetail::CheckFailed(0, "*ASSERT*: " #cond, ORVEL_LOG_FILE, __LINE__))
#define ERROR_CHECK_BOOL(cond) \
    (static_cast<bool>(cond) || ::orvel::logdetail::CheckFailed(5, "ERROR_CHECK_BOOL:" #cond, ORVEL_LOG_FILE, __LINE__))
#define ERROR_CHECK_BOOLEX(cond) \
    (static_cast<bool>(cond) ||  \
     ::orvel::logdetail::CheckFailed(5, "ERROR_CHECK_BOOLEX:" #cond, ORVEL_LOG_FILE, __LINE__))
#define ERROR_CHECK_COM(hr) ::orvel::logdetail::CheckCom(5, (hr), ORVEL_LOG_FILE, __LINE__)
#define ERROR_CHECK_COM_LEVEL(level, hr) ::orvel::logdetail::CheckCom((level), (hr), ORVEL_LOG_FILE, __LINE__)
#define ERROR_CHECK_COM_MSG(level, hr, msg) \
    ::orvel::logdetail::CheckComMsg((level), (hr), (msg), ORVEL_LOG_FILE, __LINE__)
#define CHECK_BOOL(cond, msg) \
    ::orvel::logdetail::CheckBoolMsg(static_cast<bool>(cond), #cond, (msg), ORVEL_LOG_FILE, __LINE__)
#define CHECK_COM(hr) ::orvel::logdetail::SecondaryCom((hr), ORVEL_LOG_FILE, __LINE__)

// Declares a CTraceStack for the rest of the scope; the detail is formatted only when traces are on.
#define TRACE_SCOPE(name, phr, detailFmt, ...)                                                                   \
    ::CTraceStack ORVEL_LOG_CONCAT(orvelTraceScope_, __LINE__)(                                                  \
        ::LogLevelEnabled(kLogLevelTrace) ? ::LogFormat(detailFmt __VA_OPT__(, ) __VA_ARGS__) : ::std::string(), \
        (name), ORVEL_LOG_FILE, __LINE__, (phr))
