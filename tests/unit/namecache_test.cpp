// The resolver cache with a lookup of the test's own (no name server): what is read at once,
// how many lookups run side by side, when an answer is looked up again, the pause after a
// failure, and what the reachability index does with the answers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "monitor/addresslist.h"
#include "monitor/namecache.h"
#include "monitor/reachability.h"

using namespace veltrin;

namespace {

using State = NameAnswer::State;
constexpr std::int64_t kMs = 1'000'000;

// A name server of the test's own: answers from a table, can be held (lookups then wait in it
// until released) and counts the lookups inside it.
struct FakeServer {
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::string, std::string> table;  // name -> dotted answer; missing: not found
    bool held = false;
    int inside = 0;
    int mostinside = 0;
    std::vector<std::string> asked;

    void Lookup(const std::string& text, tipdata& out) {
        std::unique_lock<std::mutex> lock(mutex);
        asked.push_back(text);
        ++inside;
        mostinside = std::max(mostinside, inside);
        cv.notify_all();
        cv.wait(lock, [&] { return !held; });
        --inside;
        out = tipdata{};
        const auto found = table.find(text);
        if (found == table.end()) {
            out.status = -1;
            out.errcode = HOST_NOT_FOUND;
        } else {
            out.ip = found->second;
        }
    }
    void Set(const std::string& name, const std::string& ip) {
        std::lock_guard<std::mutex> guard(mutex);
        if (ip.empty())
            table.erase(name);
        else
            table[name] = ip;
    }
    void Hold(bool on) {
        std::lock_guard<std::mutex> guard(mutex);
        held = on;
        cv.notify_all();
    }
    bool WaitInside(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return inside >= n; });
    }
    std::size_t Asked() {
        std::lock_guard<std::mutex> guard(mutex);
        return asked.size();
    }
};

struct Bench {
    std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
    std::shared_ptr<std::atomic<std::int64_t>> now = std::make_shared<std::atomic<std::int64_t>>(1000 * kMs);
    NameCacheOptions Options(int lookups = 4, int maxlookups = 32) {
        NameCacheOptions o;
        o.lookups = lookups;
        o.maxlookups = maxlookups;
        auto server_ = server;
        auto now_ = now;
        o.lookup = [server_](const std::string& text, tipdata& out) { server_->Lookup(text, out); };
        o.clock = [now_] { return now_->load(); };
        return o;
    }
    void Advance(std::int64_t ms) { now->fetch_add(ms * kMs); }
};

