#include "ui/listselection.h"

#include <QItemSelectionModel>
#include <QTableView>
#include <algorithm>
#include <utility>
#include <vector>

#include "monitor/addresslist.h"
#include "ui/addresslistmodel.h"

namespace veltrin {

SelectionMirror::SelectionMirror(QTableView* view, AddressListModel* model, AddressSortProxy* proxy, AddressList& list,
                                 QObject* parent)
    : QObject(parent), view_(view), model_(model), proxy_(proxy), list_(list) {
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!syncing_) ViewToList();
    });
    connect(model_, &AddressListModel::listSelectionChanged, this, [this] {
        if (!syncing_) ListToView();
    });
}

void SelectionMirror::ViewToList() {
    std::vector<int> rows;
    if (!proxy_->Sorted()) {
        // View rows are list rows. Ranges may overlap and come in any order; every row is taken
        // once, in ascending order.
        std::vector<std::pair<int, int>> spans;
        for (const QItemSelectionRange& range : view_->selectionModel()->selection())
            spans.emplace_back(range.top(), range.bottom());
        std::sort(spans.begin(), spans.end());
        int next = 0;
        for (const auto& [top, bottom] : spans) {
            for (int r = std::max(top, next); r <= bottom && r < list_.Count(); ++r) rows.push_back(r);
            next = std::max(next, bottom + 1);
        }
    } else {
        for (const QItemSelectionRange& range : view_->selectionModel()->selection())
            for (int r = range.top(); r <= range.bottom(); ++r) {
                const int row = proxy_->mapToSource(proxy_->index(r, 0)).row();
                if (row >= 0 && row < list_.Count()) rows.push_back(row);
            }
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    }
    syncing_ = true;
    list_.SetSelection(rows);
    syncing_ = false;
}

void SelectionMirror::ListToView() {
    // Runs of neighbouring rows become one range each, so a large selection stays cheap.
    QItemSelection selection;
    std::vector<int> rows = list_.SelectedRows();
    if (proxy_->Sorted()) {
        // The same rows in the view's order, so neighbours there still make one range.
        for (int& r : rows) r = proxy_->mapFromSource(model_->index(r, 0)).row();
        rows.erase(std::remove(rows.begin(), rows.end(), -1), rows.end());
        std::sort(rows.begin(), rows.end());
    }
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1) ++j;
        selection.select(proxy_->index(rows[i], 0), proxy_->index(rows[j], AddressListModel::ColumnCount - 1));
        i = j + 1;
    }
    syncing_ = true;
    view_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    syncing_ = false;
}

}  // namespace veltrin
