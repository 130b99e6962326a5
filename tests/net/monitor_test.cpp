// The monitor against real ICMP: loopback rows (127.0.0.0/8 answers on every address) and test
// hosts in their own network namespaces. The test thread is the window thread and drains the
// hand-over queue. Every wait is bounded and polls for a state; nothing asserts on time.
//
// To prove that a datagram which must change nothing has really been handled, the test watches
// the same datagrams on a raw socket of its own: the monitor's receiver handles datagrams in
// arrival order, so once the monitor has written the reply of a witness row that arrived after
// the datagram in question, that datagram is behind it.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shared/monitorstubs.h"
#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "monitor/monitor.h"
#include "monitor/replyfilter.h"
#include "net/rawreceive.h"
#include "net/testhost_helper.h"

namespace veltrin {
namespace {

using namespace std::chrono_literals;
using testing::TestHost;
using testing::TestHostOptions;

constexpr auto kBound = 10s;  // a generous cap for a wait that should take a fraction of a second

using Events = veltrin::testing::RecordingEvents;

// Counts cell writes per row and keeps every TTL a row has shown.
class CellLog : public AddressList::Observer {
public:
    explicit CellLog(const AddressList& list) : list_(list) {}
    std::map<int, int> changes;
    std::map<int, std::vector<std::string>> ttls;
    int total = 0;
    void RowsReset() override {}
    void RowsInserted(int, int) override {}
    void RowsRemoved(int, int) override {}
    void RowChanged(int row) override {
        ++changes[row];
        ++total;
        ttls[row].push_back(list_.Row(row).ttl);
    }
    void SelectionChanged() override {}

private:
    const AddressList& list_;
};

// Every ICMP datagram this host receives, as the monitor's receiver sees them.
class DatagramLog {
public:
    struct Entry {
        std::string source;
        int type;
        std::uint16_t id;
        int ttl;
    };
    DatagramLog() { EXPECT_TRUE(socket_.ok()) << "raw socket: " << socket_.error(); }
    void Poll() {
        std::uint8_t buffer[2048];
        for (;;) {
            pollfd p{socket_.fd(), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) return;
            const ssize_t n = socket_.Receive(buffer, sizeof buffer);
            if (n <= 0) return;
            const std::vector<std::uint8_t> d(buffer, buffer + n);
            entries.push_back({testing::SourceOf(d), testing::IcmpType(d), testing::IcmpIdentifier(d), d.size() > 8 ? d[8] : -1});
        }
    }
    std::vector<Entry> entries;
    const IcmpSocket& socket() const { return socket_; }

private:
    IcmpSocket socket_;
};

class MonitorNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!veltrin::testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
        EngineStartup();
        Golbal()->datalength = 8;
        Golbal()->interval = 3;
        list.SetObserver(&cells);
        monitor = std::make_unique<Monitor>(list, queue, events, [this] { return intervaltext; });
    }
    void TearDown() override {
        monitor.reset();
        if (Golbal()) Golbal()->datalength = 8;
    }

