// Trace route: the argument list that reaches a terminal, captured by a stand-in terminal that
// records its argv. Nothing is traced: the stand-in only writes what it got.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "platform/traceroute.h"

using namespace veltrin;

namespace {

const QString kRecorder = QStringLiteral(VELTRIN_TOOLS "/record_argv.sh");

QStringList ReadArgv(const QString& path, int waitms) {
    QElapsedTimer t;
    t.start();
    while (!QFile::exists(path) && t.elapsed() < waitms) QTest::qWait(20);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = f.readAll();
    QStringList out;
    for (const QByteArray& part : bytes.split('\0')) out << QString::fromUtf8(part);
    if (!out.isEmpty() && out.last().isEmpty()) out.removeLast();  // after the final zero
    return out;
}

}  // namespace

class TraceRouteTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString tracer_;

    // A stand-in under a chosen name (terminals are recognised by their file name).
    QString StandIn(const QString& name) {
        const QString path = dir_.filePath(name);
        QFile::remove(path);
        if (!QFile::link(kRecorder, path)) return {};
        return path;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QVERIFY(QFileInfo(kRecorder).isExecutable());
        // The tracer itself never runs (the stand-in terminal only records); any executable
        // file with a known path will do.
        tracer_ = StandIn(QStringLiteral("traceroute"));
        QVERIFY(!tracer_.isEmpty());
        qputenv("VELTRIN_TRACEROUTE", tracer_.toLocal8Bit());
    }

    void target_data() {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("host");
        QTest::newRow("dotted") << "127.0.0.1" << "127.0.0.1";
        QTest::newRow("web upper") << "HTTP://host/x" << "host";
        QTest::newRow("web lower, no path") << "http://198.18.0.1" << "198.18.0.1";
        QTest::newRow("web with port-like text") << "HTTP://host:80/a/b" << "host:80";
        QTest::newRow("blanks around") << "  127.0.0.2  " << "127.0.0.2";
        QTest::newRow("option-like") << "-F 127.0.0.1" << "-F 127.0.0.1";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("only scheme") << "HTTP://" << "";
    }
    void target() {
        QFETCH(QString, row);
        QFETCH(QString, host);
        QCOMPARE(TraceRouteTarget(row), host);
    }

    void terminalConventions_data() {
        QTest::addColumn<QString>("terminal");
        QTest::addColumn<QStringList>("option");
        QTest::newRow("x-terminal-emulator") << "x-terminal-emulator" << QStringList{"-e"};
        QTest::newRow("xterm") << "xterm" << QStringList{"-e"};
        QTest::newRow("konsole") << "konsole" << QStringList{"-e"};
        QTest::newRow("gnome-terminal") << "gnome-terminal" << QStringList{"--"};
        QTest::newRow("xfce4-terminal") << "xfce4-terminal" << QStringList{"-x"};
        QTest::newRow("kitty") << "kitty" << QStringList{};
    }
    void terminalConventions() {
        QFETCH(QString, terminal);
        QFETCH(QStringList, option);
        const QString path = StandIn(terminal);
        QVERIFY(!path.isEmpty());
        qputenv("VELTRIN_TERMINAL", path.toLocal8Bit());
        const TraceRouteCommand c = BuildTraceRoute(QStringLiteral("HTTP://host/x"));
        QCOMPARE(c.program, QFileInfo(path).absoluteFilePath());
        QCOMPARE(c.arguments, (option + QStringList{tracer_, "--", "host"}));
    }

    // The real start: a stand-in terminal records the argv it was given.
    void startedArgv_data() {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("lastarg");
        QTest::newRow("web address") << "HTTP://host/x" << "host";
        QTest::newRow("leading dash") << "-F" << "-F";
        QTest::newRow("dash and blank") << "--help 127.0.0.1" << "--help 127.0.0.1";
        QTest::newRow("shell text") << "127.0.0.1; touch INJECTED $(touch INJECTED2)" << "127.0.0.1; touch INJECTED $(touch INJECTED2)";
    }
    void startedArgv() {
        QFETCH(QString, row);
        QFETCH(QString, lastarg);
        const QString terminal = StandIn(QStringLiteral("x-terminal-emulator"));
        qputenv("VELTRIN_TERMINAL", terminal.toLocal8Bit());
        const QString log = dir_.filePath(QStringLiteral("argv.log"));
        QFile::remove(log);
        qputenv("VELTRIN_ARGV_LOG", log.toLocal8Bit());
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        const bool started = StartTraceRoute(row);
        const QStringList argv = ReadArgv(log, 10000);
        QDir::setCurrent(cwd);
        QVERIFY(started);
        QCOMPARE(argv, (QStringList{terminal, "-e", tracer_, "--", lastarg}));
        QVERIFY(!QFile::exists(dir_.filePath("INJECTED")));
        QVERIFY(!QFile::exists(dir_.filePath("INJECTED2")));
    }

    void nothingToRun() {
        const QString terminal = StandIn(QStringLiteral("xterm"));
        qputenv("VELTRIN_TERMINAL", terminal.toLocal8Bit());
        QVERIFY(BuildTraceRoute(QString()).program.isEmpty());
        QVERIFY(!StartTraceRoute(QStringLiteral("   ")));

        qputenv("VELTRIN_TRACEROUTE", dir_.filePath("no-such-tracer").toLocal8Bit());
        const TraceRouteCommand c = BuildTraceRoute(QStringLiteral("127.0.0.1"));
        QVERIFY(c.program.isEmpty());
        QVERIFY(!c.missing.isEmpty());
        qputenv("VELTRIN_TRACEROUTE", tracer_.toLocal8Bit());

        // No terminal anywhere: an empty PATH and no overrides.
        const QByteArray path = qgetenv("PATH");
        qunsetenv("VELTRIN_TERMINAL");
        qunsetenv("TERMINAL");
        qputenv("PATH", dir_.filePath("empty").toLocal8Bit());
        const TraceRouteCommand none = BuildTraceRoute(QStringLiteral("127.0.0.1"));
        qputenv("PATH", path);
        QVERIFY(none.program.isEmpty());
    }
};

QTEST_MAIN(TraceRouteTest)
#include "traceroute_test.moc"
