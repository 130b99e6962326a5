// The monitor's window-thread work per echo at 100,000 rows, without a display: one reply
// (the rows of its address found by value, cells and status written, the observer told), one
// send and one loss accounted, the sweep with many echoes in flight, and the index rebuild
// after the list changed. Compare with the list benchmark's reply step (mainlist_bench), which
// resolved and compared every row per reply.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "monitor/addresslist.h"
#include "monitor/echoledger.h"
#include "monitor/reachability.h"

namespace {

using namespace veltrin;

constexpr int kRows = 100000;

// 127.x.y.z over and over: 200 distinct addresses, each named by 500 rows, as the list
// benchmark's address log.
std::vector<AddressRow> Rows(int distinct) {
    std::vector<AddressRow> rows(kRows);
    for (int i = 0; i < kRows; ++i) rows[static_cast<std::size_t>(i)].address = "127.0." + std::to_string(i % distinct / 250) + "." + std::to_string(i % distinct % 250 + 1);
    return rows;
}

struct CountingView : AddressList::Observer {
    long changed = 0;
    void RowsReset() override {}
    void RowsInserted(int, int) override {}
    void RowsRemoved(int, int) override {}
    void RowChanged(int) override { ++changed; }
    void SelectionChanged() override {}
};

Tdecordbuf Reply() {
    // type, code, source, destination, size, time, TTL, data
    return Tdecordbuf{"Type 0 Code 0", "Reply message", "127.0.0.1", "127.0.0.1", "32", "0", "64", ""};
}

void BM_ReplyStep(benchmark::State& state) {
    const int distinct = static_cast<int>(state.range(0));
    AddressList list;
    list.AppendRows(Rows(distinct));
    CountingView view;
    list.SetObserver(&view);
    Reachability reach(list);
    std::uint32_t value = 0;
    std::string ip;
    reach.Target(0, value, ip);  // builds the index once
    const Tdecordbuf reply = Reply();
    std::uint64_t seq = 0;
    for (auto _ : state) {
        reach.Sent(value, 1);
        reach.Reply(value, reply, EchoLedger::Match::Answered, 250'000, 2, ++seq);
        benchmark::DoNotOptimize(reach.TakeChanges());
    }
    state.counters["rows_per_address"] = static_cast<double>(kRows / distinct);
    state.counters["rows_told"] = benchmark::Counter(static_cast<double>(view.changed), benchmark::Counter::kAvgIterations);
}
// 200 addresses (500 rows each, as the list benchmark) and 100,000 distinct ones (1 row each).
BENCHMARK(BM_ReplyStep)->Arg(200)->Arg(kRows - 1)->Unit(benchmark::kMicrosecond);

void BM_LossStep(benchmark::State& state) {
    AddressList list;
    list.AppendRows(Rows(200));
    Reachability reach(list);
    std::uint32_t value = 0;
    std::string ip;
    reach.Target(0, value, ip);
    std::uint64_t seq = 0;
    for (auto _ : state) {
        reach.Sent(value, 1);
        reach.Lost(value, 2, ++seq);
        benchmark::DoNotOptimize(reach.TakeChanges());
    }
}
BENCHMARK(BM_LossStep)->Unit(benchmark::kMicrosecond);

// The sweep with 100,000 echoes in flight of which one is due: it looks at the due prefix only.
void BM_SweepWithManyInFlight(benchmark::State& state) {
    EchoLedger ledger(2000);
    constexpr std::int64_t kMs = 1'000'000;
    for (int i = 0; i < kRows; ++i) ledger.Record(static_cast<std::uint32_t>(i), 1, static_cast<std::uint32_t>(i), 10 * kMs + i * 10'000);
    std::int64_t now = 2010 * kMs;
    for (auto _ : state) {
        now += 10'000;  // one more echo becomes due per pass
        benchmark::DoNotOptimize(ledger.MsUntilDue(now));
        benchmark::DoNotOptimize(ledger.TakeLost(now));
    }
}
BENCHMARK(BM_SweepWithManyInFlight)->Unit(benchmark::kMicrosecond)->Iterations(50000);

// The index rebuild a structural change of the list costs, once, at the next step.
void BM_IndexRebuildAfterListChange(benchmark::State& state) {
    AddressList list;
    list.AppendRows(Rows(200));
    Reachability reach(list);
    for (auto _ : state) {
        list.Append("127.0.0.1");
        benchmark::DoNotOptimize(reach.RowsOf(::inet_addr("127.0.0.1")));
        state.PauseTiming();
        list.RemoveAt(list.Count() - 1);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_IndexRebuildAfterListChange)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
