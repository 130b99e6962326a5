// The monitored address list as a Qt-free model: rows in insertion order, a selection, and
// notifications so a view can follow. Touched on the window thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/u_header.h"
#include "monitor/rowstatus.h"

namespace veltrin {

// The list never holds more rows than this, however many imports and additions come.
inline constexpr int kMaxListRows = 1000000;

class AddressList {
public:
    // A view follows the list through these; all are called after the change.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void RowsReset() = 0;                       // many changes at once
        virtual void RowsInserted(int first, int last) = 0;  // inclusive
        virtual void RowsRemoved(int first, int last) = 0;   // inclusive, old indexes
        virtual void RowChanged(int row) = 0;                // cells changed
        virtual void SelectionChanged() = 0;
    };
    void SetObserver(Observer* observer) { observer_ = observer; }

    int Count() const { return static_cast<int>(rows_.size()); }
    const AddressRow& Row(int i) const { return rows_[static_cast<std::size_t>(i)]; }
    const std::vector<AddressRow>& Rows() const { return rows_; }

    // Appends stop at kMaxListRows: Append returns false when the list is full, AppendRows the
    // number of rows it took (the first ones; the rest are left out).
    bool Append(const std::string& address);           // three empty cells
    std::size_t AppendRows(std::vector<AddressRow> rows);  // one insertion notice for all
    std::size_t Room() const { return static_cast<std::size_t>(kMaxListRows) - rows_.size(); }
    void RemoveAt(int i);
    void Clear();
    // Removes every selected row in one pass: the same result as deleting the first selected
    // row once per selected row. Returns the number removed.
    int RemoveSelected();
    void SetCells(int i, std::string ttl, std::string time, std::string bytes);

    // Reachability of each row, kept beside the four cells; a change is announced as RowChanged.
    const RowStatus& Status(int i) const {
        const RowStatus* status = status_[static_cast<std::size_t>(i)].get();
        return status != nullptr ? *status : kNoStatus;
    }
    // Copied into the row's status in place (no allocation once the row has a status and a
    // strip): a row's status is set with every result.
    void SetStatus(int i, const RowStatus& status);
    void SetStatus(int i, RowStatus&& status);

    // Selection: any subset of rows; "the selected row" is the first selected one in list order.
    void SetSelected(int i, bool selected);
    void SetSelection(const std::vector<int>& rows);   // replaces the selection
    void ClearSelection();
    bool IsSelected(int i) const;
    int SelectedCount() const;
    int FirstSelected() const;                          // -1 when none
    std::vector<int> SelectedRows() const;              // ascending

    // Goes up with every change of which rows there are (insert, remove, clear), so a holder of
    // row indexes knows when to look again.
    std::uint64_t Generation() const { return generation_; }

private:
    std::vector<AddressRow> rows_;
    std::vector<char> selected_;
    // Parallel to rows_. A row's status is made with its first change: until then it reads as
    // kNoStatus, so a list of 100,000 rows that loads costs 8 bytes a row here, not a status
    // each (some 18 MB written and faulted in on the window thread before the window shows).
    // A status, once made, stays where it is while the row lives.
    std::vector<std::unique_ptr<RowStatus>> status_;
    static const RowStatus kNoStatus;
    int selectedcount_ = 0;
    std::uint64_t generation_ = 0;
    Observer* observer_ = nullptr;
};

}  // namespace veltrin
