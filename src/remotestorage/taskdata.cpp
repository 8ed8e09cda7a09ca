#include "remotestorage/taskdata.h"

#include "log/log.h"

namespace {
template <class T>
std::unique_ptr<TaskDataBase> CopyOf(const T& record) {
    return std::unique_ptr<TaskDataBase>(new T(record));  // member-wise copy of the exact type
}
}  // namespace

bool TaskDataBase::IsSame(const TaskDataBase& other) const {
    return strTaskName == other.strTaskName && strId == other.strId && strPath == other.strPath &&
           bIsDir == other.bIsDir && nFlag == other.nFlag;
}

HRESULT TaskDataBase::Execute(IRemoteStorage*, RecordTree&) {
    ORVEL_ASSERT(0);
    return E_FAIL;
}

std::unique_ptr<SyncTask> TaskDataBase::CreateTask() const {
    ORVEL_ASSERT(!L"CreateTask Failed: No Task!");
    return nullptr;
}

std::string TaskDataBase::Describe() const { return {}; }

bool TaskNeverSame::IsSame(const TaskDataBase&) const { return false; }

std::unique_ptr<TaskDataBase> TaskData_DeleteEx::Clone() const { return CopyOf(*this); }
std::unique_ptr<TaskDataBase> TaskData_DirectoryAdd::Clone() const { return CopyOf(*this); }
std::unique_ptr<TaskDataBase> TaskData_GetItemInfo::Clone() const { return CopyOf(*this); }
std::unique_ptr<TaskDataBase> TaskData_Rename::Clone() const { return CopyOf(*this); }
std::unique_ptr<TaskDataBase> TaskData_Move::Clone() const { return CopyOf(*this); }

std::unique_ptr<SyncTask> TaskData_DeleteEx::CreateTask() const {
    auto task = std::make_unique<SyncTask>();
    task->kind = bIsDir ? SyncTask::Kind::DeleteFolder : SyncTask::Kind::DeleteFile;
    task->strId = strId;
    task->strPath = strPath;
    return task;
}

// Describe texts are not log lines: a long path stays whole (LogFormat would cut it at 1023).
std::string TaskData_DeleteEx::Describe() const {
    if (bIsDir)
        return LogFormatWhole("生成任务:删除目录 id=%s path=%s folderver=%d", strId.c_str(), strPath.c_str(),
                              nFolderVer);
    return LogFormatWhole("生成任务:删除文件 id=%s path=%s", strId.c_str(), strPath.c_str());
}

TaskData_DirectoryAdd::TaskData_DirectoryAdd(const char* szFullPath, int32_t nValue) : TaskDataBase("NewFolder", 1) {
    bIsDir = 1;
    nReserved3 = nValue;
    ORVEL_ASSERT(szFullPath);
    strPath = szFullPath != nullptr ? szFullPath : "";
    // The last component: one trailing separator is dropped first.
    std::string_view path(strPath);
    if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.remove_suffix(1);
    const size_t sep = path.find_last_of("/\\");
    strName = std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

bool TaskData_DirectoryAdd::IsSame(const TaskDataBase& other) const {
    const auto* o = dynamic_cast<const TaskData_DirectoryAdd*>(&other);
    return o != nullptr && TaskDataBase::IsSame(other) && strName == o->strName && strParentId == o->strParentId;
}

std::unique_ptr<SyncTask> TaskData_DirectoryAdd::CreateTask() const {
    auto task = std::make_unique<SyncTask>();
    task->kind = SyncTask::Kind::CreateFolder;
    task->strId = strId;
    task->strPath = strPath;
    return task;
}

std::string TaskData_DirectoryAdd::Describe() const { return LogFormatWhole("生成任务:创建目录'%s'", strPath.c_str()); }
