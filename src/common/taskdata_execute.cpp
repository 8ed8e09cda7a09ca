// Execute of the records that run a service operation. The operations live in the
// remote-storage unit; until that unit provides them these fail like the base.
#include "common/taskdata.h"
#include "log/log.h"

HRESULT TaskData_Login::Execute(IRemoteStorage*, RecordTree&) {
  ORVEL_ASSERT(0);
  return E_FAIL;
}

HRESULT TaskData_ReLogin::Execute(IRemoteStorage*, RecordTree&) {
  ORVEL_ASSERT(0);
  return E_FAIL;
}

HRESULT TaskData_GetSpace::Execute(IRemoteStorage*, RecordTree&) {
  ORVEL_ASSERT(0);
  return E_FAIL;
}

HRESULT TaskData_Dir::Execute(IRemoteStorage*, RecordTree&) {
  ORVEL_ASSERT(0);
  return E_FAIL;
}
