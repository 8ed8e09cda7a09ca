// The service's result codes and the folding of detailed failures.
#pragma once

#include "common/hresult.h"

// The value for a result code string (exact, case-sensitive). Null: "*ASSERT*: false" and E_FAIL.
// Unknown: two level-0 lines and E_OV_UNKNOWN_SERVER_ERROR.
HRESULT LookupServerResult(const char* code);
// Network failures become E_OV_NETWORK_ERROR, detailed server failures E_OV_SERVER_ERROR.
HRESULT FoldResult(HRESULT hr);
// "E_OV_TARGET_EXISTS" for 0x8004101A, "S_OK", "E_FAIL", ...; null for a value without a name.
const char* ResultName(HRESULT hr);
// The result code string the service uses for a value ("targetExist"), or null.
const char* ServerCodeFor(HRESULT hr);
