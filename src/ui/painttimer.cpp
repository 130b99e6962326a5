#include "ui/painttimer.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <utility>

namespace veltrin {

PaintCoalescer::PaintCoalescer(QObject* owner, std::function<void()> paint) : QObject(owner), timer_(new QTimer(this)) {
    timer_->setSingleShot(true);
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, std::move(paint));
}

void PaintCoalescer::Request() {
    if (!timer_->isActive()) timer_->start();
}

void PaintCoalescer::Cancel() { timer_->stop(); }

ExposeWatch::ExposeWatch(QWidget* window, std::function<void()> exposed)
    : QObject(window), window_(window), exposed_(std::move(exposed)) {}

void ExposeWatch::Attach() {
    if (attached_) return;
    if (QWindow* handle = window_->windowHandle()) {
        handle->installEventFilter(this);
        attached_ = true;
    }
}

bool ExposeWatch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_->windowHandle() && event->type() == QEvent::Expose && exposed_) exposed_();
    return QObject::eventFilter(watched, event);
}

}  // namespace veltrin
