// Request operations of CCurlHelper. The log lines written here carry the name
// "curl_helper2.cpp", which support staff look for in the field logs.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <cstring>
#include <memory>
#include <exception>
#include <string>
#include <thread>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "common/settings.h"
#include "httpclient/curl_helper.h"
#include "httpclient/network_error.h"
#include "log/log.h"

#undef ORVEL_LOG_FILE
#define ORVEL_LOG_FILE "curl_helper2.cpp"

#define HELPER_LOG(level, text) LogWrite((level), (text), ORVEL_LOG_FILE, __LINE__)

namespace {

// The code an operation takes when it raised or its status check failed: 87 is
// the platform's "invalid parameter" error number, which the log line
// "CURLcode = 87" has always shown (libcurl's own 87, an FTP listing failure,
// never occurs here). It ends as NetworkFailure.
constexpr CURLcode kInvalidParameterCode = static_cast<CURLcode>(87);
// Returned by the preparation steps whose failure ends the operation as NetworkFailure.
constexpr CURLcode kPrepFailed = static_cast<CURLcode>(CURL_LAST + 100);
// Returned when an upload's file cannot be opened or measured: LocalFileUnreadable.
constexpr CURLcode kFileFailed = static_cast<CURLcode>(CURL_LAST + 101);
constexpr long kConnectTimeout = 10;

// libcurl's global state lives as long as the library's static objects.
struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CurlGlobal() { curl_global_cleanup(); }
};
const CurlGlobal g_curlGlobal;

std::string OrNull(std::string_view s) { return s.data() ? std::string(s) : std::string("NULL"); }

size_t FileReader(char* buffer, size_t size, size_t count, void* fp) {
    auto* file = static_cast<std::FILE*>(fp);
    if (!file) return CURL_READFUNC_ABORT;  // the upload's file is closed once it ends
    size_t n = std::fread(buffer, size, count, file);
    if (n == 0 && std::ferror(file)) return CURL_READFUNC_ABORT;
    return n;
}

}  // namespace

#define RETURN_IF_FAILED(expr)           \
    do {                                 \
        CURLcode rc_ = (expr);           \
        if (rc_ != CURLE_OK) return rc_; \
    } while (0)

void LogCurlOptionFailure() { HELPER_LOG(5, "ERROR_CHECK_BOOL:curlRet == CURLE_OK"); }

int CCurlHelper::InitHandle() {
    if (!m_hCURL) {
        m_hCURL.reset(curl_easy_init());
        if (!m_hCURL) {
            HELPER_LOG(5, "ERROR_CHECK_BOOL:m_hCURL");
            return 0;
        }
    }
    curl_easy_setopt(m_hCURL.get(), CURLOPT_NOSIGNAL, 1L);
    if (!m_pool) {
        // Requests of one transfer share connections; without a scope each
        // handle keeps its own (still reused by the requests on this helper).
        std::shared_ptr<ConnectionPool> pool = ConnectionScope::Current();
        if (pool && curl_easy_setopt(m_hCURL.get(), CURLOPT_SHARE, pool->Share()) == CURLE_OK) m_pool = std::move(pool);
    }
    return 1;
}

void CCurlHelper::Reset(bool full) {
    m_cancel.exchange(0);
    m_body.clear();
    m_response.clear();
    m_callbackFailed = false;
    m_answerTooLarge = false;
    m_recvBytes = 0;
    if (!full) return;
    m_recvCap = 0;
    if (m_hCURL) {
        curl_easy_reset(m_hCURL.get());
        // The reset drops NOSIGNAL too; signals for time-outs are unsafe in a host
        // process with several threads, so it is always put back.
        curl_easy_setopt(m_hCURL.get(), CURLOPT_NOSIGNAL, 1L);
    }
    m_headerLines.clear();
    m_headerText.clear();
    m_postFields.clear();
    m_forms.clear();
    m_status = 200;
}

void CCurlHelper::AddHeader(std::string_view szHeader) {
    if (!szHeader.data()) {
        HELPER_LOG(0, "*ASSERT*: szHeader");
        return;
    }
    if (!m_headerLines.empty()) m_headerLines += '&';
    m_headerLines += szHeader;
}

void CCurlHelper::AddPostField(std::string_view szPostField) {
    if (!szPostField.data()) {
        HELPER_LOG(0, "*ASSERT*: szPostField");
        return;
    }
    if (!m_postFields.empty()) m_postFields += '&';
    m_postFields += szPostField;
}

