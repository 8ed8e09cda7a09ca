// HRESULT, BSTR and the result values for code below the C API. The definitions are the
// public header's, token for token, under the same guards, so either header may come first;
// the layering check compares the two.
#pragma once

#include <stdint.h>

#ifndef ORVEL_HRESULT_DEFINED
#define ORVEL_HRESULT_DEFINED
/** A result: S_OK (0) or another non-negative value on success, negative on failure. */
typedef int32_t HRESULT;
/** A string made by the library: UTF-16, NUL-terminated, length-prefixed; free it with SysFreeString. */
typedef char16_t* BSTR;
#endif

/* ---- Result values ---------------------------------------------------- */
#define ORVEL_HR(v) ((HRESULT)(v))
#ifndef S_OK
#define S_OK ORVEL_HR(0x00000000)
#endif
#ifndef S_FALSE
#define S_FALSE ORVEL_HR(0x00000001)
#endif
#ifndef E_NOTIMPL
#define E_NOTIMPL ORVEL_HR(0x80004001)
#endif
#ifndef E_POINTER
#define E_POINTER ORVEL_HR(0x80004003)
#endif
#ifndef E_FAIL
#define E_FAIL ORVEL_HR(0x80004005)
#endif
#ifndef E_OUTOFMEMORY
#define E_OUTOFMEMORY ORVEL_HR(0x8007000E)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG ORVEL_HR(0x80070057)
#endif

