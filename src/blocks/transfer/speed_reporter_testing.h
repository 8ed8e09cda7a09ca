// Hook for tests of the speed reporter; production code never calls it.
#pragma once

namespace orvel::infotest {
// Forgets the rate-query decision so the next GetSpeedReporter asks again.
void ResetSpeedReporter();
}  // namespace orvel::infotest
