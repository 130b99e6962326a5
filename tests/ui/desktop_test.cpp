// The main window's desktop pieces that need no real X server: the connectivity check in the
// title (real ICMP on loopback), the auto start toggle, the about boxes and the top window's
// commands reaching the main window.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <string>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "platform/autostart.h"
#include "ui/aboutfm.h"
#include "ui/dialogs.h"
#include "ui/mainfm.h"
#include "ui/topfm.h"

using veltrin::Golbal;

class DesktopTest : public QObject {
    Q_OBJECT

    QTemporaryDir home_;
    int count_ = 0;

    void FreshHome() {
        const QString dir = home_.path() + QStringLiteral("/h%1").arg(++count_);
        QDir().mkpath(dir + "/config");
        QDir().mkpath(dir + "/data");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir + "/config"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir + "/data"));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(dir + "/share"));
    }

    static QAction* MenuItem(Tmainform& w, const char* name) { return w.findChild<QAction*>(QLatin1String(name)); }

private slots:
    void initTestCase() {
        QVERIFY(home_.isValid());
        veltrin::EngineStartup();
        QApplication::setApplicationName(QStringLiteral("Veltrin Ping Utility"));
    }
    void init() { FreshHome(); }

    // The check writes "some begin", "some ok", "some end" in that order while the monitor runs;
    // the probe and its 2000 ms wait happen off the window thread, so the window keeps working.
    void captionFromTheCheck() {
        veltrin::IcmpSocket raw;
        if (!raw.ok()) QSKIP("needs root or CAP_NET_RAW for the monitor and the probe");
        Tmainform w({});
        QCOMPARE(QString::fromStdString(Golbal()->probehost), QStringLiteral("127.0.0.1"));  // loopback in tests
        QStringList titles;
        QList<int> ticksat;  // timer ticks seen when each title came
        int ticks = 0;
        connect(&w, &QWidget::windowTitleChanged, this, [&](const QString& t) {
            titles << t;
            ticksat << ticks;
        });
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(50);
        w.list().Append("127.0.0.1");
        w.pingbtnClick();
        QTRY_VERIFY_WITH_TIMEOUT(titles.size() >= 6, 15000);
        QCOMPARE(titles.mid(0, 6), (QStringList{"some begin", "some ok", "some end", "some begin", "some ok", "some end"}));
        // Between "some ok" and "some end" the check waits 2000 ms; a 50 ms timer of the window
        // must have run through that wait (at least a quarter of its 40 turns on a busy machine).
        QVERIFY2(ticksat[2] - ticksat[1] >= 10, qPrintable(QString::number(ticksat[2] - ticksat[1])));

        // Stopped, the title keeps the last text written.
        w.stopbtnClick();
        QTest::qWait(500);
        const QString last = w.windowTitle();
        const qsizetype seen = titles.size();
        QTest::qWait(4500);
        QCOMPARE(w.windowTitle(), last);
        QCOMPARE(titles.size(), seen);
        // Ping resumes it.
        w.pingbtnClick();
        QTRY_VERIFY_WITH_TIMEOUT(titles.size() > seen, 10000);
        w.stopbtnClick();
    }

    void autoStartToggle() {
        veltrin::DialogRecorder recorder;
        Tmainform w({});
        QAction* item = MenuItem(w, "Autorun1");
        QVERIFY(item);
        QVERIFY(!item->isChecked());
        const QString entry = veltrin::autostart::EntryPath();
        item->trigger();
        QVERIFY(item->isChecked());
        QVERIFY(QFile::exists(entry));
        item->trigger();
        QVERIFY(!item->isChecked());
        QVERIFY(!QFile::exists(entry));
        QVERIFY(recorder.messages.empty());

        // A plain file where the autostart folder belongs: the entry cannot be written.
        const QString folder = QFileInfo(entry).absolutePath();
        QDir(folder).removeRecursively();
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        item->trigger();
        QVERIFY(!item->isChecked());
        QCOMPARE(recorder.messages.size(), std::size_t{1});
        QCOMPARE(recorder.messages[0].text, QStringLiteral("Fail to modify the setting"));
        QVERIFY(recorder.messages[0].plain);
    }

    void autoStartRemovalFails() {
        veltrin::DialogRecorder recorder;
        const QString entry = veltrin::autostart::EntryPath();
        QVERIFY(veltrin::autostart::Enable(QStringLiteral("/usr/bin/true")));
        Tmainform w({});
        QAction* item = MenuItem(w, "Autorun1");
        QVERIFY(item->isChecked());  // found at start-up
        // A folder under the entry's name cannot be removed as a file: removal fails.
        QVERIFY(QFile::remove(entry));
        QVERIFY(QDir().mkpath(entry + "/keep"));
        item->trigger();
        QVERIFY(item->isChecked());
        QCOMPARE(recorder.messages.size(), std::size_t{1});
        QCOMPARE(recorder.messages[0].text, QStringLiteral("Fail to modify the setting"));
    }

    void aboutBoxes() {
        Tmainform w({});
        QAction* about = MenuItem(w, "AboutKorbel1");
        QVERIFY(about);
        QCOMPARE(about->text(), QStringLiteral("&About "));
        about->trigger();
        about->trigger();
        const auto boxes = w.findChildren<Taboutform*>();
        QCOMPARE(boxes.size(), 2);
        for (Taboutform* box : boxes) {
            QVERIFY(box->isVisible());
            QVERIFY(!box->isModal());
            QVERIFY(box->testAttribute(Qt::WA_DeleteOnClose));
        }
        boxes.first()->Button1()->click();
        QTRY_COMPARE(w.findChildren<Taboutform*>().size(), 1);
    }

    // The top window comes once the main window has been painted, not before it: found among
    // the application's windows without asking the main window for it (which makes it at once).
    static QList<Ttopform*> TopWindows() {
        QList<Ttopform*> found;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* top = qobject_cast<Ttopform*>(widget)) found << top;
        return found;
    }

    void topWindowFollowsTheFirstPaint() {
        Tmainform w({});
        QVERIFY(TopWindows().isEmpty());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_COMPARE(TopWindows().size(), 1);
        QVERIFY(TopWindows().front()->isVisible());
        QCOMPARE(w.TopForm(), TopWindows().front());
        QTest::qWait(100);
        QCOMPARE(TopWindows().size(), 1);  // one, whatever paints follow
    }

    // A main window that is not shown still gets its top window, a little later.
    void topWindowOfAWindowNotShown() {
        Tmainform w({});
        QVERIFY(TopWindows().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(TopWindows().size(), 1, 10000);
        QVERIFY(TopWindows().front()->isVisible());
        QCOMPARE(w.TopForm(), TopWindows().front());
    }

    // The top window made at start-up reaches the main window's own commands.
    void topWindowCommands() {
        veltrin::DialogRecorder recorder;
        Tmainform w({});
        w.show();
        Ttopform* top = w.TopForm();
        QVERIFY(top && top->isVisible());
        w.list().Append("127.0.0.1");
        w.list().Append("127.0.0.2");

        // "Import address from file" opens the main window's open dialog (cancelled here).
        top->popmu1()->findChild<QAction*>("importaddressfromfile1")->trigger();
        QCOMPARE(recorder.requests.size(), std::size_t{1});
        QVERIFY(!recorder.requests[0].save);

        // Double-click: into the tray and back.
        top->ToggleMain();
        QVERIFY(w.InTray());
        QVERIFY(!w.isVisible());
        top->popmu1()->findChild<QAction*>("stop")->trigger();
        QVERIFY(!w.monitor().running());
        QVERIFY(!w.TrayGreen());
        top->ToggleMain();
        QVERIFY(!w.InTray());
        QVERIFY(w.isVisible());

        // "Delete all addresses" empties the list and stops the monitor once the user agreed.
        recorder.QueueQuestionAnswer(true);
        top->popmu1()->findChild<QAction*>("deletealladdresses1")->trigger();
        QCOMPARE(recorder.questions.size(), std::size_t{1});
        QCOMPARE(w.list().Count(), 0);
    }

    // Offscreen there is no tray: a hot key is then the way back to a hidden main window, and it
    // still runs its own command. With a tray the window would stay hidden (desktop_xvfb).
    void hotKeyBringsBackAWindowNoTrayShows() {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        Tmainform w({});
        w.show();
        w.list().Append("127.0.0.1");
        w.SysCommand(0xF020);
        QVERIFY(w.InTray());
        QVERIFY(!w.isVisible());
        w.HotKeyPressed(3);  // Ctrl+P
        QVERIFY(!w.InTray());
        QVERIFY(w.isVisible());
        QVERIFY(!w.monitor().running());
    }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