    // Drains the window thread's queue until `cond` holds or the bound passes.
    bool DrainUntil(const std::function<bool()>& cond) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            queue.WaitAndDrain(5);
            log.Poll();
        }
        return true;
    }
    void DrainFor(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            queue.WaitAndDrain(5);
            log.Poll();
        }
    }

    bool Answered(int row, const std::string& bytes = "return data length:   32") const {
        const AddressRow& r = list.Row(row);
        return r.ttl == "64" && r.bytes == bytes && !r.time.empty();
    }
    bool IsEchoReplyToMonitor(const DatagramLog::Entry& e) const {
        return e.type == 0 && e.id == monitor->SenderIdentifier();
    }
    std::size_t SeenFrom(const std::function<bool(const DatagramLog::Entry&)>& match) const {
        std::size_t n = 0;
        for (const auto& e : log.entries)
            if (match(e)) ++n;
        return n;
    }

    // Waits until `count` datagrams matching `match` have arrived and the monitor has handled
    // them. Once the test's socket holds them, the monitor's socket holds them too (the kernel
    // hands every ICMP datagram to all raw sockets as it delivers it); a marker sent after that
    // is queued behind them, and the monitor's receiver handles datagrams in order, each one's
    // window step before it reads the next. The marker is an echo reply with a wrong checksum:
    // the receiver counts it as it drops it, and the kernel neither answers nor forwards it.
    bool WaitHandled(const std::function<bool(const DatagramLog::Entry&)>& match, std::size_t count, int witnessrow) {
        (void)witnessrow;
        if (!DrainUntil([&] {
                std::size_t seen = 0;
                for (const auto& e : log.entries)
                    if (match(e)) ++seen;
                return seen >= count;
            }))
            return false;
        const std::uint64_t before = BadChecksumDatagrams();
        SendForgedReply(201, 40, /*badchecksum=*/true);
        if (!DrainUntil([&] { return BadChecksumDatagrams() > before; })) return false;
        // Replies reach the window in gathered steps: what was accepted before the marker may
        // still wait for its step.
        const trecvthread* receiver = monitor->Receiver();
        return receiver != nullptr &&
               DrainUntil([&] { return receiver->ShownDatagrams() >= receiver->AcceptedDatagrams(); });
    }

    // An echo reply that nobody asked for, carrying the monitor's identifier and a tick no echo
    // of this run carries, sent from the test's own socket to 127.0.0.1 with the given TTL and
    // message length.
    void SendForgedReply(int ttl, int length, bool badchecksum = false) {
        auto message = BuildEchoRequest(monitor->SenderIdentifier(), TickCount() + 0x80000000u, length);
        message[0] = 0;
        message[2] = message[3] = 0;
        std::uint16_t sum = IcmpChecksum(message.data(), message.size());
        if (badchecksum) sum ^= 0x0101;
        message[2] = static_cast<std::uint8_t>(sum & 0xFF);
        message[3] = static_cast<std::uint8_t>(sum >> 8);
        ASSERT_EQ(::setsockopt(log.socket().fd(), IPPROTO_IP, IP_TTL, &ttl, sizeof ttl), 0);
        ASSERT_EQ(log.socket().SendTo(message.data(), message.size(), ::inet_addr("127.0.0.1")),
                  static_cast<ssize_t>(message.size()));
    }

    DatagramLog log;  // opened before the monitor's receiver, so it sees at least as much
    veltrin::testing::TestWindowQueue queue;  // the test thread plays the window thread
    Events events;
    AddressList list;
    CellLog cells{list};
    std::string intervaltext = "1";
    std::unique_ptr<Monitor> monitor;
};

TEST_F(MonitorNetTest, RowsResolvingToTheReplySourceAreWritten) {
    for (const char* a : {"127.0.0.1", "127.0.0.2", "127.0.0.2", "127.000.000.003"}) list.Append(a);
    monitor->Start();
    ASSERT_TRUE(monitor->running());
    ASSERT_TRUE(DrainUntil([&] { return Answered(0) && Answered(1) && Answered(2); }))
        << list.Row(0).ttl << "|" << list.Row(1).ttl << "|" << list.Row(2).ttl;
    // The leading-zero row is pinged as 127.0.0.3 and matched by address value, not by text,
    // so it shows the replies of 127.0.0.3.
    ASSERT_TRUE(DrainUntil([&] { return Answered(3); })) << list.Row(3).ttl;
    // Both rows of the duplicated address are written by every reply from it.
    EXPECT_EQ(cells.changes[1], cells.changes[2]);
    EXPECT_EQ(Golbal()->interval, 1);
    EXPECT_TRUE(events.hints.empty());
    EXPECT_TRUE(events.fatal.empty());
}

TEST_F(MonitorNetTest, DataLengthThirtyTwoShowsFiftyTwoBytes) {
    Golbal()->datalength = 32;
    list.Append("127.0.0.1");
    list.Append("localhost");  // a name resolves to the address the reply comes from
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] {
        return Answered(0, "return data length:   52") && Answered(1, "return data length:   52");
    })) << list.Row(0).bytes << "|" << list.Row(1).bytes;
}

