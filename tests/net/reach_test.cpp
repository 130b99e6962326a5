// Reachability against real ICMP: a namespace test host that answers, stops answering and answers
// again; rows with no address, in a network and mount namespace of their own so no name lookup
// can leave the machine; the receiver path with genuine replies that carry IP options or are
// larger than 1024 bytes; forged replies. The test thread is the window thread. Every wait is
// bounded and polls for a state; nothing asserts on time.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

constexpr auto kBound = 15s;  // a generous cap for a wait that should take a fraction of that

class Events : public MonitorEvents {
public:
    std::vector<StateChange> changes;
    int reports = 0;
    void StatusChanged(bool) override {}
    void FatalError(const std::string&) override {}
    void RawSocketUnavailable(const std::string&) override {}
    void RowStatesChanged(const std::vector<StateChange>& c) override {
        ++reports;
        changes.insert(changes.end(), c.begin(), c.end());
    }
    std::vector<std::pair<RowState, RowState>> Of(int row) const {
        std::vector<std::pair<RowState, RowState>> out;
        for (const auto& c : changes)
            if (c.row == row) out.emplace_back(c.from, c.to);
        return out;
    }
};

// A window thread of its own: queue, list, monitor, and the drain loop.
struct Window {
    StepQueue queue;
    Events events;
    AddressList list;
    std::string intervaltext = "1";
    std::unique_ptr<Monitor> monitor;
    Window() {
        queue.SetWindowThread(std::this_thread::get_id());
        monitor = std::make_unique<Monitor>(list, queue, events, [this] { return intervaltext; });
    }
    ~Window() { monitor.reset(); }
    bool DrainUntil(const std::function<bool()>& cond, std::chrono::milliseconds bound = kBound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            queue.WaitAndDrain(5);
        }
        return true;
    }
};

// Turns the kernel's echo answers of a test host's namespace off or on.
bool SetEchoIgnored(const std::string& netns, bool ignored) {
    bool ok = false;
    // Namespaces belong to a thread; this one ends with the change.
    std::thread([&] {
        const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
            if (ns >= 0) ::close(ns);
            return;
        }
        ::close(ns);
        const int fd = ::open("/proc/sys/net/ipv4/icmp_echo_ignore_all", O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        ok = ::write(fd, ignored ? "1" : "0", 1) == 1;
        ::close(fd);
    }).join();
    return ok;
}

class ReachNet : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
        EngineStartup();
        Golbal()->datalength = 8;
    }
};

