#include "httpclient/curl_wrapper.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "common/exceptions.h"
#include "common/request_counter.h"
#include "common/settings.h"
#include "log/log.h"

namespace {

constexpr int32_t kPostTimeout = 60;
constexpr int32_t kFileTimeout = 1200;

void CountRequest() { CountNetworkRequest(); }

}  // namespace

void RaiseCurlFailure(std::string_view origin) { throw EXCEPT::CurlUnknownError(origin, "Network Error"); }

void RaiseForOutcome(CurlOutcome outcome, std::string_view origin) {
    switch (outcome) {
        case CurlOutcome::Ok:
            return;
        case CurlOutcome::Timeout:
            throw EXCEPT::NetworkError(origin, "Timeout");
        case CurlOutcome::Cancelled:
            throw EXCEPT::TaskCancel(origin);
        case CurlOutcome::ConnectFailed:
            throw EXCEPT::NetworkError(origin, "Couldn't connect");
        case CurlOutcome::ServerErrorStatus:
            throw EXCEPT::ServerError(origin, "Response not 200");
        case CurlOutcome::NetworkFailure:
        case CurlOutcome::LocalFileUnreadable:
            break;
    }
    RaiseCurlFailure(origin);  // also for a value outside the enumeration
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
    HRESULT hr = self->m_pfnCallback(self->m_pCallbackData, dlTotal, dlNow, ulTotal, ulNow, static_cast<double>(speed));
    if (hr == E_FAIL) self->Cancel();
}

bool CurlWrapper::RetryAfter(RetryPolicy& policy, CurlOutcome outcome, std::string_view origin) {
    // The progress callback keeps being called, so a cancel ends the wait at once.
    const RetryStep step = WaitBeforeRetry(*this, policy, outcome, [this] {
        if (m_pfnCallback && m_pfnCallback(m_pCallbackData, m_lastProgress[0], m_lastProgress[1], m_lastProgress[2],
                                           m_lastProgress[3], 0.0) == E_FAIL)
            Cancel();
        return !IsCancelled();
    });
    if (step == RetryStep::Cancelled) throw EXCEPT::TaskCancel(origin);
    return step == RetryStep::Retry;
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
    CurlOutcome outcome = CurlOutcome::Ok;
    do {
        ApplyConnectionSettings(wrapper);
        wrapper.AddHeader(header);
        wrapper.AddPostField(postData);
        outcome = wrapper.Request_URL_POST(url, kPostTimeout);
    } while (wrapper.RetryAfter(policy, outcome, "CurlWrapper::RequestPost"));
    RaiseForOutcome(outcome, "CurlWrapper::RequestPost");
    return wrapper.TakeResponseText();  // the caller's copy is the only one of a large answer
}

