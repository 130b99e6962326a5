#include "settings/curlapi.h"

#include "engine/lazylibrary.h"

namespace veltrin {

const CurlApi* Curl(std::string* error) {
    // The library the program was built against (the package depends on it).
    return OpenOnce<CurlApi>(
        "libcurl.so.4",
        [](LazyLibrary& library, CurlApi& a) {
            return library.Bind("curl_global_init", a.global_init) && library.Bind("curl_easy_init", a.easy_init) &&
                   library.Bind("curl_easy_setopt", a.easy_setopt) &&
                   library.Bind("curl_easy_perform", a.easy_perform) &&
                   library.Bind("curl_easy_cleanup", a.easy_cleanup) &&
                   library.Bind("curl_easy_strerror", a.easy_strerror) &&
                   library.Bind("curl_slist_append", a.slist_append) &&
                   library.Bind("curl_slist_free_all", a.slist_free_all);
        },
        [](const CurlApi& a) {
            return a.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK ? std::string()
                                                                  : std::string("libcurl could not be initialised");
        },
        error);
}

}  // namespace veltrin
