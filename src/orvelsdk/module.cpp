// Module start-up and shut-down of liborvelsdk.so: the shared-library
// constructor plays the part of process attach. libcurl's global state is
// the http client's (one static object there, up before any export can run).
#include "log/log.h"

namespace {

__attribute__((constructor)) void OrvelModuleAttach() {
    try {
        // Log folder beside the module, log name "sdkrd.log"; a failure only
        // costs the log, never the load.
        LogAttachModule();
    } catch (...) {}
}

}  // namespace
