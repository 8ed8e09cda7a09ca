// The process-wide count of requests that reached the network. The HTTP layer counts;
// the usage collector reads it.
#pragma once

#include <cstdint>

void CountNetworkRequest();
uint32_t NetworkRequestCount();