void CCurlHelper::AddFormField(int32_t contentOption, std::string_view name, std::string_view content) {
    FormField field;
    field.name = std::string(name);
    field.contentOption = contentOption;
    field.content = std::string(content);
    m_forms.push_back(std::move(field));
}

HRESULT CCurlHelper::SetSpeedLimit(int32_t sendCap, int32_t recvCap) {
    if (!m_hCURL) return E_FAIL;
    if (sendCap != 0 && FAILED(SetOption(CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(sendCap))))
        return E_FAIL;
    if (recvCap != 0) {
        if (FAILED(SetOption(CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(recvCap)))) return E_FAIL;
        m_recvCap = recvCap;
    }
    return S_OK;
}

CURLcode CCurlHelper::SetOpt(CURLoption option, long value) {
    CURLcode curlRet = curl_easy_setopt(m_hCURL.get(), option, value);
    if (curlRet != CURLE_OK) LogCurlOptionFailure();
    return curlRet;
}

CURLcode CCurlHelper::SetOpt(CURLoption option, const void* value) {
    CURLcode curlRet = curl_easy_setopt(m_hCURL.get(), option, value);
    if (curlRet != CURLE_OK) LogCurlOptionFailure();
    return curlRet;
}

CURLcode CCurlHelper::SetOptOff(CURLoption option, curl_off_t value) {
    CURLcode curlRet = curl_easy_setopt(m_hCURL.get(), option, value);
    if (curlRet != CURLE_OK) LogCurlOptionFailure();
    return curlRet;
}

bool AppendHeaderLines(CurlSlistPtr& list, std::string_view lines) {
    size_t start = 0;
    while (true) {
        size_t amp = lines.find('&', start);
        std::string piece(lines.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start));
        curl_slist* appended = curl_slist_append(list.get(), piece.c_str());
        if (!appended) return false;
        list.release();
        list.reset(appended);
        if (amp == std::string_view::npos) return true;
        start = amp + 1;
    }
}

bool CCurlHelper::_SetHttpHeader() {
    if (m_headerLines.empty()) return true;
    CurlSlistPtr list;
    const bool appended = AppendHeaderLines(list, m_headerLines);
    m_plist = std::move(list);
    if (!appended) {
        HELPER_LOG(5, "ERROR_CHECK_BOOL:m_plist");
        return false;
    }
    return SetOpt(CURLOPT_HTTPHEADER, m_plist.get()) == CURLE_OK;
}

bool CCurlHelper::_SetHttpPostField() {
    if (m_postFields.empty()) return true;
    if (SetOpt(CURLOPT_POSTFIELDS, m_postFields.c_str()) != CURLE_OK) return false;
    // The length too: a size left on the handle by an earlier request (an empty
    // POST, a file upload) would otherwise cut or over-read the fields.
    return SetOptOff(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_postFields.size())) == CURLE_OK;
}

