// The detail and ICMP info windows against real ICMP on loopback (root or CAP_NET_RAW needed).
#include <QAbstractItemModel>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "monitor/detailstat.h"
#include "ui/detailfm.h"
#include "ui/dialogs.h"
#include "ui/handover.h"
#include "ui/infofm.h"
#include "ui/mainfm.h"

using veltrin::Golbal;

namespace {

QString ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(f.readAll());
}

// A stand-in for the main window: its interval field text and its detailopen flag.
struct Opener {
    QWidget window;
    QString interval = QStringLiteral("1");
    bool detailopen = false;
    int flagchanges = 0;

    DetailHost Host() {
        DetailHost host;
        host.intervaltext = [this] { return interval; };
        host.setdetailopen = [this](bool open) {
            detailopen = open;
            ++flagchanges;
        };
        return host;
    }
    Tdetailform* Open(const QString& address) {
        return OpenDetailWindow(&window, veltrin::WindowHandOver(), Host(), detailopen, address);
    }
};

int RowCount(Tdetailform* w) { return w->listv1->model()->rowCount(); }

}  // namespace

class DetailFormTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listsRepliesWithDateAndTime();
    void generalLabelsAndStatistics();
    void retargetEmptiesListKeepsCounters();
    void leadingZeroCountedWithoutRows();
    void receivedNeverExceedsSent();
    void unresolvableAddressCountsSendsOnly();
    void clearKeepsCounters();
    void listEmptiesItselfPast2000Rows();
    void intervalFieldRule_data();
    void intervalFieldRule();
    void saveLogWritesRows();
    void periodicSave();
    void closingPaths_data();
    void closingPaths();
    void reopenStartsFresh();
    void infoWindowShowsLastReply();
    void infoWindowBeforeAnyPacket();
    void closingWhileInfoWindowIsOpen();
    void openedFromTheMainWindow();

private:
    QTemporaryDir tmp_;
    std::unique_ptr<Opener> opener_;
};

void DetailFormTest::initTestCase() {
    veltrin::EngineStartup();
    QVERIFY(tmp_.isValid());
    // The main window writes desktop files at start-up: keep them in the test's own folders.
    qputenv("HOME", QFile::encodeName(tmp_.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp_.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp_.filePath(QStringLiteral("data"))));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(tmp_.filePath(QStringLiteral("share"))));
    (void)veltrin::WindowHandOver();  // binds the hand-over to this (the GUI) thread
}

void DetailFormTest::init() {
    veltrin::IcmpSocket probe;
    if (!probe.ok()) QSKIP("raw ICMP sockets need root or CAP_NET_RAW; the detail window cannot receive replies");
    Golbal()->interval = 3;
    Golbal()->datalength = 8;
    Golbal()->mailsetting.savetime = 0;
    Golbal()->mailsetting.sendsetting.clear();
    Golbal()->mailsetting.emailtext.clear();
    Golbal()->location.clear();
    opener_ = std::make_unique<Opener>();
    opener_->window.resize(400, 300);
    opener_->window.show();
}

