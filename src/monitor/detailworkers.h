// The two periodic workers of the detail and ICMP info windows. Each pass copies what it shows
// on the window thread, works on its own copy, and hands the display back to the window thread.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "monitor/detailstat.h"
#include "monitor/worker.h"

namespace veltrin {

// The detail window's statistics: one pass a second, the first at once.
class tcalculate : public Worker {
public:
    // snapshot: window-thread step returning the window's counters.
    // show: window-thread step setting the eight label texts (StatisticsLabels order).
    tcalculate(HandOver& handover, std::function<Tdetailstat()> snapshot,
               std::function<void(const std::array<std::string, 8>&)> show, int periodms = 1000);

protected:
    const char* ThreadName() const override { return "vping-stats"; }
    void Run() override;

private:
    std::function<Tdetailstat()> snapshot_;
    std::function<void(const std::array<std::string, 8>&)> show_;
    int periodms_;
};

// The ICMP info window's refresh: one pass every five seconds, the first at once.
class Tinfo : public Worker {
public:
    // copy: window-thread step taking the window's own copies of the detail window's packet.
    // show: window-thread step rebuilding the display from those copies.
    Tinfo(HandOver& handover, std::function<void()> copy, std::function<void()> show, int periodms = 5000);

protected:
    const char* ThreadName() const override { return "vping-info"; }
    void Run() override;

private:
    std::function<void()> copy_;
    std::function<void()> show_;
    int periodms_;
};

}  // namespace veltrin
