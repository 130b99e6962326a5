#include "ui/handover.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <thread>

namespace veltrin {

namespace {

std::thread::id GuiThreadId() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) return std::this_thread::get_id();
    // First use from a worker: ask the GUI thread who it is.
    std::thread::id id;
    QMetaObject::invokeMethod(app, [&id] { id = std::this_thread::get_id(); }, Qt::BlockingQueuedConnection);
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
        q->SetNotify([q] {
            // One queued drain covers every step queued before it runs.
            if (pending.exchange(true)) return;
            QCoreApplication* app = QCoreApplication::instance();
            if (app == nullptr) {
                pending.store(false);
                return;
            }
            const bool posted = QMetaObject::invokeMethod(
                app,
                [q] {
                    pending.store(false);
                    q->Drain();
                },
                Qt::QueuedConnection);
            if (!posted) pending.store(false);
        });
        return q;
    }();
    return *queue;
}

}  // namespace veltrin
