// The main window on a real desktop: a private Xvfb with openbox and the trayer notification
// area. Tray icon colours and clicks, the global hot keys from another program, the top window it
// creates, and the close sequence with its report mail to a real SMTP server on loopback.
// Input comes from xdotool, as from a user.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "logs/logfiles.h"
#include "monitor/addresslist.h"
#include "settings/settingsfile.h"
#include "platform/hotkeys.h"
#include "ui/appexit.h"
#include "ui/dialogs.h"
#include "ui/mainfm.h"
#include "ui/topfm.h"
#include "otherclient.h"
#include "xsession_helper.h"

using veltrin::Golbal;
using veltrin::testing::SharedXSession;
using veltrin::testing::XSession;

namespace {

QTemporaryDir* home = nullptr;

#define REQUIRE_X()                                                                   \
    do {                                                                              \
        if (!SharedXSession().ok()) QSKIP(qPrintable(SharedXSession().skipreason())); \
    } while (0)

#define REQUIRE_RAW()                                                                               \
    do {                                                                                            \
        veltrin::IcmpSocket probe;                                                                  \
        if (!probe.ok()) QSKIP("needs root or CAP_NET_RAW: the monitor must run for these checks"); \
    } while (0)

void Fill(Tmainform& w, const std::vector<std::string>& addresses) {
    for (const auto& a : addresses) w.list().Append(a);
}

void Key(const QString& keys) { XSession::Run("xdotool", {"key", "--clearmodifiers", keys}); }
void ClickAt(const QPoint& p, int button) {
    XSession::Run("xdotool", {"mousemove", QString::number(p.x()), QString::number(p.y()), "sleep", "0.2", "click",
                              QString::number(button)});
}

// Waits until the program has asked to end the application more often than `before`, or `ms`
// pass. True when it asked.
int endrequests = 0;
bool QuitWithin(int before, int ms) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (endrequests > before) loop.exit(0);
    });
    poll.start(20);
    QTimer::singleShot(ms, &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 0;
}

// A recording SMTP server on a loopback address of this run's own, port 25.
class SmtpServer {
public:
    explicit SmtpServer(const QString& folder) : record_(folder + QStringLiteral("/smtp-record.txt")) {
        const qint64 pid = QCoreApplication::applicationPid();
        host_ = QStringLiteral("127.26.%1.%2").arg((pid >> 8) & 0xff).arg((pid & 0xfe) + 1);
        process_.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(VELTRIN_TOOLS "/smtp_server.py"), "--host",
                                                            host_, "--port", "25", "--record", record_, "--lifetime",
                                                            "120"});
        if (!process_.waitForStarted(10000)) return;
        QByteArray said;
        while (!said.contains('\n') && process_.waitForReadyRead(20000)) said += process_.readAllStandardOutput();
        ready_ = said.startsWith("READY");
        why_ = QString::fromLocal8Bit(said + process_.readAllStandardError());
    }
    ~SmtpServer() {
        process_.terminate();
        process_.waitForFinished(10000);
    }
    bool ready() const { return ready_; }
    const QString& why() const { return why_; }
    const QString& host() const { return host_; }
    // Values of one kind of event, decoded from the record's hex.
    QList<QByteArray> Events(const char* kind) const {
        QList<QByteArray> out;
        QFile f(record_);
        if (!f.open(QIODevice::ReadOnly)) return out;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const int tab = line.indexOf('\t');
            if (tab > 0 && line.left(tab) == kind) out << QByteArray::fromHex(line.mid(tab + 1));
        }
        return out;
    }

private:
    QString record_, host_, why_;
    QProcess process_;
    bool ready_ = false;
};

}  // namespace

class DesktopXvfbTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        veltrin::SetEndApplicationHook([] { ++endrequests; });
        veltrin::EngineStartup();
        QVERIFY(Golbal() != nullptr);
    }

    void init() {
        Golbal()->mailsetting = veltrin::Tmailsetting{};
        Golbal()->mailsetting.sendsetting = "nothing";
        // Each test starts from its own list, not the one an earlier test's window kept.
        QFile::remove(Tmainform::KeptListPath());
    }

    // Minimise while the monitor runs: a green tray icon "Korbel"; Stop from its menu turns it
    // red; a left click brings the window back and the icon goes.
    void trayColoursMenuAndRestore() {
        REQUIRE_X();
        REQUIRE_RAW();
        QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
        Tmainform w({});
        Fill(w, {"127.0.0.1", "127.0.0.2"});
        w.pingbtnClick();
        QVERIFY(w.monitor().running());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        // The title bar's minimise, as the window manager does it.
        XSession::Run("xdotool", {"windowminimize", QString::number(w.winId())});
        QTRY_VERIFY(w.InTray());
        QTRY_VERIFY(!w.isVisible());
        QSystemTrayIcon* tray = w.TrayIcon();
        QVERIFY(tray != nullptr);
        QVERIFY(tray->isVisible());
        // "Korbel" first; the second line counts the rows that answer.
        QCOMPARE(tray->toolTip().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Korbel"));
        QVERIFY2(tray->toolTip().section(QLatin1Char('\n'), 1).endsWith(QStringLiteral(" answering")),
                 qPrintable(tray->toolTip()));
        QVERIFY(w.TrayGreen());
        QTRY_VERIFY(!tray->geometry().isEmpty());

        // Right button: popmu1 with "Ping", "Stop", "-", "Exit" (with their mnemonics); choose "Stop".
        QMenu* menu = w.TrayMenu();
        QStringList captions;
        for (QAction* a : menu->actions()) captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(captions, (QStringList{"&Ping", "&Stop", "-", "E&xit"}));
        ClickAt(tray->geometry().center(), 3);
        QTRY_VERIFY(menu->isVisible());
        QAction* stop = menu->findChild<QAction*>("s1");
        QVERIFY(stop);
        ClickAt(menu->mapToGlobal(menu->actionGeometry(stop).center()), 1);
        QTRY_VERIFY(!w.monitor().running());
        QVERIFY(!w.TrayGreen());
        QVERIFY(w.InTray());

        // "Ping" from the same menu turns it green again.
        ClickAt(tray->geometry().center(), 3);
        QTRY_VERIFY(menu->isVisible());
        ClickAt(menu->mapToGlobal(menu->actionGeometry(menu->findChild<QAction*>("stop2")).center()), 1);
        QTRY_VERIFY(w.monitor().running());
        QVERIFY(w.TrayGreen());

        // Left button: the window comes back, the icon goes.
        ClickAt(tray->geometry().center(), 1);
        QTRY_VERIFY(w.isVisible());
        QVERIFY(!w.InTray());
        QVERIFY(!tray->isVisible());
    }

    // Stopped first, then minimised: the icon is red from the start.
    void stoppedThenMinimisedIsRed() {
        REQUIRE_X();
        Tmainform w({});
        Fill(w, {"127.0.0.1"});
        w.stopbtnClick();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.SysCommand(Tmainform::SC_MINIMIZE);
        QVERIFY(w.InTray());
        QVERIFY(!w.TrayGreen());
        // A restore while shown only brings it forward.
        w.SysCommand(Tmainform::SC_RESTORE);
        QVERIFY(w.isVisible());
        w.SysCommand(Tmainform::SC_RESTORE);
        QVERIFY(w.isVisible());
        QVERIFY(!w.InTray());
    }

    // With the default chords active, Ctrl+S pressed in another program reaches that program
    // (an editor saves) and opens nothing of ours; Ctrl+Alt+S opens the address log's save dialog,
    // also while the window is in the tray; Ctrl+Alt+P stops the monitor and Ctrl+Alt+T starts
    // it, with the tray icon following.
    void hotKeysFromAnotherProgram() {
        REQUIRE_X();
        REQUIRE_RAW();
        veltrin::DialogRecorder recorder;  // answers every file dialog with "cancel"
        Tmainform w({});
        QVERIFY(w.HotKeys() != nullptr);
        QCOMPARE(w.HotKeys()->Chord(), veltrin::HotKeyChord::CtrlAlt);
        QVERIFY2(w.HotKeys()->Registered() && w.HotKeys()->Failed().empty(), qPrintable(w.HotKeys()->Describe()));
        Fill(w, {"127.0.0.1"});
        w.pingbtnClick();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.SysCommand(Tmainform::SC_MINIMIZE);
        QVERIFY(w.InTray());

        veltrin::testing::OtherClient other;
        QVERIFY(other.Focus());
        QTest::qWait(100);
        other.Forget();
        for (const char* keys : {"ctrl+s", "ctrl+o", "ctrl+t", "ctrl+p"}) Key(keys);
        QTRY_COMPARE(other.Presses('s'), 1);
        QTRY_COMPARE(other.Presses('p'), 1);
        QCOMPARE(other.Presses('o'), 1);
        QCOMPARE(other.Presses('t'), 1);
        QTest::qWait(200);
        QVERIFY(recorder.requests.empty());
        QVERIFY(w.monitor().running());

        Key("ctrl+alt+s");
        QTRY_COMPARE(recorder.requests.size(), std::size_t{1});
        QVERIFY(recorder.requests[0].save);
        Key("ctrl+alt+o");
        QTRY_COMPARE(recorder.requests.size(), std::size_t{2});
        QVERIFY(!recorder.requests[1].save);
        QCOMPARE(other.Presses('s'), 1);  // the hot chord never reached the other program

        QVERIFY(w.TrayGreen());
        Key("ctrl+alt+p");
        QTRY_VERIFY(!w.monitor().running());
        QVERIFY(!w.TrayGreen());
        Key("ctrl+alt+t");
        QTRY_VERIFY(w.monitor().running());
        QVERIFY(w.TrayGreen());
        w.SysCommand(Tmainform::SC_RESTORE);
    }

    // A chord another program already holds is said once in the status bar, naming it; the
    // others work. Choosing Ctrl alone in the settings file takes effect at once.
    void heldChordSaidOnceInTheStatusBar() {
        REQUIRE_X();
        veltrin::DialogRecorder recorder;
        veltrin::testing::OtherClient other;
        QVERIFY(other.Grab('o', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
        Tmainform w({});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto notice = [&w] {
            const auto* label = w.statusBar()->findChild<QLabel*>(QStringLiteral("hotkeynotice"));
            return label != nullptr && label->isVisible() ? label->text() : QString();
        };
        QCOMPARE(notice(), QStringLiteral("Hot key held by another program: Ctrl+Alt+O"));
        QVERIFY(recorder.messages.empty());  // no box
        // Registering again with the same result does not say it again (the text is not set anew).
        auto* label = w.statusBar()->findChild<QLabel*>(QStringLiteral("hotkeynotice"));
        label->setText(QStringLiteral("marker"));
        w.ApplyDesktopSettings();
        QCOMPARE(label->text(), QStringLiteral("marker"));
        label->setText(QStringLiteral("Hot key held by another program: Ctrl+Alt+O"));
        Key("ctrl+alt+s");
        QTRY_COMPARE(recorder.requests.size(), std::size_t{1});

        // Ctrl alone: nothing is held, the word goes, and Ctrl+S is ours now.
        QVERIFY(veltrin::SavePingInteger(Golbal()->inipath, veltrin::kHotKeysKey, veltrin::kHotKeysCtrl));
        w.ApplyDesktopSettings();
        QCOMPARE(w.HotKeys()->Chord(), veltrin::HotKeyChord::Ctrl);
        QVERIFY(w.HotKeys()->Failed().empty());
        QCOMPARE(notice(), QString());
        QVERIFY(other.Focus());
        other.Forget();
        Key("ctrl+s");
        QTRY_COMPARE(recorder.requests.size(), std::size_t{2});
        QCOMPARE(other.Presses('s'), 0);
        QVERIFY(veltrin::SavePingInteger(Golbal()->inipath, veltrin::kHotKeysKey, veltrin::kHotKeysCtrlAlt));
        w.ApplyDesktopSettings();
    }

    // The top window the main window makes: 33 x 33 at (w - 150, h - 150), above a newly raised
    // window; its double-click hides and restores the main window.
    void topWindowOfTheMainWindow() {
        REQUIRE_X();
        Tmainform w({});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Ttopform* top = w.TopForm();
        QVERIFY(top != nullptr);
        QVERIFY(top->isVisible());
        QTRY_COMPARE(XSession::WindowRect(top->winId()), QRect(1024 - 150, 768 - 150, 33, 33));
        w.raise();
        w.activateWindow();
        XSession::Run("xdotool", {"windowactivate", "--sync", QString::number(w.winId())});
        QTest::qWait(200);
        const auto order = XSession::StackingOrder();
        const auto topat = std::find(order.begin(), order.end(), top->winId());
        const auto mainat = std::find(order.begin(), order.end(), w.winId());
        QVERIFY(topat != order.end() && mainat != order.end());
        QVERIFY(topat > mainat);

        XSession::Run("xdotool", {"mousemove", "890", "634", "sleep", "0.2", "click", "--repeat", "2", "--delay", "80", "1"});
        QTRY_VERIFY(w.InTray());
        QVERIFY(!w.isVisible());
        QVERIFY(top->mainhidden());
        QTest::qWait(600);
        XSession::Run("xdotool", {"click", "--repeat", "2", "--delay", "80", "1"});
        QTRY_VERIFY(w.isVisible());
        QVERIFY(!w.InTray());
        QVERIFY(!top->mainhidden());
    }

    // "Exit" in the top window's menu hides it and closes the program through the close
    // sequence: with "all" and three rows the report is mailed and its result shown.
    void exitMailsTheReport() {
        REQUIRE_X();
        SmtpServer server(home->path());
        if (!server.ready()) QSKIP(qPrintable("no SMTP test server: " + server.why()));
        veltrin::DialogRecorder recorder;
        Tmainform w({});
        Fill(w, {"127.0.0.1", "127.0.0.2", "127.0.0.3"});
        veltrin::Tmailsetting& mail = Golbal()->mailsetting;
        mail.smtpserver = server.host().toStdString();
        mail.sendfrom = "monitor@example.test";
        mail.sendto = "admin@example.test";
        mail.subject = "Report";
        mail.authentication = false;
        mail.sendsetting = "all";
        mail.emailtext = "stale text";
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        Ttopform* top = w.TopForm();
        const int before = endrequests;
        top->popmu1()->findChild<QAction*>("exit1")->trigger();
        QVERIFY(!top->isVisible());
        QVERIFY(QuitWithin(before, 30000));
        QVERIFY(!w.isVisible());

        const std::string expected = veltrin::JoinCommaText(veltrin::MainLogLines(w.list().Rows()));
        QCOMPARE(mail.emailtext, expected);
        QCOMPARE(recorder.messages.size(), std::size_t{1});
        QCOMPARE(recorder.messages[0].title, QStringLiteral("Notice"));
        QCOMPARE(recorder.messages[0].text, QStringLiteral("Successfully delivered"));
        QCOMPARE(server.Events("rcpt"), QList<QByteArray>{"admin@example.test"});
        const QList<QByteArray> payload = server.Events("payload");
        QCOMPARE(payload.size(), 1);
        // The settings keep the comma text; the mail carries one line per row, no quotes.
        QList<QByteArray> lines = payload.first().split('\n');
        for (QByteArray& line : lines) line = line.trimmed();
        lines.removeAll(QByteArray());
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].startsWith("127.0.0.1_   TTL "), lines[0].constData());
        QVERIFY2(lines[1].startsWith("127.0.0.2_   TTL "), lines[1].constData());
        QVERIFY2(lines[2].startsWith("127.0.0.3_   TTL "), lines[2].constData());
        QVERIFY(!payload.first().contains('"'));
    }

    // With "nothing" the program ends without a connection and without a message.
    void closeWithNothingSendsNothing() {
        REQUIRE_X();
        QDir().mkpath(home->path() + "/nothing");
        SmtpServer server(home->path() + "/nothing");
        if (!server.ready()) QSKIP(qPrintable("no SMTP test server: " + server.why()));
        veltrin::DialogRecorder recorder;
        Tmainform w({});
        Fill(w, {"127.0.0.1"});
        Golbal()->mailsetting.smtpserver = server.host().toStdString();
        Golbal()->mailsetting.sendsetting = "nothing";
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const int before = endrequests;
        w.close();  // the title bar's close box
        QVERIFY(QuitWithin(before, 10000));
        QVERIFY(!w.isVisible());
        QVERIFY(recorder.messages.empty());
        QVERIFY(server.Events("connect").isEmpty());
    }

    // The close sequence against a server that takes the connection and never answers: the
    // window thread stays free while the mail waits, the tray icon stays, and its "Exit" ends
    // the program at once with no result box.
    void closeMailToASilentServerCanBeEnded() {
        REQUIRE_X();
        const qint64 pid = QCoreApplication::applicationPid();
        const QString host = QStringLiteral("127.27.%1.%2").arg((pid >> 8) & 0xff).arg((pid & 0xfe) + 1);
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(25);
        ::inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
        const int on = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0) {
            ::close(listener);
            QSKIP("cannot listen on port 25 of a loopback address (needs root)");
        }
        veltrin::DialogRecorder recorder;
        auto w = std::make_unique<Tmainform>(QStringList{});
        Fill(*w, {"127.0.0.1"});
        veltrin::Tmailsetting& mail = Golbal()->mailsetting;
        mail.smtpserver = host.toStdString();
        mail.sendfrom = "monitor@example.test";
        mail.sendto = "admin@example.test";
        mail.authentication = false;
        mail.sendsetting = "all";
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const int before = endrequests;
        w->close();
        QVERIFY(!w->isVisible());
        QCOMPARE(endrequests, before);  // still waiting for the server
        QVERIFY(w->MailingOnClose());
        // The client connects while this (the window) thread keeps running its event loop.
        const auto connected = [listener] {
            pollfd p{listener, POLLIN, 0};
            return ::poll(&p, 1, 0) == 1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(connected(), 20000);
        auto* tray = w->findChild<QSystemTrayIcon*>(QStringLiteral("trayicon"));
        QVERIFY(tray != nullptr && tray->isVisible());
        w->TrayMenu()->findChild<QAction*>("Exit1")->trigger();
        QVERIFY(QuitWithin(before, 10000));
        // The mail is given up: no result box comes, and the window goes without waiting for it.
        QTest::qWait(1500);
        QVERIFY(recorder.messages.empty());
        w.reset();
        QVERIFY(recorder.messages.empty());
        ::close(listener);
    }

    // The tray menu's "Exit" ends the program at once, even with "all": no mail, no message.
    void trayExitEndsAtOnce() {
        REQUIRE_X();
        veltrin::DialogRecorder recorder;
        Tmainform w({});
        Fill(w, {"127.0.0.1"});
        Golbal()->mailsetting.sendsetting = "all";
        Golbal()->mailsetting.smtpserver = "";  // would give "SMTP server is empty" if mailed
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.SysCommand(Tmainform::SC_MINIMIZE);
        const int before = endrequests;
        w.TrayMenu()->findChild<QAction*>("Exit1")->trigger();
        QVERIFY(QuitWithin(before, 10000));
        QVERIFY(recorder.messages.empty());
        QCOMPARE(Golbal()->mailsetting.emailtext, std::string());
    }
};

int main(int argc, char** argv) {
    // A home of its own: the main window registers file types and reads its settings there.
    QTemporaryDir dir;
    home = &dir;
    for (const char* sub : {"/config", "/data", "/share"}) QDir().mkpath(dir.path() + sub);
    qputenv("HOME", QFile::encodeName(dir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + "/config"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path() + "/data"));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(dir.path() + "/share"));
    SharedXSession().Start({.windowmanager = true, .tray = true});
    if (!SharedXSession().ok()) qputenv("QT_QPA_PLATFORM", "offscreen");  // tests skip with the reason
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltrin Ping Utility"));
    QApplication::setQuitOnLastWindowClosed(false);
    DesktopXvfbTest test;
    const int result = QTest::qExec(&test, argc, argv);
    veltrin::EngineShutdown();
    return result;
}

#include "desktop_xvfb_test.moc"
