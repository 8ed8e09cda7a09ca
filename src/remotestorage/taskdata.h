// Operation records: one per service operation, filled by the caller and only read by the
// operation. TaskDataBase is also the task description of the sync engine, hence its virtuals.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/hresult.h"
#include "common/recordtree.h"
#include "log/log.h"

class IRemoteStorage;

// The least sync task: which change between a local folder and the remote store it replays.
struct SyncTask {
    enum class Kind { CreateFolder, DeleteFolder, DeleteFile };
    Kind kind;
    std::string strId;
    std::string strPath;
};

class TaskDataBase {
public:
    std::string strTaskName;
    std::string strToken;
    int32_t nFlag;
    int32_t nReserved1 = 0;
    int32_t bIsDir = 0;
    std::string strId;
    std::string strPath;
    int32_t nReserved2 = 0;
    int32_t nReserved3 = 1;

    explicit TaskDataBase(std::string_view taskName = {}, int32_t flag = 1) : strTaskName(taskName), nFlag(flag) {}
    virtual ~TaskDataBase() = default;

    // Same task name, id, path, folder flag and flag.
    virtual bool IsSame(const TaskDataBase& other) const;
    virtual std::unique_ptr<TaskDataBase> Clone() const = 0;
    // Runs the record's operation on storage; records without one write "*ASSERT*: 0" and fail.
    virtual HRESULT Execute(IRemoteStorage* storage, RecordTree& answer);
    // Null (with an assertion line) for records that make no sync task.
    virtual std::unique_ptr<SyncTask> CreateTask() const;
    virtual std::string Describe() const;

protected:
    TaskDataBase(const TaskDataBase&) = default;
    TaskDataBase& operator=(const TaskDataBase&) = default;
};

// Records that never stand for the same task twice.
class TaskNeverSame : public TaskDataBase {
public:
    using TaskDataBase::TaskDataBase;
    bool IsSame(const TaskDataBase& other) const override;
};

class TaskData_Login : public TaskNeverSame {
    using Self = TaskData_Login;

public:
    std::string strUser, strPassword, strDeviceId, strClientName, strClientVersion;
    TaskData_Login() : TaskNeverSame("Login") {}
    // Execute is the only out-of-line virtual (the key function): this record's vtable comes with
    // the Execute definitions in the remote-storage unit, so common needs nothing from that unit.
    HRESULT Execute(IRemoteStorage* storage, RecordTree& answer) override;
    std::unique_ptr<TaskDataBase> Clone() const override { return std::make_unique<Self>(*this); }
};

class TaskData_ReLogin : public TaskNeverSame {
    using Self = TaskData_ReLogin;

public:
    std::string strDeviceId;
    // Execute is the only out-of-line virtual (the key function): this record's vtable comes with
    // the Execute definitions in the remote-storage unit, so common needs nothing from that unit.
    HRESULT Execute(IRemoteStorage* storage, RecordTree& answer) override;
    std::unique_ptr<TaskDataBase> Clone() const override { return std::make_unique<Self>(*this); }
};

class TaskData_GetSpace : public TaskNeverSame {
    using Self = TaskData_GetSpace;

public:
    std::string strEmail, strUid;
    // Execute is the only out-of-line virtual (the key function): this record's vtable comes with
    // the Execute definitions in the remote-storage unit, so common needs nothing from that unit.
    HRESULT Execute(IRemoteStorage* storage, RecordTree& answer) override;
    std::unique_ptr<TaskDataBase> Clone() const override { return std::make_unique<Self>(*this); }
    std::unique_ptr<SyncTask> CreateTask() const override {
        ORVEL_ASSERT(0);
        return nullptr;
    }
};

class TaskData_Dir : public TaskNeverSame {
    using Self = TaskData_Dir;

public:
    std::string strDirId;
    // Execute is the only out-of-line virtual (the key function): this record's vtable comes with
    // the Execute definitions in the remote-storage unit, so common needs nothing from that unit.
    HRESULT Execute(IRemoteStorage* storage, RecordTree& answer) override;
    std::unique_ptr<TaskDataBase> Clone() const override { return std::make_unique<Self>(*this); }
};

class TaskData_DeleteEx : public TaskDataBase {
public:
    std::string strReserved;
    int32_t bToRecycle = 0;   // non-zero sends "toRecycel" as "true"
    int32_t nFolderVer = -1;  // -1 = none
    TaskData_DeleteEx() : TaskDataBase("DeleteFile", 0) { nReserved3 = 0; }
    std::unique_ptr<TaskDataBase> Clone() const override;
    std::unique_ptr<SyncTask> CreateTask() const override;
    std::string Describe() const override;
};

class TaskData_DirectoryAdd : public TaskDataBase {
public:
    std::string strName, strParentId;
    // Keeps the full path in strPath and its last component in strName (null: "*ASSERT*: szFullPath").
    explicit TaskData_DirectoryAdd(const char* szFullPath = "", int32_t nValue = 1);
    bool IsSame(const TaskDataBase& other) const override;
    std::unique_ptr<TaskDataBase> Clone() const override;
    std::unique_ptr<SyncTask> CreateTask() const override;
    std::string Describe() const override;
};

class TaskData_GetItemInfo : public TaskDataBase {
public:
    std::unique_ptr<TaskDataBase> Clone() const override;
};

class TaskData_Rename : public TaskDataBase {
public:
    std::string strNewName;
    std::unique_ptr<TaskDataBase> Clone() const override;
};

class TaskData_Move : public TaskDataBase {
public:
    std::string strParentId, strName;
    std::unique_ptr<TaskDataBase> Clone() const override;
};
