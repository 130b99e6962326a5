#include "monitor/worker.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>

#include "engine/global_unit.h"

namespace veltrin {

void NameThisThread(const char* name) {
    char cut[16] = {};
    std::snprintf(cut, sizeof cut, "%s", name);
    ::pthread_setname_np(::pthread_self(), cut);
}

// ---- Gate -----------------------------------------------------------------------------------

Gate::Gate() { wakefd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

Gate::~Gate() {
    if (wakefd_ >= 0) ::close(wakefd_);
}

void Gate::Wake() {
    if (wakefd_ < 0) return;  // WaitReadable then polls in short slices instead
    const std::uint64_t one = 1;
    // EAGAIN only when the counter is saturated, which still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t n = ::write(wakefd_, &one, sizeof one);
}

void Gate::Pause() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = true;
    }
    Wake();
}

void Gate::Resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
    }
    cv_.notify_all();
}

void Gate::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_.store(true);
        cv_.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(posted_->mutex);
        posted_->stopped = true;
    }
    Wake();
}

void Gate::WaitPostedSteps() {
    std::unique_lock<std::mutex> lock(posted_->mutex);
    // A step that stops its own worker runs on this thread: it cannot be waited for, and the
    // worker's members it might touch are still there until it returns.
    posted_->cv.wait(lock, [this] { return posted_->running == 0 || posted_->runner == std::this_thread::get_id(); });
}

bool Gate::Paused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

bool Gate::StopRequested() const { return stop_.load(); }

bool Gate::WaitWhilePaused() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return !paused_ || stop_.load(); });
    return !stop_.load();
}

bool Gate::Sleep(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (ms > 0) cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
    return !stop_.load();
}

int Gate::WaitReadable(int fd, int timeoutms, int alsofd) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutms < 0 ? 0 : timeoutms);
    for (;;) {
        if (stop_.load()) return -1;
        if (Paused()) return 0;
        int slice = -1;
        if (timeoutms >= 0) {
            // Rounded up: a remainder below a millisecond truncated to 0 would return at once,
            // and a caller that waits again for what is left would spin until its deadline.
            const auto rest = deadline - Clock::now();
            if (rest <= Clock::duration::zero() && timeoutms > 0) return 0;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(rest).count();
            slice = static_cast<int>(left < 0 ? 0 : left);
        }
        // Without a wake-up descriptor a pause or stop is noticed within one short slice.
        if (wakefd_ < 0 && (slice < 0 || slice > 50)) slice = 50;
        // A negative descriptor is ignored by poll().
        pollfd fds[3] = {{fd, POLLIN, 0}, {wakefd_, POLLIN, 0}, {alsofd, POLLIN, 0}};
        const int r = ::poll(fds, 3, slice);
        if (r < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (wakefd_ >= 0 && (fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakefd_, &count, sizeof count);
            continue;  // look at the flags again
        }
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0) return 1;
        if (alsofd >= 0 && (fds[2].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0) return 1;
        if (timeoutms == 0) return 0;
        if (timeoutms > 0 && Clock::now() >= deadline) return 0;
    }
}

bool Gate::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   const std::function<bool()>& ready) {
    cv.wait(lock, [&] { return ready() || stop_.load(); });
    return ready();
}

// ---- StepQueue ------------------------------------------------------------------------------

namespace {

enum StepState : int { kPending, kRunning, kDone, kBounced, kAbandoned };

struct Step {
    Gate* gate = nullptr;
    std::function<void()>* step = nullptr;  // lives in the waiting worker's frame
    std::atomic<int> state{kPending};
    // A posted step (no worker waits for it): it owns its function, and knows of its worker
    // only what outlives the worker.
    std::function<void()> owned;
    std::shared_ptr<Gate::PostedSteps> posted;
};

// Runs a posted step unless its worker was asked to stop; true when it ran.
bool RunPosted(Step& item) {
    Gate::PostedSteps& posted = *item.posted;
    {
        std::lock_guard<std::mutex> lock(posted.mutex);
        if (posted.stopped) return false;
        ++posted.running;
        posted.runner = std::this_thread::get_id();
    }
    try {
        item.owned();
    } catch (...) {
        // As for a step a worker waits for: the window thread's loop goes on.
    }
    {
        std::lock_guard<std::mutex> lock(posted.mutex);
        --posted.running;
    }
    posted.cv.notify_all();
    return true;
}

// Runs the claimed steps of a batch on the calling (window) thread; true when any ran.
bool RunBatch(std::deque<std::shared_ptr<Step>>& batch) {
    bool ran = false;
    for (auto& item : batch) {
        if (item->posted) {
            ran = RunPosted(*item) || ran;
            continue;
        }
        // Claiming the step pins its worker: from here on it waits until the state settles,
        // so its gate and its frame stay valid.
        int expected = kPending;
        if (!item->state.compare_exchange_strong(expected, kRunning)) continue;
        Gate& gate = *item->gate;
        int outcome = kDone;
        if (gate.StopRequested()) {
            outcome = kAbandoned;
        } else if (gate.Paused()) {
            outcome = kBounced;
        } else {
            try {
                (*item->step)();
            } catch (...) {
                // A step that throws must not unwind the window thread's event loop nor leave its
                // worker waiting: it counts as run, and the worker goes on.
            }
            ran = true;
        }
        // Once the state is settled the worker may go on, end and take its gate with it: only
        // the shared block is used after that.
        const std::shared_ptr<Gate::Sync> sync = gate.sync();
        {
            std::lock_guard<std::mutex> lock(sync->mutex);
            item->state.store(outcome);
        }
        sync->cv.notify_all();
    }
    return ran;
}

}  // namespace