CURLcode CCurlHelper::SetCommonTail(int32_t timeout) {
    m_timeoutSec = timeout;
    RETURN_IF_FAILED(SetOpt(CURLOPT_NOPROGRESS, 0L));
    RETURN_IF_FAILED(SetOpt(CURLOPT_XFERINFODATA, this));
    RETURN_IF_FAILED(SetFn(CURLOPT_XFERINFOFUNCTION, &ProgressFunction));
    RETURN_IF_FAILED(SetFn(CURLOPT_WRITEFUNCTION, &BodyWriter));
    RETURN_IF_FAILED(SetOpt(CURLOPT_WRITEDATA, this));
    RETURN_IF_FAILED(SetOpt(CURLOPT_TIMEOUT, static_cast<long>(timeout)));
    return SetOpt(CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
}

// Secure URLs are always verified (peer and host name), and only http and https
// are spoken, also after a redirect.
CURLcode CCurlHelper::SetSecurity() {
    RETURN_IF_FAILED(SetOpt(CURLOPT_SSL_VERIFYPEER, 1L));
    RETURN_IF_FAILED(SetOpt(CURLOPT_SSL_VERIFYHOST, 2L));
    // A private CA (a company proxy, a test service) is trusted on top of the
    // system store; CURLOPT_CAINFO would replace the store instead.
    if (!m_caFileRead) {  // once per helper, not on every attempt
        m_caFile = ReadSettingString("Tavik", "CaFile", "");
        m_caFileRead = true;
    }
    if (!m_caFile.empty()) {
        RETURN_IF_FAILED(SetFn(CURLOPT_SSL_CTX_FUNCTION, &AddExtraCa));
        RETURN_IF_FAILED(SetOpt(CURLOPT_SSL_CTX_DATA, this));
    }
    RETURN_IF_FAILED(SetOpt(CURLOPT_PROTOCOLS_STR, "http,https"));
    return SetOpt(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

CURLcode CCurlHelper::BuildForm(CurlMimePtr& mime) {
    mime.reset(curl_mime_init(m_hCURL.get()));
    if (!mime) throw std::bad_alloc();
    for (const FormField& field : m_forms) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        if (!part) throw std::bad_alloc();
        CURLcode curlRet = curl_mime_name(part, field.name.c_str());
        if (curlRet == CURLE_OK) {
            if (field.contentOption == FormFile)
                curlRet = curl_mime_filedata(part, field.content.c_str());
            else
                curlRet = curl_mime_data(part, field.content.data(), field.content.size());
        }
        if (curlRet == CURLE_OK && field.extraOption == FormContentType)
            curlRet = curl_mime_type(part, field.extra.c_str());
        else if (curlRet == CURLE_OK && field.extraOption == FormFilename)
            curlRet = curl_mime_filename(part, field.extra.c_str());
        if (curlRet != CURLE_OK) {
            LogCurlOptionFailure();
            return curlRet;
        }
    }
    return CURLE_OK;
}

CurlOutcome CCurlHelper::Outcome(CURLcode curlRet, long status, bool statusChecked) {
    if (statusChecked && status != 200) return status == 504 ? CurlOutcome::Timeout : CurlOutcome::ServerErrorStatus;
    if (curlRet == CURLE_OK) return CurlOutcome::Ok;
    if (curlRet == CURLE_OPERATION_TIMEDOUT) return CurlOutcome::Timeout;
    if (curlRet == CURLE_ABORTED_BY_CALLBACK || m_cancel.load() != 0) return CurlOutcome::Cancelled;
    if (curlRet == CURLE_COULDNT_RESOLVE_PROXY || curlRet == CURLE_COULDNT_RESOLVE_HOST ||
        curlRet == CURLE_COULDNT_CONNECT)
        return CurlOutcome::ConnectFailed;
    LOGF(5, "CCurlHelper Visit Network Failded. CURLcode = %d", static_cast<int>(curlRet));
    return CurlOutcome::NetworkFailure;
}

void CCurlHelper::EndRequest() {
    // The handle must not keep a pointer to the list freed here.
    if (m_plist && m_hCURL) curl_easy_setopt(m_hCURL.get(), CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    m_plist.reset();
}

bool CCurlHelper::TakeCallbackFailure() {
    bool failed = m_callbackFailed;
    m_callbackFailed = false;
    return failed;
}

// ---- steps shared by the request operations ----

template <typename Run, typename LogRaise>
CurlOutcome CCurlHelper::RunOperation(Run run, bool statusChecked, LogRaise logRaise) {
    CURLcode curlRet = CURLE_OK;
    m_lastAttempt = AttemptFailure{};
    m_lastCause.clear();
    m_timeoutSec = 0;
    try {
        curlRet = run();
    } catch (...) {
        m_callbackFailed = true;
    }
    // Raised here or inside a libcurl callback (which cannot unwind through libcurl).
    if (TakeCallbackFailure()) {
        logRaise();
        curlRet = kInvalidParameterCode;
    }
    EndRequest();
    if (curlRet == kPrepFailed) return CurlOutcome::NetworkFailure;
    if (curlRet == kFileFailed) return CurlOutcome::LocalFileUnreadable;
    CurlOutcome outcome = Outcome(curlRet, curlRet == CURLE_OK ? m_status : 200, statusChecked);
    DescribeFailure(outcome);
    return outcome;
}

void CCurlHelper::StartRequest() {
    if (!m_hCURL) HELPER_LOG(0, "*ASSERT*: m_hCURL");
    Reset(false);
}

CURLcode CCurlHelper::SetUrl(std::string_view url) {
    m_urlCopy = std::string(url);
    return SetOpt(CURLOPT_URL, url.data() ? m_urlCopy.c_str() : nullptr);
}

CURLcode CCurlHelper::SetHeaderList() {
    if (_SetHttpHeader()) return CURLE_OK;
    HELPER_LOG(5, "ERROR_CHECK_BOOL:_SetHttpHeader()");
    return kPrepFailed;
}

CURLcode CCurlHelper::SetPostFields() {
    if (_SetHttpPostField()) return CURLE_OK;
    HELPER_LOG(5, "ERROR_CHECK_BOOL:_SetHttpPostField()");
    return kPrepFailed;
}

CURLcode CCurlHelper::SetHeaderCapture() {
    RETURN_IF_FAILED(SetFn(CURLOPT_HEADERFUNCTION, &HeaderWriter));
    return SetOpt(CURLOPT_HEADERDATA, this);
}

CURLcode CCurlHelper::Perform() {
    m_errorBuffer[0] = '\0';
    curl_easy_setopt(m_hCURL.get(), CURLOPT_ERRORBUFFER, m_errorBuffer);
    CURLcode curlRet = m_pfnHook ? PerformTicking() : curl_easy_perform(m_hCURL.get());
    // An answer stopped for its size is already logged; the exchange itself went
    // through and the empty answer is judged by the caller.
    if (curlRet == CURLE_WRITE_ERROR && m_answerTooLarge) curlRet = CURLE_OK;
    RecordAttempt(curlRet);
    if (curlRet == CURLE_OK && m_answerTooLarge) return CURLE_OK;
    // A callback that raised is reported by the operation's own exception line.
    if (curlRet != CURLE_OK && !m_callbackFailed) LOGF(9, "CHECK_BOOL:curlRet == CURLE_OK MSG: %s", m_urlCopy.c_str());
    return curlRet;
}

CURLM* CCurlHelper::Multi() {
    if (!m_multi) m_multi.reset(curl_multi_init());
    return m_multi.get();
}

CURLcode CCurlHelper::RunOnMulti(const std::function<bool(int& waitMs)>& step) {
    CURLM* multi = Multi();
    if (!multi || curl_multi_add_handle(multi, m_hCURL.get()) != CURLM_OK) return CURLE_FAILED_INIT;
    // Off the multi handle however the loop ends (a step may raise).
    struct Detach {
        CURLM* multi;
        CURL* easy;
        ~Detach() { curl_multi_remove_handle(multi, easy); }
    } detach{multi, m_hCURL.get()};
    CURLcode result = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        bool done = false;
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_hCURL.get()) {
                result = msg->data.result;
                done = true;
            }
        }
        if (done) break;
        int waitMs = 0;
        if (!step(waitMs)) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        if (waitMs > 0) curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
    return result;
}

// libcurl calls the progress function only about once a second while nothing
// moves (a slow answer, a paced transfer). With a progress hook the request is
// driven on the multi handle instead, and the hook gets a tick at least every
// 100 ms, so a cancel from another thread lands promptly whatever libcurl does.
CURLcode CCurlHelper::PerformTicking() {
    constexpr auto kTick = std::chrono::milliseconds(100);
    if (!Multi()) return curl_easy_perform(m_hCURL.get());
    std::fill(std::begin(m_lastFigures), std::end(m_lastFigures), curl_off_t{0});
    auto lastTick = std::chrono::steady_clock::now();
    return RunOnMulti([&](int& waitMs) {
        waitMs = static_cast<int>(kTick.count());
        const auto now = std::chrono::steady_clock::now();
        if (now - lastTick < kTick) return true;
        lastTick = now;
        return ProgressFunction(this, m_lastFigures[0], m_lastFigures[1], m_lastFigures[2], m_lastFigures[3]) == 0;
    });
}

CURLcode CCurlHelper::AddExtraCa(CURL*, void* sslCtx, void* p) {
    auto* self = static_cast<CCurlHelper*>(p);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
    if (!store || X509_STORE_load_file(store, self->m_caFile.c_str()) != 1) {
        ERR_clear_error();
        LOGF(5, "The CA file named by CaFile cannot be read: %s", self->m_caFile.c_str());
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

void CCurlHelper::BeginOwnAttempt(std::string_view url, int32_t timeoutSec) {
    m_urlCopy = std::string(url);
    m_timeoutSec = timeoutSec;
    m_lastAttempt = AttemptFailure{};
    m_lastCause.clear();
    m_errorBuffer[0] = '\0';
    curl_easy_setopt(m_hCURL.get(), CURLOPT_ERRORBUFFER, m_errorBuffer);
}

void CCurlHelper::EndOwnAttempt(CURLcode curlRet, CurlOutcome outcome) {
    RecordAttempt(curlRet);
    DescribeFailure(outcome);
}

void CCurlHelper::RecordAttempt(CURLcode curlRet) {
    m_lastAttempt.code = curlRet;
    m_lastAttempt.cancelled = m_cancel.load() != 0;
    long status = 0;
    if (curl_easy_getinfo(m_hCURL.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) m_lastAttempt.status = status;
    long osErrno = 0;
    if (curl_easy_getinfo(m_hCURL.get(), CURLINFO_OS_ERRNO, &osErrno) == CURLE_OK) m_lastAttempt.osErrno = osErrno;
    curl_off_t retryAfter = 0;
    if (curl_easy_getinfo(m_hCURL.get(), CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0)
        m_lastAttempt.retryAfterSec = retryAfter;
    // The buffer belongs to this helper only while the request runs.
    curl_easy_setopt(m_hCURL.get(), CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
}

// One log line that says where and why a request failed (host and port only:
// paths and queries may carry tokens), and the short cause for the caller.
void CCurlHelper::DescribeFailure(CurlOutcome outcome) {
    const AttemptFailure& a = m_lastAttempt;
    const bool badStatus = a.status >= 400;
    if ((outcome == CurlOutcome::Ok && !badStatus) || outcome == CurlOutcome::Cancelled || a.cancelled) {
        ClearThreadNetworkError();
        return;
    }
    const std::string where = UrlHostPort(m_urlCopy);
    std::string curlText = m_errorBuffer[0] ? std::string(m_errorBuffer) : std::string(curl_easy_strerror(a.code));
    if (a.code == CURLE_OK && badStatus) {
        m_lastCause = "HTTP " + std::to_string(a.status) + " from " + where;
    } else if (a.code == CURLE_COULDNT_CONNECT && a.osErrno == ECONNREFUSED) {
        m_lastCause = "connection refused (" + where + ")";
    } else if (a.code == CURLE_COULDNT_CONNECT) {
        m_lastCause = "could not connect (" + where + ")";
    } else if (a.code == CURLE_COULDNT_RESOLVE_HOST || a.code == CURLE_COULDNT_RESOLVE_PROXY) {
        m_lastCause = "host not found (" + where + ")";
    } else if (a.code == CURLE_OPERATION_TIMEDOUT) {
        curl_off_t connectTime = 0;
        curl_easy_getinfo(m_hCURL.get(), CURLINFO_CONNECT_TIME_T, &connectTime);
        long limit = connectTime == 0 ? kConnectTimeout : static_cast<long>(m_timeoutSec);
        m_lastCause = "timed out after " + std::to_string(limit) + " s";
    } else if (a.code == CURLE_PEER_FAILED_VERIFICATION || a.code == CURLE_SSL_CACERT_BADFILE) {
        m_lastCause = "certificate not trusted (" + where + "): " + curlText;
    } else if (a.code != CURLE_OK) {
        m_lastCause = curlText + " (" + where + ")";
    } else {
        m_lastCause = "HTTP " + std::to_string(a.status) + " from " + where;
    }
    SetThreadNetworkError(m_lastCause);
    if (outcome == CurlOutcome::Ok) return;  // an error page handed to the caller as text: not a failure here
    LOGF(5, "Network request to %s failed: %s, HTTP status %ld", where.c_str(), curlText.c_str(), a.status);
}

std::string UrlHostPort(std::string_view url) {
    struct UrlFree {
        void operator()(CURLU* u) const { curl_url_cleanup(u); }
    };
    std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, std::string(url).c_str(), CURLU_DEFAULT_SCHEME) != CURLUE_OK)
        return "(unknown host)";
    auto part = [&](CURLUPart which, unsigned flags) {
        char* text = nullptr;
        std::string out;
        if (curl_url_get(parsed.get(), which, &text, flags) == CURLUE_OK && text) out = text;
        curl_free(text);
        return out;
    };
    return part(CURLUPART_HOST, 0) + ":" + part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
}

// Status check of the two uploads.
CURLcode CCurlHelper::CheckUploadStatus() {
    long code = 0;
    CURLcode infoRet = curl_easy_getinfo(m_hCURL.get(), CURLINFO_RESPONSE_CODE, &code);
    if (infoRet != CURLE_OK || code < 200 || code > 299) {
        LOGF(5, "GetInfo Error Or Response Code Not In Range 200~300, Response Code:%d", static_cast<int>(code));
        return kInvalidParameterCode;
    }
    return CURLE_OK;
}

// ---- text requests ----

CurlOutcome CCurlHelper::Request_URL_GET(std::string_view szURL, int32_t timeout) {
    auto run = [&] {
        StartRequest();
        m_status = 200;
        RETURN_IF_FAILED(SetUrl(szURL));
        RETURN_IF_FAILED(SetHeaderList());
        RETURN_IF_FAILED(SetPostFields());
        RETURN_IF_FAILED(SetCommonTail(timeout));
        RETURN_IF_FAILED(SetHeaderCapture());
        RETURN_IF_FAILED(SetSecurity());
        RETURN_IF_FAILED(Perform());
        curl_easy_getinfo(m_hCURL.get(), CURLINFO_RESPONSE_CODE, &m_status);  // read result not checked
        return CURLE_OK;
    };
    return RunOperation(run, true,
                        [&] { LOGF(0, "Request_URL_GET Raise Exception! szURL = %s", OrNull(szURL).c_str()); });
}

CurlOutcome CCurlHelper::Request_URL_POST(std::string_view szURL, int32_t timeout) {
    auto run = [&] {
        StartRequest();
        RETURN_IF_FAILED(SetUrl(szURL));
        RETURN_IF_FAILED(SetOpt(CURLOPT_POST, 1L));
        RETURN_IF_FAILED(SetHeaderList());
        RETURN_IF_FAILED(SetPostFields());
        // Without fields the POST is empty; left alone, libcurl would read the body from stdin.
        if (m_postFields.empty()) RETURN_IF_FAILED(SetOpt(CURLOPT_POSTFIELDSIZE, 0L));
        RETURN_IF_FAILED(SetCommonTail(timeout));
        RETURN_IF_FAILED(SetHeaderCapture());
        RETURN_IF_FAILED(SetSecurity());
        return Perform();
    };
    return RunOperation(run, false,
                        [&] { LOGF(0, "Request_URL_POST Raise Exception! szURL = %s", OrNull(szURL).c_str()); });
}

// ---- uploads ----

namespace {
// Both uploads log this same text when they raise.
auto UploadRaiseLine(std::string_view url) {
    return [url] {
        HELPER_LOG(0, "*ASSERT*: 0");
        LOGF(0, "PostMutiForm Raise Exception! szURL = %s", OrNull(url).c_str());
    };
}

// Runs `fn` when the scope ends: detaches libcurl from objects about to be freed.
template <typename Fn>
struct OnExit {
    Fn fn;
    ~OnExit() { fn(); }
};
template <typename Fn>
OnExit(Fn) -> OnExit<Fn>;
}  // namespace

CURLcode CCurlHelper::DoPostFile(std::string_view url, std::string_view local, FilePtr& file, CurlSlistPtr& fresh,
                                 int32_t timeout) {
    StartRequest();
    file.reset(std::fopen(std::string(local).c_str(), "rb"));
    if (!file) {
        HELPER_LOG(5, "ERROR_CHECK_BOOL:NULL != reader.fp");
        return kFileFailed;
    }
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0) {
        HELPER_LOG(5, "ERROR_CHECK_BOOL:S_OK == hr");
        file.reset();
        return kFileFailed;
    }
    RETURN_IF_FAILED(SetFn(CURLOPT_READFUNCTION, &FileReader));
    RETURN_IF_FAILED(SetOpt(CURLOPT_READDATA, file.get()));
    RETURN_IF_FAILED(SetUrl(url));
    RETURN_IF_FAILED(SetHeaderList());
    // A fresh list switches off the Accept, Expect (100-continue) and Content-Type
    // headers; the caller's header lines are not sent with a raw file body.
    for (const char* line : {"Accept:", "Expect:", "Content-Type:"}) {
        curl_slist* appended = curl_slist_append(fresh.get(), line);
        if (!appended) throw std::bad_alloc();
        fresh.release();
        fresh.reset(appended);
    }
    RETURN_IF_FAILED(SetOpt(CURLOPT_HTTPHEADER, fresh.get()));
    // Post fields left on the handle by an earlier text POST would replace the file.
    RETURN_IF_FAILED(SetOpt(CURLOPT_POSTFIELDS, static_cast<const void*>(nullptr)));
    // The whole size: a low-32-bit length would corrupt uploads of 4 GiB and more.
    RETURN_IF_FAILED(SetOptOff(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(st.st_size)));
    RETURN_IF_FAILED(SetOpt(CURLOPT_POST, 1L));
    RETURN_IF_FAILED(SetCommonTail(timeout));
    RETURN_IF_FAILED(SetSecurity());
    RETURN_IF_FAILED(Perform());
    return CheckUploadStatus();
}

CurlOutcome CCurlHelper::PostFileBody(std::string_view szURL, std::string_view szLocal, int32_t timeout) {
    FilePtr file;
    CurlSlistPtr fresh;
    OnExit detach{[this] {
        if (!m_hCURL) return;
        curl_easy_setopt(m_hCURL.get(), CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
        curl_easy_setopt(m_hCURL.get(), CURLOPT_READDATA, static_cast<void*>(nullptr));
    }};
    return RunOperation([&] { return DoPostFile(szURL, szLocal, file, fresh, timeout); }, false,
                        UploadRaiseLine(szURL));
}

CURLcode CCurlHelper::DoForm(std::string_view url, CurlMimePtr& mime, int32_t timeout) {
    StartRequest();
    RETURN_IF_FAILED(SetUrl(url));
    RETURN_IF_FAILED(SetHeaderList());
    RETURN_IF_FAILED(SetOpt(CURLOPT_POST, 1L));
    RETURN_IF_FAILED(BuildForm(mime));
    if (!m_forms.empty())
        RETURN_IF_FAILED(SetOpt(CURLOPT_MIMEPOST, mime.get()));
    else  // no parts: an empty POST rather than a body read from stdin
        RETURN_IF_FAILED(SetOpt(CURLOPT_POSTFIELDSIZE, 0L));
    RETURN_IF_FAILED(SetCommonTail(timeout));
    RETURN_IF_FAILED(SetSecurity());
    RETURN_IF_FAILED(Perform());
    return CheckUploadStatus();
}

CurlOutcome CCurlHelper::PostMutiForm(std::string_view szURL, int32_t timeout) {
    CurlMimePtr mime;
    OnExit detach{[this] {
        if (m_hCURL) curl_easy_setopt(m_hCURL.get(), CURLOPT_MIMEPOST, static_cast<curl_mime*>(nullptr));
    }};
    return RunOperation([&] { return DoForm(szURL, mime, timeout); }, false, UploadRaiseLine(szURL));
}

// ---- download ----

CURLcode CCurlHelper::DoDownload(std::string_view url, std::string_view local, FilePtr& file, int32_t timeout) {
    m_status = 200;
    m_timeoutSec = timeout;
    m_recvBytes = 0;
    RETURN_IF_FAILED(SetUrl(url));
    RETURN_IF_FAILED(SetHeaderList());
    RETURN_IF_FAILED(SetPostFields());
    file.reset(std::fopen(std::string(local).c_str(), "wb"));
    if (!file) {
        HELPER_LOG(5, "ERROR_CHECK_BOOL:file");
        return kPrepFailed;
    }
    // Set explicitly: a body writer left from an earlier request on this handle
    // must never be handed the FILE.
    m_pDownload = file.get();
    RETURN_IF_FAILED(SetFn(CURLOPT_WRITEFUNCTION, &FileWriter));
    RETURN_IF_FAILED(SetOpt(CURLOPT_WRITEDATA, this));
    RETURN_IF_FAILED(SetOpt(CURLOPT_FOLLOWLOCATION, 1L));
    RETURN_IF_FAILED(SetOpt(CURLOPT_MAXREDIRS, 30L));  // a redirect loop ends instead of running to the time-out
    RETURN_IF_FAILED(SetOpt(CURLOPT_NOPROGRESS, 0L));
    RETURN_IF_FAILED(SetOpt(CURLOPT_XFERINFODATA, this));
    RETURN_IF_FAILED(SetFn(CURLOPT_XFERINFOFUNCTION, &ProgressFunction));
    RETURN_IF_FAILED(SetOpt(CURLOPT_TIMEOUT, static_cast<long>(timeout)));
    RETURN_IF_FAILED(SetOpt(CURLOPT_CONNECTTIMEOUT, kConnectTimeout));
    RETURN_IF_FAILED(SetSecurity());
    RETURN_IF_FAILED(Perform());
    long code = 0;
    if (curl_easy_getinfo(m_hCURL.get(), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        HELPER_LOG(0, "*ASSERT*: !L\"CCurlHelper::SimpleDownLoadFile Failed!\"");
        return kInvalidParameterCode;
    }
    m_status = code;
    return CURLE_OK;
}

CurlOutcome CCurlHelper::SimpleDownLoadFile(std::string_view szURL, std::string_view szLocal, int32_t timeout) {
    FilePtr file;
    OnExit detach{[this] {
        // The FILE closes here; the handle must not keep a pointer to it.
        m_pDownload = nullptr;
        if (!m_hCURL) return;
        curl_easy_setopt(m_hCURL.get(), CURLOPT_WRITEFUNCTION, static_cast<curl_write_callback>(nullptr));
        curl_easy_setopt(m_hCURL.get(), CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    }};
    auto run = [&] {
        CURLcode curlRet = DoDownload(szURL, szLocal, file, timeout);
        m_pDownload = nullptr;
        // Bytes still buffered are lost when the close fails.
        if (file && std::fclose(file.release()) != 0 && curlRet == CURLE_OK) curlRet = CURLE_WRITE_ERROR;
        return curlRet;
    };
    return RunOperation(run, true, [&] {
        LOGF(0, "SimpleDownLoadFile Raise Exception! szURL = %s, szLocal = %s", OrNull(szURL).c_str(),
             OrNull(szLocal).c_str());
    });
}

// ---- callbacks ----

bool CCurlHelper::PaceReceive(size_t bytes) {
    if (m_recvCap <= 0) return true;
    using namespace std::chrono;
    auto now = steady_clock::now();
    if (m_recvBytes == 0) m_recvStart = now;  // the first bytes start the clock
    m_recvBytes += static_cast<int64_t>(bytes);
    auto due = m_recvStart + microseconds(m_recvBytes * 1000000 / m_recvCap);
    while (now < due) {
        if (m_cancel.load() != 0) return false;  // short naps keep a cancel prompt
        std::this_thread::sleep_for(std::min<steady_clock::duration>(due - now, milliseconds(50)));
        now = steady_clock::now();
    }
    return true;
}

size_t CCurlHelper::FileWriter(char* data, size_t size, size_t count, void* p) {
    auto* self = static_cast<CCurlHelper*>(p);
    if (!self->m_pDownload || !self->PaceReceive(size * count)) return 0;
    return std::fwrite(data, size, count, self->m_pDownload) * size;
}

size_t CCurlHelper::BodyWriter(char* data, size_t size, size_t count, void* p) {
    auto* self = static_cast<CCurlHelper*>(p);
    if (!self->PaceReceive(size * count)) return 0;
    if (self->m_body.size() + size * count > kMaxAnswerBytes) {
        LOGF(5, "Answer refused: more than %zu bytes", kMaxAnswerBytes);
        self->m_answerTooLarge = true;
        std::string().swap(self->m_body);  // give the memory back at once
        return 0;
    }
    try {
        self->m_body.append(data, size * count);
        return size * count;
    } catch (...) {
        self->m_callbackFailed = true;
        return 0;
    }
}

size_t CCurlHelper::HeaderWriter(char* data, size_t size, size_t count, void* p) {
    auto* self = static_cast<CCurlHelper*>(p);
    try {
        self->m_headerText.append(data, size * count);
        return size * count;
    } catch (...) {
        self->m_callbackFailed = true;
        return 0;
    }
}

int CCurlHelper::ProgressFunction(void* p, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow) {
    auto* self = static_cast<CCurlHelper*>(p);
    self->m_lastFigures[0] = dlTotal;
    self->m_lastFigures[1] = dlNow;
    self->m_lastFigures[2] = ulTotal;
    self->m_lastFigures[3] = ulNow;
    if (self->m_pfnHook) {
        try {
            self->m_pfnHook(self->m_pHookData, static_cast<double>(dlTotal), static_cast<double>(dlNow),
                            static_cast<double>(ulTotal), static_cast<double>(ulNow));
        } catch (...) {
            // Exceptions must not cross libcurl; the operation reports it instead.
            self->m_callbackFailed = true;
            return 1;
        }
    }
    return self->m_cancel.load();
}

RetryStep WaitBeforeRetry(CCurlHelper& helper, RetryPolicy& policy, CurlOutcome outcome,
                          const std::function<bool()>& stillWanted) {
    const AttemptFailure& attempt = helper.LastAttempt();
    const bool badStatus = attempt.status == 429 || attempt.status >= 500;
    if ((outcome == CurlOutcome::Ok && !badStatus) || outcome == CurlOutcome::Cancelled) return RetryStep::Stop;
    auto wait = policy.NextWait(attempt);
    if (!wait) return RetryStep::Stop;
    LOGF(5, "Retrying network request (%d of %d) in %lld ms after: %s", policy.RetriesDone(), policy.ExtraAttempts(),
         static_cast<long long>(wait->count()), helper.LastCause().c_str());
    return CancellableWait(*wait, stillWanted) ? RetryStep::Retry : RetryStep::Cancelled;
}