TEST_F(MonitorNetTest, StopThenStartResumesTheSameWorkers) {
    list.Append("127.0.0.1");
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    const trecvthread* receiver = monitor->Receiver();
    const std::uint16_t sender = monitor->SenderIdentifier();
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(receiver->SocketsOpened(), 1);

    monitor->Stop();
    EXPECT_FALSE(monitor->running());
    EXPECT_TRUE(monitor->created());
    EXPECT_FALSE(events.status.back());
    // While paused nothing is read or written: a datagram that comes meanwhile waits in the
    // socket and is judged after the next Start (this one, answering nothing we sent, is then
    // dropped and counted).
    DrainFor(200ms);  // a step already under way at the Stop may finish first
    const int before = cells.total;
    const std::uint64_t unmatched = monitor->UnmatchedReplies();
    SendForgedReply(99, 40);
    DrainFor(500ms);
    EXPECT_EQ(cells.total, before);
    EXPECT_EQ(monitor->UnmatchedReplies(), unmatched);

    monitor->Start();
    EXPECT_TRUE(monitor->running());
    EXPECT_TRUE(events.status.back());
    EXPECT_EQ(monitor->Receiver(), receiver);
    EXPECT_EQ(monitor->SenderIdentifier(), sender);
    EXPECT_EQ(receiver->SocketsOpened(), 1);
    ASSERT_TRUE(DrainUntil([&] { return monitor->UnmatchedReplies() > unmatched; }));
    for (const auto& t : cells.ttls[0]) EXPECT_NE(t, "99");
    // And the real replies go on after it.
    const int after = cells.changes[0];
    ASSERT_TRUE(DrainUntil([&] { return cells.changes[0] > after && Answered(0); }));
    EXPECT_EQ(receiver->SocketsOpened(), 1);
}

TEST_F(MonitorNetTest, ClearWhileRunningPausesAndStartResumes) {
    list.Append("127.0.0.1");
    list.Append("127.0.0.2");
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    const trecvthread* receiver = monitor->Receiver();

    ClearAllAddresses(list, *monitor);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(monitor->running());
    EXPECT_TRUE(monitor->created());
    ASSERT_FALSE(events.status.empty());
    EXPECT_FALSE(events.status.back());

    list.Append("127.0.0.4");
    monitor->Start();
    EXPECT_TRUE(monitor->running());
    EXPECT_EQ(monitor->Receiver(), receiver);
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    EXPECT_EQ(receiver->SocketsOpened(), 1);
}

// The ordinary pace picks a row's next echo while it shows a reply. A pick made that way
// before a Stop must not be sent after the Start: the row may be gone by then.
TEST_F(MonitorNetTest, NoEchoGoesToARowRemovedWhileStopped) {
    list.Append("127.0.0.7");
    monitor->Start();
    // Several sends in, so the next pick is made ahead while a reply is shown.
    ASSERT_TRUE(DrainUntil([&] { return monitor->PicksTakenAhead() >= 3; }));
    DrainFor(50ms);  // inside the interval after a send: the next pick is made by now
    monitor->Stop();
    DrainFor(300ms);  // a step already under way at the Stop may finish first
    const std::uint16_t sender = monitor->SenderIdentifier();
    const auto from = [sender](const char* source) {
        return [sender, source](const DatagramLog::Entry& e) { return e.type == 0 && e.id == sender && e.source == source; };
    };
    const std::size_t before = SeenFrom(from("127.0.0.7"));

    list.RemoveAt(0);
    list.Append("127.0.0.8");
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return SeenFrom(from("127.0.0.8")) >= 3 && Answered(0); }));
    EXPECT_EQ(SeenFrom(from("127.0.0.7")), before);
}

