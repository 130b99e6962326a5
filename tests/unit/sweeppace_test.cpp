// The sweep pace's plan: every row in list order once per period, the sends spread evenly, at
// most one echo in flight per address, and a plan that follows the list when it changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "monitor/sweeppace.h"

namespace veltrin {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kTimeout = 2000 * kMs;

// Row i names address 1000 + i unless `addresses` says otherwise; a value of 0 means no address.
struct Plan {
    std::vector<std::uint32_t> addresses;
    std::vector<int> turns;      // rows whose turn came, in order
    std::vector<int> sent;       // rows sent to, in order
    std::vector<int> noaddress;  // rows with no address
    SweepPace::TargetFn target() {
        return [this](int row, std::uint32_t& value) {
            value = addresses.empty() ? 1000u + static_cast<std::uint32_t>(row) : addresses[static_cast<std::size_t>(row)];
            return value != 0;
        };
    }
    SweepPace::TurnFn turn() {
        return [this](int row, bool hasaddress, std::uint32_t, bool s) {
            turns.push_back(row);
            if (!hasaddress) noaddress.push_back(row);
            if (s) sent.push_back(row);
        };
    }
};

// Plans slices until `turns` turns came, as the sender asks for them: each slice starts where
// the last one's time ended. Answers every echo at once unless `answer` is false.
std::vector<SweepSlot> PlanTurns(SweepPace& pace, Plan& plan, int rows, long long periodms, std::size_t turns,
                           std::int64_t& now, bool answer = true) {
    std::vector<SweepSlot> all;
    while (all.size() < turns) {
        SweepSlice slice;
        pace.Next(rows, periodms, now, kTimeout, plan.target(), plan.turn(), slice);
        EXPECT_FALSE(slice.turns.empty());
        if (slice.turns.empty()) break;
        for (const SweepSlot& s : slice.turns) {
            all.push_back(s);
            if (answer && s.send) pace.Answered(s.value);
        }
        now += slice.gapns * static_cast<std::int64_t>(slice.turns.size());
    }
    return all;
}

TEST(SweepPace, GapSpreadsThePeriodOverTheRows) {
    struct Case {
        int rows;
        long long periodms;
        std::int64_t gapns;
    };
    const Case cases[] = {
        {254, 1000, 1'000'000'000 / 254},
        {1, 300, 300 * kMs},
        {10, 100, 10 * kMs},
        {254, 100, 100 * kMs / 254},                                  // the fastest pace, 0.39 ms apart
        {100000, 100, SweepPace::kMinGapNs},                          // too many for the period: stretched
        {0, 1000, SweepPace::kMinGapNs},                              // nothing to send
        {10, 0, SweepPace::kMinGapNs},                                // a period of nothing is no flood
        {1, 3'600'000, 3'600'000 * kMs},                              // an hour, no overflow
    };
    for (const Case& c : cases) EXPECT_EQ(SweepPace::GapNs(c.rows, c.periodms), c.gapns) << c.rows << " " << c.periodms;
}

TEST(SweepPace, EveryRowOncePerPeriodInListOrder) {
    for (const int rows : {1, 2, 7, 254, 1000}) {
        SweepPace pace;
        Plan plan;
        std::int64_t now = 0;
        const auto turns = PlanTurns(pace, plan, rows, 1000, static_cast<std::size_t>(rows) * 3, now);
        ASSERT_GE(plan.turns.size(), static_cast<std::size_t>(rows) * 3);
        for (std::size_t k = 0; k < plan.turns.size(); ++k)
            ASSERT_EQ(plan.turns[k], static_cast<int>(k % static_cast<std::size_t>(rows))) << rows << " rows, turn " << k;
        // One period's turns reach every row, and take one period.
        std::set<int> first(plan.sent.begin(), plan.sent.begin() + rows);
        EXPECT_EQ(first.size(), static_cast<std::size_t>(rows));
        EXPECT_EQ(turns.size(), plan.turns.size());
    }
}

TEST(SweepPace, ASliceIsAShortPartOfThePeriod) {
    SweepPace pace;
    Plan plan;
    SweepSlice slice;
    pace.Next(254, 1000, 0, kTimeout, plan.target(), plan.turn(), slice);
    EXPECT_LE(static_cast<std::int64_t>(slice.turns.size()) * slice.gapns, SweepPace::kSliceNs);
    EXPECT_GE(slice.turns.size(), 1u);
    // A period longer than a slice per row still plans one row at a time.
    pace.Next(3, 36000, 0, kTimeout, plan.target(), plan.turn(), slice);
    EXPECT_EQ(slice.turns.size(), 1u);
    // A list shorter than a slice is not planned twice in one slice.
    pace.Next(3, 1, 0, kTimeout, plan.target(), plan.turn(), slice);
    EXPECT_LE(slice.turns.size(), 3u);
}

TEST(SweepPace, OneEchoInFlightPerAddress) {
    SweepPace pace;
    Plan plan;
    std::int64_t now = 0;
    // 10 rows every 100 ms, nobody answers: a row is sent to again only once its echo's
    // time-out (and a slice) passed, however many periods go by meanwhile.
    PlanTurns(pace, plan, 10, 100, 10 * 60, now, /*answer=*/false);  // 6 s of turns
    std::map<int, int> count;
    for (int row : plan.sent) ++count[row];
    for (int row = 0; row < 10; ++row) {
        // 6 s with a 2 s time-out (plus a slice): 2 or 3 sends, never one per period (60).
        EXPECT_GE(count[row], 2) << row;
        EXPECT_LE(count[row], 3) << row;
    }
    // Answered addresses are sent to at every turn.
    SweepPace answered;
    Plan plan2;
    std::int64_t now2 = 0;
    PlanTurns(answered, plan2, 10, 100, 10 * 60, now2, /*answer=*/true);
    EXPECT_EQ(plan2.sent.size(), plan2.turns.size());
}

TEST(SweepPace, RowsSharingAnAddressShareItsEcho) {
    SweepPace pace;
    Plan plan;
    plan.addresses = {7, 8, 7, 0, 9};  // rows 0 and 2 name one address, row 3 none
    SweepSlice slice;
    pace.Next(5, 1000, 0, kTimeout, plan.target(), plan.turn(), slice);
    while (plan.turns.size() < 5) pace.Next(5, 1000, 0, kTimeout, plan.target(), plan.turn(), slice);
    EXPECT_EQ(plan.sent, (std::vector<int>{0, 1, 4}));
    EXPECT_EQ(plan.noaddress, (std::vector<int>{3}));
    // The turn without an echo keeps its time: the others stay evenly spread.
    EXPECT_EQ(slice.gapns, 1000 * kMs / 5);
}

TEST(SweepPace, FollowsTheListWhenItShrinksAndStartsAgainOnReset) {
    SweepPace pace;
    Plan plan;
    std::int64_t now = 0;
    PlanTurns(pace, plan, 10, 1000, 7, now);
    EXPECT_EQ(pace.Cursor(), 7);
    SweepSlice slice;
    pace.Next(5, 1000, now, kTimeout, plan.target(), plan.turn(), slice);  // the list lost five rows
    EXPECT_LT(plan.turns.back(), 5);
    pace.Next(0, 1000, now, kTimeout, plan.target(), plan.turn(), slice);
    EXPECT_TRUE(slice.turns.empty());
    pace.Reset();
    plan.turns.clear();
    pace.Next(10, 1000, now, kTimeout, plan.target(), plan.turn(), slice);
    ASSERT_FALSE(plan.turns.empty());
    EXPECT_EQ(plan.turns.front(), 0);
}

}  // namespace
}  // namespace veltrin
