// Pause, stop and the hand-over of steps to the window thread. The test thread plays the window
// thread. Waits are bounded (a few seconds) so a deadlock shows as a failure, not a hang; no
// assertion depends on how fast anything happened.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "monitor/worker.h"
#include "shared/monitorstubs.h"

namespace veltrin {
namespace {

using namespace std::chrono_literals;
constexpr auto kBound = 10s;  // generous: only a deadlock should ever reach it

// A worker whose body is a function, so every test can shape its own loop.
class FuncWorker : public Worker {
public:
    FuncWorker(HandOver& handover, std::function<void(FuncWorker&)> body) : Worker(handover), body_(std::move(body)) {}
    bool Hand(std::function<void()> step) { return OnWindow(std::move(step)); }
    bool Send(std::function<void()> step) { return PostToWindow(std::move(step)); }
    std::atomic<bool> finished{false};

protected:
    void Run() override {
        body_(*this);
        finished = true;
    }

private:
    std::function<void(FuncWorker&)> body_;
};

// Polls `cond` on the window thread (draining the queue when given) until it holds or the bound passes.
bool WaitUntil(const std::function<bool()>& cond, StepQueue* queue = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        if (queue != nullptr)
            queue->WaitAndDrain(5);
        else
            std::this_thread::sleep_for(2ms);
    }
    return cond();
}

// Runs `f` on another thread and reports whether it returned within the bound.
bool ReturnsWithinBound(std::function<void()> f) {
    auto done = std::async(std::launch::async, std::move(f));
    return done.wait_for(kBound) == std::future_status::ready;
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    int read() const { return fds[0]; }
    void Put() const { ASSERT_EQ(::write(fds[1], "x", 1), 1); }
};

class WorkerTest : public ::testing::Test {
protected:
    veltrin::testing::TestWindowQueue queue;  // the test thread plays the window thread
};

TEST_F(WorkerTest, IdentifierIsTheWorkerThreadsIdSetBeforeRun) {
    std::atomic<int> seenid{-1}, tid{-1};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        seenid = self.Identifier();
        tid = static_cast<int>(::syscall(SYS_gettid) & 0xFFFF);
    });
    EXPECT_EQ(w.Identifier(), 0);
    EXPECT_FALSE(w.Started());
    ASSERT_TRUE(w.Start());
    EXPECT_TRUE(w.Started());
    ASSERT_TRUE(WaitUntil([&] { return w.finished.load(); }));
    EXPECT_EQ(seenid.load(), tid.load());
    EXPECT_EQ(w.Identifier(), tid.load());
}

TEST_F(WorkerTest, StepRunsOnTheWindowThreadWhileTheWorkerWaits) {
    std::thread::id ranon;
    std::atomic<bool> returned{false}, result{false};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        result = self.Hand([&] { ranon = std::this_thread::get_id(); });
        returned = true;
    });
    ASSERT_TRUE(w.Start());
    // Nothing drains yet: the worker must still be waiting.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }, &queue));
    EXPECT_TRUE(result.load());
    EXPECT_EQ(ranon, std::this_thread::get_id());
}

TEST_F(WorkerTest, StepHandedOverFromTheWindowThreadRunsInline) {
    Gate gate;
    bool ran = false;
    EXPECT_TRUE(queue.Run(gate, [&] { ran = true; }));
    EXPECT_TRUE(ran);  // no drain needed
    gate.RequestStop();
    ran = false;
    EXPECT_FALSE(queue.Run(gate, [&] { ran = true; }));
    EXPECT_FALSE(ran);
}

TEST_F(WorkerTest, StepOfAStoppedWorkerNeverRunsEvenWhenDrainedLater) {
    std::atomic<bool> ran{false}, returned{false}, result{true};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        result = self.Hand([&] { ran = true; });
        returned = true;
    });
    ASSERT_TRUE(w.Start());
    std::this_thread::sleep_for(20ms);  // let the step reach the queue (either way must hold)
    ASSERT_TRUE(ReturnsWithinBound([&] { w.Stop(); }));
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(result.load());
    queue.Drain();
    queue.WaitAndDrain(0);
    EXPECT_FALSE(ran.load());
}