// Whoever watches the picks (the console counts them as sent) is told of exactly the echoes
// that left, also of those picked ahead of their send, and with the time they left.
TEST_F(MonitorNetTest, PicksToldAreTheEchoesSent) {
    std::vector<std::int64_t> told;
    monitor->SetPickObserver([&told](int row, const std::string& ip, std::int64_t ns) {
        EXPECT_EQ(row, 0);
        EXPECT_EQ(ip, "127.0.0.9");
        told.push_back(ns);
    });
    list.Append("127.0.0.9");
    const std::int64_t start = MonotonicNs();
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return monitor->PicksTakenAhead() >= 4; }));
    DrainFor(50ms);  // inside the interval after a send, its reply shown
    monitor->Stop();
    DrainFor(300ms);
    const std::uint16_t sender = monitor->SenderIdentifier();
    const std::size_t replies = SeenFrom([sender](const DatagramLog::Entry& e) {
        return e.type == 0 && e.id == sender && e.source == "127.0.0.9";
    });
    // Loopback answers every echo; a pick made ahead and dropped at the Stop was never sent.
    EXPECT_EQ(told.size(), replies);
    // Told in send order, each no earlier than the run's start and one interval (100 ms) or
    // more apart: a pick made ahead is told with the time it was taken, not when it was made.
    for (std::size_t i = 0; i < told.size(); ++i) {
        EXPECT_GE(told[i], start);
        if (i > 0) {
            EXPECT_GE(told[i] - told[i - 1], 90'000'000) << i;
        }
    }
}

TEST_F(MonitorNetTest, DeletingTheOnlyRowKeepsTheMonitorRunningAndQuiet) {
    list.Append("127.0.0.1");
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    list.SetSelected(0, true);
    DeleteSelectedAddress(list);
    EXPECT_TRUE(monitor->running());
    DrainFor(300ms);  // cycles on an empty list send nothing and write nothing
    list.Append("127.0.0.5");
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
}

TEST_F(MonitorNetTest, ForgedNonReplyWithOurIdentifierChangesNothing) {
    // An ICMP message that carries the monitor's identifier but is not an echo reply (here an
    // echo request, as a loop-back of someone's ping would be) is described, then ignored.
    list.Append("127.0.0.1");
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    monitor->Stop();
    DrainFor(200ms);
    auto message = BuildEchoRequest(monitor->SenderIdentifier(), TickCount(), 40);
    const int ttl = 77;
    ASSERT_EQ(::setsockopt(log.socket().fd(), IPPROTO_IP, IP_TTL, &ttl, sizeof ttl), 0);
    // The kernel answers this request too; its reply (TTL 64) is an ordinary one.
    ASSERT_GT(log.socket().SendTo(message.data(), message.size(), ::inet_addr("127.0.0.1")), 0);
    monitor->Start();
    ASSERT_TRUE(WaitHandled([&](const DatagramLog::Entry& e) { return e.type == 8 && e.ttl == 77; },
                            1, 0));
    for (const auto& t : cells.ttls[0]) EXPECT_NE(t, "77");
}

TEST_F(MonitorNetTest, OtherProgramsEchoRepliesAreDroppedBeforeTheReceiverReadsThem) {
    // Another pinger on this host: its echo replies reach every raw socket, and without a
    // kernel filter each would wake the receiver and be read only to be thrown away.
    list.Append("127.0.0.1");
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    const trecvthread* receiver = monitor->Receiver();
    ASSERT_NE(receiver, nullptr);
    const std::uint64_t readbefore = receiver->ReadDatagrams();
    const std::uint16_t foreign = static_cast<std::uint16_t>(monitor->SenderIdentifier() ^ 0x5a5a);
    constexpr int kForeign = 100;  // few enough for the test socket's receive buffer
    for (int i = 0; i < kForeign; ++i) {
        auto message = BuildEchoRequest(foreign, TickCount(), 40);
        ASSERT_GT(log.socket().SendTo(message.data(), message.size(), ::inet_addr("127.0.0.1")), 0);
    }
    // The marker, an echo reply of ours with a wrong checksum, is queued behind their replies.
    const std::uint64_t bad = BadChecksumDatagrams();
    SendForgedReply(201, 40, /*badchecksum=*/true);
    ASSERT_TRUE(DrainUntil([&] { return BadChecksumDatagrams() > bad; }));
    ASSERT_TRUE(DrainUntil([&] { return SeenFrom([&](const DatagramLog::Entry& e) { return e.type == 0 && e.id == foreign; }) >= kForeign; }));
    // What it read meanwhile: the marker and its own replies (one echo per 100 ms), not theirs.
    EXPECT_LT(receiver->ReadDatagrams() - readbefore, static_cast<std::uint64_t>(kForeign / 3));
    // And its own replies still come through.
    const std::uint64_t accepted = receiver->AcceptedDatagrams();
    ASSERT_TRUE(DrainUntil([&] { return receiver->AcceptedDatagrams() > accepted + 2; }));
}

