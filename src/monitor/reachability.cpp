#include "monitor/reachability.h"

#include <netdb.h>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <utility>

#include "engine/global_unit.h"

namespace veltrin {

namespace {

std::string DottedText(std::uint32_t value) { return DottedValue(value); }

bool SameStatus(const RowStatus& a, const RowStatus& b) {
    return a.state == b.state && a.sent == b.sent && a.received == b.received && a.lost == b.lost &&
           a.consecutivelost == b.consecutivelost && a.lastreplyms == b.lastreplyms && a.sincems == b.sincems &&
           a.recentcount == b.recentcount && a.reason == b.reason;
}

}  // namespace

std::string NotAnAddressReason() { return "not an IPv4 address"; }

std::string UnresolvedReason(const std::string& resolvererror) {
    return "name does not resolve (" + resolvererror + ")";
}

Reachability::Reachability(AddressList& list, NameCache* names)
    : list_(list), names_(names != nullptr ? names : &SharedNameCache()), feed_(names_->Subscribe()) {}

Reachability::~Reachability() = default;

void Reachability::SetLostCount(int lostcount) { lostcount_ = std::max(1, lostcount); }

void Reachability::SetRow(int row, const RowStatus& status, const std::string& ip) {
    const RowState before = list_.Status(row).state;
    list_.SetStatus(row, status);
    if (before != status.state) {
        StateChange change;
        change.row = row;
        change.address = list_.Row(row).address;
        change.ip = ip;
        change.from = before;
        change.to = status.state;
        change.status = status;
        changes_.push_back(std::move(change));
    }
}

void Reachability::Sync() {
    if (builtgeneration_ == list_.Generation()) {
        // Answers that came since: only the rows of those names move.
        if (feed_->Any())
            for (const std::string& text : feed_->Take()) Apply(text, names_->Peek(text));
        return;
    }
    feed_->Take();  // the rebuild below reads every name's answer anyway
    rows_.clear();
    named_.clear();
    const int count = list_.Count();
    std::vector<int> notaddress;
    for (int i = 0; i < count; ++i) {
        const std::string& text = list_.Row(i).address;
        const AddressText parsed = ClassifyAddressText(text);
        switch (parsed.kind) {
            case AddressKind::Dotted: rows_[parsed.value].push_back(i); break;
            case AddressKind::Name: {
                named_[text].push_back(i);
                const auto known = resolved_.find(text);
                if (known != resolved_.end()) rows_[known->second].push_back(i);
                break;
            }
            case AddressKind::NotAddress:
                named_[text].push_back(i);
                notaddress.push_back(i);
                break;
        }
    }
    // What is known of an address outlives no row that names it. Every row of an address
    // carries its record, so when none does any more, its rows were all removed (perhaps added
    // again since) and the address starts afresh.
    for (auto it = stats_.begin(); it != stats_.end();) {
        const auto rows = rows_.find(it->first);
        bool carried = false;
        if (rows != rows_.end())
            for (int row : rows->second)
                if (SameStatus(list_.Status(row), it->second)) {
                    carried = true;
                    break;
                }
        if (!carried) {
            newest_.erase(it->first);
            it = stats_.erase(it);
        } else
            ++it;
    }
    for (auto it = resolved_.begin(); it != resolved_.end();) {
        if (named_.count(it->first) == 0)
            it = resolved_.erase(it);
        else
            ++it;
    }
    builtgeneration_ = list_.Generation();
    // Rows that joined an address share what is known of it; a row that had no address and
    // now has one starts afresh.
    for (const auto& [value, rows] : rows_) {
        const auto known = stats_.find(value);
        const std::string ip = DottedText(value);
        for (int row : rows) {
            const RowStatus& now = list_.Status(row);
            if (known != stats_.end()) {
                if (!SameStatus(now, known->second)) SetRow(row, known->second, ip);
            } else if (now.state == RowState::NoAddress) {
                SetRow(row, RowStatus{}, ip);
            }
        }
    }
    // Every name is asked for now, so its answer is there by the time its row is picked, and a
    // name that does not resolve says so without waiting for its turn.
    for (const auto& [text, rows] : named_)
        if (ClassifyAddressText(text).kind == AddressKind::Name) Apply(text, names_->Read(text));
    // Text that can never be an address says so at once, without waiting for its turn.
    for (int row : notaddress) {
        if (list_.Status(row).state == RowState::NoAddress) continue;
        RowStatus status;
        status.state = RowState::NoAddress;
        status.reason = NotAnAddressReason();
        SetRow(row, status, std::string());
    }
}

void Reachability::MarkNoAddress(const std::string& text, const std::string& reason, int row) {
    RowStatus status;
    status.state = RowState::NoAddress;
    status.reason = reason;
    const auto rows = named_.find(text);
    if (rows == named_.end()) {
        if (list_.Status(row).state != RowState::NoAddress || list_.Status(row).reason != reason)
            SetRow(row, status, std::string());
        return;
    }
    for (int r : rows->second) {
        const RowStatus& now = list_.Status(r);
        if (now.state == RowState::NoAddress && now.reason == reason) continue;
        status.sincems = now.sincems;
        SetRow(r, status, std::string());
    }
}

bool Reachability::Target(int row, std::uint32_t& value, std::string& ip) {
    Sync();
    if (row < 0 || row >= list_.Count()) return false;
    const std::string text = list_.Row(row).address;
    const AddressText parsed = ClassifyAddressText(text);
    if (parsed.kind == AddressKind::Dotted) {
        value = parsed.value;
        ip = DottedText(value);
        return true;
    }
    if (parsed.kind == AddressKind::NotAddress) {
        MarkNoAddress(text, NotAnAddressReason(), row);
        return false;
    }
    // The cache never waits: a name without an answer yet is skipped this time.
    const NameAnswer answer = names_->Read(text, true);
    Apply(text, answer);
    if (answer.state != NameAnswer::State::Resolved) return false;
    value = answer.value;
    ip = DottedText(value);
    return true;
}

void Reachability::Apply(const std::string& text, const NameAnswer& answer) {
    const auto named = named_.find(text);
    if (named == named_.end() || named->second.empty()) return;  // no row names it any more
    switch (answer.state) {
        case NameAnswer::State::Pending: return;
        case NameAnswer::State::Resolved: Rebind(text, true, answer.value); return;
        case NameAnswer::State::Failed:
        case NameAnswer::State::NotAddress: {
            Rebind(text, false, 0);
            const char* why = ::hstrerror(answer.errcode != 0 ? answer.errcode : HOST_NOT_FOUND);
            MarkNoAddress(text,
                          answer.state == NameAnswer::State::NotAddress
                              ? NotAnAddressReason()
                              : UnresolvedReason(why != nullptr ? why : "unknown error"),
                          named->second.front());
            return;
        }
    }
}

void Reachability::Rebind(const std::string& text, bool resolves, std::uint32_t value) {
    // Only the rows of this text move, so a long list of names costs each name its own rows.
    const auto known = resolved_.find(text);
    if (known != resolved_.end() && resolves && known->second == value) return;
    if (known == resolved_.end() && !resolves) return;
    const auto named = named_.find(text);
    const std::vector<int> empty;
    const std::vector<int>& rows = named == named_.end() ? empty : named->second;
    if (known != resolved_.end()) {
        const auto from = rows_.find(known->second);
        if (from != rows_.end()) {
            std::vector<int>& list = from->second;
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [&](int r) { return std::binary_search(rows.begin(), rows.end(), r); }),
                       list.end());
            if (list.empty()) {
                stats_.erase(known->second);
                newest_.erase(known->second);
                rows_.erase(from);
            }
        }
        resolved_.erase(known);
    }
    if (!resolves) return;
    resolved_[text] = value;
    std::vector<int>& to = rows_[value];
    std::vector<int> merged;
    merged.reserve(to.size() + rows.size());
    std::merge(to.begin(), to.end(), rows.begin(), rows.end(), std::back_inserter(merged));
    to.swap(merged);
    const auto stats = stats_.find(value);
    const std::string ip = DottedText(value);
    for (int row : rows) {
        const RowStatus& now = list_.Status(row);
        if (stats != stats_.end()) {
            if (!SameStatus(now, stats->second)) SetRow(row, stats->second, ip);
        } else if (now.state == RowState::NoAddress) {
            SetRow(row, RowStatus{}, ip);
        }
    }
}

