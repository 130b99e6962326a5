// A window reloads what it shows when it is shown, uncovered or activated, and after the commands
// that change those values; many such moments in one turn of the event loop give one reload.
// Reloading is never done from paintEvent itself (changing widgets there repaints in a loop).
#pragma once

#include <QObject>
#include <functional>

class QTimer;
class QWidget;

namespace veltrin {

// One reload on the next turn of the event loop, however often it was asked for before then.
class PaintCoalescer : public QObject {
    Q_OBJECT

public:
    PaintCoalescer(QObject* owner, std::function<void()> paint);
    void Request();  // schedules the reload unless one is already waiting
    void Cancel();   // drops a waiting reload

private:
    QTimer* timer_;
};

// Calls `exposed` on every Expose event of `window`'s native window ("uncovered"). The native
// window exists only once the widget is shown, so call Attach from showEvent; later calls do
// nothing.
class ExposeWatch : public QObject {
    Q_OBJECT

public:
    ExposeWatch(QWidget* window, std::function<void()> exposed);
    void Attach();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
    std::function<void()> exposed_;
    bool attached_ = false;
};

}  // namespace veltrin
