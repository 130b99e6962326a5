#include "ui/detailrowsmodel.h"

#include <QString>
#include <utility>

namespace {

QString Qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

int DetailRowsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DetailRowsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 4; }

QVariant DetailRowsModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
    const veltrin::AddressRow& row = rows_[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
        case 0: return Qs(row.address);
        case 1: return Qs(row.ttl);
        case 2: return Qs(row.time);
        case 3: return Qs(row.bytes);
        default: return {};
    }
}

QVariant DetailRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const captions[] = {"Addresses", "TTL", "Time(ms)", "Bytes"};
    return (section >= 0 && section < 4) ? QString::fromLatin1(captions[section]) : QVariant();
}

void DetailRowsModel::Append(veltrin::AddressRow row) {
    const int at = rowCount();
    beginInsertRows({}, at, at);
    rows_.push_back(std::move(row));
    endInsertRows();
}

void DetailRowsModel::Clear() {
    if (rows_.empty()) return;
    beginResetModel();
    rows_.clear();
    endResetModel();
}
