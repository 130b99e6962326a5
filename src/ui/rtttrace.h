// The round-trip times one graph shows, kept in three tiers so a day at the fastest pace stays
// small: every result while there is room (at most kMaxRaw), one bucket per second for the last
// hour and one per minute for the last day. A view asks for columns over a span and gets, for each
// time, the finest tier that still holds it. Free of Qt, so it is tested and measured on its own.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace veltrin {

// One column of a view: the results whose time falls into [startms, endms).
struct RttColumn {
    std::int64_t startms = 0, endms = 0;
    double minms = 0, avgms = 0, maxms = 0;  // of the replies; meaningless when replies == 0
    std::uint64_t replies = 0, lost = 0;
};

// Min, average and max of the replies in a span, and the counts.
struct RttSummary {
    double minms = 0, avgms = 0, maxms = 0;
    std::uint64_t replies = 0, lost = 0;
};

class RttTrace {
  public:
    static constexpr std::size_t kMaxRaw = 1'000'000;
    static constexpr std::int64_t kSecondMs = 1000, kMinuteMs = 60'000;
    static constexpr std::size_t kSeconds = 3600, kMinutes = 24 * 60;
    static constexpr std::int64_t kKeepMs = 24LL * 3600 * 1000;

    // A reply that took `rttms` (fractions of a millisecond kept), at wall time `wallms`.
    void AddReply(std::int64_t wallms, double rttms);
    // An echo that got no reply, sent at `wallms`.
    void AddLoss(std::int64_t wallms);
    // Minutes from an earlier run (the history store): kept only where this trace has nothing
    // of its own yet, so nothing is counted twice.
    struct Minute {
        std::int64_t minutems = 0;
        double minms = 0, avgms = 0, maxms = 0;
        std::uint64_t sent = 0, lost = 0;
    };
    void AddMinutes(const std::vector<Minute>& minutes);
    void Clear();

    // `columns` equal columns over [sincems, untilms).
    std::vector<RttColumn> Columns(std::int64_t sincems, std::int64_t untilms, int columns) const;
    static RttSummary Summarize(const std::vector<RttColumn>& columns);

    // The earliest time held (INT64_MAX when empty) and the latest result's time (0 when none).
    std::int64_t Oldest() const;
    std::int64_t Newest() const { return newest_; }
    std::size_t RawCount() const { return raw_.size(); }

  private:
    struct Point {
        std::int64_t wallms;
        float rttms;  // negative: lost
    };
    struct Bucket {
        std::int64_t startms = 0;
        double minms = std::numeric_limits<double>::infinity(), maxms = 0, summs = 0;
        std::uint64_t replies = 0, lost = 0;
        void Add(double rttms);
        void Merge(const Bucket& other);
    };
    static void Into(std::deque<Bucket>& tier, std::int64_t width, std::size_t keep, std::int64_t wallms,
                     double rttms);
    void Add(std::int64_t wallms, double rttms);

    std::deque<Point> raw_;
    std::deque<Bucket> seconds_;
    std::deque<Bucket> minutes_;
    std::int64_t newest_ = 0;
};

}  // namespace veltrin
