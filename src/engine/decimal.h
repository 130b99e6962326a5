// One rule for every decimal integer the program reads (typed fields, the settings file, the
// decoded reply's texts), and the named rules that turn an interval text into a pause.
#pragma once

#include <cstdint>
#include <string_view>

namespace veltrin {

// An optional single sign ('+' or '-'), then one or more decimal digits, and nothing else (no
// blanks: a field that may hold them is trimmed by its caller), within signed 32 bits.
// False, with `value` untouched, for anything else.
bool ParseDecimal(std::string_view text, std::int32_t& value);

// The parsed value, or `fallback` when the text is not a decimal integer. Any value counts
// (the settings window's fields, the interval as the main window stores it).
std::int32_t DecimalOr(std::string_view text, std::int32_t fallback);

// The interval used when a text gives none, in 100 ms units.
inline constexpr int kDefaultInterval = 3;

// The main monitor's interval: a decimal integer above 0, else kDefaultInterval.
int MonitorInterval(std::string_view text);

// The detail window's interval: a decimal integer of 0 or more (0: no pause between echoes),
// else kDefaultInterval.
int DetailInterval(std::string_view text);

}  // namespace veltrin
