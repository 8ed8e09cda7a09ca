// Scales the real retry waits for the scope of a test and puts them back to
// full length when it ends, however the test ends (an ASSERT return included).
#pragma once

#include "httpclient/retry_policy.h"

namespace orvel::testsupport {

class ScopedRetryWaitScale {
public:
    explicit ScopedRetryWaitScale(double scale) { SetRetryWaitScaleForTesting(scale); }
    ~ScopedRetryWaitScale() { SetRetryWaitScaleForTesting(1.0); }
    ScopedRetryWaitScale(const ScopedRetryWaitScale&) = delete;
    ScopedRetryWaitScale& operator=(const ScopedRetryWaitScale&) = delete;
};

}  // namespace orvel::testsupport
