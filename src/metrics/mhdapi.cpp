#include "metrics/mhdapi.h"

#include "engine/lazylibrary.h"

namespace veltrin::metrics {

const MhdApi* Mhd(std::string* error) {
    // The library the program was built against (the package depends on it).
    return OpenOnce<MhdApi>(
        "libmicrohttpd.so.12",
        [](LazyLibrary& library, MhdApi& a) {
            return library.Bind("MHD_start_daemon", a.start_daemon) && library.Bind("MHD_stop_daemon", a.stop_daemon) &&
                   library.Bind("MHD_get_daemon_info", a.get_daemon_info) &&
                   library.Bind("MHD_create_response_from_buffer_with_free_callback_cls", a.create_response) &&
                   library.Bind("MHD_add_response_header", a.add_response_header) &&
                   library.Bind("MHD_queue_response", a.queue_response) &&
                   library.Bind("MHD_destroy_response", a.destroy_response);
        },
        [](const MhdApi&) { return std::string(); }, error);
}

}  // namespace veltrin::metrics
