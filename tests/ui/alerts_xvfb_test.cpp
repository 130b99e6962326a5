// Alerts at real peers: desktop notifications at a real notification server (dunst under Xvfb,
// on a private session bus of this test run only), read back from the server's own history;
// mail alerts at the real SMTP server on loopback; and a whole answering -> not answering ->
// answering cycle of the main window's monitor, in a network namespace of its own where only
// loopback exists and loopback's answers are switched off and on.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "settings/settingsfile.h"
#include "ui/addresslistmodel.h"
#include "ui/alerts.h"
#include "ui/mainfm.h"
#include "xsession_helper.h"

using veltrin::RowState;
using veltrin::StateChange;
using veltrin::testing::SharedXSession;

namespace {

constexpr char kPrivateBusVariable[] = "VELTRIN_TEST_PRIVATE_BUS";

QString skipreason;  // why there is no notification server, when there is none

StateChange Change(int row, const std::string& address, RowState from, RowState to) {
    StateChange c;
    c.row = row;
    c.address = address;
    c.ip = address;
    c.from = from;
    c.to = to;
    c.status.state = to;
    c.status.sent = 6;
    c.status.received = 4;
    c.status.lost = 2;
    c.status.consecutivelost = to == RowState::NotAnswering ? 2 : 0;
    c.status.sincems = QDateTime::currentMSecsSinceEpoch();
    return c;
}

QString Dunstctl(const QStringList& arguments) {
    QProcess p;
    p.start(QStringLiteral("dunstctl"), arguments);
    if (!p.waitForFinished(10000)) return {};
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// Every notification the server has had, oldest first: summary and body. Shown ones are closed
// first so that the history holds them all.
struct Seen {
    QString summary;
    QString body;
    qint64 id = 0;  // the server numbers notifications as they arrive
};
int base = 0;  // notifications the server had before the current test

int ServerCount() {
    int n = 0;
    for (const char* which : {"displayed", "history", "waiting"}) n += Dunstctl({"count", which}).toInt();
    return n - base;
}

// The current test's notifications.
std::vector<Seen> ServerHistory() {
    Dunstctl({"close-all"});
    const QJsonDocument doc = QJsonDocument::fromJson(Dunstctl({"history"}).toUtf8());
    std::vector<Seen> out;
    const QJsonArray all = doc.object().value(QStringLiteral("data")).toArray().at(0).toArray();
    for (const QJsonValue& v : all) {
        const QJsonObject o = v.toObject();
        out.push_back({o.value("summary").toObject().value("data").toString(),
                       o.value("body").toObject().value("data").toString(),
                       o.value("id").toObject().value("data").toInteger()});
    }
    // Newest first; the history's own order also depends on urgency.
    std::sort(out.begin(), out.end(), [](const Seen& a, const Seen& b) { return a.id > b.id; });
    const int mine = std::max(0, std::min(ServerCount(), static_cast<int>(out.size())));
    out.resize(static_cast<std::size_t>(mine));
    std::reverse(out.begin(), out.end());
    return out;
}

bool SetLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    ::close(fd);
    return ok;
}

// This namespace's kernel echo answers on (false) or off (true).
bool IgnoreEchoes(bool ignore) {
    QFile f(QStringLiteral("/proc/sys/net/ipv4/icmp_echo_ignore_all"));
    if (!f.open(QIODevice::WriteOnly)) return false;
    return f.write(ignore ? "1\n" : "0\n") == 2;
}

class SmtpServer {
  public:
    QString Start(const QString& record) {
        const QString script = QStringLiteral(VELTRIN_TOOLS "/smtp_server.py");
        if (!QFile::exists(script)) return QStringLiteral("tests/tools/smtp_server.py is not there");
        const qint64 pid = QCoreApplication::applicationPid();
        host_ = QStringLiteral("127.26.%1.%2").arg((pid >> 8) & 0xff).arg((pid & 0xfe) + 1);
        process_.start(QStringLiteral("/usr/bin/python3"),
                       {script, "--host", host_, "--port", "25", "--record", record, "--lifetime", "120"});
        if (!process_.waitForStarted(10000)) return process_.errorString();
        QByteArray said;
        while (!said.contains('\n') && process_.waitForReadyRead(20000)) said += process_.readAllStandardOutput();
        if (!said.startsWith("READY")) return QString::fromUtf8(said + process_.readAllStandardError());
        return {};
    }
    void Stop() {
        process_.terminate();
        process_.waitForFinished(10000);
    }
    const QString& host() const { return host_; }

