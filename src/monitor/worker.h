// Worker threads with a pause gate, a stop request and a hand-over of steps to the window thread.
// Qt-free: the Qt windows and the console both plug in through HandOver.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

namespace veltrin {

// Names the calling thread for `top -H`, `ps -L` and debuggers (cut to 15 characters).
void NameThisThread(const char* name);

// Pause and stop control of one worker. Pausing and stopping never wait for the worker: they set
// state that the worker honours at the top of its loop and in every wait below, and they wake it
// through an eventfd so a blocked poll() returns at once.
class Gate {
public:
    Gate();
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    void Pause();
    void Resume();
    void RequestStop();
    bool Paused() const;
    bool StopRequested() const;

    // Blocks while paused. False once a stop was requested.
    bool WaitWhilePaused();
    // Sleeps `ms`; a stop cuts it short. False once a stop was requested.
    bool Sleep(int ms);
    // Waits for `fd` (or `alsofd`, when not negative) to become readable: 1 readable, 0 timed
    // out (timeoutms < 0 waits for ever), -1 stop requested. A pause during the wait makes it
    // return 0 so the caller can honour it.
    int WaitReadable(int fd, int timeoutms, int alsofd = -1);

    // For the hand-over: wait on the gate's own condition until `ready()` or a stop.
    // Returns false when stopped before `ready()` held.
    bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, const std::function<bool()>& ready);
    std::mutex& mutex() const { return mutex_; }
    std::condition_variable& condition() const { return cv_; }

    // What a posted step (HandOver::Post) keeps of its worker's gate: it outlives the gate, so a
    // step still queued when its worker is gone learns that it must not run.
    struct PostedSteps {
        std::mutex mutex;
        std::condition_variable cv;
        bool stopped = false;    // set by RequestStop: steps not yet begun never run
        int running = 0;         // steps of this worker running now
        std::thread::id runner;  // the thread running them
    };
    const std::shared_ptr<PostedSteps>& posted() const { return posted_; }
    // After RequestStop: waits until no posted step of this worker runs on another thread.
    void WaitPostedSteps();

private:
    void Wake();
public:
    // The gate's lock and condition, in a block a window step can keep: the step settles its
    // state under the lock, then wakes the worker after letting go of it (a worker woken while
    // the lock is still held would at once sleep again on the lock), by which time the worker
    // and its gate may be gone.
    struct Sync {
        std::mutex mutex;
        std::condition_variable cv;
    };
    const std::shared_ptr<Sync>& sync() const { return sync_; }

private:
    std::shared_ptr<Sync> sync_ = std::make_shared<Sync>();
    std::mutex& mutex_ = sync_->mutex;
    std::condition_variable& cv_ = sync_->cv;
    bool paused_ = false;
    std::atomic<bool> stop_{false};
    int wakefd_ = -1;
    std::shared_ptr<PostedSteps> posted_ = std::make_shared<PostedSteps>();
};

// Runs a step on the window thread while the calling worker waits.
class HandOver {
public:
    virtual ~HandOver() = default;
    // Runs `step` on the window thread and waits for it to finish; runs it inline when called on
    // the window thread. Returns false when the worker was asked to stop before the step ran: the
    // step then never runs, not even later. A step that reaches the window thread while its
    // worker is paused is not run; the call waits for the resume and hands it over again.
    virtual bool Run(Gate& gate, std::function<void()> step) = 0;
    // Queues `step` for the window thread and returns without waiting for it (runs it inline
    // on the window thread), so the worker is not woken a second time when the step is done.
    // The step owns what it uses: the worker's frame may be gone when it runs. It runs unless
    // the worker was asked to stop first, also while the worker is paused (what it shows was
    // taken before the pause). Worker::Stop() waits for one that is running on another thread.
    // False when the worker was already asked to stop. By default the same as Run().
    virtual bool Post(Gate& gate, std::function<void()> step) { return Run(gate, std::move(step)); }
};

// A hand-over through a queue drained on the window thread. The front end passes `notify`,
// which must make the window thread call Drain() soon (a queued Qt call, or a console loop).
class StepQueue : public HandOver {
public:
    explicit StepQueue(std::function<void()> notify = {});
    ~StepQueue() override;
    // One queue per window thread; workers hold references to it, so it is neither copied nor moved.
    StepQueue(const StepQueue&) = delete;
    StepQueue& operator=(const StepQueue&) = delete;
    void SetNotify(std::function<void()> notify);
    // The thread that drains; Run() from this thread runs the step inline.
    void SetWindowThread(std::thread::id id);
    bool Run(Gate& gate, std::function<void()> step) override;
    bool Post(Gate& gate, std::function<void()> step) override;
    // Window thread: runs every step queued so far.
    void Drain();
    // Console loop: waits up to `timeoutms` for a step, then drains. True when it ran any.
    bool WaitAndDrain(int timeoutms);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A thread that runs Run() until it returns; owns its Gate.
//
// Run() uses the subclass's members, which are destroyed before ~Worker runs, so the thread must
// be stopped by the most derived destructor. Rather than trusting every subclass to remember
// that, Start() is left abstract: only Threaded<T> below implements it, and its destructor (the
// first one to run) stops the thread. A subclass on its own cannot even be created, and cannot
// start a thread another way, since the thread is made by a member only Threaded may call.
class Worker {
public:
    explicit Worker(HandOver& handover);
    virtual ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    virtual bool Start() = 0;  // creates the thread; false when it could not be created
    void Pause();   // never waits
    void Resume();
    void Stop();    // asks to stop, wakes every wait, joins
    bool Started() const;
    // Low 16 bits of the worker thread's kernel id (its echo identifier); 0 before it runs.
    std::uint16_t Identifier() const { return identifier_.load(); }
    Gate& gate() { return gate_; }

protected:
    virtual void Run() = 0;
    // Called by Stop() before it joins, for a body that waits on something the gate cannot wake.
    virtual void StopRequested() {}
    // The thread's name as `top -H` and `ps -L` show it (at most 15 characters).
    virtual const char* ThreadName() const { return "vping-worker"; }
    bool OnWindow(std::function<void()> step) { return handover_.Run(gate_, std::move(step)); }
    // The step goes to the window thread without this worker waiting for it (HandOver::Post).
    bool PostToWindow(std::function<void()> step) { return handover_.Post(gate_, std::move(step)); }

private:
    template <class Body>
    friend class Threaded;
    bool StartThread();  // creates the thread; false when it could not be created

    HandOver& handover_;
    Gate gate_;
    std::thread thread_;
    std::atomic<std::uint16_t> identifier_{0};
    std::atomic<bool> ready_{false};
};

// The startable form of a worker: `Threaded<tsendthread> sender(...)` or
// `std::make_unique<Threaded<tsendthread>>(...)`; it converts to the worker it wraps.
template <class Body>
class Threaded final : public Body {
    static_assert(std::is_base_of_v<Worker, Body>, "Threaded wraps a Worker subclass");

public:
    using Body::Body;
    ~Threaded() override { this->Stop(); }
    bool Start() final { return static_cast<Worker*>(this)->StartThread(); }
};

}  // namespace veltrin