void DetailFormTest::cleanup() {
    if (opener_) {
        for (Tdetailform* w : opener_->window.findChildren<Tdetailform*>()) w->CloseDetail();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    opener_.reset();
}

void DetailFormTest::listsRepliesWithDateAndTime() {
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QVERIFY(w);
    QVERIFY(opener_->detailopen);
    QCOMPARE(w->pingaddress(), QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 3, 15000);
    QVERIFY(w->WorkersStarted());

    const QLocale locale = QLocale::system();
    const QString today = locale.toString(QDate::currentDate(), QLocale::ShortFormat);
    const QString yesterday = locale.toString(QDate::currentDate().addDays(-1), QLocale::ShortFormat);
    QAbstractItemModel* model = w->listv1->model();
    QCOMPARE(model->columnCount(), 4);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Addresses"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("TTL"));
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Time(ms)"));
    QCOMPARE(model->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Bytes"));
    QCOMPARE(w->listv1->columnWidth(0), 150);
    QCOMPARE(w->listv1->columnWidth(1), 80);
    QCOMPARE(w->listv1->columnWidth(2), 100);
    QCOMPARE(w->listv1->columnWidth(3), 100);
    for (const veltrin::AddressRow& row : w->Rows()) {
        const QString when = QString::fromStdString(row.address);
        QVERIFY2(when.startsWith(today + QLatin1Char(' ')) || when.startsWith(yesterday + QLatin1Char(' ')),
                 qPrintable(when));
        // The time part has hours, minutes and seconds.
        QVERIFY2(when.count(QLatin1Char(':')) >= 2, qPrintable(when));
        QCOMPARE(QString::fromStdString(row.ttl), QStringLiteral("64"));
        bool ok = false;
        const int ms = QString::fromStdString(row.time).toInt(&ok);
        QVERIFY(ok && ms >= 0);
        // The default data length 8 sends a 12-byte echo: 20 + 12 bytes come back.
        QCOMPARE(QString::fromStdString(row.bytes), QStringLiteral("32"));
    }
    // The newest row is the selected one.
    const QModelIndexList selected = w->listv1->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);

    const veltrin::Tdetailstat s = w->detailstat();
    // A send is counted before its reply; only echo replies to our own echoes count as received
    // (loopback also hands our outgoing requests to the receiver: they are not replies).
    QVERIFY(s.sentcount >= RowCount(w));
    QCOMPARE(s.recvcount, RowCount(w));
    QCOMPARE(s.lastsize, 32);
    QVERIFY(s.maxtime >= s.mintime);
    QCOMPARE(w->lastreply().sourceip, std::string("127.0.0.1"));
    // The interval field was read and stored.
    QCOMPARE(Golbal()->interval, 1);
}

void DetailFormTest::generalLabelsAndStatistics() {
    Golbal()->location.push_back({veltrin::IpKey("127.0.0.0"), veltrin::IpKey("127.255.255.255"), "Loopback net"});
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_COMPARE(w->dom->text(), QStringLiteral("Domain name:   127.0.0.1"));
    QCOMPARE(w->ipaddr->text(), QStringLiteral("IP address:    127.0.0.1"));
    QCOMPARE(w->location->text(), QStringLiteral("Location:    Loopback net"));
    QCOMPARE(w->windowTitle(), QStringLiteral("Details"));
    // The statistics worker writes the labels from the counters once a second.
    QTRY_VERIFY_WITH_TIMEOUT(w->detailstat().recvcount > 0 && w->received->text() != QStringLiteral("Received:") &&
                                 w->received->text() != QStringLiteral("Received:        0"),
                             15000);
    QTRY_VERIFY_WITH_TIMEOUT(w->psize->text() == QStringLiteral("Packet size: 32  Byte"), 5000);
    QVERIFY(w->sent->text().startsWith(QStringLiteral("Sent:       ")));
    QVERIFY(w->Minum->text().startsWith(QStringLiteral("Minum:       ")));
    QVERIFY(w->Maxum->text().endsWith(QStringLiteral("  ms")));
    QVERIFY(w->lost->text().startsWith(QStringLiteral("Lost:     ")));
    // The label shows a count taken from the counters at most a second ago.
    bool ok = false;
    const int shown = w->sent->text().mid(12).toInt(&ok);
    QVERIFY2(ok && shown > 0 && shown <= w->detailstat().sentcount, qPrintable(w->sent->text()));
    // A paint shows the speed placeholder until the next pass.
    w->FormPaint();
    QCOMPARE(w->aspeed->text(), QStringLiteral("Approximate speed:     -1 ms"));
    QTRY_VERIFY_WITH_TIMEOUT(w->aspeed->text() != QStringLiteral("Approximate speed:     -1 ms"), 5000);
}

void DetailFormTest::retargetEmptiesListKeepsCounters() {
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 2, 15000);
    const veltrin::Tdetailstat before = w->detailstat();

    Tdetailform* again = opener_->Open(QStringLiteral("127.0.0.2"));
    QCOMPARE(again, w.data());  // no second window
    QCOMPARE(opener_->window.findChildren<Tdetailform*>().size(), 1);
    QCOMPARE(w->pingaddress(), QStringLiteral("127.0.0.2"));
    QCoreApplication::sendPostedEvents(w, WM_DETAILCLEAR);
    QCOMPARE(RowCount(w), 0);
    QVERIFY(w->detailstat().sentcount >= before.sentcount);
    QVERIFY(w->detailstat().recvcount >= before.recvcount);

    // Replies from the new address fill the list again; the counters go on from where they were.
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 2, 15000);
    QTRY_COMPARE(w->dom->text(), QStringLiteral("Domain name:   127.0.0.2"));
    QCOMPARE(w->ipaddr->text(), QStringLiteral("IP address:    127.0.0.2"));
    QVERIFY(w->detailstat().sentcount > before.sentcount);
    QVERIFY(w->detailstat().recvcount > before.recvcount);
    // The last accepted packet may be the loopback copy of a request (source 127.0.0.1).
    QTRY_COMPARE(w->lastreply().sourceip, std::string("127.0.0.2"));
}

