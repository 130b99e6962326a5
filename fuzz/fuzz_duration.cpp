// The --since span on any bytes: it accepts exactly 1 to 9 digits (not all zero) with an
// optional s, m, h or d, within ten years, and the value is the digits times the unit; through
// the whole command line it gives a clear message or a span inside the bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzhelp.h"

#include "cli/duration.h"
#include "cli/options.h"

using fuzzhelp::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzzhelp::Bytes(data, size);
    long long ms = -7;
    const bool parsed = veltrin::cli::ParseDurationMs(text, ms);

    // The reference, by hand.
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string unit = text.substr(digits);
    long long scale = 0;
    if (unit.empty() || unit == "s") scale = 1000;
    if (unit == "m") scale = 60'000;
    if (unit == "h") scale = 3'600'000;
    if (unit == "d") scale = 86'400'000;
    bool expect = digits >= 1 && digits <= 9 && scale != 0;
    long long value = 0;
    if (expect) {
        value = std::stoll(text.substr(0, digits));
        expect = value > 0 && value <= veltrin::cli::kMaxDurationMs / scale;
    }
    Check(parsed == expect);
    Check(parsed ? ms == value * scale : ms == -7);

    const std::vector<const char*> argv = {"veltrin-ping-cli", "--history", "127.0.0.1", "--since", text.c_str()};
    veltrin::cli::Options options;
    const auto result = veltrin::cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), false, options);
    const bool cut = text.find('\0') != std::string::npos;  // argv stops at a zero byte
    if (!cut) Check(result.ok == parsed);
    if (result.ok) Check(options.sincems > 0 && options.sincems <= veltrin::cli::kMaxDurationMs);
    Check(result.error.find('\n') == std::string::npos && result.error.size() < 400);
    return 0;
}
