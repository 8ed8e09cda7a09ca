// CTransport: the ITransport implementation over one CCurlHelper.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

#include "httpclient/curl_helper.h"
#include "transport/transport.h"

class CTransport final : public ITransport {
public:
    CTransport(int32_t uploadCap, int32_t downloadCap);
    ~CTransport() override = default;

    uint32_t AddRef() override;
    uint32_t Release() override;
    HRESULT SetCallback(ProgressCallback callback, void* context) override;
    HRESULT Request(const std::string& url, const std::string& header, const std::string* post,
                    std::optional<std::string>* response, int32_t timeLimit, int32_t reserved) override;
    HRESULT DownloadFile(const std::string& url, const std::string& local, const std::string& header,
                         const std::string* post, int32_t timeLimit) override;
    HRESULT PostMultiForm(const std::string& url, const std::string& local, const std::string& header,
                          const std::string& form, std::optional<std::string>* response, int32_t timeLimit) override;
    HRESULT PostFile(const std::string& url, const std::string& local, const std::string& header, int32_t reserved,
                     std::optional<std::string>* response, int32_t timeLimit) override;
    HRESULT Cancel() override;
    HRESULT SetSpeedLimit(int32_t uploadCap, int32_t downloadCap) override;

    // Outcome of the request helper to the transport's result.
    static HRESULT MapOutcome(CurlOutcome outcome);
    bool Initialise() { return m_helper.InitHandle() != 0; }
    void SetRequestKind(RequestKind kind) override { m_kind = kind; }

private:
    // Full reset, proxy (an empty one when the system proxy is off) and this
    // object's caps. E_OV_NETWORK_ERROR when an option cannot be set.
    HRESULT Prepare(const std::string& header);
    void ReadAnswer(HRESULT hr, std::optional<std::string>* response);
    // The run every upload shares: under the lock, Prepare, then `send` (which adds its parts and
    // sends), the upload speed read and the answer kept. E_OUTOFMEMORY when memory runs out.
    HRESULT Upload(const std::string& header, std::optional<std::string>* response,
                   const std::function<CurlOutcome()>& send);
    // The backoff before another attempt of a text request, or false when the
    // failure is final or the wait was cancelled (then `hr` becomes E_OV_CANCELLED).
    bool RetryAfter(RetryPolicy& policy, CurlOutcome outcome, HRESULT& hr);
    static void ProgressHookFn(void* self, double dlTotal, double dlNow, double ulTotal, double ulNow);

    std::atomic<uint32_t> m_refs{1};
    std::mutex m_lock;  // one transfer at a time per object
    CCurlHelper m_helper;
    std::mutex m_callbackLock;  // the callback may be swapped while a transfer runs
    ProgressCallback m_pfnCallback = nullptr;
    void* m_pContext = nullptr;
    std::atomic<int32_t> m_uploadCap;
    std::atomic<int32_t> m_downloadCap;
    RequestKind m_kind = RequestKind::ChangesState;
};
