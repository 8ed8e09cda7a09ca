// Item operations: listing, delete, rename, move, new folder, item info and
// modification time.
#include "log/log.h"
#include "remotestorage/operation.h"

namespace {

constexpr OpSpec ItemSpec(std::string_view path, bool passCallback = true, bool logFailure = true) {
    return {.root = Root::Service, .path = path, .passCallback = passCallback, .logFailure = logFailure};
}

}  // namespace

HRESULT CRemoteStorage::Dir(const TaskData_Dir& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::Dir()", &hr, "Id = %s", TaskData.strDirId.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    const RecordTree request = RequestTree({{"token", TaskData.strToken}, {"fileId", TaskData.strDirId}});
    hr = RunOperation(*this, ItemSpec("/osvr/dir/"), request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::Delete(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::Delete()", &hr, "Id = %s", TaskData.strId.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    const RecordTree request = RequestTree({{"token", TaskData.strToken}, {"fileId", TaskData.strId}});
    RecordTree answer;
    hr = RunOperation(*this, ItemSpec("/osvr/delete/"), request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::DeleteEx(const TaskData_DeleteEx& TaskData, ProgressCallback cb, void* ctx) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::Delete()", &hr, "Id = %s", TaskData.strId.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    const RecordTree request = RequestTree(
        {{"token", TaskData.strToken}, {"fileId", TaskData.strId}, {"toRecycel", TF(TaskData.bToRecycle != 0)}});
    RecordTree answer;
    hr = RunOperation(*this, ItemSpec("/osvr/deleteExVirtual/", true, false), request, cb, ctx, answer);
    // An item already gone, or a folder that still holds items, is a normal answer.
    if (!ERROR_CHECK_BOOLEX(S_OK == hr || E_OV_TARGET_NOT_EXISTS == hr || E_OV_FOLDER_NON_EMPTY == hr)) {
        FileFailureItem("DeleteFailed", hr, answer);
    }
    return hr;
}

HRESULT CRemoteStorage::DeleteVerTree(const TaskData_DeleteEx& TaskData, ProgressCallback cb, void* ctx) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::DeleteVerTree()", &hr, "Id = %s, TreeVer = %d", TaskData.strId.c_str(),
                static_cast<int>(TaskData.nFolderVer));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    const std::string treeVer = std::to_string(TaskData.nFolderVer);
    const RecordTree request = RequestTree({{"token", TaskData.strToken},
                                            {"fileId", TaskData.strId},
                                            {"treeOpVer", treeVer},
                                            {"toRecycel", TF(TaskData.bToRecycle != 0)}});
    RecordTree answer;
    hr = RunOperation(*this, ItemSpec("/osvr/deleteVerTree/", false), request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::Rename(const TaskData_Rename& TaskData, ProgressCallback cb, void* ctx) {
    HRESULT hr = S_OK;
    // The scope carries the export's name; log readers search for it.
    TRACE_SCOPE("ORVEL_Rename()", &hr, "Id = %s, NewName = %s", TaskData.strId.c_str(), TaskData.strNewName.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strNewName));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"fileId", TaskData.strId}, {"name", TaskData.strNewName}});
    RecordTree answer;
    hr = RunOperation(*this, ItemSpec("/osvr/rename/", false), request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::Move(const TaskData_Move& TaskData, ProgressCallback cb, void* ctx) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::Move()", &hr, "Id = %s, ParentId = %s, Name = %s", TaskData.strId.c_str(),
                TaskData.strParentId.c_str(), TaskData.strName.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    const RecordTree request = RequestTree({{"token", TaskData.strToken},
                                            {"fileId", TaskData.strId},
                                            {"parentId", TaskData.strParentId},
                                            {"name", TaskData.strName}});
    RecordTree answer;
    hr = RunOperation(*this, ItemSpec("/osvr/move/"), request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::NewFolder(const TaskData_DirectoryAdd& TaskData, ProgressCallback cb, void* ctx,
                                  RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::NewFolder()", &hr, "ParentId = %s, Name = %s", TaskData.strParentId.c_str(),
                TaskData.strName.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strName));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"parentId", TaskData.strParentId}, {"name", TaskData.strName}});
    hr = RunOperation(*this, ItemSpec("/osvr/newFolder/", true, false), request, cb, ctx, answer);
    // A folder of that name already there, or a vanished parent, is a normal answer.
    if (!ERROR_CHECK_BOOLEX(S_OK == hr || E_OV_TARGET_EXISTS == hr || E_OV_PARENT_NOT_EXIST == hr)) {
        FileFailureItem("NewFolderFailed", hr, answer);
    }
    return hr;
}

HRESULT CRemoteStorage::GetItemInfo(const TaskData_GetItemInfo& TaskData, ProgressCallback cb, void* ctx,
                                    RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetItemInfo()", &hr, "Id = %s", TaskData.strId.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    const RecordTree request = RequestTree({{"token", TaskData.strToken}, {"fileId", TaskData.strId}});
    hr = RunOperation(*this, ItemSpec("/osvr/getItemInfo/"), request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::SetFileModTime(const TaskData_SetModTime& TaskData, ProgressCallback cb, void* ctx,
                                       RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::SetFileModTime()", &hr, "Id = %s", TaskData.strId.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strMTime));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"fileId", TaskData.strId}, {"modTime", TaskData.strMTime}});
    hr = RunOperation(*this, ItemSpec("/osvr/setModTime/"), request, cb, ctx, answer);
    return hr;
}
