// CRemoteStorage itself: lifetime, the shared request pipeline and the raw
// request of slot 41.
#include <memory>
#include <new>

#include "common/results.h"
#include "common/xml_helper.h"
#include "infocollection/info_collection.h"
#include "log/log.h"
#include "remotestorage/http_call.h"
#include "remotestorage/operation.h"
#include "remotestorage/remote_storage.h"
#include "httpclient/connection_pool.h"
#include "httpclient/retry_policy.h"
#include "transport/transport.h"

namespace {

std::atomic<long> g_liveObjects{0};

constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002);
constexpr size_t kErrorTextChars = 128;

// The first `count` UTF-8 characters of `text` (continuation bytes stay with
// their lead byte, so no character is split).
std::string FirstChars(std::string_view text, size_t count) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == count) return std::string(text.substr(0, i));
            ++chars;
        }
    }
    return std::string(text);
}

// Service calls that only read: sending one twice is harmless.
constexpr std::string_view kReadOnlyPaths[] = {
    "/osvr/dir/",
    "/osvr/getItemInfo/",
    "/osvr/getSpace/",
    "/kmg/usertask/getuserspace/",
    "/osvr/getMaxVers/",
    "/osvr/getProp/",
    "/osvr/syncFile/",
    "/osvr/syncDelFile/",
    "/osvr/syncShares/",
    "/osvr/syncShareFile/",
    "/osvr/syncShareDelFile/",
    "/osvr/asmGetAllSharedFiles/",
    "/osvr/asmGetSharedFileInfo/",
    "/kmg/space/getchannel/",
    "/kmg/msg/getmsg/",
};

bool IsReadOnlyCall(std::string_view url, const std::string* body) {
    if (body == nullptr) return true;  // a GET
    for (std::string_view path : kReadOnlyPaths)
        if (url.find(path) != std::string_view::npos) return true;
    return false;
}

}  // namespace

long LiveObjectCount() { return g_liveObjects.load(); }

CRemoteStorage::CRemoteStorage() : m_pfnTransport(&CreateTransport) { ++g_liveObjects; }

CRemoteStorage::~CRemoteStorage() { --g_liveObjects; }

HRESULT CreateRemoteStorage(IRemoteStorage** ppObj) {
    // Writing through a null address would crash the caller: report it instead.
    if (!ORVEL_ASSERT(ppObj)) return E_POINTER;
    // The object deletes itself in its last Release (COM-style lifetime).
    auto* pRemoteStorage = new (std::nothrow) CRemoteStorage();
    if (!ERROR_CHECK_BOOLEX(pRemoteStorage)) return E_FAIL;
    *ppObj = pRemoteStorage;
    return S_OK;
}

HRESULT CRemoteStorage::QueryInterface(std::string_view iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IRemoteStorage) {
        *ppv = static_cast<IRemoteStorage*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return kNoInterface;
}

uint32_t CRemoteStorage::AddRef() { return m_refCount.fetch_add(1) + 1; }

uint32_t CRemoteStorage::Release() {
    uint32_t left = m_refCount.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
}

HRESULT CRemoteStorage::Initialize() { return S_OK; }
HRESULT CRemoteStorage::Uninitialize() { return S_OK; }

HRESULT CRemoteStorage::MakeTransport(ProgressCallback cb, void* ctx, TransportPtr& transport, bool repeatable) {
    transport.reset();
    if (!ORVEL_ASSERT(m_pfnTransport)) return E_FAIL;
    ITransport* raw = nullptr;
    if (!m_connections) m_connections = ConnectionPool::Create();
    HRESULT hr = S_OK;
    {
        ConnectionScope scope(m_connections);  // the new transport's handle joins the object's pool
        hr = m_pfnTransport(&raw);
    }
    TransportPtr made(raw);
    if (SUCCEEDED(hr) && !made) hr = E_FAIL;
    if (FAILED(hr)) {
        ERROR_CHECK_COM_MSG(0, hr, "Create CTransport Failed!");
        return hr;
    }
    if (cb != nullptr) made->SetCallback(cb, ctx);
    // Only reads may be sent again after a fault that may have reached the service.
    if (repeatable) made->SetRequestKind(RequestKind::Repeatable);
    transport = std::move(made);
    return hr;
}