  private:
    QProcess process_;
    QString host_;
};

// The record file's events of one kind (see smtp_server.py), decoded.
QList<QByteArray> RecordEvents(const QString& path, const QByteArray& kind) {
    QFile f(path);
    QList<QByteArray> out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const qsizetype tab = line.indexOf('\t');
        if (tab < 0 || line.left(tab) != kind) continue;
        out << QByteArray::fromHex(line.mid(tab + 1));
    }
    return out;
}

}  // namespace

class AlertsTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QProcess> dunst_;
    QTemporaryDir tmp_;

    void NeedServer() {}

  private slots:
    void initTestCase() {
        if (!skipreason.isEmpty()) return;
        if (!SharedXSession().ok()) {
            skipreason = SharedXSession().skipreason();
            return;
        }
        if (QStandardPaths::findExecutable(QStringLiteral("dunst")).isEmpty()) {
            skipreason = QStringLiteral("dunst is not installed (scripts/install-deps.sh)");
            return;
        }
        const QString config = tmp_.path() + QStringLiteral("/dunstrc");
        QFile rc(config);
        rc.open(QIODevice::WriteOnly);
        // Nothing times out by itself, so the history holds exactly what arrived.
        rc.write("[global]\n    monitor = 0\n    sticky_history = yes\n    history_length = 100\n"
                 "[urgency_low]\n    timeout = 0\n[urgency_normal]\n    timeout = 0\n"
                 "[urgency_critical]\n    timeout = 0\n");
        rc.close();
        dunst_ = std::make_unique<QProcess>();
        dunst_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        dunst_->start(QStringLiteral("dunst"), {QStringLiteral("-config"), config});
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        for (int i = 0; i < 100 && bus && !bus->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")); ++i)
            QTest::qWait(100);
        if (!bus || !bus->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")))
            skipreason = QStringLiteral("dunst did not take the notification service on the private bus");
    }

    void cleanupTestCase() {
        if (dunst_) {
            dunst_->terminate();
            dunst_->waitForFinished(5000);
        }
    }

    void init() {
        if (!skipreason.isEmpty()) QSKIP(qPrintable(skipreason));
        base = 0;
        base = ServerCount();
    }

    // One host down, then up again: exactly one notification per change, in the server's words.
    void onePerChange() {
        veltrin::Alerts alerts;
        alerts.Changes({Change(0, "127.0.0.7", RowState::Answering, RowState::NotAnswering)});
        QTRY_COMPARE_WITH_TIMEOUT(ServerCount(), 1, 10000);
        alerts.Changes({Change(0, "127.0.0.7", RowState::NotAnswering, RowState::Answering)});
        QTRY_COMPARE_WITH_TIMEOUT(ServerCount(), 2, 10000);
        QTest::qWait(1500);  // nothing else follows
        const std::vector<Seen> seen = ServerHistory();
        QCOMPARE(seen.size(), std::size_t{2});
        QCOMPARE(seen[0].summary, QStringLiteral("127.0.0.7 stopped answering"));
        QVERIFY2(seen[0].body.contains(QStringLiteral("not answering since")), qPrintable(seen[0].body));
        QCOMPARE(seen[1].summary, QStringLiteral("127.0.0.7 is answering again"));
        // Changes that are no news (never answered, no address) tell nobody.
        alerts.Changes({Change(1, "127.0.0.8", RowState::NotYetPinged, RowState::NeverAnswered),
                        Change(2, "300.1.1.1", RowState::NotYetPinged, RowState::NoAddress)});
        QTest::qWait(1500);
        QCOMPARE(ServerCount(), 2);
    }

    // Twelve hosts going down within a second make one notification that says so.
    void coalescedWithinASecond() {
        veltrin::Alerts alerts;
        for (int batch = 0; batch < 3; ++batch) {
            std::vector<StateChange> changes;
            for (int i = 0; i < 4; ++i) {
                const int row = batch * 4 + i;
                changes.push_back(
                    Change(row, "127.0.1." + std::to_string(row + 1), RowState::Answering, RowState::NotAnswering));
            }
            alerts.Changes(changes);
            QTest::qWait(150);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ServerCount(), 1, 10000);
        QTest::qWait(1500);
        const std::vector<Seen> seen = ServerHistory();
        QCOMPARE(seen.size(), std::size_t{1});
        QCOMPARE(seen[0].summary, QStringLiteral("12 hosts stopped answering"));
        const QStringList lines = seen[0].body.split(u'\n');
        QCOMPARE(lines.size(), 11);  // ten named, then the rest counted
        QVERIFY2(lines.first().startsWith(QStringLiteral("127.0.1.1: not answering")), qPrintable(lines.first()));
        QCOMPARE(lines.last(), QStringLiteral("and 2 more"));
    }

    // A host that comes back and goes away again within one second is told both, in the order
    // it happened, so the last word is where it is now.
    void flapWithinASecondToldInOrder() {
        veltrin::Alerts alerts;
        alerts.Changes({Change(3, "127.0.0.3", RowState::NotAnswering, RowState::Answering)});
        alerts.Changes({Change(3, "127.0.0.3", RowState::Answering, RowState::NotAnswering),
                        Change(4, "127.0.0.4", RowState::NotAnswering, RowState::Answering)});
        QTRY_COMPARE_WITH_TIMEOUT(ServerCount(), 2, 10000);
        QTest::qWait(1500);
        const std::vector<Seen> seen = ServerHistory();
        QCOMPARE(seen.size(), std::size_t{2});
        QCOMPARE(seen[0].summary, QStringLiteral("2 hosts are answering again"));
        QCOMPARE(seen[1].summary, QStringLiteral("127.0.0.3 stopped answering"));
    }

    void offMeansNone() {
        veltrin::Alerts alerts;
        alerts.SetNotify(false);
        alerts.Changes({Change(0, "127.0.0.9", RowState::Answering, RowState::NotAnswering)});
        QTest::qWait(2000);
        QCOMPARE(ServerCount(), 0);
    }

    // Mail alerts: one mail per burst, never two within the gap (a minute; shortened here), the
    // changes that came meanwhile carried by the next one, to the report's recipients.
    void mailAtMostOncePerGap() {
        const QString record = tmp_.path() + QStringLiteral("/smtp.txt");
        SmtpServer server;
        const QString why = server.Start(record);
        if (!why.isEmpty()) QSKIP(qPrintable(why));
        veltrin::Alerts alerts;
        alerts.SetNotify(false);
        alerts.SetMail(true);
        alerts.SetCoalesceMs(200);
        alerts.SetMailGapMs(4000);
        alerts.SetMailSettings([&server] {
            veltrin::Tmailsetting mail;
            mail.smtpserver = server.host().toStdString();
            mail.sendfrom = "monitor@example.test";
            mail.sendto = "ops@example.test, second@example.test";
            mail.subject = "the report's own subject";
            mail.authentication = false;
            return mail;
        });
        QStringList results;
        connect(&alerts, &veltrin::Alerts::mailDone, this, [&results](const QString& r) { results << r; });
        QElapsedTimer clock;
        clock.start();
        alerts.Changes({Change(0, "127.0.0.7", RowState::Answering, RowState::NotAnswering)});
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 1, 30000);
        alerts.Changes({Change(0, "127.0.0.7", RowState::NotAnswering, RowState::Answering)});
        QTest::qWait(600);
        alerts.Changes({Change(1, "127.0.0.8", RowState::Answering, RowState::NotAnswering)});
        QTest::qWait(1000);
        QCOMPARE(results.size(), 1);  // the gap holds the second mail back
        QTRY_COMPARE_WITH_TIMEOUT(results.size(), 2, 30000);
        QVERIFY(clock.elapsed() >= 4000);
        QCOMPARE(results, QStringList({"Successfully delivered", "Successfully delivered"}));
        server.Stop();
        const QList<QByteArray> subjects = RecordEvents(record, "subject");
        QCOMPARE(subjects, (QList<QByteArray>{"127.0.0.7 stopped answering",
                                              "127.0.0.7 is answering again and 1 more changes"}));
        QCOMPARE(RecordEvents(record, "rcpt"),
                 (QList<QByteArray>{"ops@example.test", "second@example.test", "ops@example.test",
                                    "second@example.test"}));
        const QList<QByteArray> payloads = RecordEvents(record, "payload");
        QCOMPARE(payloads.size(), 2);
        QVERIFY2(payloads[1].contains("127.0.0.8: not answering"), payloads[1].constData());
        QVERIFY2(payloads[1].contains("127.0.0.7 is answering again"), payloads[1].constData());
    }

    // The whole path with the real monitor: loopback in a namespace of this test's own answers,
    // stops answering, answers again. The row goes answering -> not answering -> answering, and
    // exactly two notifications arrive, with the tray tip counting along. Must run last: this
    // thread stays in the new namespace.
    void zRealCycleInANamespace() {
        if (::geteuid() != 0) QSKIP("needs root for a network namespace and raw ICMP");
        if (::unshare(CLONE_NEWNET) != 0) QSKIP("no network namespace can be made here");
        QVERIFY(SetLoopbackUp());
        QVERIFY(IgnoreEchoes(false));
        if (!veltrin::IcmpSocket().ok()) QSKIP("no raw ICMP socket");

        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QDir().mkpath(config.path() + QStringLiteral("/veltrin-ping"));
        Tmainform w(QStringList{});
        w.stopbtnClick();
        veltrin::ReachSettings reach;
        reach.timeoutms = 400;
        reach.lostcount = 2;
        reach.notifications = true;
        QVERIFY(veltrin::SaveReachSettings(veltrin::Golbal()->inipath, reach));
        w.ApplyReachSettings();
        w.Edit2()->setText(QStringLiteral("1"));  // 100 ms between echoes
        QSignalSpy told(w.RowAlerts(), &veltrin::Alerts::notified);
        w.list().Append("127.0.0.1");
        std::vector<RowState> seen;
        auto track = [&] {
            const RowState s = w.list().Status(0).state;
            if (seen.empty() || seen.back() != s) seen.push_back(s);
        };
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, this, track);
        watcher.start(20);
        w.pingbtnClick();
        QTRY_COMPARE_WITH_TIMEOUT(w.list().Status(0).state, RowState::Answering, 10000);
        QCOMPARE(w.TrayToolTip(), QStringLiteral("Korbel\n1 of 1 answering"));
        QVERIFY(IgnoreEchoes(true));
        QTRY_COMPARE_WITH_TIMEOUT(w.list().Status(0).state, RowState::NotAnswering, 10000);
        QCOMPARE(w.TrayToolTip(), QStringLiteral("Korbel\n0 of 1 answering"));
        const veltrin::RowStatus down = w.list().Status(0);
        QCOMPARE(down.consecutivelost, 2);
        QVERIFY(IgnoreEchoes(false));
        QTRY_COMPARE_WITH_TIMEOUT(w.list().Status(0).state, RowState::Answering, 10000);
        w.stopbtnClick();
        QTest::qWait(1500);  // the last burst's notification
        watcher.stop();
        track();
        // From its first answer on, the row went down once and came back once, nothing between.
        const auto first = std::find(seen.begin(), seen.end(), RowState::Answering);
        QVERIFY(first != seen.end());
        QCOMPARE(std::vector<RowState>(first, seen.end()),
                 (std::vector<RowState>{RowState::Answering, RowState::NotAnswering, RowState::Answering}));
        const veltrin::RowStatus last = w.list().Status(0);
        QVERIFY(last.lost >= 2);
        QVERIFY(last.received + last.lost <= last.sent);
        QCOMPARE(told.count(), 2);
        QCOMPARE(ServerCount(), 2);
        const std::vector<Seen> notes = ServerHistory();
        QCOMPARE(notes.size(), std::size_t{2});
        QCOMPARE(notes[0].summary, QStringLiteral("127.0.0.1 stopped answering"));
        QCOMPARE(notes[1].summary, QStringLiteral("127.0.0.1 is answering again"));
    }
};

