// Host names resolved in the background, so no window (nor the console loop) ever waits for a
// name server. Answers are kept by the address text as the row writes it; several lookups run
// side by side on a few threads of the cache's own; an answer is looked up again once it is a
// minute old, and a failed lookup is tried again after a pause that doubles each time.
//
// Reading never blocks: a text with no answer yet reads as Pending (its lookup is queued), and
// dotted text is read on the spot, never queued. Qt-free; every member is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/u_header.h"

namespace veltrin {

struct NameAnswer {
    enum class State {
        Pending,     // no answer yet: its lookup is queued or running
        Resolved,    // `value` holds the first IPv4 address
        Failed,      // the resolver found none; `errcode` is its h_errno value
        NotAddress,  // digits and dots that make no address, or an empty text: never looked up
    };
    State state = State::Pending;
    std::uint32_t value = 0;  // network byte order
    int errcode = 0;
    std::int64_t atns = 0;  // monotonic time the answer came (0 for dotted text)
};

struct NameCacheOptions {
    int lookups = 4;       // in flight at most while lookups come back quickly ...
    int maxlookups = 32;   // ... and while some hang in a silent name server, so that they do
    std::int64_t slowms = 1000;  // not hold up the rest: a lookup running this long is slow
    std::int64_t ttlms = 60000;       // an answer older than this is looked up again when read
    std::int64_t firstretryms = 5000;  // pause before a failed name is tried again ...
    std::int64_t maxretryms = 300000;  // ... doubled after each failure, up to this
    std::int64_t idlems = 10000;       // a lookup thread with nothing to do ends after this
    // The lookup itself (default: LookUpAddress, which reads the text as ResolveAddress does).
    std::function<void(const std::string& text, tipdata& out)> lookup;
    // Monotonic nanoseconds (default: MonotonicNs).
    std::function<std::int64_t()> clock;
};

class NameCache {
public:
    explicit NameCache(NameCacheOptions options = {});
    // Never waits for a lookup in progress: a thread inside the resolver finishes it on its own
    // and drops the answer, so a program can end at once whatever the name server does.
    ~NameCache();
    NameCache(const NameCache&) = delete;
    NameCache& operator=(const NameCache&) = delete;

    // The latest answer for `text`. Queues a lookup when there is no answer yet, when the answer
    // is older than the time-to-live (the old answer is still given meanwhile), or when a failed
    // name's pause is over.
    // `now`: the caller is about to use it (a pick), so it goes ahead of names asked in advance.
    NameAnswer Read(const std::string& text, bool now = false);
    // The latest answer without queueing anything.
    NameAnswer Peek(const std::string& text) const;
    // Read, then wait up to `timeoutms` while the answer is still Pending (the add dialog's check).
    NameAnswer Wait(const std::string& text, int timeoutms);

    // The texts whose answer changed (first answer, another address, resolves no more), for one
    // reader; each text is told once however often it changed meanwhile.
    class Feed {
    public:
        ~Feed();
        Feed(const Feed&) = delete;
        Feed& operator=(const Feed&) = delete;
        bool Any() const;  // cheap: no lock
        std::vector<std::string> Take();

    private:
        friend class NameCache;
        struct Impl;
        explicit Feed(std::shared_ptr<Impl> impl);
        std::shared_ptr<Impl> impl_;
    };
    std::unique_ptr<Feed> Subscribe();

    // For tests and benchmarks: lookups started so far, and threads now running.
    std::uint64_t LookupsStarted() const;
    int Threads() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// The cache the monitor, the detail window and the console share.
NameCache& SharedNameCache();

// "a.b.c.d" of a value in network byte order.
std::string DottedValue(std::uint32_t value);

}  // namespace veltrin
