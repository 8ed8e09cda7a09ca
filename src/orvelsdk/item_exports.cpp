// ORVEL_Delete, ORVEL_Rename, ORVEL_Move, ORVEL_NewFolder: the calls that
// change the remote store.
#include <orvelsdk/orvelsdk.h>

#include "common/recordtree.h"
#include "remotestorage/taskdata.h"
#include "log/log.h"
#include "orvelsdk/sdk_util.h"

extern "C" {

ORVEL_API HRESULT ORVEL_Delete(const char16_t* token, const char16_t* itemId) {
    return GuardServiceExport("ORVEL_Delete", [&]() -> HRESULT {
        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_DeleteEx task;
        task.strToken = ArgText(token);
        task.strId = ArgText(itemId);
        hr = storage->Delete(task, nullptr, nullptr);
        ERROR_CHECK_COM(hr);
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_Rename(const char16_t* token, const char16_t* itemId, const char16_t* newName) {
    return GuardServiceExport("ORVEL_Rename", [&]() -> HRESULT {
        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_Rename task;
        task.strToken = ArgText(token);
        task.strId = ArgText(itemId);
        task.strNewName = ArgText(newName);
        hr = storage->Rename(task, nullptr, nullptr);
        ERROR_CHECK_COM(hr);
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_Move(const char16_t* token, const char16_t* itemId, const char16_t* newParentId) {
    return GuardServiceExport("ORVEL_Move", [&]() -> HRESULT {
        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_Move task;
        task.strToken = ArgText(token);
        task.strId = ArgText(itemId);
        task.strParentId = ArgText(newParentId);
        task.strName.clear();  // a move never renames
        hr = storage->Move(task, nullptr, nullptr);
        ERROR_CHECK_COM(hr);
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_NewFolder(const char16_t* token, const char16_t* parentId, const char16_t* name,
                                  BSTR* strFolderId) {
    return GuardServiceExport("ORVEL_NewFolder", [&]() -> HRESULT {
        if (!ORVEL_ASSERT(strFolderId)) return E_POINTER;

        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_DirectoryAdd task;
        task.strToken = ArgText(token);
        task.strParentId = ArgText(parentId);
        task.strName = ArgText(name);
        RecordTree answer;
        hr = storage->NewFolder(task, nullptr, nullptr, answer);
        // A name that is taken is a half success: the existing folder's id comes back.
        if (!ERROR_CHECK_BOOL(hr == S_OK || hr == E_OV_TARGET_EXISTS)) return hr;

        *strFolderId = MakeBstr(answer.GetValue("fileId")).release();
        return hr;
    });
}

}  // extern "C"
