// The detail window's counters and the pure text builders its statistics and info windows use.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrin {

struct Tdetailstat {
    std::int32_t lastsize = 0, sentcount = 0, recvcount = 0, mintime = 0, maxtime = 0, totaltime = 0;
};

// The eight full label texts in the order the detail window sets them:
// sent, received, aspeed, lost, Minum, Maxum, Average, psize.
std::array<std::string, 8> StatisticsLabels(const Tdetailstat& s);

// The six dump lines (rule, four "Ping data:" lines, rule) of the first 32 bytes of an ICMP message.
std::vector<std::string> PacketDumpLines(const std::uint8_t* icmpbytes);

}  // namespace veltrin
