#include "monitor/addresslist.h"

#include <iterator>
#include <utility>

namespace veltrin {

const RowStatus AddressList::kNoStatus{};

bool AddressList::Append(const std::string& address) {
    if (Room() == 0) return false;
    AddressRow row;
    row.address = address;
    rows_.push_back(std::move(row));
    selected_.push_back(0);
    status_.emplace_back();
    ++generation_;
    const int i = Count() - 1;
    if (observer_) observer_->RowsInserted(i, i);
    return true;
}

std::size_t AddressList::AppendRows(std::vector<AddressRow> rows) {
    if (rows.size() > Room()) rows.resize(Room());
    if (rows.empty()) return 0;
    const std::size_t taken = rows.size();
    const int first = Count();
    if (rows_.empty()) {
        rows_.swap(rows);  // the rows as they were read, not moved one by one
    } else {
        rows_.reserve(rows_.size() + rows.size());
        std::move(rows.begin(), rows.end(), std::back_inserter(rows_));
    }
    selected_.resize(rows_.size(), 0);
    status_.resize(rows_.size());
    ++generation_;
    if (observer_) observer_->RowsInserted(first, Count() - 1);
    return taken;
}

void AddressList::RemoveAt(int i) {
    if (i < 0 || i >= Count()) return;
    const auto at = static_cast<std::size_t>(i);
    const bool wasselected = selected_[at] != 0;
    if (wasselected) --selectedcount_;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at));
    selected_.erase(selected_.begin() + static_cast<std::ptrdiff_t>(at));
    status_.erase(status_.begin() + static_cast<std::ptrdiff_t>(at));
    ++generation_;
    if (observer_) {
        observer_->RowsRemoved(i, i);
        if (wasselected) observer_->SelectionChanged();
    }
}

int AddressList::RemoveSelected() {
    if (selectedcount_ == 0) return 0;
    // One pass keeping the unselected rows in order: the same result as deleting the first
    // selected row again and again, without moving the tail once per deleted row.
    int firstrun = -1, lastrun = -1;
    bool onerun = true;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (selected_[i] != 0) {
            const int index = static_cast<int>(i);
            if (firstrun < 0) {
                firstrun = lastrun = index;
            } else if (index == lastrun + 1) {
                lastrun = index;
            } else {
                onerun = false;
            }
            continue;
        }
        if (kept != i) {
            rows_[kept] = std::move(rows_[i]);
            status_[kept] = std::move(status_[i]);
        }
        ++kept;
    }
    const int removed = static_cast<int>(rows_.size() - kept);
    rows_.resize(kept);
    status_.resize(kept);
    selected_.assign(kept, 0);
    selectedcount_ = 0;
    ++generation_;
    if (observer_) {
        if (onerun)
            observer_->RowsRemoved(firstrun, lastrun);
        else
            observer_->RowsReset();
        observer_->SelectionChanged();
    }
    return removed;
}

void AddressList::Clear() {
    if (rows_.empty()) return;
    const bool hadselection = selectedcount_ != 0;
    rows_.clear();
    selected_.clear();
    status_.clear();
    selectedcount_ = 0;
    ++generation_;
    if (observer_) {
        observer_->RowsReset();
        if (hadselection) observer_->SelectionChanged();
    }
}

void AddressList::SetCells(int i, std::string ttl, std::string time, std::string bytes) {
    if (i < 0 || i >= Count()) return;
    AddressRow& row = rows_[static_cast<std::size_t>(i)];
    row.ttl = std::move(ttl);
    row.time = std::move(time);
    row.bytes = std::move(bytes);
    if (observer_) observer_->RowChanged(i);
}

void AddressList::SetStatus(int i, const RowStatus& status) {
    if (i < 0 || i >= Count()) return;
    std::unique_ptr<RowStatus>& kept = status_[static_cast<std::size_t>(i)];
    if (kept)
        *kept = status;
    else
        kept = std::make_unique<RowStatus>(status);
    if (observer_) observer_->RowChanged(i);
}

void AddressList::SetStatus(int i, RowStatus&& status) {
    if (i < 0 || i >= Count()) return;
    std::unique_ptr<RowStatus>& kept = status_[static_cast<std::size_t>(i)];
    if (kept)
        *kept = std::move(status);
    else
        kept = std::make_unique<RowStatus>(std::move(status));
    if (observer_) observer_->RowChanged(i);
}

void AddressList::SetSelected(int i, bool selected) {
    if (i < 0 || i >= Count()) return;
    char& flag = selected_[static_cast<std::size_t>(i)];
    if ((flag != 0) == selected) return;
    flag = selected ? 1 : 0;
    selectedcount_ += selected ? 1 : -1;
    if (observer_) observer_->SelectionChanged();
}

void AddressList::SetSelection(const std::vector<int>& rows) {
    selected_.assign(rows_.size(), 0);
    selectedcount_ = 0;
    for (int i : rows) {
        if (i < 0 || i >= Count()) continue;
        char& flag = selected_[static_cast<std::size_t>(i)];
        if (flag == 0) {
            flag = 1;
            ++selectedcount_;
        }
    }
    if (observer_) observer_->SelectionChanged();
}

void AddressList::ClearSelection() {
    if (selectedcount_ == 0) return;
    selected_.assign(rows_.size(), 0);
    selectedcount_ = 0;
    if (observer_) observer_->SelectionChanged();
}

bool AddressList::IsSelected(int i) const {
    return i >= 0 && i < Count() && selected_[static_cast<std::size_t>(i)] != 0;
}

int AddressList::SelectedCount() const { return selectedcount_; }

int AddressList::FirstSelected() const {
    if (selectedcount_ == 0) return -1;
    for (std::size_t i = 0; i < selected_.size(); ++i)
        if (selected_[i] != 0) return static_cast<int>(i);
    return -1;
}

std::vector<int> AddressList::SelectedRows() const {
    std::vector<int> out;
    out.reserve(static_cast<std::size_t>(selectedcount_));
    for (std::size_t i = 0; i < selected_.size() && out.size() < static_cast<std::size_t>(selectedcount_); ++i)
        if (selected_[i] != 0) out.push_back(static_cast<int>(i));
    return out;
}

}  // namespace veltrin