void HttpDownloadFile(CurlWrapper& wrapper, std::string_view url, std::string_view local, std::string_view header,
                      std::string_view postData) {
    if (local.empty()) LogWrite(0, "*ASSERT*: !strLocal.IsEmpty()", __FILE__, __LINE__);
    if (postData.empty()) LogWrite(0, "*ASSERT*: !strPostData.IsEmpty()", __FILE__, __LINE__);
    CountRequest();
    size_t slash = local.rfind('/');
    if (slash != std::string_view::npos && slash > 0) CreateFolderTree(local.substr(0, slash));
    RetryPolicy policy(RequestKind::Repeatable);
    CurlOutcome outcome = CurlOutcome::Ok;
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
    CurlOutcome outcome = CurlOutcome::Ok;
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

// ---- block requests from and into memory ----

namespace {

constexpr long kBlockConnectTimeout = 10;
constexpr int kTickMs = 100;  // the longest gap between two progress callbacks
// At least 256 KiB per read from the socket: a 4 MiB block in 16 writes, not 256.
constexpr long kReceiveBuffer = 256 * 1024;
// A block body goes out in 1 MiB pieces: 4 sends and polls per block, not 64.
constexpr long kSendBuffer = 1024 * 1024;

// "&"-joined header text as a header list.
CurlSlistPtr HeaderList(std::string_view header) {
    CurlSlistPtr list;
    if (!header.empty() && !AppendHeaderLines(list, header)) throw std::bad_alloc();
    return list;
}

}  // namespace

BlockPace ReadBlockPace() {
    const SpeedCaps& caps = SpeedCaps::Instance();
    BlockPace pace;
    pace.sendCap = std::min(caps.upload, ReadSettingInt("UploadSpeed"));
    pace.recvCap = std::min(caps.download, ReadSettingInt("DownloadSpeed"));
    pace.proxy = ReadProxySnapshot();
    pace.retries = ReadNetworkRetries();
    return pace;
}

// One block request on the wrapper's easy handle, driven through its multi
// handle: pacing, steady progress ticks, cancel.
class BlockRequest {
public:
    BlockRequest(CurlWrapper& wrapper, const BlockPace& pace) : m_wrapper(wrapper), m_pace(pace) {}

    CURL* Easy() { return m_wrapper.Handle(); }

    void SetCommon(std::string_view url) {
        m_url = std::string(url);
        Set(CURLOPT_URL, m_url.c_str());
        // libcurl's own caps would hold the transfer back without progress ticks.
        Set(CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(0));
        Set(CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(0));
        Set(CURLOPT_NOPROGRESS, 1L);
        Set(CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr));
        Set(CURLOPT_WRITEFUNCTION, &BlockRequest::Write);
        Set(CURLOPT_WRITEDATA, static_cast<void*>(this));
        Set(CURLOPT_TIMEOUT, 1200L);
        Set(CURLOPT_CONNECTTIMEOUT, kBlockConnectTimeout);
        Set(CURLOPT_BUFFERSIZE, kReceiveBuffer);
        Set(CURLOPT_TCP_NODELAY, 1L);
        // Verified peers, the extra CA file, http and https only: as every request.
        if (m_wrapper.ApplySecurity() != CURLE_OK) m_prepFailed = true;
    }

    template <typename T>
    void Set(CURLoption option, T value) {
        if (curl_easy_setopt(Easy(), option, value) != CURLE_OK) {
            LogCurlOptionFailure();
            m_prepFailed = true;
        }
    }

    // Body to send from memory.
    void SendBody(const uint8_t* data, size_t size) {
        m_send = data;
        m_sendSize = size;
        Set(CURLOPT_READFUNCTION, &BlockRequest::Read);
        Set(CURLOPT_READDATA, static_cast<void*>(this));
        Set(CURLOPT_UPLOAD_BUFFERSIZE, kSendBuffer);
        Set(CURLOPT_SEEKFUNCTION, &BlockRequest::Seek);
        Set(CURLOPT_SEEKDATA, static_cast<void*>(this));
    }

    void ReceiveInto(std::vector<uint8_t>* out, size_t limit) {
        m_out = out;
        m_limit = limit;
    }

    // Runs the request; the curl code of the transfer (or of the preparation).
    CURLcode Run() {
        if (m_prepFailed) return static_cast<CURLcode>(CURL_LAST + 100);
        if (!m_wrapper.Multi()) throw std::bad_alloc();
        m_start = std::chrono::steady_clock::now();
        auto lastTick = m_start - std::chrono::milliseconds(kTickMs);
        CURLcode result = m_wrapper.RunOnMulti([&](int& waitMs) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastTick >= std::chrono::milliseconds(kTickMs / 4)) {
                lastTick = now;
                if (!Tick()) return false;
            }
            waitMs = kTickMs;
            if (m_paused) {
                const auto due = Due();
                if (now >= due) {
                    m_paused = false;
                    curl_easy_pause(Easy(), CURLPAUSE_CONT);
                    waitMs = 0;  // moves again at once
                    return true;
                }
                waitMs = static_cast<int>(std::min<int64_t>(
                    kTickMs, std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1));
            }
            return true;
        });
        // The last figures of a finished request.
        if (result == CURLE_OK && !Tick()) result = CURLE_ABORTED_BY_CALLBACK;
        return result;
    }

    bool Overflowed() const { return m_overflow; }
    const std::string& Url() const { return m_url; }

