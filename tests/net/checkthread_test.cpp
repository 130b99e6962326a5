// The connectivity probe and the check worker against real ICMP on loopback. The "host that
// does not answer" is loopback inside a fresh network namespace with the kernel's echo replies
// switched off, which also shows that the probe's own request, seen on loopback, is not taken
// for a reply.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shared/monitorstubs.h"
#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "monitor/checkthread.h"
#include "monitor/worker.h"
#include "testhost_helper.h"

namespace veltrin {
namespace {

bool RawSocketsAvailable() {
    IcmpSocket probe;
    return probe.ok();
}

#define REQUIRE_RAW()                                                                  \
    do {                                                                               \
        if (!RawSocketsAvailable()) GTEST_SKIP() << "needs root or CAP_NET_RAW for raw ICMP sockets"; \
    } while (0)

// Runs `body` on a thread of its own inside a new network namespace whose loopback is up and
// whose kernel ignores echo requests. Threads that body creates inherit the namespace.
// Returns an empty text on success, else why the namespace could not be made.
std::string InSilentNamespace(const std::function<void()>& body) {
    std::string failure;
    std::thread t([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            failure = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq req{};
        std::strcpy(req.ifr_name, "lo");
        if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &req) != 0) {
            failure = "cannot read the flags of lo";
        } else {
            req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
            if (::ioctl(s, SIOCSIFFLAGS, &req) != 0) failure = "cannot bring lo up";
        }
        if (s >= 0) ::close(s);
        if (!failure.empty()) return;
        {
            std::ofstream knob("/proc/sys/net/ipv4/icmp_echo_ignore_all");
            knob << "1";
            if (!knob) {
                failure = "cannot switch off echo replies in the namespace";
                return;
            }
        }
        body();
    });
    t.join();
    return failure;
}

// Collects the titles a check worker writes, on the thread that drains the queue.
struct TitleLog {
    std::mutex lock;
    std::vector<std::string> titles;
    std::vector<std::thread::id> threads;
    void Add(const std::string& t) {
        std::lock_guard<std::mutex> g(lock);
        titles.push_back(t);
        threads.push_back(std::this_thread::get_id());
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> g(lock);
        return titles.size();
    }
};

// Drives `queue` from the calling thread (the stand-in window thread) until `done()` or the
// time limit; returns how many drain rounds ran, i.e. how often the window thread was free.
int DriveWindow(StepQueue& queue, const std::function<bool()>& done, int limitms) {
    int rounds = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitms);
    while (!done() && std::chrono::steady_clock::now() < end) {
        queue.WaitAndDrain(20);
        ++rounds;
    }
    return rounds;
}

TEST(ProbeHost, LoopbackAnswers) {
    REQUIRE_RAW();
    for (const char* host : {"127.0.0.1", "127.0.0.2", "localhost"}) {
        const int rtt = ProbeHost(host);
        EXPECT_GE(rtt, 0) << host;
        // A negative result is failure; anything that is a time must lie within the wait.
        EXPECT_LE(rtt, 2000) << host;
    }
}

TEST(ProbeHost, FailsWithoutUsableTarget) {
    REQUIRE_RAW();
    // Neither text is looked up: the empty one names nothing, the other is refused because of
    // the embedded zero byte, so no query leaves the machine.
    EXPECT_LT(ProbeHost(""), 0);
    EXPECT_LT(ProbeHost(std::string("127.0.0.1\0evil", 14)), 0);
    // A malformed dotted text resolves to INADDR_NONE; the send to it must fail.
    EXPECT_LT(ProbeHost("127.0.0.1.5"), 0);
}

TEST(ProbeHost, SilentHostGivesNegativeDespiteOwnRequestOnLoopback) {
    REQUIRE_RAW();
    int rtt = 0;
    const std::string why = InSilentNamespace([&] { rtt = ProbeHost("127.0.0.1"); });
    if (!why.empty()) GTEST_SKIP() << why;
    // The raw socket sees the probe's own request (same identifier, from 127.0.0.1) but no
    // reply: taking the request for a reply would report success here.
    EXPECT_LT(rtt, 0);
}

TEST(ProbeHost, FindsItsReplyAmongForeignTraffic) {
    REQUIRE_RAW();
    // Another thread keeps loopback busy with echoes of a foreign identifier, as the monitor
    // does; their requests and replies reach the probe's socket before and around its reply.
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    auto flood = [&] {
        IcmpSocket s;
        const std::uint32_t lo = htonl(INADDR_LOOPBACK);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);  // bounded
        const auto packet =
            BuildEchoRequest(static_cast<std::uint16_t>(CurrentThreadIdentifier() ^ 0x5A5A), TickCount(), 64);
        while (!stop.load() && std::chrono::steady_clock::now() < end) {
            if (s.SendTo(packet.data(), packet.size(), lo) > 0) ++sent;
        }
    };
    std::thread noise1(flood), noise2(flood);
    while (sent.load() < 1000) std::this_thread::yield();
    int failures = 0;
    for (int i = 0; i < 20; ++i)
        if (ProbeHost("127.0.0.1") < 0) ++failures;
    stop = true;
    noise1.join();
    noise2.join();
    EXPECT_EQ(failures, 0);
}

