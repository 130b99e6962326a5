// A real Prometheus server scrapes the console: both run in a network namespace of the test's
// own (only its loopback), Prometheus scrapes /metrics every second, and the test asks
// Prometheus's HTTP API for veltrin_ping_up of a loopback row and of a silent test-host row.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "net/program_helper.h"
#include "net/testhost_helper.h"
#include "unit/testfiles.h"

namespace {

using namespace std::chrono_literals;
using veltrin::testing::Background;
using veltrin::testing::HttpGet;
using veltrin::testing::PrivateNet;
using veltrin::testing::TestHost;

constexpr const char* kPrometheus = "/usr/bin/prometheus";
constexpr std::uint16_t kConsolePort = 9101;    // free: the namespace is the test's own
constexpr std::uint16_t kPrometheusPort = 9090;

std::string CliProgram() { return std::string(VELTRIN_BINARY_DIR) + "/src/cli/veltrin-ping-cli"; }

// The value Prometheus gives for the series of `address`, or empty when it has none yet.
std::string UpValue(const std::string& response, const std::string& address) {
    std::string escaped;
    for (char c : address) {
        if (c == '.') escaped += '\\';
        escaped += c;
    }
    const std::regex re("\"address\":\"" + escaped + "\"[^}]*\\},\"value\":\\[[0-9.e+]+,\"([^\"]*)\"\\]");
    std::smatch m;
    return std::regex_search(response, m, re) ? m[1].str() : std::string();
}

TEST(Prometheus, ScrapesTheConsoleAndAnswersUpForEachRow) {
    if (::access(kPrometheus, X_OK) != 0) GTEST_SKIP() << "Prometheus is not installed (Debian package prometheus)";
    if (auto why = TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why;
    std::string silent;
    {
        // A test host that then goes away: nothing answers its address any more.
        TestHost host({.loss_percent = 100});
        ASSERT_TRUE(host.ok()) << host.error();
        silent = host.address();
    }
    PrivateNet net;
    ASSERT_TRUE(net.ok()) << net.error();
    veltrin::testfiles::TempFolder dir("prometheus");
    std::ofstream(dir / "prometheus.yml") << "global:\n"
                                             "  scrape_interval: 1s\n"
                                             "  scrape_timeout: 900ms\n"
                                             "  evaluation_interval: 1s\n"
                                             "scrape_configs:\n"
                                             "  - job_name: veltrin\n"
                                             "    static_configs:\n"
                                             "      - targets: ['127.0.0.1:"
                                          << kConsolePort << "']\n";
    ::mkdir((dir / "data").c_str(), 0700);
    ::mkdir((dir / "config").c_str(), 0700);

    Background console;
    ASSERT_TRUE(console.Start({CliProgram(), "--metrics", "127.0.0.1:" + std::to_string(kConsolePort), "--interval", "1",
                               "--timeout", "0.5", "127.0.0.1", silent},
                              {{"XDG_CONFIG_HOME", dir / "config"}, {"VELTRIN_PROBEHOST", "127.0.0.1"}}, &net,
                              dir / "console.out", dir / "console.err"));
    Background prometheus;
    ASSERT_TRUE(prometheus.Start({kPrometheus, "--config.file=" + dir / "prometheus.yml",
                                  "--storage.tsdb.path=" + dir / "data",
                                  "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort), "--log.level=warn"},
                                 {}, &net, dir / "prometheus.out", dir / "prometheus.err"));

    // Bounded: Prometheus starts, scrapes once a second, and the loopback row answers at once.
    std::string response, loopbackup, silentup;
    const auto end = std::chrono::steady_clock::now() + 40s;
    while (std::chrono::steady_clock::now() < end) {
        response = HttpGet(kPrometheusPort, "/api/v1/query?query=veltrin_ping_up", &net);
        loopbackup = UpValue(response, "127.0.0.1");
        silentup = UpValue(response, silent);
        if (loopbackup == "1" && !silentup.empty()) break;
        ASSERT_TRUE(console.Running()) << veltrin::testfiles::ReadFile(dir / "console.err");
        ASSERT_TRUE(prometheus.Running()) << veltrin::testfiles::ReadFile(dir / "prometheus.err");
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(loopbackup, "1") << response;
    EXPECT_EQ(silentup, "0") << response;
    EXPECT_NE(response.find("\"status\":\"success\""), std::string::npos) << response;
    // Every series carries both labels as the console wrote them.
    EXPECT_NE(response.find("\"ip\":\"" + silent + "\""), std::string::npos) << response;

    // The silent row's requests show up as lost once their timeout passed.
    std::string lost;
    const auto lostend = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < lostend) {
        lost = HttpGet(kPrometheusPort, "/api/v1/query?query=veltrin_ping_lost_total", &net);
        const std::string v = UpValue(lost, silent);
        if (!v.empty() && v != "0") break;
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_NE(UpValue(lost, silent), "0") << lost;
    EXPECT_EQ(UpValue(lost, "127.0.0.1"), "0") << lost;

    prometheus.Stop();
    // The silent row never answered.
    EXPECT_EQ(console.Stop(), 1) << veltrin::testfiles::ReadFile(dir / "console.err");
}

}  // namespace
