// CurlWrapper: the throwing transfer layer of the block engine. Every outcome of
// the request helper becomes an exception of the EXCEPT family; the three request
// functions bundle request counting, connection settings, header text and post
// fields with one transfer each.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/exceptions.h"
#include "common/hresult.h"
#include "httpclient/curl_helper.h"

class CurlWrapper : public CCurlHelper {
public:
    // Plain wrapper: handle created, no progress reporting.
    CurlWrapper();
    // Wrapper that reports progress (with the current speed) to `callback`; a
    // callback answering E_FAIL stops the transfer, which then raises TaskCancel.
    CurlWrapper(ProgressCallback callback, void* callbackData);

    // Also the text requests made meanwhile report to `callback` (steadily:
    // see CCurlHelper::Multi); null stops the reports.
    void SetProgressCallback(ProgressCallback callback, void* callbackData) {
        m_pfnCallback = callback;
        m_pCallbackData = callbackData;
        SetProgressHook(callback ? &CurlWrapper::TransferProgress : nullptr, this);
    }

    // Reads one transfer value; raises EXCEPT::CurlUnknownError on failure.
    template <typename T>
    void GetInfo(CURLINFO info, T* value);
    // Sets one option; raises EXCEPT::CurlUnknownError on failure.
    template <typename T>
    void SetOpt(CURLoption option, T value);

    void RequestPost(std::string_view url);                                 // time limit 60 s
    void PostFile(std::string_view url, std::string_view local);            // time limit 1200 s
    void SimpleDownloadFile(std::string_view url, std::string_view local);  // time limit 1200 s
    std::string GetResponseString() { return GetResponseText(); }

    // After an attempt that ended with `outcome`: true when the policy grants
    // another attempt; the backoff has then been waited (one log line with the
    // cause). A cancel during the wait raises EXCEPT::TaskCancel at once.
    bool RetryAfter(RetryPolicy& policy, CurlOutcome outcome, std::string_view origin);

private:
    static void TransferProgress(void* self, double dlTotal, double dlNow, double ulTotal, double ulNow);

    ProgressCallback m_pfnCallback = nullptr;
    void* m_pCallbackData = nullptr;

    friend class BlockRequest;
    // The last progress figures, repeated to the callback while a retry waits.
    double m_lastProgress[4] = {};
};

// Raises the exception for a helper outcome (nothing for Ok).
void RaiseForOutcome(CurlOutcome outcome, std::string_view origin);

[[noreturn]] void RaiseCurlFailure(std::string_view origin);

template <typename T>
void CurlWrapper::GetInfo(CURLINFO info, T* value) {
    CURLcode curlRet = curl_easy_getinfo(Handle(), info, value);
    if (curlRet != CURLE_OK) {
        LogCurlOptionFailure();
        RaiseCurlFailure("CurlWrapper::GetInfo");
    }
}

template <typename T>
void CurlWrapper::SetOpt(CURLoption option, T value) {
    CURLcode curlRet = curl_easy_setopt(Handle(), option, value);
    if (curlRet != CURLE_OK) {
        LogCurlOptionFailure();
        RaiseCurlFailure("CurlWrapper::SetOpt");
    }
}

// The three request functions send the request again after a transient fault
// (see RetryPolicy; `kind` says whether a repeat is harmless), up to
// "[Tavik] NetworkRetries" times.

// Text POST of `postData` with the header lines of `header` ("&"-joined, UTF-8).
// Returns the answer text; any status counts as an answer (a 5xx or 429 answer
// of a repeatable request is first retried).
std::string HttpRequestPost(CurlWrapper& wrapper, std::string_view url, std::string_view header,
                            std::string_view postData, RequestKind kind = RequestKind::Repeatable);
// Form POST of `postData` whose answer body streams into `local` (folders are
// created); redirects are followed and the final status must be 200.
void HttpDownloadFile(CurlWrapper& wrapper, std::string_view url, std::string_view local, std::string_view header,
                      std::string_view postData);
// Raw upload of `local` as the whole body; the status must be 200..299.
std::string HttpUploadFile(CurlWrapper& wrapper, std::string_view url, std::string_view local, std::string_view header);

// ---- block requests from and into memory ----
//
// The block engine's requests run on the caller's thread through a multi
// handle the wrapper keeps (so connections are reused between blocks). The
// progress callback runs at least every 100 ms whatever libcurl does, also
// while a speed cap holds the transfer back, so a cancel lands promptly. The
// caps are paced here (pause and resume), not by libcurl, whose pacing starves
// its own progress function.
struct BlockPace {
    int32_t sendCap = 0;  // bytes per second, 0 = none
    int32_t recvCap = 0;
    ProxySnapshot proxy;
    int retries = 3;  // "[Tavik] NetworkRetries" (ReadNetworkRetries)
};

// The caps of the block transfers (SpeedCaps and the "UploadSpeed" and
// "DownloadSpeed" settings), the proxy settings and the retry count, read once
// per transfer.
BlockPace ReadBlockPace();

// Raw POST of `body` as the whole request body: the wire is that of
// HttpUploadFile. The status must be 200..299; returns the answer text.
// Raises as HttpUploadFile (origin "CurlWrapper::PostFile").
std::string HttpUploadBuffer(CurlWrapper& wrapper, std::string_view url, const uint8_t* body, size_t size,
                             const BlockPace& pace);

// Form POST of `postData` whose answer body is received into `out`: the wire
// is that of HttpDownloadFile. At most `limit` bytes are accepted; a longer
// answer stops at once and returns false (nothing past `limit` is kept).
// Raises as HttpDownloadFile (origin "CurlWrapper::SimpleDownloadFile").
bool HttpDownloadBuffer(CurlWrapper& wrapper, std::string_view url, std::string_view header, std::string_view postData,
                        size_t limit, std::vector<uint8_t>& out, const BlockPace& pace);