#define REQUIRE_TESTHOST()                                                   \
    do {                                                                     \
        REQUIRE_RAW();                                                       \
        if (auto why = testing::TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why; \
    } while (0)

// Hosts that do not answer with this probe's echo reply: no answer at all, an answer carrying
// another identifier, an ICMP error quoting the request.
TEST(ProbeHost, NegativeForHostsThatDoNotReallyAnswer) {
    REQUIRE_TESTHOST();
    struct Case {
        const char* what;
        testing::TestHostOptions options;
    };
    const Case cases[] = {
        {"echo off", {.loss_percent = 100}},
        {"foreign identifier", {.rewrite_id = 4242}},
        {"port unreachable", {.error_type = 3, .error_code = 3}},
        {"time exceeded", {.error_type = 11, .error_code = 0}},
    };
    for (const auto& c : cases) {
        testing::TestHost host(c.options);
        ASSERT_TRUE(host.ok()) << host.error();
        EXPECT_LT(ProbeHost(host.address()), 0) << c.what;
    }
}

TEST(ProbeHost, DelayedReplyFromTestHost) {
    REQUIRE_TESTHOST();
    testing::TestHost host({.delay_ms = 50});
    ASSERT_TRUE(host.ok()) << host.error();
    const int rtt = ProbeHost(host.address());
    // The answer itself is held back 50 ms; the upper bound only allows for a loaded machine.
    EXPECT_GE(rtt, 50);
    EXPECT_LT(rtt, 1000);
}

// The monitor's traffic reaches the probe's raw socket while the probe waits for a slow host:
// the probe must look past it to its own reply.
TEST(ProbeHost, SlowHostAmongForeignTraffic) {
    REQUIRE_TESTHOST();
    testing::TestHost host({.delay_ms = 100});
    ASSERT_TRUE(host.ok()) << host.error();
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread noise([&] {
        IcmpSocket s;
        const std::uint32_t lo = htonl(INADDR_LOOPBACK);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);  // bounded
        const auto packet =
            BuildEchoRequest(static_cast<std::uint16_t>(CurrentThreadIdentifier() ^ 0x5A5A), TickCount(), 64);
        while (!stop.load() && std::chrono::steady_clock::now() < end) {
            if (s.SendTo(packet.data(), packet.size(), lo) > 0) ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    while (sent.load() < 5) std::this_thread::yield();
    int failures = 0;
    for (int i = 0; i < 3; ++i)
        if (ProbeHost(host.address()) < 0) ++failures;
    stop = true;
    noise.join();
    EXPECT_EQ(failures, 0);
}

TEST(ProbeHost, PauseCutsTheWaitShort) {
    REQUIRE_RAW();
    int rtt = 0;
    long long elapsedms = 0;
    const std::string why = InSilentNamespace([&] {
        Gate gate;
        std::thread pauser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            gate.Pause();
        });
        const auto start = std::chrono::steady_clock::now();
        rtt = ProbeHost("127.0.0.1", gate);
        elapsedms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count();
        pauser.join();
    });
    if (!why.empty()) GTEST_SKIP() << why;
    EXPECT_LT(rtt, 0);
    // The silent host would keep the probe waiting the full 2000 ms; the pause at 100 ms must
    // end it well before (generous margin for a loaded machine).
    EXPECT_LT(elapsedms, 1500);
}

// The request the check sends: 12 bytes, type 8, valid checksum, the worker's identifier,
// sequence 0, and a timestamp close to the tick count.
TEST(CheckThread, RequestCarriesTheWorkersIdentifier) {
    REQUIRE_RAW();
    IcmpSocket sniffer;
    ASSERT_TRUE(sniffer.ok());
    veltrin::testing::TestWindowQueue queue;
    TitleLog log;
    Threaded<tcheckthread> check(queue, "127.0.0.1", [&](std::string t) { log.Add(t); }, 100);
    ASSERT_TRUE(check.Start());
    DriveWindow(queue, [&] { return log.Count() >= 2; }, 5000);
    check.Pause();
    queue.Drain();
    const std::uint16_t id = check.Identifier();
    ASSERT_NE(id, 0);

    bool found = false;
    std::uint8_t buf[1024];
    ::fcntl(sniffer.fd(), F_SETFL, O_NONBLOCK);
    for (int i = 0; i < 5000 && !found; ++i) {
        const ssize_t n = sniffer.Receive(buf, sizeof buf);
        if (n < 0) break;
        if (n < 32 || buf[20] != 8) continue;
        const std::uint16_t got = static_cast<std::uint16_t>(buf[24] | (buf[25] << 8));
        if (got != id) continue;
        found = true;
        EXPECT_EQ(n, 32);  // 20-byte IP header + 12-byte message
        EXPECT_EQ(buf[21], 0);
        EXPECT_EQ(buf[26], 0);
        EXPECT_EQ(buf[27], 0);
        EXPECT_EQ(IcmpChecksum(buf + 20, 12), 0);
        const std::uint32_t stamp = buf[28] | (buf[29] << 8) | (buf[30] << 16) | (static_cast<std::uint32_t>(buf[31]) << 24);
        EXPECT_LT(TickCount() - stamp, 60000u);
    }
    EXPECT_TRUE(found) << "no request with the check worker's identifier " << id;
}

TEST(CheckThread, TitlesInOrderOnTheWindowThreadWithLoopback) {
    REQUIRE_RAW();
    veltrin::testing::TestWindowQueue queue;
    TitleLog log;
    Threaded<tcheckthread> check(queue, "127.0.0.1", [&](std::string t) { log.Add(t); }, 150);
    ASSERT_TRUE(check.Start());
    DriveWindow(queue, [&] { return log.Count() >= 6; }, 10000);
    check.Stop();
    std::lock_guard<std::mutex> g(log.lock);
    ASSERT_GE(log.titles.size(), 6u);
    const std::vector<std::string> expected = {"some begin", "some ok", "some end",
                                               "some begin", "some ok", "some end"};
    EXPECT_EQ(std::vector<std::string>(log.titles.begin(), log.titles.begin() + 6), expected);
    for (const auto& id : log.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(CheckThread, SilentHostNeverShowsOkAndWindowStaysFree) {
    REQUIRE_RAW();
    std::vector<std::string> titles;
    int roundsduringprobe = 0;
    bool stepfromwindow = true;
    const std::string why = InSilentNamespace([&] {
        veltrin::testing::TestWindowQueue queue;
        TitleLog log;
        Threaded<tcheckthread> check(queue, "127.0.0.1", [&](std::string t) { log.Add(t); }, 100);
        if (!check.Start()) return;
        DriveWindow(queue, [&] { return log.Count() >= 1; }, 5000);
        // The probe now waits up to 2000 ms for a reply that never comes; the window thread
        // must be free meanwhile (steps of other workers, clicks, timers).
        roundsduringprobe = DriveWindow(queue, [&] { return log.Count() >= 2; }, 6000);
        DriveWindow(queue, [&] { return log.Count() >= 4; }, 8000);
        check.Stop();
        std::lock_guard<std::mutex> g(log.lock);
        titles = log.titles;
        for (const auto& id : log.threads) stepfromwindow = stepfromwindow && id == std::this_thread::get_id();
    });
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_GE(titles.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(titles.begin(), titles.begin() + 4),
              (std::vector<std::string>{"some begin", "some end", "some begin", "some end"}));
    for (const auto& t : titles) EXPECT_NE(t, "some ok");
    EXPECT_TRUE(stepfromwindow);
    // 2000 ms of probe wait in 20 ms drain slices: far more than a handful of free rounds.
    EXPECT_GT(roundsduringprobe, 10);
}

TEST(CheckThread, PausedCheckWritesNothingUntilResumed) {
    REQUIRE_RAW();
    veltrin::testing::TestWindowQueue queue;
    TitleLog log;
    Threaded<tcheckthread> check(queue, "127.0.0.1", [&](std::string t) { log.Add(t); }, 100);
    ASSERT_TRUE(check.Start());
    DriveWindow(queue, [&] { return log.Count() >= 3; }, 5000);
    check.Pause();
    // Whatever step was in flight may finish; after that the title must stay as it is.
    DriveWindow(queue, [] { return false; }, 400);
    const std::size_t settled = log.Count();
    DriveWindow(queue, [] { return false; }, 800);
    EXPECT_EQ(log.Count(), settled);
    check.Resume();
    DriveWindow(queue, [&] { return log.Count() >= settled + 3; }, 5000);
    EXPECT_GE(log.Count(), settled + 3);
    check.Stop();
}

// The host asked for before every probe: empty means the check is off (no probe, no title); a
// host set later counts from the next probe, and emptying it stops the titles again.
TEST(CheckThread, HostReadEachProbeAndEmptyTurnsTheCheckOff) {
    REQUIRE_RAW();
    veltrin::testing::TestWindowQueue queue;
    TitleLog log;
    std::string host;  // read on the window thread only
    std::vector<std::thread::id> askedon;
    Threaded<tcheckthread> check(
        queue,
        [&] {
            askedon.push_back(std::this_thread::get_id());
            return host;
        },
        [&](std::string t) { log.Add(t); }, 100);
    ASSERT_TRUE(check.Start());
    DriveWindow(queue, [&] { return askedon.size() >= 3; }, 5000);
    EXPECT_GE(askedon.size(), 3u);
    EXPECT_EQ(log.Count(), 0u);
    host = "127.0.0.1";
    DriveWindow(queue, [&] { return log.Count() >= 3; }, 5000);
    ASSERT_GE(log.Count(), 3u);
    {
        std::lock_guard<std::mutex> g(log.lock);
        EXPECT_EQ(log.titles[0], "some begin");
        EXPECT_EQ(log.titles[1], "some ok");
    }
    host.clear();
    // The cycle in flight ends; after that no title comes.
    DriveWindow(queue, [] { return false; }, 600);
    const std::size_t settled = log.Count();
    DriveWindow(queue, [] { return false; }, 800);
    EXPECT_EQ(log.Count(), settled);
    check.Stop();
    for (const auto& id : askedon) EXPECT_EQ(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace veltrin
