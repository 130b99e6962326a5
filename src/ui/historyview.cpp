#include "ui/historyview.h"

#include <QDateTime>

#include "history/historystore.h"
#include "ui/addresslistmodel.h"

namespace veltrin {

std::vector<float> EarlierResults(const HistoryStore& store, const std::string& address, std::int64_t beforems) {
    std::vector<float> out;
    for (const HistoryPoint& p : store.Recent(address, Sparkline::kSize))
        if (p.wallms < beforems) out.push_back(p.rttms < 0 ? -1.0f : static_cast<float>(p.rttms));
    return out;
}

std::vector<RttTrace::Minute> StoredMinutes(const HistoryStore& store, const std::string& address,
                                            std::int64_t sincems, std::int64_t untilms) {
    std::vector<RttTrace::Minute> out;
    for (const HistoryMinute& m : store.Minutes(address, sincems, untilms)) {
        RttTrace::Minute minute;
        minute.minutems = m.minutems;
        minute.minms = m.minms;
        minute.avgms = m.avgms;
        minute.maxms = m.maxms;
        minute.sent = m.sent;
        minute.lost = m.lost;
        out.push_back(minute);
    }
    return out;
}

void ShowKeptHistory(AddressListModel& model, std::function<HistoryStore*()> store) {
    // This run's own results are in the rows already; only what came before is added.
    const std::int64_t runstart = QDateTime::currentMSecsSinceEpoch();
    model.SetEarlierResults([store = std::move(store), runstart](const std::string& address) {
        const HistoryStore* kept = store ? store() : nullptr;
        return kept != nullptr ? EarlierResults(*kept, address, runstart) : std::vector<float>{};
    });
}

}  // namespace veltrin
