#include "ui/pictures.h"

#include <QApplication>
#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QPainterPath>
#include <QRadialGradient>
#include <functional>

// The icons' resource file lives in this static library: naming it here keeps the linker
// from dropping it.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace veltrin {

namespace {

const QColor kNodeBlue(40, 96, 200);
const QColor kNodeEdge(20, 50, 120);
const QColor kPlusGreen(30, 160, 40);
const QColor kMinusRed(210, 40, 30);

QPixmap Canvas(int w, int h, const QColor& fill = Qt::transparent) {
    QPixmap pixmap(w, h);
    pixmap.fill(fill);
    return pixmap;
}

// A small host: a rounded screen on a foot.
void Host(QPainter& p, qreal x, qreal y, qreal w) {
    const qreal h = w * 0.72;
    p.setPen(QPen(kNodeEdge, 1));
    p.setBrush(kNodeBlue);
    p.drawRoundedRect(QRectF(x, y, w, h), 1.2, 1.2);
    p.setBrush(QColor(170, 215, 255));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(x + 1.5, y + 1.5, w - 3, h - 3));
    p.setBrush(kNodeEdge);
    p.drawRect(QRectF(x + w / 2 - 1, y + h, 2, 1.5));
    p.drawRect(QRectF(x + w / 2 - 2.5, y + h + 1.5, 5, 1));
}

// A plus, minus or cross badge in the lower right corner.
enum class Badge { Plus, Minus, Cross };
void DrawBadge(QPainter& p, Badge badge) {
    const QRectF circle(8.5, 8.5, 7, 7);
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(badge == Badge::Plus ? kPlusGreen : kMinusRed);
    p.drawEllipse(circle);
    p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::FlatCap));
    const QPointF c = circle.center();
    if (badge == Badge::Cross) {
        p.drawLine(c + QPointF(-1.8, -1.8), c + QPointF(1.8, 1.8));
        p.drawLine(c + QPointF(-1.8, 1.8), c + QPointF(1.8, -1.8));
        return;
    }
    p.drawLine(c + QPointF(-2.3, 0), c + QPointF(2.3, 0));
    if (badge == Badge::Plus) p.drawLine(c + QPointF(0, -2.3), c + QPointF(0, 2.3));
}

void DrawImport(QPainter& p) {
    // Folder back and open front.
    p.setPen(QPen(QColor(150, 110, 20), 1));
    p.setBrush(QColor(230, 185, 60));
    QPainterPath back;
    back.moveTo(1.5, 4.5);
    back.lineTo(5.5, 4.5);
    back.lineTo(6.5, 5.5);
    back.lineTo(12.5, 5.5);
    back.lineTo(12.5, 13.5);
    back.lineTo(1.5, 13.5);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(250, 215, 100));
    QPainterPath front;
    front.moveTo(1.5, 13.5);
    front.lineTo(4.0, 8.5);
    front.lineTo(15.0, 8.5);
    front.lineTo(12.5, 13.5);
    front.closeSubpath();
    p.drawPath(front);
    // Arrow coming down into it.
    p.setPen(QPen(kPlusGreen.darker(120), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10.5, 0.8), QPointF(10.5, 5.5));
    p.setPen(Qt::NoPen);
    p.setBrush(kPlusGreen.darker(120));
    p.drawPolygon(QPolygonF({QPointF(7.8, 4.5), QPointF(13.2, 4.5), QPointF(10.5, 7.8)}));
}

void DrawSave(QPainter& p) {
    p.setPen(QPen(QColor(20, 40, 90), 1));
    p.setBrush(QColor(50, 90, 170));
    QPainterPath body;
    body.moveTo(1.5, 1.5);
    body.lineTo(12.5, 1.5);
    body.lineTo(14.5, 3.5);
    body.lineTo(14.5, 14.5);
    body.lineTo(1.5, 14.5);
    body.closeSubpath();
    p.drawPath(body);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(235, 240, 250));
    p.drawRect(QRectF(3.5, 2, 8, 5));  // label
    p.setBrush(QColor(200, 205, 215));
    p.drawRect(QRectF(4, 9.5, 8, 5));  // shutter
    p.setBrush(QColor(50, 90, 170));
    p.drawRect(QRectF(9.5, 10.5, 1.5, 3));
}

void DrawHosts(QPainter& p, int count) {
    if (count == 1) {
        Host(p, 1.5, 2.0, 10);
        return;
    }
    Host(p, 5.5, 0.5, 7);
    Host(p, 0.5, 3.5, 7);
    Host(p, 3.5, 7.0, 7);
}

void DrawHelp(QPainter& p) {
    QRadialGradient g(QPointF(6, 5), 9);
    g.setColorAt(0, QColor(110, 170, 250));
    g.setColorAt(1, QColor(25, 80, 190));
    p.setPen(QPen(QColor(20, 50, 130), 1));
    p.setBrush(g);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setPen(Qt::white);
    QFont font;
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("?"));
}

