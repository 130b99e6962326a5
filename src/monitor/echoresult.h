// One echo's outcome as the monitor reports it to whoever keeps results (the history store).
// Qt-free.
#pragma once

#include <cstdint>
#include <string>

namespace veltrin {

struct EchoResult {
    std::string address;  // the row's address text as the list shows it
    std::int64_t wallms = 0;  // wall clock of the outcome, ms since the Unix epoch
    double rttms = -1.0;      // round trip in ms (microsecond resolution); < 0: lost
};

}  // namespace veltrin
