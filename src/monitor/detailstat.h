// The detail window's counters and the pure text builders its statistics and info windows use.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrin {

// The counters of the fixed record; `totaltime` is the 64-bit sum of the accepted round trips, so
// the average stays right long after a 32-bit sum would have saturated. `hasmin` tells whether a
// minimum was taken yet: a 0 ms reply is a real minimum, not "none so far".
struct Tdetailstat {
    std::int32_t lastsize = 0, sentcount = 0, recvcount = 0, mintime = 0, maxtime = 0;
    std::int64_t totaltime = 0;
    bool hasmin = false;
};

// The eight full label texts in the order the detail window sets them:
// sent, received, aspeed, lost, Minum, Maxum, Average, psize.
std::array<std::string, 8> StatisticsLabels(const Tdetailstat& s);

// The six dump lines (rule, four "Ping data:" lines, rule) of the first 32 bytes of an ICMP message.
std::vector<std::string> PacketDumpLines(const std::uint8_t* icmpbytes);

// ---- additions beyond the fixed interface -------------------------------------------------

// The round-trip time of a described reply: its replytime text read as a whole decimal integer
// (optional sign). False when the text is not one or does not fit a signed 32-bit value; the
// receiver then drops the packet before any of its window-thread steps.
bool ReplyRoundTrip(const std::string& replytime, std::int32_t& roundtrip);

// Counts one accepted datagram of `length` bytes whose round trip took `roundtrip` ms. False,
// with `s` untouched, when `roundtrip` does not fit a signed 32-bit value. The count saturates at
// the ends of the 32-bit range, the 64-bit sum at the ends of its own, instead of wrapping.
bool AccountReply(Tdetailstat& s, std::int64_t roundtrip, std::int32_t length);

// Counts one send cycle of the detail sender (saturating).
void AccountSend(Tdetailstat& s);

}  // namespace veltrin
