// Result values for internal code: the shared result values plus the usual tests.
#pragma once

#include "platform/result_types.h"

#ifndef SUCCEEDED
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#endif
#ifndef FAILED
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#endif

// Folded from timeouts and unreachable hosts together with these into E_OV_NETWORK_ERROR.
inline constexpr HRESULT E_OV_NETWORK_0x80044004 = static_cast<HRESULT>(0x80044004);

// Progress of a transfer: totals and done counts in bytes, speed in bytes per second.
// Returning E_FAIL asks the transfer in flight to stop.
typedef HRESULT (*ProgressCallback)(void* ctx, double dlTotal, double dlNow, double ulTotal, double ulNow,
                                    double speed);
