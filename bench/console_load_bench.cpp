// The console under load: veltrin-ping-cli monitoring 10,000 loopback rows read from standard
// input, with and without a /metrics scrape every 100 ms, for VELTRIN_BENCH_SECONDS (default
// 60) each. Reported: the monitor's request rate (interval 1 = 10 a second when nothing slows
// it), and the scrape latencies and size. Loopback only; needs root or CAP_NET_RAW.
// ScrapeCached / ScrapeFullRender time the server's side of one such scrape on its own.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "metrics/exposition.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRows = 10000;

int Seconds() {
    const char* env = std::getenv("VELTRIN_BENCH_SECONDS");
    const int s = env != nullptr ? std::atoi(env) : 60;
    return std::clamp(s, 2, 600);
}

std::string Get(std::uint16_t port, std::size_t& bytes) {
    std::string response;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return response;
    timeval tv{10, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
        if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
            char buffer[1 << 16];
            for (ssize_t n; (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(s);
    bytes = response.size();
    return response;
}

void ConsoleLoad(benchmark::State& state) {
    const bool scrape = state.range(0) != 0;
    const int seconds = Seconds();
    if (::geteuid() != 0) {
        state.SkipWithError("needs root for raw ICMP sockets");
        return;
    }
    const std::string program = std::string(VELTRIN_BINARY_DIR) + "/src/cli/veltrin-ping-cli";
    std::string list;
    for (int i = 0; i < kRows; ++i)
        list += "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + "\n";

    for (auto _ : state) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        const std::string secs = std::to_string(seconds);
        std::vector<std::string> args = {program, "--interval", "1", "--timeout", "1", "--format", "csv",
                                         "--seconds", secs, "--metrics", "127.0.0.1:0", "-"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        [[maybe_unused]] ssize_t w = ::write(in[1], list.data(), list.size());  // the program reads all of it first
        ::close(in[1]);

        // The port from the first line on standard error.
        std::string errtext;
        std::uint16_t port = 0;
        const auto started = Clock::now();
        while (port == 0 && Clock::now() - started < std::chrono::seconds(10)) {
            pollfd p{err[0], POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                char b[512];
                const ssize_t n = ::read(err[0], b, sizeof b);
                if (n <= 0) break;
                errtext.append(b, static_cast<std::size_t>(n));
                std::smatch m;
                if (std::regex_search(errtext, m, std::regex("127\\.0\\.0\\.1:([0-9]+)/metrics")))
                    port = static_cast<std::uint16_t>(std::stoi(m[1].str()));
            }
        }
        std::vector<double> latencies;
        std::size_t bytes = 0;
        if (scrape && port != 0) {
            const auto end = started + std::chrono::seconds(seconds) - std::chrono::milliseconds(500);
            auto next = Clock::now();
            while (Clock::now() < end) {
                const auto t = Clock::now();
                Get(port, bytes);
                latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
                next += std::chrono::milliseconds(100);
                std::this_thread::sleep_until(std::max(next, Clock::now()));
            }
        }
        std::string summary;
        char b[1 << 16];
        for (ssize_t n; (n = ::read(out[0], b, sizeof b)) > 0;) summary.append(b, static_cast<std::size_t>(n));
        ::close(out[0]);
        ::close(err[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();

        // Requests the summary counts (sent, second column after address and ip).
        double sent = 0;
        std::istringstream lines(summary);
        std::string line;
        std::getline(lines, line);  // header
        int rows = 0;
        while (std::getline(lines, line)) {
            ++rows;
            const auto a = line.find(','), b2 = line.find(',', a + 1), c = line.find(',', b2 + 1);
            if (c != std::string::npos) sent += std::atof(line.substr(b2 + 1, c - b2 - 1).c_str());
        }
        if (rows != kRows) state.SkipWithError(("summary has " + std::to_string(rows) + " rows").c_str());
        state.counters["requests_per_s"] = sent / elapsed;
        state.counters["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (!latencies.empty()) {
            std::sort(latencies.begin(), latencies.end());
            state.counters["scrapes"] = static_cast<double>(latencies.size());
            state.counters["scrape_ms_p50"] = latencies[latencies.size() / 2];
            state.counters["scrape_ms_p99"] = latencies[latencies.size() * 99 / 100];
            state.counters["scrape_ms_max"] = latencies.back();
            state.counters["scrape_bytes"] = static_cast<double>(bytes);
        }
    }
}

// The server's side of one scrape of 10,000 rows: one row changed since the last scrape (the
// cached text) against a full render of every series.
veltrin::metrics::RowSample BenchRow(int i) {
    veltrin::metrics::RowSample s;
    s.address = "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    s.ip = s.address;
    s.requests = 1000 + static_cast<std::uint64_t>(i);
    s.replies = 990;
    s.lost = s.requests - s.replies;
    s.buckets[3] = 500;
    s.buckets[7] = 490;
    s.rttsum = 1.25;
    s.up = true;
    s.lastreply = 1796875743.25;
    return s;
}

void ScrapeCached(benchmark::State& state) {
    std::vector<veltrin::metrics::RowSample> rows;
    for (int i = 0; i < kRows; ++i) rows.push_back(BenchRow(i));
    veltrin::metrics::Exposition exposition(rows);
    const veltrin::metrics::ProcessSample process;
    exposition.Render(process);
    int row = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto& r = rows[static_cast<std::size_t>(row)];
        ++r.requests;
        exposition.Update(row, r);
        row = (row + 1) % kRows;
        bytes = exposition.Render(process).size();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(ScrapeCached)->Unit(benchmark::kMillisecond);

void ScrapeFullRender(benchmark::State& state) {
    std::vector<veltrin::metrics::RowSample> rows;
    for (int i = 0; i < kRows; ++i) rows.push_back(BenchRow(i));
    const veltrin::metrics::ProcessSample process;
    for (auto _ : state) benchmark::DoNotOptimize(veltrin::metrics::Render(rows, process));
}
BENCHMARK(ScrapeFullRender)->Unit(benchmark::kMillisecond);

BENCHMARK(ConsoleLoad)->Arg(0)->Arg(1)->ArgName("scrape")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