private:
    // When the bytes moved so far are due under the cap.
    std::chrono::steady_clock::time_point Due() const {
        const int64_t cap = m_send ? m_pace.sendCap : m_pace.recvCap;
        const int64_t moved = m_send ? static_cast<int64_t>(m_sent) : static_cast<int64_t>(m_received);
        if (cap <= 0) return m_start;
        return m_start + std::chrono::microseconds(moved * 1000000 / cap);
    }

    bool AheadOfCap() const {
        const int64_t cap = m_send ? m_pace.sendCap : m_pace.recvCap;
        return cap > 0 && std::chrono::steady_clock::now() < Due();
    }

    bool Tick() {
        if (!m_wrapper.m_pfnCallback) return true;
        curl_off_t dlTotal = 0;
        curl_easy_getinfo(Easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &dlTotal);
        const double ulTotal = static_cast<double>(m_sendSize);
        // Repeated to the callback while a retry waits.
        m_wrapper.m_lastProgress[0] = dlTotal > 0 ? double(dlTotal) : 0.0;
        m_wrapper.m_lastProgress[1] = static_cast<double>(m_received);
        m_wrapper.m_lastProgress[2] = ulTotal;
        m_wrapper.m_lastProgress[3] = static_cast<double>(m_sent);
        HRESULT hr =
            m_wrapper.m_pfnCallback(m_wrapper.m_pCallbackData, dlTotal > 0 ? double(dlTotal) : 0.0,
                                    static_cast<double>(m_received), ulTotal, static_cast<double>(m_sent), 0.0);
        if (hr == E_FAIL) {
            m_wrapper.Cancel();
            return false;
        }
        return true;
    }

    static size_t Read(char* buffer, size_t size, size_t count, void* p) {
        auto* self = static_cast<BlockRequest*>(p);
        if (self->m_sent < self->m_sendSize && self->AheadOfCap()) {
            self->m_paused = true;
            return CURL_READFUNC_PAUSE;
        }
        size_t n = std::min(size * count, self->m_sendSize - self->m_sent);
        // Sent in slices under a cap, so the pacing stays smooth.
        if (self->m_pace.sendCap > 0) n = std::min<size_t>(n, std::max<int32_t>(self->m_pace.sendCap / 10, 1024));
        if (n > 0) std::memcpy(buffer, self->m_send + self->m_sent, n);
        self->m_sent += n;
        return n;
    }

    static int Seek(void* p, curl_off_t offset, int origin) {
        auto* self = static_cast<BlockRequest*>(p);
        if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > self->m_sendSize)
            return CURL_SEEKFUNC_FAIL;
        self->m_sent = static_cast<size_t>(offset);
        return CURL_SEEKFUNC_OK;
    }

    static size_t Write(char* data, size_t size, size_t count, void* p) {
        auto* self = static_cast<BlockRequest*>(p);
        const size_t n = size * count;
        if (self->AheadOfCap()) {
            self->m_paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (!self->m_out) {
            // An answer text (the upload's): kept whole up to the cap of every text answer.
            if (n > kMaxAnswerBytes - self->m_text.size()) {
                LOGF(5, "Answer refused: more than %zu bytes", kMaxAnswerBytes);
                std::string().swap(self->m_text);
                return 0;
            }
            try {
                self->m_text.append(data, n);
            } catch (...) {
                return 0;
            }
            self->m_received += n;
            return n;
        }
        if (n > self->m_limit - self->m_out->size()) {
            self->m_overflow = true;  // longer than any valid answer: stop at once
            return 0;
        }
        try {
            self->m_out->insert(self->m_out->end(), reinterpret_cast<uint8_t*>(data),
                                reinterpret_cast<uint8_t*>(data) + n);
        } catch (...) {
            return 0;
        }
        self->m_received += n;
        return n;
    }

public:
    std::string m_text;

private:
    CurlWrapper& m_wrapper;
    BlockPace m_pace;
    std::string m_url;
    bool m_prepFailed = false;
    const uint8_t* m_send = nullptr;
    size_t m_sendSize = 0;
    size_t m_sent = 0;
    std::vector<uint8_t>* m_out = nullptr;
    size_t m_limit = 0;
    size_t m_received = 0;
    bool m_overflow = false;
    bool m_paused = false;
    std::chrono::steady_clock::time_point m_start;
};

namespace {

// The helper's outcome rules for a failed block request (a cancel sets the
// helper's flag too); a request that could not be prepared is a network failure.
CurlOutcome BlockOutcome(CurlWrapper& wrapper, CURLcode curlRet) {
    if (curlRet == static_cast<CURLcode>(CURL_LAST + 100)) return CurlOutcome::NetworkFailure;
    return wrapper.Outcome(curlRet, 200, false);
}

}  // namespace

