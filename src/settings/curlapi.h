// libcurl, opened when the first mail goes out instead of at every start of the program: with
// its TLS and protocol libraries it costs a start more than the window's other libraries.
#pragma once

#include <curl/curl.h>

#include <string>

namespace veltrin {

struct CurlApi {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_perform) easy_perform = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;
};

// The library's functions, opened and initialised once (any thread); null when it cannot be
// opened, and `error` (when given) then says why.
const CurlApi* Curl(std::string* error = nullptr);

}  // namespace veltrin
