// BSTR out-strings: UTF-16 with a 32-bit byte-length prefix, as callers of the C API expect.
#pragma once

#include "platform/result_types.h"

#include <string_view>

// Null on out of memory.
BSTR BstrFromUtf8(std::string_view text);
