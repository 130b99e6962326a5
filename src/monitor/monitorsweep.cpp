// The monitor's sweep pace and its batched replies; the rest of the monitor is in monitor.cpp.
#include <arpa/inet.h>

#include "engine/decimal.h"
#include "engine/global_unit.h"
#include "monitor/monitor.h"

namespace veltrin {

void Monitor::SetSweep(bool on) {
    if (on == sweeping_) return;
    sweeping_ = on;
    if (!on) sweepsteady_.store(false);
    sweeppace_.Reset();
}

bool Monitor::PickSlice(SendTarget& target) {
    TakeOutcomes();
    int interval = kDefaultInterval;
    if (intervaltext_) interval = MonitorInterval(intervaltext_());
    Tgolbal* golbal = Golbal();
    if (golbal) golbal->interval = interval;
    const auto address = [this](int row, std::uint32_t& value) {
        std::string ip;
        return reach_.Target(row, value, ip);
    };
    const auto turn = [this](int row, bool hasaddress, std::uint32_t value, bool sent) {
        if (!picked_) return;
        if (!hasaddress) {
            picked_(row, std::string(), MonotonicNs());
        } else if (sent) {
            char text[INET_ADDRSTRLEN] = {};
            in_addr a{};
            a.s_addr = value;
            ::inet_ntop(AF_INET, &a, text, sizeof text);
            picked_(row, text, MonotonicNs());
        }
    };
    sweeppace_.Next(list_.Count(), static_cast<long long>(interval) * 100, MonotonicNs(),
                    static_cast<std::int64_t>(options_.timeoutms) * 1'000'000, address, turn, target.sweep);
    Announce();
    // Replies come steadily when more than one is due per gathering time: the receiver then
    // reads them in bunches instead of waking for each.
    sweepsteady_.store(target.sweep.gapns < static_cast<std::int64_t>(kReplyGatherMs) * 1'000'000);
    if (target.sweep.turns.empty()) return false;
    target.interval = interval;
    target.datalength = golbal ? golbal->datalength : 8;
    EchoLedger* ledger = &ledger_;
    target.recordsweep = [ledger](std::uint32_t value, std::uint16_t identifier, std::uint32_t tick) {
        ledger->Record(value, identifier, tick, MonotonicNs());
    };
    return true;
}

}  // namespace veltrin
