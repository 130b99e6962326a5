// The main window's keyboard, offscreen: Ctrl+O/S/T/P inside the window, File > Exit and Ctrl+Q
// running the close sequence, a status-bar word for keys that cannot be had, and the add
// dialogs taking one Enter per press. The desktop-wide chords on a real X server are in
// desktop_xvfb_test and hotkeys_xvfb_test.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <string>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "monitor/addresslist.h"
#include "platform/hotkeys.h"
#include "settings/settingsfile.h"
#include "ui/addmore.h"
#include "ui/addone.h"
#include "ui/appexit.h"
#include "ui/dialogs.h"
#include "ui/mainfm.h"

using veltrin::Golbal;

namespace {

void PressRepeatedEnter(QWidget* target) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), true);
    QApplication::sendEvent(target, &press);
}

}  // namespace

class MainKeysTest : public QObject {
    Q_OBJECT

    QTemporaryDir home_;
    int count_ = 0;
    int endrequests_ = 0;
    std::unique_ptr<veltrin::DialogRecorder> dialogs_;

    void FreshHome() {
        const QString dir = home_.path() + QStringLiteral("/h%1").arg(++count_);
        QDir().mkpath(dir + "/config");
        QDir().mkpath(dir + "/data");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir + "/config"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir + "/data"));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(dir + "/share"));
    }

    static bool Activate(QWidget& w) {
        w.show();
        QApplication::setActiveWindow(&w);
        return QTest::qWaitForWindowActive(&w);
    }