class MonitorTestHost : public MonitorNetTest {
protected:
    void SetUp() override {
        if (auto why = TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why;
        MonitorNetTest::SetUp();
    }
};

TEST_F(MonitorTestHost, HostRowShowsItsReplies) {
    TestHost host({.ttl = 128, .userspace = true});
    ASSERT_TRUE(host.ok()) << host.error();
    list.Append(host.address());
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return list.Row(0).ttl == "128"; })) << list.Row(0).ttl;
    EXPECT_EQ(list.Row(0).bytes, "return data length:   32");
}

TEST_F(MonitorTestHost, ReplyWithAForeignIdentifierChangesNoRow) {
    list.Append("127.0.0.1");  // the witness
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    const std::uint16_t ours = monitor->SenderIdentifier();
    const int foreign = ours ^ 0x5A5A;
    TestHost host({.rewrite_id = foreign});
    ASSERT_TRUE(host.ok()) << host.error();
    list.Append(host.address());
    const std::string address = host.address();
    ASSERT_TRUE(WaitHandled([&](const DatagramLog::Entry& e) { return e.source == address && e.type == 0 && e.id == foreign; },
                            3, 0));
    EXPECT_EQ(list.Row(1).ttl, "");
    EXPECT_EQ(list.Row(1).bytes, "");
    EXPECT_EQ(list.Row(1).time, "");
    // The row is pinged (its status counts the sends) but nothing answered it.
    EXPECT_EQ(list.Status(1).received, 0u);
    EXPECT_NE(list.Status(1).state, RowState::Answering);
}

TEST_F(MonitorTestHost, IcmpErrorMessageChangesNoRow) {
    list.Append("127.0.0.1");
    monitor->Start();
    ASSERT_TRUE(DrainUntil([&] { return Answered(0); }));
    TestHost host({.error_type = 3, .error_code = 1});
    ASSERT_TRUE(host.ok()) << host.error();
    list.Append(host.address());
    const std::string address = host.address();
    ASSERT_TRUE(WaitHandled([&](const DatagramLog::Entry& e) { return e.source == address && e.type == 3; }, 3,
                            0));
    EXPECT_EQ(list.Row(1).ttl, "");
    EXPECT_EQ(list.Row(1).time, "");
    EXPECT_EQ(list.Status(1).received, 0u);
    EXPECT_NE(list.Status(1).state, RowState::Answering);
}

// Without the raw-socket right the receiver cannot listen: the window is told once per process,
// not once per monitor, and the monitor still runs (its sends fail and pace themselves).
TEST(MonitorNoRawSocket, HintIsToldOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop the right for one thread only";
    EngineStartup();
    std::vector<std::string> hints;
    bool running = false;
    std::string failure;
    // Capabilities belong to a thread; the threads it creates inherit the reduced set. The
    // change dies with this thread.
    std::thread window([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        if (::syscall(SYS_capget, &header, data) != 0) {
            failure = "capget failed";
            return;
        }
        data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
        data[CAP_NET_RAW / 32].permitted &= ~(1u << (CAP_NET_RAW % 32));
        data[CAP_NET_RAW / 32].inheritable &= ~(1u << (CAP_NET_RAW % 32));
        if (::syscall(SYS_capset, &header, data) != 0) {
            failure = "capset failed";
            return;
        }
        IcmpSocket probe;
        if (probe.ok()) {
            failure = "raw socket still opens without CAP_NET_RAW";
            return;
        }
        veltrin::testing::TestWindowQueue queue;
        Events events;
        AddressList list;
        list.Append("127.0.0.1");
        {
            Monitor first(list, queue, events, [] { return std::string("1"); });
            first.Start();
            running = first.running();
            const auto deadline = std::chrono::steady_clock::now() + kBound;
            while (events.hints.empty() && std::chrono::steady_clock::now() < deadline) queue.WaitAndDrain(5);
            Monitor second(list, queue, events, [] { return std::string("1"); });
            second.Start();
            first.Stop();
            first.Start();
            const auto end = std::chrono::steady_clock::now() + 500ms;
            while (std::chrono::steady_clock::now() < end) queue.WaitAndDrain(5);
            if (second.Receiver() != nullptr && second.Receiver()->SocketsOpened() != 0) failure = "socket opened";
        }
        hints = events.hints;
    });
    window.join();
    ASSERT_TRUE(failure.empty()) << failure;
    EXPECT_TRUE(running);
    ASSERT_EQ(hints.size(), 1u);
    // The notice names both remedies for an ordinary user; never a capability on the program.
    EXPECT_NE(hints[0].find("Cannot send ICMP echo requests"), std::string::npos) << hints[0];
    EXPECT_NE(hints[0].find("net.ipv4.ping_group_range"), std::string::npos) << hints[0];
    EXPECT_NE(hints[0].find("veltrin-ping-helper"), std::string::npos) << hints[0];
}

}  // namespace
}  // namespace veltrin

