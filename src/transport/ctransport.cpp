#include "transport/ctransport.h"

#include <memory>
#include <new>

#include "common/settings.h"
#include "log/log.h"

#define TRANSPORT_LOG(level, text) LogWrite((level), (text), __FILE__, __LINE__)

namespace {

bool EnsureParentFolder(const std::string& local) {
    size_t slash = local.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    return SUCCEEDED(CreateFolderTree(std::string_view(local).substr(0, slash)));
}

}  // namespace

CTransport::CTransport(int32_t uploadCap, int32_t downloadCap) : m_uploadCap(uploadCap), m_downloadCap(downloadCap) {
    // Installed once: the hook reads the callback under its own lock, so the
    // callback may be swapped while a transfer runs.
    m_helper.SetProgressHook(&CTransport::ProgressHookFn, this);
}

uint32_t CTransport::AddRef() { return ++m_refs; }

uint32_t CTransport::Release() {
    uint32_t left = --m_refs;
    if (left == 0) delete this;  // reference-counted object: the last reference frees it
    return left;
}

HRESULT CTransport::SetCallback(ProgressCallback callback, void* context) {
    {
        std::lock_guard<std::mutex> guard(m_callbackLock);
        m_pfnCallback = callback;
        m_pContext = context;
    }
    return S_OK;
}

void CTransport::ProgressHookFn(void* p, double dlTotal, double dlNow, double ulTotal, double ulNow) {
    auto* self = static_cast<CTransport*>(p);
    curl_off_t speed = 0;
    curl_easy_getinfo(self->m_helper.Handle(), dlNow > 0.1 ? CURLINFO_SPEED_DOWNLOAD_T : CURLINFO_SPEED_UPLOAD_T,
                      &speed);
    ProgressCallback callback;
    void* context;
    {
        std::lock_guard<std::mutex> guard(self->m_callbackLock);
        callback = self->m_pfnCallback;
        context = self->m_pContext;
    }
    if (callback && callback(context, dlTotal, dlNow, ulTotal, ulNow, static_cast<double>(speed)) == E_FAIL)
        self->m_helper.Cancel();
}

HRESULT CTransport::MapOutcome(CurlOutcome outcome) {
    switch (outcome) {
        case CurlOutcome::Ok:
            return S_OK;
        case CurlOutcome::Timeout:
            return E_OV_NETWORK_TIMEOUT;
        case CurlOutcome::Cancelled:
            return E_OV_CANCELLED;
        case CurlOutcome::ConnectFailed:
            return E_OV_NETWORK_UNREACHABLE;
        case CurlOutcome::NetworkFailure:
            return E_OV_NETWORK_ERROR;
        case CurlOutcome::ServerErrorStatus:
            return E_OV_SERVER_ERROR;  // a GET or download answered with a status other than 200
        case CurlOutcome::LocalFileUnreadable:
            break;  // no network outcome: the same assertion record as a stray value
    }
    TRANSPORT_LOG(0, "*ASSERT*: !\"unknown request outcome\"");
    return outcome == CurlOutcome::LocalFileUnreadable ? E_FAIL : static_cast<HRESULT>(outcome);
}

HRESULT CTransport::Prepare(const std::string& header) {
    if (FAILED(ApplyProxySettings(m_helper, true))) return E_OV_NETWORK_ERROR;
    m_helper.SetSpeedLimit(m_uploadCap.load(), m_downloadCap.load());  // a cap that cannot be set is left off
    if (!header.empty()) m_helper.AddHeader(header);
    return S_OK;
}

void CTransport::ReadAnswer(HRESULT hr, std::optional<std::string>* response) {
    if (!response) return;
    if (SUCCEEDED(hr))
        *response = m_helper.TakeResponseText();  // one copy of a large answer, not two
    else
        response->reset();
}

HRESULT CTransport::Request(const std::string& url, const std::string& header, const std::string* post,
                            std::optional<std::string>* response, int32_t timeLimit, int32_t) {
    try {
        std::lock_guard<std::mutex> guard(m_lock);
        RetryPolicy policy(m_kind);
        HRESULT hr = S_OK;
        CurlOutcome outcome = CurlOutcome::Ok;
        do {
            hr = Prepare(header);
            if (FAILED(hr)) break;
            if (post) m_helper.AddPostField(*post);
            outcome = post ? m_helper.Request_URL_POST(url, timeLimit) : m_helper.Request_URL_GET(url, timeLimit);
            hr = MapOutcome(outcome);
        } while (RetryAfter(policy, outcome, hr));
        if (FAILED(hr)) LOGF(9, "CHECK_BOOL:hr == S_OKMSG: %s", url.c_str());
        ReadAnswer(hr, response);
        return hr;
    } catch (const std::bad_alloc&) {
        if (response) response->reset();
        return E_OUTOFMEMORY;
    }
}