TEST_F(WorkerTest, StepReachingThePausedWorkerWaitsForTheResume) {
    std::atomic<int> runs{0};
    std::atomic<bool> returned{false}, result{false};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        result = self.Hand([&] { ++runs; });
        returned = true;
    });
    ASSERT_TRUE(w.Start());
    std::this_thread::sleep_for(20ms);
    w.Pause();
    for (int i = 0; i < 20; ++i) queue.WaitAndDrain(5);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_FALSE(returned.load());
    w.Resume();
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }, &queue));
    EXPECT_TRUE(result.load());
    EXPECT_EQ(runs.load(), 1);
}

TEST_F(WorkerTest, StopDuringARunningStepWaitsForItAndReportsItRan) {
    std::atomic<bool> result{false}, ran{false};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        result = self.Hand([&] {
            self.gate().RequestStop();  // the stop arrives while the step is running
            ran = true;
        });
    });
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitUntil([&] { return w.finished.load(); }, &queue));
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(result.load());
}

TEST_F(WorkerTest, PauseNeverWaitsWhereverTheWorkerIs) {
    Pipe pipe;
    // One worker in each kind of wait: a poll, a sleep, a hand-over that nobody drains.
    Threaded<FuncWorker> polling(queue, [&](FuncWorker& self) {
        while (self.gate().WaitWhilePaused()) self.gate().WaitReadable(pipe.read(), -1);
    });
    Threaded<FuncWorker> sleeping(queue, [&](FuncWorker& self) {
        while (self.gate().WaitWhilePaused()) self.gate().Sleep(60000);
    });
    Threaded<FuncWorker> handing(queue, [&](FuncWorker& self) {
        while (self.gate().WaitWhilePaused() && self.Hand([] {})) {
        }
    });
    ASSERT_TRUE(polling.Start());
    ASSERT_TRUE(sleeping.Start());
    ASSERT_TRUE(handing.Start());
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(ReturnsWithinBound([&] {
        polling.Pause();
        sleeping.Pause();
        handing.Pause();
    }));
    EXPECT_TRUE(polling.gate().Paused());
    EXPECT_TRUE(ReturnsWithinBound([&] {
        polling.Stop();
        sleeping.Stop();
        handing.Stop();
    }));
    EXPECT_TRUE(polling.finished.load());
    EXPECT_TRUE(sleeping.finished.load());
    EXPECT_TRUE(handing.finished.load());
}

TEST_F(WorkerTest, StopInterruptsABlockedPollAtOnce) {
    Pipe pipe;
    std::atomic<int> result{99};
    std::atomic<bool> entered{false};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        entered = true;
        result = self.gate().WaitReadable(pipe.read(), -1);
    });
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(ReturnsWithinBound([&] { w.Stop(); }));
    EXPECT_EQ(result.load(), -1);
}

TEST_F(WorkerTest, WaitReadableReportsDataPauseAndTimeout) {
    Pipe pipe;
    Gate gate;
    EXPECT_EQ(gate.WaitReadable(pipe.read(), 0), 0);
    EXPECT_EQ(gate.WaitReadable(pipe.read(), 20), 0);
    pipe.Put();
    EXPECT_EQ(gate.WaitReadable(pipe.read(), -1), 1);

    // A pause that arrives while the poll waits makes it return 0 so the caller can honour it.
    Pipe empty;
    std::atomic<int> result{99};
    std::thread t([&] { result = gate.WaitReadable(empty.read(), -1); });
    std::this_thread::sleep_for(20ms);
    gate.Pause();
    ASSERT_TRUE(ReturnsWithinBound([&] { t.join(); }));
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(gate.WaitReadable(pipe.read(), -1), 0);  // still paused: no read even with data
    gate.Resume();
    EXPECT_EQ(gate.WaitReadable(pipe.read(), -1), 1);
    gate.RequestStop();
    EXPECT_EQ(gate.WaitReadable(pipe.read(), -1), -1);
}

