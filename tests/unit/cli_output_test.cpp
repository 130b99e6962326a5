// The console's JSON lines and CSV: exact shapes, escaping of any bytes a list may hold.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cli/output.h"
#include "cli/rowstats.h"

namespace {

using namespace std::chrono_literals;
using veltrin::cli::Accounting;

const Accounting::Wall::time_point kWhen = Accounting::Wall::time_point{} + 1796875743s + 25ms;

TEST(CliOutput, JsonStrings) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\tnl\ncr\r", "\"tab\\tnl\\ncr\\r\""},
        {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},           // valid UTF-8 stays
        {"bad\xff\xc3", "\"bad\xef\xbf\xbd\xef\xbf\xbd\""},  // invalid bytes become U+FFFD
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // a surrogate is not UTF-8
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // nor an overlong form
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(veltrin::cli::JsonString(in), out) << in;
}

TEST(CliOutput, IsoTimesAreUtcWithMilliseconds) {
    EXPECT_EQ(veltrin::cli::IsoTime(kWhen), "2026-12-10T04:09:03.025Z");
    EXPECT_EQ(veltrin::cli::IsoTime(Accounting::Wall::time_point{}), "1970-01-01T00:00:00.000Z");
}

TEST(CliOutput, SummaryOfAnAnsweringRow) {
    Accounting a({"host \"one\""}, 2000ms);
    const Accounting::Steady::time_point t0{};
    a.Sent(0, "127.0.0.1", t0);
    a.Replied(0, 1, t0, kWhen - 1s);
    a.Sent(0, "127.0.0.1", t0 + 1s);
    a.Replied(0, 2, t0 + 1s, kWhen);
    a.Sent(0, "127.0.0.1", t0 + 2s);
    a.Expire(t0 + 4s, [](int, const veltrin::cli::RowChange&) {});
    a.Finish();
    EXPECT_EQ(veltrin::cli::SummaryJson(0, a.Row(0)),
              "{\"event\":\"summary\",\"row\":1,\"address\":\"host \\\"one\\\"\",\"ip\":\"127.0.0.1\",\"sent\":3,"
              "\"received\":2,\"loss_percent\":33.3,\"min_ms\":1,\"avg_ms\":1.5,\"max_ms\":2,"
              "\"last_reply\":\"2026-12-10T04:09:03.025Z\",\"state\":\"not answering\"}");
    EXPECT_EQ(veltrin::cli::CsvLine(a.Row(0)),
              "\"host \"\"one\"\"\",127.0.0.1,3,2,33.3,1,1.5,2,2026-12-10T04:09:03.025Z,not answering");
}

TEST(CliOutput, SummaryOfARowThatNeverAnswered) {
    Accounting a({"nowhere", "silent"}, 2000ms);
    a.Sent(0, "", {});
    a.Sent(1, "198.18.0.2", {});
    a.Expire(Accounting::Steady::time_point{} + 3s, [](int, const veltrin::cli::RowChange&) {});
    EXPECT_EQ(veltrin::cli::SummaryJson(0, a.Row(0)),
              "{\"event\":\"summary\",\"row\":1,\"address\":\"nowhere\",\"ip\":null,\"sent\":0,\"received\":0,"
              "\"loss_percent\":0.0,\"min_ms\":null,\"avg_ms\":null,\"max_ms\":null,\"last_reply\":null,"
              "\"state\":\"no address\"}");
    EXPECT_EQ(veltrin::cli::CsvLine(a.Row(1)), "silent,198.18.0.2,1,0,100.0,,,,,never answered");
    EXPECT_EQ(veltrin::cli::CsvHeader(), "address,ip,sent,received,loss_percent,min_ms,avg_ms,max_ms,last_reply,state");
}

TEST(CliOutput, Events) {
    Accounting a({"localhost"}, 2000ms);
    a.Sent(0, "127.0.0.1", {});
    const auto c = a.Replied(0, 0, {}, kWhen);
    EXPECT_EQ(veltrin::cli::ReplyEvent(0, a.Row(0), 64, 0, 52, kWhen),
              "{\"event\":\"reply\",\"time\":\"2026-12-10T04:09:03.025Z\",\"row\":1,\"address\":\"localhost\","
              "\"ip\":\"127.0.0.1\",\"ttl\":64,\"rtt_ms\":0,\"bytes\":52}");
    EXPECT_EQ(veltrin::cli::StateEvent(0, a.Row(0), c.previous, kWhen),
              "{\"event\":\"state\",\"time\":\"2026-12-10T04:09:03.025Z\",\"row\":1,\"address\":\"localhost\","
              "\"ip\":\"127.0.0.1\",\"state\":\"answering\",\"previous\":\"never answered\"}");
}

TEST(CliOutput, RoundTripsHaveMicrosecondResolution) {
    Accounting a({"localhost"}, 2000ms);
    a.Sent(0, "127.0.0.1", {});
    a.Replied(0, 0, {}, kWhen);
    const std::pair<double, const char*> cases[] = {
        {0.0, "\"rtt_ms\":0,"}, {0.042, "\"rtt_ms\":0.042,"}, {12.5, "\"rtt_ms\":12.5,"},
        {50.3004, "\"rtt_ms\":50.3,"}, {3.0, "\"rtt_ms\":3,"}, {1999.999, "\"rtt_ms\":1999.999,"},
    };
    for (const auto& [ms, text] : cases)
        EXPECT_NE(veltrin::cli::ReplyEvent(0, a.Row(0), 64, ms, 52, kWhen).find(text), std::string::npos) << ms;
}

TEST(CliOutput, ARowWithoutAnAddressHasANullIp) {
    Accounting a({"nowhere"}, 2000ms);
    const auto c = a.Sent(0, "", {});
    ASSERT_TRUE(c.state);
    EXPECT_EQ(veltrin::cli::StateEvent(0, a.Row(0), c.previous, kWhen),
              "{\"event\":\"state\",\"time\":\"2026-12-10T04:09:03.025Z\",\"row\":1,\"address\":\"nowhere\","
              "\"ip\":null,\"state\":\"no address\",\"previous\":\"never answered\"}");
}

TEST(CliOutput, CsvFields) {
    EXPECT_EQ(veltrin::cli::CsvField("a"), "a");
    EXPECT_EQ(veltrin::cli::CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(veltrin::cli::CsvField("a\"b"), "\"a\"\"b\"");
    EXPECT_EQ(veltrin::cli::CsvField("a\nb"), "\"a\nb\"");
    EXPECT_EQ(veltrin::cli::CsvField("\xff"), "\xef\xbf\xbd");
}

}  // namespace
