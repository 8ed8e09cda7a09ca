// Records of the operations whose input is not one of the shared TaskData_*
// records (sign-in through the telephone company, notifications, feeds,
// share list, modification time).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "remotestorage/taskdata.h"

// The value from the telephone company's sign-in page and the client data.
class TaskData_TeleUdbLogin : public TaskDataBase {
public:
    std::string strPlrValue, strDeviceId, strClientName, strClientVersion;
    std::unique_ptr<TaskDataBase> Clone() const override;
};

class TaskData_PushNotify : public TaskDataBase {
public:
    std::string strUserId;
    std::unique_ptr<TaskDataBase> Clone() const override;
};

// Change feeds: operation version, page size and (share feeds only) the share.
class TaskData_Snapshot : public TaskDataBase {
public:
    std::string strOpVersion, strSize, strShareId;
    std::unique_ptr<TaskDataBase> Clone() const override;
};

// Non-zero nToMe lists the files shared with the user, zero those the user shares.
class TaskData_AllShareFile : public TaskDataBase {
public:
    int32_t nToMe = 0;
    std::unique_ptr<TaskDataBase> Clone() const override;
};

class TaskData_SetModTime : public TaskDataBase {
public:
    std::string strReserved, strMTime;
    std::unique_ptr<TaskDataBase> Clone() const override;
};