// A round lamp with a highlight, filling `size`.
void DrawLamp(QPainter& p, const QRectF& r, const QColor& colour) {
    QRadialGradient g(r.center() - QPointF(r.width() * 0.18, r.height() * 0.2), r.width() * 0.62);
    g.setColorAt(0, colour.lighter(190));
    g.setColorAt(0.45, colour);
    g.setColorAt(1, colour.darker(170));
    p.setPen(QPen(colour.darker(230), qMax<qreal>(1.0, r.width() / 16)));
    p.setBrush(g);
    p.drawEllipse(r);
}

// Echo waves going out to the upper right from a point.
void DrawWaves(QPainter& p, const QRectF& r, const QColor& colour, int waves) {
    const QPointF origin(r.left() + r.width() * 0.28, r.bottom() - r.height() * 0.28);
    p.setBrush(colour);
    p.setPen(Qt::NoPen);
    const qreal dot = r.width() * 0.09;
    p.drawEllipse(origin, dot, dot);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(colour, qMax<qreal>(1.0, r.width() * 0.075), Qt::SolidLine, Qt::RoundCap));
    for (int i = 1; i <= waves; ++i) {
        const qreal radius = r.width() * (0.12 + 0.17 * i);
        p.drawArc(QRectF(origin.x() - radius, origin.y() - radius, 2 * radius, 2 * radius), 5 * 16, 80 * 16);
    }
}

QPixmap Drawn(int w, int h, const std::function<void(QPainter&)>& draw,
              const QColor& fill = Qt::transparent) {
    QPixmap pixmap = Canvas(w, h, fill);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    draw(p);
    return pixmap;
}

// An icon drawn anew for every size and scale it is asked for, so it stays sharp where Qt
// would otherwise enlarge a small bitmap.
class DrawnIconEngine : public QIconEngine {
public:
    explicit DrawnIconEngine(std::function<QPixmap(int side)> make) : make_(std::move(make)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const qreal scale = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size() * scale, mode, state, scale));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }
    // `size` is in device pixels already (QIcon multiplied it by the ratio).
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        const int side = qMax(1, qMin(size.width(), size.height()));
        QPixmap drawn = make_(side);
        if (mode == QIcon::Disabled && QApplication::style() != nullptr) {
            QStyleOption option;
            drawn = QApplication::style()->generatedIconPixmap(QIcon::Disabled, drawn, &option);
        }
        drawn.setDevicePixelRatio(qMax<qreal>(scale, 1.0));
        return drawn;
    }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = qMin(size.width(), size.height());
        return QSize(side, side);
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (int side : {16, 22, 24, 32, 48, 64, 128, 256}) sizes << QSize(side, side);
        return sizes;
    }
    QIconEngine* clone() const override { return new DrawnIconEngine(make_); }
    QString key() const override { return QStringLiteral("veltrin-drawn"); }

private:
    std::function<QPixmap(int)> make_;
};

// A picture laid out on a 16-unit square, drawn at `side` pixels.
QIcon SixteenUnitIcon(std::function<void(QPainter&)> draw) {
    return QIcon(new DrawnIconEngine([draw = std::move(draw)](int side) {
        return Drawn(side, side, [&](QPainter& p) {
            p.scale(side / 16.0, side / 16.0);
            draw(p);
        });
    }));
}

QPixmap TrayPixmap(int size, const QColor& colour) {
    return Drawn(size, size, [&](QPainter& p) {
        const QRectF r(0.5, 0.5, size - 1.0, size - 1.0);
        DrawLamp(p, r, colour);
        DrawWaves(p, r.adjusted(size * 0.12, size * 0.12, -size * 0.12, -size * 0.12), Qt::white,
                  size >= 22 ? 3 : 2);
    });
}

QIcon TrayIcon(const QColor& colour) {
    return QIcon(new DrawnIconEngine([colour](int side) { return TrayPixmap(side, colour); }));
}

QPixmap AppPixmap(int size) {
    return Drawn(size, size, [size](QPainter& p) {
        const qreal s = size;
        const QRectF r(s * 0.03, s * 0.03, s * 0.94, s * 0.94);
        QLinearGradient g(r.topLeft(), r.bottomRight());
        g.setColorAt(0, QColor(30, 60, 110));
        g.setColorAt(1, QColor(10, 25, 50));
        p.setPen(QPen(QColor(5, 15, 30), qMax<qreal>(1.0, s / 32)));
        p.setBrush(g);
        p.drawRoundedRect(r, s * 0.18, s * 0.18);
        DrawWaves(p, r.adjusted(s * 0.08, s * 0.08, -s * 0.08, -s * 0.08), QColor(0, 255, 0),
                  size >= 24 ? 3 : 2);
    });
}

const std::function<void(QPainter&)>& ToolbarDrawing(int index) {
    static const std::function<void(QPainter&)> images[kToolbarImages] = {
        DrawImport,
        DrawSave,
        [](QPainter& q) {
            DrawHosts(q, 1);
            DrawBadge(q, Badge::Plus);
        },
        [](QPainter& q) {
            DrawHosts(q, 3);
            DrawBadge(q, Badge::Plus);
        },
        [](QPainter& q) {
            DrawHosts(q, 1);
            DrawBadge(q, Badge::Minus);
        },
        [](QPainter& q) {
            DrawHosts(q, 3);
            DrawBadge(q, Badge::Cross);
        },
        DrawHelp,
    };
    return images[index];
}

}  // namespace

