#include "ui/addresslistmodel.h"

#include <QMetaObject>
#include <algorithm>

namespace veltrin {

namespace {

QString CellText(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

AddressListModel::AddressListModel(AddressList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list), shown_(list.Count()) {
    list_.SetObserver(this);
}

AddressListModel::~AddressListModel() {
    list_.SetObserver(nullptr);
}

int AddressListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

int AddressListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

namespace {
constexpr std::size_t kShownCaption = 512;
constexpr std::size_t kShownTip = 1024;

// The first `limit` bytes or fewer, never half a UTF-8 character, with an ellipsis when cut.
QString ShownText(const std::string& bytes, std::size_t limit) {
    if (bytes.size() <= limit) return CellText(bytes);
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) --end;
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(end)) + QChar(0x2026);
}
}  // namespace

QVariant AddressListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    const int row = index.row();
    if (!index.isValid() || row < 0 || row >= list_.Count()) return {};
    const AddressRow& r = list_.Row(row);
    switch (index.column()) {
        case AddressColumn:
            // The view elides the whole caption at every paint: it gets no more than a column
            // can show (the tool tip keeps a longer piece of a web address).
            return ShownText(r.address, role == Qt::DisplayRole ? kShownCaption : kShownTip);
        case TtlColumn:
            return role == Qt::DisplayRole ? CellText(r.ttl) : QVariant();
        case TimeColumn:
            return role == Qt::DisplayRole ? CellText(r.time) : QVariant();
        case BytesColumn:
            return role == Qt::DisplayRole ? CellText(r.bytes) : QVariant();
        default:
            return {};
    }
}

QVariant AddressListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case AddressColumn:
            return QStringLiteral("Addresses");
        case TtlColumn:
            return QStringLiteral("TTL");
        case TimeColumn:
            return QStringLiteral("Time(ms)");
        case BytesColumn:
            return QStringLiteral("Bytes");
        default:
            return {};
    }
}

Qt::ItemFlags AddressListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;  // captions are not editable
}

void AddressListModel::FlushChanges() {
    flushqueued_ = false;
    if (changedfirst_ < 0) return;
    const int last = std::min(changedlast_, shown_ - 1);
    const int first = changedfirst_;
    changedfirst_ = changedlast_ = -1;
    if (first > last) return;
    emit dataChanged(index(first, TtlColumn), index(last, BytesColumn), {Qt::DisplayRole});
}

void AddressListModel::RowsReset() {
    beginResetModel();
    shown_ = list_.Count();
    changedfirst_ = changedlast_ = -1;
    endResetModel();
}

void AddressListModel::RowsInserted(int first, int last) {
    if (last < first) return;
    beginInsertRows(QModelIndex(), first, last);
    shown_ += last - first + 1;
    endInsertRows();
    if (changedfirst_ >= first) {
        changedfirst_ += last - first + 1;
        changedlast_ += last - first + 1;
    } else if (changedlast_ >= first) {
        changedlast_ += last - first + 1;
    }
}

void AddressListModel::RowsRemoved(int first, int last) {
    if (last < first) return;
    beginRemoveRows(QModelIndex(), first, last);
    shown_ -= last - first + 1;
    endRemoveRows();
    // Keep the pending range roughly right; the flush clamps it to the rows that exist.
    if (changedfirst_ > last) {
        changedfirst_ -= last - first + 1;
        changedlast_ -= last - first + 1;
    } else if (changedfirst_ >= 0) {
        changedfirst_ = std::min(changedfirst_, first);
        changedlast_ = std::max(changedfirst_, changedlast_ - (last - first + 1));
    }
}

void AddressListModel::RowChanged(int row) {
    if (changedfirst_ < 0) {
        changedfirst_ = changedlast_ = row;
    } else {
        changedfirst_ = std::min(changedfirst_, row);
        changedlast_ = std::max(changedlast_, row);
    }
    if (!flushqueued_) {
        flushqueued_ = true;
        QMetaObject::invokeMethod(this, &AddressListModel::FlushChanges, Qt::QueuedConnection);
    }
}

void AddressListModel::SelectionChanged() {
    emit listSelectionChanged();
}

}  // namespace veltrin
