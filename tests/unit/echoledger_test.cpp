// The send record: which replies are believed, the round trip from our own clock, time-outs in
// send order, late and duplicated replies, the frozen clock of a paused monitor, and its bounds.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <thread>
#include <vector>

#include "monitor/echoledger.h"

using namespace veltrin;

namespace {

constexpr std::int64_t kMs = 1'000'000;
const std::uint32_t kA = ::inet_addr("198.18.1.2");
const std::uint32_t kB = ::inet_addr("198.18.1.3");

std::vector<std::uint32_t> Addrs(const std::vector<EchoLedger::LostEcho>& lost) {
    std::vector<std::uint32_t> out;
    for (const auto& e : lost) out.push_back(e.addr);
    return out;
}

}  // namespace

TEST(EchoLedger, ReplyMustMatchAddressIdentifierAndTick) {
    EchoLedger ledger(2000);
    ledger.Record(kA, 0x1234, 5000, 100 * kMs);
    struct Case {
        std::uint32_t addr;
        std::uint16_t id;
        std::uint32_t tick;
    } const foreign[] = {{kB, 0x1234, 5000}, {kA, 0x1235, 5000}, {kA, 0x1234, 5001}, {kA, 0x3412, 5000}};
    for (const Case& c : foreign) EXPECT_EQ(ledger.Offer(c.addr, c.id, c.tick, 101 * kMs).match, EchoLedger::Match::Unknown);
    EXPECT_EQ(ledger.Unmatched(), 4u);
    const auto answered = ledger.Offer(kA, 0x1234, 5000, 103 * kMs + 250'000);
    EXPECT_EQ(answered.match, EchoLedger::Match::Answered);
    // The time is ours: 3.25 ms since we sent it, whatever tick the packet carried.
    EXPECT_EQ(answered.rttns, 3 * kMs + 250'000);
    // The same reply again is a duplicate: neither counted nor "unknown".
    EXPECT_EQ(ledger.Offer(kA, 0x1234, 5000, 104 * kMs).match, EchoLedger::Match::Duplicate);
    EXPECT_EQ(ledger.Unmatched(), 4u);
}

TEST(EchoLedger, ReplyAfterTheTimeOutIsLateAndShownOnce) {
    EchoLedger ledger(2000);
    ledger.Record(kA, 1, 10, 0);
    EXPECT_TRUE(ledger.TakeLost(1999 * kMs).empty());
    // Not yet swept, but past its time-out: the echo is lost, the reply late.
    const auto late = ledger.Offer(kA, 1, 10, 2500 * kMs);
    EXPECT_EQ(late.match, EchoLedger::Match::Late);
    EXPECT_EQ(late.rttns, 2500 * kMs);
    EXPECT_EQ(ledger.Offer(kA, 1, 10, 2600 * kMs).match, EchoLedger::Match::Duplicate);
    // The loss is reported once, by the sweep.
    EXPECT_EQ(Addrs(ledger.TakeLost(3000 * kMs)), std::vector<std::uint32_t>{kA});
    EXPECT_TRUE(ledger.TakeLost(9000 * kMs).empty());
}

TEST(EchoLedger, LossesComeInSendOrderAndOnlyWhenDue) {
    EchoLedger ledger(1000);
    ledger.Record(kA, 1, 1, 0);
    ledger.Record(kB, 1, 2, 100 * kMs);
    ledger.Record(kA, 1, 3, 200 * kMs);
    EXPECT_EQ(ledger.Offer(kB, 1, 2, 150 * kMs).match, EchoLedger::Match::Answered);
    EXPECT_EQ(ledger.MsUntilDue(500 * kMs), 500);
    EXPECT_EQ(Addrs(ledger.TakeLost(999 * kMs)), std::vector<std::uint32_t>{});
    EXPECT_EQ(Addrs(ledger.TakeLost(1000 * kMs)), std::vector<std::uint32_t>{kA});
    EXPECT_EQ(ledger.MsUntilDue(1000 * kMs), 200);
    EXPECT_EQ(Addrs(ledger.TakeLost(1300 * kMs)), std::vector<std::uint32_t>{kA});
    EXPECT_EQ(ledger.MsUntilDue(1300 * kMs), -1);
    EXPECT_EQ(ledger.TakeSent(), (std::vector<std::uint32_t>{kA, kB, kA}));
    EXPECT_TRUE(ledger.TakeSent().empty());
}

TEST(EchoLedger, IdenticalEchoesAreAnsweredOldestFirst) {
    // Two echoes to one address in the same millisecond carry the same bytes.
    EchoLedger ledger(2000);
    ledger.Record(kA, 7, 42, 10 * kMs);
    ledger.Record(kA, 7, 42, 11 * kMs);
    EXPECT_EQ(ledger.Offer(kA, 7, 42, 12 * kMs).rttns, 2 * kMs);
    EXPECT_EQ(ledger.Offer(kA, 7, 42, 12 * kMs).rttns, 1 * kMs);
    EXPECT_EQ(ledger.Offer(kA, 7, 42, 12 * kMs).match, EchoLedger::Match::Duplicate);
}

TEST(EchoLedger, FrozenClockLosesNothing) {
    EchoLedger ledger(2000);
    ledger.Record(kA, 1, 1, 0);
    ledger.Freeze(1000 * kMs);
    EXPECT_EQ(ledger.MsUntilDue(5000 * kMs), -1);
    EXPECT_TRUE(ledger.TakeLost(60000 * kMs).empty());
    // The reply that waited in the socket while paused still answers its echo, with the real
    // round trip (which includes the pause).
    ledger.Thaw(60000 * kMs);
    EXPECT_EQ(ledger.MsUntilDue(60000 * kMs), 1000);
    EXPECT_EQ(ledger.Offer(kA, 1, 1, 60500 * kMs).match, EchoLedger::Match::Answered);
    ledger.Record(kB, 1, 2, 61000 * kMs);
    EXPECT_TRUE(ledger.TakeLost(62999 * kMs).empty());
    EXPECT_EQ(Addrs(ledger.TakeLost(63000 * kMs)), std::vector<std::uint32_t>{kB});
}

TEST(EchoLedger, ShorterTimeOutAppliesToEchoesInFlight) {
    EchoLedger ledger(5000);
    ledger.Record(kA, 1, 1, 0);
    ledger.SetTimeout(1000);
    EXPECT_EQ(ledger.Timeout(), 1000);
    EXPECT_EQ(Addrs(ledger.TakeLost(1000 * kMs)), std::vector<std::uint32_t>{kA});
}

TEST(EchoLedger, MemoryIsBounded) {
    EchoLedger ledger(1000);
    // Judged echoes are forgotten after the retention time...
    for (std::uint32_t i = 0; i < 1000; ++i) ledger.Record(kA, 1, i, i * kMs);
    ledger.TakeLost(2000 * kMs);
    ledger.Record(kB, 1, 0, 2000 * kMs + EchoLedger::kRetentionNs);
    ledger.TakeLost(2001 * kMs + EchoLedger::kRetentionNs);
    EXPECT_EQ(ledger.Remembered(), 1u);
    // ...and never more than the cap are held, however fast echoes go out.
    EchoLedger flood(600000);
    for (std::uint32_t i = 0; i < EchoLedger::kMaxEntries + 1000; ++i) flood.Record(kA, 1, i, 0);
    EXPECT_LE(flood.Remembered(), EchoLedger::kMaxEntries + 1);
    EXPECT_LE(flood.TakeSent().size(), EchoLedger::kMaxReports);
}

TEST(EchoLedger, ThreadsRecordOfferAndSweepTogether) {
    // Sender, receiver and window thread at once (run under TSan in the sanitizer preset).
    EchoLedger ledger(50);
    constexpr std::uint32_t kEchoes = 5000;
    std::thread sender([&] {
        for (std::uint32_t i = 0; i < kEchoes; ++i) ledger.Record(kA, 1, i, MonotonicNs());
    });
    std::uint64_t answered = 0;
    std::thread receiver([&] {
        for (std::uint32_t i = 0; i < kEchoes; i += 2)
            if (ledger.Offer(kA, 1, i, MonotonicNs()).match == EchoLedger::Match::Answered) ++answered;
    });
    std::size_t sent = 0, lost = 0;
    for (int round = 0; round < 200; ++round) {
        sent += ledger.TakeSent().size();
        lost += ledger.TakeLost(MonotonicNs()).size();
    }
    sender.join();
    receiver.join();
    sent += ledger.TakeSent().size();
    lost += ledger.TakeLost(MonotonicNs() + 1000 * kMs).size();
    EXPECT_EQ(sent, kEchoes);
    // Every echo ends exactly one way.
    EXPECT_EQ(answered + lost, kEchoes);
}
