// The SMTP reply reader takes whatever a server sends: it must stay bounded and never fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "settings/smtpreply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    veltrin::SmtpReplyTrace trace;
    // Feed in uneven pieces, as a network would deliver them.
    std::size_t at = 0;
    std::size_t piece = 1;
    while (at < size) {
        const std::size_t n = piece < size - at ? piece : size - at;
        trace.Feed(reinterpret_cast<const char*>(data) + at, n);
        at += n;
        piece = piece * 3 % 17 + 1;
    }
    if (trace.last().size() > 2 * veltrin::kMaxSmtpReplyLength + 8) std::abort();
    if (trace.lastcode() < 0 || trace.lastcode() > 999) std::abort();
    if (veltrin::OneLine(trace.last()).size() > veltrin::kMaxResultLength) std::abort();
    return 0;
}