TEST_F(ReachNet, HostAnsweringThenNotAnsweringThenAnsweringAgain) {
    if (auto why = TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why;
    TestHost host({.ttl = 64});
    ASSERT_TRUE(host.ok()) << host.error();
    Window w;
    w.monitor->SetReachOptions({.timeoutms = 600, .lostcount = 3});
    w.list.Append(host.address());
    w.monitor->Start();
    const auto state = [&] { return w.list.Status(0).state; };
    ASSERT_TRUE(w.DrainUntil([&] { return state() == RowState::Answering && w.list.Status(0).received >= 3; }));
    EXPECT_EQ(w.list.Status(0).lost, 0u);

    ASSERT_TRUE(SetEchoIgnored(host.netns(), true));
    ASSERT_TRUE(w.DrainUntil([&] { return state() == RowState::NotAnswering; }));
    // It turned exactly at the third echo lost in a row, and kept its last values.
    const StateChange down = w.events.changes.back();
    EXPECT_EQ(down.to, RowState::NotAnswering);
    EXPECT_EQ(down.status.consecutivelost, 3);
    EXPECT_EQ(down.status.lost, 3u);
    EXPECT_EQ(down.address, host.address());
    EXPECT_EQ(w.list.Row(0).ttl, "64");
    EXPECT_FALSE(w.list.Row(0).time.empty());

    ASSERT_TRUE(SetEchoIgnored(host.netns(), false));
    ASSERT_TRUE(w.DrainUntil([&] { return state() == RowState::Answering; }));

    // Let the last echoes settle: a long interval stops new sends after the next one, and every
    // echo sent ends answered or lost within the time-out.
    w.intervaltext = "600";
    ASSERT_TRUE(w.DrainUntil([&] {
        const RowStatus& s = w.list.Status(0);
        return s.received + s.lost == s.sent;
    })) << w.list.Status(0).sent << " sent, " << w.list.Status(0).received << " received, " << w.list.Status(0).lost
        << " lost";
    w.DrainUntil([] { return false; }, 1500ms);  // no straggler may change the books
    const RowStatus s = w.list.Status(0);
    EXPECT_EQ(s.received + s.lost, s.sent);
    EXPECT_GE(s.lost, 3u);
    EXPECT_DOUBLE_EQ(s.LossPercent(), 100.0 * static_cast<double>(s.lost) / static_cast<double>(s.sent));
    EXPECT_EQ(s.state, RowState::Answering);
    EXPECT_EQ(s.consecutivelost, 0);
    // Exactly one change down and one back up, after the first answer.
    const std::vector<std::pair<RowState, RowState>> want{{RowState::NotYetPinged, RowState::NeverAnswered},
                                                          {RowState::NeverAnswered, RowState::Answering},
                                                          {RowState::Answering, RowState::NotAnswering},
                                                          {RowState::NotAnswering, RowState::Answering}};
    EXPECT_EQ(w.events.Of(0), want);
    EXPECT_EQ(w.monitor->UnmatchedReplies(), 0u);
}

TEST_F(ReachNet, RowsSharingAnAddressShareTheirRecord) {
    Window w;
    for (const char* a : {"127.0.0.6", "127.000.000.006", "127.0.0.7"}) w.list.Append(a);
    w.monitor->Start();
    ASSERT_TRUE(w.DrainUntil([&] {
        return w.list.Status(0).received >= 3 && w.list.Status(2).state == RowState::Answering;
    }));
    w.monitor->Stop();
    w.DrainUntil([] { return false; }, 300ms);
    const RowStatus& a = w.list.Status(0);
    const RowStatus& b = w.list.Status(1);
    EXPECT_EQ(a.sent, b.sent);
    EXPECT_EQ(a.received, b.received);
    EXPECT_EQ(a.lastreplyms, b.lastreplyms);
    EXPECT_EQ(w.list.Row(0).time, w.list.Row(1).time);
    EXPECT_LE(a.received, a.sent);
}

// Runs `body` on a thread with a network namespace of its own (only "lo", up) and a mount
// namespace whose /etc/resolv.conf names a resolver on that loopback where nothing listens: a
// name lookup fails at once and nothing can leave the machine.
void InIsolatedThread(const std::function<void()>& body) {
    std::string failure;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            failure = std::string("unshare: ") + std::strerror(errno);
            return;
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            failure = std::string("mount private: ") + std::strerror(errno);
            return;
        }
        char dir[] = "/tmp/veltrin-resolv-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            failure = "mkdtemp";
            return;
        }
        const std::string conf = std::string(dir) + "/resolv.conf";
        if (FILE* f = std::fopen(conf.c_str(), "w")) {
            std::fputs("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n", f);
            std::fclose(f);
        }
        if (::mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
            failure = std::string("bind resolv.conf: ") + std::strerror(errno);
        } else {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq ifr{};
            std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
            bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
            ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
            up = up && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
            if (fd >= 0) ::close(fd);
            if (!up)
                failure = "cannot bring lo up";
            else
                body();
            ::umount("/etc/resolv.conf");
        }
        std::remove(conf.c_str());
        ::rmdir(dir);
    }).join();
    ASSERT_TRUE(failure.empty()) << failure;
}

TEST_F(ReachNet, RowsWithNoAddressSayWhy) {
    InIsolatedThread([] {
        Window w;
        for (const char* a : {"300.1.1.1", "1.2.3.4.5", "no-such-host.invalid", "127.0.0.1"}) w.list.Append(a);
        w.monitor->Start();
        ASSERT_TRUE(w.DrainUntil([&] {
            return w.list.Status(2).state == RowState::NoAddress && w.list.Status(3).state == RowState::Answering;
        })) << RowStateName(w.list.Status(2).state);
        for (int row : {0, 1}) {
            SCOPED_TRACE(row);
            EXPECT_EQ(w.list.Status(row).state, RowState::NoAddress);
            EXPECT_EQ(w.list.Status(row).reason, "not an IPv4 address");
            EXPECT_EQ(w.list.Status(row).sent, 0u);  // never pinged as 255.255.255.255
        }
        const std::string reason = w.list.Status(2).reason;
        EXPECT_EQ(reason.rfind("name does not resolve (", 0), 0u) << reason;
        EXPECT_GT(reason.size(), std::string("name does not resolve ()").size());
        EXPECT_EQ(w.list.Status(2).sent, 0u);
        // Each row said so once, with its reason.
        int noaddress = 0;
        for (const auto& c : w.events.changes)
            if (c.to == RowState::NoAddress) ++noaddress;
        EXPECT_EQ(noaddress, 3);
    });
}

