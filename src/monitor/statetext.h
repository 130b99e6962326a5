// One-line texts of reachability states for the console and logs. Qt-free.
#pragma once

#include <cstdint>
#include <string>

#include "monitor/rowstatus.h"

namespace veltrin {

// Local time of day "HH:MM:SS" of a wall-clock time in ms since the epoch; "-" for -1.
std::string ClockText(std::int64_t wallms);

// A change as it happens, e.g. "198.18.10.2 not answering since 12:03:04 (2 lost)",
// "198.18.10.2 answering again since 12:03:09", "300.1.1.1 no address: not an IPv4 address".
std::string StateChangeLine(const StateChange& change);

// A row's state for a summary, e.g.
// "198.18.10.2: answering, sent 12, received 11, lost 1 (8.3%), last reply 12:03:09".
std::string RowStateLine(const std::string& address, const RowStatus& status);

}  // namespace veltrin
