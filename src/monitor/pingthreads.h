// The sender and receiver workers shared by the main monitor and the detail window. Each window
// supplies its own steps; the steps run on the window thread while the worker waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/u_header.h"
#include "monitor/replyfilter.h"
#include "monitor/sweeppace.h"
#include "monitor/worker.h"

namespace veltrin {

class ChannelSlot;

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

protected:
    const char* ThreadName() const override { return "vping-send"; }
    void Run() override;

private:
    // One sweep slice; false when asked to stop.
    bool RunSweep(const SendTarget& target, std::int64_t& nextns);

    std::function<bool(SendTarget&)> pick_;
    std::function<void(int)> sent_;
    int failpausems_;
    std::shared_ptr<ChannelSlot> slot_;
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

protected:
    const char* ThreadName() const override { return "vping-recv"; }
    void Run() override;

private:
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
};

// Makes the pair use one ICMP channel, which the receiver opens. Call before starting either.
void ShareChannel(tsendthread& sender, trecvthread& receiver);

}  // namespace veltrin
