// libmicrohttpd, opened when the metrics endpoint is first started instead of at every start of
// the program: with GnuTLS and its helpers it is most of the console's start-up.
#pragma once

#include <microhttpd.h>

#include <string>

namespace veltrin::metrics {

struct MhdApi {
    decltype(&MHD_start_daemon) start_daemon = nullptr;
    decltype(&MHD_stop_daemon) stop_daemon = nullptr;
    decltype(&MHD_get_daemon_info) get_daemon_info = nullptr;
    decltype(&MHD_create_response_from_buffer_with_free_callback_cls) create_response = nullptr;
    decltype(&MHD_add_response_header) add_response_header = nullptr;
    decltype(&MHD_queue_response) queue_response = nullptr;
    decltype(&MHD_destroy_response) destroy_response = nullptr;
};

// The library's functions, opened once (any thread); null when it cannot be opened, and
// `error` (when given) then says why.
const MhdApi* Mhd(std::string* error = nullptr);

}  // namespace veltrin::metrics
