// The main list's reachability face: each state's colour, icon and tooltip on the address cell in
// light and dark palettes, the new columns' values, the dimmed values of a host that stopped
// answering, ages that follow the clock without announcing anything, sorting that leaves the
// list's own order alone, and the column layout remembered in the settings file.
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "logs/logfiles.h"
#include "monitor/addresslist.h"
#include "settings/viewsettings.h"
#include "ui/addresslistmodel.h"
#include "ui/columnheader.h"
#include "ui/mainfm.h"

using veltrin::AddressListModel;
using veltrin::RowState;
using veltrin::RowStatus;

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

QPalette Palette(bool dark) {
    QPalette p;
    p.setColor(QPalette::Base, dark ? QColor(16, 16, 16) : QColor(255, 255, 255));
    p.setColor(QPalette::Text, dark ? QColor(0, 255, 0) : QColor(0, 0, 0));
    return p;
}

// Relative luminance contrast (WCAG) between two colours.
double Contrast(const QColor& a, const QColor& b) {
    auto lum = [](const QColor& c) {
        auto ch = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
    };
    const double la = lum(a), lb = lum(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The icon's shape only: which pixels it covers, whatever their colour.
QImage Shape(const QIcon& icon) {
    QImage image = icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    QImage mask(image.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) mask.setPixel(x, y, qAlpha(image.pixel(x, y)) > 96 ? 0xffffff : 0);
    return mask;
}

RowStatus Status(RowState state) {
    RowStatus s;
    s.state = state;
    return s;
}

const RowState kStates[] = {RowState::NotYetPinged, RowState::NeverAnswered, RowState::Answering,
                            RowState::NotAnswering, RowState::NoAddress};

std::vector<std::string> Addresses(const veltrin::AddressList& list) {
    std::vector<std::string> out;
    for (const veltrin::AddressRow& row : list.Rows()) out.push_back(row.address);
    return out;
}

// The list rows in the order the view shows them.
std::vector<int> ViewOrder(QTableView* view, veltrin::AddressSortProxy* proxy) {
    std::vector<int> out;
    for (int r = 0; r < view->model()->rowCount(); ++r) out.push_back(proxy->mapToSource(proxy->index(r, 0)).row());
    return out;
}

}  // namespace

class ReachViewTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { UseFreshHome(); }

    // Every state, in a dark and a light palette: a colour that differs from the other states'
    // and stands out from the base, an icon whose shape alone tells it apart, and a tooltip
    // naming the address and the state (the reason for a row without address).
    void stateLooksTable() {
        for (bool dark : {true, false}) {
            veltrin::AddressList list;
            AddressListModel model(list);
            model.SetViewPalette(Palette(dark));
            for (RowState state : kStates) {
                list.Append("host-" + std::string(veltrin::RowStateName(state)));
                RowStatus s = Status(state);
                if (state == RowState::NoAddress) s.reason = "the name does not resolve";
                if (state == RowState::NotAnswering) {
                    s.sent = 5;
                    s.received = 3;
                    s.lost = 2;
                    s.consecutivelost = 2;
                    s.sincems = QDateTime(QDate(2026, 1, 2), QTime(12, 3, 4)).toMSecsSinceEpoch();
                }
                if (state == RowState::NeverAnswered) s.sent = 4;
                list.SetStatus(list.Count() - 1, s);
            }
            model.FlushChanges();
            QList<QColor> colours;
            QList<QImage> shapes;
            for (int row = 0; row < list.Count(); ++row) {
                const QModelIndex cell = model.index(row, AddressListModel::AddressColumn);
                const RowState state = static_cast<RowState>(cell.data(AddressListModel::StateRole).toInt());
                const QString name = QString::fromLatin1(veltrin::RowStateName(state));
                const QColor colour = cell.data(Qt::ForegroundRole).value<QColor>();
                QVERIFY2(colour.isValid(), qPrintable(name));
                QVERIFY2(!colours.contains(colour), qPrintable(name + " shares its colour"));
                colours << colour;
                if (state != RowState::NotYetPinged)
                    QVERIFY2(Contrast(colour, Palette(dark).color(QPalette::Base)) >= 4.5,
                             qPrintable(QStringLiteral("%1 on %2 base: contrast %3")
                                            .arg(name, dark ? "dark" : "light")
                                            .arg(Contrast(colour, Palette(dark).color(QPalette::Base)))));
                const QIcon icon = cell.data(Qt::DecorationRole).value<QIcon>();
                QVERIFY2(!icon.isNull(), qPrintable(name));
                const QImage shape = Shape(icon);
                QVERIFY2(!shapes.contains(shape), qPrintable(name + " shares its icon's shape"));
                shapes << shape;
                const QString tip = cell.data(Qt::ToolTipRole).toString();
                QVERIFY2(tip.startsWith(QStringLiteral("host-") + name + u'\n'), qPrintable(tip));
                QVERIFY2(tip.contains(name), qPrintable(tip));
            }
            QCOMPARE(model.index(4, 0).data(Qt::ToolTipRole).toString().section(u'\n', 1),
                     QStringLiteral("no address: the name does not resolve"));
            QCOMPARE(model.index(3, 0).data(Qt::ToolTipRole).toString().section(u'\n', 1),
                     QStringLiteral("not answering since 12:03:04 (2 lost)"));
            QCOMPARE(model.index(1, 0).data(Qt::ToolTipRole).toString().section(u'\n', 1),
                     QStringLiteral("never answered (4 sent)"));
            // Answering keeps the list's ordinary text colour.
            QCOMPARE(model.index(2, 0).data(Qt::ForegroundRole).value<QColor>(), Palette(dark).color(QPalette::Text));
        }
    }

    // The four old cells stay exactly; the new ones count, and a host that stopped answering
    // keeps its last values, dimmed, with the age of its last reply.
    void valuesAndDimming() {
        veltrin::AddressList list;
        AddressListModel model(list);
        model.SetViewPalette(Palette(true));
        qint64 now = QDateTime(QDate(2026, 3, 4), QTime(10, 0, 0)).toMSecsSinceEpoch();
        model.SetClock([&now] { return now; });
        list.Append("127.0.0.1");
        list.Append("127.0.0.2");
        list.Append("nothing.invalid");
        list.SetCells(0, "64", "0", "return data length:   32");
        list.SetCells(1, "64", "1", "return data length:   32");
        RowStatus up = Status(RowState::Answering);
        up.sent = 10;
        up.received = 10;
        up.lastreplyms = now - 400;
        list.SetStatus(0, up);
        RowStatus down = Status(RowState::NotAnswering);
        down.sent = 8;
        down.received = 5;
        down.lost = 3;
        down.consecutivelost = 3;
        down.lastreplyms = now - 65'000;
        list.SetStatus(1, down);
        RowStatus none = Status(RowState::NoAddress);
        none.reason = "not an address";
        list.SetStatus(2, none);

        auto text = [&](int row, int column) { return model.index(row, column).data().toString(); };
        const QStringList headers = [&] {
            QStringList h;
            for (int c = 0; c < model.columnCount(); ++c) h << model.headerData(c, Qt::Horizontal).toString();
            return h;
        }();
        QCOMPARE(headers, QStringList({"Addresses", "TTL", "Time(ms)", "Bytes", "Sent", "Lost", "Loss %", "Last reply", "History"}));
        QCOMPARE(QStringList({text(1, 0), text(1, 1), text(1, 2), text(1, 3)}),
                 QStringList({"127.0.0.2", "64", "1", "return data length:   32"}));
        QCOMPARE(QStringList({text(0, 4), text(0, 5), text(0, 6), text(0, 7)}), QStringList({"10", "0", "0.0", "0 s"}));
        QCOMPARE(QStringList({text(1, 4), text(1, 5), text(1, 6), text(1, 7)}),
                 QStringList({"8", "3", "37.5", "1 min 5 s"}));
        QCOMPARE(QStringList({text(2, 4), text(2, 5), text(2, 6), text(2, 7)}), QStringList({"", "", "", ""}));
        QCOMPARE(model.index(1, 7).data(Qt::ToolTipRole).toString(),
                 QDateTime::fromMSecsSinceEpoch(now - 65'000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));

        const QColor dim = veltrin::DimmedText(Palette(true));
        for (int c = 1; c < AddressListModel::ColumnCount; ++c) {
            QCOMPARE(model.index(1, c).data(Qt::ForegroundRole).value<QColor>(), dim);
            QVERIFY(!model.index(0, c).data(Qt::ForegroundRole).isValid());  // the list's own colour
        }
        QVERIFY(Contrast(dim, Palette(true).color(QPalette::Text)) > 1.5);

        // Ages follow the clock; nothing is announced for it.
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        now += 3'600'000;
        QCOMPARE(text(1, 7), QStringLiteral("1 h 1 min"));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(veltrin::AgeText(59'999), QStringLiteral("59 s"));
        QCOMPARE(veltrin::AgeText(2 * 86'400'000LL + 3 * 3'600'000LL), QStringLiteral("2 d 3 h"));

        // The answering count follows every change without a scan.
        QCOMPARE(model.AnsweringCount(), 1);
        list.SetStatus(1, up);
        QCOMPARE(model.AnsweringCount(), 2);
        list.RemoveAt(0);
        QCOMPARE(model.AnsweringCount(), 1);
        QCOMPARE(model.RowTotal(), 2);
        list.Clear();
        QCOMPARE(model.AnsweringCount(), 0);
    }

    // Sorting by any column reorders the view only: the list, its log lines and the list's
    // selection keep their order, and selections cross between the two orders row for row.
    void sortingLeavesListOrder() {
        Tmainform w(QStringList{});
        w.stopbtnClick();
        veltrin::AddressList& list = w.list();
        const std::vector<std::string> names = {"127.0.0.10", "127.0.0.9", "bravo", "127.0.0.200", "alpha"};
        for (const std::string& n : names) list.Append(n);
        const std::uint64_t sent[] = {5, 50, 0, 7, 12};
        for (int i = 0; i < list.Count(); ++i) {
            RowStatus s = Status(sent[i] ? RowState::Answering : RowState::NotYetPinged);
            s.sent = sent[i];
            s.received = sent[i];
            list.SetStatus(i, s);
        }
        QCoreApplication::processEvents();
        const std::vector<std::string> log = veltrin::MainLogLines(list.Rows());
        QTableView* view = w.ListV1();
        veltrin::AddressSortProxy* proxy = w.ListProxy();

        view->sortByColumn(AddressListModel::SentColumn, Qt::DescendingOrder);
        QCOMPARE(ViewOrder(view, proxy), (std::vector<int>{1, 4, 3, 0, 2}));  // empty Sent last
        view->sortByColumn(AddressListModel::SentColumn, Qt::AscendingOrder);
        QCOMPARE(ViewOrder(view, proxy), (std::vector<int>{0, 3, 4, 1, 2}));
        view->sortByColumn(AddressListModel::AddressColumn, Qt::AscendingOrder);
        // Addresses by value (9 before 10 before 200), then names.
        QCOMPARE(ViewOrder(view, proxy), (std::vector<int>{1, 0, 3, 4, 2}));
        QCOMPARE(Addresses(list), names);
        QCOMPARE(veltrin::MainLogLines(list.Rows()), log);

        // The view's first two rows are list rows 1 and 0.
        QItemSelectionModel* selection = view->selectionModel();
        selection->select(proxy->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        selection->select(proxy->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QCOMPARE(list.SelectedRows(), (std::vector<int>{0, 1}));
        // The list selects rows 3 and 2: the view's rows 2 and 4.
        list.SetSelection({2, 3});
        QCoreApplication::processEvents();
        std::vector<int> viewrows;
        for (const QModelIndex& index : selection->selectedRows()) viewrows.push_back(index.row());
        std::sort(viewrows.begin(), viewrows.end());
        QCOMPARE(viewrows, (std::vector<int>{2, 4}));
        // A new state re-sorts the view, and the list still does not move.
        view->sortByColumn(AddressListModel::SentColumn, Qt::DescendingOrder);
        RowStatus s = list.Status(2);
        s.sent = 99;
        list.SetStatus(2, s);
        QCoreApplication::processEvents();
        QCOMPARE(ViewOrder(view, proxy).front(), 2);
        QCOMPARE(Addresses(list), names);
        QCOMPARE(list.SelectedRows(), (std::vector<int>{2, 3}));

        // "List order" in the header menu gives the list's order back.
        QMenu* menu = w.Columns()->Menu();
        QAction* listorder = menu->findChild<QAction*>(QStringLiteral("listorder"));
        QVERIFY(listorder && listorder->isEnabled());
        listorder->trigger();
        QCOMPARE(ViewOrder(view, proxy), (std::vector<int>{0, 1, 2, 3, 4}));
        QVERIFY(!proxy->Sorted());
    }

    // Hidden columns, widths and the sort come back in the next window, from the settings file.
    void layoutRemembered() {
        {
            Tmainform w(QStringList{});
            w.stopbtnClick();
            QCOMPARE(w.ListV1()->columnWidth(0), 150);
            QCOMPARE(w.ListV1()->columnWidth(3), 200);
            QMenu* menu = w.Columns()->Menu();
            const QList<QAction*> actions = menu->actions();
            QVERIFY(!actions.at(0)->isEnabled());  // the address column always shows
            actions.at(AddressListModel::LostColumn)->setChecked(false);
            actions.at(AddressListModel::TtlColumn)->setChecked(false);
            QVERIFY(w.ListV1()->isColumnHidden(AddressListModel::LostColumn));
            w.ListV1()->setColumnWidth(AddressListModel::SentColumn, 91);
            w.ListV1()->sortByColumn(AddressListModel::LossColumn, Qt::DescendingOrder);
            w.Columns()->SaveNow();
        }
        const std::string inipath = veltrin::Golbal()->inipath;
        const veltrin::ListColumns stored = veltrin::LoadListColumns(inipath, AddressListModel::ColumnCount);
        QCOMPARE(stored.hidden, (std::vector<int>{AddressListModel::TtlColumn, AddressListModel::LostColumn}));
        Tmainform again(QStringList{});
        again.stopbtnClick();
        QTableView* view = again.ListV1();
        QVERIFY(view->isColumnHidden(AddressListModel::LostColumn));
        QVERIFY(view->isColumnHidden(AddressListModel::TtlColumn));
        QVERIFY(!view->isColumnHidden(AddressListModel::SentColumn));
        QCOMPARE(view->columnWidth(AddressListModel::SentColumn), 91);
        QCOMPARE(again.ListProxy()->sortColumn(), int(AddressListModel::LossColumn));
        QCOMPARE(again.ListProxy()->sortOrder(), Qt::DescendingOrder);
        // Shown again from the menu, with a usable width.
        again.Columns()->Menu()->actions().at(AddressListModel::LostColumn)->setChecked(true);
        QVERIFY(!view->isColumnHidden(AddressListModel::LostColumn));
        QVERIFY(view->columnWidth(AddressListModel::LostColumn) >= 8);
    }

    // A file loaded into the empty window at start (and one handed over later, appended) shows
    // its rows in file order in the list, in the user's sort order in the view, under the
    // column layout the user left; the later append keeps the selection and current row.
    void fileLoadKeepsTheViewsState() {
        {
            Tmainform w(QStringList{});
            w.stopbtnClick();
            w.ListV1()->setColumnWidth(AddressListModel::AddressColumn, 133);
            w.Columns()->SetColumnShown(AddressListModel::BytesColumn, false);
            w.ListV1()->sortByColumn(AddressListModel::AddressColumn, Qt::DescendingOrder);
            w.Columns()->SaveNow();
        }
        QTemporaryDir dir;
        const auto write = [&dir](const QString& name, const QByteArray& bytes) {
            const QString path = dir.path() + u'/' + name;
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) return QString();
            return path;
        };
        const QString first = write(QStringLiteral("a.spl"),
                                    "127.0.0.10_\r\r\n127.0.0.9_\r\r\nbravo_\r\r\n127.0.0.200_\r\r\nalpha_\r\r\n");
        const QString second = write(QStringLiteral("b.spl"), "127.0.0.50_\r\r\ncharlie_\r\r\n");
        QVERIFY(!first.isEmpty() && !second.isEmpty());

        Tmainform w(QStringList{first});
        w.stopbtnClick();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTableView* view = w.ListV1();
        veltrin::AddressSortProxy* proxy = w.ListProxy();
        const std::vector<std::string> names = {"127.0.0.10", "127.0.0.9", "bravo", "127.0.0.200", "alpha"};
        QCOMPARE(Addresses(w.list()), names);
        QCOMPARE(w.ListModel()->rowCount(), 5);
        QCOMPARE(w.ListModel()->RowTotal(), 5);
        // Words after numbers, each descending: bravo, alpha, 200, 10, 9.
        QCOMPARE(ViewOrder(view, proxy), (std::vector<int>{2, 4, 3, 0, 1}));
        QCOMPARE(view->horizontalHeader()->sortIndicatorSection(), int(AddressListModel::AddressColumn));
        QCOMPARE(view->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(view->columnWidth(AddressListModel::AddressColumn), 133);
        QVERIFY(view->isColumnHidden(AddressListModel::BytesColumn));
        QVERIFY(!view->isColumnHidden(AddressListModel::TtlColumn));
        QVERIFY(!view->selectionModel()->hasSelection());
        QCOMPARE(w.list().SelectedCount(), 0);
        // The view draws the rows it was given: the top row is "bravo".
        QCOMPARE(view->indexAt(QPoint(5, 2)).data().toString(), QStringLiteral("bravo"));

        // The user picks "alpha" (view row 1); a second file comes from another start.
        view->selectionModel()->setCurrentIndex(proxy->index(1, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        QCOMPARE(w.list().SelectedRows(), (std::vector<int>{4}));
        w.TakeHandedFiles({second});
        std::vector<std::string> all = names;
        all.push_back("127.0.0.50");
        all.push_back("charlie");
        QCOMPARE(Addresses(w.list()), all);
        QCOMPARE(w.ListModel()->RowTotal(), 7);
        QCOMPARE(ViewOrder(view, proxy), (std::vector<int>{6, 2, 4, 3, 5, 0, 1}));
        QCOMPARE(w.list().SelectedRows(), (std::vector<int>{4}));
        QCOMPARE(proxy->mapToSource(view->currentIndex()).row(), 4);
        QCOMPARE(view->columnWidth(AddressListModel::AddressColumn), 133);
        QVERIFY(view->isColumnHidden(AddressListModel::BytesColumn));
        // Rows going keep the others in their places: 127.0.0.10 and bravo go.
        w.list().SetSelection({});
        w.list().RemoveAt(2);
        w.list().RemoveAt(0);
        QCOMPARE(ViewOrder(view, proxy), (std::vector<int>{4, 2, 1, 3, 0}));
        QCOMPARE(view->model()->index(0, 0).data().toString(), QStringLiteral("charlie"));
        QCOMPARE(view->model()->index(4, 0).data().toString(), QStringLiteral("127.0.0.9"));
    }

    // The stored layout is outside input: junk gives defaults, never a crash or a wild value.
    void layoutTextTable() {
        struct Case {
            const char* text;
            std::vector<int> hidden;
            std::vector<int> widths;
            int sort;
        };
        const Case cases[] = {
            {"", {}, {}, -1},
            {"[List view]\nhidden=1,7\nwidths=10,20\nsortcolumn=3\n", {1, 7}, {10, 20}, 3},
            {"[list VIEW]\nhidden=1,,x,99,-4,1\nwidths=5,99999,abc,40\nsortcolumn=9\n", {1}, {0, 0, 0, 40}, -1},
            {"[List view]\nwidths=1,2,3,4,5,6,7,8,9,10,11\n", {}, {0, 0, 0, 0, 0, 0, 0, 8, 9}, -1},
            {"[List view]\nhidden=\x01\xff\nsortcolumn=0x7\n", {}, {}, 7},
        };
        for (const Case& c : cases) {
            const veltrin::ListColumns l = veltrin::ListColumnsFromText(c.text, AddressListModel::ColumnCount);
            QCOMPARE(l.hidden, c.hidden);
            QCOMPARE(l.widths, c.widths);
            QCOMPARE(l.sortcolumn, c.sort);
        }
    }

    // The once-a-second refresh touches the age strip of the rows on screen only.
    void ageRefreshRepaintsTheAgeColumnOnly() {
        Tmainform w(QStringList{});
        w.stopbtnClick();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        for (int i = 0; i < 50; ++i) w.list().Append("127.0.0." + std::to_string(i + 1));
        // A column off to the right is not drawn at all; bring the age column on screen.
        for (int c = 0; c < AddressListModel::LastReplyColumn; ++c) w.ListV1()->setColumnWidth(c, 40);
        QCoreApplication::processEvents();
        QSignalSpy changed(w.ListModel(), &QAbstractItemModel::dataChanged);
        // Watch what the viewport is asked to repaint.
        struct Watch : QObject {
            QRegion painted;
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::Paint) painted += static_cast<QPaintEvent*>(e)->region();
                return false;
            }
        } watch;
        const auto refresh = [&] {
            watch.painted = QRegion();
            QCoreApplication::processEvents();
            w.ListV1()->viewport()->installEventFilter(&watch);
            w.Columns()->RefreshAges();
            QCoreApplication::processEvents();
            w.ListV1()->viewport()->removeEventFilter(&watch);
        };
        // No row on screen has an age yet: nothing to draw again.
        refresh();
        QVERIFY(watch.painted.isEmpty());
        // One row far below the screen has one: still nothing on screen changes.
        veltrin::RowStatus answered;
        answered.state = veltrin::RowState::Answering;
        answered.lastreplyms = QDateTime::currentMSecsSinceEpoch() - 5000;
        w.list().SetStatus(49, answered);
        w.ListV1()->scrollToTop();
        QCoreApplication::processEvents();
        if (w.ListV1()->rowAt(w.ListV1()->viewport()->height() - 1) >= 0) {
            refresh();
            QVERIFY(watch.painted.isEmpty());
        }
        // A row on screen has one: its strip is drawn again.
        w.list().SetStatus(1, answered);
        QCoreApplication::processEvents();
        changed.clear();
        refresh();
        QCOMPARE(changed.count(), 0);
        const int x = w.ListV1()->columnViewportPosition(AddressListModel::LastReplyColumn);
        const QRect strip(x, 0, w.ListV1()->columnWidth(AddressListModel::LastReplyColumn),
                          w.ListV1()->viewport()->height());
        QVERIFY(!watch.painted.isEmpty());
        QVERIFY((watch.painted - QRegion(strip)).isEmpty());
        QVERIFY(w.Columns()->AgeTimer()->isActive());
        QCOMPARE(w.Columns()->AgeTimer()->interval(), 1000);
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
        QApplication::setApplicationName(QStringLiteral("Veltrin Ping Utility"));
        ReachViewTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    veltrin::EngineShutdown();
    return result;
}

#include "reachview_test.moc"
