#include "ui/topfm.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QRegion>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include "ui/pictures.h"

namespace {

void Run(const std::function<void()>& command) {
    if (command) command();
}

}  // namespace

Ttopform::Ttopform(TopCommands commands)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      commands_(std::move(commands)) {
    setObjectName(QStringLiteral("topform"));
    setWindowTitle(QStringLiteral("Veltrin Ping Utility"));
    setAttribute(Qt::WA_QuitOnClose, false);  // closing the program is the main window's job
    BuildMenu();
    FormCreate();
}

Ttopform::~Ttopform() = default;

void Ttopform::FormCreate() {
    // Any failure leaves the window as far as it got, without a word.
    try {
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (screen == nullptr) return;
        const QRect area = screen->geometry();
        setFixedSize(kSide, kSide);
        move(area.x() + area.width() - kOffset, area.y() + area.height() - kOffset);
        mainhidden_ = false;
        // Only this square shows and takes the mouse.
        const QPolygon square({QPoint(0, 0), QPoint(kSide, 0), QPoint(kSide, kSide), QPoint(0, kSide), QPoint(0, 0)});
        setMask(QRegion(square, Qt::OddEvenFill));
        // The emblem is drawn with its bottom-left colour (the white background) left out.
        QPixmap emblem = veltrin::T1Bmp();
        if (emblem.isNull()) return;
        const QImage image = emblem.toImage();
        const QColor transparent = image.pixelColor(0, image.height() - 1);
        emblem.setMask(emblem.createMaskFromColor(transparent, Qt::MaskInColor));
        T1BMP_ = emblem;
    } catch (...) {
        // Without a mask the square simply shows its emblem unshaped.
    }
}

void Ttopform::BuildMenu() {
    popmu1_ = new QMenu(this);
    popmu1_->setObjectName(QStringLiteral("popmu1"));
    struct Item {
        const char* name;
        const char* caption;  // nullptr: separator
        std::function<void()> run;
    };
    const Item items[] = {
        {"ping", "&Ping", [this] { pingClick(); }},
        {"stop", "&Stop", [this] { stopClick(); }},
        {"N1", nullptr, {}},
        {"addanaddress1", "&Add an address", [this] { Run(commands_.addone); }},
        {"addagroup1", "Add a &group", [this] { Run(commands_.addgroup); }},
        {"deletelastaddress1", "Delete &last address", [this] { Run(commands_.deletelast); }},
        {"deletealladdresses1", "&Delete all addresses", [this] { Run(commands_.deleteall); }},
        {"N2", nullptr, {}},
        {"importaddressfromfile1", "&Import address from file", [this] { Run(commands_.importfile); }},
        {"N3", nullptr, {}},
        {"exit1", "E&xit", [this] { exit1Click(); }},
    };
    for (const Item& item : items) {
        QAction* action = item.caption ? popmu1_->addAction(QString::fromLatin1(item.caption)) : popmu1_->addSeparator();
        action->setObjectName(QString::fromLatin1(item.name));
        if (item.run) connect(action, &QAction::triggered, this, item.run);
    }
}

void Ttopform::pingClick() {
    Run(commands_.ping);
    if (mainhidden_) Run(commands_.updatetray);
}

void Ttopform::stopClick() {
    Run(commands_.stop);
    if (mainhidden_) Run(commands_.updatetray);
}

void Ttopform::exit1Click() {
    // Posted, so the close sequence (which may show a box and ends the program) runs after the
    // menu has gone.
    if (commands_.syscommand) {
        auto syscommand = commands_.syscommand;
        QTimer::singleShot(0, this, [syscommand] { syscommand(SC_CLOSE); });
    }
    hide();
}

void Ttopform::ToggleMain() {
    // Sent and waited for: the main window has handled it when the call returns.
    if (!mainhidden_) {
        if (commands_.syscommand) commands_.syscommand(SC_MINIMIZE);
        mainhidden_ = true;
    } else {
        if (commands_.syscommand) commands_.syscommand(SC_RESTORE);
        mainhidden_ = false;
    }
}

void Ttopform::paintEvent(QPaintEvent*) {
    try {
        QPainter painter(this);
        painter.fillRect(QRect(0, 0, kSide, kSide), Qt::black);
        painter.fillRect(QRect(1, 1, kSide - 2, kSide - 2), palette().color(QPalette::Button));
        if (!T1BMP_.isNull()) painter.drawPixmap(1, 1, T1BMP_);
    } catch (...) {
        // A paint that cannot be done (no memory for the painter) leaves the old picture; a
        // paint event must not throw into Qt.
    }
}

void Ttopform::ShowMenu(const QPoint& globalpos) {
    popmu1_->exec(globalpos);
    raise();
    activateWindow();
}

void Ttopform::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        // The right button opens the menu and never moves the window.
        dragging_ = pressed_ = false;
        ShowMenu(QCursor::pos());
        event->accept();
        return;
    }
    // Any other button drags, once the pointer has moved a few pixels: taking the move over on
    // the press itself would swallow the release and break the double-click.
    pressed_ = true;
    dragging_ = false;
    pressat_ = event->globalPosition().toPoint();
    grabat_ = event->position().toPoint();
    event->accept();
}

void Ttopform::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_ || (event->buttons() & ~Qt::RightButton) == Qt::NoButton) return;
    const QPoint now = event->globalPosition().toPoint();
    if (!dragging_) {
        if ((now - pressat_).manhattanLength() < QApplication::startDragDistance()) return;
        // The window manager moves the window with the pointer; one that cannot (no
        // _NET_WM_MOVERESIZE) leaves it to the window, which then follows the pointer itself.
        QWindow* window = windowHandle();
        if (window != nullptr && window->startSystemMove()) {
            pressed_ = false;
            return;
        }
        dragging_ = true;
    }
    // Global pointer position minus where in the square it was grabbed; both come from the
    // pointer event itself, never from the window's remembered position.
    move(now - grabat_);
    event->accept();
}

void Ttopform::mouseReleaseEvent(QMouseEvent* event) {
    pressed_ = dragging_ = false;
    event->accept();
}

void Ttopform::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) ToggleMain();
    event->accept();
}
