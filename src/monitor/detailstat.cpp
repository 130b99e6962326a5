#include "monitor/detailstat.h"

#include "engine/decimal.h"

#include <charconv>
#include <cstdio>
#include <limits>

namespace veltrin {

namespace {

constexpr std::int64_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMax32 = std::numeric_limits<std::int32_t>::max();

// The counters are 32-bit, but a product or a quotient of two of them can leave that range
// (lost x 100 for large counts, INT32_MIN / -1). Everything is worked out exactly in 64 bits and
// pinned to the 32-bit range, which gives the 32-bit result wherever that one is defined.
std::int32_t Clamp32(std::int64_t v) {
    if (v < kMin32) return static_cast<std::int32_t>(kMin32);
    if (v > kMax32) return static_cast<std::int32_t>(kMax32);
    return static_cast<std::int32_t>(v);
}

std::string Dec(std::int64_t v) { return std::to_string(v); }

}  // namespace

std::array<std::string, 8> StatisticsLabels(const Tdetailstat& s) {
    const std::int64_t sentcount = s.sentcount;
    const std::int64_t recvcount = s.recvcount;
    const std::int64_t totaltime = s.totaltime;

    const std::string senttext = "   " + Dec(sentcount);
    const std::string receivedtext = "   " + Dec(recvcount);

    std::int64_t lost = Clamp32(sentcount - recvcount);
    if (lost < 0) lost = 0;
    std::string losttext;
    if (recvcount == 0 || sentcount == 0)
        losttext = "    100%(lost)";
    else
        losttext = "   " + Dec(Clamp32(lost * 100 / sentcount)) + "% (lost)";

    const std::string mintext = "  " + Dec(s.mintime) + "  ms";
    const std::string maxtext = "   " + Dec(s.maxtime) + "  ms";

    std::string speedtext;
    std::string averagetext;
    if (recvcount == 0) {
        speedtext = "   -1 ms";
        averagetext = "  -1  ms";
    } else {
        const std::int64_t average = Clamp32(totaltime / recvcount);
        averagetext = "    " + Dec(average) + "   ms";
        if (totaltime == 0)
            speedtext = "   -1 ms";
        else if (average == 0)
            speedtext = "   -1 Kbps";
        else
            speedtext = Dec(1024 / average) + " Kbps";
    }

    return {
        "Sent:    " + senttext,
        "Received:     " + receivedtext,
        "Approximate speed:     " + speedtext,
        "Lost:     " + losttext,
        "Minum:     " + mintext,
        "Maxum:     " + maxtext,
        "Average:     " + averagetext,
        "Packet size: " + Dec(s.lastsize) + "  Byte",
    };
}

std::vector<std::string> PacketDumpLines(const std::uint8_t* icmpbytes) {
    static const std::uint8_t zeros[32] = {};
    if (icmpbytes == nullptr) icmpbytes = zeros;
    const std::string rule(40, '=');
    std::vector<std::string> lines;
    lines.reserve(6);
    lines.push_back(rule);
    for (int k = 0; k < 4; ++k) {
        std::string line = "Ping data:";
        for (int b = 0; b < 8; ++b) {
            char pair[4];
            std::snprintf(pair, sizeof pair, "%02X ", static_cast<unsigned>(icmpbytes[8 * k + b]));
            line += pair;
        }
        lines.push_back(std::move(line));
    }
    lines.push_back(rule);
    return lines;
}

bool ReplyRoundTrip(const std::string& replytime, std::int32_t& roundtrip) {
    return ParseDecimal(replytime, roundtrip);
}

bool AccountReply(Tdetailstat& s, std::int64_t roundtrip, std::int32_t length) {
    if (roundtrip < kMin32 || roundtrip > kMax32) return false;
    const auto rt = static_cast<std::int32_t>(roundtrip);
    s.lastsize = length;
    s.recvcount = Clamp32(static_cast<std::int64_t>(s.recvcount) + 1);
    s.totaltime = Clamp32(static_cast<std::int64_t>(s.totaltime) + rt);
    if (rt < s.mintime) s.mintime = rt;
    if (rt > s.maxtime) s.maxtime = rt;
    if (s.mintime == 0) s.mintime = rt;
    return true;
}

void AccountSend(Tdetailstat& s) { s.sentcount = Clamp32(static_cast<std::int64_t>(s.sentcount) + 1); }

}  // namespace veltrin