/* Service result codes. */
#ifndef E_OV_CLIENT_BAD_PARAMS
#define E_OV_CLIENT_BAD_PARAMS ORVEL_HR(0x80041001)
#endif
#ifndef E_OV_SERVER_DENY
#define E_OV_SERVER_DENY ORVEL_HR(0x80041002)
#endif
#ifndef E_OV_SERVER_BUSY
#define E_OV_SERVER_BUSY ORVEL_HR(0x80041003)
#endif
#ifndef E_OV_CLIENT_TOO_FREQUENT
#define E_OV_CLIENT_TOO_FREQUENT ORVEL_HR(0x80041004)
#endif
#ifndef E_OV_CLIENT_NO_METHOD
#define E_OV_CLIENT_NO_METHOD ORVEL_HR(0x80041005)
#endif
#ifndef E_OV_ACCOUNT_SERVER_ERROR
#define E_OV_ACCOUNT_SERVER_ERROR ORVEL_HR(0x80041006)
#endif
#ifndef E_OV_ACCOUNT_NOT_ACTIVE
#define E_OV_ACCOUNT_NOT_ACTIVE ORVEL_HR(0x80041007)
#endif
#ifndef E_OV_DATA_OPERATION_FAILED
#define E_OV_DATA_OPERATION_FAILED ORVEL_HR(0x80041008)
#endif
#ifndef E_OV_PERMISSION_DENIED
#define E_OV_PERMISSION_DENIED ORVEL_HR(0x80041009)
#endif
#ifndef E_OV_SERVER_DENY_READ_ONLY
#define E_OV_SERVER_DENY_READ_ONLY ORVEL_HR(0x8004100A)
#endif
#ifndef E_OV_FAILURE_TO_APPLY_STUB
#define E_OV_FAILURE_TO_APPLY_STUB ORVEL_HR(0x8004100B)
#endif
#ifndef E_OV_BAD_STUB
#define E_OV_BAD_STUB ORVEL_HR(0x8004100C)
#endif
#ifndef E_OV_GET_FILE_KEY_FAILED
#define E_OV_GET_FILE_KEY_FAILED ORVEL_HR(0x8004100D)
#endif
#ifndef E_OV_STORAGE_ERROR
#define E_OV_STORAGE_ERROR ORVEL_HR(0x8004100E)
#endif
#ifndef E_OV_GET_FILE_INFO_FAILED
#define E_OV_GET_FILE_INFO_FAILED ORVEL_HR(0x8004100F)
#endif
#ifndef E_OV_UNKNOWN_SERVER_ERROR
#define E_OV_UNKNOWN_SERVER_ERROR ORVEL_HR(0x80041010)
#endif
#ifndef E_OV_SERVER_ERROR
#define E_OV_SERVER_ERROR ORVEL_HR(0x80041011)
#endif
#ifndef E_OV_COMMIT_FAIL
#define E_OV_COMMIT_FAIL ORVEL_HR(0x80041012)
#endif
#ifndef E_OV_GET_STUB_FAIL
#define E_OV_GET_STUB_FAIL ORVEL_HR(0x80041013)
#endif
#ifndef E_OV_CLIENT_TOKEN_EXPIRED
#define E_OV_CLIENT_TOKEN_EXPIRED ORVEL_HR(0x80041014)
#endif
#ifndef E_OV_METHOD_VERSION_NOT_MATCH
#define E_OV_METHOD_VERSION_NOT_MATCH ORVEL_HR(0x80041015)
#endif
#ifndef E_OV_CANCELLED
#define E_OV_CANCELLED ORVEL_HR(0x80041016)
#endif
#ifndef E_OV_ACCOUNT_NOT_MATCH
#define E_OV_ACCOUNT_NOT_MATCH ORVEL_HR(0x80041017)
#endif
#ifndef E_OV_CLIENT_NO_LOGIN
#define E_OV_CLIENT_NO_LOGIN ORVEL_HR(0x80041018)
#endif
#ifndef E_OV_ERROR_DENY
#define E_OV_ERROR_DENY ORVEL_HR(0x80041019)
#endif
#ifndef E_OV_TARGET_EXISTS
#define E_OV_TARGET_EXISTS ORVEL_HR(0x8004101A)
#endif
#ifndef E_OV_TARGET_NOT_EXISTS
#define E_OV_TARGET_NOT_EXISTS ORVEL_HR(0x8004101B)
#endif
#ifndef E_OV_OVER_SPACE
#define E_OV_OVER_SPACE ORVEL_HR(0x8004101C)
#endif
#ifndef E_OV_FILE_VER_CONFLICT
#define E_OV_FILE_VER_CONFLICT ORVEL_HR(0x8004101D)
#endif
#ifndef E_OV_FORBIDDEN
#define E_OV_FORBIDDEN ORVEL_HR(0x8004101E)
#endif
#ifndef E_OV_PARENT_NOT_EXIST
#define E_OV_PARENT_NOT_EXIST ORVEL_HR(0x8004101F)
#endif
#ifndef E_OV_EMPTY_FILE
#define E_OV_EMPTY_FILE ORVEL_HR(0x80041022)
#endif
#ifndef E_OV_FOLDER_NON_EMPTY
#define E_OV_FOLDER_NON_EMPTY ORVEL_HR(0x80041023)
#endif
#ifndef E_OV_UPLOAD_ERROR
#define E_OV_UPLOAD_ERROR ORVEL_HR(0x80041024)
#endif
#ifndef E_OV_FILE_MISS_IN_AGENT
#define E_OV_FILE_MISS_IN_AGENT ORVEL_HR(0x80041025)
#endif
#ifndef E_OV_TIMEOUT
#define E_OV_TIMEOUT ORVEL_HR(0x80041026)
#endif
#ifndef E_OV_WSS_ERROR
#define E_OV_WSS_ERROR ORVEL_HR(0x80041027)
#endif
#ifndef E_OV_RESET_CLIENT_CACHE
#define E_OV_RESET_CLIENT_CACHE ORVEL_HR(0x80041029)
#endif
#ifndef E_OV_UNSUPPORTED_CHAR_RANGE
#define E_OV_UNSUPPORTED_CHAR_RANGE ORVEL_HR(0x8004102C)
#endif
#ifndef E_OV_FNAME_TOO_LONG
#define E_OV_FNAME_TOO_LONG ORVEL_HR(0x8004102D)
#endif
#ifndef E_OV_THIRD_SERVER_ERROR
#define E_OV_THIRD_SERVER_ERROR ORVEL_HR(0x8004102E)
#endif
#ifndef E_OV_TICKET_NOT_VALID
#define E_OV_TICKET_NOT_VALID ORVEL_HR(0x8004102F)
#endif
#ifndef E_OV_TREE_VER_DENY
#define E_OV_TREE_VER_DENY ORVEL_HR(0x80041030)
#endif
/* Network results produced by the library itself. */
#ifndef E_OV_NETWORK_TIMEOUT
#define E_OV_NETWORK_TIMEOUT ORVEL_HR(0x80044001)
#endif
#ifndef E_OV_NETWORK_UNREACHABLE
#define E_OV_NETWORK_UNREACHABLE ORVEL_HR(0x80044002)
#endif
#ifndef E_OV_NETWORK_ERROR
#define E_OV_NETWORK_ERROR ORVEL_HR(0x80044005)
#endif
