#include "monitor/pingthreads.h"

#include <arpa/inet.h>

#include <cerrno>

#include <cstring>
#include <vector>
#include <utility>

#include "engine/global_unit.h"
#include "engine/icmp_channel.h"
#include "monitor/channelslot.h"
#include "monitor/echoledger.h"

namespace veltrin {

namespace {

// The first bytes of the buffer are zero past the datagram, as the info window's dump expects.
constexpr std::size_t kZeroedPrefix = kReceiveBufferSize;
constexpr int kReceiveFailPauseMs = 500;

}  // namespace

// ---- sender ---------------------------------------------------------------------------------

tsendthread::tsendthread(HandOver& handover, std::function<bool(SendTarget&)> pick, std::function<void(int)> sent,
                         int failpausems)
    : Worker(handover), pick_(std::move(pick)), sent_(std::move(sent)), failpausems_(failpausems) {}


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
            const auto pace = [&](int ms) {
                paced = true;
                return g.Sleep(ms);
            };
            if (!slot_) {
                result = SendEchoWith(target.ip, target.interval, target.datalength, pace, target.record);
            } else if (const auto channel = slot_->Get()) {
                result = SendEchoOn(*channel, target.ip, target.interval, target.datalength, pace, target.record);
            }  // else the receiver has no channel (yet): a failed cycle
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
    : Worker(handover), expectedid_(std::move(expectedid)), socketfailed_(std::move(socketfailed)) {
    if (show)
        accept_ = [show = std::move(show)](const std::uint8_t* raw, int length, const ReplyCheck& check) {
            show(raw, length, check.described);
        };
}

trecvthread::trecvthread(HandOver& handover, std::function<int()> expectedid, EchoLedger* ledger,
                         std::function<void(const std::uint8_t* raw, int length, const ReplyCheck& check)> accept,
                         std::function<void(int error)> socketfailed)
    : Worker(handover),
      expectedid_(std::move(expectedid)),
      ledger_(ledger),
      accept_(std::move(accept)),
      socketfailed_(std::move(socketfailed)) {}


void trecvthread::Run() {
    Gate& g = gate();
    IcmpChannelChoice choice = OpenIcmpChannel();
    if (!choice.channel) {
        if (socketfailed_) socketfailed_(choice.error);
        return;
    }
    const std::shared_ptr<IcmpChannel> channel(std::move(choice.channel));
    if (slot_) slot_->Set(channel);
    socketsopened_.fetch_add(1);

    if (channel->path() == IcmpPath::Raw) {
        // A raw socket is never bound; this first send gives it its local address. Its echo
        // carries this thread's identifier, which no sender uses, so it is dropped like any
        // foreign reply.
        channel->SendEcho(::inet_addr("127.0.0.1"), Identifier(), TickCount(), 12);
    }

    // One buffer for the life of the receiver, large enough for any datagram.
    std::vector<std::uint8_t> buffer(trecvthread::kReceiveBuffer, 0);
    for (;;) {
        if (!g.WaitWhilePaused()) return;
        // A paused receiver does not read: what arrives meanwhile waits in the socket.
        const int ready = g.WaitReadable(channel->fd(), -1);
        if (ready < 0) return;
        if (ready == 0) continue;

        const ssize_t got = channel->Receive(buffer.data(), buffer.size());
        const std::uint32_t tick = TickCount();
        // The kernel's receive time where it gives one: the datagram may have waited while this
        // thread handed the previous one over.
        const std::int64_t stamped = channel->ReceivedNs();
        const std::int64_t recvns = stamped > 0 ? stamped : MonotonicNs();
        if (got <= 0) {
            // Nothing for us after all (a helper's send report, an error of no interest).
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (!g.Sleep(kReceiveFailPauseMs)) return;
            continue;
        }
        const int length = static_cast<int>(got);
        if (static_cast<std::size_t>(length) < kZeroedPrefix)
            std::memset(buffer.data() + length, 0, kZeroedPrefix - static_cast<std::size_t>(length));
        try {
            // No sender yet: nothing can be ours.
            const int wanted = expectedid_ ? expectedid_() : -1;
            if (wanted < 0) continue;
            const std::uint16_t expected = channel->Identifier(static_cast<std::uint16_t>(wanted));
            // An ICMP error about one of our echoes carries our identifier only in the request
            // it quotes; the decoder reads the identifier where a reply has it.
            std::uint16_t decodeid = expected;
            if (QuotedEchoIdentifier(buffer.data(), static_cast<std::size_t>(length)) == expected) {
                const std::size_t ihl = static_cast<std::size_t>(buffer[0] & 0x0F) * 4;
                decodeid = static_cast<std::uint16_t>(buffer[ihl + 4] | (buffer[ihl + 5] << 8));
            }
            const ReplyCheck check = CheckDatagram(buffer.data(), length, tick, recvns, decodeid, ledger_);
            if (!check.show) continue;
            if (!OnWindow([&] {
                    if (accept_) accept_(buffer.data(), length, check);
                }))
                return;
        } catch (...) {
            // A failure with one datagram never ends the receiver.
        }
    }
}

void ShareChannel(tsendthread& sender, trecvthread& receiver) {
    auto slot = std::make_shared<ChannelSlot>();
    sender.SetChannelSlot(slot);
    receiver.SetChannelSlot(slot);
}

}  // namespace veltrin
