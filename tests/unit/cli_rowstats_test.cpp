// The console's per-row accounting: counts, round-trip figures, the four states and their
// changes, timeouts and the end of a run.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "cli/rowstats.h"
#include "metrics/exposition.h"

namespace {

using namespace std::chrono_literals;
using veltrin::cli::Accounting;
using veltrin::cli::RowState;

const Accounting::Steady::time_point t0{};
const Accounting::Wall::time_point w0 = Accounting::Wall::time_point{} + 1700000000s;

TEST(CliRowStats, RepliesCountAndGiveTheFigures) {
    Accounting a({"h"}, 2000ms);
    auto c = a.Sent(0, "127.0.0.1", t0);
    EXPECT_FALSE(c.state);  // never answered stays so
    c = a.Replied(0, 3, t0 + 3ms, w0);
    EXPECT_TRUE(c.state);
    EXPECT_EQ(c.previous, RowState::NeverAnswered);
    a.Sent(0, "127.0.0.1", t0 + 1s);
    c = a.Replied(0, 7, t0 + 1s + 7ms, w0 + 1s);
    EXPECT_FALSE(c.state);
    a.Sent(0, "127.0.0.1", t0 + 2s);
    a.Replied(0, 5, t0 + 2s + 5ms, w0 + 2s);
    const auto& r = a.Row(0);
    EXPECT_EQ(r.ip, "127.0.0.1");
    EXPECT_EQ(r.sent, 3u);
    EXPECT_EQ(r.received, 3u);
    EXPECT_EQ(r.lost, 0u);
    EXPECT_EQ(r.minms, 3);
    EXPECT_EQ(r.maxms, 7);
    EXPECT_EQ(r.totalms, 15);
    EXPECT_EQ(r.lastreply, w0 + 2s);
    EXPECT_EQ(r.state, RowState::Answering);
    EXPECT_DOUBLE_EQ(veltrin::cli::LossPercent(r), 0.0);
    EXPECT_NEAR(r.rttsum, 0.015, 1e-12);
    // 3 ms lies in the 3.2 ms bucket (index 6), 5 and 7 ms in the 6.4 and 12.8 ms buckets.
    EXPECT_EQ(r.buckets[6], 1u);
    EXPECT_EQ(r.buckets[7], 1u);
    EXPECT_EQ(r.buckets[8], 1u);
    EXPECT_TRUE(a.AllAnswering());
}

TEST(CliRowStats, BucketBoundsDoubleFrom50MicrosecondsTo26Seconds) {
    EXPECT_DOUBLE_EQ(veltrin::cli::RttBucketBound(0), 50e-6);
    EXPECT_DOUBLE_EQ(veltrin::cli::RttBucketBound(1), 100e-6);
    EXPECT_DOUBLE_EQ(veltrin::cli::RttBucketBound(19), 26.2144);
    for (int i = 0; i < veltrin::cli::kRttBuckets; ++i)
        EXPECT_DOUBLE_EQ(veltrin::cli::RttBucketBound(i), veltrin::metrics::BucketBound(i));
    Accounting a({"h"}, 60000ms);
    // 0 ms (under one millisecond) goes to the first bucket; 27 s to none (only +Inf).
    a.Sent(0, "1.2.3.4", t0);
    a.Replied(0, 0, t0, w0);
    a.Sent(0, "1.2.3.4", t0);
    a.Replied(0, 27000, t0, w0);
    std::uint64_t total = 0;
    for (auto b : a.Row(0).buckets) total += b;
    EXPECT_EQ(a.Row(0).buckets[0], 1u);
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(a.Row(0).received, 2u);
}

TEST(CliRowStats, TimeoutsMakeLossAndNotAnswering) {
    Accounting a({"up then down", "silent"}, 1000ms);
    a.Sent(0, "10.0.0.1", t0);
    a.Replied(0, 1, t0 + 1ms, w0);
    a.Sent(1, "10.0.0.2", t0);
    std::vector<std::pair<int, RowState>> changes;
    auto record = [&](int i, const veltrin::cli::RowChange& c) {
        changes.push_back({i, a.Row(i).state});
        EXPECT_TRUE(c.state);
    };
    a.Expire(t0 + 999ms, record);
    EXPECT_TRUE(changes.empty());
    a.Sent(0, "10.0.0.1", t0 + 500ms);
    a.Expire(t0 + 1000ms, record);
    // Row 1 never answered: losing its request changes nothing about its state.
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(a.Row(1).lost, 1u);
    EXPECT_EQ(a.Row(1).state, RowState::NeverAnswered);
    a.Expire(t0 + 1500ms, record);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], (std::pair<int, RowState>{0, RowState::NotAnswering}));
    EXPECT_EQ(a.Row(0).lost, 1u);
    EXPECT_DOUBLE_EQ(veltrin::cli::LossPercent(a.Row(0)), 50.0);
    EXPECT_FALSE(a.AllAnswering());
    // An answer brings it back.
    a.Sent(0, "10.0.0.1", t0 + 2s);
    const auto c = a.Replied(0, 1, t0 + 2s + 1ms, w0 + 2s);
    EXPECT_TRUE(c.state);
    EXPECT_EQ(c.previous, RowState::NotAnswering);
    EXPECT_EQ(a.Row(0).state, RowState::Answering);
}

