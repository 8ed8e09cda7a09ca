#include "orvelsdk/sdk_util.h"

#include <sys/stat.h>

#include "httpclient/network_error.h"
#include "log/log.h"
#include "platform/bstr.h"
#include "platform/strings.h"

void LogExportException(const char* exportName, const char* what) noexcept {
    try {
        LOGF(0, "%s: exception stopped at the export: %s", exportName, what);
    } catch (...) {
        // Logging must not be the thing that lets an exception escape.
    }
}

UniqueBstr MakeBstr(std::string_view utf8) {
    BSTR s = BstrFromUtf8(utf8);
    if (s == nullptr) throw std::bad_alloc();
    return UniqueBstr(s);
}

std::string ArgText(const char16_t* text) { return Utf16ToUtf8(text); }

bool IsStrEmpty(const char16_t* text) { return text == nullptr || text[0] == 0; }

bool PathFileExistsW(const char16_t* path) {
    if (IsStrEmpty(path)) return false;
    struct stat st {};
    return ::stat(Utf16ToUtf8(path).c_str(), &st) == 0;
}

StorageRef::~StorageRef() {
    if (m_p != nullptr) m_p->Release();
}

void ClearLastFailureCause() noexcept { ClearThreadNetworkError(); }

HRESULT OpenStorage(StorageRef& storage) {
    HRESULT hr = CreateRemoteStorage(storage.Receive());
    if (!ERROR_CHECK_COM(hr)) return hr;
    hr = storage->Initialize();
    if (!ERROR_CHECK_COM(hr)) return hr;
    return hr;
}
