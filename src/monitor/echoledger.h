// The record of every echo a sender put on the wire, so a reply is believed only when it answers
// one of them, and its round trip comes from our own clock, never from bytes a peer sent back.
// Qt-free; every member is safe to call from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace veltrin {

// Monotonic nanoseconds (CLOCK_MONOTONIC).
std::int64_t MonotonicNs();

// Replies for nothing any ledger of this process sent, dropped by the receivers (for the about
// box and --verbose).
std::uint64_t UnmatchedReplies();

class EchoLedger {
public:
    // The outcome of one echo reply offered to the ledger.
    enum class Match {
        Answered,   // answers a pending echo: counts as received, `rttns` is its round trip
        Late,       // answers an echo already counted lost: shown (once), but counted neither way
        Duplicate,  // answers an echo that was already answered: ignored
        Unknown,    // answers nothing sent (forged, foreign, or forgotten long ago): dropped
    };
    struct Outcome {
        Match match = Match::Unknown;
        std::int64_t rttns = 0;  // Answered and Late: time since the echo was sent
        std::uint64_t seq = 0;   // Answered and Late: the echo's place in send order (from 1)
    };
    struct LostEcho {
        std::uint32_t addr = 0;
        std::uint64_t seq = 0;  // place in send order (from 1)
    };

    explicit EchoLedger(int timeoutms = 2000);

    // Time-out for echoes still pending, also those already sent; at least 1 ms.
    void SetTimeout(int timeoutms);
    int Timeout() const;

    // Sender: one echo to `addr` (network byte order) with this identifier and tick, sent now.
    void Record(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick, std::int64_t sendns);

    // Receiver: an echo reply from `addr` carrying this identifier and tick, received at `recvns`.
    Outcome Offer(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick, std::int64_t recvns);

    // Window thread: the addresses of echoes recorded since the last call, in send order.
    std::vector<std::uint32_t> TakeSent();
    // Window thread: the addresses of echoes whose time-out has passed unanswered as of `nowns`,
    // in send order; each echo is reported once. Nothing times out while frozen.
    std::vector<LostEcho> TakeLost(std::int64_t nowns);
    // Milliseconds until the oldest pending echo times out (0 when one is already due); -1 when
    // nothing is pending or the ledger is frozen.
    int MsUntilDue(std::int64_t nowns);

    // While the monitor is paused its replies wait unread; the time-out clock stops with it so
    // they are not counted lost meanwhile.
    void Freeze(std::int64_t nowns);
    void Thaw(std::int64_t nowns);

    // Replies offered that answered nothing of this ledger.
    std::uint64_t Unmatched() const { return unmatched_.load(); }
    // Echoes remembered (pending, answered or lost but still recognisable). For tests.
    std::size_t Remembered() const;

    // Answered and lost echoes stay recognisable this long past their time-out, so a late or
    // duplicated reply is told apart from a forged one; the ledger never holds more than
    // kMaxEntries echoes (the oldest judged ones go first).
    static constexpr std::int64_t kRetentionNs = 60'000'000'000;
    static constexpr std::size_t kMaxEntries = std::size_t{1} << 18;
    // Sent and lost reports nobody collects (a detail window) are kept up to this many.
    static constexpr std::size_t kMaxReports = std::size_t{1} << 16;

private:
    enum class State : std::uint8_t { Pending, Answered, Lost };
    struct Key {
        std::uint32_t addr;
        std::uint32_t tick;
        std::uint16_t identifier;
        bool operator==(const Key& o) const { return addr == o.addr && tick == o.tick && identifier == o.identifier; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            std::uint64_t h = (static_cast<std::uint64_t>(k.addr) << 32) ^ k.tick;
            h ^= static_cast<std::uint64_t>(k.identifier) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
            h *= 0xBF58476D1CE4E5B9ull;
            return static_cast<std::size_t>(h ^ (h >> 32));
        }
    };
    struct Entry {
        Key key;
        std::int64_t sendns;     // real send time: the round trip is measured from it
        std::int64_t effective;  // send time on the running clock (frozen spans taken out)
        State state;
    };

    std::int64_t RunningNs(std::int64_t nowns) const;  // nowns with the frozen spans taken out
    void Judge(std::int64_t nowns);                    // pending echoes past their time-out become lost
    void Forget(std::int64_t nowns);                   // drops what is past retention or over the cap
    Entry* At(std::uint64_t seq);

    mutable std::mutex mutex_;
    std::deque<Entry> entries_;  // in send order; entries_[i] has sequence number first_ + i
    std::uint64_t first_ = 1;
    std::uint64_t judged_ = 1;  // every entry below this sequence number is answered or lost
    std::unordered_multimap<Key, std::uint64_t, KeyHash> index_;
    std::vector<std::uint32_t> sent_;
    std::vector<LostEcho> lost_;
    std::int64_t timeoutns_;
    std::int64_t frozenns_ = 0;     // total of the finished frozen spans
    std::int64_t frozensince_ = -1; // start of the current frozen span; -1 not frozen
    std::atomic<std::uint64_t> unmatched_{0};
};

}  // namespace veltrin