// Waits (without a time limit that matters) until the cache has an answer other than Pending.
NameAnswer Settled(NameCache& cache, const std::string& text) {
    for (int i = 0; i < 2000; ++i) {
        const NameAnswer a = cache.Peek(text);
        if (a.state != State::Pending) return a;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cache.Peek(text);
}

// Waits until `count` lookups have finished.
void WaitLookups(FakeServer& server, NameCache& cache, std::uint64_t count) {
    for (int i = 0; i < 2000 && cache.LookupsStarted() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server.WaitInside(0);
}

std::uint32_t V(const char* dotted) { return ::inet_addr(dotted); }

}  // namespace

TEST(NameCache, DottedTextIsReadOnTheSpotAndNeverQueued) {
    Bench s;
    NameCache cache(s.Options());
    struct Case {
        const char* text;
        State state;
        const char* value;
    } const cases[] = {
        {"127.0.0.1", State::Resolved, "127.0.0.1"},
        {"127.000.000.003", State::Resolved, "127.0.0.3"},
        {"300.1.1.1", State::NotAddress, nullptr},
        {"1.2.3", State::NotAddress, nullptr},
        {"", State::NotAddress, nullptr},
    };
    for (const Case& c : cases) {
        const NameAnswer a = cache.Read(c.text);
        EXPECT_EQ(a.state, c.state) << c.text;
        if (c.value) {
            EXPECT_EQ(a.value, V(c.value)) << c.text;
        }
        EXPECT_EQ(cache.Peek(c.text).state, c.state) << c.text;
    }
    EXPECT_EQ(cache.LookupsStarted(), 0u);
    EXPECT_EQ(s.server->Asked(), 0u);
}

TEST(NameCache, ReadingNeverWaitsAndSeveralLookupsRunSideBySide) {
    Bench s;
    s.server->Hold(true);
    NameCache cache(s.Options(3, 5));
    // With the name server holding every query, each read still comes back at once.
    for (int i = 0; i < 8; ++i) EXPECT_EQ(cache.Read("host" + std::to_string(i)).state, State::Pending);
    ASSERT_TRUE(s.server->WaitInside(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> guard(s.server->mutex);
        EXPECT_EQ(s.server->mostinside, 3);  // bounded: never more than asked for
    }
    EXPECT_LE(cache.Threads(), 3);
    // A text already waiting is not queued twice.
    EXPECT_EQ(cache.Read("host0").state, State::Pending);
    // Lookups that hang for over a second no longer hold the queue up: more start, up to the limit.
    s.Advance(1500);
    for (int i = 0; i < 8; ++i) cache.Read("host0");
    ASSERT_TRUE(s.server->WaitInside(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> guard(s.server->mutex);
        EXPECT_EQ(s.server->mostinside, 5);
    }
    EXPECT_EQ(cache.Threads(), 5);
    for (int i = 0; i < 8; ++i) s.server->Set("host" + std::to_string(i), "198.18.0." + std::to_string(i + 1));
    s.server->Hold(false);
    for (int i = 0; i < 8; ++i) {
        const NameAnswer a = Settled(cache, "host" + std::to_string(i));
        EXPECT_EQ(a.state, State::Resolved);
        EXPECT_EQ(DottedValue(a.value), "198.18.0." + std::to_string(i + 1));
    }
    EXPECT_EQ(s.server->Asked(), 8u);
}

TEST(NameCache, AnAnswerIsLookedUpAgainAfterAMinuteAndTheOldOneServesMeanwhile) {
    Bench s;
    s.server->Set("mover", "198.18.0.1");
    NameCache cache(s.Options());
    auto feed = cache.Subscribe();
    cache.Read("mover");
    ASSERT_EQ(Settled(cache, "mover").value, V("198.18.0.1"));
    EXPECT_EQ(feed->Take(), std::vector<std::string>{"mover"});

    s.server->Set("mover", "198.18.0.2");
    s.Advance(59000);
    EXPECT_EQ(cache.Read("mover").value, V("198.18.0.1"));  // still fresh: no lookup
    WaitLookups(*s.server, cache, 1);
    EXPECT_EQ(s.server->Asked(), 1u);

    s.server->Hold(true);
    s.Advance(2000);
    EXPECT_EQ(cache.Read("mover").value, V("198.18.0.1"));  // the old answer while the new one comes
    ASSERT_TRUE(s.server->WaitInside(1));
    EXPECT_FALSE(feed->Any());
    s.server->Hold(false);
    WaitLookups(*s.server, cache, 2);
    for (int i = 0; i < 2000 && cache.Peek("mover").value != V("198.18.0.2"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(cache.Peek("mover").value, V("198.18.0.2"));
    EXPECT_EQ(feed->Take(), std::vector<std::string>{"mover"});
    EXPECT_EQ(s.server->Asked(), 2u);
}

TEST(NameCache, FailuresAreTriedAgainAfterAPauseThatDoubles) {
    Bench s;
    NameCache cache(s.Options());
    cache.Read("nowhere");
    NameAnswer a = Settled(cache, "nowhere");
    EXPECT_EQ(a.state, State::Failed);
    EXPECT_EQ(a.errcode, HOST_NOT_FOUND);

    // (ms to advance, lookups expected after reading): 5 s pause, then 10 s, then 20 s.
    const std::pair<int, std::size_t> steps[] = {{0, 1}, {4900, 1}, {200, 2}, {9000, 2}, {1100, 3}, {19000, 3}, {1100, 4}};
    for (const auto& [ms, lookups] : steps) {
        s.Advance(ms);
        cache.Read("nowhere");
        WaitLookups(*s.server, cache, lookups);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(s.server->Asked(), lookups) << "after " << ms << " ms more";
    }
    // Once it resolves, the pause is forgotten and the answer lives a minute.
    s.server->Set("nowhere", "198.18.0.9");
    s.Advance(40100);
    cache.Read("nowhere");
    for (int i = 0; i < 2000 && cache.Peek("nowhere").state != State::Resolved; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(cache.Peek("nowhere").value, V("198.18.0.9"));
}

TEST(NameCache, WaitGivesUpAfterItsTimeAndAGoingCacheLeavesItsLookupBehind) {
    Bench s;
    s.server->Hold(true);
    auto cache = std::make_unique<NameCache>(s.Options());
    EXPECT_EQ(cache->Wait("slow", 100).state, State::Pending);
    ASSERT_TRUE(s.server->WaitInside(1));
    // The lookup is still inside the name server; the cache goes without waiting for it (the test
    // would hang here otherwise), and the answer that comes later lands nowhere.
    cache.reset();
    s.server->Set("slow", "198.18.0.3");
    s.server->Hold(false);
    s.server->WaitInside(0);

    NameCache again(s.Options());
    EXPECT_EQ(again.Wait("slow", 5000).value, V("198.18.0.3"));
}

TEST(NameCache, AFeedTellsEachChangedNameOnce) {
    Bench s;
    s.server->Set("a", "198.18.0.1");
    NameCache cache(s.Options());
    auto feed = cache.Subscribe();
    auto other = cache.Subscribe();
    cache.Read("a");
    cache.Read("b");
    Settled(cache, "a");
    Settled(cache, "b");
    auto told = feed->Take();
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(feed->Any());
    EXPECT_TRUE(other->Any());
    // The same failure again is no change.
    s.Advance(6000);
    cache.Read("b");
    WaitLookups(*s.server, cache, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(feed->Any());
}

// ---- the reachability index fed by the cache ----------------------------------------------------

TEST(NameCacheReachability, NamesAreSkippedUntilResolvedThenFoundByTheirAnswer) {
    Bench s;
    s.server->Hold(true);
    s.server->Set("alpha", "198.18.0.1");
    NameCache cache(s.Options());
    AddressList list;
    for (const char* text : {"alpha", "198.18.0.1", "ghost", "alpha"}) list.Append(text);
    Reachability reach(list, &cache);
    std::uint32_t value = 0;
    std::string ip;
    // Held name server: the pick of a name comes back at once with nothing to send.
    EXPECT_FALSE(reach.Target(0, value, ip));
    EXPECT_EQ(list.Status(0).state, RowState::NotYetPinged);
    EXPECT_TRUE(reach.Target(1, value, ip));
    EXPECT_EQ(reach.RowsOf(V("198.18.0.1")), std::vector<int>{1});

    s.server->Hold(false);
    Settled(cache, "alpha");
    Settled(cache, "ghost");
    // The answers reach the index at the next step, without any pick of those rows.
    EXPECT_EQ(reach.RowsOf(V("198.18.0.1")), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(list.Status(2).state, RowState::NoAddress);
    EXPECT_NE(list.Status(2).reason.find("name does not resolve"), std::string::npos) << list.Status(2).reason;

    ASSERT_TRUE(reach.Target(3, value, ip));
    EXPECT_EQ(ip, "198.18.0.1");
    Tdecordbuf reply;
    reply.icmpcode = "Reply message";
    reply.ttl = "64";
    reply.replytime = "1";
    reply.packetsize = "32";
    reach.Sent(value, 1);
    reach.Reply(value, reply, EchoLedger::Match::Answered, 1'000'000, 2, 1);
    for (int row : {0, 1, 3}) EXPECT_EQ(list.Row(row).ttl, "64") << row;
    EXPECT_EQ(list.Row(2).ttl, "");

    // The name moves: its rows follow the new answer once it is a minute old and read again.
    s.server->Set("alpha", "198.18.0.2");
    s.Advance(61000);
    reach.Target(0, value, ip);
    for (int i = 0; i < 2000 && cache.Peek("alpha").value != V("198.18.0.2"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(reach.RowsOf(V("198.18.0.1")), std::vector<int>{1});
    EXPECT_EQ(reach.RowsOf(V("198.18.0.2")), (std::vector<int>{0, 3}));
}
