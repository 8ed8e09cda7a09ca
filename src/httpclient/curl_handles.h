// Owning handles for the libcurl and C stdio objects the HTTP client uses.
#pragma once

#include <cstdio>
#include <memory>

#include <curl/curl.h>

struct CurlEasyCleanup {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct CurlSlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct CurlMimeFree {
    void operator()(curl_mime* m) const { curl_mime_free(m); }
};
struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistFree>;
using CurlMimePtr = std::unique_ptr<curl_mime, CurlMimeFree>;
using FilePtr = std::unique_ptr<std::FILE, FileClose>;
