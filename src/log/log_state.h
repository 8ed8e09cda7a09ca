// Process-wide log state shared by the log's source files.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "platform/named_mutex.h"

namespace orvel::logimpl {

struct LogState {
    LogState();
    std::string logName;
    std::string basePath;
    std::string currentFile;
    std::atomic<int> threshold{4};
    int lastYear = -1;
    int lastYday = -1;                             // -1: the first line names the file
    NamedMutex mutex{"_#_LogFile_Z_MutxName_#_"};  // kLogMutexName
    uint32_t writeCount = 0;
    std::atomic<bool> sleepEnabled{true};
    std::mutex hookLock;  // guards the hooks below
    std::function<time_t()> now;
    std::function<uint32_t()> ticks;
};

LogState& State();
time_t Now();
uint32_t Ticks();
bool LocalTime(time_t t, tm* out);
// "<folder>/<name>_YYYY_MM_DD<ext>" for the given date.
std::string DailyName(const std::string& basePath, const tm& date);

}  // namespace orvel::logimpl
