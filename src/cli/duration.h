// A span of time as people type it on a command line: "90s", "15m", "1h", "2d" (a bare number
// is seconds). Bounded for any bytes.
#pragma once

#include <string_view>

namespace veltrin::cli {

inline constexpr long long kMaxDurationMs = 3650LL * 24 * 3600 * 1000;  // ten years

// Whole units only (1 to 9 digits), at least one unit, at most kMaxDurationMs.
bool ParseDurationMs(std::string_view text, long long& ms);

}  // namespace veltrin::cli