const QPixmap& ToolbarStrip() {
    static const QPixmap strip = [] {
        QPixmap pixmap = Canvas(kToolbarImages * kToolbarImageSize, kToolbarImageSize);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        for (int i = 0; i < kToolbarImages; ++i) {
            p.save();
            p.translate(i * kToolbarImageSize, 0);
            p.setClipRect(0, 0, kToolbarImageSize, kToolbarImageSize);
            ToolbarDrawing(i)(p);
            p.restore();
        }
        return pixmap;
    }();
    return strip;
}

QPixmap ToolbarImage(int index) {
    if (index < 0 || index >= kToolbarImages) return QPixmap();
    return ToolbarStrip().copy(index * kToolbarImageSize, 0, kToolbarImageSize, kToolbarImageSize);
}

const QPixmap& GreenBmp() {
    static const QPixmap pixmap =
        Drawn(16, 16, [](QPainter& p) { DrawLamp(p, QRectF(1.5, 1.5, 13, 13), QColor(20, 200, 40)); });
    return pixmap;
}

const QPixmap& RedBmp() {
    static const QPixmap pixmap =
        Drawn(16, 16, [](QPainter& p) { DrawLamp(p, QRectF(1.5, 1.5, 13, 13), QColor(220, 30, 30)); });
    return pixmap;
}

const QIcon& GreenIco() {
    static const QIcon icon = TrayIcon(QColor(20, 190, 40));
    return icon;
}

const QIcon& RedIco() {
    static const QIcon icon = TrayIcon(QColor(215, 30, 30));
    return icon;
}

namespace {

// The program's own icon is the one the desktop shows for it. The sizes a window manager is
// given come from the desktop's own pictures of it (PNG, which Qt reads itself); any other size
// or pixel ratio is drawn from its SVG, sharp at every size. Parsing and rendering the SVG at
// the four sizes the X server is handed took a few milliseconds of every start.
class AppIconEngine : public DrawnIconEngine {
public:
    AppIconEngine() : DrawnIconEngine(&Draw) {}
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (int side : kWindowSides) sizes << QSize(side, side);
        return sizes;
    }
    QIconEngine* clone() const override { return new AppIconEngine(); }
    QString key() const override { return QStringLiteral("veltrin-app"); }

private:
    static constexpr int kWindowSides[] = {16, 32, 64, 128};
    static constexpr int kPictureSides[] = {16, 24, 32, 48, 64, 128, 256};

    static QPixmap Draw(int side) {
        for (int picture : kPictureSides) {
            if (picture != side) continue;
            QPixmap pixmap(QStringLiteral(":/icons/%1x%1/org.veltrin.VeltrinPing.png").arg(side));
            if (!pixmap.isNull()) return pixmap;
        }
        // Without Qt's SVG support the drawn one stands in.
        static const QIcon svg = [] {
            QIcon scalable(QString::fromLatin1(kAppIconResource));
            return scalable.pixmap(QSize(32, 32)).isNull() ? QIcon() : scalable;
        }();
        return svg.isNull() ? AppPixmap(side) : svg.pixmap(QSize(side, side), 1.0);
    }
};

}  // namespace

const QIcon& AppIcon() {
    static const QIcon icon = [] {
        InitIconResources();
        return QIcon(new AppIconEngine());
    }();
    return icon;
}

const QPixmap& T1Bmp() {
    static const QPixmap pixmap = Drawn(
        32, 32,
        [](QPainter& p) {
            const QRectF r(1.5, 1.5, 29, 29);
            QRadialGradient ring(r.center(), 15);
            ring.setColorAt(0.80, QColor(40, 90, 190));
            ring.setColorAt(1.0, QColor(15, 40, 110));
            p.setPen(QPen(QColor(10, 30, 80), 1));
            p.setBrush(ring);
            p.drawEllipse(r);
            p.setBrush(QColor(12, 24, 48));
            p.setPen(Qt::NoPen);
            p.drawEllipse(r.adjusted(3.5, 3.5, -3.5, -3.5));
            DrawWaves(p, r.adjusted(5, 5, -5, -5), QColor(0, 255, 0), 3);
        },
        Qt::white);
    return pixmap;
}

QIcon ToolbarIcon(int index) {
    if (index < 0 || index >= kToolbarImages) return QIcon();
    return SixteenUnitIcon(ToolbarDrawing(index));
}

const QIcon& GreenLamp() {
    static const QIcon icon =
        SixteenUnitIcon([](QPainter& p) { DrawLamp(p, QRectF(1.5, 1.5, 13, 13), QColor(20, 200, 40)); });
    return icon;
}

const QIcon& RedLamp() {
    static const QIcon icon =
        SixteenUnitIcon([](QPainter& p) { DrawLamp(p, QRectF(1.5, 1.5, 13, 13), QColor(220, 30, 30)); });
    return icon;
}

}  // namespace veltrin
