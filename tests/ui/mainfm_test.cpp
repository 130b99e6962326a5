// The main window: start-up with and without a list file, the interval field, the list commands
// and menus, the add dialogs, the address log round trip and the desktop files. Replies come
// from real ICMP on loopback (root or CAP_NET_RAW needed for those checks).
#include "ui/mainfm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QtTest>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "logs/logfiles.h"
#include "monitor/addresslist.h"
#include "platform/autostart.h"
#include "platform/filetype.h"
#include "settings/settingsfile.h"
#include "ui/addmore.h"
#include "ui/addone.h"
#include "ui/addresslistmodel.h"
#include "ui/appexit.h"
#include "ui/detailfm.h"
#include "ui/dialogs.h"
#include "ui/pictures.h"
#include "ui/topfm.h"

using veltrin::Golbal;

namespace {

// Every test runs with its own home, so nothing here touches the real desktop files.
QTemporaryDir* homedir = nullptr;

// Each test gets fresh desktop folders (tools started by an earlier test may still write into
// the earlier ones).
QString testhome;
QString Home() {
    return testhome;
}
QString DataHome() {
    return Home() + QStringLiteral("/data");
}
QString ConfigHome() {
    return Home() + QStringLiteral("/config");
}
QString DataDirs() {
    return Home() + QStringLiteral("/share");
}

void UseFreshHome() {
    static int count = 0;
    testhome = homedir->path() + QStringLiteral("/t%1").arg(++count);
    QDir().mkpath(testhome);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(ConfigHome()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(DataHome()));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(DataDirs()));
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

ino_t Inode(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return st.st_ino;
}

bool RawSocketsAvailable() {
    veltrin::IcmpSocket probe;
    return probe.ok();
}

std::vector<std::string> Addresses(const veltrin::AddressList& list) {
    std::vector<std::string> out;
    for (const veltrin::AddressRow& row : list.Rows()) out.push_back(row.address);
    return out;
}

QStringList Captions(const std::vector<std::string>& addresses) {
    QStringList out;
    for (const std::string& a : addresses) out << QString::fromStdString(a);
    return out;
}

// The captions of a menu's items, "-" for a separator.
QStringList MenuCaptions(const QMenu* menu) {
    QStringList out;
    for (const QAction* a : menu->actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

QAction* FindAction(QObject* root, const char* name) {
    return root->findChild<QAction*>(QString::fromLatin1(name));
}

// Selects exactly `rows` in the window's list view, as a user's clicks would.
void SelectRows(Tmainform& w, const std::vector<int>& rows) {
    QItemSelectionModel* selection = w.ListV1()->selectionModel();
    selection->clearSelection();
    for (int r : rows)
        selection->select(w.ListV1()->model()->index(r, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// Runs `action` on the next modal dialog that opens (after `exec()` started).
void OnNextModal(std::function<void(QWidget*)> action) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) return;
        timer->stop();
        timer->deleteLater();
        action(modal);
    });
    timer->start();
}

}  // namespace

class MainFormTest : public QObject {
    Q_OBJECT

  private:
    QString temp_;  // a fresh folder for each test
    std::unique_ptr<QTemporaryDir> tempdir_;
    // Answers every dialog of a test, so none waits for a user.
    std::unique_ptr<veltrin::DialogRecorder> dialogs_;

    QString ListFile(const QByteArray& bytes, const QString& name = QStringLiteral("list.spl")) {
        const QString path = temp_ + u'/' + name;
        WriteFile(path, bytes);
        return path;
    }

  private slots:
    void init() {
        dialogs_ = std::make_unique<veltrin::DialogRecorder>();
        tempdir_ = std::make_unique<QTemporaryDir>();
        temp_ = tempdir_->path();
        Golbal()->interval = 3;
        Golbal()->datalength = 8;
        Golbal()->mailsetting = veltrin::Tmailsetting{};
        Taddmorefm::SetGroupprefix(QString());
        UseFreshHome();
    }

    void cleanup() { dialogs_.reset(); }

    // ---- start-up ------------------------------------------------------------------------

    void startsWithListFileAndRuns() {
        const QString path = ListFile(
            "127.0.0.1_   TTL  Timeout     \r\r\n127.0.0.2_   TTL  Timeout     \r\r\n"
            "127.0.0.3_   TTL  Timeout     \r\r\n");
        Tmainform w({path});
        QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.1", "127.0.0.2", "127.0.0.3"}));
        QCOMPARE(w.ListV1()->model()->rowCount(), 3);
        QVERIFY(w.monitor().created());
        QVERIFY(w.monitor().running());
        QVERIFY(w.StatusGreen());
        if (!RawSocketsAvailable()) QSKIP("raw ICMP sockets need root or CAP_NET_RAW; no replies can arrive");
        // Loopback answers at once; the default echo (12 bytes) comes back as a 32-byte datagram.
        QTRY_VERIFY_WITH_TIMEOUT(
            !w.list().Row(0).ttl.empty() && !w.list().Row(1).ttl.empty() && !w.list().Row(2).ttl.empty(),
            20000);
        for (const veltrin::AddressRow& row : w.list().Rows()) {
            QCOMPARE(QString::fromStdString(row.bytes), QStringLiteral("return data length:   32"));
            QVERIFY(QString::fromStdString(row.ttl).toInt() > 0);
            bool ok = false;
            QString::fromStdString(row.time).toInt(&ok);
            QVERIFY(ok);
        }
        // The view shows what the list holds.
        QTRY_COMPARE(w.ListV1()->model()->index(0, 3).data().toString(),
                     QStringLiteral("return data length:   32"));
    }

    void startsEmptyAndStopped_data() {
        QTest::addColumn<int>("kind");
        QTest::newRow("two arguments") << 0;
        QTest::newRow("missing file") << 1;
        QTest::newRow("a folder") << 2;
        QTest::newRow("no argument") << 3;
    }
    void startsEmptyAndStopped() {
        QFETCH(int, kind);
        const QString path = ListFile("127.0.0.1_   TTL  Timeout     \r\r\n");
        QStringList arguments;
        if (kind == 0) arguments = {path, path};
        if (kind == 1) arguments = {temp_ + QStringLiteral("/nothing.spl")};
        if (kind == 2) arguments = {temp_};
        Tmainform w(arguments);
        QCOMPARE(w.list().Count(), 0);
        QVERIFY(!w.monitor().created());
        QVERIFY(!w.monitor().running());
        QVERIFY(!w.StatusGreen());
        QVERIFY(!w.detailopen());
    }

    // The list outlives the window: written shortly after a change (or when the window goes),
    // read back at the next start when no file is named, and the monitor starts on it.
    void listKeptBetweenRuns() {
        const QString kept = Tmainform::KeptListPath();
        QVERIFY(kept.startsWith(DataHome()));
        {
            Tmainform w({});
            QCOMPARE(w.list().Count(), 0);
            w.list().Append("127.0.0.1");
            w.list().Append(" 127.0.0.2");
            w.list().Append("localhost");
            w.list().SetCells(0, "64", "1", "return data length:   32");
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(kept), 10000);
            QCOMPARE(ReadFile(kept), QByteArray("127.0.0.1_   TTL  Timeout     \r\r\n"
                                                " 127.0.0.2_   TTL  Timeout     \r\r\n"
                                                "localhost_   TTL  Timeout     \r\r\n"));
            w.list().RemoveAt(2);  // closed before the delayed write: written on the way out
        }
        {
            Tmainform w({});
            QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.1", " 127.0.0.2"}));
            QVERIFY(w.monitor().running());
            w.stopbtnClick();
            SelectRows(w, {0, 1});
            dialogs_->QueueQuestionAnswer(true);
            w.ClearAllAddresses();
        }
        {
            Tmainform w({});
            QCOMPARE(w.list().Count(), 0);
            QVERIFY(!w.monitor().running());
        }
        QVERIFY(dialogs_->messages.empty());
    }

