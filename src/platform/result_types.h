// HRESULT, BSTR and the result values for code below the C API: the public results header
// alone, without the exports' declarations.
#pragma once

#include <orvelsdk/orvelsdk_results.h>