void DetailFormTest::leadingZeroCountedWithoutRows() {
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.01"));
    // Replies come back from 127.0.0.1, the address the typed text names: they are listed, as
    // the reply is matched to our echo, not compared with the text.
    QTRY_VERIFY_WITH_TIMEOUT(w->detailstat().recvcount >= 4 && RowCount(w) >= 4, 15000);
    QCOMPARE(w->lastreply().sourceip, std::string("127.0.0.1"));
    QVERIFY(w->detailstat().sentcount >= w->detailstat().recvcount);
    QCOMPARE(w->ipaddr->text(), QStringLiteral("IP address:    127.0.0.01"));
}

void DetailFormTest::receivedNeverExceedsSent() {
    // Interval 0 on loopback: the receiver also sees every outgoing request, and replies often
    // come back before the sender's step ends. Checked at every turn of the event loop, over
    // 500 echoes; the labels follow the counters.
    opener_->interval = QStringLiteral("0");
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    int checks = 0;
    bool ok = true;
    QElapsedTimer bound;
    bound.start();
    while (w->detailstat().sentcount < 500 && bound.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const veltrin::Tdetailstat s = w->detailstat();
        if (s.recvcount > s.sentcount) {
            ok = false;
            qWarning("received %d > sent %d", s.recvcount, s.sentcount);
            break;
        }
        ++checks;
    }
    QVERIFY(ok);
    QVERIFY2(w->detailstat().sentcount >= 500, "500 echoes were not sent in time");
    QVERIFY(w->detailstat().recvcount > 0);
    QVERIFY(checks > 0);
    // The labels are built from one snapshot of the counters.
    QTRY_VERIFY_WITH_TIMEOUT(w->sent->text() != QStringLiteral("Sent:"), 5000);
    const int sentshown = w->sent->text().mid(QStringLiteral("Sent:    ").size()).trimmed().toInt();
    const int receivedshown = w->received->text().mid(QStringLiteral("Received:     ").size()).trimmed().toInt();
    QVERIFY2(receivedshown <= sentshown, qPrintable(w->received->text() + " / " + w->sent->text()));
}

void DetailFormTest::unresolvableAddressCountsSendsOnly() {
    // ".invalid" never resolves (RFC 6761), so nothing is sent anywhere.
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("no-such-host.invalid"));
    QTRY_VERIFY_WITH_TIMEOUT(w->detailstat().sentcount >= 3, 15000);
    QCOMPARE(w->detailstat().recvcount, 0);
    QCOMPARE(RowCount(w), 0);
    QCOMPARE(w->ipaddr->text(), QStringLiteral("IP address:    "));
    QTRY_VERIFY_WITH_TIMEOUT(w->lost->text() == QStringLiteral("Lost:         100%(lost)"), 5000);
}

void DetailFormTest::clearKeepsCounters() {
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 2 && w->sent->text() != QStringLiteral("Sent:"), 15000);
    const veltrin::Tdetailstat before = w->detailstat();
    const QString sentlabel = w->sent->text();
    const QString receivedlabel = w->received->text();
    QTest::mouseClick(w->Button1, Qt::LeftButton);
    QCOMPARE(w->Button1->text(), QStringLiteral("Clear"));
    QCOMPARE(RowCount(w), 0);
    QCOMPARE(w->detailstat().sentcount, before.sentcount);
    QCOMPARE(w->detailstat().recvcount, before.recvcount);
    QCOMPARE(w->detailstat().totaltime, before.totaltime);
    QCOMPARE(w->sent->text(), sentlabel);
    QCOMPARE(w->received->text(), receivedlabel);
    // Rows keep coming afterwards.
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 1, 15000);
}

