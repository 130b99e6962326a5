#include "monitor/replyfilter.h"

#include <atomic>
#include <cstring>
#include <string>

#include "engine/global_unit.h"

namespace veltrin {

namespace {

constexpr int kIcmpHeader = 8;
constexpr int kEchoHeader = 12;  // with the timestamp our echoes carry
constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kEchoRequest = 8;

std::atomic<std::uint64_t> badchecksums{0};

}  // namespace

int IpHeaderLength(const std::uint8_t* datagram, int length) {
    if (datagram == nullptr || length < 20 + kIcmpHeader) return -1;
    const int header = (datagram[0] & 0x0F) * 4;
    if (header < 20 || header + kIcmpHeader > length) return -1;
    return header;
}

bool IcmpChecksumValid(const std::uint8_t* datagram, int length) {
    const int header = IpHeaderLength(datagram, length);
    if (header < 0) return false;
    // Summed again over the whole message with its checksum in place, a correct one gives 0.
    return IcmpChecksum(datagram + header, static_cast<std::size_t>(length - header)) == 0;
}

std::uint64_t BadChecksumDatagrams() { return badchecksums.load(); }

ReplyCheck CheckDatagram(const std::uint8_t* datagram, int length, std::uint32_t recvtick, std::int64_t recvns,
                         std::uint16_t expectedid, EchoLedger* ledger) {
    ReplyCheck out;
    const int header = IpHeaderLength(datagram, length);
    if (header < 0) return out;
    if (!IcmpChecksumValid(datagram, length)) {
        badchecksums.fetch_add(1);
        return out;
    }
    Tdecordbuf record;
    DecodeReply(datagram, length, recvtick, expectedid, record);
    if (record.icmptype == "NIL") return out;
    std::memcpy(&out.source, datagram + 12, sizeof out.source);
    const std::uint8_t* icmp = datagram + header;
    if (ledger != nullptr) {
        if (icmp[0] == kEchoRequest) return out;
        if (icmp[0] == kEchoReply) {
            if (header + kEchoHeader > length) return out;
            const std::uint16_t id = static_cast<std::uint16_t>(icmp[4] | (icmp[5] << 8));
            const std::uint32_t tick = static_cast<std::uint32_t>(icmp[8]) | (static_cast<std::uint32_t>(icmp[9]) << 8) |
                                       (static_cast<std::uint32_t>(icmp[10]) << 16) |
                                       (static_cast<std::uint32_t>(icmp[11]) << 24);
            const EchoLedger::Outcome outcome = ledger->Offer(out.source, id, tick, recvns);
            out.match = outcome.match;
            if (outcome.match != EchoLedger::Match::Answered && outcome.match != EchoLedger::Match::Late) return out;
            out.echoreply = true;
            out.rttns = outcome.rttns;
            out.seq = outcome.seq;
            record.replytime = std::to_string(outcome.rttns / 1'000'000);
        }
    }
    out.described = DescribeReply(record);
    out.show = true;
    return out;
}

}  // namespace veltrin