// A caller that waits again for what is left of its own deadline (the sender's interval, the
// receiver's gathering time) must not find a wait that ends before its time-out: the remainder
// below a millisecond used to be cut to nothing, and such callers spun for that last millisecond.
TEST_F(WorkerTest, WaitReadableWaitsItsWholeTimeoutAndTheSecondDescriptorWakesIt) {
    Pipe pipe;
    Gate gate;
    for (int ms : {1, 2, 3, 7}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(gate.WaitReadable(pipe.read(), ms), 0);
        // A lower bound only: a wait may end late on a loaded machine, never early.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
    }
    Pipe other;
    other.Put();
    EXPECT_EQ(gate.WaitReadable(pipe.read(), -1, other.read()), 1);
    EXPECT_EQ(gate.WaitReadable(pipe.read(), 0, -1), 0);
}

TEST_F(WorkerTest, SleepIsCutShortByStop) {
    Gate gate;
    EXPECT_TRUE(gate.Sleep(1));
    EXPECT_TRUE(gate.Sleep(0));
    std::atomic<bool> result{true};
    std::thread t([&] { result = gate.Sleep(600000); });
    std::this_thread::sleep_for(20ms);
    gate.Pause();  // not a reason to wake
    gate.RequestStop();
    ASSERT_TRUE(ReturnsWithinBound([&] { t.join(); }));
    EXPECT_FALSE(result.load());
    EXPECT_FALSE(gate.WaitWhilePaused());
}

TEST_F(WorkerTest, PausedWorkerHoldsAtTheTopOfItsLoopUntilResumed) {
    std::atomic<int> cycles{0};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        while (self.gate().WaitWhilePaused()) {
            ++cycles;
            self.gate().Sleep(1);
        }
    });
    w.Pause();  // paused before it even started
    ASSERT_TRUE(w.Start());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(cycles.load(), 0);
    w.Resume();
    ASSERT_TRUE(WaitUntil([&] { return cycles.load() > 3; }));
    w.Pause();
    const int atpause = cycles.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(cycles.load(), atpause + 1);  // only a cycle already under way may finish
}

TEST_F(WorkerTest, DestructorStopsAndJoinsAWorkerWaitingForTheWindow) {
    std::atomic<bool> finished{false};
    EXPECT_TRUE(ReturnsWithinBound([&] {
        Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
            while (self.Hand([] {})) {
            }
            finished = true;
        });
        ASSERT_TRUE(w.Start());
        std::this_thread::sleep_for(20ms);
    }));
    EXPECT_TRUE(finished.load());
    queue.Drain();  // the abandoned step is skipped, its gate already gone
}

TEST_F(WorkerTest, ManyWorkersShareOneQueue) {
    constexpr int kWorkers = 8, kSteps = 200;
    std::atomic<int> total{0};
    int onwindow = 0;  // only touched by steps: no lock needed if they all run on this thread
    std::vector<std::unique_ptr<FuncWorker>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.push_back(std::make_unique<Threaded<FuncWorker>>(queue, [&](FuncWorker& self) {
            for (int s = 0; s < kSteps; ++s)
                if (!self.Hand([&] { ++onwindow; })) return;
            ++total;
        }));
        ASSERT_TRUE(workers.back()->Start());
    }
    ASSERT_TRUE(WaitUntil([&] { return total.load() == kWorkers; }, &queue));
    EXPECT_EQ(onwindow, kWorkers * kSteps);
}

TEST_F(WorkerTest, WaitAndDrainTimesOutEmpty) {
    EXPECT_FALSE(queue.WaitAndDrain(0));
    EXPECT_FALSE(queue.WaitAndDrain(10));
}