void DetailFormTest::listEmptiesItselfPast2000Rows() {
    opener_->interval = QStringLiteral("0");  // as fast as loopback answers
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QAbstractItemModel* model = w->listv1->model();
    int most = 0;
    QList<int> resetat;     // row count just before each emptying
    int firstafterreset = -1;
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [&] { resetat << model->rowCount(); });
    connect(model, &QAbstractItemModel::rowsInserted, this, [&] {
        most = std::max(most, model->rowCount());
        if (!resetat.isEmpty() && firstafterreset < 0) firstafterreset = model->rowCount();
    });
    QTRY_VERIFY_WITH_TIMEOUT(firstafterreset >= 0, 120000);
    QCOMPARE(resetat.first(), 2001);
    QCOMPARE(most, 2001);
    QCOMPARE(firstafterreset, 1);  // the reply that found 2001 rows is the only row
    w->CloseDetail();
}

void DetailFormTest::intervalFieldRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("interval");
    QTest::newRow("number") << QStringLiteral("2") << 2;
    QTest::newRow("zero means no pause") << QStringLiteral("0") << 0;
    QTest::newRow("empty") << QString() << 3;
    QTest::newRow("not a number") << QStringLiteral("abc") << 3;
    QTest::newRow("trailing text") << QStringLiteral("4x") << 3;
    QTest::newRow("negative") << QStringLiteral("-5") << 3;
    QTest::newRow("too large") << QStringLiteral("99999999999") << 3;
}

void DetailFormTest::intervalFieldRule() {
    QFETCH(QString, text);
    QFETCH(int, interval);
    opener_->interval = text;
    Golbal()->interval = -1;
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_COMPARE_WITH_TIMEOUT(Golbal()->interval, interval, 10000);
}

void DetailFormTest::saveLogWritesRows() {
    Golbal()->mailsetting.sendsetting = "select log";
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 2, 15000);
    veltrin::DialogRecorder dialogs;
    const QString chosen = tmp_.filePath(QStringLiteral("detail"));
    dialogs.QueueFileAnswer(chosen);
    const auto rows = w->Rows();  // no event is processed until the save is done
    QTest::mouseClick(w->Button2, Qt::LeftButton);
    QCOMPARE(dialogs.requests.size(), std::size_t{1});
    QVERIFY(dialogs.requests[0].save);
    QVERIFY(dialogs.requests[0].filter.contains(QStringLiteral("*.txt")));
    QCOMPARE(dialogs.Texts(), QStringList{QStringLiteral("Log is successfully saved!")});
    const QString text = ReadAll(chosen + QStringLiteral(".txt"));
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), static_cast<qsizetype>(rows.size()) + 1);  // CR LF after the last line too
    QCOMPARE(lines[0], QString::fromStdString(rows[0].address + "  TTL 64 Timeout " + rows[0].time +
                                              " Return bytes 32"));
    QVERIFY(!Golbal()->mailsetting.emailtext.empty());

    // Cancelled: nothing asked of the file system, nothing shown.
    QTest::mouseClick(w->Button2, Qt::LeftButton);
    QCOMPARE(dialogs.messages.size(), std::size_t{1});
}

void DetailFormTest::periodicSave() {
    {
        Golbal()->mailsetting.savetime = 0;
        QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
        QVERIFY(!w->Timer1->isActive());
        w->Timer1Timer();  // switched off: writes nothing
        QDir data(tmp_.filePath(QStringLiteral("data/veltrin-ping")));
        QVERIFY(!data.exists() || data.entryList(QDir::Files).isEmpty());
        w->CloseDetail();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    Golbal()->mailsetting.savetime = 2;
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QVERIFY(w->Timer1->isActive());
    QCOMPARE(w->Timer1->interval(), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 1 && w->ipaddr->text() == QStringLiteral("IP address:    127.0.0.1"), 15000);
    veltrin::DialogRecorder dialogs;
    w->Timer1Timer();
    QVERIFY(dialogs.messages.empty());
    QDir data(tmp_.filePath(QStringLiteral("data/veltrin-ping")));
    const QStringList files = data.entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(files[0].endsWith(QStringLiteral(".txt")));
    const QString text = ReadAll(data.filePath(files[0]));
    QVERIFY(text.startsWith(QStringLiteral("IP address:    127.0.0.1\r\n")));
    QVERIFY(text.count(QStringLiteral("\r\n")) >= 2);
    QFile::remove(data.filePath(files[0]));
}

void DetailFormTest::closingPaths_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Close button") << 0;
    QTest::newRow("Esc in the list") << 1;
    QTest::newRow("title-bar close") << 2;
}

