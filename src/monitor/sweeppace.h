// The sweep pace: every row once per period, the sends spread evenly over the period, at most one
// echo in flight per address. For lists of hundreds of hosts, where the random pick of the
// ordinary pace takes minutes to reach every row. Window thread only; Qt-free.
//
// The window thread plans a slice (a run of consecutive rows, at most kSliceNs of the period)
// in one hand-over; the sender then sends the slice's echoes on its own, `gapns` apart, and
// comes back for the next slice only when the slice is done. So the window thread is visited a
// few times per period, not once per echo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace veltrin {

// One row's turn in a slice.
struct SweepSlot {
    std::uint32_t value = 0;  // the address, network byte order
    bool send = false;        // false: the turn passes without an echo (no address, or one in flight)
};

struct SweepSlice {
    std::vector<SweepSlot> turns;
    std::int64_t gapns = 0;  // from one slot to the next
};

class SweepPace {
public:
    // A slice covers at most this much of the period, so a change of the list or of the period
    // takes effect soon, and the sends of one slice never lag far behind their plan.
    static constexpr std::int64_t kSliceNs = 100'000'000;
    static constexpr std::size_t kMaxSlots = 1024;
    // Sends never come closer than this: a list too long for its period stretches the period
    // (4,000 echoes a second at most).
    static constexpr std::int64_t kMinGapNs = 250'000;

    // The address of a row: false when it has none (the row then says why).
    using TargetFn = std::function<bool(int row, std::uint32_t& value)>;
    // Told of every row whose turn came, with the address sent to (false: none, so no send).
    using TurnFn = std::function<void(int row, bool hasaddress, std::uint32_t value, bool sent)>;

    // The time between two sends for `rows` rows and a period of `periodms`.
    static std::int64_t GapNs(int rows, long long periodms);

    // Plans the next slice of a list of `rows` rows. An echo stays "in flight" from its plan
    // until Answered() or `timeoutns` (plus one slice) later, when the ledger has judged it lost.
    void Next(int rows, long long periodms, std::int64_t nowns, std::int64_t timeoutns, const TargetFn& target,
              const TurnFn& turn, SweepSlice& out);
    // An echo to `value` was answered: the address may be sent to again.
    void Answered(std::uint32_t value);
    // Starts again with the first row and forgets what is in flight.
    void Reset();

    int Cursor() const { return cursor_; }
    bool InFlight(std::uint32_t value, std::int64_t nowns, std::int64_t timeoutns) const;

private:
    void Prune(std::int64_t nowns, std::int64_t timeoutns);

    int cursor_ = 0;
    std::unordered_map<std::uint32_t, std::int64_t> inflight_;  // address -> when its echo was planned
};

}  // namespace veltrin