void Reachability::Publish(std::uint32_t value) {
    const auto rows = rows_.find(value);
    const auto stats = stats_.find(value);
    if (rows == rows_.end() || stats == stats_.end()) return;
    const std::string ip = DottedText(value);
    for (int row : rows->second) SetRow(row, stats->second, ip);
}

void Reachability::Sent(std::uint32_t value, std::int64_t wallms) {
    Sync();
    if (rows_.count(value) == 0) return;  // its rows were removed meanwhile
    RowStatus& s = stats_[value];
    ++s.sent;
    if (s.state == RowState::NotYetPinged || s.state == RowState::NoAddress) {
        s.state = RowState::NeverAnswered;
        s.reason.clear();
        s.sincems = wallms;
    }
    Publish(value);
}

void Reachability::Reply(std::uint32_t value, const Tdecordbuf& described, EchoLedger::Match match,
                         std::int64_t rttns, std::int64_t wallms, std::uint64_t seq) {
    Sync();
    const auto rows = rows_.find(value);
    if (rows == rows_.end()) return;
    if (match != EchoLedger::Match::Answered && match != EchoLedger::Match::Late) return;
    RowStatus& s = stats_[value];
    s.lastreplyms = wallms;
    const double rttms = static_cast<double>(rttns / 1000) / 1000.0;
    s.lastrttms = rttms;
    if (match == EchoLedger::Match::Answered) {
        ++s.received;
        s.AddRecent(rttms);
        s.AddHistory(static_cast<float>(rttms));
        AddResult(rows->second, wallms, rttms);
        // A reply overtaken by a newer one says nothing about the echoes after it.
        std::uint64_t& newest = newest_[value];
        if (seq == 0 || seq > newest) {
            if (seq != 0) newest = seq;
            s.consecutivelost = 0;
            if (s.state != RowState::Answering) {
                s.state = RowState::Answering;
                s.sincems = wallms;
            }
        }
    }
    // The status first, so whoever follows the cells finds the reply's round trip beside them.
    Publish(value);
    // The four cells show every reply that answers one of our echoes, a late one too.
    const std::string bytes = "return data length:   " + described.packetsize;
    for (int row : rows->second) list_.SetCells(row, described.ttl, described.replytime, bytes);
}

