#include "monitor/pingthreads.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
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
// A batch is handed over at once when it grows this long.
constexpr std::size_t kMaxBatch = 4096;
// The sweep sender wakes at most about this often: slots due sooner go with the current wake.
constexpr std::int64_t kSweepWakeNs = 20'000'000;
// How long a filtered receiver waits at most before it looks again at its sender's identifier.
constexpr int kFilterRecheckMs = 1000;

}  // namespace

// ---- sender ---------------------------------------------------------------------------------

tsendthread::tsendthread(HandOver& handover, std::function<bool(SendTarget&)> pick, std::function<void(int)> sent,
                         int failpausems)
    : Worker(handover), pick_(std::move(pick)), sent_(std::move(sent)), failpausems_(failpausems) {}


namespace {

// Waits until `deadlinens` (monotonic; steady_clock is CLOCK_MONOTONIC here) on the gate, so a
// stop cuts it short. Sub-millisecond, unlike Gate::Sleep. False once a stop was requested.
bool WaitUntilNs(Gate& g, std::int64_t deadlinens) {
    if (MonotonicNs() >= deadlinens) return !g.StopRequested();
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlinens));
    std::unique_lock<std::mutex> lock(g.mutex());
    g.condition().wait_until(lock, deadline, [&g] { return g.StopRequested(); });
    return !g.StopRequested();
}

}  // namespace

bool tsendthread::RunSweep(const SendTarget& target, std::int64_t& nextns) {
    Gate& g = gate();
    const std::shared_ptr<IcmpChannel> channel = slot_ ? slot_->Get() : nullptr;
    if (!channel) return g.Sleep(failpausems_);  // no channel (yet): like a failed cycle
    const std::int64_t gap = target.sweep.gapns;
    const std::int64_t now = MonotonicNs();
    // Behind by more than a slice (a pause, a slow step): start afresh rather than catch up
    // with a burst; ahead by more than one gap (the period got shorter): start now.
    if (nextns < now - SweepPace::kSliceNs || nextns > now + gap) nextns = now;
    const std::uint16_t id = channel->Identifier(CurrentThreadIdentifier());
    // One wake sends every slot due within kSweepWakeNs, so close slots cost one wake-up of
    // this thread rather than one each; they still go in order, none later than planned.
    const std::int64_t lead = gap < kSweepWakeNs ? kSweepWakeNs - gap : 0;
    for (const SweepSlot& slot : target.sweep.turns) {
        if (nextns > MonotonicNs() + lead && !WaitUntilNs(g, nextns)) return false;
        if (g.StopRequested()) return false;
        // A pause drops the rest of the slice: nothing may go out while the monitor is stopped.
        if (g.Paused()) return true;
        nextns += gap;
        if (!slot.send) continue;
        const std::uint32_t tick = TickCount();
        // Told before the echo leaves: on loopback its reply can be back before the send returns.
        if (target.recordsweep) target.recordsweep(slot.value, id, tick);
        channel->SendEcho(slot.value, id, tick, target.datalength);
    }
    return true;
}

void tsendthread::PickAhead() {
    if (!pickahead_) return;
    std::lock_guard<std::mutex> lock(aheadmutex_);
    if (!aheadwanted_ || aheadready_) return;
    aheadwanted_ = false;
    if (gate().StopRequested() || gate().Paused()) return;
    SendTarget target;
    aheadsend_ = pickahead_(target);
    ahead_ = std::move(target);
    aheadready_ = true;
}

void tsendthread::DropPickAhead() {
    std::lock_guard<std::mutex> lock(aheadmutex_);
    aheadwanted_ = false;
    aheadready_ = false;
    ahead_ = SendTarget{};
}

bool tsendthread::TakeAhead(SendTarget& target, bool& send) {
    std::lock_guard<std::mutex> lock(aheadmutex_);
    // From here on the window thread must not pick for this cycle: it is picked below or here.
    aheadwanted_ = false;
    if (!aheadready_) return false;
    aheadready_ = false;
    target = std::move(ahead_);
    ahead_ = SendTarget{};
    send = aheadsend_;
    return true;
}

