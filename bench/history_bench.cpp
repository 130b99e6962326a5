// The history store's cost at the highest rate the monitor produces results: interval 0.
//
// BM_RateAtIntervalZero measures that rate: a sender and receiver on loopback (127.0.0.1) at
// interval 0 for a second, the answered echoes counted as the window thread gets them
// ("results_per_s"). BM_RecordSecondAtIntervalZero then hands the store a second's worth of
// results in one turn (Record, which the window thread calls) and waits until they are in the
// file; "record_us" is the window thread's part alone. Both run on a real SQLite file in /tmp.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/global_unit.h"
#include "history/historystore.h"
#include "monitor/addresslist.h"
#include "monitor/echoledger.h"
#include "monitor/pingthreads.h"
#include "monitor/worker.h"

namespace {

using namespace veltrin;
using Clock = std::chrono::steady_clock;

// Echoes answered per second on loopback at interval 0: a sender and receiver pair as the
// detail window runs them (interval 0 is the detail window's; the main list's least interval
// is 1, one echo per 100 ms). 0 when ICMP is not to be had.
double IntervalZeroRate(double seconds) {
    EngineStartup();
    StepQueue queue;
    queue.SetWindowThread(std::this_thread::get_id());
    EchoLedger ledger;
    long answered = 0;
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    Threaded<tsendthread> sender(
        queue,
        [&](SendTarget& target) {
            target.ip = "127.0.0.1";
            target.interval = 0;
            target.datalength = 8;
            target.record = [&ledger, loopback](std::uint16_t identifier, std::uint32_t tick) {
                ledger.Record(loopback, identifier, tick, MonotonicNs());
            };
            return true;
        },
        {}, 100);
    Threaded<trecvthread> receiver(
        queue, [&sender] { return sender.Started() ? int{sender.Identifier()} : -1; }, &ledger,
        [&](const std::uint8_t*, int, const ReplyCheck& check) {
            if (check.match == EchoLedger::Match::Answered) ++answered;
        });
    ShareChannel(sender, receiver);
    receiver.Start();
    sender.Start();
    // The first echoes (socket opening) are not the steady rate.
    const auto warm = Clock::now() + std::chrono::milliseconds(300);
    while (Clock::now() < warm) queue.WaitAndDrain(10);
    const long before = answered;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) queue.WaitAndDrain(10);
    const double rate = static_cast<double>(answered - before) / std::chrono::duration<double>(Clock::now() - start).count();
    sender.gate().RequestStop();
    receiver.gate().RequestStop();
    sender.Stop();
    receiver.Stop();
    EngineShutdown();
    return rate;
}

double measuredrate = -1;

void BM_RateAtIntervalZero(benchmark::State& state) {
    for (auto _ : state) measuredrate = IntervalZeroRate(1.0);
    state.counters["results_per_s"] = measuredrate;
}
BENCHMARK(BM_RateAtIntervalZero)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<EchoResult> Second(int count, std::int64_t start, int rows) {
    std::vector<EchoResult> out;
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        out.push_back({"127.0." + std::to_string(i % rows / 250) + "." + std::to_string(i % rows % 250 + 1),
                       start + static_cast<std::int64_t>(i) * 1000 / count, i % 50 == 0 ? -1.0 : 0.03 + (i % 100) * 0.001});
    return out;
}

// A database in a folder of its own under /tmp, removed with its log files when it goes.
struct ScratchDatabase {
    std::string dir, path;
    ScratchDatabase() {
        char pattern[] = "/tmp/veltrin-historybench-XXXXXX";
        if (const char* made = ::mkdtemp(pattern)) {
            dir = made;
            path = dir + "/h.sqlite";
        }
    }
    ~ScratchDatabase() {
        if (dir.empty()) return;
        for (const char* suffix : {"-wal", "-shm", ""}) std::remove((path + suffix).c_str());
        ::rmdir(dir.c_str());
    }
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;
};

