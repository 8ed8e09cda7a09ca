// The transport object: one HTTP transfer at a time over a CCurlHelper, with
// progress reporting, cancellation from another thread and per-object speed caps.
// The remote-storage object creates a fresh one for every service request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/hresult.h"

enum class RequestKind;  // httpclient/retry_policy.h

// Texts are UTF-8. Optional inputs ("may be null") are `const std::string*`;
// a null pointer means "not given". Answer texts are written into
// `std::optional<std::string>*`: the answer body on S_OK, std::nullopt on any
// failure. A null out pointer is allowed (the answer is then dropped).
//
// Slot order after QueryInterface (not provided here) is fixed:
//   1 AddRef, 2 Release, 3 SetCallback, 4 Request, 5 DownloadFile,
//   6 PostMultiForm, 7 PostFile, 8 Cancel, 9 SetSpeedLimit, 10 destroy
//   (the protected virtual destructor, run by Release at reference count 0),
//   then SetRequestKind.
class ITransport {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

    // Installs the caller's progress callback (null removes it). A callback
    // answering E_FAIL stops the transfer in flight at that tick.
    virtual HRESULT SetCallback(ProgressCallback callback, void* context) = 0;

    // Text request: a POST of `post` when given, otherwise a GET. `header` holds
    // header lines joined by "&" ("" = none). `timeLimit` in seconds, 0 = no
    // overall limit. `reserved` is not read (callers pass 1).
    // Results: S_OK, E_OV_NETWORK_TIMEOUT, E_OV_CANCELLED, E_OV_NETWORK_UNREACHABLE,
    // E_OV_NETWORK_ERROR, and E_OV_SERVER_ERROR for a GET answered with a status
    // other than 200.
    virtual HRESULT Request(const std::string& url, const std::string& header, const std::string* post,
                            std::optional<std::string>* response, int32_t timeLimit, int32_t reserved) = 0;

    // Download into `local` (folders created first; E_FAIL when `local` is empty).
    // Redirects are followed; any final status but 200 gives E_OV_SERVER_ERROR.
    virtual HRESULT DownloadFile(const std::string& url, const std::string& local, const std::string& header,
                                 const std::string* post, int32_t timeLimit) = 0;

    // Multipart upload: every "k=v" pair of `form` ("&"-joined) becomes a text part,
    // then `local` is attached as the file part "FileCont". Status must be 200..299.
    virtual HRESULT PostMultiForm(const std::string& url, const std::string& local, const std::string& header,
                                  const std::string& form, std::optional<std::string>* response, int32_t timeLimit) = 0;

    // Raw upload: the file is the whole request body. Status must be 200..299.
    // `reserved` is not read.
    virtual HRESULT PostFile(const std::string& url, const std::string& local, const std::string& header,
                             int32_t reserved, std::optional<std::string>* response, int32_t timeLimit) = 0;

    // Asks the transfer in flight (possibly on another thread) to stop at its next
    // progress tick; it then ends with E_OV_CANCELLED.
    virtual HRESULT Cancel() = 0;

    // Send and receive caps in bytes per second (0 = none), used from the next transfer on.
    virtual HRESULT SetSpeedLimit(int32_t uploadCap, int32_t downloadCap) = 0;

protected:
    virtual ~ITransport() = default;

public:
    // Whether a text request may be sent again after any transient fault
    // (Repeatable) or only when it never reached the service (the default).
    // An implementation that does not retry may ignore it.
    virtual void SetRequestKind(RequestKind) {}
};

// Creates a transport object with reference count 1; its speed caps start as the
// "UploadSpeed" and "DownloadSpeed" settings. E_POINTER for a null `pp`, E_FAIL
// when the object cannot be made.
HRESULT CreateTransport(ITransport** pp);

// The factory's type, as held by the remote-storage object (tests may swap it).
using TransportFactory = HRESULT (*)(ITransport** pp);

// Owning pointer that releases its reference.
struct TransportRelease {
    void operator()(ITransport* p) const {
        if (p) p->Release();
    }
};
using TransportPtr = std::unique_ptr<ITransport, TransportRelease>;