    // A file named on the command line is what the window starts with, as before.
    void argumentFileInsteadOfKeptList() {
        { Tmainform w({}); w.list().Append("127.0.0.9"); }
        QVERIFY(ReadFile(Tmainform::KeptListPath()).startsWith("127.0.0.9_"));
        Tmainform w({ListFile("127.0.0.1_\r\r\n")});
        QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.1"}));
    }

    // With keeping turned off in the settings nothing is read or written.
    void keepingTurnedOff() {
        { Tmainform w({}); w.list().Append("127.0.0.9"); }
        const QByteArray before = ReadFile(Tmainform::KeptListPath());
        QVERIFY(veltrin::SavePingInteger(Golbal()->inipath, veltrin::kKeepListKey, 0));
        {
            Tmainform w({});
            QCOMPARE(w.list().Count(), 0);
            w.list().Append("127.0.0.5");
        }
        QCOMPARE(ReadFile(Tmainform::KeptListPath()), before);
        QVERIFY(veltrin::SavePingInteger(Golbal()->inipath, veltrin::kKeepListKey, 1));
        Tmainform w({});
        QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.9"}));
    }

    // The sweep pace is a checkable Run menu entry that the monitor follows at once and the
    // settings file keeps for the next start.
    void sweepPaceFromTheRunMenu() {
        {
            Tmainform w({});
            QAction* sweep = FindAction(&w, "sweep1");
            QVERIFY(sweep != nullptr);
            QVERIFY(sweep->isCheckable());
            QVERIFY(!sweep->isChecked());
            QVERIFY(!w.monitor().Sweeping());
            sweep->trigger();
            QVERIFY(w.monitor().Sweeping());
            QCOMPARE(veltrin::LoadPingInteger(Golbal()->inipath, veltrin::kSweepKey, 0), 1);
        }
        {
            Tmainform w({});
            QVERIFY(FindAction(&w, "sweep1")->isChecked());
            QVERIFY(w.monitor().Sweeping());
            FindAction(&w, "sweep1")->trigger();
            QVERIFY(!w.monitor().Sweeping());
        }
        QCOMPARE(veltrin::LoadPingInteger(Golbal()->inipath, veltrin::kSweepKey, 1), 0);
    }

    // A data folder that cannot be written is said once; the list in the window stays.
    void keptListWriteFailureSaidOnce() {
        Tmainform w({});
        w.show();
        const QString kept = Tmainform::KeptListPath();
        QVERIFY(QDir().mkpath(kept));  // a folder where the file should go
        w.list().Append("127.0.0.1");
        QTRY_COMPARE_WITH_TIMEOUT(dialogs_->messages.size(), std::size_t{1}, 10000);
        QVERIFY2(dialogs_->messages[0].text.startsWith(QStringLiteral("Address list cannot be kept: ")),
                 qPrintable(dialogs_->messages[0].text));
        w.list().Append("127.0.0.2");
        QTest::qWait(1500);
        QCOMPARE(dialogs_->messages.size(), std::size_t{1});
        QCOMPARE(w.list().Count(), 2);
    }