TEST_F(WorkerTest, NotifyIsCalledForEveryQueuedStep) {
    std::atomic<int> notified{0};
    queue.SetNotify([&] { ++notified; });
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) { self.Hand([] {}); });
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitUntil([&] { return notified.load() > 0; }));
    ASSERT_TRUE(WaitUntil([&] { return w.finished.load(); }, &queue));
    EXPECT_EQ(notified.load(), 1);
}

// ---- posted steps: the worker goes on without waiting -------------------------------------

TEST_F(WorkerTest, PostedStepRunsOnTheWindowThreadWithoutTheWorkerWaiting) {
    std::thread::id ranon;
    std::atomic<int> runs{0};
    std::atomic<bool> result{false};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        result = self.Send([&, owned = std::string("owned by the step")] {
            EXPECT_EQ(owned, "owned by the step");
            ranon = std::this_thread::get_id();
            ++runs;
        });
    });
    ASSERT_TRUE(w.Start());
    // Nothing drains, yet the body goes on to its end.
    ASSERT_TRUE(WaitUntil([&] { return w.finished.load(); }));
    EXPECT_TRUE(result.load());
    EXPECT_EQ(runs.load(), 0);
    ASSERT_TRUE(WaitUntil([&] { return runs.load() == 1; }, &queue));
    EXPECT_EQ(ranon, std::this_thread::get_id());
}

TEST_F(WorkerTest, PostedStepsRunInOrderWithTheStepsAWorkerWaitsFor) {
    std::vector<int> order;
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        self.Send([&] { order.push_back(1); });
        self.Hand([&] { order.push_back(2); });
        self.Send([&] { order.push_back(3); });
    });
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitUntil([&] { return order.size() == 3; }, &queue));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(WorkerTest, PostedStepOfAWorkerGoneBeforeTheDrainNeverRuns) {
    std::atomic<bool> ran{false};
    {
        auto w = std::make_unique<Threaded<FuncWorker>>(queue, [&](FuncWorker& self) {
            EXPECT_TRUE(self.Send([&ran, &self] {
                (void)self.gate();  // would read a freed worker (ASan) if it ran
                ran = true;
            }));
        });
        ASSERT_TRUE(w->Start());
        ASSERT_TRUE(WaitUntil([&] { return w->finished.load(); }));
    }  // destroyed with its step still queued
    queue.Drain();
    EXPECT_FALSE(ran.load());
    // A worker already asked to stop cannot post at all.
    Gate gate;
    gate.RequestStop();
    std::thread other([&] { EXPECT_FALSE(queue.Post(gate, [&] { ran = true; })); });
    other.join();
    queue.Drain();
    EXPECT_FALSE(ran.load());
}

TEST_F(WorkerTest, PostedStepRunsWhileItsWorkerIsPaused) {
    std::atomic<int> runs{0};
    std::atomic<bool> posted{false};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        self.Send([&] { ++runs; });
        posted = true;
        self.gate().WaitWhilePaused();
    });
    w.Pause();
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitUntil([&] { return posted.load(); }));
    // What it hands over was taken before the pause: shown, not held back.
    ASSERT_TRUE(WaitUntil([&] { return runs.load() == 1; }, &queue));
    w.Resume();
}

TEST_F(WorkerTest, StopFromAnotherThreadWaitsForARunningPostedStep) {
    std::atomic<bool> inside{false}, release{false}, stopped{false}, finishedstep{false};
    auto w = std::make_unique<Threaded<FuncWorker>>(queue, [&](FuncWorker& self) {
        self.Send([&] {
            inside = true;
            while (!release.load()) std::this_thread::sleep_for(1ms);
            finishedstep = true;
        });
    });
    ASSERT_TRUE(w->Start());
    ASSERT_TRUE(WaitUntil([&] { return w->finished.load(); }));
    std::thread stopper([&] {
        while (!inside.load()) std::this_thread::sleep_for(1ms);
        w->Stop();
        // The step uses what its worker owns: Stop may not return while it runs.
        EXPECT_TRUE(finishedstep.load());
        stopped = true;
    });
    std::thread releaser([&] {
        while (!inside.load()) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);  // the stopper is waiting by now, or the check above is moot
        release = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return inside.load(); }, &queue));  // the step runs in this drain
    releaser.join();
    stopper.join();
    EXPECT_TRUE(stopped.load());
}

