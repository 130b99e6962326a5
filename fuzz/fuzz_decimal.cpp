// The decimal rule on any bytes: it accepts exactly an optional single sign and digits within 32
// bits, and what it accepts prints back to the same number; the interval rules stay in range.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzhelp.h"

#include "engine/decimal.h"

using fuzzhelp::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzzhelp::Bytes(data, size);
    std::int32_t value = 12345;
    const bool parsed = veltrin::ParseDecimal(text, value);

    // The reference: shape first, then the value in 64 bits.
    std::size_t at = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    bool shape = at < text.size();
    for (std::size_t i = at; i < text.size(); ++i) shape = shape && text[i] >= '0' && text[i] <= '9';
    bool fits = false;
    std::int64_t wide = 0;
    if (shape) {
        fits = true;
        for (std::size_t i = at; i < text.size() && fits; ++i) {
            wide = wide * 10 + (text[i] - '0');
            if (wide > std::int64_t{INT32_MAX} + 1) fits = false;
        }
        if (text[0] == '-') wide = -wide;
        fits = fits && wide >= INT32_MIN && wide <= INT32_MAX;
    }
    Check(parsed == (shape && fits));
    if (parsed) Check(value == wide);
    else Check(value == 12345);

    const int monitor = veltrin::MonitorInterval(text);
    Check(monitor > 0);
    Check(monitor == (parsed && value > 0 ? value : veltrin::kDefaultInterval));
    const int detail = veltrin::DetailInterval(text);
    Check(detail >= 0);
    Check(detail == (parsed && value >= 0 ? value : veltrin::kDefaultInterval));
    return 0;
}
