#include "settings/curlapi.h"

#include <mutex>

#include "engine/lazylibrary.h"

namespace veltrin {

namespace {

struct Loaded {
    CurlApi api;
    bool ok = false;
    std::string error;
};

Loaded Load() {
    Loaded loaded;
    // The library the program was built against (the package depends on it).
    LazyLibrary library("libcurl.so.4");
    CurlApi& a = loaded.api;
    const bool all = library.ok() && library.Bind("curl_global_init", a.global_init) &&
                     library.Bind("curl_easy_init", a.easy_init) && library.Bind("curl_easy_setopt", a.easy_setopt) &&
                     library.Bind("curl_easy_perform", a.easy_perform) &&
                     library.Bind("curl_easy_cleanup", a.easy_cleanup) &&
                     library.Bind("curl_easy_strerror", a.easy_strerror) &&
                     library.Bind("curl_slist_append", a.slist_append) &&
                     library.Bind("curl_slist_free_all", a.slist_free_all);
    if (!all) {
        loaded.error = library.error();
        return loaded;
    }
    if (a.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        loaded.error = "libcurl could not be initialised";
        return loaded;
    }
    loaded.ok = true;
    return loaded;
}

}  // namespace

const CurlApi* Curl(std::string* error) {
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded = Load(); });
    if (!loaded.ok) {
        if (error) *error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace veltrin