TEST_F(WorkerTest, PostedStepMayStopItsOwnWorker) {
    std::atomic<bool> ran{false};
    Threaded<FuncWorker> w(queue, [&](FuncWorker& self) {
        self.Send([&] {
            w.Stop();  // on the window thread, inside the worker's own step: no deadlock
            ran = true;
        });
        self.gate().Sleep(60'000);
    });
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(ReturnsWithinBound([&] { WaitUntil([&] { return ran.load(); }, &queue); }));
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(w.finished.load());
}

TEST_F(WorkerTest, WorkerThreadCarriesItsName) {
    std::string name;
    Threaded<FuncWorker> w(queue, [&](FuncWorker&) {
        char buf[32] = {};
        ::pthread_getname_np(::pthread_self(), buf, sizeof buf);
        name = buf;
    });
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(WaitUntil([&] { return w.finished.load(); }));
    EXPECT_EQ(name, "vping-worker");
}

// A subclass that does not stop its thread in its own destructor would leave the thread running
// on members that are already gone. That mistake cannot be written: a subclass on its own is
// abstract (it has no Start), and only Threaded<T>, which stops first, can start a thread.
class ForgetfulWorker : public Worker {
public:
    using Worker::Worker;
    std::string text = "still here";  // read by the thread until the very end
    std::atomic<int> reads{0};

protected:
    void Run() override {
        while (gate().Sleep(1)) {
            if (!text.empty()) ++reads;
        }
    }
};

template <class W>
concept CanStart = requires(W& w) { w.Start(); };

static_assert(std::is_abstract_v<ForgetfulWorker>, "a bare subclass must not be creatable");
static_assert(!std::is_abstract_v<Threaded<ForgetfulWorker>>);
static_assert(CanStart<Threaded<ForgetfulWorker>>);
static_assert(std::is_convertible_v<Threaded<ForgetfulWorker>*, ForgetfulWorker*>);

// Destroying a running worker through a pointer to its subclass or to Worker stops the thread
// before the subclass's members go (ASan and TSan runs would report the thread reading them).
TEST(WorkerLifetimeTest, DestroyingARunningWorkerStopsItBeforeItsMembersGo) {
    StepQueue queue;
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<Worker> w = std::make_unique<Threaded<ForgetfulWorker>>(queue);
        ASSERT_TRUE(w->Start());
        auto* body = static_cast<ForgetfulWorker*>(w.get());
        ASSERT_TRUE(WaitUntil([&] { return body->reads.load() > 0; }));
        w.reset();
    }
}

// A body that waits on something the gate cannot wake hears of the stop through StopRequested,
// so destroying it does not wait for that wait to end.
class BlockedWorker : public Worker {
public:
    using Worker::Worker;
    std::atomic<bool> released{false};

protected:
    void Run() override {
        // Bounded, so a missing hook shows as a failed bound rather than a hung test.
        const auto giveup = std::chrono::steady_clock::now() + 3 * kBound;
        while (!released.load() && std::chrono::steady_clock::now() < giveup) std::this_thread::sleep_for(1ms);
    }
    void StopRequested() override { released.store(true); }
};

TEST(WorkerLifetimeTest, StopTellsABodyTheGateCannotWake) {
    StepQueue queue;
    auto w = std::make_unique<Threaded<BlockedWorker>>(queue);
    ASSERT_TRUE(w->Start());
    EXPECT_TRUE(ReturnsWithinBound([&] { w.reset(); }));
}

}  // namespace
}  // namespace veltrin
