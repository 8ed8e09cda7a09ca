#include "common/results.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "log/log.h"

namespace {

struct Entry {
    const char* code;
    const char* name;
    HRESULT value;
};

// The 42 result codes the service sends.
constexpr Entry kServerResults[] = {
    {"ok", "S_OK", S_OK},
    {"clientNoLogin", "E_OV_CLIENT_NO_LOGIN", E_OV_CLIENT_NO_LOGIN},
    {"clientBadParams", "E_OV_CLIENT_BAD_PARAMS", E_OV_CLIENT_BAD_PARAMS},
    {"serverDeny", "E_OV_SERVER_DENY", E_OV_SERVER_DENY},
    {"serverBusy", "E_OV_SERVER_BUSY", E_OV_SERVER_BUSY},
    {"serverError", "E_OV_SERVER_ERROR", E_OV_SERVER_ERROR},
    {"errorDeny", "E_OV_ERROR_DENY", E_OV_ERROR_DENY},
    {"targetExist", "E_OV_TARGET_EXISTS", E_OV_TARGET_EXISTS},
    {"accountServerError", "E_OV_ACCOUNT_SERVER_ERROR", E_OV_ACCOUNT_SERVER_ERROR},
    {"accountNotActive", "E_OV_ACCOUNT_NOT_ACTIVE", E_OV_ACCOUNT_NOT_ACTIVE},
    {"accountNotMatch", "E_OV_ACCOUNT_NOT_MATCH", E_OV_ACCOUNT_NOT_MATCH},
    {"clientTooFrequent", "E_OV_CLIENT_TOO_FREQUENT", E_OV_CLIENT_TOO_FREQUENT},
    {"clientNoMethod", "E_OV_CLIENT_NO_METHOD", E_OV_CLIENT_NO_METHOD},
    {"targetNotExist", "E_OV_TARGET_NOT_EXISTS", E_OV_TARGET_NOT_EXISTS},
    {"commitFail", "E_OV_COMMIT_FAIL", E_OV_COMMIT_FAIL},
    {"dataOperationFailed", "E_OV_DATA_OPERATION_FAILED", E_OV_DATA_OPERATION_FAILED},
    {"overSpace", "E_OV_OVER_SPACE", E_OV_OVER_SPACE},
    {"fileVerConflict", "E_OV_FILE_VER_CONFLICT", E_OV_FILE_VER_CONFLICT},
    {"permissionDenied", "E_OV_PERMISSION_DENIED", E_OV_PERMISSION_DENIED},
    {"forbidden", "E_OV_FORBIDDEN", E_OV_FORBIDDEN},
    {"clientTokenExpired", "E_OV_CLIENT_TOKEN_EXPIRED", E_OV_CLIENT_TOKEN_EXPIRED},
    {"methodVersionNotMatch", "E_OV_METHOD_VERSION_NOT_MATCH", E_OV_METHOD_VERSION_NOT_MATCH},
    {"serverDenyReadOnly", "E_OV_SERVER_DENY_READ_ONLY", E_OV_SERVER_DENY_READ_ONLY},
    {"parentNotExist", "E_OV_PARENT_NOT_EXIST", E_OV_PARENT_NOT_EXIST},
    {"badStub", "E_OV_BAD_STUB", E_OV_BAD_STUB},
    {"failureToApplyStub", "E_OV_FAILURE_TO_APPLY_STUB", E_OV_FAILURE_TO_APPLY_STUB},
    {"getFileKeyFailed", "E_OV_GET_FILE_KEY_FAILED", E_OV_GET_FILE_KEY_FAILED},
    {"emptyFile", "E_OV_EMPTY_FILE", E_OV_EMPTY_FILE},
    {"storageError", "E_OV_STORAGE_ERROR", E_OV_STORAGE_ERROR},
    {"getFileInfoFailed", "E_OV_GET_FILE_INFO_FAILED", E_OV_GET_FILE_INFO_FAILED},
    {"folderNonEmpty", "E_OV_FOLDER_NON_EMPTY", E_OV_FOLDER_NON_EMPTY},
    {"uploadError", "E_OV_UPLOAD_ERROR", E_OV_UPLOAD_ERROR},
    {"fileMissInAgent", "E_OV_FILE_MISS_IN_AGENT", E_OV_FILE_MISS_IN_AGENT},
    {"timeout", "E_OV_TIMEOUT", E_OV_TIMEOUT},
    {"wssError", "E_OV_WSS_ERROR", E_OV_WSS_ERROR},
    {"resetClientCache", "E_OV_RESET_CLIENT_CACHE", E_OV_RESET_CLIENT_CACHE},
    {"getStubFail", "E_OV_GET_STUB_FAIL", E_OV_GET_STUB_FAIL},
    {"unsupportedCharRange", "E_OV_UNSUPPORTED_CHAR_RANGE", E_OV_UNSUPPORTED_CHAR_RANGE},
    {"fnameTooLong", "E_OV_FNAME_TOO_LONG", E_OV_FNAME_TOO_LONG},
    {"thirdServerError", "E_OV_THIRD_SERVER_ERROR", E_OV_THIRD_SERVER_ERROR},
    {"ticketNotValid", "E_OV_TICKET_NOT_VALID", E_OV_TICKET_NOT_VALID},
    {"treeVerDeny", "E_OV_TREE_VER_DENY", E_OV_TREE_VER_DENY},
};
static_assert(sizeof(kServerResults) / sizeof(kServerResults[0]) == 42);

// Values the library produces itself (no service code).
constexpr Entry kOwnResults[] = {
    {nullptr, "E_OV_UNKNOWN_SERVER_ERROR", E_OV_UNKNOWN_SERVER_ERROR},
    {nullptr, "E_OV_CANCELLED", E_OV_CANCELLED},
    {nullptr, "E_OV_NETWORK_TIMEOUT", E_OV_NETWORK_TIMEOUT},
    {nullptr, "E_OV_NETWORK_UNREACHABLE", E_OV_NETWORK_UNREACHABLE},
    {nullptr, "E_OV_NETWORK_ERROR", E_OV_NETWORK_ERROR},
    {nullptr, "S_FALSE", S_FALSE},
    {nullptr, "E_FAIL", E_FAIL},
    {nullptr, "E_NOTIMPL", E_NOTIMPL},
    {nullptr, "E_POINTER", E_POINTER},
    {nullptr, "E_INVALIDARG", E_INVALIDARG},
    {nullptr, "E_OUTOFMEMORY", E_OUTOFMEMORY},
};

// Built once on first use, read-only afterwards: lookups need no lock.
const std::unordered_map<std::string, HRESULT>& ServerResultMap() {
    static const std::unordered_map<std::string, HRESULT> map = [] {
        std::unordered_map<std::string, HRESULT> m;
        for (const auto& e : kServerResults) m.emplace(e.code, e.value);
        return m;
    }();
    return map;
}

}  // namespace

