#include <ostream>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "monitor/detailstat.h"

namespace veltrin {
namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

struct LabelCase {
    const char* name;
    Tdetailstat stat;  // lastsize, sentcount, recvcount, mintime, maxtime, totaltime
    std::array<const char*, 8> texts;
};

// Keeps test listings readable: the case is named by its name, not dumped as bytes.
void PrintTo(const LabelCase& c, std::ostream* out) { *out << c.name; }

class StatisticsLabelsTest : public ::testing::TestWithParam<LabelCase> {};

TEST_P(StatisticsLabelsTest, BuildsTheEightLabels) {
    const LabelCase& c = GetParam();
    const auto labels = StatisticsLabels(c.stat);
    for (std::size_t i = 0; i < labels.size(); ++i) EXPECT_EQ(labels[i], c.texts[i]) << "label " << i;
}

const LabelCase kLabelCases[] = {
    {"WorkedExample",
     {60, 10, 8, 20, 31, 203},
     {"Sent:       10", "Received:        8", "Approximate speed:     40 Kbps", "Lost:        20% (lost)",
      "Minum:       20  ms", "Maxum:        31  ms", "Average:         25   ms", "Packet size: 60  Byte"}},
    {"AllZero",
     {0, 0, 0, 0, 0, 0},
     {"Sent:       0", "Received:        0", "Approximate speed:        -1 ms", "Lost:         100%(lost)",
      "Minum:       0  ms", "Maxum:        0  ms", "Average:       -1  ms", "Packet size: 0  Byte"}},
    {"AllRepliesUnderOneMillisecond",
     {32, 4, 4, 0, 0, 0},
     {"Sent:       4", "Received:        4", "Approximate speed:        -1 ms", "Lost:        0% (lost)",
      "Minum:       0  ms", "Maxum:        0  ms", "Average:         0   ms", "Packet size: 32  Byte"}},
    {"AverageZero",
     {32, 4, 4, 1, 1, 3},
     {"Sent:       4", "Received:        4", "Approximate speed:        -1 Kbps", "Lost:        0% (lost)",
      "Minum:       1  ms", "Maxum:        1  ms", "Average:         0   ms", "Packet size: 32  Byte"}},
    {"ReceivedBeforeSent",
     {32, 0, 1, 5, 5, 5},
     {"Sent:       0", "Received:        1", "Approximate speed:     204 Kbps", "Lost:         100%(lost)",
      "Minum:       5  ms", "Maxum:        5  ms", "Average:         5   ms", "Packet size: 32  Byte"}},
    {"HalfLost",
     {32, 10, 5, 2, 9, 25},
     {"Sent:       10", "Received:        5", "Approximate speed:     204 Kbps", "Lost:        50% (lost)",
      "Minum:       2  ms", "Maxum:        9  ms", "Average:         5   ms", "Packet size: 32  Byte"}},
    {"AverageOver1024",
     {32, 2, 2, 1500, 1600, 3100},
     {"Sent:       2", "Received:        2", "Approximate speed:     0 Kbps", "Lost:        0% (lost)",
      "Minum:       1500  ms", "Maxum:        1600  ms", "Average:         1550   ms", "Packet size: 32  Byte"}},
    {"MoreReceivedThanSent",
     {32, 3, 6, 1, 1, 6},
     {"Sent:       3", "Received:        6", "Approximate speed:     1024 Kbps", "Lost:        0% (lost)",
      "Minum:       1  ms", "Maxum:        1  ms", "Average:         1   ms", "Packet size: 32  Byte"}},
    // lost x 100 leaves 32 bits here; the exact quotient is what the text shows.
    {"LargeCountsDoNotOverflow",
     {1024, kMax, 1, 7, 7, 7},
     {"Sent:       2147483647", "Received:        1", "Approximate speed:     146 Kbps", "Lost:        99% (lost)",
      "Minum:       7  ms", "Maxum:        7  ms", "Average:         7   ms", "Packet size: 1024  Byte"}},
    {"SaturatedCounters",
     {kMax, kMax, kMax, kMax, kMax, kMax},
     {"Sent:       2147483647", "Received:        2147483647", "Approximate speed:     1024 Kbps",
      "Lost:        0% (lost)", "Minum:       2147483647  ms", "Maxum:        2147483647  ms",
      "Average:         1   ms", "Packet size: 2147483647  Byte"}},
    // Values the counter update never produces still give defined texts (no INT32_MIN / -1).
    {"ExtremeNegatives",
     {kMin, 1, -1, kMin, kMin, kMin},
     {"Sent:       1", "Received:        -1", "Approximate speed:     0 Kbps", "Lost:        200% (lost)",
      "Minum:       -2147483648  ms", "Maxum:        -2147483648  ms", "Average:         2147483647   ms",
      "Packet size: -2147483648  Byte"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, StatisticsLabelsTest, ::testing::ValuesIn(kLabelCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PacketDumpLinesTest, EchoRequestHeader) {
    std::uint8_t bytes[32] = {0x08, 0x00, 0xF7, 0xFF, 0x12, 0x34, 0x00, 0x00};
    for (int i = 8; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    const auto lines = PacketDumpLines(bytes);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], std::string(40, '='));
    EXPECT_EQ(lines[1], "Ping data:08 00 F7 FF 12 34 00 00 ");
    EXPECT_EQ(lines[2], "Ping data:A8 A9 AA AB AC AD AE AF ");
    EXPECT_EQ(lines[3], "Ping data:B0 B1 B2 B3 B4 B5 B6 B7 ");
    EXPECT_EQ(lines[4], "Ping data:B8 B9 BA BB BC BD BE BF ");
    EXPECT_EQ(lines[5], std::string(40, '='));
}

TEST(PacketDumpLinesTest, AllZeroPacket) {
    const std::uint8_t bytes[32] = {};
    const auto lines = PacketDumpLines(bytes);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "========================================");
    for (int k = 1; k <= 4; ++k) EXPECT_EQ(lines[k], "Ping data:00 00 00 00 00 00 00 00 ");
    EXPECT_EQ(lines[5], lines[0]);
}

TEST(PacketDumpLinesTest, ReadsOnlyTheFirst32Bytes) {
    std::uint8_t bytes[40] = {};
    for (int i = 32; i < 40; ++i) bytes[i] = 0xFF;
    const auto lines = PacketDumpLines(bytes);
    for (int k = 1; k <= 4; ++k) EXPECT_EQ(lines[k].find("FF"), std::string::npos);
}

TEST(ReplyRoundTripTest, ReadsWholeDecimalIntegers) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    } const cases[] = {
        {"0", true, 0},           {"15", true, 15},          {"2147483647", true, kMax}, {"-3", true, -3},
        {"+7", true, 7},          {"2147483648", false, 0},  {"4294967295", false, 0},   {"", false, 0},
        {"Error", false, 0},      {"12ms", false, 0},        {" 12", false, 0},          {"+-1", false, 0},
        {"99999999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        std::int32_t value = 12345;
        EXPECT_EQ(ReplyRoundTrip(c.text, value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 12345) << c.text;
    }
}

TEST(AccountReplyTest, MinimumMaximumAndTotal) {
    Tdetailstat s;
    ASSERT_TRUE(AccountReply(s, 20, 60));
    ASSERT_TRUE(AccountReply(s, 31, 60));
    ASSERT_TRUE(AccountReply(s, 25, 52));
    EXPECT_EQ(s.recvcount, 3);
    EXPECT_EQ(s.totaltime, 76);
    EXPECT_EQ(s.mintime, 20);
    EXPECT_EQ(s.maxtime, 31);
    EXPECT_EQ(s.lastsize, 52);
    EXPECT_EQ(s.sentcount, 0);  // sends are counted by the sender alone
}

// A reply under one millisecond is a real minimum: 3, 0, 9 ms give 0, not 9.
TEST(AccountReplyTest, ZeroRoundTripIsARealMinimum) {
    const struct {
        std::vector<std::int64_t> times;
        std::int32_t min, max;
    } cases[] = {
        {{3, 0, 9}, 0, 9}, {{0, 4, 2}, 0, 4}, {{0}, 0, 0}, {{7, 5, 6}, 5, 7}, {{9, 0, 0, 1}, 0, 9},
    };
    for (const auto& c : cases) {
        Tdetailstat s;
        for (std::int64_t t : c.times) ASSERT_TRUE(AccountReply(s, t, 32));
        EXPECT_EQ(s.mintime, c.min) << testing::PrintToString(c.times);
        EXPECT_EQ(s.maxtime, c.max) << testing::PrintToString(c.times);
        EXPECT_TRUE(s.hasmin);
        EXPECT_EQ(StatisticsLabels(s)[4], "Minum:       " + std::to_string(c.min) + "  ms");
    }
}

TEST(AccountReplyTest, RoundTripOutside32BitsDropsThePacket) {
    Tdetailstat s{1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(AccountReply(s, std::int64_t{kMax} + 1, 99));
    EXPECT_FALSE(AccountReply(s, 4294967295LL, 99));
    EXPECT_FALSE(AccountReply(s, std::int64_t{kMin} - 1, 99));
    EXPECT_EQ(s.lastsize, 1);
    EXPECT_EQ(s.sentcount, 2);
    EXPECT_EQ(s.recvcount, 3);
    EXPECT_EQ(s.mintime, 4);
    EXPECT_EQ(s.maxtime, 5);
    EXPECT_EQ(s.totaltime, 6);
    EXPECT_TRUE(AccountReply(s, kMax, 99));
    EXPECT_EQ(s.maxtime, kMax);
}

TEST(AccountReplyTest, AverageStaysRightPastThirtyTwoBits) {
    Tdetailstat s;
    ASSERT_TRUE(AccountReply(s, kMax, 32));
    ASSERT_TRUE(AccountReply(s, kMax, 32));
    EXPECT_EQ(s.totaltime, 2 * std::int64_t{kMax});
    EXPECT_EQ(StatisticsLabels(s)[6], "Average:         2147483647   ms");
    ASSERT_TRUE(AccountReply(s, 1, 32));
    EXPECT_EQ(StatisticsLabels(s)[6], "Average:         1431655765   ms");  // (2 x max + 1) / 3
}

TEST(AccountReplyTest, CountSaturatesInsteadOfWrapping) {
    Tdetailstat s;
    s.recvcount = kMax;
    s.totaltime = kMax - 10;
    ASSERT_TRUE(AccountReply(s, 100, 32));
    EXPECT_EQ(s.recvcount, kMax);
    EXPECT_EQ(s.totaltime, std::int64_t{kMax} + 90);
    // The 64-bit sum itself pins at its ends (never reached in a run; a negative round trip is
    // never produced by the decoder).
    s.totaltime = std::numeric_limits<std::int64_t>::max() - 5;
    ASSERT_TRUE(AccountReply(s, kMax, 32));
    EXPECT_EQ(s.totaltime, std::numeric_limits<std::int64_t>::max());
    s.totaltime = std::numeric_limits<std::int64_t>::min() + 5;
    ASSERT_TRUE(AccountReply(s, -100, 32));
    EXPECT_EQ(s.totaltime, std::numeric_limits<std::int64_t>::min());
    // The texts built from saturated counters stay well defined.
    const auto labels = StatisticsLabels(s);
    EXPECT_EQ(labels[1], "Received:        2147483647");
}

TEST(AccountSendTest, CountsAndSaturates) {
    Tdetailstat s;
    AccountSend(s);
    AccountSend(s);
    EXPECT_EQ(s.sentcount, 2);
    s.sentcount = kMax;
    AccountSend(s);
    EXPECT_EQ(s.sentcount, kMax);
}

}  // namespace
}  // namespace veltrin