namespace veltrin {
namespace {

// Identifier 0 belongs to every thread whose id is a multiple of 65536; such a sender's replies
// must be accepted like any other, while a receiver with no sender yet accepts nothing.
TEST(ReceiverIdentifier, ZeroIsAnIdentifierAndNegativeMeansNoSender) {
    IcmpSocket probe;
    if (!probe.ok()) GTEST_SKIP() << "needs root or CAP_NET_RAW for raw ICMP sockets";
    for (const int expected : {0, -1}) {
        veltrin::testing::TestWindowQueue queue;
        int replies = 0;
        Threaded<trecvthread> receiver(
            queue, [expected] { return expected; },
            [&](const std::uint8_t*, int, const Tdecordbuf& r) {
                if (r.icmpcode == "Reply message" && r.sourceip == "127.0.0.1") ++replies;
            });
        ASSERT_TRUE(receiver.Start());
        // The receiver's priming echo tells that it is reading; then send requests carrying id 0.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < deadline && replies == 0) {
            const auto packet = BuildEchoRequest(0, TickCount(), 12);
            probe.SendTo(packet.data(), packet.size(), ::inet_addr("127.0.0.1"));
            queue.WaitAndDrain(100);
        }
        receiver.Stop();
        if (expected == 0)
            EXPECT_GT(replies, 0) << "a sender with identifier 0 never sees its replies";
        else
            EXPECT_EQ(replies, 0) << "a receiver without a sender accepted a datagram";
    }
}

TEST(ReceiverIdentifier, ASenderThatChangesIsHeardDespiteTheKernelFilter) {
    // The kernel filter keeps only the expected sender's replies; should the expected sender
    // change while the receiver waits, the filter must follow instead of dropping every reply.
    IcmpSocket probe;
    if (!probe.ok()) GTEST_SKIP() << "needs root or CAP_NET_RAW for raw ICMP sockets";
    veltrin::testing::TestWindowQueue queue;
    std::atomic<int> expected{0x1111};
    std::atomic<int> seen{-1};
    Threaded<trecvthread> receiver(
        queue, [&expected] { return expected.load(); },
        [&](const std::uint8_t* raw, int length, const Tdecordbuf& r) {
            if (r.icmpcode != "Reply message" || length < 28) return;
            const int ihl = (raw[0] & 0x0F) * 4;
            seen = raw[ihl + 4] | (raw[ihl + 5] << 8);
        });
    ASSERT_TRUE(receiver.Start());
    const auto heard = [&](int id) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline && seen.load() != id) {
            const auto packet = BuildEchoRequest(static_cast<std::uint16_t>(id), TickCount(), 12);
            probe.SendTo(packet.data(), packet.size(), ::inet_addr("127.0.0.1"));
            queue.WaitAndDrain(100);
        }
        return seen.load() == id;
    };
    ASSERT_TRUE(heard(0x1111));
    // Let it read what is still queued for 0x1111 and settle in its wait, filter set.
    for (int i = 0; i < 5; ++i) queue.WaitAndDrain(100);
    expected = 0x2222;
    EXPECT_TRUE(heard(0x2222)) << "replies to the new sender were dropped";
    receiver.Stop();
}

}  // namespace
}  // namespace veltrin
