// Per-row accounting of the console: what was sent to a row, what came back, and the row's
// state. Fed from outside (the console feeds it from the monitor's picks and row updates), so
// another source of the same facts can replace the feeding without touching the readers.
// One thread only.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrin::cli {

enum class RowState { NoAddress, NeverAnswered, Answering, NotAnswering };
const char* StateName(RowState state);  // "no address", "never answered", "answering", "not answering"

// The round-trip histogram's upper bounds: 50 us doubling up to 26.2144 s.
inline constexpr int kRttBuckets = 20;
double RttBucketBound(int i);  // seconds

struct RowAccount {
    std::string address;  // as written in the list
    std::string ip;       // the latest resolution; empty when it never resolved
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t lost = 0;
    std::int64_t minms = 0, maxms = 0, totalms = 0;  // over the received replies
    std::optional<std::chrono::system_clock::time_point> lastreply;
    std::array<std::uint64_t, kRttBuckets> buckets{};  // not cumulative; above the last bound only in received
    double rttsum = 0;                                 // seconds
    RowState state = RowState::NeverAnswered;
    bool resolved = false;                             // the latest pick found an IPv4 address
    std::deque<std::chrono::steady_clock::time_point> pending;  // requests awaiting a reply, oldest first
};

// What one feeding call changed, for event output.
struct RowChange {
    bool state = false;
    RowState previous = RowState::NeverAnswered;
};

class Accounting {
public:
    using Steady = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    // At most this many requests of one row wait for a reply; older ones count as lost.
    static constexpr std::size_t kMaxPending = 64;

    Accounting(std::vector<std::string> addresses, std::chrono::milliseconds timeout);

    int Count() const { return static_cast<int>(rows_.size()); }
    const RowAccount& Row(int i) const { return rows_[static_cast<std::size_t>(i)]; }

    // A pick of row `i`: `ip` empty when it did not resolve, else a request went out to it.
    RowChange Sent(int i, const std::string& ip, Steady::time_point now);
    // A reply that row `i` showed: round trip in milliseconds as the row shows it. A reply with no
    // request of this row waiting (the same host listed twice, or a reply after its timeout)
    // marks the row as answering but counts nothing.
    RowChange Replied(int i, std::int64_t rttms, Steady::time_point now, Wall::time_point wall);
    // Requests older than the timeout become lost. Calls `changed(row, change)` for each row whose
    // state changed, in list order. Only the rows with a request past its timeout are looked at,
    // not the whole list: the console asks several times a second, and a list may hold 100,000
    // rows.
    template <class F>
    void Expire(Steady::time_point now, F&& changed) {
        std::vector<std::pair<int, RowChange>> changes;
        while (!order_.empty() && now - order_.front().first >= timeout_) {
            const int i = order_.front().second;
            order_.pop_front();
            RowChange c = ExpireRow(i, now);
            if (c.state) changes.emplace_back(i, c);
        }
        if (pending_ == 0) order_.clear();
        std::sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [i, c] : changes) changed(i, c);
    }
    // The run ended: requests still inside their timeout are neither answered nor lost.
    void Finish();

    // True when every row answered at least once and none ended not answering.
    bool AllAnswering() const;
    // Requests of all rows still waiting for a reply: while there are none, nothing can expire.
    std::size_t Pending() const { return pending_; }

private:
    RowChange ExpireRow(int i, Steady::time_point now);
    void SetState(RowAccount& row, RowState state, RowChange& change);

    std::vector<RowAccount> rows_;
    std::chrono::milliseconds timeout_;
    std::size_t pending_ = 0;  // the sum of the rows' pending lengths
    // Every request still waiting, and some already settled, as (sent, row) oldest first: an
    // entry whose request was answered meanwhile is dropped when it comes to the front.
    std::deque<std::pair<Steady::time_point, int>> order_;
};

// Loss in percent of the requests whose outcome is known (0 when none).
double LossPercent(const RowAccount& row);

}  // namespace veltrin::cli
