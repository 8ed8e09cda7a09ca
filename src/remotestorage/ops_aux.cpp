// Auxiliary operations: change notification long-poll, command channel,
// invitation link, messages, speed limits and the proxy probe.
#include <strings.h>

#include "common/kv_helper.h"
#include "common/results.h"
#include "common/xml_helper.h"
#include "log/log.h"
#include "remotestorage/http_call.h"
#include "remotestorage/operation.h"

namespace {

constexpr const char* kProcessXmlFailed =
    "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_HttpRequest() Process Xml Failed\"";

}  // namespace

HRESULT CRemoteStorage::PushNotify(const TaskData_PushNotify& TaskData, ProgressCallback cb, void* ctx,
                                   RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::PushNotify()", &hr, "UserId = %s", TaskData.strUserId.c_str());
    ORVEL_ASSERT(!IsStrEmpty(TaskData.strUserId));
    RecordTree query;
    query.AddValue("uid", TaskData.strUserId);
    const std::string path = "/sync/get?" + ToKv(query);
    // A long poll: waiting out the whole limit is normal, so nothing is folded.
    hr = RunOperation(*this,
                      {.root = Root::Push,
                       .path = path,
                       .body = Body::Get,
                       .timeoutSec = 270,
                       .flags = {false, false, true},
                       .logFailure = false},
                      query, cb, ctx, answer);
    if (FAILED(hr)) {
        LOGF(9, "CHECK_COM2:hr hr = %x, MSG: %s", static_cast<unsigned>(hr), "CRemoteStorage::PushNotify Failed!");
    }
    return hr;
}

HRESULT CRemoteStorage::SubmitServerCommandData(std::string_view szPath, std::string_view szData, ProgressCallback cb,
                                                void* ctx, RecordTree& answer) {
    HRESULT hr = S_OK;
    const std::string body(szData);
    TRACE_SCOPE("CRemoteStorage::SubmitServerCommandData()", &hr, "szData = %s", body.c_str());
    ORVEL_ASSERT(!IsStrEmpty(szData));
    hr = RunRequest(*this, {.root = Root::Command, .path = szPath, .timeoutSec = 180, .flags = {false, true, true}},
                    &body, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::UploadServerCommandFile(std::string_view szFileId, std::string_view szUser,
                                                std::string_view szPath, std::string_view szUrl, ProgressCallback cb,
                                                void* ctx, RecordTree& answer, bool command) {
    HRESULT hr = S_OK;
    const std::string localPath(szPath);
    TRACE_SCOPE("CRemoteStorage::SubmitServerCommandData()", &hr, "szPath = %s", localPath.c_str());
    ORVEL_ASSERT(!IsStrEmpty(szUser));

    const bool haveFile = !szFileId.empty() && !szPath.empty();
    std::string url(szUrl);
    if (command) {
        url += "type=cmd&un=";
        url += szUser;
    } else {
        url += "fileId=";
        url += haveFile ? szFileId : std::string_view("notFound");
        url += "&user=";
        url += szUser;
    }

    TransportPtr transport;
    hr = MakeTransport(cb, ctx, transport);
    if (FAILED(hr)) return hr;
    const std::string header = PlainHeaders();

    std::optional<std::string> text;
    if (command || haveFile) {
        hr = transport->PostFile(url, localPath, header, 0, &text, 10800);
    } else {
        hr = transport->Request(url, header, nullptr, &text, 30, 1);
    }
    if (FAILED(hr)) {
        ERROR_CHECK_COM_MSG(0, hr, "CRemoteStorage::_UploadFile() Call CTransport::Upload() Failed");
        return hr;
    }
    const std::string bstrResultXml = text.value_or(std::string());
    if (!ERROR_CHECK_BOOLEX(!IsStrEmpty(bstrResultXml))) {
        hr = E_FAIL;
        return hr;
    }
    hr = FromXml(bstrResultXml, answer);
    if (hr != S_OK) {
        LogWrite(5, "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_UploadFile() Process XML Failed\"", __FILE__,
                 __LINE__);
        return hr;
    }
    const std::string strResultCode = answer.GetAttr("result");
    if (!ERROR_CHECK_BOOLEX(!IsStrEmpty(strResultCode))) {
        hr = E_OV_SERVER_ERROR;
        return hr;
    }
    hr = LookupServerResult(strResultCode.c_str());
    return hr;
}

HRESULT CRemoteStorage::GetInvideURL(std::string_view szToken, std::string_view szEmail, ProgressCallback cb, void* ctx,
                                     RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::GetInvideURL()", &hr, "%s", "");
    const RecordTree request = RequestTree({{"token", szToken}, {"email", szEmail}});
    hr = RunOperation(*this,
                      {.root = Root::Web,
                       .path = "/kmg/space/getchannel/",
                       .body = Body::Form,
                       .timeoutSec = 3,
                       .flags = {false, true, true}},
                      request, cb, ctx, answer);
    return hr;
}

HRESULT CRemoteStorage::GetMessages(std::string_view szUserId, std::string_view szEmail, std::string_view szVersion,
                                    RecordTree& answer) {
    RecordTree request;
    request.AddValue("userid", szUserId);
    request.AddValue("email", szEmail);
    request.AddValue("version", szVersion);
    const std::string body = ToKv(request);
    const std::string header = PlainHeaders();

    TransportPtr transport;
    HRESULT hr = MakeTransport(nullptr, nullptr, transport);
    if (FAILED(hr)) return hr;

    std::string url = MessageUrl("/kmg/msg/getmsg/");
    AppendIsEnt(url);
    std::optional<std::string> text;
    hr = transport->Request(url, header, &body, &text, 12, 1);
    if (FAILED(hr)) {
        ERROR_CHECK_COM(hr);
        return hr;
    }
    hr = FromXml(text.value_or(std::string()), answer);
    if (hr != S_OK) {
        LogWrite(5, kProcessXmlFailed, __FILE__, __LINE__);
        return hr;
    }
    return S_OK;
}

HRESULT CRemoteStorage::CheckProxyServer(std::string_view /*unused*/) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::CheckProxyServer()", &hr, "%s", "");
    TransportPtr transport;
    hr = MakeTransport(nullptr, nullptr, transport);
    if (FAILED(hr)) return hr;
    const std::string header = PlainHeaders();

    std::optional<std::string> text;
    hr = transport->Request(ServiceUrl("/osvr/"), header, nullptr, &text, 5, 1);
    if (FAILED(hr)) {
        ERROR_CHECK_COM(hr);
        return hr;
    }
    RecordTree answer;
    hr = FromXml(text.value_or(std::string()), answer);
    if (hr != S_OK) {
        LogWrite(5, kProcessXmlFailed, __FILE__, __LINE__);
        return hr;
    }
    // The bare path only answers "methodVersionNotMatch" when the request
    // really reached the service (a proxy's own page answers something else).
    hr = strcasecmp(answer.GetAttr("result").c_str(), "methodVersionNotMatch") == 0 ? S_OK : S_FALSE;
    return hr;
}

HRESULT CRemoteStorage::QueryNetSpeedLimit(std::string_view szUserId, ProgressCallback cb, void* ctx,
                                           RecordTree& answer) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::QueryNetSpeedLimit()", &hr, "%s", "");
    ORVEL_ASSERT(!IsStrEmpty(szUserId));
    const std::string path = "/getcinfo?uid=" + std::string(szUserId);
    hr = RunRequest(
        *this,
        {.root = Root::Service, .path = path, .body = Body::Get, .timeoutSec = 10, .flags = {false, true, false}},
        nullptr, cb, ctx, answer);
    return hr;
}
