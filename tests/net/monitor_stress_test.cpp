// A thousand list and monitor commands interleaved with real loopback replies, forged replies
// and a second, independently paused pair of workers on the same hand-over queue. Meant to be
// run under ThreadSanitizer as well: it must show no race, no deadlock, and the monitor must
// still answer at the end. Bounded in count and by a hard deadline (a watchdog aborts a hang).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "shared/monitorstubs.h"
#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "monitor/monitor.h"
#include "monitor/pingthreads.h"

namespace veltrin {
namespace {

using namespace std::chrono_literals;

using Events = veltrin::testing::RecordingEvents;

// Aborts the process when the test has not finished by the deadline: a deadlock must end the
// run with a message, not hang it.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) {
        thread_ = std::thread([this, limit] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                std::fprintf(stderr, "monitor stress test: no progress within %lld s, assuming a deadlock\n",
                             static_cast<long long>(limit.count()));
                std::abort();
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

std::vector<std::uint8_t> ForgedReply(std::uint16_t id, int length) {
    auto m = BuildEchoRequest(id, TickCount(), length);
    m[0] = 0;
    m[2] = m[3] = 0;
    const std::uint16_t sum = IcmpChecksum(m.data(), m.size());
    m[2] = static_cast<std::uint8_t>(sum & 0xFF);
    m[3] = static_cast<std::uint8_t>(sum >> 8);
    return m;
}

TEST(MonitorStress, ThousandCommandsWithRepliesInBetween) {
    if (!veltrin::testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
    Watchdog watchdog(240s);
    EngineStartup();
    Golbal()->datalength = 8;

    veltrin::testing::TestWindowQueue queue;
    Events events;
    AddressList list;
    std::string interval = "1";
    auto monitor = std::make_unique<Monitor>(list, queue, events, [&] { return interval; });

    // A second pair like a detail window's, pinging one loopback address with its own steps.
    int detailsent = 0, detailshown = 0;
    tsendthread* detailsender = nullptr;
    auto sender = std::make_unique<Threaded<tsendthread>>(
        queue,
        [](SendTarget& t) {
            t.ip = "127.0.0.9";
            t.interval = 1;
            t.datalength = 32;
            return true;
        },
        [&](int) { ++detailsent; }, 100);
    detailsender = sender.get();
    auto receiver = std::make_unique<Threaded<trecvthread>>(
        queue, [&] { return detailsender->Identifier(); },
        [&](const std::uint8_t*, int length, const Tdecordbuf& r) {
            if (r.icmpcode == "Reply message" && length == 52) ++detailshown;
        });
    ASSERT_TRUE(receiver->Start());
    ASSERT_TRUE(sender->Start());

    IcmpSocket forger;
    ASSERT_TRUE(forger.ok());

    std::mt19937 rng(20240611);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const trecvthread* firstreceiver = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + 150s;
    int commands = 0;
    for (; commands < 1000 && std::chrono::steady_clock::now() < deadline; ++commands) {
        switch (pick(14)) {
            case 0:
            case 1: monitor->Start(); break;
            case 2: monitor->Stop(); break;
            case 3: ClearAllAddresses(list, *monitor); break;
            case 4: DeleteSelectedAddress(list); break;
            case 5: DeleteSelectedAddresses(list, *monitor); break;
            case 6: DeleteLastAddress(list, *monitor); break;
            case 7:
            case 8: {
                std::vector<AddressRow> rows;
                const int n = 1 + pick(4);
                for (int i = 0; i < n; ++i) rows.push_back({"127.0.0." + std::to_string(1 + pick(6)), {}, {}, {}});
                list.AppendRows(std::move(rows));
                break;
            }
            case 9: {
                std::vector<int> selection;
                for (int i = 0; i < list.Count(); ++i)
                    if (pick(3) == 0) selection.push_back(i);
                list.SetSelection(selection);
                break;
            }
            case 10: {
                // Replies the monitor did not ask for but that carry its identifier.
                const auto m = ForgedReply(monitor->SenderIdentifier(), 12 + pick(40));
                for (int i = 0; i < 3; ++i) forger.SendTo(m.data(), m.size(), ::inet_addr("127.0.0.1"));
                break;
            }
            case 11:
                if (pick(2) == 0)
                    detailsender->Pause(), receiver->Pause();
                else
                    receiver->Resume(), detailsender->Resume();
                break;
            case 12: interval = pick(4) == 0 ? "0" : "1"; break;
            case 13: queue.WaitAndDrain(5); break;
        }
        queue.WaitAndDrain(pick(3));

        // Invariants after every command.
        ASSERT_TRUE(!monitor->running() || monitor->created());
        if (monitor->created()) {
            if (firstreceiver == nullptr) firstreceiver = monitor->Receiver();
            ASSERT_EQ(monitor->Receiver(), firstreceiver) << "a second set of workers after command " << commands;
        }
    }
    EXPECT_EQ(commands, 1000) << "the deadline cut the run short";
    EXPECT_TRUE(events.fatal.empty());

    // Still alive after all that: a fresh row gets answered.
    ClearAllAddresses(list, *monitor);
    list.Append("127.0.0.1");
    monitor->Start();
    receiver->Resume();
    detailsender->Resume();
    ASSERT_TRUE(monitor->running());
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!(list.Row(0).ttl == "64" && detailshown > 0) && std::chrono::steady_clock::now() < end)
        queue.WaitAndDrain(10);
    EXPECT_EQ(list.Row(0).ttl, "64");
    EXPECT_GT(detailsent, 0);
    EXPECT_GT(detailshown, 0);
    EXPECT_EQ(monitor->Receiver()->SocketsOpened(), 1);

    // Tear down while everything is busy; the joins must not wait for the window thread.
    monitor.reset();
    receiver.reset();  // it reads the sender's identifier, so it goes first
    sender.reset();
    queue.Drain();
}

}  // namespace
}  // namespace veltrin
