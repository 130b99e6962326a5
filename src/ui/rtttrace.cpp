#include "ui/rtttrace.h"

#include <algorithm>
#include <cmath>

namespace veltrin {

namespace {

std::int64_t FloorTo(std::int64_t t, std::int64_t width) {
    const std::int64_t q = t / width;
    return (t % width < 0 ? q - 1 : q) * width;
}

}  // namespace

void RttTrace::Bucket::Add(double rttms) {
    if (rttms < 0) {
        ++lost;
        return;
    }
    minms = std::min(minms, rttms);
    maxms = std::max(maxms, rttms);
    summs += rttms;
    ++replies;
}

void RttTrace::Bucket::Merge(const Bucket& other) {
    minms = std::min(minms, other.minms);
    maxms = std::max(maxms, other.maxms);
    summs += other.summs;
    replies += other.replies;
    lost += other.lost;
}

void RttTrace::Into(std::deque<Bucket>& tier, std::int64_t width, std::size_t keep, std::int64_t wallms,
                    double rttms) {
    const std::int64_t start = FloorTo(wallms, width);
    if (tier.empty() || start > tier.back().startms) {
        Bucket b;
        b.startms = start;
        tier.push_back(b);
    } else if (start < tier.back().startms) {
        // The wall clock went back: the result joins the bucket of its time when there is one,
        // else the newest, so the tier stays in time order.
        const auto it = std::partition_point(tier.begin(), tier.end(),
                                             [start](const Bucket& b) { return b.startms < start; });
        if (it != tier.end() && it->startms == start) {
            it->Add(rttms);
            return;
        }
    }
    tier.back().Add(rttms);
    while (tier.size() > keep) tier.pop_front();
}

void RttTrace::Add(std::int64_t wallms, double rttms) {
    if (!std::isfinite(rttms)) return;
    if (wallms < newest_ && !raw_.empty()) wallms = std::max(wallms, raw_.back().wallms);  // keep raw in order
    raw_.push_back(Point{wallms, static_cast<float>(rttms)});
    newest_ = std::max(newest_, wallms);
    while (raw_.size() > kMaxRaw || (!raw_.empty() && raw_.front().wallms < newest_ - kKeepMs)) raw_.pop_front();
    Into(seconds_, kSecondMs, kSeconds, wallms, rttms);
    Into(minutes_, kMinuteMs, kMinutes + 1, wallms, rttms);
}

void RttTrace::AddReply(std::int64_t wallms, double rttms) {
    Add(wallms, std::max(0.0, rttms));
}

void RttTrace::AddLoss(std::int64_t wallms) {
    Add(wallms, -1.0);
}

void RttTrace::AddMinutes(const std::vector<Minute>& minutes) {
    // Only before everything of our own (the first own result's minute is partly ours).
    std::int64_t ownstart = raw_.empty() ? std::numeric_limits<std::int64_t>::max() : FloorTo(raw_.front().wallms, kMinuteMs);
    if (!seconds_.empty()) ownstart = std::min(ownstart, FloorTo(seconds_.front().startms, kMinuteMs));
    for (const Minute& m : minutes) {
        const std::int64_t start = FloorTo(m.minutems, kMinuteMs);
        if (start >= ownstart || m.sent == 0 || m.lost > m.sent) continue;
        const auto it = std::partition_point(minutes_.begin(), minutes_.end(),
                                             [start](const Bucket& b) { return b.startms < start; });
        if (it != minutes_.end() && it->startms == start) continue;  // already there
        Bucket b;
        b.startms = start;
        b.replies = m.sent - m.lost;
        b.lost = m.lost;
        if (b.replies > 0 && std::isfinite(m.minms) && std::isfinite(m.maxms) && std::isfinite(m.avgms)) {
            b.minms = m.minms;
            b.maxms = m.maxms;
            b.summs = m.avgms * static_cast<double>(b.replies);
        } else {
            b.replies = 0;
        }
        minutes_.insert(it, b);
    }
    while (minutes_.size() > kMinutes + 1) minutes_.pop_front();
    if (!minutes_.empty()) newest_ = std::max(newest_, minutes_.back().startms);
}

void RttTrace::Clear() {
    raw_.clear();
    seconds_.clear();
    minutes_.clear();
    newest_ = 0;
}

std::int64_t RttTrace::Oldest() const {
    std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
    if (!raw_.empty()) oldest = std::min(oldest, raw_.front().wallms);
    if (!seconds_.empty()) oldest = std::min(oldest, seconds_.front().startms);
    if (!minutes_.empty()) oldest = std::min(oldest, minutes_.front().startms);
    return oldest;
}

std::vector<RttColumn> RttTrace::Columns(std::int64_t sincems, std::int64_t untilms, int columns) const {
    std::vector<RttColumn> out;
    if (columns <= 0 || untilms <= sincems) return out;
    const double width = static_cast<double>(untilms - sincems) / columns;
    std::vector<Bucket> acc(static_cast<std::size_t>(columns));
    const auto slot = [&](std::int64_t t) -> Bucket* {
        if (t < sincems || t >= untilms) return nullptr;
        const auto i = static_cast<std::size_t>(static_cast<double>(t - sincems) / width);
        return &acc[std::min(i, acc.size() - 1)];
    };

    // Each time is taken from the finest tier that still holds it; a coarser bucket counts only
    // when it ends before the finer tier begins, so nothing is counted twice.
    const std::int64_t rawfrom = raw_.empty() ? std::numeric_limits<std::int64_t>::max() : raw_.front().wallms;
    const std::int64_t secfrom = seconds_.empty() ? rawfrom : std::min(rawfrom, seconds_.front().startms);
    for (auto it = std::partition_point(minutes_.begin(), minutes_.end(),
                                        [&](const Bucket& b) { return b.startms + kMinuteMs <= sincems; });
         it != minutes_.end() && it->startms < untilms && it->startms + kMinuteMs <= secfrom; ++it)
        if (Bucket* b = slot(std::max(it->startms, sincems))) b->Merge(*it);
    for (auto it = std::partition_point(seconds_.begin(), seconds_.end(),
                                        [&](const Bucket& b) { return b.startms + kSecondMs <= sincems; });
         it != seconds_.end() && it->startms < untilms && it->startms + kSecondMs <= rawfrom; ++it)
        if (Bucket* b = slot(std::max(it->startms, sincems))) b->Merge(*it);
    for (auto it = std::partition_point(raw_.begin(), raw_.end(), [&](const Point& p) { return p.wallms < sincems; });
         it != raw_.end() && it->wallms < untilms; ++it)
        if (Bucket* b = slot(it->wallms)) b->Add(it->rttms);

    out.reserve(acc.size());
    for (std::size_t i = 0; i < acc.size(); ++i) {
        RttColumn c;
        c.startms = sincems + static_cast<std::int64_t>(std::llround(width * static_cast<double>(i)));
        c.endms = sincems + static_cast<std::int64_t>(std::llround(width * static_cast<double>(i + 1)));
        c.replies = acc[i].replies;
        c.lost = acc[i].lost;
        if (c.replies > 0) {
            c.minms = acc[i].minms;
            c.maxms = acc[i].maxms;
            c.avgms = acc[i].summs / static_cast<double>(c.replies);
        }
        out.push_back(c);
    }
    return out;
}

RttSummary RttTrace::Summarize(const std::vector<RttColumn>& columns) {
    RttSummary s;
    double sum = 0;
    for (const RttColumn& c : columns) {
        s.lost += c.lost;
        if (c.replies == 0) continue;
        if (s.replies == 0 || c.minms < s.minms) s.minms = c.minms;
        s.maxms = std::max(s.maxms, c.maxms);
        sum += c.avgms * static_cast<double>(c.replies);
        s.replies += c.replies;
    }
    if (s.replies > 0) s.avgms = sum / static_cast<double>(s.replies);
    return s;
}

}  // namespace veltrin
