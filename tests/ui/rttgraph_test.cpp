// The detail window's round-trip graph: points and loss marks from the window's own pinging of
// loopback (in a network namespace of this test's own, so its echo answers can be switched off),
// the span chooser, pause and scroll, the hover text, and "Save picture". Also the trace the
// graph draws from, on its own: columns, levels, minutes of earlier runs, the bounded raw tier.
#include <QAbstractItemModel>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QScatterSeries>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "engine/location.h"
#include "ui/detailfm.h"
#include "ui/dialogs.h"
#include "history/historystore.h"
#include "ui/handover.h"
#include "ui/historyview.h"
#include "ui/rttgraph.h"
#include "ui/rtttrace.h"

using veltrin::Golbal;
using veltrin::RttGraph;
using veltrin::RttTrace;

namespace {

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

// This namespace's kernel echo answers off (true) or on (false).
bool IgnoreEchoes(bool ignore) {
    QFile f(QStringLiteral("/proc/sys/net/ipv4/icmp_echo_ignore_all"));
    if (!f.open(QIODevice::WriteOnly)) return false;
    return f.write(ignore ? "1\n" : "0\n") == 2;
}

struct Opener {
    QWidget window;
    QString interval = QStringLiteral("1");  // 100 ms between echoes
    bool detailopen = false;
    DetailHost Host() {
        DetailHost host;
        host.intervaltext = [this] { return interval; };
        host.setdetailopen = [this](bool open) { detailopen = open; };
        return host;
    }
};

std::uint64_t Replies(const std::vector<veltrin::RttColumn>& columns) {
    return RttTrace::Summarize(columns).replies;
}

// Counts pixels of about this colour.
int PixelsLike(const QImage& image, const QColor& colour) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) < 30 && std::abs(c.green() - colour.green()) < 30 &&
                std::abs(c.blue() - colour.blue()) < 30)
                ++n;
        }
    return n;
}

}  // namespace

class RttGraphTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void traceColumnsAndLevels();
    void traceMinutesOfEarlierRunsNotCountedTwice();
    void traceRawTierIsBoundedAndSecondsTakeOver();
    void graphGetsSubMillisecondPointsFromLoopback();
    void hoverShowsTimeAndValue();
    void chooserChangesTheSpan_data();
    void chooserChangesTheSpan();
    void pauseHoldsTheViewAndScrollMovesIt();
    void scrollLooksBackWithinWhatIsHeld();
    void savePictureWritesPng();
    void savePictureToAFolderThatCannotBeWritten();
    void lostEchoesAreMarkedInRed();
    void longViewsShowEarlierRunsFromTheHistoryFile();

  private:
    Tdetailform* Open(const QString& address);
    QTemporaryDir tmp_;
    bool namespaced_ = false;
    std::unique_ptr<Opener> opener_;
};

void RttGraphTest::initTestCase() {
    // Everything this test pings is loopback in a namespace of its own: threads started from here
    // on (the detail window's workers) live in it.
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0 && SetLoopbackUp() && IgnoreEchoes(false))
        namespaced_ = true;
    veltrin::EngineStartup();
    QVERIFY(tmp_.isValid());
    qputenv("HOME", QFile::encodeName(tmp_.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp_.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp_.filePath(QStringLiteral("data"))));
    (void)veltrin::WindowHandOver();
}

void RttGraphTest::init() {
    Golbal()->interval = 1;
    Golbal()->datalength = 8;
    Golbal()->mailsetting.savetime = 0;
    Golbal()->location.clear();
    Golbal()->locations = std::make_shared<veltrin::LocationLoader>();
    opener_ = std::make_unique<Opener>();
    opener_->window.resize(400, 300);
    opener_->window.show();
    if (namespaced_) IgnoreEchoes(false);
}

