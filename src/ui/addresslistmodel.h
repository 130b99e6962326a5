// The main list view's model: the Qt face of veltrin::AddressList. The list stays the one store
// of rows; this model only reports its changes to the views, so a list of 100,000 rows costs no
// copy and no per-row object.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QSortFilterProxyModel>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "monitor/addresslist.h"

namespace veltrin {

// How a row's state looks on its address cell: the colour is never the only sign, every state
// also has an icon of its own shape and a tooltip line.
struct StateLook {
    QColor colour;
    QIcon icon;
};
// `palette` is the palette of the view the rows are drawn on; dark and light bases get colours
// of their own so the state stays readable on either.
StateLook LookOfState(RowState state, const QPalette& palette);
// The dimmed text colour of a not answering row's values.
QColor DimmedText(const QPalette& palette);
// "12 s", "4 min 5 s", "2 h 3 min", "3 d 4 h".
QString AgeText(std::int64_t agems);
// One line on the row's state for its tooltip: "not answering since 12:03:04 (2 lost)",
// "no address: <reason>" ...
QString StateLine(const RowStatus& status);

// What the History column draws for a row: its last results, oldest first (round trip in ms,
// negative for a lost echo), and the round trip of the last reply (negative: none yet).
struct Sparkline {
    static constexpr int kSize = RowStatus::kHistory;
    std::array<float, kSize> values{};
    int count = 0;
    double lastrttms = -1.0;
    int Lost() const;
};

// "0.048 ms": a round trip with its microseconds.
QString RoundTripText(double rttms);

class AddressListModel : public QAbstractTableModel, private AddressList::Observer {
    Q_OBJECT

  public:
    enum Column {
        AddressColumn = 0,
        TtlColumn,
        TimeColumn,
        BytesColumn,
        SentColumn,
        LostColumn,
        LossColumn,
        LastReplyColumn,
        HistoryColumn,
        ColumnCount
    };
    // Values the sorting view compares: numbers where the cell is a number, else the text.
    static constexpr int SortRole = Qt::UserRole + 1;
    // The row's RowState as an int.
    static constexpr int StateRole = Qt::UserRole + 2;
    // The row's Sparkline (History column).
    static constexpr int SparkRole = Qt::UserRole + 3;

    explicit AddressListModel(AddressList& list, QObject* parent = nullptr);
    ~AddressListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Cell changes are gathered and announced once per turn of the event loop (a reply may
    // change every row); this announces what is pending now.
    void FlushChanges();

    // The palette of the view that shows the rows; state colours are chosen to suit it.
    void SetViewPalette(const QPalette& palette);
    // Wall clock in ms since the epoch, for the ages; tests set their own.
    void SetClock(std::function<std::int64_t()> clock);
    std::int64_t Now() const;

    // Rows whose state is answering, kept up to date with every change (no scan).
    // Results of an address from before this run (oldest first, negative: lost), asked once per
    // address the first time its row is drawn with fewer than a full strip of its own.
    using EarlierResults = std::function<std::vector<float>(const std::string& address)>;
    void SetEarlierResults(EarlierResults source);
    Sparkline SparklineOf(int row) const;

    int AnsweringCount() const { return answering_; }
    int RowTotal() const { return shown_; }

    // Orders two rows by their address cell as the sorted view does (the SortRole values):
    // dotted addresses by value before any other text, that text without regard to case.
    // Negative, zero or positive.
    int CompareAddresses(int a, int b) const;

  signals:
    // The list's own selection changed (not through the view).
    void listSelectionChanged();
    // The number of answering rows or of rows changed.
    void countsChanged();

  private:
    void RowsReset() override;
    void RowsInserted(int first, int last) override;
    void RowsRemoved(int first, int last) override;
    void RowChanged(int row) override;
    void SelectionChanged() override;

    void RecountAll();
    QVariant AddressData(int row, int role) const;

    AddressList& list_;
    int shown_ = 0;  // rows the views know of; differs from the list only inside a notice
    int changedfirst_ = -1;
    int changedlast_ = -1;
    bool flushqueued_ = false;
    // Each row's answering flag as last counted, so a change adjusts the count by itself.
    std::vector<char> answeringrow_;
    int answering_ = 0;
    QPalette palette_;
    std::function<std::int64_t()> clock_;
    EarlierResults earliersource_;
    // Each row's dotted value, or -1 for other text: made the first time rows are sorted by
    // address (a sort compares each row some 17 times at 100,000 rows) and dropped when rows
    // come or go; a row's address text never changes in place.
    mutable std::vector<std::int64_t> addresskeys_;
    mutable bool addresskeysvalid_ = false;
    // Earlier results by address text, filled as rows are drawn; bounded (see SparklineOf).
    mutable std::unordered_map<std::string, std::vector<float>> earlier_;
};

// Sorts the view only: the list, its logs, the row picker and the selection keep list order.
// Numbers compare as numbers, dotted addresses by value, empty cells go last either way.
class AddressSortProxy : public QSortFilterProxyModel {
    Q_OBJECT

  public:
    explicit AddressSortProxy(QObject* parent = nullptr);
    // Back to list order.
    void Unsort();
    bool Sorted() const { return sortColumn() >= 0; }

  protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    // Every row shows: the view sorts, it never filters.
    bool filterAcceptsRow(int, const QModelIndex&) const override { return true; }
    bool filterAcceptsColumn(int, const QModelIndex&) const override { return true; }
};

}  // namespace veltrin

Q_DECLARE_METATYPE(veltrin::Sparkline)
