#include "ui/screenfit.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace veltrin {

namespace {

// A window manager's frame before the window is mapped, when Qt cannot know it yet: a title bar
// and thin borders, as most desktops draw them.
constexpr QMargins kGuessedFrame(4, 30, 4, 4);

class ShowWatcher : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            const Qt::WindowType type = widget->windowType();
            if (widget->isWindow() && (type == Qt::Window || type == Qt::Dialog)) FitOnScreen(widget);
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

QRect FitRect(const QRect& frame, const QRect& area, bool resizable) {
    QRect fitted = frame;
    if (resizable) fitted.setSize(fitted.size().boundedTo(area.size()));
    // Right and bottom edges in first, then left and top, so the top left corner (and with it
    // the title bar) wins when the window is larger than the area.
    if (fitted.right() > area.right()) fitted.moveRight(area.right());
    if (fitted.bottom() > area.bottom()) fitted.moveBottom(area.bottom());
    if (fitted.left() < area.left()) fitted.moveLeft(area.left());
    if (fitted.top() < area.top()) fitted.moveTop(area.top());
    return fitted;
}

void FitOnScreen(QWidget* window) {
    if (window == nullptr || !window->isWindow()) return;
    QScreen* screen = window->screen();
    if (screen == nullptr) screen = QGuiApplication::screenAt(window->geometry().center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect area = screen->availableGeometry();
    if (area.isEmpty()) return;

    const QRect client = window->geometry();
    const QRect known = window->frameGeometry();
    QMargins frame(client.left() - known.left(), client.top() - known.top(), known.right() - client.right(),
                   known.bottom() - client.bottom());
    const bool framed = !(window->windowFlags() & Qt::FramelessWindowHint) &&
                        QGuiApplication::platformName() != QLatin1String("offscreen");
    if (frame.isNull() && framed) frame = kGuessedFrame;
    const QSize extra(frame.left() + frame.right(), frame.top() + frame.bottom());

    // pos() is where the frame's corner is (or will be, once the window manager framed it).
    const QRect outer(window->pos(), client.size() + extra);
    const bool resizable = window->minimumSize() != window->maximumSize();
    const QRect fitted = FitRect(outer, area, resizable);
    if (fitted == outer) return;
    // The client area is placed, not the frame: the window manager then puts its frame around
    // it, so a frame smaller than the guess stays on screen too.
    const QSize size = (fitted.size() - extra).expandedTo(window->minimumSize());
    window->setGeometry(QRect(fitted.topLeft() + QPoint(frame.left(), frame.top()), size));
}

void FitWindowsOnScreen() {
    static ShowWatcher* watcher = nullptr;
    if (watcher != nullptr || QCoreApplication::instance() == nullptr) return;
    watcher = new ShowWatcher(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(watcher);
}

}  // namespace veltrin
