#include "ui/handover.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <atomic>
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
        // The drain runs from a zero-delay timer made on the GUI thread, and a worker asks for
        // the timer's start() slot by name. That way the queued call is built inside Qt and the
        // GUI thread reads nothing a worker allocated, which ThreadSanitizer (blind to Qt's own
        // locking in an uninstrumented Qt) would otherwise report as a race.
        static QTimer* drainer = nullptr;
        const auto make = [q] {
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
            // One queued drain covers every step queued before it runs.
            if (pending.exchange(true)) return;
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
