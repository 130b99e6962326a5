// The windows at QT_SCALE_FACTOR=2 on a real X server (Xvfb 1920 x 1080 with openbox, so 960 x
// 540 for the program): each opens with its frame fully on the screen, and the pictures are
// drawn for the doubled pixels instead of being enlarged 16-pixel images.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QToolBar>
#include <QWindow>

#include "engine/global_unit.h"
#include "ui/aboutfm.h"
#include "ui/detailfm.h"
#include "ui/dialogs.h"
#include "ui/mailsetting.h"
#include "ui/mainfm.h"
#include "ui/pictures.h"
#include "ui/screenfit.h"
#include "xsession_helper.h"

using veltrin::testing::SharedXSession;
using veltrin::testing::XSession;

namespace {

#define REQUIRE_X()                                                                   \
    do {                                                                              \
        if (!SharedXSession().ok()) QSKIP(qPrintable(SharedXSession().skipreason())); \
    } while (0)

constexpr int kScreenWidth = 1920, kScreenHeight = 1080;

// The window with the window manager's frame, in the X server's pixels.
QRect OuterRect(const QWidget* window) {
    const QRect client = XSession::WindowRect(window->winId());
    // "_NET_FRAME_EXTENTS(CARDINAL) = 1, 1, 22, 4": left, right, top, bottom.
    const QString out = XSession::Run("xprop", {"-id", QString::number(window->winId()), "_NET_FRAME_EXTENTS"});
    const QStringList parts = out.section('=', 1).split(',', Qt::SkipEmptyParts);
    if (parts.size() != 4) return client;
    const int left = parts[0].trimmed().toInt(), right = parts[1].trimmed().toInt();
    const int top = parts[2].trimmed().toInt(), bottom = parts[3].trimmed().toInt();
    return client.adjusted(-left, -top, right, bottom);
}

bool OnScreen(const QRect& outer) {
    return outer.isValid() && QRect(0, 0, kScreenWidth, kScreenHeight).contains(outer);
}

QString Describe(const QRect& r) {
    return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

Tmailsettingform* FindSettingsWindow() {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* w = qobject_cast<Tmailsettingform*>(top); w != nullptr && w->isVisible()) return w;
    return nullptr;
}

Tdetailform* FindDetailWindow() {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* w = qobject_cast<Tdetailform*>(top); w != nullptr && w->isVisible()) return w;
    return nullptr;
}

}  // namespace

class ScaleXvfbTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { veltrin::EngineStartup(); }

    // The rule itself (no display needed).
    void fitRect_data() {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<bool>("resizable");
        QTest::addColumn<QRect>("fitted");
        const QRect area(0, 0, 960, 540);
        Q_UNUSED(area);
        QTest::newRow("inside stays") << QRect(10, 10, 300, 200) << true << QRect(10, 10, 300, 200);
        QTest::newRow("above the top") << QRect(100, -40, 300, 200) << false << QRect(100, 0, 300, 200);
        QTest::newRow("past the right") << QRect(800, 10, 300, 200) << false << QRect(660, 10, 300, 200);
        QTest::newRow("too tall, resizable") << QRect(180, -40, 600, 650) << true << QRect(180, 0, 600, 540);
        QTest::newRow("too wide, fixed: the title bar stays") << QRect(-5, 100, 1000, 300) << false
                                                              << QRect(0, 100, 1000, 300);
    }
    void fitRect() {
        QFETCH(QRect, frame);
        QFETCH(bool, resizable);
        QFETCH(QRect, fitted);
        QCOMPARE(veltrin::FitRect(frame, QRect(0, 0, 960, 540), resizable), fitted);
    }

    void screenIsScaled() {
        REQUIRE_X();
        QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
        QCOMPARE(QGuiApplication::primaryScreen()->geometry().size(), QSize(960, 540));
    }

    // The main window (593 x 621 as laid out, taller than the scaled screen), the settings
    // window, the about box and the detail window all open with their frames on the screen.
    void windowsOpenFullyOnScreen() {
        REQUIRE_X();
        veltrin::DialogRecorder recorder;
        Tmainform w({});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY2(OnScreen(OuterRect(&w)), qPrintable(Describe(OuterRect(&w))));
        QVERIFY(w.height() < 621);  // made smaller to fit

        w.findChild<QAction*>(QStringLiteral("help1"))->trigger();
        Tmailsettingform* settings = FindSettingsWindow();
        QVERIFY(settings != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(settings));
        QTRY_VERIFY2(OnScreen(OuterRect(settings)), qPrintable(Describe(OuterRect(settings))));
        settings->close();

        w.findChild<QAction*>(QStringLiteral("AboutKorbel1"))->trigger();
        Taboutform* about = nullptr;
        for (Taboutform* box : w.findChildren<Taboutform*>())
            if (box->isVisible()) about = box;
        QVERIFY(about != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(about));
        QTRY_VERIFY2(OnScreen(OuterRect(about)), qPrintable(Describe(OuterRect(about))));
        about->close();

        w.list().Append("127.0.0.1");
        w.OpenDetail(QStringLiteral("127.0.0.1"));
        Tdetailform* detail = FindDetailWindow();
        QVERIFY(detail != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(detail));
        QTRY_VERIFY2(OnScreen(OuterRect(detail)), qPrintable(Describe(OuterRect(detail))));
        detail->close();
        QTRY_VERIFY(!w.detailopen());
        w.stopbtnClick();
    }

    // The tool bar's pictures, the status picture and the program's icon come at the doubled
    // pixel count, drawn for it: a 16-pixel image would come back at 16 pixels (or blurred).
    void picturesDrawnForTheScale() {
        REQUIRE_X();
        Tmainform w({});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const qreal ratio = w.devicePixelRatioF();
        QCOMPARE(ratio, 2.0);
        const QList<QAction*> actions = w.findChild<QToolBar*>(QStringLiteral("ToolBar1"))->actions();
        int pictures = 0;
        for (const QAction* a : actions) {
            if (a->icon().isNull()) continue;
            ++pictures;
            const QPixmap shown = a->icon().pixmap(QSize(16, 16), ratio);
            QCOMPARE(shown.size(), QSize(32, 32));
            QCOMPARE(shown.devicePixelRatio(), 2.0);
        }
        QCOMPARE(pictures, veltrin::kToolbarImages);
        // Drawn for 32 pixels, not the 16-pixel image made larger.
        const QImage drawn = veltrin::ToolbarIcon(2).pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage enlarged = veltrin::ToolbarImage(2).scaled(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
        QVERIFY(drawn != enlarged);
        const QLabel* status = w.findChild<QLabel*>(QStringLiteral("Image1"));
        QCOMPARE(status->pixmap().devicePixelRatio(), 2.0);
        QCOMPARE(status->pixmap().size(), QSize(32, 32));
        QCOMPARE(veltrin::AppIcon().pixmap(QSize(48, 48), 2.0).size(), QSize(96, 96));
        // The program's icon is the desktop icon's SVG, rendered at the size asked for.
        const QImage app = veltrin::AppIcon().pixmap(QSize(200, 200), 1.0).toImage();
        QCOMPARE(app.size(), QSize(200, 200));
        QCOMPARE(app, QIcon(QString::fromLatin1(veltrin::kAppIconResource)).pixmap(QSize(200, 200), 1.0).toImage());
        QCOMPARE(veltrin::GreenIco().pixmap(QSize(22, 22), 2.0).size(), QSize(44, 44));
    }
};

int main(int argc, char** argv) {
    qputenv("QT_SCALE_FACTOR", "2");
    SharedXSession().Start({.windowmanager = true, .tray = false, .width = kScreenWidth, .height = kScreenHeight});
    if (!SharedXSession().ok()) qputenv("QT_QPA_PLATFORM", "offscreen");  // tests skip with the reason
    QApplication app(argc, argv);
    ScaleXvfbTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "scale_xvfb_test.moc"
