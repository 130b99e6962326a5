#include "monitor/statetext.h"

#include <time.h>

#include <cstdio>

namespace veltrin {

std::string ClockText(std::int64_t wallms) {
    if (wallms < 0) return "-";
    const time_t seconds = static_cast<time_t>(wallms / 1000);
    tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string StateChangeLine(const StateChange& change) {
    const RowStatus& s = change.status;
    const std::string& who = change.address;
    switch (change.to) {
        case RowState::NotAnswering:
            return who + " not answering since " + ClockText(s.sincems) + " (" + std::to_string(s.consecutivelost) +
                   " lost)";
        case RowState::Answering:
            return who + (change.from == RowState::NotAnswering ? " answering again since " : " answering since ") +
                   ClockText(s.sincems);
        case RowState::NeverAnswered: return who + " pinged, no reply yet";
        case RowState::NoAddress: return who + " no address: " + s.reason;
        case RowState::NotYetPinged: return who + " not yet pinged";
    }
    return who;
}

std::string RowStateLine(const std::string& address, const RowStatus& s) {
    std::string line = address + ": " + RowStateName(s.state);
    if (s.state == RowState::NoAddress) return line + " (" + s.reason + ")";
    if (s.state == RowState::NotYetPinged) return line;
    char loss[32];
    std::snprintf(loss, sizeof loss, "%.1f%%", s.LossPercent());
    line += ", sent " + std::to_string(s.sent) + ", received " + std::to_string(s.received) + ", lost " +
            std::to_string(s.lost) + " (" + loss + ")";
    if (s.lastreplyms >= 0) line += ", last reply " + ClockText(s.lastreplyms);
    return line;
}

}  // namespace veltrin