// The run gets a session bus of its own (no service activation, a socket on the file system so
// a helper in another network namespace still reaches it) and an X server of its own.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty(kPrivateBusVariable)) {
        char dir[] = "/tmp/veltrin-bus-XXXXXX";
        if (::mkdtemp(dir) != nullptr) {
            const std::string conf = std::string(dir) + "/bus.conf";
            const std::string text =
                "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig><type>session</type><listen>unix:dir=" + std::string(dir) +
                "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
            QFile f(QString::fromStdString(conf));
            if (f.open(QIODevice::WriteOnly) && f.write(text.data(), static_cast<qint64>(text.size())) ==
                                                    static_cast<qint64>(text.size())) {
                f.close();
                ::setenv(kPrivateBusVariable, dir, 1);
                std::vector<char*> args;
                std::string config = "--config-file=" + conf;
                args.push_back(const_cast<char*>("dbus-run-session"));
                args.push_back(config.data());
                args.push_back(const_cast<char*>("--"));
                for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
                args.push_back(nullptr);
                ::execvp("dbus-run-session", args.data());
            }
        }
        skipreason = QStringLiteral("no private session bus (dbus-run-session from the dbus package)");
        ::setenv(kPrivateBusVariable, "none", 1);
    }
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QStringLiteral("/data")));
    // The X session keeps tests off the desktop's bus; this run's bus is private, so it stays.
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    SharedXSession().Start({.windowmanager = false, .tray = false});
    if (qEnvironmentVariable(kPrivateBusVariable).startsWith(QStringLiteral("/tmp/veltrin-bus-")))
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
    if (!SharedXSession().ok()) qputenv("QT_QPA_PLATFORM", "offscreen");
    veltrin::EngineStartup();
    int result = 0;
    {
        QApplication app(argc, argv);
        AlertsTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    veltrin::EngineShutdown();
    const QByteArray dir = qgetenv(kPrivateBusVariable);
    if (dir.startsWith("/tmp/veltrin-bus-")) {
        QFile::remove(QString::fromLocal8Bit(dir) + QStringLiteral("/bus.conf"));
        QDir().rmdir(QString::fromLocal8Bit(dir));
    }
    return result;
}

#include "alerts_xvfb_test.moc"
