// CCurlHelper: a stateful wrapper over one libcurl easy handle. A caller resets
// it, applies the connection settings, queues header lines, post fields or form
// parts, runs one request operation and reads the answer back. Operations return
// a CurlOutcome, never throw, and log their failures.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "common/hresult.h"
#include "httpclient/connection_pool.h"
#include "httpclient/curl_handles.h"
#include "httpclient/retry_policy.h"

// Largest text answer (XML, JSON, key=value) taken, before and after inflation:
// far above any real answer, small enough that a hostile one cannot exhaust memory.
inline constexpr size_t kMaxAnswerBytes = size_t{32} << 20;

// Writes "ERROR_CHECK_BOOL:curlRet == CURLE_OK" (level 5).
void LogCurlOptionFailure();

// Result of every request operation. The transport object turns it into a
// result value (CTransport::MapOutcome), the block engine into an exception
// (RaiseForOutcome).
enum class CurlOutcome : int32_t {
    Ok = 0,
    Timeout = 1,                              // libcurl time-out, or a GET/download answered 504
    Cancelled = 2,                            // aborted through the cancel flag or the progress function
    ConnectFailed = 3,                        // proxy or host not resolved, or no connection
    NetworkFailure = 4,                       // any other failure; uploads also for a status outside 200..299
    LocalFileUnreadable = 5,                  // PostFileBody: the local file cannot be opened or measured
    ServerErrorStatus = (int32_t)0x80041011,  // GET and download: status not 200 (E_OV_SERVER_ERROR)
};

// Form option numbers of libcurl's classic form interface; a FormField keeps them
// so callers can say what a part is. Only these values are understood.
enum FormOption : int32_t {
    FormNone = 0,
    FormCopyName = 1,
    FormCopyContents = 4,
    FormContentsLength = 6,
    FormFile = 10,
    FormContentType = 14,
    FormFilename = 16,
};

// One queued multipart part.
struct FormField {
    int32_t nameOption = FormCopyName;
    std::string name;
    int32_t contentOption = FormCopyContents;  // FormCopyContents (literal) or FormFile (path)
    std::string content;
    int32_t extraOption = FormNone;  // optional FormContentType or FormFilename
    std::string extra;
};

// Called on every progress tick with (data, dlTotal, dlNow, ulTotal, ulNow).
// It may throw: the request operation then ends as if it had raised.
using ProgressHook = void (*)(void* data, double dlTotal, double dlNow, double ulTotal, double ulNow);

class CCurlHelper {
public:
    CCurlHelper() = default;
    virtual ~CCurlHelper() = default;
    CCurlHelper(const CCurlHelper&) = delete;
    CCurlHelper& operator=(const CCurlHelper&) = delete;

    // Creates the easy handle when there is none and sets NOSIGNAL; the handle
    // joins the connection pool of the thread's open ConnectionScope. 1 on success.
    int InitHandle();
    // Light reset: cancel flag, body and response text. Full reset additionally
    // resets every libcurl option and clears header text, header lines, post
    // fields and form fields.
    void Reset(bool full);

    // Queue one request header line "Name:value" (an "&" inside splits it).
    // A null view (default-constructed) is rejected with an assertion line.
    void AddHeader(std::string_view szHeader);
    // Queue one already form-encoded "key=value" post field.
    void AddPostField(std::string_view szPostField);
    // Queue one multipart part: contentOption is FormCopyContents or FormFile.
    void AddFormField(int32_t contentOption, std::string_view name, std::string_view content);

    // Sets one libcurl option; S_OK or E_FAIL (logged). T must be the exact
    // argument type libcurl expects for the option (long, curl_off_t, pointer).
    template <typename T>
    HRESULT SetOption(CURLoption option, T value);
    // Non-zero caps become MAX_SEND_SPEED_LARGE / MAX_RECV_SPEED_LARGE.
    HRESULT SetSpeedLimit(int32_t sendCap, int32_t recvCap);

    CurlOutcome Request_URL_GET(std::string_view szURL, int32_t timeout);
    CurlOutcome Request_URL_POST(std::string_view szURL, int32_t timeout);
    // LocalFileUnreadable when the file cannot be opened or measured.
    CurlOutcome PostFileBody(std::string_view szURL, std::string_view szLocal, int32_t timeout);
    CurlOutcome PostMutiForm(std::string_view szURL, int32_t timeout);
    CurlOutcome SimpleDownLoadFile(std::string_view szURL, std::string_view szLocal, int32_t timeout);

    // The answer body as text (inflated when the answer announced gzip), cut at
    // the first zero byte. Valid until the next reset. An answer beyond
    // kMaxAnswerBytes (as received or inflated) is dropped with one log line and
    // reads as empty, which every caller already treats as a bad answer.
    const std::string& GetResponseText();
    bool IsGzipResponse() const;
    // The same text handed over: the helper keeps neither it nor the body, so a
    // large answer lives in one copy only. GetResponseText is empty afterwards.
    std::string TakeResponseText();
    // True when the last answer was dropped for its size.
    bool AnswerTooLarge() const { return m_answerTooLarge; }

