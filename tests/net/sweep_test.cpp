// The monitor's sweep pace against real ICMP: 254 loopback rows (127.0.0.0/8 answers on every
// address) and a slow test host in its own network namespace. The test thread is the window
// thread and drains the hand-over queue. Every wait is bounded and polls for a state; nothing
// asserts on time: "every row within one period" is checked as the order of the sends (one
// period holds one turn per row), the time it takes is a benchmark's business.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "engine/icmp_channel.h"
#include "monitor/channelslot.h"
#include "monitor/monitor.h"
#include "monitor/pingthreads.h"
#include "monitor/rowpicker.h"
#include "net/testhost_helper.h"
#include "shared/monitorstubs.h"

namespace veltrin {
namespace {

using namespace std::chrono_literals;
using testing::TestHost;

constexpr auto kBound = 30s;  // a generous cap for waits that take a few seconds

class SweepNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
        EngineStartup();
        Golbal()->datalength = 8;
        monitor = std::make_unique<Monitor>(list, queue, events, [this] { return intervaltext; });
        monitor->SetPickObserver([this](int row, const std::string& ip, std::int64_t) {
            if (onpick) onpick(row, ip);
            picks.push_back(row);
        });
    }
    void TearDown() override { monitor.reset(); }

    void AddLoopbackRows(int count) {
        for (int i = 1; i <= count; ++i) list.Append("127.0.0." + std::to_string(i));
    }
    bool DrainUntil(const std::function<bool()>& cond) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            queue.WaitAndDrain(5);
        }
        return true;
    }
    int Answered() const {
        int n = 0;
        for (int i = 0; i < list.Count(); ++i)
            if (list.Row(i).ttl == "64") ++n;
        return n;
    }

    AddressList list;
    testing::TestWindowQueue queue;
    testing::RecordingEvents events;
    std::string intervaltext = "3";
    std::unique_ptr<Monitor> monitor;
    std::vector<int> picks;
    std::function<void(int, const std::string&)> onpick;
};

TEST_F(SweepNetTest, EveryOneOf254RowsInEachPeriodInListOrder) {
    AddLoopbackRows(254);
    intervaltext = "3";  // every row every 300 ms
    monitor->SetSweep(true);
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return picks.size() >= 3 * 254 && Answered() == 254; }))
        << picks.size() << " sends, " << Answered() << " rows answered";
    // The first period sends to every row, in list order: nothing is in flight yet.
    for (std::size_t k = 0; k < 254; ++k) ASSERT_EQ(picks[k], static_cast<int>(k)) << "send " << k;
    // Later periods keep the order; a row whose echo is still out (on a loaded machine a reply
    // can take longer than a period to reach the window) waits for its next turn, and a row
    // is never sent to twice in one period.
    std::size_t periods = 1;  // the one that began with send 254
    std::vector<std::size_t> sends(254, 0);
    ++sends[static_cast<std::size_t>(picks[254])];
    for (std::size_t k = 255; k < picks.size(); ++k) {
        if (picks[k] <= picks[k - 1]) ++periods;
        ++sends[static_cast<std::size_t>(picks[k])];
    }
    EXPECT_GE(periods, 2u);
    for (int i = 0; i < 254; ++i) EXPECT_LE(sends[static_cast<std::size_t>(i)], periods) << "row " << i;
    std::vector<int> times;
    for (int i = 0; i < 254; ++i) {
        EXPECT_GE(list.Status(i).sent, 1u) << i;
        ASSERT_FALSE(list.Row(i).time.empty()) << i;
        times.push_back(std::stoi(list.Row(i).time));
    }
    EXPECT_TRUE(monitor->running());
    // At this pace the receiver reads the replies of each 50 ms at once; their round trips come
    // from the kernel's arrival stamps, not from the read, so loopback stays near 0 ms (a read
    // time would spread them evenly up to 50 ms).
    std::sort(times.begin(), times.end());
    EXPECT_LE(times[times.size() / 2], 5) << "median round trip " << times[times.size() / 2] << " ms";
}

TEST_F(SweepNetTest, TheOrdinaryPaceStillPicksAtRandom) {
    AddLoopbackRows(254);
    intervaltext = "1";
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return picks.size() >= 20; }));
    RowPicker picker;
    for (std::size_t k = 0; k < 20; ++k) EXPECT_EQ(picks[k], picker.next(254)) << "pick " << k;
    EXPECT_FALSE(monitor->Sweeping());
}

