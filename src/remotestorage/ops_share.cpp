// Sync feeds and sharing: change snapshots, share lists, share and unshare.
#include "common/xml_helper.h"
#include "infocollection/info_collection.h"
#include "log/log.h"
#include "remotestorage/http_call.h"
#include "remotestorage/operation.h"

namespace {

// Feeds are large, so they ask for a gzip answer.
constexpr OpSpec FeedSpec(std::string_view path, int32_t timeoutSec, std::string_view version = "2") {
    return {.root = Root::Service, .path = path, .version = version, .gzip = true, .timeoutSec = timeoutSec};
}

HRESULT RunFeed(CRemoteStorage& self, const OpSpec& op, std::string_view failedItem, const RecordTree& request,
                ProgressCallback cb, void* ctx, RecordTree& answer) {
    HRESULT hr = RunOperation(self, op, request, cb, ctx, answer);
    if (FAILED(hr)) CInfoCollection::Instance().CollectInfo(failedItem);
    return hr;
}

// The four sharing calls go through the raw request: the caller reads the
// result code from the answer text itself.
HRESULT RunShare(CRemoteStorage& self, const RecordTree& request, std::string_view path, ProgressCallback cb, void* ctx,
                 int32_t timeoutSec, std::string& answerText) {
    const std::string body = ToXml(request);
    HRESULT hr = self.HttpRequest(ServiceUrl(path), &body, cb, ctx, answerText, timeoutSec);
    ERROR_CHECK_COM(hr);
    return hr;
}

void AssertShareInputs(std::string_view szToken, std::string_view szFileId) {
    ORVEL_ASSERT(!IsStrEmpty(szToken));
    ORVEL_ASSERT(!IsStrEmpty(szFileId));
}

}  // namespace

