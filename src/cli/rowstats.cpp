#include "cli/rowstats.h"

#include <algorithm>

namespace veltrin::cli {

const char* StateName(RowState state) {
    switch (state) {
        case RowState::NoAddress: return "no address";
        case RowState::NeverAnswered: return "never answered";
        case RowState::Answering: return "answering";
        case RowState::NotAnswering: return "not answering";
    }
    return "never answered";
}

double RttBucketBound(int i) {
    double bound = 50e-6;
    for (int k = 0; k < i; ++k) bound *= 2;
    return bound;
}

Accounting::Accounting(std::vector<std::string> addresses, std::chrono::milliseconds timeout) : timeout_(timeout) {
    rows_.resize(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) rows_[i].address = std::move(addresses[i]);
}

void Accounting::SetState(RowAccount& row, RowState state, RowChange& change) {
    if (row.state == state) return;
    if (!change.state) change.previous = row.state;
    change.state = true;
    row.state = state;
}

RowChange Accounting::Sent(int i, const std::string& ip, Steady::time_point now) {
    RowChange change;
    if (i < 0 || i >= Count()) return change;
    RowAccount& row = rows_[static_cast<std::size_t>(i)];
    if (ip.empty()) {
        row.resolved = false;
        // A name that no longer resolves gets no request: for a row that answered before this
        // is as bad as a lost one.
        if (!row.lastreply) SetState(row, RowState::NoAddress, change);
        else SetState(row, RowState::NotAnswering, change);
        return change;
    }
    row.resolved = true;
    row.ip = ip;
    ++row.sent;
    if (row.pending.size() >= kMaxPending) {
        row.pending.pop_front();
        --pending_;
        ++row.lost;
        if (row.lastreply) SetState(row, RowState::NotAnswering, change);
    }
    row.pending.push_back(now);
    ++pending_;
    // Sends come in time order; one that does not is put in its place, so none expires late.
    const std::pair<Steady::time_point, int> entry{now, i};
    if (order_.empty() || order_.back().first <= now)
        order_.push_back(entry);
    else
        order_.insert(std::upper_bound(order_.begin(), order_.end(), entry,
                                       [](const auto& a, const auto& b) { return a.first < b.first; }),
                      entry);
    if (row.state == RowState::NoAddress) SetState(row, RowState::NeverAnswered, change);
    return change;
}

RowChange Accounting::Replied(int i, std::int64_t rttms, Steady::time_point now, Wall::time_point wall) {
    RowChange change;
    if (i < 0 || i >= Count()) return change;
    RowAccount& row = rows_[static_cast<std::size_t>(i)];
    ExpireRow(i, now);
    row.lastreply = wall;
    SetState(row, RowState::Answering, change);
    if (row.pending.empty()) return change;
    row.pending.pop_front();
    --pending_;
    if (pending_ == 0) order_.clear();  // every entry left is settled
    ++row.received;
    rttms = std::max<std::int64_t>(rttms, 0);
    if (row.received == 1 || rttms < row.minms) row.minms = rttms;
    if (row.received == 1 || rttms > row.maxms) row.maxms = rttms;
    row.totalms += rttms;
    const double seconds = static_cast<double>(rttms) / 1000.0;
    row.rttsum += seconds;
    for (int b = 0; b < kRttBuckets; ++b) {
        if (seconds <= RttBucketBound(b)) {
            ++row.buckets[static_cast<std::size_t>(b)];
            break;
        }
    }
    return change;
}

RowChange Accounting::ExpireRow(int i, Steady::time_point now) {
    RowChange change;
    RowAccount& row = rows_[static_cast<std::size_t>(i)];
    bool lostany = false;
    while (!row.pending.empty() && now - row.pending.front() >= timeout_) {
        row.pending.pop_front();
        --pending_;
        ++row.lost;
        lostany = true;
    }
    if (lostany && row.lastreply) SetState(row, RowState::NotAnswering, change);
    return change;
}

void Accounting::Finish() {
    for (RowAccount& row : rows_) {
        row.sent -= std::min<std::uint64_t>(row.sent, row.pending.size());
        row.pending.clear();
    }
    pending_ = 0;
    order_.clear();
}

bool Accounting::AllAnswering() const {
    return std::all_of(rows_.begin(), rows_.end(), [](const RowAccount& r) { return r.state == RowState::Answering; });
}

double LossPercent(const RowAccount& row) {
    if (row.sent == 0) return 0;
    return 100.0 * static_cast<double>(row.sent - std::min(row.sent, row.received)) / static_cast<double>(row.sent);
}

}  // namespace veltrin::cli