    // Asks the transfer in flight to stop at its next progress tick. Any thread.
    void Cancel() { m_cancel.exchange(1); }
    bool IsCancelled() const { return m_cancel.load() != 0; }
    void SetProgressHook(ProgressHook hook, void* data) {
        m_pfnHook = hook;
        m_pHookData = data;
    }

    CURL* Handle() const { return m_hCURL.get(); }
    // The multi handle through which requests with a progress hook run (made on
    // first use, null when libcurl cannot make one); its connection cache
    // outlives each request.
    CURLM* Multi();
    // Runs the prepared request on Multi() until it ends. `step` runs between
    // polls of the socket: it may tick, pace or resume the transfer, sets the
    // next poll's wait in milliseconds (0 = poll again at once) and answers false
    // to stop the transfer (CURLE_ABORTED_BY_CALLBACK). Without a multi handle,
    // CURLE_FAILED_INIT.
    CURLcode RunOnMulti(const std::function<bool(int& waitMs)>& step);
    const std::string& Body() const { return m_body; }
    const std::string& HeaderText() const { return m_headerText; }
    const std::string& HeaderLines() const { return m_headerLines; }
    const std::string& PostFields() const { return m_postFields; }
    const std::vector<FormField>& FormFields() const { return m_forms; }
    // The status the last text GET or download read (200 when none was read).
    long Status() const { return m_status; }
    // How the last request operation ended on the wire (any operation).
    const AttemptFailure& LastAttempt() const { return m_lastAttempt; }
    // A short cause of the last failed operation ("connection refused (host:port)"),
    // empty after a success.
    const std::string& LastCause() const { return m_lastCause; }

    // For requests driven outside the operations above (the block engine's own
    // loop): the security options, and the record of how an attempt ended, so
    // that retries, failure lines and causes work the same for them.
    CURLcode ApplySecurity() { return SetSecurity(); }
    void BeginOwnAttempt(std::string_view url, int32_t timeoutSec);
    void EndOwnAttempt(CURLcode curlRet, CurlOutcome outcome);
    // How a transfer ended: `status` is judged (200 only, 504 = Timeout) when
    // `statusChecked`; a failure the rules do not name is logged.
    CurlOutcome Outcome(CURLcode curlRet, long status, bool statusChecked);

private:
    CURLcode SetOpt(CURLoption option, long value);
    CURLcode SetOpt(CURLoption option, const void* value);
    CURLcode SetOptOff(CURLoption option, curl_off_t value);
    template <typename Fn>
    CURLcode SetFn(CURLoption option, Fn fn);
    bool _SetHttpHeader();
    bool _SetHttpPostField();
    CURLcode SetCommonTail(int32_t timeout);
    CURLcode SetSecurity();
    CURLcode BuildForm(CurlMimePtr& mime);
    void EndRequest();
    bool TakeCallbackFailure();

    // Runs one request operation: exceptions (also those caught in callbacks) are
    // logged by `logRaise` and end it as kInvalidParameterCode
    // (a NetworkFailure); the header list is freed always.
    template <typename Run, typename LogRaise>
    CurlOutcome RunOperation(Run run, bool statusChecked, LogRaise logRaise);
    void StartRequest();  // handle check and light reset
    CURLcode SetUrl(std::string_view url);
    CURLcode SetHeaderList();
    CURLcode SetPostFields();
    CURLcode SetHeaderCapture();
    CURLcode Perform();
    CURLcode PerformTicking();
    CURLcode CheckUploadStatus();

    CURLcode DoPostFile(std::string_view url, std::string_view local, FilePtr& file, CurlSlistPtr& fresh,
                        int32_t timeout);
    CURLcode DoForm(std::string_view url, CurlMimePtr& mime, int32_t timeout);
    CURLcode DoDownload(std::string_view url, std::string_view local, FilePtr& file, int32_t timeout);

    // Holds the transfer back to the receive cap; false when cancelled meanwhile.
    bool PaceReceive(size_t bytes);
    static size_t BodyWriter(char* data, size_t size, size_t count, void* self);
    static size_t FileWriter(char* data, size_t size, size_t count, void* self);
    static size_t HeaderWriter(char* data, size_t size, size_t count, void* self);
    static int ProgressFunction(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow);