std::string HttpUploadBuffer(CurlWrapper& wrapper, std::string_view url, const uint8_t* body, size_t size,
                             const BlockPace& pace) {
    if (url.empty()) LogWrite(0, "*ASSERT*: !strURL.IsEmpty()", __FILE__, __LINE__);
    CountRequest();
    RetryPolicy policy(RequestKind::Repeatable, pace.retries);
    for (;;) {
        ApplyConnectionSettings(wrapper, pace.proxy, 0, 0);
        BlockRequest request(wrapper, pace);
        request.SetCommon(url);
        // The raw body goes with a header list of its own that switches off the
        // Accept, Expect (100-continue) and Content-Type headers.
        CurlSlistPtr headers = HeaderList("Accept:&Expect:&Content-Type:");
        request.Set(CURLOPT_HTTPHEADER, headers.get());
        request.Set(CURLOPT_POSTFIELDS, static_cast<const void*>(nullptr));
        request.Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
        request.Set(CURLOPT_POST, 1L);
        request.SendBody(body, size);
        wrapper.BeginOwnAttempt(url, kFileTimeout);
        CURLcode curlRet = request.Run();
        curl_easy_setopt(wrapper.Handle(), CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
        long code = 0;
        bool statusOk = true;
        if (curlRet == CURLE_OK)
            statusOk = curl_easy_getinfo(wrapper.Handle(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code >= 200 &&
                       code <= 299;
        const CurlOutcome outcome = curlRet != CURLE_OK ? BlockOutcome(wrapper, curlRet)
                                    : statusOk          ? CurlOutcome::Ok
                                                        : CurlOutcome::ServerErrorStatus;
        wrapper.EndOwnAttempt(curlRet, outcome);
        if (wrapper.RetryAfter(policy, outcome, "CurlWrapper::PostFile")) continue;
        if (curlRet == CURLE_OK && !statusOk) {
            LOGF(5, "GetInfo Error Or Response Code Not In Range 200~300, Response Code:%d", static_cast<int>(code));
            RaiseCurlFailure("CurlWrapper::PostFile");
        }
        if (curlRet != CURLE_OK && curlRet != CURLE_ABORTED_BY_CALLBACK)
            LOGF(9, "CHECK_BOOL:curlRet == CURLE_OK MSG: %s", request.Url().c_str());
        RaiseForOutcome(outcome, "CurlWrapper::PostFile");
        std::string text = std::move(request.m_text);
        // Cut at the first zero byte, as every answer text is.
        if (size_t zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
        return text;
    }
}

bool HttpDownloadBuffer(CurlWrapper& wrapper, std::string_view url, std::string_view header, std::string_view postData,
                        size_t limit, std::vector<uint8_t>& out, const BlockPace& pace) {
    if (postData.empty()) LogWrite(0, "*ASSERT*: !strPostData.IsEmpty()", __FILE__, __LINE__);
    CountRequest();
    RetryPolicy policy(RequestKind::Repeatable, pace.retries);
    const std::string fields(postData);
    for (;;) {
        ApplyConnectionSettings(wrapper, pace.proxy, 0, 0);
        out.clear();
        out.reserve(std::min<size_t>(limit, 8u << 20));  // one allocation for a whole block
        BlockRequest request(wrapper, pace);
        request.SetCommon(url);
        CurlSlistPtr headers = HeaderList(header);
        if (headers) request.Set(CURLOPT_HTTPHEADER, headers.get());
        request.Set(CURLOPT_POSTFIELDS, fields.c_str());
        request.Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(fields.size()));
        request.Set(CURLOPT_FOLLOWLOCATION, 1L);
        request.Set(CURLOPT_MAXREDIRS, 30L);
        request.ReceiveInto(&out, limit);
        wrapper.BeginOwnAttempt(url, kFileTimeout);
        CURLcode curlRet = request.Run();
        curl_easy_setopt(wrapper.Handle(), CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
        curl_easy_setopt(wrapper.Handle(), CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
        if (request.Overflowed()) {
            out.clear();
            return false;
        }
        long code = 0;
        if (curlRet == CURLE_OK) curl_easy_getinfo(wrapper.Handle(), CURLINFO_RESPONSE_CODE, &code);
        const CurlOutcome outcome = curlRet != CURLE_OK ? BlockOutcome(wrapper, curlRet)
                                    : code == 200       ? CurlOutcome::Ok
                                    : code == 504       ? CurlOutcome::Timeout
                                                        : CurlOutcome::ServerErrorStatus;
        wrapper.EndOwnAttempt(curlRet, outcome);
        if (wrapper.RetryAfter(policy, outcome, "CurlWrapper::SimpleDownloadFile")) continue;
        if (curlRet != CURLE_OK && curlRet != CURLE_ABORTED_BY_CALLBACK)
            LOGF(9, "CHECK_BOOL:curlRet == CURLE_OK MSG: %s", request.Url().c_str());
        RaiseForOutcome(outcome, "CurlWrapper::SimpleDownloadFile");
        return true;
    }
}
