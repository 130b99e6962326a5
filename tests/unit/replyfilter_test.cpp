// What the receivers do with crafted datagrams: wrong checksums, IP options, forged and foreign
// replies, our own requests seen on loopback, true sizes past 1024 bytes.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "engine/global_unit.h"
#include "monitor/echoledger.h"
#include "monitor/replyfilter.h"

using namespace veltrin;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::int64_t kMs = 1'000'000;

// An IPv4 datagram from `source` holding an ICMP message with a correct checksum (unless told
// otherwise), with `optionwords` words of NOP options.
Bytes Datagram(const char* source, std::uint8_t type, std::uint16_t id, std::uint32_t tick, int length,
               int optionwords = 0, bool goodsum = true) {
    auto icmp = BuildEchoRequest(id, tick, length);
    icmp[0] = type;
    icmp[2] = icmp[3] = 0;
    std::uint16_t sum = IcmpChecksum(icmp.data(), icmp.size());
    if (!goodsum) sum ^= 0x0040;
    icmp[2] = static_cast<std::uint8_t>(sum & 0xFF);
    icmp[3] = static_cast<std::uint8_t>(sum >> 8);
    Bytes d(static_cast<std::size_t>(20 + 4 * optionwords), 1);
    d[0] = static_cast<std::uint8_t>(0x45 + optionwords);
    d[8] = 64;
    d[9] = 1;
    const std::uint32_t src = ::inet_addr(source), dst = ::inet_addr("127.0.0.1");
    std::memcpy(&d[12], &src, 4);
    std::memcpy(&d[16], &dst, 4);
    d.insert(d.end(), icmp.begin(), icmp.end());
    return d;
}

ReplyCheck Check(const Bytes& d, EchoLedger* ledger, std::uint16_t expected = 0x4321, std::int64_t recvns = 5 * kMs) {
    return CheckDatagram(d.data(), static_cast<int>(d.size()), 0, recvns, expected, ledger);
}

}  // namespace