HRESULT CRemoteStorage::GetNormalItemSnapshot(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                              RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetNormalItemSnapshot()", &hr, "OpVersion = %s", TaskData.strOpVersion.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strOpVersion));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"opVer", TaskData.strOpVersion}, {"size", TaskData.strSize}});
    hr = RunFeed(*this, FeedSpec("/osvr/syncFile/", 10), "SyncFileFailed", request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::GetDeletedItemSnapshot(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                               RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetDeletedItemSnapshot()", &hr, "OpVersion = %s", TaskData.strOpVersion.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strOpVersion));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"opVer", TaskData.strOpVersion}, {"size", TaskData.strSize}});
    hr = RunFeed(*this, FeedSpec("/osvr/syncDelFile/", 60), "SyncDeletesFileFailed", request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::GetAllShareFile(const TaskData_AllShareFile& TaskData, ProgressCallback cb, void* ctx,
                                        RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetAllShareFile()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"type", TaskData.nToMe != 0 ? "toMe" : "out"}});
    hr = RunFeed(*this, FeedSpec("/osvr/asmGetAllSharedFiles/", 60, "3"), "GetAllShareFileFailed", request, cb, ctx,
                 answer);
    return hr;
}

HRESULT CRemoteStorage::SyncSharers(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                    RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::SyncSharers()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"opVer", TaskData.strOpVersion}, {"size", TaskData.strSize}});
    hr = RunFeed(*this, FeedSpec("/osvr/syncShares/", 60), "SyncSharesFailed", request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::GetNormalShareItems(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                            RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetNormalShareItems()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    const RecordTree request = RequestTree({{"token", TaskData.strToken},
                                            {"opVer", TaskData.strOpVersion},
                                            {"shareId", TaskData.strShareId},
                                            {"size", TaskData.strSize}});
    hr = RunFeed(*this, FeedSpec("/osvr/syncShareFile/", 10), "GetNormalShareItemFailed", request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::GetDeletedShareItems(const TaskData_Snapshot& TaskData, ProgressCallback cb, void* ctx,
                                             RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetDeletedShareItems()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    const RecordTree request = RequestTree({{"token", TaskData.strToken},
                                            {"opVer", TaskData.strOpVersion},
                                            {"shareId", TaskData.strShareId},
                                            {"size", TaskData.strSize}});
    hr = RunFeed(*this, FeedSpec("/osvr/syncShareDelFile/", 10), "GetDeleteShareItemFailed", request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::ShareFile(std::string_view szToken, std::string_view szFileId, std::string_view szSharers,
                                  bool writable, bool sendMail, std::string_view szMailContent, ProgressCallback cb,
                                  void* ctx, int32_t timeoutSec, std::string& answerText) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::ShareFile()", &hr, "Id = %s", std::string(szFileId).c_str());
    AssertShareInputs(szToken, szFileId);
    const RecordTree request = RequestTree({{"token", szToken},
                                            {"fileId", szFileId},
                                            {"sharers", szSharers},
                                            {"msg", ""},
                                            {"writable", TF(writable)},
                                            {"sendMail", TF(sendMail)},
                                            {"mailContent", szMailContent}});
    hr = RunShare(*this, request, "/osvr/asmShareFileWithJoinAllMsg/", cb, ctx, timeoutSec, answerText);
    return hr;
}

HRESULT CRemoteStorage::ShareCancel(std::string_view szToken, std::string_view szFileId, std::string_view szSharers,
                                    bool /*unused*/, ProgressCallback cb, void* ctx, int32_t timeoutSec,
                                    std::string& answerText) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::ShareCancel()", &hr, "Id = %s", std::string(szFileId).c_str());
    AssertShareInputs(szToken, szFileId);
    const RecordTree request =
        RequestTree({{"token", szToken}, {"fileId", szFileId}, {"sharers", szSharers}, {"sendMail", ""}});
    hr = RunShare(*this, request, "/osvr/asmUnshare/", cb, ctx, timeoutSec, answerText);
    return hr;
}

HRESULT CRemoteStorage::RegistAndShare(std::string_view szToken, std::string_view szFileId, std::string_view szSharers,
                                       bool writable, bool sendMail, std::string_view szMailContent,
                                       ProgressCallback cb, void* ctx, int32_t timeoutSec, std::string& answerText) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::RegistAndShare()", &hr, "Id = %s", std::string(szFileId).c_str());
    AssertShareInputs(szToken, szFileId);
    const RecordTree request = RequestTree({{"token", szToken},
                                            {"fileId", szFileId},
                                            {"sharers", szSharers},
                                            {"writable", TF(writable)},
                                            {"sendMail", TF(sendMail)},
                                            {"mailContent", szMailContent}});
    hr = RunShare(*this, request, "/osvr/asmShareToUnregUser/", cb, ctx, timeoutSec, answerText);
    return hr;
}

HRESULT CRemoteStorage::GetSharedFileInfo(std::string_view szToken, std::string_view szFileId, ProgressCallback cb,
                                          void* ctx, int32_t timeoutSec, std::string& answerText) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetSharedFileInfo()", &hr, "Id = %s", std::string(szFileId).c_str());
    AssertShareInputs(szToken, szFileId);
    const RecordTree request = RequestTree({{"token", szToken}, {"fileId", szFileId}});
    hr = RunShare(*this, request, "/osvr/asmGetSharedFileInfo/", cb, ctx, timeoutSec, answerText);
    return hr;
}

HRESULT CRemoteStorage::ExitShare(const TaskDataBase& TaskData, ProgressCallback cb, void* ctx, RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::ExitShare()", &hr, "Id = %s", TaskData.strId.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strToken));
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strId));
    const RecordTree request =
        RequestTree({{"token", TaskData.strToken}, {"fileId", TaskData.strId}, {"sharers", ""}, {"sendMail", "false"}});
    hr = RunOperation(*this, {.root = Root::Service, .path = "/osvr/asmUnshare/"}, request, cb, ctx, answer);
    return hr;
}
