#include "engine/decimal.h"

#include <charconv>

namespace veltrin {

bool ParseDecimal(std::string_view text, std::int32_t& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    // from_chars takes a '-' itself but no '+'; one sign at most, so "+-3" is refused here.
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') return false;
    }
    if (first == last) return false;
    std::int32_t parsed = 0;
    const auto [ptr, ec] = std::from_chars(first, last, parsed, 10);
    if (ec != std::errc() || ptr != last) return false;
    value = parsed;
    return true;
}

std::int32_t DecimalOr(std::string_view text, std::int32_t fallback) {
    std::int32_t value = fallback;
    return ParseDecimal(text, value) ? value : fallback;
}

int MonitorInterval(std::string_view text) {
    std::int32_t value = 0;
    return ParseDecimal(text, value) && value > 0 ? value : kDefaultInterval;
}

int DetailInterval(std::string_view text) {
    std::int32_t value = 0;
    return ParseDecimal(text, value) && value >= 0 ? value : kDefaultInterval;
}

}  // namespace veltrin
