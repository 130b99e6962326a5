#include "monitor/pingthreads.h"

#include <arpa/inet.h>

#include <cstring>
#include <utility>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"

namespace veltrin {

namespace {

constexpr int kReceiveFailPauseMs = 500;

}  // namespace

// ---- sender ---------------------------------------------------------------------------------

tsendthread::tsendthread(HandOver& handover, std::function<bool(SendTarget&)> pick, std::function<void(int)> sent,
                         int failpausems)
    : Worker(handover), pick_(std::move(pick)), sent_(std::move(sent)), failpausems_(failpausems) {}

tsendthread::~tsendthread() { Stop(); }

void tsendthread::Run() {
    Gate& g = gate();
    for (;;) {
        if (!g.WaitWhilePaused()) return;
        SendTarget target;
        bool send = false;
        if (!OnWindow([&] { send = pick_ ? pick_(target) : false; })) return;

        int result = 0;
        bool paced = false;  // the interval pause after a successful send began
        if (send) {
            result = SendEchoWith(target.ip, target.interval, target.datalength, [&](int ms) {
                paced = true;
                return g.Sleep(ms);
            });
        }
        if (g.StopRequested()) return;
        if (sent_ && !OnWindow([&] { sent_(result); })) return;

        // A send went out when SendEcho returned the wire length and, for a positive interval,
        // paused afterwards. A bare "result < 12" test is not enough: an errno such as EACCES
        // (13) or EMFILE (24) from the socket call looks like a byte count.
        const bool pacedneeded = static_cast<long long>(target.interval) * 100 > 0;
        const bool wentout = send && result == EchoWireLength(target.datalength) && (paced || !pacedneeded);
        if (!wentout && !g.Sleep(failpausems_)) return;
    }
}

// ---- receiver -------------------------------------------------------------------------------

trecvthread::trecvthread(HandOver& handover, std::function<int()> expectedid,
                         std::function<void(const std::uint8_t* raw, int length, const Tdecordbuf& reply)> show,
                         std::function<void(int error)> socketfailed)
    : Worker(handover),
      expectedid_(std::move(expectedid)),
      show_(std::move(show)),
      socketfailed_(std::move(socketfailed)) {}

trecvthread::~trecvthread() { Stop(); }

void trecvthread::Run() {
    Gate& g = gate();
    IcmpSocket socket;
    if (!socket.ok()) {
        if (socketfailed_) socketfailed_(socket.error());
        return;
    }
    socketsopened_.fetch_add(1);

    // The socket is never bound; this first send gives it its local address. Its echo carries
    // this thread's identifier, which no sender uses, so it is dropped like any foreign reply.
    const auto priming = BuildEchoRequest(Identifier(), TickCount(), 12);
    socket.SendTo(priming.data(), priming.size(), ::inet_addr("127.0.0.1"));

    std::uint8_t buffer[kReceiveBufferSize];
    Tdecordbuf record;
    for (;;) {
        if (!g.WaitWhilePaused()) return;
        // A paused receiver does not read: what arrives meanwhile waits in the socket.
        const int ready = g.WaitReadable(socket.fd(), -1);
        if (ready < 0) return;
        if (ready == 0) continue;

        std::memset(buffer, 0, sizeof buffer);
        const ssize_t got = socket.Receive(buffer, sizeof buffer);
        const std::uint32_t tick = TickCount();
        if (got <= 0) {
            if (!g.Sleep(kReceiveFailPauseMs)) return;
            continue;
        }
        const int length = static_cast<int>(got);
        try {
            // No sender yet: nothing can be ours.
            const int expected = expectedid_ ? expectedid_() : -1;
            if (expected < 0) continue;
            DecodeReply(buffer, length, tick, static_cast<std::uint16_t>(expected), record);
            if (record.icmptype == "NIL") continue;
            const Tdecordbuf described = DescribeReply(record);
            if (!OnWindow([&] {
                    if (show_) show_(buffer, length, described);
                }))
                return;
        } catch (...) {
            // A failure with one datagram never ends the receiver.
        }
    }
}

}  // namespace veltrin
