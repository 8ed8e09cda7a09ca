// Monotonic millisecond ticks (wraps after ~49 days like the tick count it stands in for).
#pragma once

#include <cstdint>

uint32_t GetTickCountMs();
