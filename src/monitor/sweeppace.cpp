#include "monitor/sweeppace.h"

#include <algorithm>

namespace veltrin {

std::int64_t SweepPace::GapNs(int rows, long long periodms) {
    if (rows <= 0) return kMinGapNs;
    const long long period = std::max<long long>(periodms, 1);
    // Whole nanoseconds; periods up to an hour times 1e6 stay far inside 64 bits.
    const std::int64_t gap = static_cast<std::int64_t>(period) * 1'000'000 / rows;
    return std::max(gap, kMinGapNs);
}

bool SweepPace::InFlight(std::uint32_t value, std::int64_t nowns, std::int64_t timeoutns) const {
    const auto it = inflight_.find(value);
    return it != inflight_.end() && nowns - it->second < timeoutns + kSliceNs;
}

void SweepPace::Prune(std::int64_t nowns, std::int64_t timeoutns) {
    for (auto it = inflight_.begin(); it != inflight_.end();) {
        if (nowns - it->second >= timeoutns + kSliceNs)
            it = inflight_.erase(it);
        else
            ++it;
    }
}

void SweepPace::Next(int rows, long long periodms, std::int64_t nowns, std::int64_t timeoutns, const TargetFn& target,
                     const TurnFn& turn, SweepSlice& out) {
    out.turns.clear();
    out.gapns = GapNs(rows, periodms);
    if (rows <= 0) {
        cursor_ = 0;
        return;
    }
    if (cursor_ >= rows || cursor_ < 0) cursor_ = 0;  // the list got shorter
    // Every address answered or judged lost leaves the map; what stays is bounded by the echoes
    // of one time-out, but a list that shrank may leave more behind.
    if (inflight_.size() > static_cast<std::size_t>(rows) * 2 + 64) Prune(nowns, timeoutns);

    const std::int64_t fit = std::max<std::int64_t>(1, kSliceNs / out.gapns);
    const std::size_t count = static_cast<std::size_t>(std::min<std::int64_t>({fit, static_cast<std::int64_t>(kMaxSlots), rows}));
    out.turns.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        const int row = cursor_;
        cursor_ = cursor_ + 1 >= rows ? 0 : cursor_ + 1;
        SweepSlot slot;
        std::uint32_t value = 0;
        const bool hasaddress = target && target(row, value);
        if (hasaddress) {
            slot.value = value;
            // One echo in flight per address: a row whose last echo is still out waits for
            // its next turn. The slot keeps its time, so the other rows' pace stays even.
            const std::int64_t planned = nowns + static_cast<std::int64_t>(k) * out.gapns;
            if (!InFlight(value, planned, timeoutns)) {
                slot.send = true;
                inflight_[value] = planned;
            }
        }
        if (turn) turn(row, hasaddress, value, slot.send);
        out.turns.push_back(slot);
    }
}

void SweepPace::Answered(std::uint32_t value) { inflight_.erase(value); }

void SweepPace::Reset() {
    cursor_ = 0;
    inflight_.clear();
}

}  // namespace veltrin
