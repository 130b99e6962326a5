// The top window offscreen: shape, place, picture, menu and the commands it reaches. Moving it
// needs a window manager and is covered by the X11 test.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "ui/pictures.h"
#include "ui/topfm.h"

class TopFormTest : public QObject {
    Q_OBJECT

    struct Calls {
        QStringList log;
    };

    static TopCommands Recording(Calls& calls) {
        auto rec = [&calls](const char* name) { return [&calls, name] { calls.log << QString::fromLatin1(name); }; };
        TopCommands c;
        c.ping = rec("ping");
        c.stop = rec("stop");
        c.addone = rec("addone");
        c.addgroup = rec("addgroup");
        c.deletelast = rec("deletelast");
        c.deleteall = rec("deleteall");
        c.importfile = rec("importfile");
        c.updatetray = rec("updatetray");
        c.syscommand = [&calls](int command) { calls.log << QStringLiteral("sys %1").arg(command, 0, 16); };
        return c;
    }

private slots:
    void shapeAndPlace() {
        Calls calls;
        Ttopform top(Recording(calls));
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        QCOMPARE(top.size(), QSize(33, 33));
        QCOMPARE(top.mask(), QRegion(0, 0, 33, 33));
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(top.pos(), QPoint(screen.x() + screen.width() - 150, screen.y() + screen.height() - 150));
        const Qt::WindowFlags flags = top.windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
        QVERIFY(top.parentWidget() == nullptr);
        QVERIFY(!top.mainhidden());
        QVERIFY(calls.log.isEmpty());
    }

    void picture() {
        Calls calls;
        Ttopform top(Recording(calls));
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        const QImage shot = top.grab().toImage();
        QCOMPARE(shot.size(), QSize(33, 33));
        // The black frame.
        for (const QPoint p : {QPoint(0, 0), QPoint(32, 0), QPoint(0, 32), QPoint(32, 32), QPoint(16, 0), QPoint(0, 16)})
            QCOMPARE(shot.pixelColor(p), QColor(Qt::black));
        // The emblem at (1,1): where it is white the button face shows through, elsewhere the
        // emblem's own colours.
        const QImage emblem = veltrin::T1Bmp().toImage();
        QCOMPARE(emblem.size(), QSize(32, 32));
        const QColor white = emblem.pixelColor(0, emblem.height() - 1);
        const QColor face = top.palette().color(QPalette::Button);
        int emblempixels = 0;
        for (int y = 0; y < 31; ++y) {
            for (int x = 0; x < 31; ++x) {
                const QColor src = emblem.pixelColor(x, y);
                const QColor got = shot.pixelColor(x + 1, y + 1);
                if (src.rgb() == white.rgb()) {
                    QCOMPARE(got.rgb(), face.rgb());
                } else if (src.alpha() == 255) {
                    QCOMPARE(got.rgb(), src.rgb());
                    ++emblempixels;
                }
            }
        }
        QVERIFY(emblempixels > 100);  // the emblem is there, not only background
    }

    void menuItems() {
        Calls calls;
        Ttopform top(Recording(calls));
        QStringList captions, names;
        for (QAction* a : top.popmu1()->actions()) {
            captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
            names << a->objectName();
        }
        QCOMPARE(captions, (QStringList{"&Ping", "&Stop", "-", "&Add an address", "Add a &group", "Delete &last address",
                                        "&Delete all addresses", "-", "&Import address from file", "-", "E&xit"}));
        QCOMPARE(names, (QStringList{"ping", "stop", "N1", "addanaddress1", "addagroup1", "deletelastaddress1",
                                     "deletealladdresses1", "N2", "importaddressfromfile1", "N3", "exit1"}));
        const QStringList expected = {"addone", "addgroup", "deletelast", "deleteall", "importfile"};
        for (const char* n : {"addanaddress1", "addagroup1", "deletelastaddress1", "deletealladdresses1",
                                 "importaddressfromfile1"})
            top.popmu1()->findChild<QAction*>(n)->trigger();
        QCOMPARE(calls.log, expected);
    }

