// ORVEL_Login, ORVEL_Relogin, ORVEL_GetSpace: one service operation each
// through the call pattern, answers read into out-parameters.
#include <orvelsdk/orvelsdk.h>

#include "httpclient/network_error.h"
#include "common/recordtree.h"
#include "remotestorage/taskdata.h"
#include "log/log.h"
#include "orvelsdk/exchangedata.h"
#include "orvelsdk/sdk_util.h"

namespace {

// Space figures arrive in bytes; the caller gets whole MiB.
int64_t SpaceMiB(const RecordTree& answer, std::string_view key) {
    return ParseInt64Clamped(answer.GetValue(key)) / 1024 / 1024;
}

}  // namespace

extern "C" {

ORVEL_API HRESULT ORVEL_Login(const char16_t* user, const char16_t* password, const char16_t* deviceId,
                              const char16_t* clientName, const char16_t* clientVersion, BSTR* strUserId,
                              BSTR* strToken, BSTR* strNickName) {
    return GuardServiceExport("ORVEL_Login", [&]() -> HRESULT {
        // A null out pointer would make a successful sign-in unreportable; refuse
        // it before anything is sent.
        const bool outsOk = ORVEL_ASSERT(strUserId) & ORVEL_ASSERT(strToken) & ORVEL_ASSERT(strNickName);
        if (!outsOk) return E_POINTER;

        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_Login task;
        task.strUser = ArgText(user);
        task.strPassword = ArgText(password);
        task.strDeviceId = ArgText(deviceId);
        task.strClientName = ArgText(clientName);
        task.strClientVersion = ArgText(clientVersion);
        RecordTree answer;
        hr = storage->Login(task, nullptr, nullptr, answer);
        if (!ERROR_CHECK_COM(hr)) return hr;

        // All three strings are made before any is handed out, so a failure
        // leaves every out-parameter as it was.
        UniqueBstr userId = MakeBstr(answer.GetValue("userId"));
        UniqueBstr token = MakeBstr(answer.GetValue("token"));
        UniqueBstr nickName = MakeBstr(answer.GetValue("nickName"));
        *strUserId = userId.release();
        *strToken = token.release();
        *strNickName = nickName.release();
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_Relogin(const char16_t* token, const char16_t* deviceId, BSTR* strNewToken) {
    return GuardServiceExport("ORVEL_Relogin", [&]() -> HRESULT {
        if (!ORVEL_ASSERT(strNewToken)) return E_POINTER;

        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_ReLogin task;
        task.strToken = ArgText(token);
        task.strDeviceId = ArgText(deviceId);
        RecordTree answer;
        hr = storage->ReLogin(task, nullptr, nullptr, answer);
        if (!ERROR_CHECK_COM(hr)) return hr;

        *strNewToken = MakeBstr(answer.GetValue("token")).release();
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_GetSpace(const char16_t* token, const char16_t* email, const char16_t* userId,
                                 int64_t* usedSpace, int64_t* totalSpace) {
    return GuardServiceExport("ORVEL_GetSpace", [&]() -> HRESULT {
        const bool outsOk = ORVEL_ASSERT(usedSpace) & ORVEL_ASSERT(totalSpace);
        if (!outsOk) return E_POINTER;

        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_GetSpace task;
        task.strToken = ArgText(token);
        task.strEmail = ArgText(email);
        task.strUid = ArgText(userId);
        RecordTree answer;
        hr = storage->GetSpace(task, nullptr, nullptr, answer);
        if (!ERROR_CHECK_COM(hr)) return hr;

        *usedSpace = SpaceMiB(answer, "used");
        *totalSpace = SpaceMiB(answer, "total");
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_GetLastErrorText(BSTR* text) {
    // No GuardServiceExport on purpose: reading the cause
    // must not change it.
    try {
        if (!ORVEL_ASSERT(text)) return E_POINTER;
        *text = MakeBstr(ThreadNetworkError()).release();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // extern "C"
