#include "metrics/httpserver.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "metrics/exposition.h"
#include "metrics/mhdapi.h"

namespace veltrin::metrics {

namespace {

constexpr unsigned kMaxConnections = 32;
constexpr unsigned kConnectionTimeoutSeconds = 15;

constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Veltrin Ping</title></head>\n"
    "<body><h1>Veltrin Ping</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

}  // namespace

struct HttpServer::Impl {
    MHD_Daemon* daemon = nullptr;
    Render render;
    std::mutex renderlock;  // one render at a time, whatever threading the library picks

    static MHD_Result Answer(void* context, MHD_Connection* connection, const char* url, const char* method,
                             const char*, const char*, std::size_t* uploadsize, void** state) {
        auto* self = static_cast<Impl*>(context);
        // The first call only announces the request; a body is never wanted.
        if (*state == nullptr) {
            static int seen;
            *state = &seen;
            return MHD_YES;
        }
        if (*uploadsize != 0) {
            *uploadsize = 0;
            return MHD_YES;
        }
        const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
        const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
        if (!get && !head) return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8",
                                        "Only GET and HEAD are served.\n", "GET, HEAD");
        if (std::strcmp(url, "/metrics") == 0) {
            std::string body;
            try {
                std::lock_guard<std::mutex> hold(self->renderlock);
                body = self->render ? self->render() : std::string();
            } catch (...) {
                return Reply(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "text/plain; charset=utf-8",
                             "The metrics could not be made.\n", nullptr);
            }
            return Reply(connection, MHD_HTTP_OK, kContentType, std::move(body), nullptr);
        }
        if (std::strcmp(url, "/") == 0) return Reply(connection, MHD_HTTP_OK, "text/html; charset=utf-8", kIndexPage, nullptr);
        return Reply(connection, MHD_HTTP_NOT_FOUND, "text/plain; charset=utf-8", "Not found. The metrics are at /metrics.\n",
                     nullptr);
    }

    static MHD_Result Reply(MHD_Connection* connection, unsigned status, const char* type, std::string body,
                            const char* allow) {
        auto* copy = new (std::nothrow) std::string(std::move(body));
        if (copy == nullptr) return MHD_NO;
        const MhdApi* const mhd = Mhd();  // there: the daemon calling us was started through it
        MHD_Response* response = mhd->create_response(
            copy->size(), copy->data(), [](void* p) { delete static_cast<std::string*>(p); }, copy);
        if (response == nullptr) {
            delete copy;
            return MHD_NO;
        }
        mhd->add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        if (allow != nullptr) mhd->add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
        const MHD_Result result = mhd->queue_response(connection, status, response);
        mhd->destroy_response(response);
        return result;
    }
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const std::string& host, std::uint16_t port, Render render, std::string& error) {
    Stop();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        error = "\"" + host + "\" is not a dotted IPv4 address";
        return false;
    }
    std::string unavailable;
    const MhdApi* const mhd = Mhd(&unavailable);
    if (mhd == nullptr) {
        error = "cannot serve metrics: " + unavailable;
        return false;
    }
    impl_->render = std::move(render);
    errno = 0;
    impl_->daemon = mhd->start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, 0, nullptr, nullptr, &Impl::Answer, impl_.get(),
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_END);
    if (impl_->daemon == nullptr) {
        const int saved = errno;
        error = "cannot serve metrics on " + host + ":" + std::to_string(port) +
                (saved != 0 ? std::string(": ") + std::strerror(saved) : std::string());
        return false;
    }
    port_ = port;
    if (const MHD_DaemonInfo* info = mhd->get_daemon_info(impl_->daemon, MHD_DAEMON_INFO_LISTEN_FD)) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(info->listen_fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) port_ = ntohs(bound.sin_port);
    }
    return true;
}

void HttpServer::Stop() {
    if (impl_->daemon != nullptr) {
        Mhd()->stop_daemon(impl_->daemon);  // started, so the library is there
        impl_->daemon = nullptr;
    }
}

}  // namespace veltrin::metrics