// range(0): results in the second (0: the rate measured above, at least 1000); range(1): rows.
void BM_RecordSecondAtIntervalZero(benchmark::State& state) {
    int count = static_cast<int>(state.range(0));
    if (count == 0) count = measuredrate > 1000 ? static_cast<int>(measuredrate) : 1000;
    const int rows = static_cast<int>(state.range(1));
    const ScratchDatabase scratch;
    if (scratch.dir.empty()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string& path = scratch.path;
    std::string error;
    HistoryOptions options;
    options.flushms = 60'000;  // written when asked, so each iteration is one batch
    auto store = HistoryStore::Open(path, options, &error);
    if (!store) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::int64_t wall = 1'796'886'840'000;
    double recordus = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<EchoResult> second = Second(count, wall, rows);
        wall += 1000;
        state.ResumeTiming();
        const auto t0 = Clock::now();
        store->Record(second);
        recordus += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        store->Flush();
    }
    state.counters["results"] = count;
    state.counters["record_us"] = recordus / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * count);
    store.reset();
}
BENCHMARK(BM_RecordSecondAtIntervalZero)
    ->Args({0, 1})
    ->Args({0, 1000})
    ->Args({10000, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// CPU ns of every thread of this process but the caller's.
std::int64_t OtherThreadsCpuNs() {
    const long self = ::syscall(SYS_gettid);
    std::int64_t total = 0;
    const std::string base = "/proc/self/task/";
    std::vector<long> tids;
    if (DIR* dir = ::opendir(base.c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') tids.push_back(std::atol(e->d_name));
        ::closedir(dir);
    }
    for (long tid : tids) {
        if (tid == self) continue;
        std::ifstream in(base + std::to_string(tid) + "/schedstat");
        std::int64_t ns = 0;
        if (in >> ns) total += ns;
    }
    return total;
}

// The calling thread's CPU time.
double ThreadCpuUs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// write calls and bytes written so far by this process.
std::pair<std::int64_t, std::int64_t> WritesSoFar() {
    std::ifstream in("/proc/self/io");
    std::int64_t calls = 0, bytes = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name;
        std::int64_t value = 0;
        fields >> name >> value;
        if (name == "syscw:") calls = value;
        if (name == "wchar:") bytes = value;
    }
    return {calls, bytes};
}

std::vector<EchoResult> SweepSecond(const std::vector<std::string>& hosts, std::int64_t start, std::int64_t second) {
    std::vector<EchoResult> out;
    out.reserve(hosts.size());
    for (std::size_t i = 0; i < hosts.size(); ++i)
        out.push_back({hosts[i], start + static_cast<std::int64_t>(i) * 1000 / static_cast<std::int64_t>(hosts.size()),
                       (second + static_cast<std::int64_t>(i)) % 500 == 0 ? -1.0 : 0.02 + static_cast<double>(i % 40) * 0.001});
    return out;
}

// range(0): simulated seconds measured; range(1): hours of the same pace already in the file.
void BM_SweepSeconds(benchmark::State& state) {
    const std::int64_t seconds = state.range(0);
    const std::int64_t prefill = state.range(1) * 3600;
    std::vector<std::string> hosts;
    for (int i = 1; i <= 254; ++i) hosts.push_back("127.0.0." + std::to_string(i));
    const ScratchDatabase scratch;
    if (scratch.dir.empty()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string& path = scratch.path;
    std::atomic<std::int64_t> now{1'796'886'840'000};
    {
        // The earlier hours, written in big batches (a minute each) so they cost little here.
        HistoryOptions options;
        options.flushms = 60'000;
        options.nowms = [&now] { return now.load(); };
        std::string error;
        auto store = HistoryStore::Open(path, options, &error);
        if (!store) {
            state.SkipWithError(error.c_str());
            return;
        }
        std::vector<EchoResult> minute;
        for (std::int64_t s = 0; s < prefill; ++s) {
            const std::vector<EchoResult> second = SweepSecond(hosts, now.load(), s);
            minute.insert(minute.end(), second.begin(), second.end());
            now += 1000;
            if (minute.size() >= 60 * hosts.size()) {
                store->Record(minute);
                store->Flush();
                minute.clear();
            }
        }
        store->Record(minute);
    }
    double storeus = 0, recordus = 0, writes = 0, bytes = 0, results = 0, recentus = 0;
    for (auto _ : state) {
        HistoryOptions options;
        options.flushms = 60'000;  // a batch each simulated second, when asked
        options.nowms = [&now] { return now.load(); };
        std::string error;
        auto store = HistoryStore::Open(path, options, &error);
        if (!store) {
            state.SkipWithError(error.c_str());
            return;
        }
        store->Flush();
        // The first seconds (the start-up's pruning and checks) are left out.
        for (int s = 0; s < 5; ++s) {
            store->Record(SweepSecond(hosts, now.load(), s));
            now += 1000;
            store->Flush();
        }
        const std::int64_t cpu0 = OtherThreadsCpuNs();
        const auto [calls0, bytes0] = WritesSoFar();
        for (std::int64_t s = 0; s < seconds; ++s) {
            const std::vector<EchoResult> second = SweepSecond(hosts, now.load(), s);
            now += 1000;
            const auto t0 = Clock::now();
            store->Record(second);
            recordus += std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            store->Flush();
        }
        storeus += static_cast<double>(OtherThreadsCpuNs() - cpu0) / 1000.0;
        const auto [calls1, bytes1] = WritesSoFar();
        writes += static_cast<double>(calls1 - calls0);
        bytes += static_cast<double>(bytes1 - bytes0);
        results += static_cast<double>(seconds) * static_cast<double>(hosts.size());
        // What a restarted window asks for each row it draws: its last 60 results.
        const double r0 = ThreadCpuUs();
        std::size_t got = 0;
        for (const std::string& host : hosts) got += store->Recent(host, 60).size();
        recentus = (ThreadCpuUs() - r0) / static_cast<double>(hosts.size());
        if (got != 60 * hosts.size()) state.SkipWithError("the last 60 results were not all found");
        if (store->Failed()) state.SkipWithError(store->Error().c_str());
    }
    state.counters["recent60_us_per_host"] = recentus;
    state.counters["store_us_per_result"] = storeus / results;
    state.counters["record_us_per_result"] = recordus / results;
    state.counters["writes_per_result"] = writes / results;
    state.counters["kib_written_per_result"] = bytes / 1024.0 / results;
    state.counters["file_mib"] = static_cast<double>(std::ifstream(path, std::ios::ate | std::ios::binary).tellg()) / 1048576.0;
}
BENCHMARK(BM_SweepSeconds)
    ->Args({120, 0})
    ->Args({120, 6})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
