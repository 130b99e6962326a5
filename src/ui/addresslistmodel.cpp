#include "ui/addresslistmodel.h"

#include <QDateTime>
#include <QHash>
#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrin {

namespace {

QString CellText(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

bool DarkBase(const QPalette& palette) {
    return palette.color(QPalette::Base).lightness() < 128;
}

QColor Blend(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * (1 - t) + b.redF() * t),
                            static_cast<float>(a.greenF() * (1 - t) + b.greenF() * t),
                            static_cast<float>(a.blueF() * (1 - t) + b.blueF() * t));
}

QColor StateColour(RowState state, const QPalette& palette) {
    const bool dark = DarkBase(palette);
    switch (state) {
        case RowState::Answering:
            return palette.color(QPalette::Text);  // the list's ordinary look
        case RowState::NotAnswering:
            return dark ? QColor(255, 110, 110) : QColor(198, 40, 40);
        case RowState::NeverAnswered:
            return dark ? QColor(255, 200, 87) : QColor(154, 103, 0);
        case RowState::NoAddress:
            return dark ? QColor(206, 160, 255) : QColor(123, 31, 162);
        case RowState::NotYetPinged:
            break;
    }
    return Blend(palette.color(QPalette::Text), palette.color(QPalette::Base), 0.45);
}

// Each state has a shape of its own, so the icon tells the state without its colour.
QIcon DrawStateIcon(RowState state, const QColor& colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    switch (state) {
        case RowState::Answering: {  // a tick
            QPainterPath path;
            path.moveTo(3, 8.5);
            path.lineTo(6.5, 12);
            path.lineTo(13, 4);
            p.drawPath(path);
            break;
        }
        case RowState::NotAnswering:  // a cross
            p.drawLine(QPointF(4, 4), QPointF(12, 12));
            p.drawLine(QPointF(12, 4), QPointF(4, 12));
            break;
        case RowState::NeverAnswered: {  // a question mark
            QFont font;
            font.setPixelSize(14);
            font.setBold(true);
            p.setFont(font);
            p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
            break;
        }
        case RowState::NoAddress: {  // a warning triangle
            pen.setWidthF(1.5);
            p.setPen(pen);
            QPainterPath path;
            path.moveTo(8, 2);
            path.lineTo(14.5, 14);
            path.lineTo(1.5, 14);
            path.closeSubpath();
            p.drawPath(path);
            p.drawLine(QPointF(8, 6.5), QPointF(8, 10));
            p.drawPoint(QPointF(8, 12));
            break;
        }
        case RowState::NotYetPinged:  // an empty ring
            pen.setWidthF(1.5);
            p.setPen(pen);
            p.drawEllipse(QPointF(8, 8), 4.5, 4.5);
            break;
    }
    p.end();
    return QIcon(pixmap);
}

QString TimeOfDay(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

QString DateAndTime(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// Sent and Lost mean something once an echo went out, or once the row has a state of replies.
bool HasCounts(const RowStatus& s) {
    return s.sent > 0 || s.received > 0 || s.lost > 0;
}

// Dotted quad as a number, or -1.
qint64 DottedValue(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4) return -1;
    qint64 value = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const int octet = part.toInt(&ok, 10);
        if (!ok || octet < 0 || octet > 255 || part.isEmpty() || part.size() > 3) return -1;
        value = value * 256 + octet;
    }
    return value;
}

}  // namespace

int Sparkline::Lost() const {
    int n = 0;
    for (int i = 0; i < count; ++i) n += values[static_cast<std::size_t>(i)] < 0 ? 1 : 0;
    return n;
}

QString RoundTripText(double rttms) {
    if (rttms < 0) return {};
    return QStringLiteral("%1 ms").arg(rttms, 0, 'f', 3);
}

StateLook LookOfState(RowState state, const QPalette& palette) {
    StateLook look;
    look.colour = StateColour(state, palette);
    // A handful of states times two colour sets: keep the drawn icons.
    static QHash<QString, QIcon> cache;
    const QString key = QString::number(static_cast<int>(state)) + QLatin1Char(':') + look.colour.name();
    auto it = cache.find(key);
    if (it == cache.end()) it = cache.insert(key, DrawStateIcon(state, look.colour));
    look.icon = it.value();
    return look;
}

QColor DimmedText(const QPalette& palette) {
    return Blend(palette.color(QPalette::Text), palette.color(QPalette::Base), 0.5);
}

QString AgeText(std::int64_t agems) {
    const std::int64_t s = std::max<std::int64_t>(0, agems / 1000);
    if (s < 60) return QStringLiteral("%1 s").arg(s);
    if (s < 3600) return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60);
    if (s < 86400) return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
    return QStringLiteral("%1 d %2 h").arg(s / 86400).arg(s % 86400 / 3600);
}

