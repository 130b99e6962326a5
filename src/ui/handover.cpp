#include "ui/handover.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>

namespace veltrin {

namespace {

std::thread::id GuiThreadId() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) return std::this_thread::get_id();
    // First use from a worker: ask the GUI thread who it is.
    std::thread::id id;
    QMetaObject::invokeMethod(
        app, [&id] { id = std::this_thread::get_id(); }, Qt::BlockingQueuedConnection);
    return id;
}

}  // namespace

StepQueue& WindowHandOver() {
    // Never destroyed: workers that end with the process may still hand steps over while static
    // objects are being torn down.
    static StepQueue* const queue = [] {
        auto* q = new StepQueue();
        static std::atomic<bool> pending{false};
        q->SetWindowThread(GuiThreadId());
        // A worker wakes the GUI thread by writing to an eventfd that the GUI thread's event
        // loop watches (modal dialogs' loops too): one wake-up, one system call on each side,
        // and nothing a worker allocated is ever read by Qt on the GUI thread (ThreadSanitizer,
        // blind to an uninstrumented Qt's own locking, would report that as a race; it sees the
        // eventfd's write and read as the hand-over). A queued call that starts a zero-delay
        // timer is the way when no eventfd can be had: it costs a posted event, a timer and a
        // second pass of the loop per hand-over.
        static int wakefd = -1;
        static QTimer* drainer = nullptr;
        const auto make = [q] {
            wakefd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            if (wakefd >= 0) {
                auto* notifier = new QSocketNotifier(static_cast<qintptr>(wakefd), QSocketNotifier::Read);
                QObject::connect(notifier, &QSocketNotifier::activated, [q] {
                    std::uint64_t count = 0;
                    while (::read(wakefd, &count, sizeof count) < 0 && errno == EINTR) {
                    }
                    // Cleared before the drain: a step queued while it runs gets a wake of its own.
                    pending.store(false);
                    q->Drain();
                });
                return;
            }
            drainer = new QTimer;  // lives as long as the queue
            drainer->setSingleShot(true);
            drainer->setInterval(0);
            QObject::connect(drainer, &QTimer::timeout, [q] {
                pending.store(false);
                q->Drain();
            });
        };
        if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr) {
            if (QThread::currentThread() == app->thread())
                make();
            else
                QMetaObject::invokeMethod(app, make, Qt::BlockingQueuedConnection);
        }
        q->SetNotify([] {
            // One wake covers every step queued before the drain runs.
            if (pending.exchange(true)) return;
            if (wakefd >= 0) {
                const std::uint64_t one = 1;
                ssize_t n;
                do {
                    n = ::write(wakefd, &one, sizeof one);
                } while (n < 0 && errno == EINTR);
                // EAGAIN: the counter is full, so a wake is owed already.
                if (n < 0 && errno != EAGAIN) pending.store(false);
                return;
            }
            if (QCoreApplication::instance() == nullptr || drainer == nullptr) {
                pending.store(false);
                return;
            }
            const bool posted = QMetaObject::invokeMethod(drainer, "start", Qt::QueuedConnection);
            if (!posted) pending.store(false);
        });
        return q;
    }();
    return *queue;
}

}  // namespace veltrin
