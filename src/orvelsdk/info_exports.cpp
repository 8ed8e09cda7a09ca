// The library's self-description: a result's name and plain meaning, and
// its version.
#include <orvelsdk/orvelsdk.h>

#include <cstdio>

#include "common/results.h"
#include "orvelsdk/sdk_util.h"

namespace {

// The name comes from ResultName().
struct ResultText {
    HRESULT hr;
    const char* meaning;
};

constexpr ResultText kResults[] = {
    {S_OK, "success"},
    {S_FALSE, "success with nothing to do"},
    {E_NOTIMPL, "not implemented"},
    {E_POINTER, "a required pointer was missing"},
    {E_FAIL, "the operation failed (a local file, or an answer that could not be read)"},
    {E_OUTOFMEMORY, "out of memory"},
    {E_INVALIDARG, "an argument is out of range"},
    {E_OV_CLIENT_BAD_PARAMS, "the service rejected the request's parameters"},
    {E_OV_SERVER_DENY, "the service refused the request"},
    {E_OV_SERVER_BUSY, "the service is busy; try again later"},
    {E_OV_CLIENT_TOO_FREQUENT, "too many requests; slow down"},
    {E_OV_CLIENT_NO_METHOD, "the service does not know this operation"},
    {E_OV_ACCOUNT_SERVER_ERROR, "the account service failed"},
    {E_OV_ACCOUNT_NOT_ACTIVE, "the account is not active"},
    {E_OV_DATA_OPERATION_FAILED, "the service could not change its data"},
    {E_OV_PERMISSION_DENIED, "you may not change this item"},
    {E_OV_SERVER_DENY_READ_ONLY, "the service is read-only at the moment"},
    {E_OV_FAILURE_TO_APPLY_STUB, "the transfer session could not be opened"},
    {E_OV_BAD_STUB, "the transfer session is not valid"},
    {E_OV_GET_FILE_KEY_FAILED, "the service handed out no block key"},
    {E_OV_STORAGE_ERROR, "the service's storage failed"},
    {E_OV_GET_FILE_INFO_FAILED, "the service could not read the item"},
    {E_OV_UNKNOWN_SERVER_ERROR, "the service answered with an unknown result"},
    {E_OV_SERVER_ERROR, "the service failed to carry out the request"},
    {E_OV_COMMIT_FAIL, "the upload could not be committed"},
    {E_OV_GET_STUB_FAIL, "no transfer session could be had"},
    {E_OV_CLIENT_TOKEN_EXPIRED, "the session token has expired; renew it or sign in again"},
    {E_OV_METHOD_VERSION_NOT_MATCH, "the service speaks another protocol version"},
    {E_OV_CANCELLED, "the transfer was cancelled"},
    {E_OV_ACCOUNT_NOT_MATCH, "wrong user name or password"},
    {E_OV_CLIENT_NO_LOGIN, "not signed in"},
    {E_OV_ERROR_DENY, "access denied"},
    {E_OV_TARGET_EXISTS, "a file of that name already exists"},
    {E_OV_TARGET_NOT_EXISTS, "no such item"},
    {E_OV_OVER_SPACE, "not enough storage space"},
    {E_OV_FILE_VER_CONFLICT, "the file changed on the service meanwhile"},
    {E_OV_FORBIDDEN, "forbidden"},
    {E_OV_PARENT_NOT_EXIST, "the parent folder does not exist"},
    {E_OV_EMPTY_FILE, "the file is empty"},
    {E_OV_FOLDER_NON_EMPTY, "the folder is not empty"},
    {E_OV_UPLOAD_ERROR, "the upload failed on the service"},
    {E_OV_FILE_MISS_IN_AGENT, "the file is missing on the service"},
    {E_OV_TIMEOUT, "the service timed out"},
    {E_OV_WSS_ERROR, "the service's storage back end failed"},
    {E_OV_RESET_CLIENT_CACHE, "the session must start afresh; sign in again"},
    {E_OV_UNSUPPORTED_CHAR_RANGE, "the name holds characters the service refuses"},
    {E_OV_FNAME_TOO_LONG, "the name is too long"},
    {E_OV_THIRD_SERVER_ERROR, "a service behind the service failed"},
    {E_OV_TICKET_NOT_VALID, "the ticket is not valid"},
    {E_OV_TREE_VER_DENY, "the folder changed on the service meanwhile"},
    {E_OV_NETWORK_TIMEOUT, "the network timed out"},
    {E_OV_NETWORK_UNREACHABLE, "the service cannot be reached"},
    {E_OV_NETWORK_ERROR, "the network transfer failed (or the file arrived damaged)"},
};

const ResultText* Find(HRESULT hr) {
    for (const auto& r : kResults)
        if (r.hr == hr) return &r;
    return nullptr;
}

}  // namespace

extern "C" {

ORVEL_API HRESULT ORVEL_GetResultText(HRESULT result, BSTR* name, BSTR* meaning) {
    return GuardExport("ORVEL_GetResultText", [&]() -> HRESULT {
        if (name == nullptr && meaning == nullptr) return E_POINTER;
        const ResultText* r = Find(result);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(result));
        // Both strings are made before either is handed over: on failure the
        // out-parameters stay as they were.
        const char* known = r != nullptr ? ResultName(result) : nullptr;
        UniqueBstr n = MakeBstr(known != nullptr ? known : hex);
        UniqueBstr m = MakeBstr(r != nullptr ? r->meaning : "unknown result");
        if (name != nullptr) *name = n.release();
        if (meaning != nullptr) *meaning = m.release();
        return r != nullptr ? S_OK : S_FALSE;
    });
}

ORVEL_API HRESULT ORVEL_GetVersion(int* major, int* minor, int* patch) {
    if (major == nullptr && minor == nullptr && patch == nullptr) return E_POINTER;
    if (major != nullptr) *major = ORVELSDK_VERSION_MAJOR;
    if (minor != nullptr) *minor = ORVELSDK_VERSION_MINOR;
    if (patch != nullptr) *patch = ORVELSDK_VERSION_PATCH;
    return S_OK;
}

}  // extern "C"
