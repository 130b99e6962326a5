// The metrics endpoint: GET /metrics answers with the exposition that `render` makes on the
// server's own thread; GET / with a short page linking it. libmicrohttpd does the HTTP.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veltrin::metrics {

class HttpServer {
public:
    // Called on the server's thread, one request at a time.
    using Render = std::function<std::string()>;

    HttpServer();
    ~HttpServer();  // stops serving and waits for a request in progress
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on host (dotted IPv4) and port (0: any free port). False with the reason.
    bool Start(const std::string& host, std::uint16_t port, Render render, std::string& error);
    void Stop();
    std::uint16_t Port() const { return port_; }  // the bound port once started

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
};

}  // namespace veltrin::metrics