void tsendthread::Run() {
    Gate& g = gate();
    // Whatever way this thread ends, the receiver reads again.
    const struct HandBack {
        tsendthread* self;
        ~HandBack() { self->ReadReplies(false); }
    } handback{this};
    std::int64_t sweepnext = 0;  // when the next sweep slot is due (monotonic ns)
    for (;;) {
        if (!g.WaitWhilePaused()) return;
        // The receiver opens the shared channel on its own thread. Until it is there no pick is
        // taken: a pick counts as sent for whoever watches the picks (the console's counts, the
        // sweep's one echo in flight), and its echo could not go out.
        if (slot_ && !slot_->Get()) {
            if (!g.Sleep(failpausems_)) return;
            continue;
        }
        SendTarget target;
        bool send = false;
        if (TakeAhead(target, send)) {
            takenahead_.fetch_add(1, std::memory_order_relaxed);
            if (target.taken) target.taken();
        } else if (!OnWindow([&] { send = pick_ ? pick_(target) : false; })) {
            return;
        }
        if (send && !target.sweep.turns.empty()) {
            // A sweep's replies come steadily: the receiver gathers them on its own thread.
            ReadReplies(false);
            if (!RunSweep(target, sweepnext)) return;
            continue;
        }
        sweepnext = 0;
        // At the ordinary pace this thread reads the replies itself while it waits for its next
        // send: on loopback a reply arrives inside the send, so no other thread is woken for
        // it. Not without a pause to read in (interval 0 sends back to back), and only for a
        // receiver that hands replies over without waiting.
        ReadReplies(pickahead_ && reader_ && reader_->ReadsForSender() && (!send || target.interval > 0));

        int result = 0;
        bool paced = false;  // the interval pause after a successful send began
        if (send) {
            const auto pace = [&](int ms) {
                paced = true;
                return Wait(ms);
            };
            // From now on the next target may be picked while the window thread is awake anyway.
            // Said before the echo leaves: on loopback its reply, whose step picks ahead, can
            // be shown before the send returns.
            if (pickahead_ && target.interval > 0) {
                std::lock_guard<std::mutex> lock(aheadmutex_);
                aheadwanted_ = true;
            }
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
        if (!wentout && !Wait(failpausems_)) return;
    }
}

void tsendthread::ReadReplies(bool on) {
    if (on == reading_ || !slot_) return;
    // Without the hand-back descriptor the receiver could not be woken to read again.
    if (on && slot_->HandBackFd() < 0) return;
    reading_ = on;
    slot_->SetSenderReads(on);
}

bool tsendthread::Wait(int ms) {
    if (!reading_) return gate().Sleep(ms);
    return reader_->ReadFor(gate(), MonotonicNs() + static_cast<std::int64_t>(ms) * 1'000'000) >= 0;
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


bool trecvthread::HandBatchLocked() {
    steps_.fetch_add(1);
    lasthandns_ = MonotonicNs();
    std::vector<ReplyCheck> taken;
    taken.swap(batch_);
    batch_.reserve(taken.size());
    // The batch goes without waiting for its step: the reader goes back to its socket at once
    // instead of being woken again when the window thread is done (Post).
    return PostToWindow([this, checks = std::move(taken)]() mutable {
        const std::size_t n = checks.size();
        acceptmany_(checks);
        shown_.fetch_add(n);
    });
}

bool trecvthread::TakeLocked(int length, std::uint32_t tick, std::int64_t recvns) {
    IcmpChannel& channel = *channel_;
    std::uint8_t* buffer = buffer_.data();
    read_.fetch_add(1, std::memory_order_relaxed);
    if (static_cast<std::size_t>(length) < kZeroedPrefix)
        std::memset(buffer + length, 0, kZeroedPrefix - static_cast<std::size_t>(length));
    try {
        // No sender yet: nothing can be ours.
        const int wanted = expectedid_ ? expectedid_() : -1;
        if (wanted < 0) return true;
        const std::uint16_t expected = channel.Identifier(static_cast<std::uint16_t>(wanted));
        // An ICMP error about one of our echoes carries our identifier only in the request
        // it quotes; the decoder reads the identifier where a reply has it.
        std::uint16_t decodeid = expected;
        if (QuotedEchoIdentifier(buffer, static_cast<std::size_t>(length)) == expected) {
            const std::size_t ihl = static_cast<std::size_t>(buffer[0] & 0x0F) * 4;
            decodeid = static_cast<std::uint16_t>(buffer[ihl + 4] | (buffer[ihl + 5] << 8));
        }
        ReplyCheck check = CheckDatagram(buffer, length, tick, recvns, decodeid, ledger_);
        if (!check.show) return true;
        accepted_.fetch_add(1);
        if (acceptmany_) {
            // At most one step per gathering time: a reply after a quiet spell goes at once,
            // the ones that follow it closely wait for the next step.
            const std::int64_t gather = static_cast<std::int64_t>(gatherms_) * 1'000'000;
            batch_.push_back(std::move(check));
            if (batch_.size() == 1) batchdue_ = std::max(MonotonicNs(), lasthandns_ + gather);
            if (MonotonicNs() >= batchdue_ || batch_.size() >= kMaxBatch) return HandBatchLocked();
            return true;
        }
        steps_.fetch_add(1);
        if (!OnWindow([&] {
                if (accept_) accept_(buffer, length, check);
            }))
            return false;
        shown_.fetch_add(1);
    } catch (...) {
        // A failure with one datagram never ends the receiver.
    }
    return true;
}

int trecvthread::ReadOneLocked() {
    const ssize_t got = channel_->Receive(buffer_.data(), buffer_.size());
    const std::uint32_t tick = TickCount();
    // The kernel's receive time where it gives one: the datagram may have waited while the
    // reader handed the previous one over.
    const std::int64_t stamped = channel_->ReceivedNs();
    const std::int64_t recvns = stamped > 0 ? stamped : MonotonicNs();
    if (got <= 0) {
        // Nothing for us after all (a helper's send report, an error of no interest, or the
        // other reader was quicker).
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return -2;
    }
    return TakeLocked(static_cast<int>(got), tick, recvns) ? 1 : -1;
}

int trecvthread::ReadFor(Gate& waiter, std::int64_t deadlinens) {
    for (;;) {
        if (waiter.StopRequested()) return -1;
        std::int64_t until = deadlinens;
        {
            std::lock_guard<std::mutex> lock(readmutex_);
            if (!batch_.empty()) {
                if (MonotonicNs() >= batchdue_ && !HandBatchLocked()) return -1;
                if (!batch_.empty()) until = std::min(until, batchdue_);
            }
        }
        const std::int64_t now = MonotonicNs();
        if (now >= deadlinens) return 1;
        const std::int64_t left = until - now;
        const int ms = left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>((left + 999'999) / 1'000'000, 1 << 30));
        const int ready = ms == 0 ? 0 : waiter.WaitReadable(channel_->fd(), ms);
        if (ready < 0) return -1;
        if (ready == 0) {
            if (waiter.Paused()) return 0;
            continue;
        }
        int r = 0;
        {
            std::lock_guard<std::mutex> lock(readmutex_);
            r = ReadOneLocked();
            if (r == 1) readforsender_.fetch_add(1, std::memory_order_relaxed);
        }
        if (r == -1) return -1;
        // A failed read: pause like the receiver would, without reading.
        if (r == -2 && !waiter.Sleep(kReceiveFailPauseMs)) return -1;
    }
}

void trecvthread::Run() {
    Gate& g = gate();
    IcmpChannelChoice choice = OpenIcmpChannel();
    if (!choice.channel) {
        if (socketfailed_) socketfailed_(choice.error);
        return;
    }
    const std::shared_ptr<IcmpChannel> channel(std::move(choice.channel));
    {
        std::lock_guard<std::mutex> lock(readmutex_);
        channel_ = channel;
        // One buffer for the life of the receiver, large enough for any datagram.
        buffer_.assign(trecvthread::kReceiveBuffer, 0);
        lasthandns_ = MonotonicNs() - static_cast<std::int64_t>(gatherms_) * 1'000'000;
    }
    if (slot_) slot_->Set(channel);
    socketsopened_.fetch_add(1);

    if (channel->path() == IcmpPath::Raw) {
        // A raw socket is never bound; this first send gives it its local address. Its echo
        // carries this thread's identifier, which no sender uses, so it is dropped like any
        // foreign reply.
        channel->SendEcho(::inet_addr("127.0.0.1"), Identifier(), TickCount(), 12);
    }

    int filtered = -1;  // the identifier the kernel filter keeps replies for
    for (;;) {
        if (!g.WaitWhilePaused()) return;
        // Once the sender is known, the kernel drops other programs' echo replies for us
        // (checked every time round, should the sender ever change).
        if (const int wanted = expectedid_ ? expectedid_() : -1; wanted >= 0 && wanted != filtered) {
            channel->KeepOnlyRepliesTo(channel->Identifier(static_cast<std::uint16_t>(wanted)));
            filtered = wanted;
        }
        if (slot_ && slot_->SenderReads()) {
            // The sender reads while it paces (ReadFor): this thread keeps out of the socket,
            // so a reply wakes one thread, not two, until the sender hands reading back.
            {
                std::lock_guard<std::mutex> lock(readmutex_);
                if (!batch_.empty() && !HandBatchLocked()) return;
            }
            if (g.WaitReadable(slot_->HandBackFd(), -1) < 0) return;
            slot_->TakeHandBack();
            continue;
        }
        if (deferred_ && acceptmany_ && channel->StampsArrivals() && deferred_()) {
            // Replies come steadily (the sweep pace): rather than wake for each one, read what
            // came during one gathering time at once; each keeps the kernel's arrival time.
            if (!g.Sleep(gatherms_)) return;
            if (g.Paused()) continue;  // what arrived waits in the socket for the resume
            std::lock_guard<std::mutex> lock(readmutex_);
            for (int n = 0; n < 100000; ++n) {
                std::int64_t arrival = -1;
                const ssize_t got = channel->ReceiveStamped(buffer_.data(), buffer_.size(), arrival);
                if (got <= 0) break;
                const std::int64_t now = MonotonicNs();
                const std::int64_t recvns = arrival >= 0 && arrival <= now ? arrival : now;
                const std::uint32_t tick = TickCount() - static_cast<std::uint32_t>((now - recvns) / 1'000'000);
                if (!TakeLocked(static_cast<int>(got), tick, recvns)) return;
            }
            if (!batch_.empty() && !HandBatchLocked()) return;
            continue;
        }
        // With a filter set, a look now and then at whom it is for: a sender that changed would
        // otherwise have every reply dropped while this thread waits for one.
        int waitms = filtered >= 0 ? kFilterRecheckMs : -1;
        {
            std::lock_guard<std::mutex> lock(readmutex_);
            if (!batch_.empty()) {
                const std::int64_t left = batchdue_ - MonotonicNs();
                waitms = left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
            }
        }
        // A paused receiver does not read: what arrives meanwhile waits in the socket. Nor
        // does one whose sender began to read meanwhile (the hand-back fd wakes it then).
        const int handback = slot_ ? slot_->HandBackFd() : -1;
        const int ready = waitms == 0 ? 0 : g.WaitReadable(channel->fd(), waitms, handback);
        if (ready < 0) return;
        if (ready > 0 && slot_) {
            slot_->TakeHandBack();
            if (slot_->SenderReads()) continue;
        }
        int r = 0;
        {
            std::lock_guard<std::mutex> lock(readmutex_);
            if (ready == 0) {
                if (!batch_.empty() && MonotonicNs() >= batchdue_ && !HandBatchLocked()) return;
                continue;
            }
            r = ReadOneLocked();
        }
        if (r == -1) return;
        if (r == -2 && !g.Sleep(kReceiveFailPauseMs)) return;
    }
}

void ShareChannel(tsendthread& sender, trecvthread& receiver) {
    auto slot = std::make_shared<ChannelSlot>();
    sender.SetChannelSlot(slot);
    receiver.SetChannelSlot(slot);
    sender.SetReader(&receiver);
}

}  // namespace veltrin