void LogTransferFailure(HRESULT hr) {
    // Network trouble and cancellation are expected; only other failures warn.
    if (hr == E_OV_NETWORK_TIMEOUT || hr == E_OV_NETWORK_UNREACHABLE || hr == E_OV_CANCELLED) {
        CHECK_COM(hr);
    } else {
        ERROR_CHECK_COM(hr);
    }
}

HRESULT CRemoteStorage::_HttpRequest(ProgressCallback cb, void* ctx, const std::string& header, const std::string& url,
                                     const std::string* body, RecordTree& answer, int32_t timeoutSec, CallFlags flags) {
    HRESULT hr = S_OK;
    TRACE_SCOPE("CRemoteStorage::_HttpRequest()", &hr, "szUri = %s, szParams = %s", url.c_str(),
                body ? MaskToken(*body).c_str() : "(null)");

    std::optional<std::string> answerText;
    std::string strResultCode;
    bool codeRead = false;

    TransportPtr transport;
    hr = MakeTransport(cb, ctx, transport, IsReadOnlyCall(url, body));
    if (SUCCEEDED(hr)) {
        CInfoCollection::Instance().IncrementRequestCounter();
        hr = transport->Request(url, header, body, &answerText, timeoutSec, 1);
        if (FAILED(hr)) {
            LogTransferFailure(hr);
        } else {
            static const std::string kNoAnswer;
            const std::string& bstrResultXml = answerText ? *answerText : kNoAnswer;  // no copy of a large answer
            if (!ERROR_CHECK_BOOLEX(!IsStrEmpty(bstrResultXml))) {
                hr = E_FAIL;
            } else if ((hr = FromXml(bstrResultXml, answer)) != S_OK) {
                LogWrite(5, "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_HttpRequest() Process Xml Failed\"",
                         __FILE__, __LINE__);
            } else if (flags.checkResult) {
                strResultCode = answer.GetAttr("result");
                if (!ERROR_CHECK_BOOLEX(!IsStrEmpty(strResultCode))) {
                    hr = E_OV_SERVER_ERROR;
                } else {
                    codeRead = true;
                    hr = LookupServerResult(strResultCode.c_str());
                    if (FAILED(hr)) {
                        LOGF(0,
                             "ERROR_CHECK_COM: hr = %x :L\"CRemoteStorage::_HttpRequest() Failed, URL = %s, "
                             "ResultCode = '%s'\"",
                             static_cast<unsigned>(hr), url.c_str(), strResultCode.c_str());
                    }
                }
            }
        }
    }
    transport.reset();

    if (flags.reportTimeout && hr == E_OV_NETWORK_TIMEOUT) {
        CInfoCollection::Instance().CollectInfo("operation", "time_out", url);
    }
    if (hr == E_OV_SERVER_ERROR || hr == E_OV_UNKNOWN_SERVER_ERROR) {
        std::string errorCode;
        if (codeRead) {
            errorCode = strResultCode;
        } else if (answerText && !answerText->empty()) {
            // The log keeps the whole answer; only the filed code is cut.
            LOGF(0, "unknown xml: %s", answerText->c_str());
            errorCode = FirstChars(*answerText, kErrorTextChars);
        } else {
            errorCode = "null";
        }
        RecordTree item;
        item.AddValue("url", url);
        item.AddValue("errorcode", errorCode);
        CInfoCollection::Instance().CollectItem("dynamic", item);
    }
    if (flags.fold) hr = FoldResult(hr);
    return hr;
}

HRESULT CRemoteStorage::HttpRequest(std::string_view szUri, const std::string* body, ProgressCallback cb, void* ctx,
                                    std::string& answerText, int32_t timeoutSec) {
    HRESULT hr = S_OK;
    const std::string url(szUri);
    TRACE_SCOPE("CRemoteStorage::HttpRequest()", &hr, "szUri = %s", url.c_str());

    TransportPtr transport;
    hr = MakeTransport(cb, ctx, transport, IsReadOnlyCall(url, body));
    if (FAILED(hr)) return hr;

    const std::string header = PlainHeaders();
    std::optional<std::string> text;
    hr = transport->Request(url, header, body, &text, timeoutSec, 1);
    if (FAILED(hr)) {
        LogTransferFailure(hr);
        return hr;
    }
    const std::string bstrResultXml = text.value_or(std::string());
    if (!ERROR_CHECK_BOOLEX(!IsStrEmpty(bstrResultXml))) {
        hr = E_FAIL;
        return hr;
    }
    answerText = bstrResultXml;
    return hr;
}