void Reachability::Lost(std::uint32_t value, std::int64_t wallms, std::uint64_t seq) {
    Sync();
    if (rows_.count(value) == 0) return;
    RowStatus& s = stats_[value];
    ++s.lost;
    s.AddHistory(-1.0f);
    AddResult(rows_.find(value)->second, wallms, -1.0);
    // Echoes sent before the newest answered one were overtaken by it: lost, but not "in a row".
    const auto newest = newest_.find(value);
    if (seq != 0 && newest != newest_.end() && seq < newest->second) {
        Publish(value);
        return;
    }
    ++s.consecutivelost;
    // A host that never answered stays "never answered"; only one that did can stop.
    if (s.state == RowState::Answering && s.consecutivelost >= lostcount_) {
        s.state = RowState::NotAnswering;
        s.sincems = wallms;
    }
    Publish(value);
}

std::vector<StateChange> Reachability::TakeChanges() {
    std::vector<StateChange> out;
    out.swap(changes_);
    return out;
}

void Reachability::AddResult(const std::vector<int>& rows, std::int64_t wallms, double rttms) {
    // Rows that repeat a text share one result; an address rarely has more than a few rows.
    const std::size_t first = results_.size();
    for (int row : rows) {
        const std::string& text = list_.Row(row).address;
        bool seen = false;
        for (std::size_t i = first; i < results_.size() && !seen; ++i) seen = results_[i].address == text;
        if (!seen) results_.push_back(EchoResult{text, wallms, rttms});
    }
}

std::vector<EchoResult> Reachability::TakeResults() {
    std::vector<EchoResult> out;
    out.swap(results_);
    return out;
}

std::vector<int> Reachability::RowsOf(std::uint32_t value) {
    Sync();
    const auto rows = rows_.find(value);
    return rows == rows_.end() ? std::vector<int>{} : rows->second;
}

}  // namespace veltrin
