// Account and session operations: sign-in, renewal, space, versions, user
// properties and derived tokens.
#include "common/settings.h"
#include "log/log.h"
#include "remotestorage/http_call.h"
#include "remotestorage/operation.h"

HRESULT CRemoteStorage::Login(const TaskData_Login& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::Login()", &hr, "User = %s, DeviceId = %s, ClientName = %s, ClientVersion = %s",
                TaskData.strUser.c_str(), TaskData.strDeviceId.c_str(), TaskData.strClientName.c_str(),
                TaskData.strClientVersion.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strUser));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strPassword));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strDeviceId));
    const RecordTree request = RequestTree({{"user", TaskData.strUser},
                                            {"password", TaskData.strPassword},
                                            {"deviceId", TaskData.strDeviceId},
                                            {"clientName", TaskData.strClientName},
                                            {"clientVersion", TaskData.strClientVersion}});
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/login/"}, request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::ReLogin(const TaskData_ReLogin& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::ReLogin()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    const RecordTree request = RequestTree({{"token", TaskData.strToken}, {"deviceId", TaskData.strDeviceId}});
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/reLogin/"}, request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::Get189LoginReqValue(std::string& value) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::Get189LoginReqValue()", &hr, "%s", "");
    const std::string returnUrl = UdbReturnUrl();
    const RecordTree request = RequestTree({{"clientType", "pc"}, {"returnURL", returnUrl}});
    RecordTree answer;
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/getUDBLoginRequestValue/", .passCallback = false},
                      request, nullptr, nullptr, answer);
    if (SUCCEEDED(hr)) value = answer.GetValue("value");
    return hr;
}

HRESULT CRemoteStorage::TeleUdbLogin(const TaskData_TeleUdbLogin& TaskData, RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::TeleUdbLogin()", &hr, "%s", "");
    const RecordTree request = RequestTree({{"plrValue", TaskData.strPlrValue},
                                            {"clientType", "pc"},
                                            {"deviceId", TaskData.strDeviceId},
                                            {"clientName", TaskData.strClientName},
                                            {"clientVersion", TaskData.strClientVersion}});
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/lazyTeleudbLogin/", .passCallback = false}, request,
                      nullptr, nullptr, answer);
    return hr;
}

HRESULT CRemoteStorage::GetSpace(const TaskData_GetSpace& TaskData, ProgressCallback cb, void* ctx,
                                 RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetSpace()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    // Enterprise accounts ask the service root; personal ones the web root.
    if (ReadRegistryDword("isent", 0, true) != 0) {
        const RecordTree request = RequestTree({{"token", TaskData.strToken}});
        hr = RunOperation(*this,
                          {.root = Root::Service, .path = "/osvr/getSpace/", .timeoutSec = 5, .appendIsEnt = true},
                          request, cb, ctx, answer);
    } else {
        const RecordTree request =
            RequestTree({{"token", TaskData.strToken}, {"uid", TaskData.strUid}, {"email", TaskData.strEmail}});
        hr = RunOperation(
            *this, {.root = Root::Web, .path = "/kmg/usertask/getuserspace/", .body = Body::Form, .timeoutSec = 5},
            request, cb, ctx, answer);
    }
    return hr;
}

HRESULT CRemoteStorage::GetMaxVers(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetMaxVers()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    const RecordTree request = RequestTree({{"token", TaskData.strToken}});
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/getMaxVers/", .timeoutSec = 0}, request, cb, ctx,
                      answer);
    return hr;
}

HRESULT CRemoteStorage::SetUserProp(std::string_view szToken, std::string_view szKey, std::string_view szValue,
                                    ProgressCallback cb, void* ctx, RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::SetUserProp()", &hr, "szKey = %s, szValue = %s", std::string(szKey).c_str(),
                std::string(szValue).c_str());
    ORVEL_ASSERT(!IsStrEmpty(szToken));
    ORVEL_ASSERT(!IsStrEmpty(szKey));
    ORVEL_ASSERT(!IsStrEmpty(szValue));
    const RecordTree request = RequestTree({{"token", szToken}, {"key", szKey}, {"value", szValue}});
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/setProp/"}, request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::GetUserProp(std::string_view szToken, std::string_view szKey, ProgressCallback cb, void* ctx,
                                    RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetUserProp()", &hr, "szKey = %s", std::string(szKey).c_str());
    ORVEL_ASSERT(!IsStrEmpty(szToken));
    ORVEL_ASSERT(!IsStrEmpty(szKey));
    const RecordTree request = RequestTree({{"token", szToken}, {"key", szKey}});
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/getProp/", .logFailure = false}, request, cb, ctx,
                      answer);
    // A property that was never set is a normal answer.
    ERROR_CHECK_BOOLEX(S_OK == hr || E_OV_TARGET_NOT_EXISTS == hr);
    return hr;
}

HRESULT CRemoteStorage::ForkToken(std::string_view szToken, std::string_view szDeviceId, std::string_view szClientName,
                                  RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::ForkToken()", &hr, "%s", "");
    const RecordTree request =
        RequestTree({{"token", szToken}, {"deviceId", szDeviceId}, {"clientName", szClientName}});
    hr = RunOperation(*this,
                      {.root = Root::Service,
                       .path = "/osvr/forkToken/",
                       .timeoutSec = 3,
                       .flags = {false, true, true},
                       .passCallback = false},
                      request, nullptr, nullptr, answer);
    return hr;
}
