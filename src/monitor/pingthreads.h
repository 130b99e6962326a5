// The sender and receiver workers shared by the main monitor and the detail window. Each window
// supplies its own steps; the steps run on the window thread while the worker waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/icmp_channel.h"
#include "engine/u_header.h"
#include "monitor/replyfilter.h"
#include "monitor/sweeppace.h"
#include "monitor/worker.h"

namespace veltrin {

class ChannelSlot;
class trecvthread;

// What one send cycle sends, filled on the window thread.
struct SendTarget {
    std::string ip;          // empty: nothing is sent
    int interval = 3;        // pause after a successful send, in 100 ms units
    int datalength = 8;
    // Told, on the sender's thread, the identifier and tick of the echo right before it leaves
    // (for the send record); may be empty.
    std::function<void(std::uint16_t identifier, std::uint32_t tick)> record;
    // The sweep pace: when `sweep` has slots, the cycle sends them `sweep.gapns` apart on the
    // shared channel (ip and interval unused), telling `recordsweep` of each echo before it
    // leaves, and the next pick comes when the slice is done (`sent` is not told).
    SweepSlice sweep;
    std::function<void(std::uint32_t value, std::uint16_t identifier, std::uint32_t tick)> recordsweep;
    // Told on the sender's thread when it takes a target that was picked ahead (PickAhead),
    // right before that target's echo would leave; may be empty.
    std::function<void()> taken;
};

class tsendthread : public Worker {
public:
    // pick: window-thread step choosing the target (false skips the send this cycle).
    // sent: window-thread step after each send with SendEcho's result (may be empty).
    // failpausems: the least pause after a cycle that sent nothing, so failing cycles never
    // flood the window thread.
    tsendthread(HandOver& handover, std::function<bool(SendTarget&)> pick, std::function<void(int)> sent,
                int failpausems);

    // Sends on the channel its receiver opened (see ShareChannel); without one every echo
    // opens a channel of its own. Set before Start.
    void SetChannelSlot(std::shared_ptr<ChannelSlot> slot) { slot_ = std::move(slot); }

    // The ordinary pace with picks made ahead: once an echo is out, the next target may be
    // picked by `pickahead` whenever the window thread is awake anyway (PickAhead, from a reply
    // step), so at the end of its interval the sender sends without handing a step over and
    // waking the window thread for it. A target never picked ahead is picked as before. Set
    // before Start.
    void SetPickAhead(std::function<bool(SendTarget&)> pickahead) { pickahead_ = std::move(pickahead); }
    // Window thread: picks the next target now if the sender is pacing after a send and has
    // none yet. Cheap when it has one or is not waiting for one.
    void PickAhead();
    // Window thread: forgets a target picked ahead (a pause: rows and interval may change
    // before the resume, so the next send picks afresh).
    void DropPickAhead();
    // Targets taken from a pick made ahead. For tests.
    std::uint64_t PicksTakenAhead() const { return takenahead_.load(); }
    // The receiver of the shared channel (ShareChannel); it must outlive this worker's thread.
    // With picks made ahead, this thread reads the replies for it while it paces.
    void SetReader(trecvthread* reader) { reader_ = reader; }

protected:
    const char* ThreadName() const override { return "vping-send"; }
    void Run() override;

private:
    // One sweep slice; false when asked to stop.
    bool RunSweep(const SendTarget& target, std::int64_t& nextns);

    // The target picked ahead, if any; false when there is none to take.
    bool TakeAhead(SendTarget& target, bool& send);
    // Whether this thread reads the receiver's replies while it waits (see Run).
    void ReadReplies(bool on);
    // Waits `ms` (a stop cuts it short), reading replies meanwhile when it reads them. False
    // once a stop was requested.
    bool Wait(int ms);

    std::function<bool(SendTarget&)> pick_;
    std::function<void(int)> sent_;
    int failpausems_;
    std::shared_ptr<ChannelSlot> slot_;
    std::function<bool(SendTarget&)> pickahead_;
    // Guards the four below; held by the window thread while it picks ahead, so the sender
    // never sends a half-made target.
    std::mutex aheadmutex_;
    bool aheadwanted_ = false;  // the sender paces after a send and will take a pick
    bool aheadready_ = false;
    bool aheadsend_ = false;
    SendTarget ahead_;
    std::atomic<std::uint64_t> takenahead_{0};
    trecvthread* reader_ = nullptr;
    bool reading_ = false;  // this thread reads for reader_ (worker thread only)
};

class trecvthread : public Worker {
public:
    // expectedid: read afresh for every datagram: the matching sender's identifier, or a negative
    // number while there is no sender (0 is an identifier like any other).
    // show: window-thread step for every accepted datagram (a correct ICMP checksum, decoded at
    // the offset its IP header length gives): the whole datagram (up to 64 KiB; its first
    // kReceiveBufferSize bytes zero past `length`), the length, and the described record.
    // socketfailed: called once (from the worker thread) with the raw socket's errno when no way
    // to send ICMP works (RawSocketHint then has the notice); the worker then ends.
    trecvthread(HandOver& handover, std::function<int()> expectedid,
                std::function<void(const std::uint8_t* raw, int length, const Tdecordbuf& reply)> show,
                std::function<void(int error)> socketfailed = {});
    // With a send record: datagrams with a wrong ICMP checksum are dropped, echo replies are
    // passed on only when they answer an echo in `ledger` (round trip from the ledger), and
    // `accept` sees the whole judgement. `raw` holds the whole datagram (up to 64 KiB); its
    // first 1024 bytes are zero past `length`.
    trecvthread(HandOver& handover, std::function<int()> expectedid, EchoLedger* ledger,
                std::function<void(const std::uint8_t* raw, int length, const ReplyCheck& check)> accept,
                std::function<void(int error)> socketfailed = {});

