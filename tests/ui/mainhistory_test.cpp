// The main window's round-trip history: the monitor's results go into the database in the data
// folder and are there again after a restart, each row carries its last results, the setting
// turns it off, and a damaged database is said once on the status bar while monitoring goes on.
// Replies come from real ICMP on loopback (root or CAP_NET_RAW).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "history/historysetting.h"
#include "history/historystore.h"
#include "settings/paths.h"
#include "settings/settingsfile.h"
#include "ui/dialogs.h"
#include "ui/mainfm.h"

namespace {

QTemporaryDir* homedir = nullptr;
QString testhome;

void UseFreshHome() {
    static int count = 0;
    testhome = homedir->path() + QStringLiteral("/t%1").arg(++count);
    QDir().mkpath(testhome);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(testhome + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(testhome + QStringLiteral("/data")));
}

QString DatabasePath() { return testhome + QStringLiteral("/data/veltrin-ping/history.sqlite"); }

bool RawSocketsAvailable() {
    veltrin::IcmpSocket probe;
    return probe.ok();
}

}  // namespace

class MainHistoryTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<veltrin::DialogRecorder> dialogs_;
    std::unique_ptr<QTemporaryDir> temp_;

    QString ListFile() {
        const QString path = temp_->path() + QStringLiteral("/list.spl");
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("127.0.0.1_   TTL  Timeout     \r\r\n");
        return path;
    }

  private slots:
    void init() {
        dialogs_ = std::make_unique<veltrin::DialogRecorder>();
        temp_ = std::make_unique<QTemporaryDir>();
        veltrin::Golbal()->interval = 1;
        UseFreshHome();
    }
    void cleanup() { dialogs_.reset(); }

    void resultsKeptAndThereAfterARestart() {
        if (!RawSocketsAvailable()) QSKIP("raw ICMP sockets need root or CAP_NET_RAW; no replies can arrive");
        std::size_t before = 0;
        {
            Tmainform w({ListFile()});
            QVERIFY(w.history() != nullptr);
            QCOMPARE(QString::fromStdString(w.history()->Path()), DatabasePath());
            QTRY_VERIFY_WITH_TIMEOUT(w.history()->Recent("127.0.0.1", 60).size() >= 3, 20000);
            const auto recent = w.history()->Recent("127.0.0.1", 60);
            for (const veltrin::HistoryPoint& p : recent) {
                QVERIFY(p.rttms >= 0);
                QVERIFY2(p.rttms < 100, "loopback answers within a fraction of a millisecond");
            }
            // The row carries its last results too, to the microsecond.
            const veltrin::RowStatus& status = w.list().Status(0);
            QVERIFY(status.historycount >= 3);
            QVERIFY(status.history[0] >= 0.0f);
            QVERIFY(status.lastrttms >= 0.0);
            before = recent.size();
        }
        QVERIFY(QFile::exists(DatabasePath()));
        // The next start reads them back before any new echo went out.
        veltrin::Golbal()->interval = 1;
        Tmainform again({});
        QVERIFY(again.history() != nullptr);
        QVERIFY(again.history()->Recent("127.0.0.1", 60).size() >= before);
    }

    void settingOffKeepsNothing() {
        QVERIFY(veltrin::SetHistoryEnabled(veltrin::SettingsFilePath(), false));
        Tmainform w({ListFile()});
        QVERIFY(w.history() == nullptr);
        QVERIFY(w.monitor().running());
        QTest::qWait(500);
        QVERIFY(!QFile::exists(DatabasePath()));
        QVERIFY(w.statusBar()->findChild<QLabel*>(QStringLiteral("historynotice")) == nullptr);
    }

    void damagedDatabaseToldOnceAndMonitoringGoesOn() {
        QDir().mkpath(QFileInfo(DatabasePath()).absolutePath());
        {
            QFile f(DatabasePath());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(8192, 'x'));
        }
        Tmainform w({ListFile()});
        QVERIFY(w.history() == nullptr);
        const auto* notice = w.statusBar()->findChild<QLabel*>(QStringLiteral("historynotice"));
        QVERIFY(notice != nullptr);
        const QString said = notice->text();
        QVERIFY2(said.startsWith(QStringLiteral("No history kept: ")), qPrintable(said));
        QVERIFY2(said.contains(QStringLiteral("damaged")), qPrintable(said));
        QVERIFY2(dialogs_->messages.empty(), "said on the status bar, not in a box");
        QVERIFY(w.monitor().running());
        if (!RawSocketsAvailable()) return;
        QTRY_VERIFY_WITH_TIMEOUT(!w.list().Row(0).ttl.empty(), 20000);
        QCOMPARE(w.statusBar()->findChildren<QLabel*>(QStringLiteral("historynotice")).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!w.list().Row(0).ttl.empty(), 20000);
        QCOMPARE(QFile(DatabasePath()).size(), 8192);  // left as it was
    }
};

int main(int argc, char** argv) {
    QTemporaryDir home;
    homedir = &home;
    qputenv("HOME", QFile::encodeName(home.path()));
    UseFreshHome();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    veltrin::EngineStartup();
    int result = 0;
    {
        QApplication app(argc, argv);
        MainHistoryTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    veltrin::EngineShutdown();
    return result;
}

#include "mainhistory_test.moc"
