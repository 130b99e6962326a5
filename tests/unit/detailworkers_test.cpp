// The statistics and info refresh workers against a real hand-over queue drained by the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "shared/monitorstubs.h"
#include "monitor/detailstat.h"
#include "monitor/detailworkers.h"
#include "monitor/worker.h"

namespace veltrin {
namespace {

// Drains `queue` on this thread until `done()` holds or about ten seconds passed.
template <class Done>
bool DrainUntil(StepQueue& queue, Done done) {
    for (int i = 0; i < 1000 && !done(); ++i) queue.WaitAndDrain(10);
    return done();
}

TEST(TcalculateTest, SetsTheLabelsBuiltFromTheWindowSnapshot) {
    veltrin::testing::TestWindowQueue queue;
    const Tdetailstat counters{60, 10, 8, 20, 31, 203};
    int snapshots = 0;
    std::vector<std::array<std::string, 8>> shown;
    Threaded<tcalculate> worker(
        queue,
        [&] {
            ++snapshots;
            return counters;
        },
        [&](const std::array<std::string, 8>& texts) { shown.push_back(texts); }, 10);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(DrainUntil(queue, [&] { return shown.size() >= 2; }));
    worker.Stop();
    EXPECT_EQ(shown[0], StatisticsLabels(counters));
    EXPECT_EQ(shown[0][2], "Approximate speed:     40 Kbps");
    // One snapshot per pass, taken before the pass's labels.
    EXPECT_GE(snapshots, static_cast<int>(shown.size()));
}

TEST(TcalculateTest, StopWhileWaitingForTheWindowThreadEndsAndTheStepNeverRuns) {
    StepQueue queue;  // nobody drains until after the stop
    std::atomic<int> snapshots{0};
    auto worker = std::make_unique<Threaded<tcalculate>>(
        queue,
        [&] {
            ++snapshots;
            return Tdetailstat{};
        },
        [](const std::array<std::string, 8>&) {}, 1000);
    ASSERT_TRUE(worker->Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the hand-over
    worker->Stop();   // must not wait for a drain that never comes
    worker.reset();
    queue.Drain();    // the withdrawn step does nothing now
    EXPECT_EQ(snapshots.load(), 0);
}

TEST(TcalculateTest, PausedWorkerHandsNothingOver) {
    veltrin::testing::TestWindowQueue queue;
    std::atomic<int> passes{0};
    Threaded<tcalculate> worker(
        queue, [] { return Tdetailstat{}; }, [&](const std::array<std::string, 8>&) { ++passes; }, 5);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(DrainUntil(queue, [&] { return passes.load() >= 1; }));
    worker.Pause();
    queue.WaitAndDrain(50);  // a step that was already on its way may still settle
    const int before = passes.load();
    for (int i = 0; i < 10; ++i) queue.WaitAndDrain(10);
    EXPECT_EQ(passes.load(), before);
    worker.Resume();
    EXPECT_TRUE(DrainUntil(queue, [&] { return passes.load() > before; }));
}

TEST(TinfoTest, CopiesThenShowsEveryPass) {
    veltrin::testing::TestWindowQueue queue;
    std::string order;
    Threaded<Tinfo> worker(queue, [&] { order += 'c'; }, [&] { order += 's'; }, 5);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(DrainUntil(queue, [&] { return order.size() >= 6; }));
    worker.Stop();
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i % 2 == 0 ? 'c' : 's') << order;
}

TEST(TinfoTest, AFailingStepDoesNotEndTheWorker) {
    veltrin::testing::TestWindowQueue queue;
    int copies = 0;
    Threaded<Tinfo> worker(
        queue,
        [&] {
            ++copies;
            throw std::runtime_error("copy failed");
        },
        [] {}, 5);
    ASSERT_TRUE(worker.Start());
    EXPECT_TRUE(DrainUntil(queue, [&] { return copies >= 3; }));
}

}  // namespace
}  // namespace veltrin
