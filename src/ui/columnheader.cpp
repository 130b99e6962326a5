#include "ui/columnheader.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>
#include <QTimer>

#include "settings/viewsettings.h"
#include "ui/addresslistmodel.h"

namespace veltrin {

namespace {
// The first four keep their old widths; the new ones are narrow numbers.
constexpr int kDefaultWidths[AddressListModel::ColumnCount] = {150, 80, 100, 200, 60, 60, 60, 100, 140};
}  // namespace

ColumnHeader::ColumnHeader(QTableView* view, AddressSortProxy* proxy, AddressListModel* model, std::string inipath,
                           QObject* parent)
    : QObject(parent), view_(view), proxy_(proxy), model_(model), inipath_(std::move(inipath)) {
    QHeaderView* header = view_->horizontalHeader();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this,
            [this, header](const QPoint& pos) { Menu()->popup(header->mapToGlobal(pos)); });

    // A click on a header sorts ascending, then descending, then back to list order.
    header->setSortIndicatorClearable(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setSortIndicatorShown(true);
    header->setSectionsClickable(true);
    view_->setSortingEnabled(true);

    savetimer_ = new QTimer(this);
    savetimer_->setSingleShot(true);
    savetimer_->setInterval(500);  // a drag of a column edge is one change, not hundreds
    connect(savetimer_, &QTimer::timeout, this, &ColumnHeader::SaveNow);

    Restore();
    connect(header, &QHeaderView::sectionResized, this, [this](int section, int, int size) {
        if (size > 0 && section >= 0 && section < static_cast<int>(widths_.size()))
            widths_[static_cast<std::size_t>(section)] = size;
        ScheduleSave();
    });
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this] { ScheduleSave(); });

    agetimer_ = new QTimer(this);
    agetimer_->setInterval(1000);
    connect(agetimer_, &QTimer::timeout, this, &ColumnHeader::RefreshAges);
    agetimer_->start();
}

void ColumnHeader::Restore() {
    restoring_ = true;
    const ListColumns layout =
        inipath_.empty() ? ListColumns{} : LoadListColumns(inipath_, AddressListModel::ColumnCount);
    QHeaderView* header = view_->horizontalHeader();
    widths_.assign(AddressListModel::ColumnCount, 0);
    for (int c = 0; c < AddressListModel::ColumnCount; ++c) {
        const int stored = c < static_cast<int>(layout.widths.size()) ? layout.widths[static_cast<std::size_t>(c)] : 0;
        header->resizeSection(c, stored > 0 ? stored : kDefaultWidths[c]);
        widths_[static_cast<std::size_t>(c)] = header->sectionSize(c);
    }
    for (int c : layout.hidden)
        if (c != AddressListModel::AddressColumn) view_->setColumnHidden(c, true);
    if (layout.sortcolumn >= 0)
        header->setSortIndicator(layout.sortcolumn, layout.descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    restoring_ = false;
}

QMenu* ColumnHeader::Menu() {
    if (!menu_) {
        menu_ = new QMenu(view_);
        menu_->setObjectName(QStringLiteral("columnmenu"));
    }
    menu_->clear();
    for (int c = 0; c < AddressListModel::ColumnCount; ++c) {
        QAction* action = menu_->addAction(model_->headerData(c, Qt::Horizontal).toString());
        action->setCheckable(true);
        action->setChecked(!view_->isColumnHidden(c));
        action->setEnabled(c != AddressListModel::AddressColumn);  // a row needs its name
        connect(action, &QAction::toggled, this, [this, c](bool on) { SetColumnShown(c, on); });
    }
    menu_->addSeparator();
    QAction* listorder = menu_->addAction(QStringLiteral("List order"));
    listorder->setObjectName(QStringLiteral("listorder"));
    listorder->setEnabled(proxy_->Sorted());
    connect(listorder, &QAction::triggered, this,
            [this] { view_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder); });
    return menu_;
}

void ColumnHeader::SetColumnShown(int column, bool shown) {
    if (column <= AddressListModel::AddressColumn || column >= AddressListModel::ColumnCount) return;
    if (view_->isColumnHidden(column) == !shown) return;
    view_->setColumnHidden(column, !shown);
    // A column hidden before the view had a size may come back with none.
    if (shown && view_->columnWidth(column) < 8) {
        const int kept = widths_[static_cast<std::size_t>(column)];
        view_->setColumnWidth(column, kept >= 8 ? kept : kDefaultWidths[column]);
    }
    ScheduleSave();
}

void ColumnHeader::ScheduleSave() {
    if (restoring_ || inipath_.empty()) return;
    savetimer_->start();
}

void ColumnHeader::SaveNow() {
    savetimer_->stop();
    if (inipath_.empty()) return;
    ListColumns layout;
    QHeaderView* header = view_->horizontalHeader();
    for (int c = 0; c < AddressListModel::ColumnCount; ++c) {
        if (view_->isColumnHidden(c)) layout.hidden.push_back(c);
        // A hidden section reports no size; keep the width it will come back with.
        const int width = header->isSectionHidden(c) ? widths_[static_cast<std::size_t>(c)] : header->sectionSize(c);
        layout.widths.push_back(width);
    }
    layout.sortcolumn = proxy_->sortColumn();
    layout.descending = proxy_->sortOrder() == Qt::DescendingOrder;
    SaveListColumns(inipath_, layout);
}

void ColumnHeader::RefreshAges() {
    const int column = AddressListModel::LastReplyColumn;
    if (!view_->isVisible() || view_->isColumnHidden(column) || model_->rowCount() == 0) return;
    const int x = view_->columnViewportPosition(column);
    const int width = view_->columnWidth(column);
    QWidget* viewport = view_->viewport();
    if (x >= viewport->width() || x + width <= 0) return;
    // Rows that never answered show no age: while none on screen has one, nothing changes (a
    // long list is mostly such rows until the monitor has been round it once).
    const int top = view_->rowAt(0);
    if (top < 0) return;
    int bottom = view_->rowAt(viewport->height() - 1);
    if (bottom < 0) bottom = proxy_->rowCount() - 1;
    bool aged = false;
    for (int row = top; row <= bottom && !aged; ++row)
        aged = proxy_->index(row, column).data(Qt::DisplayRole).isValid();
    if (!aged) return;
    // Only the age strip of the rows on screen is drawn again; nothing is announced to the
    // model's other users.
    viewport->update(QRect(x, 0, width, viewport->height()));
}

}  // namespace veltrin