    // Whole datagrams are read, up to the largest an IPv4 packet can be.
    static constexpr std::size_t kReceiveBuffer = 65536;
    // Publishes the channel it opens for its sender (see ShareChannel). Set before Start.
    void SetChannelSlot(std::shared_ptr<ChannelSlot> slot) { slot_ = std::move(slot); }

    // Sockets this worker opened (1 after it started; a resume opens none). For tests.
    int SocketsOpened() const { return socketsopened_.load(); }

    // Accepted datagrams reach the window thread in at most one step per `gatherms`: one after
    // a quiet spell goes at once, those that follow within `gatherms` wait and go together (the
    // datagrams' bytes are not kept; times come from the receive, not from the step). Set
    // before Start.
    void SetBatch(std::function<void(std::vector<ReplyCheck>& checks)> acceptmany, int gatherms) {
        acceptmany_ = std::move(acceptmany);
        gatherms_ = gatherms;
    }
    // While `deferred` says so (and the channel stamps arrivals), the receiver does not wake
    // for each datagram: it reads what came during each gathering time at once. For a steady
    // stream of replies (the sweep pace); set before Start, read on the worker.
    void SetDeferredWhile(std::function<bool()> deferred) { deferred_ = std::move(deferred); }
    // Steps handed to the window thread with accepted datagrams. For tests and benchmarks.
    std::uint64_t StepsHanded() const { return steps_.load(); }
    // Datagrams accepted so far, and those of them whose step has run: equal once nothing
    // waits for a step. Datagrams are accepted in arrival order. For tests.
    std::uint64_t AcceptedDatagrams() const { return accepted_.load(); }
    std::uint64_t ShownDatagrams() const { return shown_.load(); }
    // Datagrams read from the channel, ours or not. For tests.
    std::uint64_t ReadDatagrams() const { return read_.load(); }
    // Datagrams this worker's own thread read, as against its sender (ReadFor); taken together,
    // so no read falls between the two. For tests.
    struct ReadCounts {
        std::uint64_t byreceiver = 0;
        std::uint64_t bysender = 0;
    };
    ReadCounts ReadsByThread() const {
        std::lock_guard<std::mutex> lock(readmutex_);
        const std::uint64_t bysender = readforsender_.load();
        return {read_.load() - bysender, bysender};
    }

    // Whether a sender may read for this receiver (ReadFor): only one that hands its replies
    // over in batches without waiting (SetBatch).
    bool ReadsForSender() const { return static_cast<bool>(acceptmany_); }
    // Called by the sender of the shared channel, on its own thread, while it waits and reads
    // for this receiver (which then keeps out of the socket): until `deadlinens` (monotonic)
    // reads and handles what arrives just as this worker would. 1 at the deadline, 0 when
    // `waiter` paused, -1 when `waiter` was asked to stop or a hand-over failed.
    int ReadFor(Gate& waiter, std::int64_t deadlinens);

protected:
    const char* ThreadName() const override { return "vping-recv"; }
    void Run() override;

private:
    // With readmutex_ held. One datagram of `length` bytes in buffer_, read at `tick` /
    // `recvns`: checked, then shown (or gathered for the next step). False when the worker was
    // asked to stop meanwhile.
    bool TakeLocked(int length, std::uint32_t tick, std::int64_t recvns);
    // Hands the gathered batch over. False when the worker was asked to stop.
    bool HandBatchLocked();
    // Reads and takes one datagram: 1 taken, 0 nothing there, -1 stop, -2 the read failed.
    int ReadOneLocked();

    // Whoever reads (this worker, or its sender in ReadFor) holds this; the rest is its state.
    mutable std::mutex readmutex_;
    std::shared_ptr<IcmpChannel> channel_;
    std::vector<std::uint8_t> buffer_;
    std::vector<ReplyCheck> batch_;  // accepted datagrams waiting for their one step (SetBatch)
    std::int64_t batchdue_ = 0;      // when that step is due
    std::int64_t lasthandns_ = 0;

    std::function<int()> expectedid_;
    EchoLedger* ledger_ = nullptr;
    std::function<void(const std::uint8_t*, int, const ReplyCheck&)> accept_;
    std::function<void(int)> socketfailed_;
    std::atomic<int> socketsopened_{0};
    std::shared_ptr<ChannelSlot> slot_;
    std::function<void(std::vector<ReplyCheck>&)> acceptmany_;
    int gatherms_ = 0;
    std::function<bool()> deferred_;
    std::atomic<std::uint64_t> steps_{0};
    std::atomic<std::uint64_t> accepted_{0};
    std::atomic<std::uint64_t> shown_{0};
    std::atomic<std::uint64_t> read_{0};
    std::atomic<std::uint64_t> readforsender_{0};
};

// Makes the pair use one ICMP channel, which the receiver opens. Call before starting either.
void ShareChannel(tsendthread& sender, trecvthread& receiver);

}  // namespace veltrin
