// The desktop program as an ordinary user meets it: the main window on a private Xvfb, run by
// nobody with no capability at all, pinging loopback through a copy of the packet helper that
// carries cap_net_raw. The root part of this test program only prepares (the helper copy, the X
// server) and waits; a child process drops to nobody before any Qt object exists.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <sys/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "engine/global_unit.h"
#include "engine/icmp_channel.h"
#include "monitor/addresslist.h"
#include "ui/aboutfm.h"
#include "ui/mainfm.h"
#include "xsession_helper.h"

using veltrin::testing::SharedXSession;

namespace {

constexpr int kNobody = 65534;
QString skipreason;  // set in main when the preparation failed
QString folder;      // nobody's home, list and helper copy

std::string StatusField(const std::string& field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, field.size() + 1, field + ":") != 0) continue;
        std::istringstream rest(line.substr(field.size() + 1));
        std::string value;
        rest >> value;
        return value;
    }
    return {};
}

// A copy of the built helper with cap_net_raw+ep, in a folder nobody may enter.
QString PrepareHelper(const QString& dir, QString& why) {
    const QString built = QStringLiteral(VELTRIN_BINARY_DIR "/src/app/veltrin-ping-helper");
    const QString copy = dir + QStringLiteral("/veltrin-ping-helper");
    if (!QFile::copy(built, copy)) {
        why = QStringLiteral("cannot copy ") + built;
        return {};
    }
    ::chmod(QFile::encodeName(copy).constData(), 0755);
    cap_t caps = cap_from_text("cap_net_raw=ep");
    const bool set = caps != nullptr && cap_set_file(QFile::encodeName(copy).constData(), caps) == 0;
    if (caps != nullptr) cap_free(caps);
    if (!set) why = QStringLiteral("cannot give the helper copy its capability");
    return set ? copy : QString();
}

}  // namespace

class UnprivilegedXvfbTest : public QObject {
    Q_OBJECT

private slots:
    void windowGetsGreenRowsThroughTheHelper() {
        if (!skipreason.isEmpty()) QSKIP(qPrintable(skipreason));
        QCOMPARE(QString::fromStdString(StatusField("Uid")), QString::number(kNobody));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));  // a real X server, as nobody
        const QString list = folder + QStringLiteral("/list.spl");
        Tmainform w({list});
        w.show();
        QVERIFY(w.monitor().running());
        QVERIFY(w.StatusGreen());
        QTRY_VERIFY_WITH_TIMEOUT(w.list().Count() == 2 && !w.list().Row(0).ttl.empty() && !w.list().Row(1).ttl.empty(),
                                 20000);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(QString::fromStdString(w.list().Row(i).bytes), QStringLiteral("return data length:   32"));
            QCOMPARE(QString::fromStdString(w.list().Row(i).ttl), QStringLiteral("64"));
        }
        QCOMPARE(veltrin::CurrentIcmpPath(), veltrin::IcmpPath::Helper);
        // The window holds nothing, whatever it pings through.
        QCOMPARE(QString::fromStdString(StatusField("CapEff")), QStringLiteral("0000000000000000"));
        QCOMPARE(QString::fromStdString(StatusField("CapPrm")), QStringLiteral("0000000000000000"));
        // The about box names the way.
        Taboutform about(&w);
        about.show();
        QVERIFY(about.PathLabel()->text().contains(QStringLiteral("packet helper")));
    }
};

int main(int argc, char** argv) {
    QTemporaryDir dir(QStringLiteral("/tmp/veltrin-unpriv-ui-XXXXXX"));
    folder = dir.path();
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    if (::geteuid() != 0) skipreason = QStringLiteral("needs root to give the helper copy its capability");
    QString helper;
    if (skipreason.isEmpty()) helper = PrepareHelper(folder, skipreason);
    QFile list(folder + QStringLiteral("/list.spl"));
    if (list.open(QIODevice::WriteOnly))
        list.write("127.0.0.1_   TTL  Timeout     \r\r\n127.0.0.2_   TTL  Timeout     \r\r\n");
    list.close();
    const QString home = folder + QStringLiteral("/home");
    QDir().mkpath(home + QStringLiteral("/config"));
    QDir().mkpath(home + QStringLiteral("/data"));
    if (::chown(QFile::encodeName(home).constData(), kNobody, kNobody) != 0 ||
        ::chown(QFile::encodeName(home + QStringLiteral("/config")).constData(), kNobody, kNobody) != 0 ||
        ::chown(QFile::encodeName(home + QStringLiteral("/data")).constData(), kNobody, kNobody) != 0) {
        if (skipreason.isEmpty()) skipreason = QStringLiteral("cannot hand nobody a home");
    }
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home + QStringLiteral("/data")));
    qputenv("VELTRIN_PING_HELPER", QFile::encodeName(helper.isEmpty() ? QStringLiteral("/nonexistent") : helper));
    SharedXSession().Start({.windowmanager = false});
    if (!SharedXSession().ok()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (skipreason.isEmpty()) skipreason = SharedXSession().skipreason();
    }

    // The window runs in a child that is nobody from its first Qt object on; the X server and
    // the folder stay with this root process, which ends them.
    const pid_t child = ::fork();
    if (child == 0) {
        if (skipreason.isEmpty() && (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                                     ::setresuid(kNobody, kNobody, kNobody) != 0))
            skipreason = QStringLiteral("cannot become nobody");
        veltrin::EngineStartup();
        int result = 1;
        {
            QApplication app(argc, argv);
            QApplication::setApplicationName(QStringLiteral("Veltrin Ping Utility"));
            QApplication::setQuitOnLastWindowClosed(false);
            UnprivilegedXvfbTest test;
            result = QTest::qExec(&test, argc, argv);
        }
        veltrin::EngineShutdown();
        ::_exit(result);  // the session and folder belong to the parent
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

#include "unprivileged_xvfb_test.moc"
