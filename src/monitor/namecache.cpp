#include "monitor/namecache.h"

#include <netdb.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "engine/global_unit.h"
#include "monitor/echoledger.h"
#include "monitor/addresslist.h"
#include "monitor/addresstext.h"
#include "monitor/worker.h"

namespace veltrin {

namespace {

// More distinct names than a full list can hold means texts of lists long gone: the cache then
// starts afresh rather than grow without end.
constexpr std::size_t kMaxEntries = static_cast<std::size_t>(kMaxListRows) + 100000;
constexpr std::int64_t kNsPerMs = 1'000'000;

struct Entry {
    NameAnswer answer;
    bool queued = false;
    bool inflight = false;
    bool hurried = false;       // also in the urgent queue
    std::int64_t duens = 0;     // a new lookup may start from then on
    std::int64_t retryms = 0;   // the pause after the latest failure
};

bool SameAnswer(const NameAnswer& a, const NameAnswer& b) {
    return a.state == b.state && a.value == b.value && (a.state != NameAnswer::State::Failed || a.errcode == b.errcode);
}

// Dotted text and text that makes no address are answered without the resolver.
bool Inline(const std::string& text, NameAnswer& out) {
    const AddressText parsed = ClassifyAddressText(text);
    if (parsed.kind == AddressKind::Name) return false;
    out = NameAnswer{};
    if (parsed.kind == AddressKind::Dotted) {
        out.state = NameAnswer::State::Resolved;
        out.value = parsed.value;
    } else {
        out.state = NameAnswer::State::NotAddress;
    }
    return true;
}

}  // namespace

struct NameCache::Feed::Impl {
    std::mutex mutex;
    std::vector<std::string> texts;
    std::unordered_map<std::string, char> told;  // texts in `texts`, each once
    std::atomic<bool> any{false};
    std::weak_ptr<NameCache::State> owner;
};

struct NameCache::State {
    NameCacheOptions options;
    mutable std::mutex mutex;
    std::condition_variable work;  // a text was queued, or stop
    std::condition_variable done;  // an answer came
    std::unordered_map<std::string, Entry> entries;
    std::deque<std::string> queue;
    std::deque<std::string> urgent;  // wanted now: taken before `queue`
    std::vector<std::weak_ptr<Feed::Impl>> feeds;
    int threads = 0;
    int idle = 0;
    std::multiset<std::int64_t> running;  // start times of the lookups in progress
    bool stopping = false;
    std::atomic<std::uint64_t> started{0};

    std::int64_t Now() const { return options.clock(); }

    // Under the lock: queues `text` and makes sure a thread will take it.
    void Enqueue(const std::shared_ptr<State>& self, const std::string& text, Entry& entry) {
        if (entry.queued || entry.inflight || stopping) return;
        entry.queued = true;
        queue.push_back(text);
        Kick(self);
    }

    // Under the lock: a queued text that a caller is about to use goes ahead of those asked for
    // in advance (it stays in `queue` too; whichever copy comes second is skipped).
    void Hurry(const std::shared_ptr<State>& self, const std::string& text, Entry& entry) {
        if (!entry.queued || entry.hurried || stopping) return;
        entry.hurried = true;
        urgent.push_back(text);
        Kick(self);
    }