TEST(ReplyFilter, AnsweredReplyTakesItsTimeFromTheSendRecord) {
    EchoLedger ledger;
    // The tick in the packet claims a round trip of billions of ms; the record says 3.7 ms.
    ledger.Record(::inet_addr("127.0.0.7"), 0x4321, 0xFFFFFFF0u, 1 * kMs + 300'000);
    const ReplyCheck c = Check(Datagram("127.0.0.7", 0, 0x4321, 0xFFFFFFF0u, 32), &ledger);
    ASSERT_TRUE(c.show);
    EXPECT_TRUE(c.echoreply);
    EXPECT_EQ(c.match, EchoLedger::Match::Answered);
    EXPECT_EQ(c.rttns, 3 * kMs + 700'000);
    EXPECT_EQ(c.described.replytime, "3");
    EXPECT_EQ(c.described.icmpcode, "Reply message");
    EXPECT_EQ(c.described.sourceip, "127.0.0.7");
    EXPECT_EQ(c.source, ::inet_addr("127.0.0.7"));
}

TEST(ReplyFilter, DatagramsThatAnswerNothingAreDropped) {
    EchoLedger ledger;
    ledger.Record(::inet_addr("127.0.0.7"), 0x4321, 1000, 0);
    struct Case {
        const char* what;
        Bytes datagram;
    } const cases[] = {
        {"forged: right identifier, a tick we never sent", Datagram("127.0.0.7", 0, 0x4321, 999, 32)},
        {"from another address", Datagram("127.0.0.8", 0, 0x4321, 1000, 32)},
        {"another identifier", Datagram("127.0.0.7", 0, 0x4322, 1000, 32)},
        {"our own request seen on loopback", Datagram("127.0.0.7", 8, 0x4321, 1000, 32)},
        {"wrong checksum", Datagram("127.0.0.7", 0, 0x4321, 1000, 32, 0, false)},
        {"too short", Bytes(27, 0x45)},
    };
    const std::uint64_t badbefore = BadChecksumDatagrams();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(Check(c.datagram, &ledger).show);
    }
    EXPECT_EQ(BadChecksumDatagrams(), badbefore + 1);
    EXPECT_EQ(ledger.Unmatched(), 2u);  // the two replies that named address and identifier right
    // The real reply is still accepted afterwards: the bad-checksum copy did not use it up.
    EXPECT_TRUE(Check(Datagram("127.0.0.7", 0, 0x4321, 1000, 32), &ledger).echoreply);
}

TEST(ReplyFilter, WrongChecksumIsDroppedAlsoWithoutALedger) {
    EXPECT_FALSE(Check(Datagram("127.0.0.7", 0, 0x4321, 1, 40, 0, false), nullptr).show);
    EXPECT_TRUE(Check(Datagram("127.0.0.7", 0, 0x4321, 1, 40), nullptr).show);
    // Every single flipped bit of the message is caught.
    const Bytes good = Datagram("127.0.0.7", 0, 0x4321, 1, 40);
    for (std::size_t byte = 20; byte < good.size(); ++byte) {
        Bytes bad = good;
        bad[byte] ^= 0x10;
        EXPECT_FALSE(IcmpChecksumValid(bad.data(), static_cast<int>(bad.size()))) << byte;
    }
}

TEST(ReplyFilter, RepliesWithIpOptionsAreDecodedAfterThem) {
    for (int words : {1, 4, 10}) {
        SCOPED_TRACE(words);
        EchoLedger ledger;
        ledger.Record(::inet_addr("127.0.0.9"), 0x4321, 77, 1 * kMs);
        const Bytes d = Datagram("127.0.0.9", 0, 0x4321, 77, 40, words);
        EXPECT_EQ(IpHeaderLength(d.data(), static_cast<int>(d.size())), 20 + 4 * words);
        const ReplyCheck c = Check(d, &ledger);
        ASSERT_TRUE(c.echoreply);
        EXPECT_EQ(c.described.replytime, "4");
        EXPECT_EQ(c.described.packetsize, std::to_string(d.size()));
        EXPECT_EQ(c.described.datastr, std::string(28, 'U'));
    }
}

TEST(ReplyFilter, CraftedHeaderLengthGivesNoInventedTime) {
    // A header length of 6 words over a message built for 5: the identifier and tick the
    // decoder would read there answer nothing we sent, so nothing is shown.
    EchoLedger ledger;
    ledger.Record(::inet_addr("127.0.0.7"), 0x4321, 1000, 0);
    Bytes d = Datagram("127.0.0.7", 0, 0x4321, 1000, 40);
    d[0] = 0x46;
    EXPECT_FALSE(Check(d, &ledger, static_cast<std::uint16_t>(d[28] | d[29] << 8)).show);
    // Header lengths that do not fit are no datagram at all.
    for (std::uint8_t first : {0x40, 0x44, 0x4F}) {
        Bytes e = Datagram("127.0.0.7", 0, 0x4321, 1000, 12);
        e[0] = first;
        EXPECT_EQ(IpHeaderLength(e.data(), static_cast<int>(e.size())), -1);
        EXPECT_FALSE(Check(e, &ledger).show);
    }
}

TEST(ReplyFilter, TrueSizeOfLargeReplies) {
    EchoLedger ledger;
    ledger.Record(::inet_addr("127.0.0.7"), 0x4321, 5, 0);
    // BuildEchoRequest stops at 1024 bytes; a peer may answer with more.
    Bytes d = Datagram("127.0.0.7", 0, 0x4321, 5, 1024);
    d.resize(20 + 4000, 'U');
    d[22] = d[23] = 0;
    const std::uint16_t sum = IcmpChecksum(d.data() + 20, d.size() - 20);
    d[22] = static_cast<std::uint8_t>(sum & 0xFF);
    d[23] = static_cast<std::uint8_t>(sum >> 8);
    const ReplyCheck c = Check(d, &ledger);
    ASSERT_TRUE(c.echoreply);
    EXPECT_EQ(c.described.packetsize, "4020");
}