TEST(CliRowStats, ExpiryFindsEveryLateRequestAndTellsRowsInListOrder) {
    // Sends to rows out of list order, some answered, one sent "earlier" than the one before
    // it; each expiry must lose exactly the requests past the timeout, whichever order they
    // were sent in, and tell the rows that changed in list order.
    std::vector<std::string> names(1000, "h");
    Accounting a(names, 1000ms);
    for (int i : {900, 3, 500}) {
        a.Sent(i, "10.0.0.1", t0);
        a.Replied(i, 1, t0 + 1ms, w0);  // answering, so a loss makes it "not answering"
    }
    a.Sent(900, "10.0.0.1", t0 + 100ms);
    a.Sent(3, "10.0.0.1", t0 + 200ms);
    a.Sent(500, "10.0.0.1", t0 + 50ms);   // taken before the send above it was told of
    a.Sent(700, "10.0.0.1", t0 + 300ms);  // never answers
    a.Sent(3, "10.0.0.1", t0 + 400ms);
    a.Replied(3, 1, t0 + 401ms, w0);      // answers the oldest of row 3's two
    std::vector<int> told;
    auto record = [&](int i, const veltrin::cli::RowChange& c) {
        EXPECT_TRUE(c.state);
        told.push_back(i);
    };
    a.Expire(t0 + 1099ms, record);
    EXPECT_EQ(told, (std::vector<int>{500}));  // sent at 50 ms: late since 1050 ms
    told.clear();
    a.Expire(t0 + 1400ms, record);
    EXPECT_EQ(told, (std::vector<int>{3, 900}));
    const struct {
        int row;
        std::uint64_t lost;
    } expected[] = {{3, 1}, {500, 1}, {700, 1}, {900, 1}, {0, 0}, {999, 0}};
    for (const auto& e : expected) EXPECT_EQ(a.Row(e.row).lost, e.lost) << "row " << e.row;
    EXPECT_EQ(a.Pending(), 0u);
    EXPECT_EQ(a.Row(700).state, RowState::NeverAnswered);
    // Nothing is lost twice, and later requests still expire after the queue ran dry.
    a.Sent(0, "10.0.0.1", t0 + 2s);
    a.Expire(t0 + 3s, record);
    EXPECT_EQ(a.Row(0).lost, 1u);
    EXPECT_EQ(a.Row(3).lost, 1u);
}

TEST(CliRowStats, UnresolvedRowsHaveNoAddress) {
    Accounting a({"nowhere", "was here"}, 1000ms);
    auto c = a.Sent(0, "", t0);
    EXPECT_TRUE(c.state);
    EXPECT_EQ(a.Row(0).state, RowState::NoAddress);
    EXPECT_EQ(a.Row(0).sent, 0u);
    EXPECT_STREQ(veltrin::cli::StateName(a.Row(0).state), "no address");
    // It resolves later: back to never answered.
    a.Sent(0, "10.0.0.9", t0 + 1s);
    EXPECT_EQ(a.Row(0).state, RowState::NeverAnswered);
    // A row that answered and then stops resolving is not answering.
    a.Sent(1, "10.0.0.1", t0);
    a.Replied(1, 1, t0, w0);
    a.Sent(1, "", t0 + 1s);
    EXPECT_EQ(a.Row(1).state, RowState::NotAnswering);
    EXPECT_EQ(a.Row(1).ip, "10.0.0.1");  // the last known address stays
}

TEST(CliRowStats, AReplyWithoutARequestCountsNothing) {
    // The same host twice in a list: both rows show each reply, only the asking row counts it.
    Accounting a({"127.0.0.1", "127.0.0.1"}, 1000ms);
    a.Sent(0, "127.0.0.1", t0);
    a.Replied(0, 0, t0, w0);
    a.Replied(1, 0, t0, w0);
    EXPECT_EQ(a.Row(0).received, 1u);
    EXPECT_EQ(a.Row(1).received, 0u);
    EXPECT_EQ(a.Row(1).sent, 0u);
    EXPECT_EQ(a.Row(1).state, RowState::Answering);
    EXPECT_TRUE(a.Row(1).lastreply.has_value());
}

TEST(CliRowStats, RequestsInFlightAtTheEndAreLeftOut) {
    Accounting a({"h"}, 2000ms);
    a.Sent(0, "10.0.0.1", t0);
    a.Replied(0, 1, t0, w0);
    a.Sent(0, "10.0.0.1", t0 + 1s);
    a.Finish();
    EXPECT_EQ(a.Row(0).sent, 1u);
    EXPECT_EQ(a.Row(0).received, 1u);
    EXPECT_DOUBLE_EQ(veltrin::cli::LossPercent(a.Row(0)), 0.0);
    EXPECT_TRUE(a.Row(0).pending.empty());
}

TEST(CliRowStats, WaitingRequestsAreBounded) {
    Accounting a({"h"}, 60000ms);
    for (std::size_t i = 0; i < Accounting::kMaxPending + 10; ++i) a.Sent(0, "10.0.0.1", t0);
    EXPECT_EQ(a.Row(0).pending.size(), Accounting::kMaxPending);
    EXPECT_EQ(a.Row(0).lost, 10u);
}

TEST(CliRowStats, OutOfRangeRowsAreIgnored) {
    Accounting a({"h"}, 1000ms);
    EXPECT_FALSE(a.Sent(-1, "192.0.2.1", t0).state);
    EXPECT_FALSE(a.Sent(1, "192.0.2.1", t0).state);
    EXPECT_FALSE(a.Replied(5, 1, t0, w0).state);
    EXPECT_EQ(a.Row(0).sent, 0u);
}

}  // namespace