void DetailFormTest::closingPaths() {
    QFETCH(int, how);
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(w->WorkersStarted() && w->detailstat().recvcount > 0, 15000);
    switch (how) {
        case 0: QTest::mouseClick(w->closebtn, Qt::LeftButton); break;
        case 1: QTest::keyClick(w->listv1, Qt::Key_Escape); break;
        default: w->close(); break;
    }
    QVERIFY(w);  // deleted later, not now
    QVERIFY(w->IsClosed());
    QVERIFY(!w->isVisible());
    QVERIFY(!opener_->detailopen);
    // Nothing is written after the close.
    const veltrin::Tdetailstat after = w->detailstat();
    const QString label = w->sent->text();
    QTest::qWait(300);
    if (w) {
        QCOMPARE(w->detailstat().sentcount, after.sentcount);
        QCOMPARE(w->detailstat().recvcount, after.recvcount);
        QCOMPARE(w->sent->text(), label);
    }
    QTRY_VERIFY(w.isNull());
}

void DetailFormTest::reopenStartsFresh() {
    QPointer<Tdetailform> first = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(first->detailstat().sentcount >= 2, 15000);
    first->close();
    QVERIFY(!opener_->detailopen);
    QPointer<Tdetailform> second = opener_->Open(QStringLiteral("127.0.0.1"));
    QVERIFY(second != first);
    QCOMPARE(second->detailstat().sentcount, 0);
    QCOMPARE(second->detailstat().recvcount, 0);
    QCOMPARE(RowCount(second), 0);
    QTRY_VERIFY(first.isNull());
    // Each reply is listed once: one row per echo sent.
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(second) >= 3, 15000);
    QVERIFY(RowCount(second) <= second->detailstat().sentcount + 1);
}