bool CTransport::RetryAfter(RetryPolicy& policy, CurlOutcome outcome, HRESULT& hr) {
    // The callback keeps being called and Cancel() keeps working during the wait.
    const RetryStep step = WaitBeforeRetry(m_helper, policy, outcome, [this] {
        ProgressCallback callback;
        void* context;
        {
            std::lock_guard<std::mutex> guard(m_callbackLock);
            callback = m_pfnCallback;
            context = m_pContext;
        }
        if (callback && callback(context, 0, 0, 0, 0, 0) == E_FAIL) m_helper.Cancel();
        return !m_helper.IsCancelled();
    });
    if (step == RetryStep::Cancelled) hr = E_OV_CANCELLED;
    return step == RetryStep::Retry;
}

HRESULT CTransport::DownloadFile(const std::string& url, const std::string& local, const std::string& header,
                                 const std::string* post, int32_t timeLimit) {
    if (local.empty()) {
        TRANSPORT_LOG(5, "ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)");
        return E_FAIL;
    }
    try {
        std::lock_guard<std::mutex> guard(m_lock);
        EnsureParentFolder(local);
        HRESULT hr = Prepare(header);
        if (SUCCEEDED(hr)) {
            if (post) m_helper.AddPostField(*post);
            hr = MapOutcome(m_helper.SimpleDownLoadFile(url, local, timeLimit));
        }
        if (FAILED(hr)) TRANSPORT_LOG(5, "DownLoad File Failed!");
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CTransport::Upload(const std::string& header, std::optional<std::string>* response,
                           const std::function<CurlOutcome()>& send) {
    try {
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = Prepare(header);
        if (SUCCEEDED(hr)) {
            hr = MapOutcome(send());
            curl_off_t speed = 0;
            curl_easy_getinfo(m_helper.Handle(), CURLINFO_SPEED_UPLOAD_T, &speed);
        }
        ReadAnswer(hr, response);
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CTransport::PostMultiForm(const std::string& url, const std::string& local, const std::string& header,
                                  const std::string& form, std::optional<std::string>* response, int32_t timeLimit) {
    if (response) response->reset();
    if (local.empty()) {
        TRANSPORT_LOG(5, "ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)");
        return E_FAIL;
    }
    return Upload(header, response, [&] {
        // "k=v" pairs joined by "&": each becomes a text part.
        size_t start = 0;
        while (start <= form.size()) {
            size_t amp = form.find('&', start);
            std::string_view pair =
                std::string_view(form).substr(start, amp == std::string::npos ? std::string::npos : amp - start);
            if (!pair.empty()) {
                size_t eq = pair.find('=');
                m_helper.AddFormField(FormCopyContents, pair.substr(0, eq),
                                      eq == std::string_view::npos ? std::string_view("") : pair.substr(eq + 1));
            }
            if (amp == std::string::npos) break;
            start = amp + 1;
        }
        m_helper.AddFormField(FormFile, "FileCont", local);
        return m_helper.PostMutiForm(url, timeLimit);
    });
}

HRESULT CTransport::PostFile(const std::string& url, const std::string& local, const std::string& header, int32_t,
                             std::optional<std::string>* response, int32_t timeLimit) {
    if (response) response->reset();
    if (local.empty()) {
        TRANSPORT_LOG(5, "ERROR_CHECK_BOOLEX:szLocal && wcslen(szLocal)");
        return E_FAIL;
    }
    if (header.empty()) TRANSPORT_LOG(0, "*ASSERT*: szHeader && wcslen(szHeader)");
    return Upload(header, response, [&] { return m_helper.PostFileBody(url, local, timeLimit); });
}

HRESULT CTransport::Cancel() {
    m_helper.Cancel();
    return S_OK;
}

HRESULT CTransport::SetSpeedLimit(int32_t uploadCap, int32_t downloadCap) {
    m_uploadCap.store(uploadCap);
    m_downloadCap.store(downloadCap);
    return S_OK;
}

HRESULT CreateTransport(ITransport** pp) {
    if (!pp) return E_POINTER;
    *pp = nullptr;
    std::unique_ptr<CTransport> transport;
    try {
        transport = std::make_unique<CTransport>(ReadSettingInt("UploadSpeed"), ReadSettingInt("DownloadSpeed"));
    } catch (const std::bad_alloc&) {
        TRANSPORT_LOG(5, "ERROR_CHECK_BOOLEX:pTransport");
        return E_FAIL;
    }
    if (!transport->Initialise()) return E_FAIL;
    *pp = transport.release();  // the caller's reference
    return S_OK;
}
