#include "ui/appexit.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace veltrin {

namespace {

std::function<void()>& Hook() {
    static std::function<void()> hook;
    return hook;
}

}  // namespace

void EndApplication() {
    if (Hook()) {
        Hook()();
        return;
    }
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

void SetEndApplicationHook(std::function<void()> hook) { Hook() = std::move(hook); }

}  // namespace veltrin
