// Global hot keys and the top window on a real X server (a private Xvfb with openbox). Key
// presses and mouse input come from xdotool, as from a user; the window with the focus belongs to
// another X client, as another program would.
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "platform/hotkeys.h"
#include "ui/topfm.h"
#include "otherclient.h"
#include "xsession_helper.h"

using veltrin::GlobalHotKeys;
using veltrin::testing::SharedXSession;
using veltrin::testing::XSession;

namespace {

using veltrin::testing::OtherClient;

#define REQUIRE_X()                                                                       \
    do {                                                                                  \
        if (!SharedXSession().ok()) QSKIP(qPrintable(SharedXSession().skipreason()));     \
    } while (0)


void Key(const QString& keys) { XSession::Run("xdotool", {"key", "--clearmodifiers", keys}); }

// Control and Alt as the X server has them (Alt is Mod1 on an Xvfb with its default keymap).
constexpr std::uint16_t kCtrlAlt = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;

}  // namespace

class HotKeysXvfbTest : public QObject {
    Q_OBJECT

private slots:
    // The chosen chord with O, S, T, P reaches the program while another program has the focus,
    // and the focused program never sees it; every other chord of those letters (Ctrl+S itself
    // under the default) goes to the focused program as usual.
    void reachesProgramWhileAnotherHasFocus_data() {
        QTest::addColumn<int>("chord");
        QTest::addColumn<QString>("hot");         // xdotool's prefix for the hot keys
        QTest::addColumn<QStringList>("passing"); // chords of 's' that must reach the other program
        QTest::newRow("Ctrl+Alt, the default") << int(veltrin::HotKeyChord::CtrlAlt) << "ctrl+alt+"
                                               << QStringList{"s", "ctrl+s", "ctrl+shift+s", "alt+s"};
        QTest::newRow("Ctrl alone") << int(veltrin::HotKeyChord::Ctrl) << "ctrl+"
                                    << QStringList{"s", "ctrl+alt+s", "ctrl+shift+s", "alt+s"};
    }
    void reachesProgramWhileAnotherHasFocus() {
        REQUIRE_X();
        QFETCH(int, chord);
        QFETCH(QString, hot);
        QFETCH(QStringList, passing);
        QList<int> got;
        GlobalHotKeys keys([&got](int index) { got << index; }, static_cast<veltrin::HotKeyChord>(chord));
        QVERIFY(keys.Register());
        QVERIFY(keys.Available());
        QVERIFY2(keys.Failed().empty(), qPrintable(keys.Describe()));
        QCOMPARE(keys.Describe(), QStringLiteral("all registered"));

        OtherClient other;
        QVERIFY(other.ok());
        QVERIFY(other.Focus());
        QTest::qWait(100);
        other.Forget();
        for (const char* letter : {"o", "s", "t", "p"}) Key(hot + QLatin1String(letter));
        QTRY_COMPARE(got, (QList<int>{0, 1, 2, 3}));
        // The program took the keys: the focused program never saw the hot S.
        QTest::qWait(100);
        QCOMPARE(other.Presses('s'), 0);

        got.clear();
        for (const QString& keys : passing) Key(keys);
        QTRY_COMPARE(other.Presses('s'), int(passing.size()));
        QTest::qWait(200);
        QVERIFY(got.isEmpty());
    }

    // Off grabs nothing: every chord stays free for other programs.
    void offGrabsNothing() {
        REQUIRE_X();
        QList<int> got;
        GlobalHotKeys keys([&got](int index) { got << index; }, veltrin::HotKeyChord::Off);
        QVERIFY(!keys.Register());
        QVERIFY(!keys.Registered());
        QCOMPARE(keys.Describe(), QStringLiteral("off"));
        OtherClient other;
        QVERIFY(other.ok());
        for (const char letter : {'o', 's', 't', 'p'}) {
            QVERIFY(other.Grab(letter));
            QVERIFY(other.Grab(letter, kCtrlAlt));
        }
        // Turned on later, the keys another program now holds are said, not taken.
        keys.SetChord(veltrin::HotKeyChord::CtrlAlt);
        QVERIFY(keys.Register());
        QCOMPARE(keys.Failed(), (std::vector<int>{0, 1, 2, 3}));
        QCOMPARE(keys.Describe(),
                 QStringLiteral("held by another program: Ctrl+Alt+O, Ctrl+Alt+S, Ctrl+Alt+T, Ctrl+Alt+P"));
    }

    void worksWithCapsLockAndNumLock() {
        REQUIRE_X();
        QList<int> got;
        GlobalHotKeys keys([&got](int index) { got << index; });
        QVERIFY(keys.Register());
        XSession::Run("xdotool", {"key", "Caps_Lock"});
        Key("ctrl+alt+s");
        XSession::Run("xdotool", {"key", "Caps_Lock"});
        QTRY_COMPARE(got, QList<int>{1});
        XSession::Run("xdotool", {"key", "Num_Lock"});
        Key("ctrl+alt+p");
        XSession::Run("xdotool", {"key", "Num_Lock"});
        QTRY_COMPARE(got, (QList<int>{1, 3}));
    }

    void keyHeldByAnotherProgram() {
        REQUIRE_X();
        OtherClient other;
        QVERIFY(other.ok());
        QVERIFY(other.Grab('o', kCtrlAlt));
        QList<int> got;
        GlobalHotKeys keys([&got](int index) { got << index; });
        QVERIFY(keys.Register());
        QCOMPARE(keys.Failed(), std::vector<int>{0});
        QCOMPARE(keys.Describe(), QStringLiteral("held by another program: Ctrl+Alt+O"));
        Key("ctrl+alt+o");
        Key("ctrl+alt+t");
        QTRY_COMPARE(got, QList<int>{2});
        QTest::qWait(200);
        QCOMPARE(got, QList<int>{2});
    }