    // Under the lock: starts one more thread when the queue waits and the running lookups are
    // fewer than allowed, not counting those that hang (a silent name server) up to a limit.
    void Kick(const std::shared_ptr<State>& self) {
        if ((queue.empty() && urgent.empty()) || stopping) return;
        if (idle > 0) {
            work.notify_all();
            return;
        }
        const std::int64_t slowsince = Now() - options.slowms * kNsPerMs;
        const auto quick = static_cast<int>(std::distance(running.upper_bound(slowsince), running.end()));
        const auto waiting = queue.size() + urgent.size();
        // The threads take no signal: a console's Ctrl+C belongs to its loop, not to a lookup.
        sigset_t all, previous;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous);
        for (;;) {
            const int free = threads - static_cast<int>(running.size());  // starting, or between lookups
            if (static_cast<std::size_t>(free) >= waiting || threads >= options.maxlookups) break;
            if (threads >= options.lookups && quick + free >= options.lookups) break;
            try {
                std::thread(&State::Loop, self).detach();
                ++threads;
            } catch (...) {
                break;  // no thread to be had now: the ones running (or the next Read) take the queue
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void Tell(const std::string& text) {
        for (auto it = feeds.begin(); it != feeds.end();) {
            const std::shared_ptr<Feed::Impl> feed = it->lock();
            if (!feed) {
                it = feeds.erase(it);
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(feed->mutex);
                if (feed->told.emplace(text, 0).second) feed->texts.push_back(text);
                feed->any.store(true, std::memory_order_release);
            }
            ++it;
        }
    }

    // One lookup thread: takes queued texts until it has had nothing to do for a while. It holds
    // the state, so a cache that goes away meanwhile never leaves it with freed memory.
    static void Loop(std::shared_ptr<State> self) {
        NameThisThread("vping-names");
        State& s = *self;
        std::unique_lock<std::mutex> lock(s.mutex);
        for (;;) {
            if (s.queue.empty() && s.urgent.empty() && !s.stopping) {
                ++s.idle;
                const bool woken = s.work.wait_for(lock, std::chrono::milliseconds(s.options.idlems), [&] {
                    return !s.queue.empty() || !s.urgent.empty() || s.stopping;
                });
                --s.idle;
                if (!woken) break;
            }
            if (s.stopping) break;
            std::deque<std::string>& from = s.urgent.empty() ? s.queue : s.urgent;
            const std::string text = std::move(from.front());
            from.pop_front();
            auto found = s.entries.find(text);
            // Forgotten meanwhile, or its other copy was taken already.
            if (found == s.entries.end() || !found->second.queued) continue;
            found->second.queued = false;
            found->second.hurried = false;
            found->second.inflight = true;
            s.started.fetch_add(1);
            const auto mine = s.running.insert(s.Now());
            lock.unlock();

            tipdata resolved;
            NameAnswer answer;
            try {
                s.options.lookup(text, resolved);
                const AddressText ip = ClassifyAddressText(resolved.ip);
                if (resolved.status == 0 && ip.kind == AddressKind::Dotted) {
                    answer.state = NameAnswer::State::Resolved;
                    answer.value = ip.value;
                } else {
                    answer.state = NameAnswer::State::Failed;
                    answer.errcode = resolved.errcode != 0 ? resolved.errcode : HOST_NOT_FOUND;
                }
            } catch (...) {
                answer.state = NameAnswer::State::Failed;
                answer.errcode = NO_RECOVERY;
            }

            lock.lock();
            s.running.erase(mine);
            if (s.stopping) break;
            found = s.entries.find(text);
            if (found == s.entries.end()) continue;
            Entry& e = found->second;
            const std::int64_t now = s.Now();
            answer.atns = now;
            e.inflight = false;
            if (answer.state == NameAnswer::State::Resolved) {
                e.retryms = 0;
                e.duens = now + s.options.ttlms * kNsPerMs;
            } else {
                e.retryms = e.retryms == 0 ? s.options.firstretryms
                                           : std::min(e.retryms * 2, s.options.maxretryms);
                e.duens = now + e.retryms * kNsPerMs;
            }
            const bool changed = !SameAnswer(e.answer, answer);
            e.answer = answer;
            if (changed) s.Tell(text);
            s.done.notify_all();
        }
        --s.threads;
    }
};

NameCache::NameCache(NameCacheOptions options) : state_(std::make_shared<State>()) {
    if (!options.lookup) options.lookup = [](const std::string& text, tipdata& out) { LookUpAddress(text, out); };
    if (!options.clock) options.clock = [] { return MonotonicNs(); };
    options.lookups = std::max(1, options.lookups);
    options.maxlookups = std::max(options.lookups, options.maxlookups);
    options.idlems = std::max<std::int64_t>(1, options.idlems);
    options.firstretryms = std::max<std::int64_t>(1, options.firstretryms);
    options.maxretryms = std::max(options.maxretryms, options.firstretryms);
    state_->options = std::move(options);
}

NameCache::~NameCache() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->stopping = true;
    state_->queue.clear();
    state_->urgent.clear();
    state_->work.notify_all();
    state_->done.notify_all();
}

NameAnswer NameCache::Read(const std::string& text, bool now) {
    NameAnswer inline_;
    if (Inline(text, inline_)) return inline_;
    State& s = *state_;
    std::lock_guard<std::mutex> guard(s.mutex);
    auto found = s.entries.find(text);
    if (found == s.entries.end()) {
        if (s.entries.size() >= kMaxEntries) {
            for (auto it = s.entries.begin(); it != s.entries.end();)
                it = (it->second.queued || it->second.inflight) ? std::next(it) : s.entries.erase(it);
        }
        found = s.entries.emplace(text, Entry{}).first;
    }
    Entry& e = found->second;
    if (!e.queued && !e.inflight && (e.answer.state == NameAnswer::State::Pending || s.Now() >= e.duens))
        s.Enqueue(state_, text, e);
    else
        s.Kick(state_);  // lookups that hang meanwhile let the waiting ones start
    if (now) s.Hurry(state_, text, e);
    return e.answer;
}

NameAnswer NameCache::Peek(const std::string& text) const {
    NameAnswer inline_;
    if (Inline(text, inline_)) return inline_;
    std::lock_guard<std::mutex> guard(state_->mutex);
    const auto found = state_->entries.find(text);
    return found == state_->entries.end() ? NameAnswer{} : found->second.answer;
}

NameAnswer NameCache::Wait(const std::string& text, int timeoutms) {
    NameAnswer answer = Read(text, true);
    if (answer.state != NameAnswer::State::Pending) return answer;
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.done.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutms)), [&] {
        const auto found = s.entries.find(text);
        if (found == s.entries.end() || s.stopping) return true;
        answer = found->second.answer;
        return answer.state != NameAnswer::State::Pending;
    });
    return answer;
}

NameCache::Feed::Feed(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

NameCache::Feed::~Feed() {
    if (const auto owner = impl_->owner.lock()) {
        std::lock_guard<std::mutex> guard(owner->mutex);
        auto& feeds = owner->feeds;
        feeds.erase(std::remove_if(feeds.begin(), feeds.end(),
                                   [&](const std::weak_ptr<Impl>& f) { return f.expired() || f.lock() == impl_; }),
                    feeds.end());
    }
}

bool NameCache::Feed::Any() const { return impl_->any.load(std::memory_order_acquire); }

std::vector<std::string> NameCache::Feed::Take() {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> guard(impl_->mutex);
    out.swap(impl_->texts);
    impl_->told.clear();
    impl_->any.store(false, std::memory_order_release);
    return out;
}

std::unique_ptr<NameCache::Feed> NameCache::Subscribe() {
    auto impl = std::make_shared<Feed::Impl>();
    impl->owner = state_;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->feeds.push_back(impl);
    }
    return std::unique_ptr<Feed>(new Feed(std::move(impl)));
}

std::uint64_t NameCache::LookupsStarted() const { return state_->started.load(); }

int NameCache::Threads() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->threads;
}

NameCache& SharedNameCache() {
    static NameCache cache;
    return cache;
}

std::string DottedValue(std::uint32_t value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return text;
}

}  // namespace veltrin
