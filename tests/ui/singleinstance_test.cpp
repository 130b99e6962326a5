// One window program per user: the hand-over's message, the server and client on real local
// sockets, the main window taking handed files, and the real program started twice (offscreen)
// with a socket folder of its own.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "engine/global_unit.h"
#include "platform/filetype.h"
#include "ui/dialogs.h"
#include "ui/mainfm.h"
#include "ui/pictures.h"
#include "ui/singleinstance.h"

using veltrin::HandOverResult;

namespace {

const QString kProgram = QStringLiteral(VELTRIN_BINARY_DIR "/src/app/veltrin-ping");

// The client side runs on a thread of its own, as the later start is a process of its own: the
// window thread has to answer meanwhile.
HandOverResult HandOverFromAnotherThread(const QString& name, const QStringList& files) {
    auto result = std::async(std::launch::async, [name, files] { return veltrin::HandToRunningInstance(name, files); });
    while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return result.get();
}

// A socket file as a crashed program leaves it: bound once, nobody listening any more.
bool MakeStaleSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() >= static_cast<qsizetype>(sizeof address.sun_path)) return false;
    std::memcpy(address.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound && QFileInfo::exists(path);
}

}  // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int count_ = 0;
    QString home_;

    QString FreshHome() {
        home_ = dir_.path() + QStringLiteral("/h%1").arg(++count_);
        for (const char* sub : {"config", "data", "run"}) QDir().mkpath(home_ + "/" + sub);
        QFile::setPermissions(home_ + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home_ + "/config"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home_ + "/data"));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(home_ + "/share"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home_ + "/run"));
        return home_;
    }

    QString WriteList(const QString& name, const QByteArray& text) {
        const QString path = home_ + "/" + name;
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) return {};
        f.write(text);
        return path;
    }

    static QByteArray ReadAll(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static void StartProgram(QProcess& p, const QStringList& arguments) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VELTRIN_PROBEHOST", "127.0.0.1");  // the check stays on loopback
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(kProgram, arguments);
    }

    // Waits until a program listens on this home's socket.
    static bool Listening(int ms) {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            QLocalSocket probe;
            probe.connectToServer(veltrin::InstanceSocketName());
            if (probe.waitForConnected(200)) return true;
            QTest::qWait(100);
        }
        return false;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        veltrin::EngineStartup();
    }

    // ---- the message ---------------------------------------------------------------------------

    void decode_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<bool>("broken");
        QTest::addColumn<QStringList>("files");
        const QByteArray h = "veltrin-ping open 1\n";
        QTest::newRow("no files") << h + "\n" << true << false << QStringList();
        QTest::newRow("two files") << h + "/a/b.spl\n/c%20d/e%0Af.spl\n\n" << true << false
                                   << QStringList{"/a/b.spl", "/c d/e\nf.spl"};
        QTest::newRow("nothing yet") << QByteArray() << false << false << QStringList();
        QTest::newRow("half a header") << QByteArray("veltrin-ping op") << false << false << QStringList();
        QTest::newRow("half a path") << h + "/a/b" << false << false << QStringList();
        QTest::newRow("no end yet") << h + "/a/b.spl\n" << false << false << QStringList();
        QTest::newRow("wrong header") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false << true << QStringList();
        QTest::newRow("long junk without a line") << QByteArray(100, 'x') << false << true << QStringList();
        QTest::newRow("relative path") << h + "a/b.spl\n\n" << false << true << QStringList();
        QTest::newRow("NUL in a path") << h + "/a%00b\n\n" << false << true << QStringList();
        QTest::newRow("something after the end") << h + "/a\n\nmore" << false << true << QStringList();
        QTest::newRow("overlong path line") << h + "/" + QByteArray(20000, 'a') + "\n\n" << false << true
                                            << QStringList();
        QByteArray many = h;
        for (int i = 0; i < veltrin::kMaxHandOverFiles + 1; ++i) many += "/f\n";
        QTest::newRow("too many files") << many + "\n" << false << true << QStringList();
        QTest::newRow("too large") << h + QByteArray(veltrin::kMaxHandOverBytes, '/') << false << true
                                   << QStringList();
    }
    void decode() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, complete);
        QFETCH(bool, broken);
        QFETCH(QStringList, files);
        QStringList got{"stale"};
        bool gotbroken = !broken;
        QCOMPARE(veltrin::DecodeHandOver(bytes, got, gotbroken), complete);
        QCOMPARE(gotbroken, broken);
        QCOMPARE(got, files);
    }

    void encodeDecodesBack() {
        const QStringList files{"/tmp/x.spl", "/home/ü ser/list 1.spl", "/a%41/b"};
        QStringList got;
        bool broken = true;
        QVERIFY(veltrin::DecodeHandOver(veltrin::EncodeHandOver(files), got, broken));
        QVERIFY(!broken);
        QCOMPARE(got, files);
    }

    // Any bytes: never a crash, never more than the bound.
    void anyBytesSurvive() {
        QByteArray bytes;
        quint32 x = 12345;
        for (int round = 0; round < 2000; ++round) {
            bytes.clear();
            const int n = static_cast<int>(x % 300);
            for (int i = 0; i < n; ++i) {
                x = x * 1103515245u + 12345u;
                bytes.append(static_cast<char>(x >> 16));
            }
            if (round % 3 == 0) bytes.prepend("veltrin-ping open 1\n");
            QStringList files;
            bool broken = false;
            veltrin::DecodeHandOver(bytes, files, broken);
            QVERIFY(files.size() <= veltrin::kMaxHandOverFiles);
        }
    }

    // ---- server and client ---------------------------------------------------------------------

    void nobodyThereThenHandedOver() {
        FreshHome();
        const QString name = veltrin::InstanceSocketName();
        QVERIFY(name.startsWith(home_ + "/run/"));
        QCOMPARE(veltrin::HandToRunningInstance(name, {"/x.spl"}, 500), HandOverResult::NoInstance);
        veltrin::InstanceServer server(name);
        QVERIFY(server.Listen());
        // Only the user may connect.
        QCOMPARE(QFileInfo(name).permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup |
                                                  QFile::WriteGroup),
                 QFileDevice::Permissions());
        QSignalSpy arrived(&server, &veltrin::InstanceServer::filesArrived);
        QCOMPARE(HandOverFromAnotherThread(name, {"/a/one.spl", "/b/two words.spl"}), HandOverResult::Taken);
        QTRY_COMPARE(arrived.size(), 1);
        QCOMPARE(arrived[0][0].toStringList(), (QStringList{"/a/one.spl", "/b/two words.spl"}));
        QCOMPARE(HandOverFromAnotherThread(name, {}), HandOverResult::Taken);
        QTRY_COMPARE(arrived.size(), 2);
        QCOMPARE(arrived[1][0].toStringList(), QStringList());
    }

    // A client that sends garbage or nothing gets no answer and takes nothing; the server keeps
    // serving the next one.
    void foreignClientsTakeNothing() {
        FreshHome();
        const QString name = veltrin::InstanceSocketName();
        veltrin::InstanceServer server(name);
        QVERIFY(server.Listen());
        QSignalSpy arrived(&server, &veltrin::InstanceServer::filesArrived);
        QLocalSocket junk;
        junk.connectToServer(name);
        QVERIFY(junk.waitForConnected(1000));
        junk.write("GET / HTTP/1.0\r\n\r\n");
        junk.flush();
        QTRY_COMPARE(junk.state(), QLocalSocket::UnconnectedState);
        QLocalSocket silent;
        silent.connectToServer(name);
        QVERIFY(silent.waitForConnected(1000));
        QCOMPARE(HandOverFromAnotherThread(name, {"/c.spl"}), HandOverResult::Taken);
        QTRY_COMPARE(arrived.size(), 1);
        QCOMPARE(arrived[0][0].toStringList(), QStringList{"/c.spl"});
    }

    // A socket file left by a crash does not keep the next start from listening; a live one is
    // never taken over.
    void staleSocketDoesNotBlock() {
        FreshHome();
        const QString name = veltrin::InstanceSocketName();
        QVERIFY(MakeStaleSocket(name));
        QCOMPARE(veltrin::HandToRunningInstance(name, {}, 500), HandOverResult::NoInstance);
        veltrin::InstanceServer first(name);
        QVERIFY(first.Listen());
        veltrin::InstanceServer second(name);
        QVERIFY(!second.Listen());
        QVERIFY(first.Listening());
        QCOMPARE(HandOverFromAnotherThread(name, {}), HandOverResult::Taken);
    }

    // ---- the main window -----------------------------------------------------------------------

    // Handed files are appended like the command line's; the window comes out of the tray; a
    // missing file is said.
    void windowTakesHandedFiles() {
        FreshHome();
        veltrin::DialogRecorder recorder;
        Tmainform w({});
        w.show();
        w.SysCommand(Tmainform::SC_MINIMIZE);
        QVERIFY(w.InTray());
        const QString a = WriteList("a.spl", "127.0.0.1_\r\r\n127.0.0.2_\r\r\n");
        const QString b = WriteList("b.spl", "127.0.0.3_\r\r\n");
        w.list().Append("127.0.0.9");
        w.TakeHandedFiles({a, home_ + "/missing.spl", b});
        QCOMPARE(w.list().Count(), 4);
        QCOMPARE(w.list().Row(3).address, std::string("127.0.0.3"));
        QVERIFY(w.isVisible());
        QVERIFY(!w.InTray());
        QCOMPARE(recorder.Texts(), QStringList{"Address file is lost: " + home_ + "/missing.spl"});
    }

    // ---- the real program ----------------------------------------------------------------------

    // What a start loads: the hand-over socket needs no network module. The file type's icon,
    // written once the window has been painted, still comes, and is the program's own 256-pixel
    // picture (the window's icon sizes are pictures of their own, not drawn from the SVG).
    void startLoadsNoNetworkModule() {
        if (!QFileInfo(kProgram).isExecutable()) QSKIP("the program is not built");
        FreshHome();
        QProcess program;
        StartProgram(program, {});
        QVERIFY(program.waitForStarted(10000));
        QVERIFY2(Listening(15000), "the program never listened");
        const QString icon = veltrin::FileTypePaths().icon;
        QVERIFY(icon.startsWith(home_));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(icon).size() > 0, 15000);
        const QImage written(icon);
        veltrin::AppIcon();  // makes the program's pictures known to this process too
        QImage own(QStringLiteral(":/icons/256x256/org.veltrin.VeltrinPing.png"));
        QVERIFY(!own.isNull());
        // The same picture, as a pixmap holds it (premultiplied: the written file went through one).
        QCOMPARE(written.size(), own.size());
        QCOMPARE(written.convertToFormat(QImage::Format_ARGB32_Premultiplied),
                 QPixmap::fromImage(own).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied));
        const QByteArray maps = ReadAll(QStringLiteral("/proc/%1/maps").arg(program.processId()));
        QVERIFY(maps.contains("libQt6Widgets"));  // the maps are the program's, read whole
        QVERIFY2(!maps.contains("libQt6Network"), "the network module was loaded");
        program.terminate();
        QVERIFY(program.waitForFinished(10000));
    }

    // A second start hands its file to the first and ends with 0; the first appends it (seen in
    // the list it keeps). After the first is killed, its socket file stays behind, and the next
    // start still becomes the first.
    void secondStartHandsOverAndEnds() {
        if (!QFileInfo(kProgram).isExecutable()) QSKIP("the program is not built");
        FreshHome();
        const QString a = WriteList("a.spl", "127.0.0.1_\r\r\n");
        const QString b = WriteList("b.spl", "127.0.0.7_\r\r\n");
        QProcess first;
        StartProgram(first, {a});
        QVERIFY(first.waitForStarted(10000));
        QVERIFY2(Listening(15000), "the first start never listened");

        QProcess second;
        // Relative to where the second start runs.
        second.setWorkingDirectory(home_);
        StartProgram(second, {"b.spl"});
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        const QString kept = Tmainform::KeptListPath();
        QVERIFY(kept.startsWith(home_));
        QTRY_VERIFY_WITH_TIMEOUT(ReadAll(kept).contains("127.0.0.7"), 10000);
        QVERIFY(ReadAll(kept).contains("127.0.0.1"));

        // A crash: the socket file stays.
        ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(10000));
        QVERIFY(QFileInfo::exists(veltrin::InstanceSocketName()));
        QProcess third;
        StartProgram(third, {});
        QVERIFY(third.waitForStarted(10000));
        QVERIFY2(Listening(15000), "the start after a crash never listened");
        QVERIFY(!third.waitForFinished(1000));  // it runs, it did not hand over to nobody
        QProcess fourth;
        StartProgram(fourth, {});
        QVERIFY(fourth.waitForFinished(15000));
        QCOMPARE(fourth.exitCode(), 0);
        QCOMPARE(third.state(), QProcess::Running);
        third.terminate();
        third.waitForFinished(10000);
    }
};

QTEST_MAIN(SingleInstanceTest)
#include "singleinstance_test.moc"