    // Declared before the handle: the handle must leave the pool before it closes.
    std::shared_ptr<ConnectionPool> m_pool;
    struct MultiCleanup {
        void operator()(CURLM* m) const { curl_multi_cleanup(m); }
    };
    std::unique_ptr<CURLM, MultiCleanup> m_multi;
    curl_off_t m_lastFigures[4] = {};  // the progress figures libcurl reported last
    std::string m_body;
    std::string m_headerText;
    CurlEasyPtr m_hCURL;
    ProgressHook m_pfnHook = nullptr;
    void* m_pHookData = nullptr;
    std::string m_response;
    std::string m_headerLines;
    std::string m_postFields;
    std::vector<FormField> m_forms;
    std::atomic<int32_t> m_cancel{0};
    CurlSlistPtr m_plist;
    // Set by a callback that caught an exception; libcurl frames cannot unwind.
    bool m_callbackFailed = false;
    bool m_answerTooLarge = false;
    long m_status = 200;
    // Receive pacing of our own besides MAX_RECV_SPEED_LARGE: libcurl 7.88 does not
    // hold back a body that arrives faster than its receive cap.
    int64_t m_recvCap = 0;
    int64_t m_recvBytes = 0;
    std::chrono::steady_clock::time_point m_recvStart;
    std::FILE* m_pDownload = nullptr;
    std::string m_urlCopy;      // NUL-terminated copy of the URL in flight
    int32_t m_timeoutSec = 0;   // overall limit of the request in flight
    std::string m_caFile;       // "[Tavik] CaFile": a CA bundle trusted besides the system store
    bool m_caFileRead = false;  // m_caFile is read at the helper's first security setup
    AttemptFailure m_lastAttempt;
    std::string m_lastCause;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};

    void RecordAttempt(CURLcode curlRet);
    static CURLcode AddExtraCa(CURL* curl, void* sslCtx, void* self);
    void DescribeFailure(CurlOutcome outcome);
};

// "host:port" of a URL (default port by scheme); never user, password or query.
std::string UrlHostPort(std::string_view url);

template <typename T>
HRESULT CCurlHelper::SetOption(CURLoption option, T value) {
    // Without a handle libcurl refuses the option, which is logged like any failure.
    CURLcode curlRet = curl_easy_setopt(m_hCURL.get(), option, value);
    if (curlRet != CURLE_OK) {
        LogCurlOptionFailure();
        return E_FAIL;
    }
    return S_OK;
}

template <typename Fn>
CURLcode CCurlHelper::SetFn(CURLoption option, Fn fn) {
    CURLcode curlRet = curl_easy_setopt(m_hCURL.get(), option, fn);
    if (curlRet != CURLE_OK) LogCurlOptionFailure();
    return curlRet;
}

// Process-wide send and receive caps (bytes per second) for the block transfers.
struct SpeedCaps {
    int32_t upload = 307200;
    int32_t download = 307200;
    static const SpeedCaps& Instance();
};

// Full reset, then proxy from the registry: 1 or absent = system proxy (none set
// when it is off, or an empty PROXY when emptyWhenNoSystemProxy), 2 HTTP, 3 SOCKS4,
// 4 SOCKS5, anything else no proxy at all. S_OK or E_FAIL (first option that failed).
HRESULT ApplyProxySettings(CCurlHelper& helper, bool emptyWhenNoSystemProxy);
// Full reset, proxy and the given caps (0 = none). A proxy option that cannot be
// set raises EXCEPT::CurlUnknownError ("CurlWrapper::SetOpt").
void ApplyConnectionSettings(CCurlHelper& helper, int32_t sendCap, int32_t recvCap);
// As above with the caps of the block transfers: the smaller of SpeedCaps and the
// "UploadSpeed"/"DownloadSpeed" settings.
void ApplyConnectionSettings(CCurlHelper& helper);

// The proxy settings (registry and system proxy) read once, for the many
// requests of one transfer.
struct ProxySnapshot {
    std::string ip, port, user, password;
    uint32_t type = static_cast<uint32_t>(-1);
    bool systemEnabled = false;
    std::string systemHost, systemPort;
};
ProxySnapshot ReadProxySnapshot();
// ApplyConnectionSettings with proxy settings read before.
void ApplyConnectionSettings(CCurlHelper& helper, const ProxySnapshot& proxy, int32_t sendCap, int32_t recvCap);

// Appends the "&"-joined header lines of `lines` to `list`, each piece as one
// line. False when libcurl cannot append one (`list` keeps those before it).
bool AppendHeaderLines(CurlSlistPtr& list, std::string_view lines);

// After a failed attempt on `helper` (`outcome` as its operation returned):
// Stop when the answer is good, the transfer was cancelled or the failure is
// final; otherwise logs the retry and waits the backoff, calling `stillWanted`
// between slices (false = the caller cancelled: Cancelled), and answers Retry.
enum class RetryStep { Stop, Retry, Cancelled };
RetryStep WaitBeforeRetry(CCurlHelper& helper, RetryPolicy& policy, CurlOutcome outcome,
                          const std::function<bool()>& stillWanted);
