// Round trips through the library against the service emulator.
#include <gtest/gtest.h>

#include "test_support.h"
