#include "cli/duration.h"

namespace veltrin::cli {

bool ParseDurationMs(std::string_view text, long long& ms) {
    std::size_t digits = 0;
    long long value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        if (digits == 9) return false;
        value = value * 10 + (text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || value == 0) return false;
    const std::string_view unit = text.substr(digits);
    long long scale = 0;
    if (unit.empty() || unit == "s")
        scale = 1000;
    else if (unit == "m")
        scale = 60'000;
    else if (unit == "h")
        scale = 3'600'000;
    else if (unit == "d")
        scale = 86'400'000;
    else
        return false;
    if (value > kMaxDurationMs / scale) return false;
    ms = value * scale;
    return true;
}

}  // namespace veltrin::cli
