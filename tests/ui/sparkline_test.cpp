// The main list's History column: the strip's pixels (bars by round trip, red for lost), only
// the rows on screen asked for, earlier runs' results from a real history file, the tooltips'
// sub-millisecond values, the column's layout remembered, and the strip filled by the real
// monitor pinging loopback and again after a restart.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "history/historystore.h"
#include "monitor/addresslist.h"
#include "settings/viewsettings.h"
#include "ui/addresslistmodel.h"
#include "ui/columnheader.h"
#include "ui/historyview.h"
#include "ui/mainfm.h"
#include "ui/sparkdelegate.h"

using veltrin::AddressList;
using veltrin::AddressListModel;
using veltrin::RowStatus;
using veltrin::Sparkline;

namespace {

QTemporaryDir* homedir = nullptr;

void UseFreshHome() {
    static int count = 0;
    const QString home = homedir->path() + QStringLiteral("/t%1").arg(++count);
    QDir().mkpath(home);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home + QStringLiteral("/data")));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(home + QStringLiteral("/share")));
}

RowStatus WithHistory(const std::vector<float>& values, double last) {
    RowStatus s;
    for (float v : values) s.AddHistory(v);
    s.lastrttms = last;
    return s;
}

bool IsRed(QRgb p) { return qRed(p) > 200 && qGreen(p) < 80 && qBlue(p) < 80; }
bool IsBar(QRgb p, const QColor& bar) {
    return std::abs(qRed(p) - bar.red()) < 40 && std::abs(qGreen(p) - bar.green()) < 40 &&
           std::abs(qBlue(p) - bar.blue()) < 40;
}

// Height in pixels of the run of `bar` pixels in column x of `image` within rows [top, bottom].
int BarHeight(const QImage& image, int x, int top, int bottom, const QColor& bar) {
    int h = 0;
    for (int y = top; y <= bottom; ++y) h += IsBar(image.pixel(x, y), bar) ? 1 : 0;
    return h;
}

// A view of the model with the History column's delegate, the way the main window has it.
struct ListView {
    AddressList list;
    AddressListModel model{list};
    QTableView view;
    ListView() {
        view.setModel(&model);
        view.setItemDelegateForColumn(AddressListModel::HistoryColumn, new veltrin::SparklineDelegate(&view));
        QPalette p = view.palette();
        p.setColor(QPalette::Base, QColor(16, 16, 16));
        p.setColor(QPalette::Text, QColor(0, 255, 0));
        view.setPalette(p);
        for (int c = 0; c < AddressListModel::HistoryColumn; ++c) view.setColumnHidden(c, c != 0);
        view.setColumnWidth(0, 80);
        view.setColumnWidth(AddressListModel::HistoryColumn, 4 + 60 * 4);  // four pixels a result
        view.verticalHeader()->setDefaultSectionSize(24);
        view.resize(420, 300);
    }
    QRect Cell(int row) const {
        return view.visualRect(view.model()->index(row, AddressListModel::HistoryColumn));
    }
    QImage Picture() {
        view.show();
        QCoreApplication::processEvents();
        return view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
};

}  // namespace

class SparklineTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        homedir = new QTemporaryDir;
        QVERIFY(homedir->isValid());
        qputenv("HOME", QFile::encodeName(homedir->path()));
        veltrin::EngineStartup();
    }
    void cleanupTestCase() {
        delete homedir;
        homedir = nullptr;
    }
    void init() { UseFreshHome(); }

    // One bar per result, newest at the right; its height follows the round trip; a lost echo
    // is a red tick the full height.
    void delegatePaintsBarsAndRedForLost() {
        ListView v;
        v.list.Append("127.0.0.1");
        v.list.SetStatus(0, WithHistory({0.5f, -1.0f, 1.0f}, 1.0));
        const QImage image = v.Picture();
        const QRect cell = v.Cell(0);
        const QRect area = cell.adjusted(2, 2, -2, -2);
        const QColor green(0, 255, 0);
        // Slot i of 60 starts at area.left() + 4 * i; the three results fill slots 57..59.
        const double slotwidth = area.width() / 60.0;
        const auto slotx = [&](int slot) { return area.left() + static_cast<int>(std::floor(slotwidth * slot)) + 1; };
        int redcolumns = 0, redpixels = 0;
        for (int x = cell.left(); x <= cell.right(); ++x)
            for (int y = cell.top(); y <= cell.bottom(); ++y)
                if (IsRed(image.pixel(x, y))) ++redpixels;
        for (int x = cell.left(); x <= cell.right(); ++x)
            if (IsRed(image.pixel(x, area.top() + area.height() / 2))) ++redcolumns;
        QVERIFY2(redpixels > 0, "no red tick");
        QVERIFY(IsRed(image.pixel(slotx(58), area.top())));
        QVERIFY(IsRed(image.pixel(slotx(58), area.bottom())));
        QVERIFY2(redcolumns >= 2 && redcolumns <= 4, qPrintable(QString::number(redcolumns)));  // one slot
        const int full = BarHeight(image, slotx(59), area.top(), area.bottom(), green);
        const int half = BarHeight(image, slotx(57), area.top(), area.bottom(), green);
        QCOMPARE(full, area.height());
        QVERIFY2(std::abs(half * 2 - full) <= 2, qPrintable(QStringLiteral("%1 vs %2").arg(half).arg(full)));
        // Nothing to the left of the first result.
        for (int slot = 0; slot < 57; ++slot) QCOMPARE(BarHeight(image, slotx(slot), area.top(), area.bottom(), green), 0);
        // All answered: no red at all.
        v.list.SetStatus(0, WithHistory({0.5f, 0.7f, 1.0f}, 1.0));
        v.model.FlushChanges();
        const QImage again = v.Picture();
        for (int x = cell.left(); x <= cell.right(); ++x)
            for (int y = cell.top(); y <= cell.bottom(); ++y) QVERIFY(!IsRed(again.pixel(x, y)));
    }

    // A full strip drops the oldest result as a new one comes.
    void fullStripKeepsTheLastSixty() {
        AddressList list;
        AddressListModel model(list);
        list.Append("127.0.0.1");
        std::vector<float> values;
        for (int i = 0; i < 75; ++i) values.push_back(i == 74 ? -1.0f : static_cast<float>(i));
        list.SetStatus(0, WithHistory(values, 73.0));
        const Sparkline spark = model.SparklineOf(0);
        QCOMPARE(spark.count, 60);
        QCOMPARE(spark.values[0], 15.0f);
        QCOMPARE(spark.values[58], 73.0f);
        QCOMPARE(spark.values[59], -1.0f);
        QCOMPARE(spark.Lost(), 1);
    }

    // The sub-millisecond value of the last reply on the time cell and the strip.
    void tooltipsShowSubMillisecondValues() {
        AddressList list;
        AddressListModel model(list);
        list.Append("127.0.0.1");
        list.Append("127.0.0.2");
        list.SetCells(0, "64", "0", "return data length:   8");
        list.SetStatus(0, WithHistory({0.048f, -1.0f, 0.052f}, 0.052));
        const QModelIndex time = model.index(0, AddressListModel::TimeColumn);
        QCOMPARE(time.data(Qt::DisplayRole).toString(), QStringLiteral("0"));  // whole ms, as before
        QCOMPARE(time.data(Qt::ToolTipRole).toString(), QStringLiteral("0.052 ms"));
        const QString tip = model.index(0, AddressListModel::HistoryColumn).data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(QStringLiteral("last reply 0.052 ms")), qPrintable(tip));
        QVERIFY2(tip.contains(QStringLiteral("1 of the last 3 lost")), qPrintable(tip));
        // Nothing yet: no made-up values.
        QVERIFY(!model.index(1, AddressListModel::TimeColumn).data(Qt::ToolTipRole).isValid());
        QCOMPARE(model.index(1, AddressListModel::HistoryColumn).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("no results yet"));
        QCOMPARE(model.headerData(AddressListModel::HistoryColumn, Qt::Horizontal).toString(), QStringLiteral("History"));
        QCOMPARE(model.columnCount(), AddressListModel::HistoryColumn + 1);
    }

    // Earlier results come first, this run's after them, together no more than a strip; each
    // address is asked once, and only for rows that are drawn.
    void earlierResultsOnlyForRowsOnScreen() {
        ListView v;
        constexpr int kRows = 100000;
        for (int i = 0; i < kRows; ++i) v.list.Append("127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
        v.list.SetStatus(0, WithHistory({1.0f}, 1.0));
        std::vector<std::string> asked;
        v.model.SetEarlierResults([&asked](const std::string& address) {
            asked.push_back(address);
            std::vector<float> before;
            for (int i = 0; i < 70; ++i) before.push_back(i % 10 == 9 ? -1.0f : 2.0f);
            return before;
        });
        (void)v.Picture();
        QVERIFY(!asked.empty());
        QVERIFY2(asked.size() < 40, qPrintable(QString::number(asked.size())));  // a screenful, not 100,000
        QCOMPARE(asked.front(), std::string("127.0.0.1"));
        const std::size_t once = asked.size();
        (void)v.Picture();
        QCOMPARE(asked.size(), once);  // drawn again: not asked again
        const Sparkline spark = v.model.SparklineOf(0);
        QCOMPARE(spark.count, 60);
        QCOMPARE(spark.values[59], 1.0f);   // this run's own, last
        QCOMPARE(spark.values[58], -1.0f);  // the newest earlier one before it
        QCOMPARE(spark.values[57], 2.0f);
        QCOMPARE(spark.lastrttms, 1.0);
        // A row with no reply of its own yet tells the last earlier reply.
        QCOMPARE(v.model.SparklineOf(1).lastrttms, 2.0);
    }

    // From a real history file: what was kept before the run began, and nothing after.
    void earlierResultsFromAHistoryFile() {
        QTemporaryDir dir;
        std::string error;
        auto store = veltrin::HistoryStore::Open((dir.path() + QStringLiteral("/h.sqlite")).toStdString(), &error);
        QVERIFY2(store, error.c_str());
        const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        store->Record({{"127.0.0.1", now - 3000, 0.25}, {"127.0.0.1", now - 2000, -1.0}, {"127.0.0.1", now - 1000, 0.5},
                       {"127.0.0.2", now - 1000, 9.0}, {"127.0.0.1", now + 60'000, 7.0}});
        store->Flush();
        const std::vector<float> before = veltrin::EarlierResults(*store, "127.0.0.1", now);
        QCOMPARE(before, (std::vector<float>{0.25f, -1.0f, 0.5f}));
        AddressList list;
        AddressListModel model(list);
        list.Append("127.0.0.1");
        veltrin::HistoryStore* raw = store.get();
        veltrin::ShowKeptHistory(model, [raw] { return raw; });
        // The run began after all but the last of these.
        const Sparkline spark = model.SparklineOf(0);
        QCOMPARE(spark.count, 3);
        QCOMPARE(spark.values[1], -1.0f);
        QCOMPARE(spark.lastrttms, 0.5);
        // The store gone (history switched off or broken): empty strips, no crash.
        AddressListModel other(list);
        veltrin::ShowKeptHistory(other, [] { return static_cast<veltrin::HistoryStore*>(nullptr); });
        QCOMPARE(other.SparklineOf(0).count, 0);
    }

    // The column's width and visibility come back in the next window; a settings file from
    // before the column existed gives it its default width, shown.
    void columnRemembered() {
        {
            Tmainform w(QStringList{});
            w.stopbtnClick();
            QTableView* view = w.ListV1();
            QCOMPARE(view->model()->headerData(AddressListModel::HistoryColumn, Qt::Horizontal).toString(),
                     QStringLiteral("History"));
            QCOMPARE(view->columnWidth(AddressListModel::HistoryColumn), 140);
            QVERIFY(!view->isColumnHidden(AddressListModel::HistoryColumn));
            QVERIFY(qobject_cast<veltrin::SparklineDelegate*>(view->itemDelegateForColumn(AddressListModel::HistoryColumn)));
            view->setColumnWidth(AddressListModel::HistoryColumn, 222);
            w.Columns()->SaveNow();
        }
        {
            Tmainform w(QStringList{});
            w.stopbtnClick();
            QCOMPARE(w.ListV1()->columnWidth(AddressListModel::HistoryColumn), 222);
            QMenu* menu = w.Columns()->Menu();
            QAction* history = menu->actions().at(AddressListModel::HistoryColumn);
            QCOMPARE(history->text(), QStringLiteral("History"));
            history->setChecked(false);
            QVERIFY(w.ListV1()->isColumnHidden(AddressListModel::HistoryColumn));
            w.Columns()->SaveNow();
        }
        const std::string inipath = veltrin::Golbal()->inipath;
        QCOMPARE(veltrin::LoadListColumns(inipath, AddressListModel::ColumnCount).hidden,
                 (std::vector<int>{AddressListModel::HistoryColumn}));
        {
            Tmainform w(QStringList{});
            w.stopbtnClick();
            QVERIFY(w.ListV1()->isColumnHidden(AddressListModel::HistoryColumn));
            // Hidden, it kept the width it had when shown.
            w.Columns()->SetColumnShown(AddressListModel::HistoryColumn, true);
            QCOMPARE(w.ListV1()->columnWidth(AddressListModel::HistoryColumn), 222);
        }
        // Eight widths, as written before there was a History column.
        veltrin::ListColumns old;
        old.widths = {150, 80, 100, 200, 60, 60, 60, 100};
        QVERIFY(veltrin::SaveListColumns(inipath, old));
        Tmainform w(QStringList{});
        w.stopbtnClick();
        QVERIFY(!w.ListV1()->isColumnHidden(AddressListModel::HistoryColumn));
        QCOMPARE(w.ListV1()->columnWidth(AddressListModel::HistoryColumn), 140);
    }

    // The real monitor fills the strip from loopback replies (fractions of a millisecond), and
    // the next window begins with them from the history file before it sends anything.
    void realMonitorFillsTheStripAndARestartKeepsIt() {
        if (!veltrin::IcmpSocket().ok()) QSKIP("raw ICMP sockets need root or CAP_NET_RAW");
        int seen = 0;
        {
            Tmainform w(QStringList{});
            if (w.history() == nullptr) QSKIP("history is off or could not be opened here");
            w.Edit2()->setText(QStringLiteral("1"));
            w.list().Append("127.0.0.1");
            w.pingbtnClick();
            const QModelIndex cell = w.ListV1()->model()->index(0, AddressListModel::HistoryColumn);
            QTRY_VERIFY2_WITH_TIMEOUT(cell.data(AddressListModel::SparkRole).value<Sparkline>().count >= 3,
                                      qPrintable(QStringLiteral("sent %1 received %2 lost %3 running %4")
                                                     .arg(w.list().Status(0).sent)
                                                     .arg(w.list().Status(0).received)
                                                     .arg(w.list().Status(0).lost)
                                                     .arg(w.list().Count())),
                                      20000);
            w.stopbtnClick();
            const Sparkline spark = cell.data(AddressListModel::SparkRole).value<Sparkline>();
            seen = spark.count;
            for (int i = 0; i < spark.count; ++i) {
                const float v = spark.values[static_cast<std::size_t>(i)];
                QVERIFY2(v >= 0 && v < 50, qPrintable(QString::number(v)));
            }
            QVERIFY(spark.lastrttms >= 0 && spark.lastrttms < 1.0);  // loopback: well under 1 ms
            const QString tip = cell.data(Qt::ToolTipRole).toString();
            QVERIFY2(tip.contains(QStringLiteral("last reply 0.")), qPrintable(tip));
        }
        Tmainform again(QStringList{});
        again.stopbtnClick();
        if (again.list().Count() == 0) again.list().Append("127.0.0.1");
        const QModelIndex cell = again.ListV1()->model()->index(0, AddressListModel::HistoryColumn);
        const Sparkline spark = cell.data(AddressListModel::SparkRole).value<Sparkline>();
        QVERIFY2(spark.count >= seen, qPrintable(QStringLiteral("%1 < %2").arg(spark.count).arg(seen)));
        QVERIFY(spark.lastrttms >= 0);
    }
};

QTEST_MAIN(SparklineTest)
#include "sparkline_test.moc"
