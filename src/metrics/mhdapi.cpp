#include "metrics/mhdapi.h"

#include <mutex>

#include "engine/lazylibrary.h"

namespace veltrin::metrics {

namespace {

struct Loaded {
    MhdApi api;
    bool ok = false;
    std::string error;
};

Loaded Load() {
    Loaded loaded;
    // The library the program was built against (the package depends on it).
    LazyLibrary library("libmicrohttpd.so.12");
    MhdApi& a = loaded.api;
    loaded.ok = library.ok() && library.Bind("MHD_start_daemon", a.start_daemon) &&
                library.Bind("MHD_stop_daemon", a.stop_daemon) &&
                library.Bind("MHD_get_daemon_info", a.get_daemon_info) &&
                library.Bind("MHD_create_response_from_buffer_with_free_callback_cls", a.create_response) &&
                library.Bind("MHD_add_response_header", a.add_response_header) &&
                library.Bind("MHD_queue_response", a.queue_response) &&
                library.Bind("MHD_destroy_response", a.destroy_response);
    if (!loaded.ok) loaded.error = library.error();
    return loaded;
}

}  // namespace

const MhdApi* Mhd(std::string* error) {
    static std::once_flag once;
    static Loaded loaded;
    std::call_once(once, [] { loaded = Load(); });
    if (!loaded.ok) {
        if (error) *error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace veltrin::metrics