HRESULT LookupServerResult(const char* code) {
    if (code == nullptr) {
        ORVEL_ASSERT(false);
        return E_FAIL;
    }
    const auto& map = ServerResultMap();
    const auto it = map.find(code);
    if (it != map.end()) return it->second;
    ORVEL_ASSERT(false && L"ServerResultMap::[] Catched UnKnown Server Error");
    LOGF(kLogLevelError, "ServerResultMap::[] Catched UnKnown Server Error, Code = %s", code);
    return E_OV_UNKNOWN_SERVER_ERROR;
}

HRESULT FoldResult(HRESULT hr) {
    switch (hr) {
        case E_OV_NETWORK_TIMEOUT:
        case E_OV_NETWORK_UNREACHABLE:
        case E_OV_NETWORK_0x80044004:
            return E_OV_NETWORK_ERROR;
        case E_OV_CLIENT_BAD_PARAMS:
        case E_OV_SERVER_DENY:
        case E_OV_SERVER_BUSY:
        case E_OV_CLIENT_TOO_FREQUENT:
        case E_OV_CLIENT_NO_METHOD:
        case E_OV_ACCOUNT_SERVER_ERROR:
        case E_OV_ACCOUNT_NOT_ACTIVE:
        case E_OV_DATA_OPERATION_FAILED:
        case E_OV_PERMISSION_DENIED:
        case E_OV_GET_FILE_KEY_FAILED:
        case E_OV_STORAGE_ERROR:
        case E_OV_UNKNOWN_SERVER_ERROR:
            return E_OV_SERVER_ERROR;
        default:
            return hr;
    }
}

const char* ResultName(HRESULT hr) {
    for (const auto& e : kServerResults)
        if (e.value == hr) return e.name;
    for (const auto& e : kOwnResults)
        if (e.value == hr) return e.name;
    return nullptr;
}

const char* ServerCodeFor(HRESULT hr) {
    for (const auto& e : kServerResults)
        if (e.value == hr) return e.code;
    return nullptr;
}