TEST_F(ReachNet, ForgedRepliesNeverMarkARowAlive) {
    Window w;
    w.list.Append("127.0.0.1");
    w.monitor->SetReachOptions({.timeoutms = 2000, .lostcount = 2});
    w.monitor->Start();
    ASSERT_TRUE(w.DrainUntil([&] { return w.list.Status(0).state == RowState::Answering; }));
    IcmpSocket forger;
    ASSERT_TRUE(forger.ok());
    const std::uint64_t before = w.monitor->UnmatchedReplies();
    // Echo replies with the monitor's identifier, correct checksums and ticks that would claim
    // round trips of 3.3 s and more: what an attacker on the path would send.
    constexpr int kForged = 20;
    for (int i = 0; i < kForged; ++i) {
        auto message = BuildEchoRequest(w.monitor->SenderIdentifier(), TickCount() - 3300 - 7 * i, 12);
        message[0] = 0;
        message[2] = message[3] = 0;
        const std::uint16_t sum = IcmpChecksum(message.data(), message.size());
        message[2] = static_cast<std::uint8_t>(sum & 0xFF);
        message[3] = static_cast<std::uint8_t>(sum >> 8);
        ASSERT_GT(forger.SendTo(message.data(), message.size(), ::inet_addr("127.0.0.1")), 0);
    }
    ASSERT_TRUE(w.DrainUntil([&] { return w.monitor->UnmatchedReplies() >= before + kForged; }));
    EXPECT_GE(UnmatchedReplies(), w.monitor->UnmatchedReplies());
    const RowStatus& s = w.list.Status(0);
    EXPECT_LE(s.received, s.sent);
    for (int i = 0; i < s.recentcount; ++i) EXPECT_LT(s.recent[static_cast<std::size_t>(i)], 3000.0);
    EXPECT_LT(std::stol(w.list.Row(0).time), 3000);
}

// The receiver on its own, fed by echoes this test sends and records itself.
class ReceiverNet : public ReachNet {
protected:
    void SetUp() override {
        ReachNet::SetUp();
        if (IsSkipped()) return;
        queue.SetWindowThread(std::this_thread::get_id());
        receiver = std::make_unique<Threaded<trecvthread>>(
            queue, [] { return int{kId}; }, &ledger,
            [this](const std::uint8_t* raw, int length, const ReplyCheck& check) {
                accepted.push_back(check);
                raws.emplace_back(raw, raw + length);
            });
        ASSERT_TRUE(receiver->Start());
        // A reply that comes before the receiver's socket exists would never reach it.
        ASSERT_TRUE(DrainUntil([&] { return receiver->SocketsOpened() == 1; }));
    }
    void TearDown() override { receiver.reset(); }
    bool DrainUntil(const std::function<bool()>& cond) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!cond()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            queue.WaitAndDrain(5);
        }
        return true;
    }
    // One recorded echo of `length` bytes to 127.0.0.1 from `socket`.
    void SendRecorded(const IcmpSocket& socket, std::size_t length, std::uint32_t tick) {
        std::vector<std::uint8_t> message = BuildEchoRequest(kId, tick, 12);
        message.resize(length, 'V');
        message[2] = message[3] = 0;
        const std::uint16_t sum = IcmpChecksum(message.data(), message.size());
        message[2] = static_cast<std::uint8_t>(sum & 0xFF);
        message[3] = static_cast<std::uint8_t>(sum >> 8);
        ledger.Record(::inet_addr("127.0.0.1"), kId, tick, MonotonicNs());
        ASSERT_EQ(socket.SendTo(message.data(), message.size(), ::inet_addr("127.0.0.1")),
                  static_cast<ssize_t>(length));
    }

    static constexpr std::uint16_t kId = 0x6D2B;
    StepQueue queue;
    EchoLedger ledger;
    std::unique_ptr<trecvthread> receiver;
    std::vector<ReplyCheck> accepted;
    std::vector<std::vector<std::uint8_t>> raws;
};

TEST_F(ReceiverNet, GenuineReplyWithRecordRouteOptionIsAccepted) {
    IcmpSocket socket;
    ASSERT_TRUE(socket.ok());
    // Record route: type 7, length 39, pointer 4, nine empty slots, one end-of-list byte.
    std::uint8_t options[40] = {7, 39, 4};
    ASSERT_EQ(::setsockopt(socket.fd(), IPPROTO_IP, IP_OPTIONS, options, sizeof options), 0);
    SendRecorded(socket, 40, TickCount());
    ASSERT_TRUE(DrainUntil([&] { return !accepted.empty(); }));
    // Our own request (seen on loopback) is never passed on; the reply, with options, is.
    ASSERT_EQ(accepted.size(), 1u);
    const ReplyCheck& c = accepted[0];
    EXPECT_TRUE(c.echoreply);
    EXPECT_EQ(c.match, EchoLedger::Match::Answered);
    EXPECT_EQ(raws[0][0] & 0x0F, 15);  // a 60-byte header
    EXPECT_EQ(c.described.packetsize, "100");
    EXPECT_EQ(c.described.icmpcode, "Reply message");
    EXPECT_EQ(c.described.datastr, std::string(28, 'V'));
    EXPECT_LT(std::stol(c.described.replytime), 1000);
}

TEST_F(ReceiverNet, LargeReplyShowsItsTrueSize) {
    IcmpSocket socket;
    ASSERT_TRUE(socket.ok());
    SendRecorded(socket, 4000, TickCount());
    ASSERT_TRUE(DrainUntil([&] { return !accepted.empty(); }))
        << "unmatched " << ledger.Unmatched() << ", bad checksums " << BadChecksumDatagrams();
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].described.packetsize, "4020");
    EXPECT_EQ(raws[0].size(), 4020u);
    EXPECT_EQ(ledger.Unmatched(), 0u);
}

}  // namespace
}  // namespace veltrin
