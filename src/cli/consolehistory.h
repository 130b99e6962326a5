// The console and the history database: the run's results go into it (unless it is off), and
// `--history ADDRESS [--since D]` prints what it holds for one address as JSON lines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cli/options.h"
#include "history/historystore.h"

namespace veltrin::cli {

// One line each, without the line end:
//   {"event":"minute","time":"...","address":"...","sent":60,"lost":1,"min_ms":0.031,"avg_ms":0.05,"max_ms":0.2}
//   {"event":"reply","time":"...","address":"...","rtt_ms":0.042}
//   {"event":"lost","time":"...","address":"..."}
// A minute with no answered echo has null for min_ms, avg_ms and max_ms.
std::string HistoryPointJson(const std::string& address, const HistoryPoint& point);
std::string HistoryMinuteJson(const std::string& address, const HistoryMinute& minute);

// The lines for `address` from `store`, oldest first, for the span [nowms - sincems, now]:
// minute rows for the part older than the first raw result kept, then every raw result.
std::string HistoryLines(const HistoryStore& store, const std::string& address, std::int64_t nowms,
                         long long sincems, std::size_t* count = nullptr);

// --history: prints to standard output through `write`, problems through `say`. Exit status 0
// when anything was printed, 1 when nothing is kept for the address, 2 when the database
// cannot be read.
int PrintHistory(const Options& options, const std::function<void(const std::string&)>& write,
                 const std::function<void(const std::string&)>& say);

// The store a monitoring run feeds: null when --no-history is given, the settings file turns
// history off, or the database cannot be used (said once through `say`, which may also be
// called later from the store's thread when it fails while running).
std::unique_ptr<HistoryStore> OpenRunHistory(const Options& options, const std::string& inipath,
                                             const std::function<void(const std::string&)>& say);

}  // namespace veltrin::cli