struct StepQueue::Impl {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Step>> queue;
    std::function<void()> notify;
    std::thread::id windowthread;
};

StepQueue::StepQueue(std::function<void()> notify) : impl_(std::make_unique<Impl>()) { impl_->notify = std::move(notify); }

StepQueue::~StepQueue() = default;

void StepQueue::SetNotify(std::function<void()> notify) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->notify = std::move(notify);
}

void StepQueue::SetWindowThread(std::thread::id id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->windowthread = id;
}

bool StepQueue::Run(Gate& gate, std::function<void()> step) {
    std::thread::id windowthread;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        windowthread = impl_->windowthread;
    }
    if (windowthread == std::this_thread::get_id()) {
        if (gate.StopRequested()) return false;
        try {
            step();
        } catch (...) {
            // A window step that throws ends that step only; the worker's cycle goes on, as it
            // does for a step that ran on the queue (RunBatch).
        }
        return true;
    }
    for (;;) {
        if (!gate.WaitWhilePaused()) return false;
        auto item = std::make_shared<Step>();
        item->gate = &gate;
        item->step = &step;
        std::function<void()> notify;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            impl_->queue.push_back(item);
            notify = impl_->notify;
        }
        impl_->cv.notify_all();
        if (notify) notify();

        std::unique_lock<std::mutex> lock(gate.mutex());
        gate.WaitFor(lock, gate.condition(), [&] {
            const int s = item->state.load();
            return s == kDone || s == kBounced || s == kAbandoned;
        });
        int state = item->state.load();
        if (state == kDone) return true;
        if (state == kAbandoned) return false;
        if (state == kBounced) continue;  // paused on arrival: wait for the resume, then hand it over again
        // Asked to stop. A step still in the queue is withdrawn for good; one already running
        // uses this frame, so wait for it to finish.
        int expected = kPending;
        if (item->state.compare_exchange_strong(expected, kAbandoned)) return false;
        gate.condition().wait(lock, [&] { return item->state.load() != kRunning; });
        return item->state.load() == kDone;
    }
}

bool StepQueue::Post(Gate& gate, std::function<void()> step) {
    std::thread::id windowthread;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        windowthread = impl_->windowthread;
    }
    if (windowthread == std::this_thread::get_id()) return Run(gate, std::move(step));
    if (gate.StopRequested()) return false;
    auto item = std::make_shared<Step>();
    item->owned = std::move(step);
    item->posted = gate.posted();
    std::function<void()> notify;
    bool wasempty = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        wasempty = impl_->queue.empty();
        impl_->queue.push_back(std::move(item));
        if (wasempty) notify = impl_->notify;
    }
    // A queue that already held steps has had its notice: the drain takes this one as well.
    if (wasempty) {
        impl_->cv.notify_all();
        if (notify) notify();
    }
    return true;
}

void StepQueue::Drain() {
    std::deque<std::shared_ptr<Step>> batch;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        batch.swap(impl_->queue);
    }
    RunBatch(batch);
}

bool StepQueue::WaitAndDrain(int timeoutms) {
    std::deque<std::shared_ptr<Step>> batch;
    {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        const auto ready = [this] { return !impl_->queue.empty(); };
        if (timeoutms < 0)
            impl_->cv.wait(lock, ready);
        else
            impl_->cv.wait_for(lock, std::chrono::milliseconds(timeoutms), ready);
        batch.swap(impl_->queue);
    }
    return RunBatch(batch);
}

// ---- Worker ---------------------------------------------------------------------------------

Worker::Worker(HandOver& handover) : handover_(handover) {}

// Threaded<T> has already stopped the thread; this only covers a worker that never started.
Worker::~Worker() { Stop(); }

bool Worker::StartThread() {
    if (thread_.joinable()) return true;
    try {
        thread_ = std::thread([this] {
            NameThisThread(ThreadName());
            identifier_.store(CurrentThreadIdentifier());
            {
                std::lock_guard<std::mutex> lock(gate_.mutex());
                ready_.store(true);
                gate_.condition().notify_all();
            }
            try {
                Run();
            } catch (...) {
                // A worker's cycle swallows its failures; anything escaping ends only this worker.
            }
        });
    } catch (...) {
        return false;
    }
    std::unique_lock<std::mutex> lock(gate_.mutex());
    gate_.condition().wait(lock, [this] { return ready_.load(); });
    return true;
}

void Worker::Pause() { gate_.Pause(); }

void Worker::Resume() { gate_.Resume(); }

void Worker::Stop() {
    StopRequested();
    gate_.RequestStop();
    gate_.WaitPostedSteps();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool Worker::Started() const { return ready_.load(); }

}  // namespace veltrin
