// The history store's cost at the highest rate the monitor produces results: interval 0.
//
// BM_RateAtIntervalZero measures that rate: a sender and receiver on loopback (127.0.0.1) at
// interval 0 for a second, the answered echoes counted as the window thread gets them
// ("results_per_s"). BM_RecordSecondAtIntervalZero then hands the store a second's worth of
// results in one turn (Record, which the window thread calls) and waits until they are in the
// file; "record_us" is the window thread's part alone. Both run on a real SQLite file in /tmp.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
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

// range(0): results in the second (0: the rate measured above, at least 1000); range(1): rows.
void BM_RecordSecondAtIntervalZero(benchmark::State& state) {
    int count = static_cast<int>(state.range(0));
    if (count == 0) count = measuredrate > 1000 ? static_cast<int>(measuredrate) : 1000;
    const int rows = static_cast<int>(state.range(1));
    char pattern[] = "/tmp/veltrin-historybench-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(dir) + "/h.sqlite";
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
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    std::remove(path.c_str());
    ::rmdir(dir);
}
BENCHMARK(BM_RecordSecondAtIntervalZero)
    ->Args({0, 1})
    ->Args({0, 1000})
    ->Args({10000, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
