// What a receiver makes of one datagram from its ICMP socket: the IP header length it gives, the
// ICMP checksum, the decoded and described record, and, with a ledger, whether an echo reply
// answers an echo we sent. Qt-free and free of state beyond the ledger.
#pragma once

#include <cstdint>

#include "engine/u_header.h"
#include "monitor/echoledger.h"

namespace veltrin {

// The IP header length a datagram gives (20..60 bytes), or -1 when it gives none that fits
// within `length` bytes together with an 8-byte ICMP header.
int IpHeaderLength(const std::uint8_t* datagram, int length);

// True when the ICMP message after the IP header carries a correct checksum.
bool IcmpChecksumValid(const std::uint8_t* datagram, int length);

// Datagrams the receivers threw away for a wrong ICMP checksum, in this process.
std::uint64_t BadChecksumDatagrams();

struct ReplyCheck {
    bool show = false;          // hand the described record to the window
    bool echoreply = false;     // an echo reply that answers one of our echoes (Answered or Late)
    EchoLedger::Match match = EchoLedger::Match::Unknown;
    std::int64_t rttns = 0;     // echoreply: round trip from our own send record
    std::uint64_t seq = 0;      // echoreply: the answered echo's place in send order
    std::uint32_t source = 0;   // source address, network byte order
    Tdecordbuf described;       // show: the record after DescribeReply
};

// One received datagram of `length` bytes (IP header included), read at `recvtick` / `recvns`,
// for the sender whose identifier is `expectedid`. Without a ledger the record is passed on as
// the decoder gives it. With one, an echo reply is passed on only when it answers an echo in
// the ledger, with its round trip (whole milliseconds) taken from there; an echo request (our
// own, seen on loopback) is never passed on; other ICMP messages (errors) pass as decoded.
ReplyCheck CheckDatagram(const std::uint8_t* datagram, int length, std::uint32_t recvtick, std::int64_t recvns,
                         std::uint16_t expectedid, EchoLedger* ledger);

}  // namespace veltrin
