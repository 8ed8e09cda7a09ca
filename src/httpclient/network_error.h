// The cause of the last network failure on this thread, in a few words for the
// user ("connection refused (127.0.0.1:1)", "HTTP 503 from 127.0.0.1:18750").
#pragma once

#include <string>
#include <string_view>

void SetThreadNetworkError(std::string_view cause);
void ClearThreadNetworkError();
const std::string& ThreadNetworkError();