void DetailFormTest::infoWindowShowsLastReply() {
    opener_->interval = QStringLiteral("10");  // one echo a second keeps the last packet stable
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 1, 15000);

    struct Seen {
        bool opened = false, titled = false, noclosebox = false;
        QString label1, label2, label3, label4, memo, link, firstsave, secondsave;
        QStringList messages;
        bool escinmemokept = false, escbuttonclosed = false, sawreply = false;
        std::uint16_t id = 0;
    } seen;
    const QString dump = tmp_.filePath(QStringLiteral("dump"));
    QUrl opened;
    Tinfoform::SetLinkOpener([&](const QUrl& url) { opened = url; });

    QTimer::singleShot(0, this, [&] {
        auto* info = w->findChild<Tinfoform*>();
        if (info == nullptr) return;
        seen.opened = info->isModal() && info->isVisible();
        seen.titled = info->windowTitle() == QStringLiteral("Detail Info.....");
        seen.noclosebox = !(info->windowFlags() & Qt::WindowCloseButtonHint);
        // Refreshed every five seconds: wait for a pass that copied an echo reply.
        seen.sawreply = QTest::qWaitFor(
            [&] { return info->Label1->text().endsWith(QStringLiteral("Icmp code description:   Reply message")); },
            15000);
        seen.id = w->SenderIdentifier();
        seen.label1 = info->Label1->text();
        seen.label2 = info->Label2->text();
        seen.label3 = info->Label3->text();
        seen.label4 = info->Label4->text();
        seen.memo = info->Memo1->toPlainText();
        seen.link = info->Label5->text();
        QTest::mouseClick(info->Label5, Qt::LeftButton);

        veltrin::DialogRecorder dialogs;
        dialogs.QueueFileAnswer(dump);
        dialogs.QueueFileAnswer(dump);
        QTest::mouseClick(info->Button1, Qt::LeftButton);
        seen.firstsave = ReadAll(dump);
        QFile f(dump);
        if (f.open(QIODevice::WriteOnly)) f.write("kept");
        f.close();
        QTest::mouseClick(info->Button1, Qt::LeftButton);
        seen.secondsave = ReadAll(dump);
        seen.messages = dialogs.Texts();

        info->Memo1->setFocus();
        QTest::keyClick(info->Memo1, Qt::Key_Escape);
        seen.escinmemokept = info->isVisible();
        info->Button1->setFocus();
        QTest::keyClick(info->Button1, Qt::Key_Escape);
        seen.escbuttonclosed = !info->isVisible();
        if (info->isVisible()) info->closebtnClick();
    });
    QTest::mouseClick(w->Button3, Qt::LeftButton);  // modal: returns when the lambda closed it
    Tinfoform::SetLinkOpener(nullptr);

    QVERIFY(seen.opened);
    QVERIFY(seen.titled);
    QVERIFY(seen.noclosebox);
    QVERIFY2(seen.sawreply, qPrintable(seen.label1));
    QCOMPARE(seen.label1, QStringLiteral("Icmp type:  Type 0 Code 0    Icmp code description:   Reply message"));
    QCOMPARE(seen.label2, QStringLiteral("Icmp Sourceip:  127.0.0.1    Icmp DestIP:127.0.0.1"));
    QVERIFY2(seen.label3.startsWith(QStringLiteral("Picket size:    32    Timeout:")), qPrintable(seen.label3));
    QVERIFY2(seen.label3.endsWith(QStringLiteral("ms    TTL:64")), qPrintable(seen.label3));
    QCOMPARE(seen.label4, QStringLiteral("Datastr:"));  // a 12-byte echo carries no data
    // The dump: type 0, code 0, checksum, the sender's identifier (little-endian), sequence 0.
    const QStringList memo = seen.memo.split(QLatin1Char('\n'));
    QCOMPARE(memo.size(), 6);
    QCOMPARE(memo[0], QString(40, QLatin1Char('=')));
    QCOMPARE(memo[5], QString(40, QLatin1Char('=')));
    const QString idbytes = QStringLiteral("%1 %2 ")
                                .arg(seen.id & 0xFF, 2, 16, QLatin1Char('0'))
                                .arg(seen.id >> 8, 2, 16, QLatin1Char('0'))
                                .toUpper();
    QVERIFY2(memo[1].startsWith(QStringLiteral("Ping data:00 00 ")), qPrintable(memo[1]));
    QCOMPARE(memo[1].mid(22, 6), idbytes);
    QVERIFY(memo[1].endsWith(QStringLiteral("00 00 ")));
    // Past a 12-byte message the bytes are zero.
    QCOMPARE(memo[3], QStringLiteral("Ping data:00 00 00 00 00 00 00 00 "));
    QCOMPARE(memo[4], QStringLiteral("Ping data:00 00 00 00 00 00 00 00 "));
    QCOMPARE(seen.link, QStringLiteral("Other ICMP info:  ") + Tinfoform::LinkUrl().toString());
    QCOMPARE(opened, Tinfoform::LinkUrl());

    // Saved under exactly the chosen name, the memo's six lines; the second save wrote nothing.
    QCOMPARE(seen.firstsave, memo.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
    QCOMPARE(seen.secondsave, QStringLiteral("kept"));
    QCOMPARE(seen.messages, QStringList{QStringLiteral("Log is successfully archived!")});
    QVERIFY(seen.escinmemokept);
    QVERIFY(seen.escbuttonclosed);
    QVERIFY(w->findChild<Tinfoform*>() == nullptr);
    // The detail window kept working all along.
    QVERIFY(w->WorkersStarted() && !w->IsClosed());
}

