// The console's history printing and its span parser: --since values, the JSON lines, and which
// rows a span prints (minute rows only where no raw result is kept any more).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/consolehistory.h"
#include "cli/duration.h"
#include "cli/options.h"
#include "testfiles.h"

namespace {

using veltrin::cli::ParseDurationMs;

TEST(CliHistory, SpansAreWholeUnits) {
    struct Case {
        const char* text;
        bool ok;
        long long ms;
    };
    const Case cases[] = {
        {"90s", true, 90'000},      {"90", true, 90'000},          {"30m", true, 1'800'000},
        {"1h", true, 3'600'000},    {"2d", true, 172'800'000},     {"3650d", true, 3650LL * 86'400'000},
        {"3651d", false, 0},        {"0", false, 0},               {"0h", false, 0},
        {"", false, 0},             {"h", false, 0},               {"1.5h", false, 0},
        {"-1h", false, 0},          {"1H", false, 0},              {"1hh", false, 0},
        {"1 h", false, 0},          {"1000000000s", false, 0},     {"999999999s", false, 0},     {"315360000s", true, 315'360'000'000},
        {"87600000h", false, 0},    {"1w", false, 0},
    };
    for (const Case& c : cases) {
        long long ms = -7;
        EXPECT_EQ(ParseDurationMs(c.text, ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        } else {
            EXPECT_EQ(ms, -7) << c.text << ": left as it was";
        }
    }
}

veltrin::cli::ParseResult Parse(std::vector<std::string> args, veltrin::cli::Options& o, bool needconsole = false) {
    args.insert(args.begin(), "veltrin-ping-cli");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return veltrin::cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), needconsole, o);
}

TEST(CliHistory, HistoryOptions) {
    veltrin::cli::Options o;
    ASSERT_TRUE(Parse({"--history", "127.0.0.1", "--since=2d"}, o).ok);
    EXPECT_TRUE(o.history);
    EXPECT_EQ(o.historyaddress, "127.0.0.1");
    EXPECT_EQ(o.sincems, 2 * 86'400'000LL);

    veltrin::cli::Options d;
    ASSERT_TRUE(Parse({"--console", "--history=host.example"}, d, true).ok);
    EXPECT_EQ(d.sincems, 86'400'000LL) << "a day unless told";
    veltrin::cli::Options n;
    EXPECT_FALSE(Parse({"--history=host.example"}, n, true).ok) << "the window program's form needs --console";

    veltrin::cli::Options k;
    ASSERT_TRUE(Parse({"--no-history", "127.0.0.1"}, k).ok);
    EXPECT_TRUE(k.nohistory);
    EXPECT_FALSE(k.history);

    const std::vector<std::vector<std::string>> wrong = {
        {"--history"},      {"--history", ""},          {"--history", "a", "--history", "b"},
        {"--since", "1h"},  {"--history", "a", "--since"}, {"--history", "a", "--since", "1y"},
        {"--history", "a", "b"}, {"--no-history=1", "a"}, {"--no-history", "--no-history", "a"},
    };
    for (const auto& args : wrong) {
        veltrin::cli::Options w;
        const auto r = Parse(args, w);
        EXPECT_FALSE(r.ok) << args[0];
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(CliHistory, LinesAreMinuteRowsBeforeTheRawResultsThenEveryRawResult) {
    veltrin::testfiles::TempFolder dir("clihistory");
    std::string error;
    auto store = veltrin::HistoryStore::Open(dir / "h.sqlite", &error);
    ASSERT_TRUE(store) << error;
    constexpr std::int64_t kT0 = 1'796'886'840'000;  // 2026-12-10T07:14:00Z
    store->Record({{"a\"b", kT0 + 1'500, 0.042}, {"a\"b", kT0 + 61'000, -1.0}, {"other", kT0 + 2'000, 1.0}});
    store->Flush();
    std::size_t count = 0;
    EXPECT_EQ(veltrin::cli::HistoryLines(*store, "a\"b", kT0 + 120'000, 3'600'000, &count),
              "{\"event\":\"reply\",\"time\":\"2026-12-10T07:14:01.500Z\",\"address\":\"a\\\"b\",\"rtt_ms\":0.042}\n"
              "{\"event\":\"lost\",\"time\":\"2026-12-10T07:15:01.000Z\",\"address\":\"a\\\"b\"}\n");
    EXPECT_EQ(count, 2u);
    // A span that starts after the first result: only what lies in it.
    EXPECT_EQ(veltrin::cli::HistoryLines(*store, "a\"b", kT0 + 120'000, 60'000, &count),
              "{\"event\":\"lost\",\"time\":\"2026-12-10T07:15:01.000Z\",\"address\":\"a\\\"b\"}\n");
    EXPECT_EQ(veltrin::cli::HistoryLines(*store, "nobody", kT0, 3'600'000, &count), "");
    EXPECT_EQ(count, 0u);

    // A day later the raw results are gone; their minute rows come first, then the raw ones.
    std::int64_t now = kT0 + 25 * 3'600'000LL;
    veltrin::HistoryOptions later;
    later.nowms = [&now] { return now; };
    store.reset();
    store = veltrin::HistoryStore::Open(dir / "h.sqlite", later, &error);
    ASSERT_TRUE(store) << error;
    store->Record({{"a\"b", now, 3.0}});
    store->Flush();
    EXPECT_EQ(veltrin::cli::HistoryLines(*store, "a\"b", now, 2 * 86'400'000LL, &count),
              "{\"event\":\"minute\",\"time\":\"2026-12-10T07:14:00.000Z\",\"address\":\"a\\\"b\",\"sent\":1,\"lost\":0,"
              "\"min_ms\":0.042,\"avg_ms\":0.042,\"max_ms\":0.042}\n"
              "{\"event\":\"minute\",\"time\":\"2026-12-10T07:15:00.000Z\",\"address\":\"a\\\"b\",\"sent\":1,\"lost\":1,"
              "\"min_ms\":null,\"avg_ms\":null,\"max_ms\":null}\n"
              "{\"event\":\"reply\",\"time\":\"2026-12-11T08:14:00.000Z\",\"address\":\"a\\\"b\",\"rtt_ms\":3}\n");
    EXPECT_EQ(count, 3u);

    veltrin::HistoryMinute m;
    m.minutems = kT0;
    m.sent = 60;
    m.lost = 60;
    EXPECT_EQ(veltrin::cli::HistoryMinuteJson("x", m),
              "{\"event\":\"minute\",\"time\":\"2026-12-10T07:14:00.000Z\",\"address\":\"x\",\"sent\":60,\"lost\":60,"
              "\"min_ms\":null,\"avg_ms\":null,\"max_ms\":null}");
    m.lost = 1;
    m.minms = 0.031;
    m.avgms = 0.05;
    m.maxms = 12.25;
    EXPECT_EQ(veltrin::cli::HistoryMinuteJson("x", m),
              "{\"event\":\"minute\",\"time\":\"2026-12-10T07:14:00.000Z\",\"address\":\"x\",\"sent\":60,\"lost\":1,"
              "\"min_ms\":0.031,\"avg_ms\":0.05,\"max_ms\":12.25}");
}

}  // namespace