TEST_F(SweepNetTest, SwitchingPaceWhileRunningTakesEffect) {
    AddLoopbackRows(20);
    intervaltext = "1";
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return picks.size() >= 3 && Answered() >= 1; }));
    // At the ordinary pace the sender reads the replies while it waits; the receiver thread
    // keeps out of the socket.
    const trecvthread* receiver = monitor->Receiver();
    ASSERT_NE(receiver, nullptr);
    // (The receiver reads what came before: the reply to the echo that gives a raw socket its
    // address, and one it may have been waiting for when the sender began to read.)
    ASSERT_TRUE(DrainUntil([&] { return receiver->ReadsByThread().bysender >= 3; }));
    const trecvthread::ReadCounts before = receiver->ReadsByThread();
    ASSERT_TRUE(DrainUntil([&] { return receiver->ReadsByThread().bysender >= before.bysender + 5; }));
    EXPECT_EQ(receiver->ReadsByThread().byreceiver, before.byreceiver);
    monitor->SetSweep(true);
    picks.clear();
    ASSERT_TRUE(DrainUntil([&] { return picks.size() >= 40; }));
    // The sweep's replies are the receiver's to read again: every row is answered.
    ASSERT_TRUE(DrainUntil([&] { return Answered() == 20; })) << Answered();
    EXPECT_GT(receiver->ReadsByThread().byreceiver, before.byreceiver);
    // The first sweep slice may still follow a random pick already planned; after that the
    // rows come in list order from the first one.
    std::size_t start = 0;
    while (start < picks.size() && picks[start] != 0) ++start;
    ASSERT_LT(start + 20, picks.size());
    for (std::size_t k = 0; k < 20; ++k) EXPECT_EQ(picks[start + k], static_cast<int>(k));
    monitor->SetSweep(false);
    monitor->Stop();
    EXPECT_FALSE(monitor->running());
}

TEST_F(SweepNetTest, ARowWaitsWhileItsEchoIsInFlight) {
    if (auto why = TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why;
    // The host answers 1.2 s late; its row comes up every 300 ms, so four of every five turns
    // find its echo still out.
    TestHost host({.delay_ms = 1200, .userspace = true});
    ASSERT_TRUE(host.ok()) << host.error();
    list.Append("127.0.0.1");
    list.Append(host.address());
    intervaltext = "3";
    int hostsends = 0;
    int turnsinflight = 0;
    onpick = [&](int row, const std::string&) {
        if (row != 1) return;
        const RowStatus& s = list.Status(1);
        // Every earlier echo of the row is answered (or lost) before the next one is sent.
        if (s.received + s.lost < static_cast<std::uint64_t>(hostsends)) ++turnsinflight;
        ++hostsends;
    };
    monitor->SetSweep(true);
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return list.Status(1).received >= 3; })) << list.Status(1).received;
    EXPECT_EQ(turnsinflight, 0);
    // The loopback row went on at its own pace meanwhile.
    EXPECT_GT(list.Status(0).received, 3 * list.Status(1).received);
    EXPECT_LE(hostsends, static_cast<int>(list.Status(1).received + list.Status(1).lost) + 1);
    EXPECT_EQ(list.Status(1).lost, 0u);
}

// A pick counts as sent for whoever watches the picks (the console's counts, the sweep's one echo
// in flight), so the sender takes none while its receiver has not opened the shared channel yet:
// an echo picked then could not go out, and its row would wait out a whole time-out unanswered.
TEST(SenderChannelTest, NoPickIsTakenBeforeTheReceiverHasAChannel) {
    if (!testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
    EngineStartup();
    testing::TestWindowQueue queue;
    std::atomic<int> picks{0};
    const auto pick = [&picks](SendTarget& target) {
        ++picks;
        target.ip = "127.0.0.1";
        target.interval = 1;
        target.datalength = 8;
        return true;
    };
    auto slot = std::make_shared<ChannelSlot>();
    auto sender = std::make_unique<Threaded<tsendthread>>(queue, pick, std::function<void(int)>{}, 5);
    sender->SetChannelSlot(slot);
    ASSERT_TRUE(sender->Start());
    for (int i = 0; i < 40; ++i) queue.WaitAndDrain(5);  // many of the sender's cycles
    EXPECT_EQ(picks.load(), 0);

    IcmpChannelChoice choice = OpenIcmpChannel();
    ASSERT_TRUE(choice.channel) << choice.notice;
    slot->Set(std::shared_ptr<IcmpChannel>(std::move(choice.channel)));
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (picks.load() == 0 && std::chrono::steady_clock::now() < deadline) queue.WaitAndDrain(5);
    EXPECT_GT(picks.load(), 0);
    sender.reset();
}

}  // namespace
}  // namespace veltrin