void RttGraphTest::cleanup() {
    if (opener_) {
        for (Tdetailform* w : opener_->window.findChildren<Tdetailform*>()) w->CloseDetail();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    opener_.reset();
}

Tdetailform* RttGraphTest::Open(const QString& address) {
    if (!veltrin::IcmpSocket().ok()) return nullptr;
    return OpenDetailWindow(&opener_->window, veltrin::WindowHandOver(), opener_->Host(), opener_->detailopen,
                            address);
}

void RttGraphTest::traceColumnsAndLevels() {
    RttTrace t;
    const std::int64_t base = 1'700'000'000'000;
    t.AddReply(base + 100, 0.25);
    t.AddReply(base + 200, 0.75);   // same column as the first
    t.AddLoss(base + 5'100);
    t.AddReply(base + 9'999, 2.5);  // last column
    t.AddReply(base + 10'000, 99);  // just past the span: not shown
    t.AddReply(base - 1, 99);       // clock went back: kept in order, after the others
    const auto columns = t.Columns(base, base + 10'000, 10);
    QCOMPARE(columns.size(), std::size_t{10});
    QCOMPARE(columns[0].startms, base);
    QCOMPARE(columns[9].endms, base + 10'000);
    QCOMPARE(columns[0].replies, std::uint64_t{2});
    QCOMPARE(columns[0].minms, 0.25);
    QCOMPARE(columns[0].maxms, 0.75);
    QCOMPARE(columns[0].avgms, 0.5);
    QCOMPARE(columns[5].lost, std::uint64_t{1});
    QCOMPARE(columns[5].replies, std::uint64_t{0});
    QCOMPARE(columns[9].replies, std::uint64_t{1});
    const veltrin::RttSummary s = RttTrace::Summarize(columns);
    QCOMPARE(s.replies, std::uint64_t{3});
    QCOMPARE(s.lost, std::uint64_t{1});
    QCOMPARE(s.minms, 0.25);
    QCOMPARE(s.maxms, 2.5);
    QCOMPARE(s.avgms, (0.25 + 0.75 + 2.5) / 3);
    // Nonsense asked for gives nothing, not a crash.
    QVERIFY(t.Columns(base, base, 10).empty());
    QVERIFY(t.Columns(base, base + 10, 0).empty());
    QVERIFY(t.Columns(base, base + 10, -5).empty());
}

void RttGraphTest::traceMinutesOfEarlierRunsNotCountedTwice() {
    RttTrace t;
    const std::int64_t minute = 60'000;
    const std::int64_t start = 1'700'000'000'000 / minute * minute;
    // This run's results begin at minute 10.
    for (int i = 0; i < 30; ++i) t.AddReply(start + 10 * minute + i * 1000, 1.0);
    std::vector<RttTrace::Minute> stored;
    for (int m = 0; m < 12; ++m)  // minutes 10 and 11 overlap this run: ignored
        stored.push_back({start + m * minute, 2.0, 3.0, 4.0, 10, 1});
    t.AddMinutes(stored);
    t.AddMinutes(stored);  // asked twice: still once
    const auto columns = t.Columns(start, start + 20 * minute, 20);
    const veltrin::RttSummary s = RttTrace::Summarize(columns);
    QCOMPARE(s.replies, std::uint64_t{10 * 9 + 30});
    QCOMPARE(s.lost, std::uint64_t{10});
    QCOMPARE(columns[0].replies, std::uint64_t{9});
    QCOMPARE(columns[0].minms, 2.0);
    QCOMPARE(columns[0].avgms, 3.0);
    QCOMPARE(columns[0].maxms, 4.0);
    QCOMPARE(columns[10].replies, std::uint64_t{30});
    QCOMPARE(columns[10].avgms, 1.0);
    QVERIFY(t.Oldest() == start);
    // Rows that cannot be right are not taken.
    RttTrace u;
    u.AddMinutes({{start, 9.0, 9.0, 9.0, 0, 0}, {start + minute, 9.0, 9.0, 9.0, 1, 5}});
    QCOMPARE(u.Oldest(), std::numeric_limits<std::int64_t>::max());
}

void RttGraphTest::traceRawTierIsBoundedAndSecondsTakeOver() {
    RttTrace t;
    const std::int64_t base = 1'700'000'000'000;
    constexpr int kPerSecond = 500;
    const std::int64_t total = static_cast<std::int64_t>(RttTrace::kMaxRaw) + 300'000;
    for (std::int64_t i = 0; i < total; ++i) t.AddReply(base + i * 1000 / kPerSecond, 0.5);
    QCOMPARE(t.RawCount(), RttTrace::kMaxRaw);
    const std::int64_t end = base + total * 1000 / kPerSecond;
    const auto columns = t.Columns(base, end + 1, 600);
    const std::uint64_t shown = Replies(columns);
    // The older part comes from the seconds; at most the one second where the tiers meet is
    // left out, and nothing is counted twice.
    QVERIFY2(shown <= static_cast<std::uint64_t>(total), qPrintable(QString::number(shown)));
    QVERIFY2(shown + kPerSecond >= static_cast<std::uint64_t>(total), qPrintable(QString::number(shown)));
    QVERIFY(columns.front().replies > 0);
    QVERIFY(t.Oldest() <= base);
}

void RttGraphTest::graphGetsSubMillisecondPointsFromLoopback() {
    Tdetailform* w = Open(QStringLiteral("127.0.0.1"));
    if (w == nullptr) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
    QVERIFY(w->graph != nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->Trace().RawCount() >= 5, 15000);
    w->graph->SetPaused(true);
    // One point per pixel column that holds replies; every reply is in one of them.
    QVERIFY(w->graph->ShownSummary().replies >= 4);
    int withreplies = 0;
    for (const veltrin::RttColumn& c : w->graph->ShownColumns()) withreplies += c.replies > 0 ? 1 : 0;
    QCOMPARE(w->graph->avgseries->count(), withreplies);
    QVERIFY(withreplies >= 2);
    for (const QPointF& p : w->graph->avgseries->points()) {
        QVERIFY2(p.y() > 0 && p.y() < 50, qPrintable(QString::number(p.y())));
    }
    // Loopback answers in well under a millisecond: the whole-millisecond list shows 0, the
    // graph its fraction.
    QVERIFY(w->graph->ShownSummary().minms < 1.0);
    const veltrin::RttSummary& s = w->graph->ShownSummary();
    QVERIFY(s.minms <= s.avgms && s.avgms <= s.maxms);
    QCOMPARE(w->graph->minline->count(), 2);
    QCOMPARE(w->graph->minline->at(0).y(), s.minms);
    QCOMPARE(w->graph->avgline->at(1).y(), s.avgms);
    QCOMPARE(w->graph->maxline->at(0).y(), s.maxms);
    QVERIFY(w->graph->minline->name().startsWith(QStringLiteral("min 0.")));
    QCOMPARE(w->graph->lossseries->count(), 0);
    // The points also reach the list below, as before.
    QVERIFY(w->listv1->model()->rowCount() >= 1);
}

void RttGraphTest::hoverShowsTimeAndValue() {
    opener_->interval = QStringLiteral("3");  // replies far enough apart to be a column each
    Tdetailform* w = Open(QStringLiteral("127.0.0.1"));
    if (w == nullptr) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->Trace().RawCount() >= 3, 15000);
    w->graph->SetPaused(true);
    QVERIFY(w->graph->avgseries->count() >= 2);
    const QPointF point = w->graph->avgseries->at(1);
    QChart* chart = w->graph->chartview->chart();
    const QPoint pos = w->graph->chartview->mapFromScene(chart->mapToPosition(point, w->graph->avgseries));
    QMouseEvent move(QEvent::MouseMove, QPointF(pos), w->graph->chartview->viewport()->mapToGlobal(QPointF(pos)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w->graph->chartview->viewport(), &move);
    const QString text = w->graph->hoverlabel->text();
    QVERIFY2(text.contains(QStringLiteral(" ms")), qPrintable(text));
    // The column under the mouse: the one aimed at, or a neighbour within the same pixel or two
    // (the mouse position is whole pixels). The label says when it starts (its point sits in its
    // middle, which may fall in the next second) and its value.
    bool shown = false;
    for (const veltrin::RttColumn& c : w->graph->ShownColumns()) {
        if (c.replies == 0 || shown) continue;
        const auto middle = static_cast<double>(c.startms + (c.endms - c.startms) / 2);
        if (std::abs(middle - point.x()) > 2000) continue;
        const QString when = QDateTime::fromMSecsSinceEpoch(c.startms).toString(QStringLiteral("HH:mm:ss"));
        shown = text.contains(when) && text.contains(QString::number(c.avgms, 'f', 3));
    }
    QVERIFY2(shown, qPrintable(text + " aimed at " + QString::number(point.y())));
    // Far left of the plot, before any result: nothing to say.
    QCOMPARE(w->graph->HoverAt(QPoint(1, 1)), QString());
}

void RttGraphTest::chooserChangesTheSpan_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<qint64>("span");
    QTest::newRow("1 min") << 0 << qint64{60'000};
    QTest::newRow("10 min") << 1 << qint64{600'000};
    QTest::newRow("1 h") << 2 << qint64{3'600'000};
    QTest::newRow("24 h") << 3 << qint64{86'400'000};
}

void RttGraphTest::chooserChangesTheSpan() {
    QFETCH(int, index);
    QFETCH(qint64, span);
    Tdetailform* w = Open(QStringLiteral("127.0.0.1"));
    if (w == nullptr) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->Trace().RawCount() >= 3, 15000);
    w->graph->SetPaused(true);  // the same end for every span
    const std::uint64_t inminute = w->graph->ShownSummary().replies;
    QVERIFY(inminute >= 3);
    w->graph->spanbox->setCurrentIndex(index);  // as the user picks it
    QCOMPARE(w->graph->SpanMs(), span);
    const auto& columns = w->graph->ShownColumns();
    QVERIFY(!columns.empty());
    QCOMPARE(columns.back().endms - columns.front().startms, span);
    QCOMPARE(columns.back().endms, w->graph->ViewEnd());
    // Everything happened within the last minute, so each span shows the same replies.
    QCOMPARE(w->graph->ShownSummary().replies, inminute);
}

void RttGraphTest::pauseHoldsTheViewAndScrollMovesIt() {
    Tdetailform* w = Open(QStringLiteral("127.0.0.1"));
    if (w == nullptr) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->Trace().RawCount() >= 3, 15000);
    w->graph->pausebtn->click();
    QVERIFY(w->graph->Paused());
    const std::int64_t end = w->graph->ViewEnd();
    const std::uint64_t shown = w->graph->ShownSummary().replies;
    const std::size_t before = w->graph->Trace().RawCount();
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->Trace().RawCount() >= before + 3, 15000);
    QTest::qWait(600);  // a refresh tick or more
    QCOMPARE(w->graph->ViewEnd(), end);
    QCOMPARE(w->graph->ShownSummary().replies, shown);
    // Going on follows the clock again and shows the newer replies.
    w->graph->pausebtn->click();
    QVERIFY(!w->graph->Paused());
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->ShownSummary().replies > shown, 5000);
    QVERIFY(w->graph->ViewEnd() > end);
}

void RttGraphTest::scrollLooksBackWithinWhatIsHeld() {
    RttGraph graph;
    graph.resize(500, 300);
    graph.show();
    const std::int64_t now = 1'700'000'040'000;  // a whole minute, as the trace's buckets are
    graph.SetClock([now] { return now; });
    for (int s = 600; s >= 1; --s) graph.AddReply(now - s * 1000, 1.0);  // one a second, 10 min
    graph.Refresh();
    QCOMPARE(graph.ShownSummary().replies, std::uint64_t{60});
    graph.ScrollTo(now - 300'000);  // pauses
    QVERIFY(graph.Paused());
    QCOMPARE(graph.ViewEnd(), now - 300'000);
    QCOMPARE(graph.ShownSummary().replies, std::uint64_t{60});
    QCOMPARE(graph.ShownColumns().front().startms, now - 360'000);
    // Never past now, never before the oldest result plus a span.
    graph.ScrollTo(now + 3'600'000);
    QCOMPARE(graph.ViewEnd(), now);
    graph.ScrollTo(now - 86'400'000);
    QCOMPARE(graph.ViewEnd(), now - 600'000 + 60'000);
    // The scroll bar covers the same stretch in seconds.
    QScrollBar* bar = graph.scroller;
    QCOMPARE(bar->maximum() - bar->minimum(), 540);
    bar->setValue(bar->maximum());
    QCOMPARE(graph.ViewEnd(), now);
    bar->setValue(bar->minimum() + 100);
    QCOMPARE(graph.ViewEnd(), now - 600'000 + 60'000 + 100'000);
    // A longer span on a paused view keeps its end.
    graph.SetSpanIndex(1);
    QCOMPARE(graph.ViewEnd(), now - 600'000 + 60'000 + 100'000);
    QCOMPARE(graph.ShownSummary().replies, std::uint64_t{160});
}

void RttGraphTest::savePictureWritesPng() {
    Tdetailform* w = Open(QStringLiteral("127.0.0.1"));
    if (w == nullptr) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->Trace().RawCount() >= 3, 15000);
    w->graph->Refresh();
    veltrin::DialogRecorder dialogs;
    const QString base = tmp_.filePath(QStringLiteral("graph"));
    dialogs.QueueFileAnswer(base);  // no extension: one is added
    w->graph->savebtn->click();
    QCOMPARE(dialogs.requests.size(), std::size_t{1});
    QVERIFY(dialogs.requests[0].save);
    QVERIFY(dialogs.requests[0].filter.contains(QStringLiteral("*.png")));
    QImage image;
    QVERIFY(image.load(base + QStringLiteral(".png"), "PNG"));
    const QSize expected = w->graph->chartview->size() * w->graph->chartview->devicePixelRatioF();
    QCOMPARE(image.size(), expected);
    // The line is in the picture.
    QVERIFY(PixelsLike(image, QColor(0x1f, 0x6f, 0xb4)) > 20);
    QVERIFY(dialogs.messages.empty());

    // The same name again: asked first; No brings the dialog back, which is then cancelled.
    QFile::resize(base + QStringLiteral(".png"), 10);
    dialogs.QueueFileAnswer(base + QStringLiteral(".png"));
    dialogs.QueueQuestionAnswer(false);
    QVERIFY(!w->graph->SavePicture());
    QCOMPARE(dialogs.questions.size(), std::size_t{1});
    QCOMPARE(QFileInfo(base + QStringLiteral(".png")).size(), qint64{10});  // left alone
    // Yes replaces it.
    dialogs.QueueFileAnswer(base + QStringLiteral(".png"));
    dialogs.QueueQuestionAnswer(true);
    QVERIFY(w->graph->SavePicture());
    QVERIFY(image.load(base + QStringLiteral(".png"), "PNG"));
    QCOMPARE(image.size(), expected);
}

void RttGraphTest::savePictureToAFolderThatCannotBeWritten() {
    RttGraph graph;
    graph.resize(400, 300);
    graph.show();
    graph.AddReply(QDateTime::currentMSecsSinceEpoch() - 1000, 0.3);
    graph.Refresh();
    // A plain file where the folder should be stops even root.
    const QString blocker = tmp_.filePath(QStringLiteral("blocker"));
    QFile f(blocker);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    veltrin::DialogRecorder dialogs;
    dialogs.QueueFileAnswer(blocker + QStringLiteral("/picture.png"));
    QVERIFY(!graph.SavePicture());
    QCOMPARE(dialogs.messages.size(), std::size_t{1});
    QVERIFY2(dialogs.messages[0].text.contains(QStringLiteral("could not be saved")),
             qPrintable(dialogs.messages[0].text));
    QVERIFY(!QFile::exists(blocker + QStringLiteral("/picture.png")));
}

void RttGraphTest::lostEchoesAreMarkedInRed() {
    if (!namespaced_) QSKIP("needs root and a network namespace to switch loopback's echo answers off");
    QVERIFY(IgnoreEchoes(true));
    Tdetailform* w = Open(QStringLiteral("127.0.0.1"));
    if (w == nullptr) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
    // Echoes count as lost once their time-out passed.
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->lossseries->count() >= 2, 20000);
    QVERIFY(w->graph->ShownSummary().lost >= 2);
    QCOMPARE(w->graph->ShownSummary().replies, std::uint64_t{0});
    QVERIFY(w->graph->lossseries->name().startsWith(QStringLiteral("lost ")));
    // Red marks in the picture, none of the line's colour yet.
    const QImage picture = w->graph->Picture().toImage();
    QVERIFY(PixelsLike(picture, QColor(0xd3, 0x20, 0x20)) > 20);
    // Answers again: points come, the marks stay where they were.
    QVERIFY(IgnoreEchoes(false));
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->ShownSummary().replies >= 3, 15000);
    QVERIFY(w->graph->ShownSummary().lost >= 2);
    // The hover over a loss mark says so.
    const QPointF mark = w->graph->lossseries->at(0);
    w->graph->SetPaused(true);
    QChart* chart = w->graph->chartview->chart();
    const QPoint pos = w->graph->chartview->mapFromScene(chart->mapToPosition(mark, w->graph->lossseries));
    QVERIFY2(w->graph->HoverAt(pos).contains(QStringLiteral("lost")), qPrintable(w->graph->HoverAt(pos)));
}

void RttGraphTest::longViewsShowEarlierRunsFromTheHistoryFile() {
    QTemporaryDir dir;
    std::string error;
    auto store = veltrin::HistoryStore::Open((dir.path() + QStringLiteral("/history.sqlite")).toStdString(), &error);
    QVERIFY2(store, error.c_str());
    // Two minutes of an earlier run, two hours ago: 120 echoes, every tenth lost.
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    const std::int64_t start = (now - 2 * 3'600'000) / 60'000 * 60'000;
    std::vector<veltrin::EchoResult> earlier;
    for (int i = 0; i < 120; ++i)
        earlier.push_back({"127.0.0.1", start + i * 1000, i % 10 == 9 ? -1.0 : 0.2 + 0.01 * (i % 7)});
    earlier.push_back({"127.0.0.2", start, 5.0});  // another address: not shown
    store->Record(earlier);
    store->Flush();
    veltrin::HistoryStore* kept = store.get();
    int asked = 0;
    DetailHost host = opener_->Host();
    host.minutes = [kept, &asked](const QString& address, std::int64_t since, std::int64_t until) {
        ++asked;
        return veltrin::StoredMinutes(*kept, address.toStdString(), since, until);
    };
    if (!veltrin::IcmpSocket().ok()) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
    Tdetailform* w = OpenDetailWindow(&opener_->window, veltrin::WindowHandOver(), host, false, QStringLiteral("127.0.0.1"));
    QVERIFY(w != nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(w->graph->Trace().RawCount() >= 2, 15000);
    w->graph->SetPaused(true);
    QCOMPARE(asked, 0);  // the minute's view needs no earlier minutes
    QCOMPARE(w->graph->ShownSummary().lost, std::uint64_t{0});
    w->graph->spanbox->setCurrentIndex(3);  // 24 h
    QCOMPARE(asked, 1);
    std::uint64_t replies = 0, lost = 0;
    double least = 1e9, most = 0;
    for (const veltrin::RttColumn& c : w->graph->ShownColumns()) {
        if (c.endms > now - 3'600'000) continue;  // this run's own results are later
        replies += c.replies;
        lost += c.lost;
        if (c.replies > 0) {
            least = std::min(least, c.minms);
            most = std::max(most, c.maxms);
        }
    }
    QCOMPARE(replies, std::uint64_t{108});
    QCOMPARE(lost, std::uint64_t{12});
    QVERIFY(std::abs(least - 0.2) < 1e-3);
    QVERIFY(std::abs(most - 0.26) < 1e-3);
    QVERIFY(w->graph->lossseries->count() >= 1);
    // The hour's view does not reach back that far; going back to 24 h asks nothing new.
    w->graph->spanbox->setCurrentIndex(2);
    w->graph->spanbox->setCurrentIndex(3);
    QCOMPARE(asked, 1);
}

QTEST_MAIN(RttGraphTest)
#include "rttgraph_test.moc"
