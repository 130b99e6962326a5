// The XDG files the program writes: Exec quoting, the autostart entry and the file type files,
// all under a temporary home.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "platform/autostart.h"
#include "platform/desktopentry.h"
#include "platform/filetype.h"

namespace {

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

}  // namespace

class DesktopFilesTest : public QObject {
    Q_OBJECT

    QTemporaryDir home_;

  private slots:
    void init() {
        static int count = 0;
        const QString base = home_.path() + QStringLiteral("/t%1").arg(++count);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(base + QStringLiteral("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(base + QStringLiteral("/data")));
    }

    void execArgument_data() {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("written");
        QTest::newRow("plain") << "/usr/bin/veltrin-ping"
                               << "/usr/bin/veltrin-ping";
        QTest::newRow("blank") << "/opt/my apps/ping"
                               << "\"/opt/my apps/ping\"";
        QTest::newRow("quote and dollar") << "/a\"b$c"
                                          << "\"/a\\\\\"b\\\\$c\"";
        QTest::newRow("backslash") << "/a\\b"
                                   << "\"/a\\\\\\\\b\"";
        QTest::newRow("percent") << "/a%b"
                                 << "/a%%b";
        QTest::newRow("newline") << "/a\nb"
                                 << "\"/a\\nb\"";
        QTest::newRow("empty") << ""
                               << "\"\"";
    }
    void execArgument() {
        QFETCH(QString, argument);
        QFETCH(QString, written);
        QCOMPARE(veltrin::DesktopExecArgument(argument), written);
    }

    void autostartEntry() {
        using veltrin::autostart::State;
        const QString entry = veltrin::autostart::EntryPath();
        QVERIFY(entry.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
        QVERIFY(entry.endsWith(QStringLiteral("/autostart/Korbel.desktop")));
        QCOMPARE(veltrin::autostart::Detect(), State::Absent);
        QVERIFY(veltrin::autostart::Disable());  // nothing to remove
        QVERIFY(veltrin::autostart::Enable(QStringLiteral("/opt/my apps/veltrin-ping")));
        QCOMPARE(veltrin::autostart::Detect(), State::Present);
        const QByteArray text = ReadFile(entry);
        QVERIFY(text.startsWith("[Desktop Entry]\n"));
        QVERIFY(text.contains("\nExec=\"/opt/my apps/veltrin-ping\"\n"));
        QVERIFY(veltrin::autostart::Disable());
        QCOMPARE(veltrin::autostart::Detect(), State::Absent);
        QVERIFY(!QFileInfo::exists(entry));

        // A plain file where the folder should be: detection fails and so does enabling.
        QVERIFY(QDir(QFileInfo(entry).absolutePath()).removeRecursively());
        QVERIFY(WriteFile(QFileInfo(entry).absolutePath(), "x"));
        QCOMPARE(veltrin::autostart::Detect(), State::Failed);
        QVERIFY(!veltrin::autostart::Enable(QStringLiteral("/usr/bin/veltrin-ping")));
    }

    void autostartEntryAsFolder() {
        const QString entry = veltrin::autostart::EntryPath();
        QVERIFY(QDir().mkpath(entry));
        QCOMPARE(veltrin::autostart::Detect(), veltrin::autostart::State::Failed);
        QVERIFY(!veltrin::autostart::Disable());
    }

    void fileTypeFiles() {
        const veltrin::FileTypeFiles files = veltrin::FileTypePaths();
        QVERIFY(files.mimepackage.startsWith(qEnvironmentVariable("XDG_DATA_HOME")));
        QVERIFY(veltrin::RegisterSplFileType(QStringLiteral("/opt/v p/veltrin-ping"), "PNG"));
        QVERIFY(ReadFile(files.desktopentry).contains("\nExec=\"/opt/v p/veltrin-ping\" %f\n"));
        QCOMPARE(ReadFile(files.icon), QByteArray("PNG"));
        QVERIFY(ReadFile(files.mimepackage).contains("type=\"application/x-veltrin-spl\""));
        // The desktop entry is one the desktop's own checker accepts.
        const QString validate = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (!validate.isEmpty()) {
            QProcess process;
            process.start(validate, {files.desktopentry});
            QVERIFY(process.waitForFinished(20000));
            QVERIFY2(process.exitCode() == 0, process.readAllStandardOutput().constData());
        }
        // The shared MIME database learns the pattern from the package.
        const QString update = QStandardPaths::findExecutable(QStringLiteral("update-mime-database"));
        if (!update.isEmpty()) {
            const QString mimedir = QFileInfo(files.mimepackage).absolutePath() + QStringLiteral("/..");
            QProcess process;
            process.start(update, {QDir::cleanPath(mimedir)});
            QVERIFY(process.waitForFinished(60000));
            QTRY_VERIFY_WITH_TIMEOUT(ReadFile(QDir::cleanPath(mimedir) + QStringLiteral("/globs2"))
                                         .contains("application/x-veltrin-spl:*.spl"),
                                     10000);
        }
        // A data home that cannot hold the folders fails the registration.
        qputenv("XDG_DATA_HOME", QFile::encodeName(files.mimepackage));  // a file
        QVERIFY(!veltrin::RegisterSplFileType(QStringLiteral("/usr/bin/veltrin-ping")));
    }

    // The files the package installs are the ones a build-tree program writes, with the
    // program found on PATH.
    void installedCopiesMatch() {
        const QString res = QStringLiteral(VELTRIN_SOURCE_DIR "/resources/");
        QCOMPARE(ReadFile(res + QStringLiteral("veltrin-ping-mime.xml")), veltrin::MimePackageText());
        QCOMPARE(ReadFile(res + QString::fromLatin1(veltrin::kDesktopAppId) + QStringLiteral(".desktop")),
                 veltrin::FileTypeDesktopEntry(QStringLiteral("veltrin-ping")));
    }

    void installedProgramWritesNothing_data() {
        QTest::addColumn<int>("layout");
        QTest::addColumn<bool>("installed");
        QTest::newRow("prefix with our desktop entry") << 0 << true;
        QTest::newRow("prefix without it (build tree)") << 1 << false;
        QTest::newRow("desktop entry is a folder") << 2 << false;
        QTest::newRow("another program's entry only") << 3 << false;
    }
    void installedProgramWritesNothing() {
        QFETCH(int, layout);
        QFETCH(bool, installed);
        const QString prefix = QDir::cleanPath(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/../prefix"));
        const QString program = prefix + QStringLiteral("/bin/veltrin-ping");
        QVERIFY(WriteFile(program, "x"));
        const QString apps = prefix + QStringLiteral("/share/applications/");
        const QString entry = apps + QString::fromLatin1(veltrin::kDesktopAppId) + QStringLiteral(".desktop");
        if (layout == 0) QVERIFY(WriteFile(entry, veltrin::FileTypeDesktopEntry(QStringLiteral("veltrin-ping"))));
        if (layout == 2) QVERIFY(QDir().mkpath(entry));
        if (layout == 3) QVERIFY(WriteFile(apps + QStringLiteral("other.desktop"), "[Desktop Entry]\n"));
        QCOMPARE(veltrin::IsInstalledProgram(program), installed);
        QVERIFY(veltrin::RegisterSplFileType(program, "PNG"));
        const veltrin::FileTypeFiles files = veltrin::FileTypePaths();
        for (const QString& path : {files.mimepackage, files.desktopentry, files.icon})
            QCOMPARE(QFileInfo::exists(path), !installed);
        QCOMPARE(QFileInfo::exists(qEnvironmentVariable("XDG_DATA_HOME")), !installed);
    }

    void oldEntryGoes() {
        const QString data = qEnvironmentVariable("XDG_DATA_HOME");
        const QString old = data + QStringLiteral("/applications/veltrin-ping.desktop");
        const QString oldicon = data + QStringLiteral("/icons/hicolor/256x256/apps/veltrin-ping.png");
        QByteArray ours = veltrin::FileTypeDesktopEntry(QStringLiteral("/old/build/veltrin-ping"));
        QVERIFY(WriteFile(old, ours));
        QVERIFY(WriteFile(oldicon, "PNG"));
        QVERIFY(veltrin::RegisterSplFileType(QStringLiteral("/new/build/veltrin-ping")));
        QVERIFY(!QFileInfo::exists(old));
        QVERIFY(!QFileInfo::exists(oldicon));
        QVERIFY(QFileInfo::exists(veltrin::FileTypePaths().desktopentry));
        // Someone else's file of that name stays.
        const QByteArray foreign = "[Desktop Entry]\nName=Something else\nMimeType=application/x-veltrin-spl;\n";
        QVERIFY(WriteFile(old, foreign));
        QVERIFY(WriteFile(oldicon, "PNG"));
        QVERIFY(veltrin::RegisterSplFileType(QStringLiteral("/new/build/veltrin-ping")));
        QCOMPARE(ReadFile(old), foreign);
        QVERIFY(QFileInfo::exists(oldicon));
    }

    void writeOnlyWhenDifferent() {
        const QString path = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/x/file");
        QCOMPARE(veltrin::WriteFileIfDifferent(path, "abc"), veltrin::WriteOutcome::Written);
        QCOMPARE(veltrin::WriteFileIfDifferent(path, "abc"), veltrin::WriteOutcome::Unchanged);
        QCOMPARE(veltrin::WriteFileIfDifferent(path, "abcd"), veltrin::WriteOutcome::Written);
        QCOMPARE(veltrin::WriteFileIfDifferent(path, "ab"), veltrin::WriteOutcome::Written);
        QCOMPARE(ReadFile(path), QByteArray("ab"));
        QCOMPARE(veltrin::WriteFileIfDifferent(path + QStringLiteral("/under/a/file"), "x"),
                 veltrin::WriteOutcome::Failed);
    }
};

QTEST_GUILESS_MAIN(DesktopFilesTest)
#include "desktopfiles_test.moc"
