#include "monitor/detailworkers.h"

#include <utility>

namespace veltrin {

tcalculate::tcalculate(HandOver& handover, std::function<Tdetailstat()> snapshot,
                       std::function<void(const std::array<std::string, 8>&)> show, int periodms)
    : Worker(handover), snapshot_(std::move(snapshot)), show_(std::move(show)), periodms_(periodms) {}

// Run() reads the members of this class, so the thread must be joined before they go.

void tcalculate::Run() {
    while (gate().WaitWhilePaused()) {
        // The steps below capture locals of this frame by reference; that is sound because a
        // step either runs while this thread waits for it or never runs at all.
        Tdetailstat snapshot{};
        const bool handed = OnWindow([&] {
            try {
                if (snapshot_) snapshot = snapshot_();
            } catch (...) {
                snapshot = Tdetailstat{};
            }
        });
        if (!handed) return;
        bool built = false;
        std::array<std::string, 8> texts;
        try {
            texts = StatisticsLabels(snapshot);
            built = true;
        } catch (...) {
            // No memory for the texts this cycle: nothing is shown, the next cycle tries again.
        }
        if (built && show_) {
            const bool shown = OnWindow([&] {
                try {
                    show_(texts);
                } catch (...) {
                    // Setting the labels failed (out of memory): the old texts stay until the next cycle.
                }
            });
            if (!shown) return;
        }
        if (!gate().Sleep(periodms_)) return;
    }
}

Tinfo::Tinfo(HandOver& handover, std::function<void()> copy, std::function<void()> show, int periodms)
    : Worker(handover), copy_(std::move(copy)), show_(std::move(show)), periodms_(periodms) {}


void Tinfo::Run() {
    while (gate().WaitWhilePaused()) {
        const auto guarded = [](const std::function<void()>& step) {
            return [&step] {
                try {
                    if (step) step();
                } catch (...) {
                    // The info window's refresh is a display aid: a failed step leaves the old texts and the
                    // next cycle tries again.
                }
            };
        };
        if (!OnWindow(guarded(copy_))) return;
        if (!OnWindow(guarded(show_))) return;
        if (!gate().Sleep(periodms_)) return;
    }
}

}  // namespace veltrin
