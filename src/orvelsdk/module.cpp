// Module start-up and shut-down of liborvelsdk.so: the shared-library
// constructor plays the part of process attach.
#include <curl/curl.h>

#include "log/log.h"

namespace {

// libcurl's global state comes up once, before any export can run, and goes
// down when the library is unloaded.
struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CurlGlobal() { curl_global_cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

CurlGlobal g_curlGlobal;

__attribute__((constructor)) void OrvelModuleAttach() {
    try {
        // Log folder beside the module, log name "sdkrd.log"; a failure only
        // costs the log, never the load.
        LogAttachModule();
    } catch (...) {}
}

}  // namespace
