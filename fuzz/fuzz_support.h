// Shared set-up of the harnesses.
#pragma once

#include "log/log.h"
#include "log/log_testing.h"

namespace fuzzsupport {

// Failure paths log at level 0; writing and pacing a line per input would make
// the log, not the parser, the thing being measured.
inline void QuietLog() {
    static const bool done = [] {
        orvel::logtest::SetSleepEnabled(false);
        orvel::logtest::SetThreshold(-1);
        return true;
    }();
    (void)done;
}

}  // namespace fuzzsupport