QString StateLine(const RowStatus& s) {
    switch (s.state) {
        case RowState::Answering:
            return s.lastreplyms >= 0 ? QStringLiteral("answering (last reply %1)").arg(TimeOfDay(s.lastreplyms))
                                      : QStringLiteral("answering");
        case RowState::NotAnswering: {
            QString text = QStringLiteral("not answering");
            if (s.sincems >= 0) text += QStringLiteral(" since %1").arg(TimeOfDay(s.sincems));
            return text + QStringLiteral(" (%1 lost)").arg(s.consecutivelost);
        }
        case RowState::NeverAnswered:
            return QStringLiteral("never answered (%1 sent)").arg(s.sent);
        case RowState::NoAddress:
            return s.reason.empty() ? QStringLiteral("no address")
                                    : QStringLiteral("no address: %1").arg(CellText(s.reason));
        case RowState::NotYetPinged:
            break;
    }
    return QStringLiteral("not yet pinged");
}

AddressListModel::AddressListModel(AddressList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list), shown_(list.Count()) {
    list_.SetObserver(this);
    RecountAll();
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

int AddressListModel::CompareAddresses(int a, int b) const {
    const int count = list_.Count();
    if (a < 0 || b < 0 || a >= count || b >= count) return 0;
    if (!addresskeysvalid_) {
        addresskeys_.resize(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            addresskeys_[static_cast<std::size_t>(i)] = DottedValue(ShownText(list_.Row(i).address, kShownCaption));
        addresskeysvalid_ = true;
    }
    const std::int64_t ka = addresskeys_[static_cast<std::size_t>(a)];
    const std::int64_t kb = addresskeys_[static_cast<std::size_t>(b)];
    if (ka >= 0 && kb >= 0) return ka < kb ? -1 : ka > kb ? 1 : 0;
    if ((ka >= 0) != (kb >= 0)) return ka >= 0 ? -1 : 1;  // numbers before words
    return QString::compare(ShownText(list_.Row(a).address, kShownTip).toLower(),
                            ShownText(list_.Row(b).address, kShownTip).toLower(), Qt::CaseSensitive);
}

void AddressListModel::SetViewPalette(const QPalette& palette) {
    palette_ = palette;
    if (shown_ > 0) emit dataChanged(index(0, 0), index(shown_ - 1, ColumnCount - 1), {Qt::ForegroundRole, Qt::DecorationRole});
}

void AddressListModel::SetClock(std::function<std::int64_t()> clock) {
    clock_ = std::move(clock);
}

std::int64_t AddressListModel::Now() const {
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

void AddressListModel::SetEarlierResults(EarlierResults source) {
    earliersource_ = std::move(source);
    earlier_.clear();
    if (shown_ > 0) emit dataChanged(index(0, HistoryColumn), index(shown_ - 1, HistoryColumn), {SparkRole});
}

Sparkline AddressListModel::SparklineOf(int row) const {
    Sparkline spark;
    if (row < 0 || row >= list_.Count()) return spark;
    const RowStatus& s = list_.Status(row);
    spark.lastrttms = s.lastrttms;
    const int own = std::clamp(s.historycount, 0, Sparkline::kSize);
    // A row short of a full strip begins with what the address had before this run.
    if (own < Sparkline::kSize && earliersource_) {
        const std::string& address = list_.Row(row).address;
        auto it = earlier_.find(address);
        if (it == earlier_.end()) {
            // Each address is asked once; the cache starts over rather than grow without end
            // when a huge list is scrolled through.
            if (earlier_.size() >= 50'000) earlier_.clear();
            it = earlier_.emplace(address, earliersource_(address)).first;
        }
        const std::vector<float>& before = it->second;
        const std::size_t take = std::min(before.size(), static_cast<std::size_t>(Sparkline::kSize - own));
        for (std::size_t i = before.size() - take; i < before.size(); ++i)
            spark.values[static_cast<std::size_t>(spark.count++)] = before[i];
        if (spark.lastrttms < 0)
            for (std::size_t i = before.size(); i-- > 0;)
                if (before[i] >= 0) {
                    spark.lastrttms = before[i];
                    break;
                }
    }
    for (int i = 0; i < own; ++i) spark.values[static_cast<std::size_t>(spark.count++)] = s.history[static_cast<std::size_t>(i)];
    return spark;
}

QVariant AddressListModel::AddressData(int row, int role) const {
    const RowStatus& s = list_.Status(row);
    switch (role) {
        // The view elides the whole caption at every paint: it gets no more than a column can
        // show (the tool tip keeps a longer piece of a web address).
        case Qt::DisplayRole:
            return ShownText(list_.Row(row).address, kShownCaption);
        case Qt::ToolTipRole:
            return ShownText(list_.Row(row).address, kShownTip) + QLatin1Char('\n') + StateLine(s);
        case Qt::ForegroundRole:
            return LookOfState(s.state, palette_).colour;
        case Qt::DecorationRole:
            return LookOfState(s.state, palette_).icon;
        case SortRole:
            if (const qint64 v = DottedValue(ShownText(list_.Row(row).address, kShownCaption)); v >= 0) return v;
            return ShownText(list_.Row(row).address, kShownTip).toLower();
        default:
            return {};
    }
}

QVariant AddressListModel::data(const QModelIndex& index, int role) const {
    const int row = index.row();
    if (!index.isValid() || row < 0 || row >= list_.Count()) return {};
    const int column = index.column();
    if (role == StateRole) return static_cast<int>(list_.Status(row).state);
    if (column == AddressColumn) return AddressData(row, role);
    const RowStatus& s = list_.Status(row);
    if (role == Qt::ForegroundRole) {
        // A host that stopped answering keeps its last values, shown dimmed.
        if (s.state == RowState::NotAnswering) return DimmedText(palette_);
        return {};
    }
    if (role == Qt::TextAlignmentRole && column >= SentColumn && column != LastReplyColumn)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    const AddressRow& r = list_.Row(row);
    if (column == HistoryColumn) {
        if (role == SparkRole) return QVariant::fromValue(SparklineOf(row));
        if (role == SortRole) return s.lastrttms >= 0 ? QVariant(s.lastrttms) : QVariant();
        if (role == Qt::ToolTipRole) {
            const Sparkline spark = SparklineOf(row);
            if (spark.count == 0) return QStringLiteral("no results yet");
            QString text = spark.lastrttms >= 0 ? QStringLiteral("last reply %1").arg(RoundTripText(spark.lastrttms))
                                                : QStringLiteral("no reply yet");
            return text + QStringLiteral("\n%1 of the last %2 lost").arg(spark.Lost()).arg(spark.count);
        }
        return {};
    }
    // The whole-millisecond cell keeps its text; its tooltip has the fraction.
    if (column == TimeColumn && role == Qt::ToolTipRole)
        return s.lastrttms >= 0 ? QVariant(RoundTripText(s.lastrttms)) : QVariant();
    switch (column) {
        case TtlColumn:
        case TimeColumn:
        case BytesColumn: {
            if (role != Qt::DisplayRole && role != SortRole) return {};
            const QString text = CellText(column == TtlColumn ? r.ttl : column == TimeColumn ? r.time : r.bytes);
            if (role == SortRole) {
                bool ok = false;
                const double value = text.toDouble(&ok);
                if (ok) return value;
                return text.isEmpty() ? QVariant() : QVariant(text.toLower());
            }
            return text;
        }
        case SentColumn:
        case LostColumn:
            if (role != Qt::DisplayRole && role != SortRole) return {};
            if (!HasCounts(s)) return {};
            return QVariant::fromValue<qulonglong>(column == SentColumn ? s.sent : s.lost);
        case LossColumn:
            if ((role != Qt::DisplayRole && role != SortRole) || s.received + s.lost == 0) return {};
            if (role == SortRole) return s.LossPercent();
            return QString::number(s.LossPercent(), 'f', 1);
        case LastReplyColumn:
            if (s.lastreplyms < 0) return {};
            if (role == Qt::DisplayRole) return AgeText(Now() - s.lastreplyms);
            if (role == Qt::ToolTipRole) return DateAndTime(s.lastreplyms);
            if (role == SortRole) return static_cast<qlonglong>(Now() - s.lastreplyms);
            return {};
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
        case SentColumn:
            return QStringLiteral("Sent");
        case LostColumn:
            return QStringLiteral("Lost");
        case LossColumn:
            return QStringLiteral("Loss %");
        case LastReplyColumn:
            return QStringLiteral("Last reply");
        case HistoryColumn:
            return QStringLiteral("History");
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
    // The address cell carries the state, so the whole row is announced.
    emit dataChanged(index(first, AddressColumn), index(last, ColumnCount - 1));
}

void AddressListModel::RecountAll() {
    const int count = list_.Count();
    answeringrow_.assign(static_cast<std::size_t>(count), 0);
    answering_ = 0;
    for (int i = 0; i < count; ++i) {
        const bool a = list_.Status(i).state == RowState::Answering;
        answeringrow_[static_cast<std::size_t>(i)] = a ? 1 : 0;
        answering_ += a ? 1 : 0;
    }
}

void AddressListModel::RowsReset() {
    addresskeysvalid_ = false;
    beginResetModel();
    shown_ = list_.Count();
    changedfirst_ = changedlast_ = -1;
    RecountAll();
    endResetModel();
    emit countsChanged();
}

void AddressListModel::RowsInserted(int first, int last) {
    if (last < first) return;
    addresskeysvalid_ = false;
    // Rows arriving in an empty list (a file at start, the kept list, an import into an empty
    // window) are announced as a new list: the sort proxy then builds its mapping once when the
    // view first asks, where an insert makes it map, filter and place every new row one by one
    // (about 400 instructions a row, most of a 100,000-row start-up beyond reading the file).
    // The views lose nothing: there was no selection, current row or scroll position to keep,
    // and the header keeps its sections, widths and sort order through a reset.
    if (shown_ == 0 && first == 0) {
        RowsReset();
        return;
    }
    beginInsertRows(QModelIndex(), first, last);
    shown_ += last - first + 1;
    std::vector<char> added(static_cast<std::size_t>(last - first + 1), 0);
    for (int i = first; i <= last; ++i) {
        const bool a = list_.Status(i).state == RowState::Answering;
        added[static_cast<std::size_t>(i - first)] = a ? 1 : 0;
        answering_ += a ? 1 : 0;
    }
    answeringrow_.insert(answeringrow_.begin() + first, added.begin(), added.end());
    endInsertRows();
    if (changedfirst_ >= first) {
        changedfirst_ += last - first + 1;
        changedlast_ += last - first + 1;
    } else if (changedlast_ >= first) {
        changedlast_ += last - first + 1;
    }
    emit countsChanged();
}

void AddressListModel::RowsRemoved(int first, int last) {
    if (last < first) return;
    addresskeysvalid_ = false;
    beginRemoveRows(QModelIndex(), first, last);
    shown_ -= last - first + 1;
    const auto from = answeringrow_.begin() + first;
    const auto to = answeringrow_.begin() + std::min<std::size_t>(answeringrow_.size(), static_cast<std::size_t>(last) + 1);
    answering_ -= static_cast<int>(std::count(from, to, char{1}));
    answeringrow_.erase(from, to);
    endRemoveRows();
    // Keep the pending range roughly right; the flush clamps it to the rows that exist.
    if (changedfirst_ > last) {
        changedfirst_ -= last - first + 1;
        changedlast_ -= last - first + 1;
    } else if (changedfirst_ >= 0) {
        changedfirst_ = std::min(changedfirst_, first);
        changedlast_ = std::max(changedfirst_, changedlast_ - (last - first + 1));
    }
    emit countsChanged();
}

void AddressListModel::RowChanged(int row) {
    if (row >= 0 && static_cast<std::size_t>(row) < answeringrow_.size() && row < list_.Count()) {
        const char a = list_.Status(row).state == RowState::Answering ? 1 : 0;
        char& was = answeringrow_[static_cast<std::size_t>(row)];
        if (a != was) {
            answering_ += a - was;
            was = a;
            emit countsChanged();
        }
    }
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

// ---- sorting ---------------------------------------------------------------------------------

AddressSortProxy::AddressSortProxy(QObject* parent) : QSortFilterProxyModel(parent) {
    setSortRole(AddressListModel::SortRole);
    setDynamicSortFilter(true);
}

void AddressSortProxy::Unsort() {
    sort(-1, Qt::AscendingOrder);
}

bool AddressSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    // The address column without a QVariant and a text split per comparison: a list of
    // 100,000 rows sorted at start-up compares rows some 1.7 million times.
    if (left.column() == AddressListModel::AddressColumn && right.column() == AddressListModel::AddressColumn)
        if (const auto* model = qobject_cast<const AddressListModel*>(sourceModel()))
            return model->CompareAddresses(left.row(), right.row()) < 0;
    const QVariant a = left.data(AddressListModel::SortRole);
    const QVariant b = right.data(AddressListModel::SortRole);
    // Empty cells last in either order: the proxy reverses the answer for a descending sort.
    const bool descending = sortOrder() == Qt::DescendingOrder;
    if (!a.isValid() || !b.isValid()) {
        if (a.isValid() == b.isValid()) return false;
        return a.isValid() != descending;
    }
    const bool anumber = a.typeId() != QMetaType::QString;
    const bool bnumber = b.typeId() != QMetaType::QString;
    if (anumber && bnumber) return a.toDouble() < b.toDouble();
    if (anumber != bnumber) return anumber;  // numbers before words
    return QString::compare(a.toString(), b.toString(), Qt::CaseSensitive) < 0;
}

}  // namespace veltrin
