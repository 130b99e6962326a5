// The SMTP reply reader takes whatever a server sends: it must stay bounded and never fail, and
// once QUIT is sent (after a refusal too) nothing the server says replaces the reply kept.
//
// Input: server bytes, fed in uneven pieces as a network delivers them; a zero byte starts a line
// the client sent (up to the next line feed), which goes to Sent.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzzhelp.h"
#include "settings/smtpreply.h"

using fuzzhelp::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    veltrin::SmtpReplyTrace trace;
    bool quit = false;
    int codeatquit = 0;
    std::string lastatquit;
    std::size_t at = 0;
    std::size_t piece = 1;
    while (at < size) {
        if (bytes[at] == '\0') {
            const char* line = bytes + at + 1;
            const void* feed = std::memchr(line, '\n', size - at - 1);
            const std::size_t length = feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - line)
                                                       : size - at - 1;
            trace.Sent(line, length);
            if (!quit && length >= 4 && std::memcmp(line, "QUIT", 4) == 0) {
                quit = true;
                codeatquit = trace.lastcode();
                lastatquit = trace.last();
            }
            at += 1 + length + (feed != nullptr ? 1 : 0);
            continue;
        }
        const void* zero = std::memchr(bytes + at, '\0', size - at);
        const std::size_t upto = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : size;
        const std::size_t n = piece < upto - at ? piece : upto - at;
        trace.Feed(bytes + at, n);
        at += n;
        piece = piece * 3 % 17 + 1;
    }
    Check(trace.last().size() <= 2 * veltrin::kMaxSmtpReplyLength + 8);
    Check(trace.lastcode() >= 0 && trace.lastcode() <= 999);
    if (quit) Check(trace.lastcode() == codeatquit && trace.last() == lastatquit);
    const std::string line = veltrin::OneLine(trace.last());
    Check(line.size() <= veltrin::kMaxResultLength);
    for (const char c : line) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    Check(line.find("  ") == std::string::npos && (line.empty() || (line.front() != ' ' && line.back() != ' ')));
    return 0;
}
