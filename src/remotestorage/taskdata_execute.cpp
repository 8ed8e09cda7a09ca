// Execute of the records that run a service operation, and Clone of the
// records this unit adds.
#include "remotestorage/taskdata.h"
#include "remotestorage/records.h"
#include "remotestorage/remote_storage.h"
#include "log/log.h"

namespace {

// A record handed no storage object fails like the base instead of crashing.
bool HaveStorage(const IRemoteStorage* storage) { return ORVEL_ASSERT(storage); }

}  // namespace

HRESULT TaskData_Login::Execute(IRemoteStorage* storage, RecordTree& answer) {
    if (!HaveStorage(storage)) return E_POINTER;
    return storage->Login(*this, nullptr, nullptr, answer);
}

HRESULT TaskData_ReLogin::Execute(IRemoteStorage* storage, RecordTree& answer) {
    if (!HaveStorage(storage)) return E_POINTER;
    return storage->ReLogin(*this, nullptr, nullptr, answer);
}

HRESULT TaskData_GetSpace::Execute(IRemoteStorage* storage, RecordTree& answer) {
    if (!HaveStorage(storage)) return E_POINTER;
    return storage->GetSpace(*this, nullptr, nullptr, answer);
}

HRESULT TaskData_Dir::Execute(IRemoteStorage* storage, RecordTree& answer) {
    if (!HaveStorage(storage)) return E_POINTER;
    return storage->Dir(*this, nullptr, nullptr, answer);
}

std::unique_ptr<TaskDataBase> TaskData_TeleUdbLogin::Clone() const {
    return std::make_unique<TaskData_TeleUdbLogin>(*this);
}
std::unique_ptr<TaskDataBase> TaskData_PushNotify::Clone() const {
    return std::make_unique<TaskData_PushNotify>(*this);
}
std::unique_ptr<TaskDataBase> TaskData_Snapshot::Clone() const { return std::make_unique<TaskData_Snapshot>(*this); }
std::unique_ptr<TaskDataBase> TaskData_AllShareFile::Clone() const {
    return std::make_unique<TaskData_AllShareFile>(*this);
}
std::unique_ptr<TaskDataBase> TaskData_SetModTime::Clone() const {
    return std::make_unique<TaskData_SetModTime>(*this);
}
