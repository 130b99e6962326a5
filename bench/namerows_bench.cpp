// The window thread's work per echo with rows written as host names: the pick (the address to
// send to) and the reply (the rows of the reply's source written), at 1,000, 10,000 and 100,000
// rows, dotted and with names from the hosts file. Run it through bench/reply_cost.sh, which
// gives it a hosts file of 10,000 names in a mount namespace of its own (never the machine's).
//
// Arguments: rows, then 0 (every row dotted) or 1 (name rows). A list of more rows than the
// hosts file has names writes a name in every tenth row and dotted addresses elsewhere: the C
// library reads a hosts file line by line for every lookup, so 100,000 names would take minutes
// just to resolve once, and what the reply costs should follow the rows that match, not the
// list's length, which the mix shows as well.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor/addresslist.h"
#include "monitor/echoledger.h"
#include "monitor/reachability.h"
#if __has_include("monitor/namecache.h")
#include "monitor/namecache.h"
#define HAVE_NAME_CACHE 1
#endif

namespace {

using namespace veltrin;

// Row i's address: 127.x.y.z, distinct for every i below 250 * 250 * 250.
std::string Dotted(int i) {
    return "127." + std::to_string(i / 62500 % 250) + "." + std::to_string(i / 250 % 250) + "." +
           std::to_string(i % 250 + 1);
}
std::string Name(int i) { return "host-" + std::to_string(i) + ".bench"; }

// As many names as bench/reply_cost.sh writes into the hosts file.
constexpr int kNames = 10000;

// Row i's text in a list of `rows` rows with names: all names up to kNames rows, else a name
// in every tenth row and dotted addresses (none of them the names' addresses) between.
bool NameRow(int i, int rows) { return rows <= kNames || i % 10 == 0; }
std::string NameListText(int i, int rows) {
    if (rows <= kNames) return Name(i);
    return i % 10 == 0 ? Name(i / 10) : Dotted(kNames + i);
}

Tdecordbuf Reply() {
    return Tdecordbuf{"Type 0 Code 0", "Reply message", "127.0.0.1", "127.0.0.1", "32", "0", "64", ""};
}

struct Fixture {
    AddressList list;
    Reachability reach{list};
    explicit Fixture(int rows, bool names) {
        std::vector<AddressRow> all(static_cast<std::size_t>(rows));
        for (int i = 0; i < rows; ++i)
            all[static_cast<std::size_t>(i)].address = names ? NameListText(i, rows) : Dotted(i);
        list.AppendRows(std::move(all));
        std::uint32_t value = 0;
        std::string ip;
        reach.Target(0, value, ip);  // builds the index (and asks for every name)
#ifdef HAVE_NAME_CACHE
        // Steady state: every name answered once (the names are in the hosts file).
        if (names)
            for (int i = 0; i < rows; ++i)
                if (NameRow(i, rows))
                    while (SharedNameCache().Peek(NameListText(i, rows)).state == NameAnswer::State::Pending)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        reach.RowsOf(0);  // the answers reach the index
#endif
    }
};

// One pick: the address the sender sends to next (a name read from the resolver, or its cache).
void BM_Pick(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const bool names = state.range(1) != 0;
    Fixture f(rows, names);
    int row = 0, failed = 0;
    for (auto _ : state) {
        std::uint32_t value = 0;
        std::string ip;
        if (!f.reach.Target(row, value, ip)) ++failed;
        benchmark::DoNotOptimize(value);
        row = (row + 7919) % rows;
    }
    state.counters["unresolved"] = failed;
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (const int names : {0, 1})
        for (const int rows : {1000, 10000, 100000}) b->Args({rows, names});
    b->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_Pick)->Apply(Sizes);

// One accepted reply: its send counted, then the rows of its source written.
void BM_Reply(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const bool names = state.range(1) != 0;
    Fixture f(rows, names);
    const Tdecordbuf reply = Reply();
    std::vector<std::uint32_t> values;
    for (int i = 0; i < rows; i += 97) {
        if (names && !NameRow(i, rows)) continue;  // the replies of name rows
        std::uint32_t value = 0;
        std::string ip;
        if (f.reach.Target(i, value, ip)) values.push_back(value);
    }
    if (values.empty()) {
        state.SkipWithError("no row resolved");
        return;
    }
    std::uint64_t seq = 0;
    std::size_t k = 0;
    for (auto _ : state) {
        const std::uint32_t value = values[k++ % values.size()];
        f.reach.Sent(value, 1);
        f.reach.Reply(value, reply, EchoLedger::Match::Answered, 250'000, 2, ++seq);
        benchmark::DoNotOptimize(f.reach.TakeChanges());
    }
}
BENCHMARK(BM_Reply)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