void DetailFormTest::infoWindowBeforeAnyPacket() {
    // An unresolvable address: nothing is ever accepted, so the dump is all zero.
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("no-such-host.invalid"));
    QTRY_VERIFY(w->WorkersStarted());
    Tinfoform info(w, veltrin::WindowHandOver(), [w](std::uint8_t* raw, veltrin::Tdecordbuf& reply) {
        std::memcpy(raw, w->lastraw().data(), w->lastraw().size());
        reply = w->lastreply();
    });
    info.show();
    QTRY_VERIFY(!info.Memo1->toPlainText().isEmpty());
    const QStringList memo = info.Memo1->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(memo.size(), 6);
    for (int k = 1; k <= 4; ++k) QCOMPARE(memo[k], QStringLiteral("Ping data:00 00 00 00 00 00 00 00 "));
    QCOMPARE(info.Label1->text(), QStringLiteral("Icmp type:      Icmp code description:   "));
    QCOMPARE(info.Label2->text(), QStringLiteral("Icmp Sourceip:      Icmp DestIP:"));
    QCOMPARE(info.Label3->text(), QStringLiteral("Picket size:        Timeout:ms    TTL:"));
    QCOMPARE(info.Label4->text(), QStringLiteral("Datastr:"));
    info.done(0);
    QVERIFY(!info.isVisible());
}

void DetailFormTest::closingWhileInfoWindowIsOpen() {
    // Not reachable by the user (the info window is modal), but an owner may close the detail
    // window from code: the info window's worker stops first and nothing is touched afterwards.
    QPointer<Tdetailform> w = opener_->Open(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY_WITH_TIMEOUT(w->detailstat().recvcount > 0, 15000);
    QPointer<Tinfoform> seen;
    bool refreshed = false;
    QTimer::singleShot(0, this, [&] {
        seen = w->findChild<Tinfoform*>();
        if (seen) refreshed = QTest::qWaitFor([&] { return !seen->Memo1->toPlainText().isEmpty(); }, 10000);
        w->CloseDetail();
    });
    QTest::mouseClick(w->Button3, Qt::LeftButton);
    QVERIFY(refreshed);
    QVERIFY(seen.isNull());
    QVERIFY(!opener_->detailopen);
    QTRY_VERIFY(w.isNull());
}

void DetailFormTest::openedFromTheMainWindow() {
    auto main = std::make_unique<Tmainform>(QStringList{});
    main->show();
    Golbal()->interval = 5;
    main->Edit2()->setText(QStringLiteral("5"));
    QVERIFY(!main->detailopen());

    main->OpenDetail(QStringLiteral("127.0.0.1"));
    QVERIFY(main->detailopen());
    const auto windows = main->findChildren<Tdetailform*>();
    QCOMPARE(windows.size(), 1);
    QPointer<Tdetailform> w = windows[0];
    QTRY_VERIFY_WITH_TIMEOUT(RowCount(w) >= 1, 15000);
    // The sender reads the main window's interval field every cycle.
    main->Edit2()->setText(QStringLiteral("0"));
    QTRY_COMPARE_WITH_TIMEOUT(Golbal()->interval, 0, 10000);
    main->Edit2()->setText(QStringLiteral("1"));
    QTRY_COMPARE_WITH_TIMEOUT(Golbal()->interval, 1, 10000);

    // A second request re-targets the open window.
    main->OpenDetail(QStringLiteral("127.0.0.3"));
    QCOMPARE(main->findChildren<Tdetailform*>().size(), 1);
    QCOMPARE(w->pingaddress(), QStringLiteral("127.0.0.3"));
    QTRY_VERIFY_WITH_TIMEOUT(w->lastreply().sourceip == "127.0.0.3", 15000);

    // Closing clears the main window's flag; the next request opens a fresh window.
    w->close();
    QVERIFY(!main->detailopen());
    main->OpenDetail(QStringLiteral("127.0.0.1"));
    QVERIFY(main->detailopen());
    QPointer<Tdetailform> second;
    for (Tdetailform* d : main->findChildren<Tdetailform*>())
        if (!d->IsClosed()) second = d;
    QVERIFY(second && second != w);
    QTRY_VERIFY_WITH_TIMEOUT(second->detailstat().recvcount > 0, 15000);

    // The main window going away takes the open detail window and its workers with it.
    main.reset();
    QVERIFY(second.isNull());
}

QTEST_MAIN(DetailFormTest)
#include "detailfm_test.moc"