private slots:
    void initTestCase() {
        QVERIFY(home_.isValid());
        veltrin::EngineStartup();
        veltrin::SetEndApplicationHook([this] { ++endrequests_; });
    }
    void cleanupTestCase() { veltrin::SetEndApplicationHook(nullptr); }
    void init() {
        FreshHome();
        endrequests_ = 0;
        Golbal()->mailsetting = veltrin::Tmailsetting{};
        dialogs_ = std::make_unique<veltrin::DialogRecorder>();
    }
    void cleanup() { dialogs_.reset(); }

    // Inside the main window the plain Ctrl chords run the four commands, whatever the
    // desktop-wide setting (which offscreen has no grabs at all).
    void windowShortcuts_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("dialogs");  // file dialogs asked for
        QTest::addColumn<bool>("save");    // the last one was a save dialog
        QTest::addColumn<bool>("running");
        QTest::newRow("Ctrl+O imports") << int(Qt::Key_O) << 1 << false << false;
        QTest::newRow("Ctrl+S saves") << int(Qt::Key_S) << 1 << true << false;
        QTest::newRow("Ctrl+T starts") << int(Qt::Key_T) << 0 << false << true;
        QTest::newRow("Ctrl+P stops") << int(Qt::Key_P) << 0 << false << false;
    }
    void windowShortcuts() {
        QFETCH(int, key);
        QFETCH(int, dialogs);
        QFETCH(bool, save);
        QFETCH(bool, running);
        Tmainform w({});
        w.list().Append("127.0.0.1");
        if (key == Qt::Key_T) {
            w.stopbtnClick();
            QVERIFY(!w.monitor().running());
        } else {
            w.pingbtnClick();
        }
        QVERIFY(Activate(w));
        w.ListV1()->setFocus();
        const bool wasrunning = w.monitor().running();
        QTest::keyClick(&w, static_cast<Qt::Key>(key), Qt::ControlModifier);
        QCOMPARE(int(dialogs_->requests.size()), dialogs);
        if (dialogs > 0) QCOMPARE(dialogs_->requests.back().save, save);
        if (key == Qt::Key_T || key == Qt::Key_P)
            QCOMPARE(w.monitor().running(), running);
        else
            QCOMPARE(w.monitor().running(), wasrunning);
        QVERIFY(w.isVisible());
        QCOMPARE(endrequests_, 0);
    }

    // The shortcuts are shown beside their menu items.
    void shortcutsOnTheMenuItems() {
        Tmainform w({});
        const struct {
            const char* action;
            const char* keys;
        } expected[] = {{"OPen1", "Ctrl+O"}, {"save1", "Ctrl+S"}, {"start1", "Ctrl+T"}, {"stop1", "Ctrl+P"},
                        {"exit1", "Ctrl+Q"}};
        for (const auto& e : expected) {
            QAction* action = w.findChild<QAction*>(QLatin1String(e.action));
            QVERIFY2(action != nullptr, e.action);
            QCOMPARE(action->shortcut().toString(QKeySequence::PortableText), QString::fromLatin1(e.keys));
        }
    }

    // File > Exit, Ctrl+Q and the window's own close all run the close sequence: the window goes,
    // the report the send setting asks for is handled, and the application is asked to end once.
    void exitRunsTheCloseSequence_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("File > Exit") << "menu";
        QTest::newRow("Ctrl+Q") << "key";
        QTest::newRow("close button") << "close";
    }
    void exitRunsTheCloseSequence() {
        QFETCH(QString, how);
        Golbal()->mailsetting.sendsetting = "nothing";
        Tmainform w({});
        QVERIFY(Activate(w));
        if (how == "menu")
            w.findChild<QAction*>(QStringLiteral("exit1"))->trigger();
        else if (how == "key")
            QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
        else
            w.close();
        QTRY_COMPARE(endrequests_, 1);
        QVERIFY(!w.isVisible());
        QVERIFY(!w.InTray());
        QVERIFY(dialogs_->messages.empty());
    }

    // Offscreen no key can be grabbed: nothing is said about held keys, and the chord follows
    // the settings file.
    void noWordWhereNoKeysCanBeGrabbed() {
        Tmainform w({});
        QVERIFY(w.HotKeys() != nullptr);
        QVERIFY(!w.HotKeys()->Available());
        QCOMPARE(w.HotKeys()->Chord(), veltrin::HotKeyChord::CtrlAlt);
        QVERIFY(w.statusBar()->findChild<QLabel*>(QStringLiteral("hotkeynotice")) == nullptr);
        QVERIFY(veltrin::SavePingInteger(Golbal()->inipath, veltrin::kHotKeysKey, veltrin::kHotKeysOff));
        w.ApplyDesktopSettings();
        QCOMPARE(w.HotKeys()->Chord(), veltrin::HotKeyChord::Off);
        QCOMPARE(w.HotKeys()->Describe(), QStringLiteral("off"));
        QVERIFY(w.statusBar()->findChild<QLabel*>(QStringLiteral("hotkeynotice")) == nullptr);
    }

    // An empty probe host turns the check off: the title keeps the program's name while the
    // monitor runs, and setting a host back brings the check.
    void emptyProbeHostTurnsTheCheckOff() {
        veltrin::IcmpSocket raw;
        if (!raw.ok()) QSKIP("needs root or CAP_NET_RAW for the monitor and the probe");
        Tmainform w({});
        Golbal()->probehost.clear();
        w.ApplyDesktopSettings();
        QStringList titles;
        connect(&w, &QWidget::windowTitleChanged, this, [&](const QString& t) { titles << t; });
        w.list().Append("127.0.0.1");
        w.pingbtnClick();
        QVERIFY(w.monitor().running());
        QTest::qWait(2500);  // more than one round of the check
        QVERIFY2(titles.isEmpty(), qPrintable(titles.join(", ")));
        QCOMPARE(w.windowTitle(), QStringLiteral("Veltrin Ping Utility"));
        Golbal()->probehost = "127.0.0.1";
        QTRY_VERIFY_WITH_TIMEOUT(titles.contains(QStringLiteral("some ok")), 10000);
        Golbal()->probehost.clear();
        w.ApplyDesktopSettings();
        QCOMPARE(w.windowTitle(), QStringLiteral("Veltrin Ping Utility"));
        w.stopbtnClick();
    }

    // One Enter per press in the add-one dialog: Enter moves from the field to "Add", a held
    // (repeating) Enter does not press "Add", a fresh press adds the address once.
    void addOneTakesEnterOnce() {
        veltrin::AddressList list;
        Taddonefm dialog(list);
        QVERIFY(Activate(dialog));
        dialog.Edit1->setFocus();
        QTest::keyClicks(dialog.Edit1, QStringLiteral("127.0.0.1"));
        QTest::keyClick(dialog.Edit1, Qt::Key_Return);
        QVERIFY(dialog.Button1->hasFocus());
        PressRepeatedEnter(dialog.Button1);
        PressRepeatedEnter(dialog.Button1);
        QCOMPARE(list.Count(), 0);
        QVERIFY(dialog.isVisible());
        QTest::keyClick(dialog.Button1, Qt::Key_Return);
        QCOMPARE(list.Count(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
    }

    // A refused address and a held Enter: one message, not one per repeat.
    void heldEnterOnARefusedAddressSaysItOnce() {
        veltrin::AddressList list;
        Taddonefm dialog(list);
        QVERIFY(Activate(dialog));
        dialog.Edit1->setFocus();
        QTest::keyClicks(dialog.Edit1, QStringLiteral("300.1.1.1"));
        QTest::keyClick(dialog.Edit1, Qt::Key_Return);
        QTest::keyClick(dialog.Button1, Qt::Key_Return);
        for (int i = 0; i < 5; ++i) PressRepeatedEnter(dialog.Button1);
        QCOMPARE(dialogs_->Texts(), QStringList({"Nonexistent address"}));
        QCOMPARE(list.Count(), 0);
    }

    // The add-group dialog likewise: a held Enter walks no further than "Add".
    void addGroupTakesEnterOnce() {
        veltrin::AddressList list;
        Taddmorefm::SetGroupprefix(QString());
        Taddmorefm dialog(list);
        QVERIFY(Activate(dialog));
        dialog.Edit1->setFocus();
        QTest::keyClicks(dialog.Edit1, QStringLiteral("127.0.0.1"));
        QTest::keyClick(dialog.Edit1, Qt::Key_Return);  // to the end field, with the prefix
        QVERIFY(dialog.Edit2->hasFocus());
        QTest::keyClicks(dialog.Edit2, QStringLiteral("3"));
        QTest::keyClick(dialog.Edit2, Qt::Key_Return);
        QVERIFY(dialog.Button1->hasFocus());
        PressRepeatedEnter(dialog.Button1);
        QCOMPARE(list.Count(), 0);
        QTest::keyClick(dialog.Button1, Qt::Key_Return);
        QCOMPARE(list.Count(), 3);
    }
};

QTEST_MAIN(MainKeysTest)
#include "mainkeys_test.moc"
