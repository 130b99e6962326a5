#include "monitor/echoledger.h"

#include <time.h>

#include <algorithm>

namespace veltrin {

namespace {

std::atomic<std::uint64_t> unmatchedreplies{0};

}  // namespace

std::int64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::uint64_t UnmatchedReplies() { return unmatchedreplies.load(); }

EchoLedger::EchoLedger(int timeoutms) : timeoutns_(std::max(1, timeoutms) * std::int64_t{1'000'000}) {}

void EchoLedger::SetTimeout(int timeoutms) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeoutns_ = std::max(1, timeoutms) * std::int64_t{1'000'000};
}

int EchoLedger::Timeout() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(timeoutns_ / 1'000'000);
}

std::int64_t EchoLedger::RunningNs(std::int64_t nowns) const {
    return (frozensince_ >= 0 ? frozensince_ : nowns) - frozenns_;
}

EchoLedger::Entry* EchoLedger::At(std::uint64_t seq) {
    if (seq < first_ || seq - first_ >= entries_.size()) return nullptr;
    return &entries_[static_cast<std::size_t>(seq - first_)];
}

void EchoLedger::Judge(std::int64_t nowns) {
    // Entries are in send order and every one has the same time-out, so the pending ones that
    // are due form a prefix of what is not yet judged: no walk over the rest.
    const std::int64_t running = RunningNs(nowns);
    for (Entry* e = At(judged_); e != nullptr; e = At(judged_)) {
        if (e->state == State::Pending) {
            if (running - e->effective < timeoutns_) break;
            e->state = State::Lost;
            if (lost_.size() < kMaxReports) lost_.push_back(LostEcho{e->key.addr, judged_});
        }
        ++judged_;
    }
}

void EchoLedger::Forget(std::int64_t nowns) {
    const std::int64_t running = RunningNs(nowns);
    while (!entries_.empty()) {
        Entry& front = entries_.front();
        const bool over = entries_.size() > kMaxEntries;
        const bool old = front.state != State::Pending && running - front.effective > timeoutns_ + kRetentionNs;
        if (!over && !old) break;
        if (front.state == State::Pending) {
            // Only a flood past the cap gets here: the echo is given up as lost.
            front.state = State::Lost;
            if (lost_.size() < kMaxReports) lost_.push_back(LostEcho{front.key.addr, first_});
        }
        const auto [begin, end] = index_.equal_range(front.key);
        for (auto it = begin; it != end; ++it) {
            if (it->second == first_) {
                index_.erase(it);
                break;
            }
        }
        entries_.pop_front();
        ++first_;
        judged_ = std::max(judged_, first_);
    }
}

void EchoLedger::Record(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick, std::int64_t sendns) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        Judge(sendns);
        Forget(sendns);
        const Key key{addr, tick, identifier};
        entries_.push_back(Entry{key, sendns, RunningNs(sendns), State::Pending});
        index_.emplace(key, first_ + entries_.size() - 1);
        if (sent_.size() < kMaxReports) sent_.push_back(addr);
    } catch (...) {
        // Out of memory: this echo goes unrecorded, so its reply will be dropped.
    }
}

EchoLedger::Outcome EchoLedger::Offer(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick,
                                      std::int64_t recvns) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A reply that comes after its echo's time-out answers an echo already lost.
    Judge(recvns);
    Outcome out;
    const Key key{addr, tick, identifier};
    const auto [begin, end] = index_.equal_range(key);
    // Identical echoes (same address, identifier and millisecond) are answered oldest first.
    Entry* pending = nullptr;
    Entry* lost = nullptr;
    std::uint64_t pendingseq = 0, lostseq = 0;
    bool answered = false;
    for (auto it = begin; it != end; ++it) {
        Entry* e = At(it->second);
        if (e == nullptr) continue;
        if (e->state == State::Pending) {
            if (pending == nullptr || it->second < pendingseq) {
                pending = e;
                pendingseq = it->second;
            }
        } else if (e->state == State::Lost) {
            if (lost == nullptr || it->second < lostseq) {
                lost = e;
                lostseq = it->second;
            }
        } else {
            answered = true;
        }
    }
    if (pending != nullptr) {
        pending->state = State::Answered;
        out.match = Match::Answered;
        out.rttns = std::max<std::int64_t>(0, recvns - pending->sendns);
        out.seq = pendingseq;
    } else if (lost != nullptr) {
        out.match = Match::Late;
        out.rttns = std::max<std::int64_t>(0, recvns - lost->sendns);
        out.seq = lostseq;
        // Shown once: a copy of the late reply is a duplicate like any other.
        lost->state = State::Answered;
    } else if (answered) {
        out.match = Match::Duplicate;
    } else {
        out.match = Match::Unknown;
        unmatched_.fetch_add(1);
        unmatchedreplies.fetch_add(1);
    }
    return out;
}

std::vector<std::uint32_t> EchoLedger::TakeSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint32_t> out;
    out.swap(sent_);
    return out;
}

std::vector<EchoLedger::LostEcho> EchoLedger::TakeLost(std::int64_t nowns) {
    std::lock_guard<std::mutex> lock(mutex_);
    Judge(nowns);
    Forget(nowns);
    std::vector<LostEcho> out;
    out.swap(lost_);
    return out;
}

int EchoLedger::MsUntilDue(std::int64_t nowns) {
    std::lock_guard<std::mutex> lock(mutex_);
    // After judging, the first unjudged entry is the oldest pending one; losses judged just now
    // (or by a reply) wait to be collected.
    Judge(nowns);
    if (!lost_.empty()) return 0;
    if (frozensince_ >= 0) return -1;
    const std::int64_t running = RunningNs(nowns);
    for (std::uint64_t seq = judged_; seq - first_ < entries_.size(); ++seq) {
        const Entry& e = entries_[static_cast<std::size_t>(seq - first_)];
        if (e.state != State::Pending) continue;
        const std::int64_t left = e.effective + timeoutns_ - running;
        if (left <= 0) return 0;
        // Rounded up, so a wake-up never comes before the echo is due.
        return static_cast<int>(std::min<std::int64_t>((left + 999'999) / 1'000'000, 1 << 30));
    }
    return -1;
}

void EchoLedger::Freeze(std::int64_t nowns) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frozensince_ < 0) frozensince_ = nowns;
}

void EchoLedger::Thaw(std::int64_t nowns) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frozensince_ < 0) return;
    frozenns_ += std::max<std::int64_t>(0, nowns - frozensince_);
    frozensince_ = -1;
}

std::size_t EchoLedger::Remembered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace veltrin