    void registersFileTypeOnlyWhenDifferent() {
        const veltrin::FileTypeFiles files = veltrin::FileTypePaths();
        QVERIFY(files.mimepackage.startsWith(DataHome()));
        QFile::remove(files.icon);
        {
            Tmainform w({});
            // The text files are there once the window is made; the icon follows its first paint.
            QVERIFY(ReadFile(files.mimepackage).contains("<glob pattern=\"*.spl\"/>"));
            w.show();
            QTRY_VERIFY(QFileInfo(files.icon).size() > 0);
            QVERIFY(ReadFile(files.icon).startsWith("\x89PNG"));
        }
        const QByteArray desktop = ReadFile(files.desktopentry);
        QVERIFY(desktop.contains("MimeType=application/x-veltrin-spl;\n"));
        QVERIFY(
            desktop.contains("Exec=" + QFile::encodeName(QCoreApplication::applicationFilePath()) + " %f\n"));
        // A window that is never shown still writes the icon, a moment after it was made.
        QFile::remove(files.icon);
        {
            Tmainform w({});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(files.icon).size() > 0, 10000);
        }
        // A second start finds the files as they should be and leaves them alone.
        const ino_t mimeinode = Inode(files.mimepackage);
        const ino_t desktopinode = Inode(files.desktopentry);
        const ino_t iconinode = Inode(files.icon);
        {
            Tmainform w({});
            w.show();
            QTest::qWait(2500);
        }
        QCOMPARE(Inode(files.mimepackage), mimeinode);
        QCOMPARE(Inode(files.desktopentry), desktopinode);
        QCOMPARE(Inode(files.icon), iconinode);
        // A changed file is written again.
        QVERIFY(WriteFile(files.desktopentry, "[Desktop Entry]\nExec=/somewhere/else %f\n"));
        { Tmainform w({}); }
        QCOMPARE(ReadFile(files.desktopentry), desktop);
    }

    void autoStartItem_data() {
        QTest::addColumn<int>("setup");
        QTest::addColumn<bool>("checked");
        QTest::newRow("no entry") << 0 << false;
        QTest::newRow("entry present") << 1 << true;
        QTest::newRow("autostart folder is a file") << 2 << true;
        // A failed file-type registration has nothing to do with the logon entry.
        QTest::newRow("file type cannot be written") << 3 << false;
        QTest::newRow("file type cannot be written, entry present") << 4 << true;
    }
    void autoStartItem() {
        QFETCH(int, setup);
        QFETCH(bool, checked);
        if (setup == 1) QVERIFY(veltrin::autostart::Enable(QStringLiteral("/opt/x/veltrin-ping")));
        if (setup == 2) QVERIFY(WriteFile(ConfigHome() + QStringLiteral("/autostart"), "not a folder"));
        if (setup == 3 || setup == 4) QVERIFY(WriteFile(DataHome() + QStringLiteral("/mime"), "not a folder"));
        if (setup == 4) QVERIFY(veltrin::autostart::Enable(QStringLiteral("/opt/x/veltrin-ping")));
        const QString path = ListFile("127.0.0.1_\r\r\n");
        Tmainform w({path});
        QCOMPARE(w.AutoStartChecked(), checked);
        QCOMPARE(FindAction(&w, "Autorun1")->isChecked(), checked);
        // The rest of start-up is not affected.
        QCOMPARE(w.list().Count(), 1);
        QVERIFY(w.monitor().running());
    }

    void rawSocketNoticeOnce() {
        if (RawSocketsAvailable()) {
            // Checked in a child of this test that runs without the raw-socket right.
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (setpriv.isEmpty()) QSKIP("setpriv is needed to run without CAP_NET_RAW");
            QProcess child;
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(setpriv,
                        {QStringLiteral("--bounding-set=-net_raw"), QStringLiteral("--inh-caps=-net_raw"),
                         QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                         QStringLiteral("rawSocketNoticeOnce")});
            QVERIFY(child.waitForFinished(120000));
            const QByteArray output = child.readAll();
            QVERIFY2(child.exitCode() == 0, output.constData());
            QVERIFY2(output.contains("PASS   : MainFormTest::rawSocketNoticeOnce()"), output.constData());
            return;
        }
        const QString path = ListFile("127.0.0.1_\r\r\n");
        veltrin::DialogRecorder& recorder = *dialogs_;
        Tmainform w({path});
        // Start-up is not held up by the notice; it follows once the window is up.
        QVERIFY(w.monitor().running());
        w.show();
        QTRY_COMPARE(recorder.messages.size(), std::size_t{1});
        QCOMPARE(recorder.messages[0].title, QStringLiteral("Notice"));
        QVERIFY(!recorder.messages[0].text.isEmpty());
        // Told once per process, whatever happens afterwards.
        w.stopbtnClick();
        w.pingbtnClick();
        Tmainform second({path});
        second.show();
        QTest::qWait(300);
        QCOMPARE(recorder.messages.size(), std::size_t{1});
    }

    // ---- layout and menus ------------------------------------------------------------------

    void menusAndToolBar() {
        Tmainform w({});
        QCOMPARE(w.windowTitle(), QStringLiteral("Veltrin Ping Utility"));
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QStringList tops;
        for (const QAction* a : w.menuBar()->actions()) tops << a->text();
        QCOMPARE(tops, QStringList({"&File", "&Edit", "&Run", "&Setting", "&Help"}));
        QVERIFY(w.menuBar()->actions().at(3)->menu() == nullptr);
        QCOMPARE(MenuCaptions(w.menuBar()->actions().at(0)->menu()),
                 QStringList({"&Import address from file", "&Save address log", "-", "E&xit"}));
        QCOMPARE(MenuCaptions(w.menuBar()->actions().at(1)->menu()),
                 QStringList({"&Add an address", "Add a &group", "-", "&Import from file", "-",
                              "&Delete an address", "De&lete addresses", "-", "&Clear all addresses"}));
        QCOMPARE(MenuCaptions(w.menuBar()->actions().at(2)->menu()),
                 QStringList({"&Start ", "S&top ", "-", "S&weep every row each interval", "&Auto start"}));
        QVERIFY(FindAction(&w, "Autorun1")->isCheckable());
        QCOMPARE(MenuCaptions(w.menuBar()->actions().at(4)->menu()),
                 QStringList({"&How to use ?", "-", "&About "}));
        QCOMPARE(MenuCaptions(w.findChild<QMenu*>("pmselected")),
                 QStringList({"Delete &last address", "&Delete selected address(es)", "-", "&Save address log",
                              "-", "&More detail info...", "IP &Tracert "}));
        QCOMPARE(MenuCaptions(w.findChild<QMenu*>("pmnone")),
                 QStringList({"&Add an address", "Add a &group", "-", "Delete a&ll address", "&Delete an address",
                              "-", "&Import address from file"}));

        QStringList hints;
        for (const QAction* a : w.findChild<QToolBar*>("ToolBar1")->actions())
            if (!a->toolTip().isEmpty() && !a->icon().isNull()) hints << a->toolTip();
        QCOMPARE(hints,
                 QStringList({"Import address from file", "Save address log", "Add an address", "Add a group",
                              "Delete an address", "Delete all address", "About help ...."}));

        QCOMPARE(w.findChild<QGroupBox*>("GroupBox1")->title(), QStringLiteral("Ping setting"));
        QCOMPARE(w.findChild<QLabel*>("Label1")->text(), QStringLiteral("Ping interval"));
        QCOMPARE(w.findChild<QLabel*>("Label2")->toolTip(), QStringLiteral("T=100 ms"));
        QCOMPARE(w.Edit2()->text(), QStringLiteral("3"));
        QCOMPARE(w.findChild<QPushButton*>("pingbtn")->text(), QStringLiteral("Ping"));
        QCOMPARE(w.findChild<QPushButton*>("stopbtn")->text(), QStringLiteral("Stop"));

        const QAbstractItemModel* model = w.ListV1()->model();
        QStringList headers;
        for (int c = 0; c < model->columnCount(); ++c)
            headers << model->headerData(c, Qt::Horizontal).toString();
        // The four columns the logs rely on come first, unchanged; the reachability columns
        // follow, then the strip of recent results.
        QCOMPARE(headers, QStringList({"Addresses", "TTL", "Time(ms)", "Bytes", "Sent", "Lost", "Loss %",
                                       "Last reply", "History"}));
        QCOMPARE(w.ListV1()->columnWidth(0), 150);
        QCOMPARE(w.ListV1()->columnWidth(3), 200);
        QCOMPARE(w.ListV1()->palette().color(QPalette::Text), QColor(0, 255, 0));
        QCOMPARE(w.ListV1()->editTriggers(), QAbstractItemView::NoEditTriggers);
    }

    // Every item of the menu bar, its menus, the list's, the tray's and the top window's menus has a mnemonic, and no two
    // items of one menu share theirs (else Alt+letter would only move between them).
    void menuMnemonicsUniquePerMenu() {
        Tmainform w({});
        QList<QList<QAction*>> menus{w.menuBar()->actions()};
        for (QAction* top : w.menuBar()->actions())
            if (top->menu() != nullptr) menus << top->menu()->actions();
        menus << w.findChild<QMenu*>("pmselected")->actions() << w.findChild<QMenu*>("pmnone")->actions();
        // The tray's menu and the top window's.
        menus << w.TrayMenu()->actions();
        QVERIFY(w.TopForm() != nullptr);
        menus << w.TopForm()->popmu1()->actions();
        for (const QList<QAction*>& items : menus) {
            QSet<QString> seen;
            for (const QAction* a : items) {
                if (a->isSeparator()) continue;
                const QKeySequence key = QKeySequence::mnemonic(a->text());
                QVERIFY2(!key.isEmpty(), qPrintable(a->text()));
                QVERIFY2(!seen.contains(key.toString()), qPrintable(a->text()));
                seen.insert(key.toString());
            }
        }
    }

    void picturesAreDrawn() {
        QCOMPARE(veltrin::ToolbarStrip().size(), QSize(112, 16));
        QCOMPARE(veltrin::GreenBmp().size(), QSize(16, 16));
        QCOMPARE(veltrin::T1Bmp().size(), QSize(32, 32));
        QVERIFY(!veltrin::GreenIco().isNull() && !veltrin::RedIco().isNull() && !veltrin::AppIcon().isNull());
        // Seven different images, none of them blank.
        QList<QImage> images;
        for (int i = 0; i < veltrin::kToolbarImages; ++i) {
            const QImage image = veltrin::ToolbarImage(i).toImage();
            QCOMPARE(image.size(), QSize(16, 16));
            int opaque = 0;
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x) opaque += qAlpha(image.pixel(x, y)) > 0;
            QVERIFY2(opaque > 20, qPrintable(QStringLiteral("image %1 is nearly empty").arg(i)));
            for (const QImage& other : images) QVERIFY(other != image);
            images << image;
        }
        QVERIFY(veltrin::GreenBmp().toImage() != veltrin::RedBmp().toImage());
        // The emblem's corner is the white the top window treats as transparent.
        QCOMPARE(veltrin::T1Bmp().toImage().pixelColor(0, 31), QColor(Qt::white));
    }

    // ---- interval field --------------------------------------------------------------------

    void intervalFieldKeys() {
        Tmainform w({});
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.Edit2()->setFocus();
        w.Edit2()->clear();
        QTest::keyClicks(w.Edit2(), QStringLiteral("a1-b2 .x"));
        QCOMPARE(w.Edit2()->text(), QStringLiteral("12"));
        QCOMPARE(w.IntervalText(), QStringLiteral("12"));
        QTest::keyClick(w.Edit2(), Qt::Key_Backspace);
        QCOMPARE(w.Edit2()->text(), QStringLiteral("1"));
        QTest::keyClicks(w.Edit2(), QStringLiteral("7"));
        // Enter stores at once and moves on.
        QTest::keyClick(w.Edit2(), Qt::Key_Return);
        QCOMPARE(Golbal()->interval, 17);
        QVERIFY(!w.Edit2()->hasFocus());
        QCOMPARE(QApplication::focusWidget(), w.findChild<QPushButton*>("pingbtn"));
    }

    void intervalFieldLeft_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("empty") << "" << 3 << "3";
        QTest::newRow("zero stays zero") << "0" << 0 << "0";
        QTest::newRow("number") << "25" << 25 << "25";
        QTest::newRow("pasted text") << "abc" << 3 << "3";
        QTest::newRow("too large") << "99999999999" << 3 << "3";
    }
    void intervalFieldLeft() {
        QFETCH(QString, text);
        QFETCH(int, stored);
        QFETCH(QString, shown);
        Tmainform w({});
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        Golbal()->interval = 42;
        w.Edit2()->setFocus();
        w.Edit2()->setText(text);  // not typed: not filtered
        w.findChild<QPushButton*>("stopbtn")->setFocus();
        QCOMPARE(Golbal()->interval, stored);
        w.FormPaint();
        QCOMPARE(w.Edit2()->text(), shown);
    }

    // ---- list commands ---------------------------------------------------------------------

    void pmnoneDeleteAnAddressClearsAndStops() {
        const QString path = ListFile("127.0.0.1_\r\r\n127.0.0.2_\r\r\n");
        Tmainform w({path});
        QVERIFY(w.monitor().running());
        dialogs_->QueueQuestionAnswer(true);
        FindAction(w.findChild<QMenu*>("pmnone"), "deleteanaddress2")->trigger();
        QCOMPARE(w.list().Count(), 0);
        QCOMPARE(w.ListV1()->model()->rowCount(), 0);
        QVERIFY(!w.monitor().running());
        QVERIFY(w.monitor().created());
        QVERIFY(!w.StatusGreen());
        // Adding again and Ping resumes the same workers.
        w.list().Append("127.0.0.1");
        w.pingbtnClick();
        QVERIFY(w.monitor().running());
        QVERIFY(w.StatusGreen());
    }

    void deleteLastAddress() {
        {
            const QString path = ListFile("127.0.0.1_\r\r\n");
            Tmainform w({path});
            QVERIFY(w.monitor().running());
            w.DeleteLastAddress();
            QCOMPARE(w.list().Count(), 0);
            QVERIFY(!w.monitor().running());
            QVERIFY(!w.StatusGreen());
        }
        {
            const QString path = ListFile("127.0.0.1_\r\r\n127.0.0.2_\r\r\n");
            Tmainform w({path});
            SelectRows(w, {0});
            // The selection popup item deletes the last row, whichever is selected.
            FindAction(w.findChild<QMenu*>("pmselected"), "ds")->trigger();
            QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.1"}));
            QVERIFY(w.monitor().running());
        }
    }

    void deleteSelected() {
        const QString path = ListFile("127.0.0.1_\r\r\n127.0.0.2_\r\r\n127.0.0.3_\r\r\n");
        {
            Tmainform w({path});
            SelectRows(w, {0, 2});
            w.DeleteSelectedAddress();  // two selected: nothing
            QCOMPARE(w.list().Count(), 3);
            dialogs_->QueueQuestionAnswer(true);
            FindAction(&w, "deleteanaddress1")->trigger();  // Edit > Delete an address
            QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.2"}));
            QVERIFY(w.monitor().running());
            QCOMPARE(w.ListV1()->selectionModel()->selectedRows().size(), 0);
        }
        {
            Tmainform w({path});
            SelectRows(w, {0, 1, 2});
            dialogs_->QueueQuestionAnswer(true);
            FindAction(w.findChild<QMenu*>("pmselected"), "Detele1")->trigger();
            QCOMPARE(w.list().Count(), 0);
            QVERIFY(!w.monitor().running());
        }
        {
            Tmainform w({path});
            SelectRows(w, {1});
            FindAction(&w, "one_outBtn")->trigger();  // tool button "Delete an address"
            QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.1", "127.0.0.3"}));
            // Deleting single rows never stops the monitor, even down to none.
            SelectRows(w, {0});
            w.DeleteSelectedAddress();
            SelectRows(w, {0});
            w.DeleteSelectedAddress();
            QCOMPARE(w.list().Count(), 0);
            QVERIFY(w.monitor().running());
        }
    }

    void rightPressShowsMenuForSelection() {
        const QString path = ListFile("127.0.0.1_\r\r\n127.0.0.2_\r\r\n");
        Tmainform w({path});
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto* pmselected = w.findChild<QMenu*>("pmselected");
        auto* pmnone = w.findChild<QMenu*>("pmnone");
        QWidget* viewport = w.ListV1()->viewport();
        const QRect row1 = w.ListV1()->visualRect(w.ListV1()->model()->index(1, 0));

        // On a row: that row becomes the selection and the selection menu shows.
        QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, row1.center());
        QTRY_VERIFY(pmselected->isVisible());
        QVERIFY(!pmnone->isVisible());
        QCOMPARE(w.list().SelectedRows(), std::vector<int>({1}));
        pmselected->close();
        QTRY_VERIFY(!pmselected->isVisible());

        // Below the rows with rows selected: the selection stays, and so does its menu.
        QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, QPoint(10, viewport->height() - 5));
        QTRY_VERIFY(pmselected->isVisible());
        QVERIFY(!pmnone->isVisible());
        QCOMPARE(w.list().SelectedRows(), std::vector<int>({1}));
        QCOMPARE(w.ListV1()->selectionModel()->selectedRows().size(), 1);
        pmselected->close();
        QTRY_VERIFY(!pmselected->isVisible());

        // Below the rows with nothing selected: the empty-area menu.
        w.ListV1()->clearSelection();
        QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, QPoint(10, viewport->height() - 5));
        QTRY_VERIFY(pmnone->isVisible());
        QCOMPARE(w.list().SelectedCount(), 0);
        pmnone->close();
        QTRY_VERIFY(!pmnone->isVisible());
    }

    void deletingSeveralRowsAsksOnce_data() {
        QTest::addColumn<QString>("menu");    // "" for the window's own actions, "top" for the top window
        QTest::addColumn<QString>("action");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<int>("asked");       // rows named in the question; 0: no question
        QTest::addColumn<int>("leftonyes");   // rows left after Yes
        QTest::newRow("Edit > Delete addresses") << "" << "deleteaddresses1" << QList<int>{} << 3 << 0;
        QTest::newRow("Edit > Clear all addresses") << "" << "clearalladdress1" << QList<int>{} << 3 << 0;
        QTest::newRow("Edit > Delete an address, two selected") << "" << "deleteanaddress1" << QList<int>{0, 2} << 2 << 1;
        QTest::newRow("Edit > Delete an address, one selected") << "" << "deleteanaddress1" << QList<int>{1} << 0 << 2;
        QTest::newRow("tool button Delete all address") << "" << "More_outBtn" << QList<int>{} << 3 << 0;
        QTest::newRow("empty-area menu Delete all address") << "pmnone" << "deletealladdress2" << QList<int>{} << 3 << 0;
        QTest::newRow("empty-area menu Delete an address") << "pmnone" << "deleteanaddress2" << QList<int>{} << 3 << 0;
        QTest::newRow("selection menu, all selected") << "pmselected" << "Detele1" << QList<int>{0, 1, 2} << 3 << 0;
        QTest::newRow("selection menu, last address") << "pmselected" << "ds" << QList<int>{0} << 0 << 2;
        QTest::newRow("top window Delete all addresses") << "top" << "deletealladdresses1" << QList<int>{} << 3 << 0;
    }

    // A command that removes more than one row asks once, and No (the default) keeps every row.
    void deletingSeveralRowsAsksOnce() {
        QFETCH(QString, menu);
        QFETCH(QString, action);
        QFETCH(QList<int>, selected);
        QFETCH(int, asked);
        QFETCH(int, leftonyes);
        const QString path = ListFile("127.0.0.1_\r\r\n127.0.0.2_\r\r\n127.0.0.3_\r\r\n");
        veltrin::DialogRecorder& recorder = *dialogs_;
        for (const bool yes : {false, true}) {
            Tmainform w({path});
            recorder.questions.clear();
            SelectRows(w, std::vector<int>(selected.begin(), selected.end()));
            QObject* root = &w;
            if (menu == QLatin1String("top"))
                root = w.TopForm();
            else if (!menu.isEmpty())
                root = w.findChild<QMenu*>(menu);
            QAction* command = root->findChild<QAction*>(action);
            QVERIFY2(command, qPrintable(action));
            if (yes) recorder.QueueQuestionAnswer(true);
            command->trigger();
            if (asked == 0) {
                QVERIFY(recorder.questions.empty());
                QCOMPARE(w.list().Count(), leftonyes);
                break;
            }
            QCOMPARE(recorder.questions.size(), std::size_t{1});
            QCOMPARE(recorder.questions[0].text, QStringLiteral("Delete %1 addresses?").arg(asked));
            QCOMPARE(recorder.questions[0].title, QStringLiteral("Notice"));
            QCOMPARE(w.list().Count(), yes ? leftonyes : 3);
            QCOMPARE(w.monitor().running(), !yes || leftonyes > 0);
        }
    }

    void doubleClickOpensDetailForOneRow() {
        const QString path = ListFile("127.0.0.1_\r\r\n127.0.0.2_\r\r\n");
        Tmainform w({path});
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const QModelIndex row1 = w.ListV1()->model()->index(1, 0);

        // Two rows selected: nothing opens.
        SelectRows(w, {0, 1});
        emit w.ListV1()->doubleClicked(row1);
        QVERIFY(!w.detailopen());
        // The detail menu item wants exactly one row as well.
        FindAction(w.findChild<QMenu*>("pmselected"), "moredetailinfo1")->trigger();
        QVERIFY(!w.detailopen());

        // A double-click on a row (its first click selects it alone) opens its details.
        const QPoint at = w.ListV1()->visualRect(row1).center();
        QTest::mouseClick(w.ListV1()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(w.ListV1()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTRY_VERIFY(w.detailopen());
        Tdetailform* detail = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<Tdetailform*>(top); d != nullptr && d->isVisible()) detail = d;
        QVERIFY(detail != nullptr);
        QCOMPARE(detail->pingaddress(), QStringLiteral("127.0.0.2"));
        detail->close();
        QTRY_VERIFY(!w.detailopen());
    }

    // The list's keys: Delete removes the selection (asking when it is several rows), Enter opens
    // the detail window of the one selected row.
    void listKeys() {
        const QString path = ListFile("127.0.0.1_\r\r\n127.0.0.2_\r\r\n127.0.0.3_\r\r\n");
        Tmainform w({path});
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.ListV1()->setFocus();
        veltrin::DialogRecorder& recorder = *dialogs_;

        SelectRows(w, {0, 2});
        QTest::keyClick(w.ListV1(), Qt::Key_Delete);
        QCOMPARE(recorder.questions.size(), std::size_t{1});
        QCOMPARE(w.list().Count(), 3);  // No, the default
        SelectRows(w, {1});
        QTest::keyClick(w.ListV1(), Qt::Key_Delete);
        QCOMPARE(recorder.questions.size(), std::size_t{1});
        QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.1", "127.0.0.3"}));

        SelectRows(w, {1});
        QTest::keyClick(w.ListV1(), Qt::Key_Return);
        QTRY_VERIFY(w.detailopen());
        Tdetailform* detail = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<Tdetailform*>(top); d != nullptr && d->isVisible()) detail = d;
        QVERIFY(detail != nullptr);
        QCOMPARE(detail->pingaddress(), QStringLiteral("127.0.0.3"));
        detail->close();
        QTRY_VERIFY(!w.detailopen());
    }

    // ---- add dialogs ---------------------------------------------------------------------------

    void addGroup_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("endtyped");  // typed into the end field after the prefix
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("last");
        QTest::newRow("in order") << "198.18.1.10"
                                  << "20" << 10 << 20;
        QTest::newRow("reversed") << "198.18.1.20"
                                  << "10" << 10 << 20;
        QTest::newRow("clamped") << "198.18.1.0"
                                 << "300" << 1 << 255;
        QTest::newRow("nothing left") << "198.18.1.300"
                                      << "400" << 0 << -1;
        QTest::newRow("one") << "198.18.1.7"
                             << "7" << 7 << 7;
    }
    void addGroup() {
        QFETCH(QString, start);
        QFETCH(QString, endtyped);
        QFETCH(int, first);
        QFETCH(int, last);
        veltrin::AddressList list;
        list.Append("127.0.0.1");
        veltrin::DialogRecorder& recorder = *dialogs_;
        Taddmorefm dialog(list);
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Add a group"));
        dialog.Edit1->setFocus();
        QTest::keyClicks(dialog.Edit1, start);
        QTest::keyClick(dialog.Edit1, Qt::Key_Return);  // Enter moves on; the end field gets the prefix
        QVERIFY(dialog.Edit2->hasFocus());
        QCOMPARE(dialog.Edit2->text(), QStringLiteral("198.18.1."));
        QCOMPARE(Taddmorefm::groupprefix(), QStringLiteral("198.18.1."));
        QTest::keyClicks(dialog.Edit2, endtyped);
        QTest::mouseClick(dialog.Button1, Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(recorder.messages.empty());
        QStringList expected{"127.0.0.1"};
        for (int n = first; n <= last; ++n) expected << QStringLiteral("198.18.1.%1").arg(n);
        QCOMPARE(Captions(Addresses(list)), expected);
    }

    void addGroupUnknownAddress() {
        veltrin::AddressList list;
        veltrin::DialogRecorder& recorder = *dialogs_;
        Taddmorefm dialog(list);
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.Edit1->setFocus();
        QTest::keyClicks(dialog.Edit1, QStringLiteral("198.18.1.10"));
        QTest::keyClick(dialog.Edit1, Qt::Key_Tab);
        QCOMPARE(dialog.Edit2->text(), QStringLiteral("198.18.1."));
        // The end field cleared and typed as just 20: the cut leaves nothing.
        dialog.Edit2->clear();
        QTest::keyClicks(dialog.Edit2, QStringLiteral("20"));
        dialog.Button1Click();
        QCOMPARE(recorder.Texts(), QStringList({"Unknown IP address "}));
        QCOMPARE(recorder.messages[0].title, QStringLiteral("Notice"));
        QVERIFY(dialog.isVisible());
        QCOMPARE(list.Count(), 0);
        // Letters never reach the fields.
        QTest::keyClicks(dialog.Edit2, QStringLiteral("ab/-"));
        QCOMPARE(dialog.Edit2->text(), QStringLiteral("20"));
        // Esc closes without adding.
        QTest::keyClick(dialog.Edit2, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void addGroupPrefixOnlyFromStartField_data() {
        QTest::addColumn<int>("how");
        QTest::addColumn<QString>("endtext");  // the end field afterwards
        QTest::newRow("Tab from the start field") << 0 << "198.18.1.";
        QTest::newRow("click from the start field") << 1 << "198.18.1.";
        QTest::newRow("window comes back") << 2 << "198.18.1.7";
        QTest::newRow("context menu closes") << 3 << "198.18.1.7";
        QTest::newRow("Backtab from the Add button") << 4 << "198.18.1.7";
        QTest::newRow("program moves the focus") << 5 << "198.18.1.7";
    }

    // The end field takes the prefix only when the user moves to it from the start field.
    void addGroupPrefixOnlyFromStartField() {
        QFETCH(int, how);
        QFETCH(QString, endtext);
        veltrin::AddressList list;
        Taddmorefm dialog(list);
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.Edit1->setFocus();
        QTest::keyClicks(dialog.Edit1, QStringLiteral("198.18.1.5"));
        QTest::keyClick(dialog.Edit1, Qt::Key_Tab);
        QCOMPARE(dialog.Edit2->text(), QStringLiteral("198.18.1."));
        QTest::keyClicks(dialog.Edit2, QStringLiteral("7"));
        QCOMPARE(dialog.Edit2->text(), QStringLiteral("198.18.1.7"));
        switch (how) {
            case 0:
                dialog.Edit1->setFocus(Qt::MouseFocusReason);
                QTest::keyClick(dialog.Edit1, Qt::Key_Tab);
                break;
            case 1:
                dialog.Edit1->setFocus(Qt::MouseFocusReason);
                QTest::mouseClick(dialog.Edit2, Qt::LeftButton);
                break;
            case 2: {
                QWidget other;
                other.show();
                QApplication::setActiveWindow(&other);
                QVERIFY(QTest::qWaitForWindowActive(&other));
                QApplication::setActiveWindow(&dialog);
                QVERIFY(QTest::qWaitForWindowActive(&dialog));
                break;
            }
            case 3:
                dialog.Edit2->clearFocus();
                dialog.Edit2->setFocus(Qt::PopupFocusReason);
                break;
            case 4:
                dialog.Button1->setFocus(Qt::TabFocusReason);
                QTest::keyClick(dialog.Button1, Qt::Key_Backtab);
                break;
            default:
                dialog.Edit1->setFocus(Qt::OtherFocusReason);
                dialog.Edit2->setFocus(Qt::OtherFocusReason);
                break;
        }
        QVERIFY(dialog.Edit2->hasFocus());
        QCOMPARE(dialog.Edit2->text(), endtext);
    }

    void addGroupPrefixOutlivesDialog() {
        veltrin::AddressList list;
        {
            Taddmorefm dialog(list);
            dialog.Edit1->setText(QStringLiteral("198.18.2.1"));
            dialog.Edit2Enter();
        }
        Taddmorefm dialog(list);
        // No full stop in the start field: the earlier prefix is kept and cut from both fields.
        dialog.Edit1->setText(QStringLiteral("abcdefghi5"));
        dialog.Edit2Enter();
        QCOMPARE(dialog.Edit2->text(), QString());
        dialog.Edit2->setText(QStringLiteral("abcdefghi6"));
        dialog.Button1Click();
        QCOMPARE(Captions(Addresses(list)), QStringList({"198.18.2.5", "198.18.2.6"}));
    }

    void addOne_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("added");
        QTest::newRow("host name") << "localhost" << true;
        QTest::newRow("dotted, kept as typed") << "127.000.0.1" << true;
        QTest::newRow("leading zeros") << "127.000.000.003" << true;
        QTest::newRow("highest parts") << "255.255.255.255" << true;
        QTest::newRow("unknown name") << "no-such-host.invalid" << false;
        QTest::newRow("empty") << "" << false;
        // Dotted text that names no address is refused, not kept as a row that stays blank.
        QTest::newRow("part above 255") << "300.1.1.1" << false;
        QTest::newRow("last part above 255") << "1.2.3.256" << false;
        QTest::newRow("five parts") << "1.2.3.4.5" << false;
        QTest::newRow("three parts") << "1.2.3" << false;
        QTest::newRow("empty part") << "1..2.3" << false;
        QTest::newRow("trailing dot") << "1.2.3.4." << false;
        QTest::newRow("leading dot") << ".1.2.3" << false;
        QTest::newRow("four-digit part") << "0127.0.0.1" << false;
        QTest::newRow("dots only") << "..." << false;
        QTest::newRow("one number") << "2130706433" << false;
    }
    void addOne() {
        QFETCH(QString, text);
        QFETCH(bool, added);
        veltrin::AddressList list;
        veltrin::DialogRecorder& recorder = *dialogs_;
        Taddonefm dialog(list);
        dialog.show();
        QApplication::setActiveWindow(&dialog);
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Add an address"));
        QCOMPARE(dialog.Label1->text(), QStringLiteral("Add IP address, domain or URL"));
        dialog.Edit1->setFocus();
        QTest::keyClicks(dialog.Edit1, text);
        QTest::keyClick(dialog.Edit1, Qt::Key_Return);  // moves to "Add"
        QVERIFY(dialog.Button1->hasFocus());
        QTest::keyClick(dialog.Button1, Qt::Key_Space);
        if (added) {
            QCOMPARE(Captions(Addresses(list)), QStringList({text}));
            QVERIFY(recorder.messages.empty());
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QVERIFY(!dialog.isVisible());
        } else {
            QCOMPARE(list.Count(), 0);
            QCOMPARE(recorder.Texts(), QStringList({"Nonexistent address"}));
            QVERIFY(dialog.isVisible());
            QCOMPARE(dialog.Edit1->text(), text);
        }
    }

    // Rows written with leading zeros or as a name are pinged as the address they name and
    // show that address's replies, like the plain dotted row beside them.
    void rowsMatchRepliesByAddressValue() {
        const QString path = ListFile(
            "127.000.000.003_\r\r\n127.0.0.3_\r\r\n127.00.0.04_\r\r\n127.0.0.005_\r\r\nlocalhost_\r\r\n");
        Tmainform w({path});
        QVERIFY(w.monitor().running());
        if (!RawSocketsAvailable()) QSKIP("raw ICMP sockets need root or CAP_NET_RAW; no replies can arrive");
        QTRY_VERIFY_WITH_TIMEOUT(
            [&w] {
                for (const veltrin::AddressRow& row : w.list().Rows())
                    if (row.ttl.empty()) return false;
                return true;
            }(),
            30000);
        for (const veltrin::AddressRow& row : w.list().Rows())
            QCOMPARE(QString::fromStdString(row.bytes), QStringLiteral("return data length:   32"));
        QTRY_COMPARE(w.ListV1()->model()->index(0, 3).data().toString(),
                     QStringLiteral("return data length:   32"));
    }

    void addDialogsFromMainWindow() {
        Tmainform w({});
        OnNextModal([](QWidget* modal) {
            auto* dialog = qobject_cast<Taddonefm*>(modal);
            QVERIFY(dialog);
            dialog->Edit1->setText(QStringLiteral("127.0.0.5"));
            dialog->Button1Click();
        });
        FindAction(&w, "One_inBtn")->trigger();
        OnNextModal([](QWidget* modal) {
            auto* dialog = qobject_cast<Taddmorefm*>(modal);
            QVERIFY(dialog);
            dialog->Edit1->setText(QStringLiteral("127.0.0.6"));
            dialog->Edit2Enter();
            dialog->Edit2->insert(QStringLiteral("7"));
            dialog->Button1Click();
        });
        FindAction(w.findChild<QMenu*>("pmnone"), "addmore1")->trigger();
        QCOMPARE(Captions(Addresses(w.list())), QStringList({"127.0.0.5", "127.0.0.6", "127.0.0.7"}));
        // Adding rows never starts the monitor.
        QVERIFY(!w.monitor().running());
        w.pingbtnClick();
        QVERIFY(w.monitor().running());
    }

    // ---- address log and import ------------------------------------------------------------

    void saveThenImportGivesSameAddresses() {
        const QString path = ListFile("127.0.0.1_\r\r\n 127.0.0.2_\r\r\nlocalhost_\r\r\n127.0.0.1_\r\r\n");
        Tmainform w({path});
        QCOMPARE(w.list().Count(), 4);
        w.list().SetCells(0, "64", "0", "return data length:   32");
        Golbal()->mailsetting.sendsetting = "all";
        veltrin::DialogRecorder& recorder = *dialogs_;
        const QString chosen = temp_ + QStringLiteral("/saved");
        recorder.QueueFileAnswer(chosen);
        FindAction(&w, "ToolButton3")->trigger();
        QCOMPARE(recorder.requests.size(), std::size_t{1});
        QVERIFY(recorder.requests[0].save);
        QCOMPARE(recorder.requests[0].filter, QStringLiteral("Spl file (*.spl)"));
        QCOMPARE(recorder.Texts(), QStringList({"Log is successfully saved!"}));
        QCOMPARE(recorder.messages[0].title, QStringLiteral("Notice"));
        const QByteArray bytes = ReadFile(chosen + QStringLiteral(".spl"));
        QVERIFY(bytes.startsWith("127.0.0.1_   TTL 64 Timeout 0  return data length:   32  \r\r\n"));
        QVERIFY(bytes.contains("\r\r\nlocalhost_   TTL  Timeout     \r\r\n"));
        QCOMPARE(QString::fromStdString(Golbal()->mailsetting.emailtext),
                 QString::fromStdString(veltrin::JoinCommaText(veltrin::MainLogLines(w.list().Rows()))));

        recorder.QueueQuestionAnswer(true);
        w.ClearAllAddresses();
        recorder.QueueFileAnswer(chosen + QStringLiteral(".spl"));
        FindAction(&w, "OPen1")->trigger();
        QCOMPARE(recorder.requests.back().filter, QStringLiteral("Spl file (*.spl)"));
        QVERIFY(!recorder.requests.back().save);
        QCOMPARE(Captions(Addresses(w.list())),
                 QStringList({"127.0.0.1", " 127.0.0.2", "localhost", "127.0.0.1"}));
        for (const veltrin::AddressRow& row : w.list().Rows()) QVERIFY(row.ttl.empty() && row.bytes.empty());
        // The dialog starts where the last import was chosen.
        FindAction(&w, "importfromfile1")->trigger();  // cancelled: nothing changes
        QCOMPARE(recorder.requests.back().dir, chosen + QStringLiteral(".spl"));
        QCOMPARE(w.list().Count(), 4);
        // Importing appends; it does not start the monitor.
        recorder.QueueFileAnswer(chosen + QStringLiteral(".spl"));
        w.ImportAddressFile();
        QCOMPARE(w.list().Count(), 8);
        QVERIFY(!w.monitor().running());
    }

    // A caption of megabytes is cut to what an address can be, and the import says what it cut;
    // the view is given no more than it can show.
    void importCutsHugeCaptionsAndSaysSo() {
        QByteArray bytes(10 << 20, 'h');
        bytes += "_\r\r\n127.0.0.1_\r\r\nHTTP://host.test/" + QByteArray(6000, 'p') + "_\r\r\n";
        const QString path = ListFile(bytes);
        veltrin::DialogRecorder& recorder = *dialogs_;
        Tmainform w({});
        recorder.QueueFileAnswer(path);
        w.ImportAddressFile();
        QCOMPARE(w.list().Count(), 3);
        QCOMPARE(w.list().Row(0).address, std::string(253, 'h'));
        QCOMPARE(w.list().Row(1).address, std::string("127.0.0.1"));
        QCOMPARE(w.list().Row(2).address.size(), std::size_t{4096});
        QCOMPARE(recorder.messages.size(), std::size_t{1});
        QVERIFY2(recorder.messages[0].text.startsWith(QStringLiteral("2 address(es) were too long and were cut")),
                 qPrintable(recorder.messages[0].text));
        const QAbstractItemModel* model = w.ListV1()->model();
        QVERIFY(model->data(model->index(2, 0)).toString().size() <= 513);
        QCOMPARE(model->data(model->index(1, 0)).toString(), QStringLiteral("127.0.0.1"));
    }

    // Where no tray can show an icon, the close mail's wait comes with a box whose "Stop waiting"
    // ends the program at once; the mail's result is then never shown.
    void closeMailWaitCanBeStoppedWithoutATray() {
        if (QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("a tray is available: the tray's Exit is the way out");
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(25);
        const QString host = QStringLiteral("127.28.%1.%2")
                                 .arg((QCoreApplication::applicationPid() >> 8) & 0xff)
                                 .arg((QCoreApplication::applicationPid() & 0xfe) + 1);
        ::inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
        const int on = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0) {
            ::close(listener);
            QSKIP("cannot listen on port 25 of a loopback address (needs root)");
        }
        int ended = 0;
        veltrin::SetEndApplicationHook([&ended] { ++ended; });
        {
            auto w = std::make_unique<Tmainform>(QStringList{});
            w->list().Append("127.0.0.1");
            veltrin::Tmailsetting& mail = Golbal()->mailsetting;
            mail.smtpserver = host.toStdString();
            mail.sendfrom = "monitor@example.test";
            mail.sendto = "admin@example.test";
            mail.authentication = false;
            mail.sendsetting = "Error code";
            w->show();
            w->close();
            QCOMPARE(ended, 0);
            QVERIFY(w->MailingOnClose());
            QPushButton* stop = nullptr;
            QTRY_VERIFY((stop = w->findChild<QPushButton*>(QStringLiteral("stopwaiting"))) != nullptr);
            stop->click();
            QCOMPARE(ended, 1);
            QTest::qWait(1500);
            QVERIFY(dialogs_->messages.empty());
        }
        QVERIFY(dialogs_->messages.empty());
        veltrin::SetEndApplicationHook({});
        ::close(listener);
    }

    void saveAddressLogNames_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("existing");  // a file there before, "" for none
        QTest::addColumn<QList<bool>>("answers");  // to "replace?" questions
        QTest::addColumn<QString>("written");   // the file that holds the log afterwards, "" for none
        QTest::addColumn<int>("questions");
        QTest::newRow("no extension") << "x" << "" << QList<bool>{} << "x.spl" << 0;
        QTest::newRow("with extension") << "x.spl" << "" << QList<bool>{} << "x.spl" << 0;
        QTest::newRow("extension in capitals") << "x.SPL" << "" << QList<bool>{} << "x.SPL" << 0;
        QTest::newRow("other extension") << "x.txt" << "" << QList<bool>{} << "x.txt.spl" << 0;
        QTest::newRow("same name without extension is left alone") << "x" << "x" << QList<bool>{} << "x.spl" << 0;
        QTest::newRow("older log replaced on Yes") << "x" << "x.spl" << QList<bool>{true} << "x.spl" << 1;
        QTest::newRow("older log kept on No") << "x" << "x.spl" << QList<bool>{false} << "" << 1;
        QTest::newRow("typed with extension, kept on No") << "x.spl" << "x.spl" << QList<bool>{false} << "" << 1;
    }

    // The chosen name gets ".spl" only when it lacks it, and an older file is replaced only after
    // the user agreed; No brings the dialog back (cancelled here), writing nothing.
    void saveAddressLogNames() {
        QFETCH(QString, typed);
        QFETCH(QString, existing);
        QFETCH(QList<bool>, answers);
        QFETCH(QString, written);
        QFETCH(int, questions);
        Tmainform w({ListFile("127.0.0.1_\r\r\n")});
        Golbal()->mailsetting.sendsetting = "all";
        Golbal()->mailsetting.emailtext = "mine";
        veltrin::DialogRecorder& recorder = *dialogs_;
        if (!existing.isEmpty()) QVERIFY(WriteFile(temp_ + u'/' + existing, "older"));
        recorder.QueueFileAnswer(temp_ + u'/' + typed);
        for (bool yes : answers) recorder.QueueQuestionAnswer(yes);
        w.SaveAddressLog();
        QCOMPARE(int(recorder.questions.size()), questions);
        if (questions > 0) {
            QCOMPARE(recorder.questions[0].title, QStringLiteral("Notice"));
            QVERIFY(recorder.questions[0].text.contains(temp_ + u'/' + existing));
        }
        if (!existing.isEmpty() && existing != written) QCOMPARE(ReadFile(temp_ + u'/' + existing), QByteArray("older"));
        if (written.isEmpty()) {
            QVERIFY(recorder.messages.empty());
            QCOMPARE(recorder.requests.size(), std::size_t{2});  // asked again after No, then cancelled
            QCOMPARE(recorder.requests[1].dir, temp_ + u'/' + existing);
            QCOMPARE(Golbal()->mailsetting.emailtext, std::string("mine"));
        } else {
            QCOMPARE(recorder.Texts(), QStringList({"Log is successfully saved!"}));
            QVERIFY(ReadFile(temp_ + u'/' + written).startsWith("127.0.0.1_"));
            QStringList files = QDir(temp_).entryList(QDir::Files);
            files.removeAll(QStringLiteral("list.spl"));
            files.removeAll(existing);
            files.removeAll(written);
            QVERIFY2(files.isEmpty(), qPrintable(files.join(u' ')));
            QVERIFY(Golbal()->mailsetting.emailtext != "mine");
        }
    }

    // A log that cannot be written says so.
    void saveAddressLogFailureIsReported() {
        Tmainform w({ListFile("127.0.0.1_\r\r\n")});
        Golbal()->mailsetting.sendsetting = "all";
        Golbal()->mailsetting.emailtext = "mine";
        veltrin::DialogRecorder& recorder = *dialogs_;
        recorder.QueueFileAnswer(temp_ + QStringLiteral("/missing-folder/x"));
        w.SaveAddressLog();
        QCOMPARE(recorder.messages.size(), std::size_t{1});
        QCOMPARE(recorder.messages[0].title, QStringLiteral("Notice"));
        QVERIFY2(recorder.messages[0].text.contains(temp_ + QStringLiteral("/missing-folder/x.spl")),
                 qPrintable(recorder.messages[0].text));
        QCOMPARE(Golbal()->mailsetting.emailtext, std::string("mine"));
        // Cancelled: nothing.
        w.SaveAddressLog();
        QCOMPARE(recorder.messages.size(), std::size_t{1});
    }

    // ---- help ------------------------------------------------------------------------------

    void helpButtonOpensHelpNotAbout() {
        Tmainform w({});
        veltrin::DialogRecorder& recorder = *dialogs_;
        FindAction(&w, "ToolButton13")->trigger();
        QCOMPARE(recorder.Texts(), QStringList({"Help file is lost"}));
        QCOMPARE(recorder.messages[0].title, QStringLiteral("Notice"));
        QVERIFY(recorder.openedurls.isEmpty());

        const QString help = DataDirs() + QStringLiteral("/veltrin-ping/help.html");
        QVERIFY(WriteFile(help, "<html></html>"));
        FindAction(&w, "howtouse1")->trigger();
        QCOMPARE(recorder.openedurls, QStringList({QUrl::fromLocalFile(help).toString()}));
        QCOMPARE(recorder.messages.size(), std::size_t{1});
    }

    // ---- model ---------------------------------------------------------------------------------

    void modelFollowsTheList() {
        veltrin::AddressList list;
        veltrin::AddressListModel model(list);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy counts(&model, &veltrin::AddressListModel::countsChanged);
        std::vector<veltrin::AddressRow> rows(1000);
        for (int i = 0; i < 1000; ++i)
            rows[static_cast<std::size_t>(i)].address = "127.0.0." + std::to_string(i % 250);
        // Rows into the empty list: the views learn of the whole list at once, in list order.
        list.AppendRows(rows);
        QCOMPARE(inserted.size() + reset.size(), 1);
        QCOMPARE(model.rowCount(), 1000);
        QCOMPARE(model.RowTotal(), 1000);
        QCOMPARE(counts.size(), 1);
        for (int i : {0, 1, 249, 250, 999})
            QCOMPARE(model.index(i, 0).data().toString(), QStringLiteral("127.0.0.%1").arg(i % 250));
        // Rows added behind others are one insertion of exactly those rows.
        list.AppendRows({veltrin::AddressRow{"127.0.1.1", {}, {}, {}}, veltrin::AddressRow{"127.0.1.2", {}, {}, {}}});
        QCOMPARE(inserted.size() + reset.size(), 2);
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(inserted.back()[1].toInt(), 1000);
        QCOMPARE(inserted.back()[2].toInt(), 1001);
        QCOMPARE(model.index(1001, 0).data().toString(), QStringLiteral("127.0.1.2"));
        list.RemoveAt(1001);
        list.RemoveAt(1000);
        QCOMPARE(removed.size(), 2);
        removed.clear();
        // Many cell changes in one turn: one announcement covering them.
        for (int i = 10; i < 500; i += 7) list.SetCells(i, "64", "1", "return data length:   32");
        QCOMPARE(model.index(17, 1).data().toString(), QStringLiteral("64"));
        QTRY_COMPARE(changed.size(), 1);
        QCOMPARE(changed[0][0].value<QModelIndex>().row(), 10);
        QVERIFY(changed[0][1].value<QModelIndex>().row() >= 493);
        list.RemoveAt(5);
        QCOMPARE(removed.size(), 1);
        QCOMPARE(model.rowCount(), 999);
        list.Clear();
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
    }
};

// Desktop files go to a temporary home before the application reads its environment.
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
        QApplication::setApplicationName(QStringLiteral("Veltrin Ping Utility"));
        MainFormTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    veltrin::EngineShutdown();
    return result;
}

#include "mainfm_test.moc"
