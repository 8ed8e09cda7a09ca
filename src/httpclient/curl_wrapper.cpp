#include "httpclient/curl_wrapper.h"

#include "common/exceptions.h"
#include "log/log.h"
#ifdef ORVEL_HAVE_INFOCOLLECTION
#include "infocollection/info_collection.h"
#endif

namespace {

constexpr int32_t kPostTimeout = 60;
constexpr int32_t kFileTimeout = 1200;

void CountRequest() {
#ifdef ORVEL_HAVE_INFOCOLLECTION
    CInfoCollection::Instance().IncrementRequestCounter();
#endif
}

}  // namespace

void RaiseCurlFailure(std::string_view origin) { throw EXCEPT::CurlUnknownError(origin, "Network Error"); }

void RaiseForOutcome(int32_t outcome, std::string_view origin) {
    switch (outcome) {
    case Ok:
        return;
    case Timeout:
        throw EXCEPT::NetworkError(origin, "Timeout");
    case Cancelled:
        throw EXCEPT::TaskCancel(origin);
    case ConnectFailed:
        throw EXCEPT::NetworkError(origin, "Couldn't connect");
    case ServerErrorStatus:
        throw EXCEPT::ServerError(origin, "Response not 200");
    default:
        RaiseCurlFailure(origin);
    }
}

CurlWrapper::CurlWrapper() { InitHandle(); }

CurlWrapper::CurlWrapper(ProgressCallback callback, void* callbackData)
    : m_pfnCallback(callback), m_pCallbackData(callbackData) {
    InitHandle();
    SetProgressHook(&CurlWrapper::TransferProgress, this);
}

void CurlWrapper::TransferProgress(void* p, double dlTotal, double dlNow, double ulTotal, double ulNow) {
    auto* self = static_cast<CurlWrapper*>(p);
    self->m_lastProgress[0] = dlTotal;
    self->m_lastProgress[1] = dlNow;
    self->m_lastProgress[2] = ulTotal;
    self->m_lastProgress[3] = ulNow;
    curl_off_t speed = 0;
    // Download speed once bytes have arrived, upload speed before (and for uploads).
    self->GetInfo(dlNow > 0.1 ? CURLINFO_SPEED_DOWNLOAD_T : CURLINFO_SPEED_UPLOAD_T, &speed);
    if (!self->m_pfnCallback) return;
    HRESULT hr = self->m_pfnCallback(self->m_pCallbackData, dlTotal, dlNow, ulTotal, ulNow,
                                     static_cast<double>(speed));
    if (hr == E_FAIL) self->Cancel();
}

bool CurlWrapper::RetryAfter(RetryPolicy& policy, int32_t outcome, std::string_view origin) {
    const AttemptFailure& attempt = LastAttempt();
    const bool badStatus = attempt.status == 429 || attempt.status >= 500;
    if ((outcome == Ok && !badStatus) || outcome == Cancelled) return false;
    auto wait = policy.NextWait(attempt);
    if (!wait) return false;
    LOGF(5, "Retrying network request (%d of %d) in %lld ms after: %s", policy.RetriesDone(), policy.ExtraAttempts(),
         static_cast<long long>(wait->count()), LastCause().c_str());
    // The progress callback keeps being called, so a cancel ends the wait at once.
    bool wanted = CancellableWait(*wait, [this] {
        if (m_pfnCallback && m_pfnCallback(m_pCallbackData, m_lastProgress[0], m_lastProgress[1], m_lastProgress[2],
                                           m_lastProgress[3], 0.0) == E_FAIL)
            Cancel();
        return !IsCancelled();
    });
    if (!wanted) throw EXCEPT::TaskCancel(origin);
    return true;
}

void CurlWrapper::RequestPost(std::string_view url) {
    RaiseForOutcome(Request_URL_POST(url, kPostTimeout), "CurlWrapper::RequestPost");
}

void CurlWrapper::PostFile(std::string_view url, std::string_view local) {
    RaiseForOutcome(PostFileBody(url, local, kFileTimeout), "CurlWrapper::PostFile");
}

void CurlWrapper::SimpleDownloadFile(std::string_view url, std::string_view local) {
    RaiseForOutcome(SimpleDownLoadFile(url, local, kFileTimeout), "CurlWrapper::SimpleDownloadFile");
}

std::string HttpRequestPost(CurlWrapper& wrapper, std::string_view url, std::string_view header,
                            std::string_view postData, RequestKind kind) {
    if (url.empty()) LogWrite(0, "*ASSERT*: !strURL.IsEmpty()", __FILE__, __LINE__);
    if (postData.empty()) LogWrite(0, "*ASSERT*: !strPostData.IsEmpty()", __FILE__, __LINE__);
    CountRequest();
    RetryPolicy policy(kind);
    int32_t outcome = Ok;
    do {
        ApplyConnectionSettings(wrapper);
        wrapper.AddHeader(header);
        wrapper.AddPostField(postData);
        outcome = wrapper.Request_URL_POST(url, kPostTimeout);
    } while (wrapper.RetryAfter(policy, outcome, "CurlWrapper::RequestPost"));
    RaiseForOutcome(outcome, "CurlWrapper::RequestPost");
    return wrapper.GetResponseString();
}

void HttpDownloadFile(CurlWrapper& wrapper, std::string_view url, std::string_view local,
                      std::string_view header, std::string_view postData) {
    if (local.empty()) LogWrite(0, "*ASSERT*: !strLocal.IsEmpty()", __FILE__, __LINE__);
    if (postData.empty()) LogWrite(0, "*ASSERT*: !strPostData.IsEmpty()", __FILE__, __LINE__);
    CountRequest();
    size_t slash = local.rfind('/');
    if (slash != std::string_view::npos && slash > 0) CreateFolderTree(local.substr(0, slash));
    RetryPolicy policy(RequestKind::Repeatable);
    int32_t outcome = Ok;
    do {
        ApplyConnectionSettings(wrapper);
        wrapper.AddHeader(header);
        wrapper.AddPostField(postData);
        // Each attempt truncates the file, so a retry never appends to a partial body.
        outcome = wrapper.SimpleDownLoadFile(url, local, kFileTimeout);
    } while (wrapper.RetryAfter(policy, outcome, "CurlWrapper::SimpleDownloadFile"));
    RaiseForOutcome(outcome, "CurlWrapper::SimpleDownloadFile");
}

std::string HttpUploadFile(CurlWrapper& wrapper, std::string_view url, std::string_view local,
                           std::string_view header) {
    if (url.empty()) LogWrite(0, "*ASSERT*: !strURL.IsEmpty()", __FILE__, __LINE__);
    if (local.empty()) LogWrite(0, "*ASSERT*: !strLocal.IsEmpty()", __FILE__, __LINE__);
    CountRequest();
    RetryPolicy policy(RequestKind::Repeatable);
    int32_t outcome = Ok;
    do {
        ApplyConnectionSettings(wrapper);
        wrapper.AddHeader(header);
        outcome = wrapper.PostFileBody(url, local, kFileTimeout);
    } while (wrapper.RetryAfter(policy, outcome, "CurlWrapper::PostFile"));
    RaiseForOutcome(outcome, "CurlWrapper::PostFile");
    curl_off_t speed = 0;
    wrapper.GetInfo(CURLINFO_SPEED_UPLOAD_T, &speed);  // read as the protocol does; not used further
    return wrapper.GetResponseString();
}
