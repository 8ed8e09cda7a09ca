// Helpers shared by the export shims: the exception barrier, out-strings,
// the remote-storage reference and the argument tests.
#pragma once

#include <orvelsdk/orvelsdk.h>

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "remotestorage/remote_storage.h"

// Runs an export's body; nothing thrown leaves it. Memory exhaustion becomes
// E_OUTOFMEMORY, anything else E_FAIL (both logged).
template <class Body>
HRESULT GuardExport(const char* exportName, Body&& body) noexcept;

void LogExportException(const char* exportName, const char* what) noexcept;

// Forgets this thread's last network failure cause (ORVEL_GetLastErrorText).
void ClearLastFailureCause() noexcept;

// GuardExport for an export that may call the service: the cause of an
// earlier call's failure is forgotten first, whatever this call returns.
template <class Body>
HRESULT GuardServiceExport(const char* exportName, Body&& body) noexcept {
    ClearLastFailureCause();
    return GuardExport(exportName, std::forward<Body>(body));
}

template <class Body>
HRESULT GuardExport(const char* exportName, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        LogExportException(exportName, "out of memory");
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        LogExportException(exportName, e.what());
        return E_FAIL;
    } catch (...) {
        LogExportException(exportName, "unknown exception");
        return E_FAIL;
    }
}

// Owns a BSTR until it is handed to the caller.
struct BstrDeleter {
    void operator()(char16_t* p) const noexcept { SysFreeString(p); }
};
using UniqueBstr = std::unique_ptr<char16_t, BstrDeleter>;

// A new BSTR copy of UTF-8 text (empty text gives an allocated empty string).
// Throws std::bad_alloc when the string cannot be allocated.
UniqueBstr MakeBstr(std::string_view utf8);

// Inputs: a null pointer is the empty string.
std::string ArgText(const char16_t* text);
bool IsStrEmpty(const char16_t* text);
// True when the path names an existing file or folder.
bool PathFileExistsW(const char16_t* path);

// One reference on a remote-storage object, released on scope exit.
class StorageRef {
public:
    StorageRef() = default;
    StorageRef(const StorageRef&) = delete;
    StorageRef& operator=(const StorageRef&) = delete;
    ~StorageRef();
    IRemoteStorage* operator->() const { return m_p; }
    IRemoteStorage** Receive() { return &m_p; }

private:
    IRemoteStorage* m_p = nullptr;
};

// Steps 1 and 2 of the call pattern: create the object and initialise it.
// Failures write "ERROR_CHECK_COM hr = %x: hr" and return the result.
HRESULT OpenStorage(StorageRef& storage);