    // Ping and Stop refresh the tray icon only while the top window itself hid the main window.
    void pingStopAndTray() {
        Calls calls;
        Ttopform top(Recording(calls));
        top.popmu1()->findChild<QAction*>("ping")->trigger();
        top.popmu1()->findChild<QAction*>("stop")->trigger();
        QCOMPARE(calls.log, (QStringList{"ping", "stop"}));
        calls.log.clear();
        top.ToggleMain();
        QVERIFY(top.mainhidden());
        top.popmu1()->findChild<QAction*>("ping")->trigger();
        top.popmu1()->findChild<QAction*>("stop")->trigger();
        QCOMPARE(calls.log, (QStringList{"sys f020", "ping", "updatetray", "stop", "updatetray"}));
    }

    void doubleClickTogglesMain() {
        Calls calls;
        Ttopform top(Recording(calls));
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        QTest::mouseDClick(&top, Qt::LeftButton, Qt::NoModifier, QPoint(16, 16));
        QVERIFY(top.mainhidden());
        QTest::mouseDClick(&top, Qt::LeftButton, Qt::NoModifier, QPoint(16, 16));
        QVERIFY(!top.mainhidden());
        QTest::mouseDClick(&top, Qt::LeftButton, Qt::NoModifier, QPoint(16, 16));
        QCOMPARE(calls.log, (QStringList{"sys f020", "sys f120", "sys f020"}));
        // A right double-click toggles nothing.
        calls.log.clear();
        QTimer::singleShot(50, &top, [&top] { top.popmu1()->close(); });
        QTimer::singleShot(300, &top, [&top] { top.popmu1()->close(); });
        QTest::mouseDClick(&top, Qt::RightButton, Qt::NoModifier, QPoint(16, 16));
        QVERIFY(calls.log.isEmpty());
    }

    void rightPressOpensMenuAndKeepsPlace() {
        Calls calls;
        Ttopform top(Recording(calls));
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        const QPoint before = top.pos();
        bool shown = false;
        QTimer::singleShot(100, &top, [&] {
            shown = top.popmu1()->isVisible();
            top.popmu1()->close();
        });
        QTest::mousePress(&top, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(shown);
        QCOMPARE(top.pos(), before);
        QVERIFY(calls.log.isEmpty());
    }

    // Without a window manager that can move it (offscreen has none), the square follows the
    // pointer itself; a press alone, or a small jitter, does not move it.
    void dragFallback_data() {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::newRow("left") << Qt::LeftButton;
        QTest::newRow("middle") << Qt::MiddleButton;
    }
    void dragFallback() {
        QFETCH(Qt::MouseButton, button);
        Calls calls;
        Ttopform top(Recording(calls));
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        const QPoint before = top.pos();
        QTest::mousePress(&top, button, Qt::NoModifier, QPoint(5, 5));
        QTest::mouseMove(&top, QPoint(6, 5));
        QCOMPARE(top.pos(), before);
        QTest::mouseMove(&top, QPoint(45, 35));
        QTest::mouseRelease(&top, button, Qt::NoModifier, QPoint(45, 35));
        QCOMPARE(top.pos(), before + QPoint(40, 30));
        QVERIFY(calls.log.isEmpty());
    }

    // "Exit" hides the square at once and posts the close command to the main window.
    void exitPostsClose() {
        Calls calls;
        Ttopform top(Recording(calls));
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        top.popmu1()->findChild<QAction*>("exit1")->trigger();
        QVERIFY(!top.isVisible());
        QVERIFY(calls.log.isEmpty());  // posted, not sent
        QTRY_COMPARE(calls.log, QStringList{"sys f060"});
    }
};

QTEST_MAIN(TopFormTest)
#include "topfm_test.moc"