    void releaseGivesKeysBack() {
        REQUIRE_X();
        QList<int> got;
        {
            GlobalHotKeys keys([&got](int index) { got << index; });
            QVERIFY(keys.Register());
            keys.Release();
            QVERIFY(!keys.Registered());
            Key("ctrl+alt+p");
            QTest::qWait(300);
            QVERIFY(got.isEmpty());
            // Registering again after a release works (nothing of the first grab is left).
            QVERIFY(keys.Register());
            QVERIFY(keys.Failed().empty());
        }  // the destructor releases
        OtherClient other;
        QVERIFY(other.ok());
        for (const char letter : {'o', 's', 't', 'p'}) QVERIFY2(other.Grab(letter, kCtrlAlt), qPrintable(QString(QLatin1Char(letter))));
    }

    // ---- the top window on a real desktop ----------------------------------------------------

    void topWindowPlaceShapeAndStacking() {
        REQUIRE_X();
        Ttopform top(TopCommands{});
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(screen.size(), QSize(1024, 768));
        // Where the X server really has it (Qt's own idea can lag after reparenting).
        QTRY_COMPARE(XSession::WindowRect(top.winId()), QRect(874, 618, 33, 33));

        // A newly raised ordinary window stays below the square.
        QWidget other;
        other.setWindowTitle("other");
        other.setGeometry(700, 500, 400, 300);
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.raise();
        other.activateWindow();
        XSession::Run("xdotool", {"windowactivate", "--sync", QString::number(other.winId())});
        QTest::qWait(200);
        const auto order = XSession::StackingOrder();
        const auto topat = std::find(order.begin(), order.end(), top.winId());
        const auto otherat = std::find(order.begin(), order.end(), other.winId());
        QVERIFY(topat != order.end());
        QVERIFY(otherat != order.end());
        QVERIFY2(topat > otherat, "the top window went below a newly raised window");
    }

    void topWindowDragsWithLeftNotRight() {
        REQUIRE_X();
        Ttopform top(TopCommands{});
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        QTRY_COMPARE(XSession::WindowRect(top.winId()).topLeft(), QPoint(874, 618));
        const QPoint start(874 + 16, 618 + 16);

        // Right button: the menu opens, the window stays. (The menu takes the mouse, so the
        // press ends with closing the menu, not with a release over one of its items.)
        // The menu runs its own event loop; a timer inside it looks and closes it.
        bool menushown = false;
        QTimer closer;
        closer.setInterval(100);
        connect(&closer, &QTimer::timeout, &top, [&] {
            if (top.popmu1()->isVisible()) {
                menushown = true;
                top.popmu1()->close();
            }
        });
        closer.start();
        XSession::Detached("xdotool", {"mousemove", QString::number(start.x()), QString::number(start.y()),
                                       "sleep", "0.2", "mousedown", "3"});
        QTRY_VERIFY(menushown);
        closer.stop();
        XSession::Run("xdotool", {"mouseup", "3"});
        QTest::qWait(300);
        QCOMPARE(XSession::WindowRect(top.winId()).topLeft(), QPoint(874, 618));

        // Left button: the window follows the mouse. Detached, so this thread keeps handling the
        // pointer events while xdotool plays them.
        XSession::Detached("xdotool", {"mousemove", QString::number(start.x()), QString::number(start.y()),
                                       "sleep", "0.2", "mousedown", "1", "sleep", "0.3", "mousemove_relative", "--", "10", "5",
                                       "sleep", "0.4", "mousemove_relative", "--", "-60", "-40", "sleep", "0.2",
                                       "mousemove_relative", "--", "-70", "-45", "sleep", "0.4", "mouseup", "1"});
        QTest::qWait(2500);
        const QPoint moved = XSession::WindowRect(top.winId()).topLeft();
        // The window manager moves it with the pointer from where the move began (after the first
        // small step) by (-130, -85); a few pixels either way for snapping.
        QVERIFY2(std::abs(moved.x() - (874 - 130)) <= 15 && std::abs(moved.y() - (618 - 85)) <= 15,
                 qPrintable(QStringLiteral("moved to %1,%2").arg(moved.x()).arg(moved.y())));
    }

    void topWindowDoubleClick() {
        REQUIRE_X();
        QList<int> commands;
        TopCommands c;
        c.syscommand = [&commands](int command) { commands << command; };
        Ttopform top(c);
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        QTRY_COMPARE(XSession::WindowRect(top.winId()).topLeft(), QPoint(874, 618));
        XSession::Run("xdotool", {"mousemove", "890", "634", "sleep", "0.2", "click", "--repeat", "2", "--delay", "80", "1"});
        QTRY_COMPARE(commands, QList<int>{Ttopform::SC_MINIMIZE});
        QVERIFY(top.mainhidden());
        QTest::qWait(600);  // apart from the first double-click
        XSession::Run("xdotool", {"click", "--repeat", "2", "--delay", "80", "1"});
        QTRY_COMPARE(commands, (QList<int>{Ttopform::SC_MINIMIZE, Ttopform::SC_RESTORE}));
        QVERIFY(!top.mainhidden());
    }
};

int main(int argc, char** argv) {
    SharedXSession().Start({.windowmanager = true, .tray = false});
    if (!SharedXSession().ok()) qputenv("QT_QPA_PLATFORM", "offscreen");  // tests skip with the reason
    QApplication app(argc, argv);
    HotKeysXvfbTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "hotkeys_xvfb_test.moc"
