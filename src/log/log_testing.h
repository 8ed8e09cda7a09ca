// Hooks for tests of the log and of code that writes to it; production code never calls them.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace orvel::logtest {
void SetThreshold(int threshold);
// Replaces the wall clock used for the daily name, the line's time and CleanOldLogs (null restores it).
void SetNow(std::function<time_t()> now);
// Replaces the millisecond ticks CTraceStack measures with (null restores them).
void SetTicks(std::function<uint32_t()> ticks);
// Turns the 3 ms sleep of every write on or off.
void SetSleepEnabled(bool enabled);
// Sets the write counter that drives the size check every 100 writes.
void SetWriteCount(uint32_t count);
// Today's log file path.
std::string CurrentFile();
std::string LogName();
std::string BasePath();
}  // namespace orvel::logtest
