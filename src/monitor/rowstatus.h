// What the monitor knows of one row's reachability beyond its four cells: counts, the time of
// the last reply, recent round-trip times and the resulting state. Qt-free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veltrin {

enum class RowState {
    NotYetPinged,   // nothing sent to it yet
    NeverAnswered,  // sent to, no reply yet
    Answering,      // the latest echo to it was answered
    NotAnswering,   // the configured number of consecutive echoes were lost
    NoAddress,      // the text does not resolve or is not an address; `reason` says which
};

// "not yet pinged", "never answered", "answering", "not answering", "no address".
const char* RowStateName(RowState state);

struct RowStatus {
    RowState state = RowState::NotYetPinged;
    std::uint64_t sent = 0;      // echoes sent to the row's address
    std::uint64_t received = 0;  // replies matched to one of those echoes
    std::uint64_t lost = 0;      // echoes whose time-out passed without a matching reply
    int consecutivelost = 0;     // lost since the last reply
    std::int64_t lastreplyms = -1;  // wall clock of the last reply, ms since the Unix epoch; -1 none
    std::int64_t sincems = -1;      // wall clock of the last state change, ms since the epoch; -1 none
    std::string reason;             // why the row has no address (NoAddress only)
    // The most recent round-trip times in milliseconds (microsecond resolution), oldest first.
    static constexpr int kRecent = 8;
    std::array<double, kRecent> recent{};
    int recentcount = 0;
    // The round trip of the reply the row's cells show (answered or late), in milliseconds with
    // microsecond resolution; negative before any reply.
    double lastrttms = -1.0;
    // The last kHistory results, oldest first: the round trip in milliseconds (microsecond
    // resolution) of an answered echo, or a negative value for a lost one.
    static constexpr int kHistory = 60;
    // Kept apart from the row and made on its first result: a long list that is never pinged
    // (or is just being loaded) would otherwise zero 240 bytes a row.
    class ResultStrip {
    public:
        ResultStrip() = default;
        ResultStrip(const ResultStrip& other) : values_(other.values_ ? std::make_unique<Values>(*other.values_) : nullptr) {}
        ResultStrip& operator=(const ResultStrip& other) {
            // Copied into the strip already there: a row's status is copied with every result.
            if (this == &other) return *this;
            if (!other.values_)
                values_.reset();
            else if (values_)
                *values_ = *other.values_;
            else
                values_ = std::make_unique<Values>(*other.values_);
            return *this;
        }
        ResultStrip(ResultStrip&&) noexcept = default;
        ResultStrip& operator=(ResultStrip&&) noexcept = default;
        // 0 where nothing was written yet.
        float operator[](std::size_t i) const { return values_ && i < values_->size() ? (*values_)[i] : 0.0f; }
        float& At(std::size_t i) {
            if (!values_) values_ = std::make_unique<Values>();
            return (*values_)[i];
        }

    private:
        using Values = std::array<float, kHistory>;
        std::unique_ptr<Values> values_;
    };
    ResultStrip history;
    int historycount = 0;

    // Lost share of the echoes whose outcome is known, 0 to 100; 0 when none is known yet.
    double LossPercent() const {
        const std::uint64_t known = received + lost;
        return known == 0 ? 0.0 : 100.0 * static_cast<double>(lost) / static_cast<double>(known);
    }
    void AddRecent(double rttms) {
        if (recentcount < kRecent) {
            recent[static_cast<std::size_t>(recentcount++)] = rttms;
            return;
        }
        for (int i = 1; i < kRecent; ++i) recent[static_cast<std::size_t>(i - 1)] = recent[static_cast<std::size_t>(i)];
        recent[kRecent - 1] = rttms;
    }
    // rttms < 0: a lost echo.
    void AddHistory(float rttms) {
        if (historycount < kHistory) {
            history.At(static_cast<std::size_t>(historycount++)) = rttms;
            return;
        }
        for (int i = 1; i < kHistory; ++i) history.At(static_cast<std::size_t>(i - 1)) = history[static_cast<std::size_t>(i)];
        history.At(kHistory - 1) = rttms;
    }
};

// One row's change of state, as the monitor reports it to its window.
struct StateChange {
    int row = -1;
    std::string address;  // the row's text
    std::string ip;       // dotted address it resolved to; empty for NoAddress
    RowState from = RowState::NotYetPinged;
    RowState to = RowState::NotYetPinged;
    RowStatus status;     // the row's status after the change
};

}  // namespace veltrin
