// The metrics endpoint on its own, over real loopback HTTP: what each path and method gets, a
// failing render, many clients at once, and a second server on a taken port.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "metrics/exposition.h"
#include "metrics/httpserver.h"
#include "net/program_helper.h"

namespace {

using veltrin::metrics::HttpServer;
using veltrin::testing::HttpGet;

TEST(MetricsHttp, PathsAndMethods) {
    HttpServer server;
    std::string error;
    std::atomic<int> renders{0};
    ASSERT_TRUE(server.Start("127.0.0.1", 0, [&] {
        ++renders;
        return std::string("veltrin_ping_up{address=\"a\",ip=\"127.0.0.1\"} 1\n");
    }, error)) << error;
    ASSERT_NE(server.Port(), 0);

    const std::string metrics = HttpGet(server.Port(), "/metrics");
    EXPECT_EQ(metrics.rfind("HTTP/1.", 0), 0u) << metrics;
    EXPECT_NE(metrics.find(" 200 OK\r\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.substr(metrics.find("\r\n\r\n") + 4), "veltrin_ping_up{address=\"a\",ip=\"127.0.0.1\"} 1\n");
    EXPECT_EQ(renders.load(), 1);

    const std::string page = HttpGet(server.Port(), "/");
    EXPECT_NE(page.find(" 200 OK\r\n"), std::string::npos);
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"/metrics\">"), std::string::npos);

    const std::string head = HttpGet(server.Port(), "/metrics", nullptr, "HEAD");
    EXPECT_NE(head.find(" 200 OK\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");

    EXPECT_NE(HttpGet(server.Port(), "/metrics/").find(" 404 "), std::string::npos);
    EXPECT_NE(HttpGet(server.Port(), "/favicon.ico").find(" 404 "), std::string::npos);
    const std::string post = HttpGet(server.Port(), "/metrics", nullptr, "POST");
    EXPECT_NE(post.find(" 405 "), std::string::npos) << post;
    EXPECT_NE(post.find("Allow: GET, HEAD"), std::string::npos) << post;
    EXPECT_EQ(renders.load(), 2);  // GET and HEAD only
}

TEST(MetricsHttp, AFailingRenderIsAServerErrorAndTheServerGoesOn) {
    HttpServer server;
    std::string error;
    std::atomic<bool> fail{true};
    ASSERT_TRUE(server.Start("127.0.0.1", 0, [&]() -> std::string {
        if (fail) throw std::runtime_error("no");
        return "ok 1\n";
    }, error)) << error;
    EXPECT_NE(HttpGet(server.Port(), "/metrics").find(" 500 "), std::string::npos);
    fail = false;
    EXPECT_NE(HttpGet(server.Port(), "/metrics").find("ok 1"), std::string::npos);
}

TEST(MetricsHttp, ManyClientsAtOnceGetWholeAnswers) {
    HttpServer server;
    std::string error;
    std::string big;
    for (int i = 0; i < 20000; ++i) big += "veltrin_ping_up{address=\"row" + std::to_string(i) + "\",ip=\"127.0.0.1\"} 1\n";
    ASSERT_TRUE(server.Start("127.0.0.1", 0, [&] { return big; }, error)) << error;
    std::vector<std::thread> clients;
    std::atomic<int> whole{0};
    for (int c = 0; c < 16; ++c)
        clients.emplace_back([&] {
            for (int k = 0; k < 5; ++k) {
                const std::string r = HttpGet(server.Port(), "/metrics");
                const auto body = r.find("\r\n\r\n");
                if (body != std::string::npos && r.compare(body + 4, std::string::npos, big) == 0) ++whole;
            }
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(whole.load(), 80);
}

TEST(MetricsHttp, ATakenPortAndABadAddressAreRefused) {
    HttpServer first, second;
    std::string error;
    ASSERT_TRUE(first.Start("127.0.0.1", 0, [] { return std::string(); }, error)) << error;
    EXPECT_FALSE(second.Start("127.0.0.1", first.Port(), [] { return std::string(); }, error));
    EXPECT_NE(error.find("cannot serve metrics on 127.0.0.1:" + std::to_string(first.Port())), std::string::npos) << error;
    EXPECT_FALSE(second.Start("localhost", 0, [] { return std::string(); }, error));
    EXPECT_NE(error.find("not a dotted IPv4 address"), std::string::npos) << error;
    // Stopping frees the port.
    const std::uint16_t port = first.Port();
    first.Stop();
    EXPECT_TRUE(second.Start("127.0.0.1", port, [] { return std::string(); }, error)) << error;
}

}  // namespace
