// Hooks for tests of the usage collector and of the code that files items; production code
// never calls them.
#pragma once

#include <functional>

#include "common/recordtree.h"

namespace orvel::infotest {
// Sees every item filed, before the store (also while the store is closed).
void SetSink(std::function<void(const RecordTree& item)> sink);
// Closes the store and forgets that opening was tried, so a test can switch
// "EnableInfoStore" or "ConfigPath" and start over.
void ResetStore();
}  // namespace orvel::infotest
