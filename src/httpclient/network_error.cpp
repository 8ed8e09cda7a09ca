#include "httpclient/network_error.h"

namespace {
// Per thread: each export call runs wholly on its caller's thread.
thread_local std::string t_cause;
}  // namespace

void SetThreadNetworkError(std::string_view cause) { t_cause.assign(cause); }
void ClearThreadNetworkError() { t_cause.clear(); }
const std::string& ThreadNetworkError() { return t_cause; }
