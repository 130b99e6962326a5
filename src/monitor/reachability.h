// Per-address accounting of the monitor: what was sent to an address, answered and lost, and the
// state that follows, copied into every row that names the address. Rows are found by address
// value through an index rebuilt only when the list's rows change, so one reply costs the rows
// it concerns, not the whole list. Window thread only; Qt-free.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/u_header.h"
#include "monitor/addresslist.h"
#include "monitor/addresstext.h"
#include "monitor/echoresult.h"
#include "monitor/echoledger.h"
#include "monitor/namecache.h"
#include "monitor/rowstatus.h"

namespace veltrin {

// The reason texts of a row with no address.
std::string NotAnAddressReason();
std::string UnresolvedReason(const std::string& resolvererror);

struct ReachOptions {
    int timeoutms = 2000;  // an echo unanswered this long is lost
    int lostcount = 2;     // this many lost in a row after an answer: not answering
};

class Reachability {
public:
    // Names are read from `names` (the shared cache when null), never looked up here.
    explicit Reachability(AddressList& list, NameCache* names = nullptr);
    ~Reachability();

    void SetLostCount(int lostcount);  // at least 1

    // The address to ping for row `row`: the dotted text, or the name's latest answer in the
    // cache. False when there is none: with every row of that text marked "no address" and the
    // reason when the name does not resolve, unchanged while its first answer is awaited.
    bool Target(int row, std::uint32_t& value, std::string& ip);

    // Outcomes for an address (network byte order); `wallms` is the wall clock, ms since the epoch.
    void Sent(std::uint32_t value, std::int64_t wallms);
    // An echo reply matched in the ledger: Answered counts, Late is only shown. `seq` is the
    // echo's place in send order (0: newer than any so far): only losses of echoes sent after
    // the newest answered one count as "in a row".
    void Reply(std::uint32_t value, const Tdecordbuf& described, EchoLedger::Match match, std::int64_t rttns,
               std::int64_t wallms, std::uint64_t seq = 0);
    void Lost(std::uint32_t value, std::int64_t wallms, std::uint64_t seq = 0);

    // State changes since the last call, in the order they happened.
    std::vector<StateChange> TakeChanges();
    // Answered and lost echoes since the last call, in the order they were counted: one result
    // per distinct row text of the address.
    std::vector<EchoResult> TakeResults();

    // Rows currently known to name `value` (ascending). For tests and benchmarks.
    std::vector<int> RowsOf(std::uint32_t value);

private:
    void Sync();  // rebuilds the indexes when the list's rows changed
    void Publish(std::uint32_t value);
    void SetRow(int row, const RowStatus& status, const std::string& ip);
    void Rebind(const std::string& text, bool resolves, std::uint32_t value);
    void MarkNoAddress(const std::string& text, const std::string& reason, int row);
    void Apply(const std::string& text, const NameAnswer& answer);  // binds a name's rows to its answer
    void AddResult(const std::vector<int>& rows, std::int64_t wallms, double rttms);

    AddressList& list_;
    int lostcount_ = 2;
    std::uint64_t builtgeneration_ = ~std::uint64_t{0};
    std::unordered_map<std::uint32_t, RowStatus> stats_;        // shared by every row of the address
    std::unordered_map<std::uint32_t, std::uint64_t> newest_;   // newest answered echo of an address
    std::unordered_map<std::uint32_t, std::vector<int>> rows_;  // address value -> rows
    std::unordered_map<std::string, std::vector<int>> named_;   // text that is no dotted address -> rows
    std::unordered_map<std::string, std::uint32_t> resolved_;   // name -> address it last resolved to
    std::vector<StateChange> changes_;
    std::vector<EchoResult> results_;
    NameCache* names_;
    std::unique_ptr<NameCache::Feed> feed_;  // names whose answer changed
};

}  // namespace veltrin
