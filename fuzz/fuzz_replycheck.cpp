// What a receiver does with any datagram: the header-length bound, the ICMP checksum, the decode
// and the match against a send record. The record holds echoes built from the input, so the
// fuzzer reaches answered, late, duplicate and unknown replies (the datagram is offered again
// after it was taken).
//
// Input: byte 0 selects how many echoes are recorded (low 2 bits) and whether the checksum is
// mended before the check (bit 2: reaches the decoder and the ledger past the checksum); bytes
// 1..2 the expected identifier; the rest is the datagram.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/global_unit.h"
#include "monitor/echoledger.h"
#include "monitor/replyfilter.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > 70000) return 0;
    const std::uint8_t mode = data[0];
    const std::uint16_t expected = static_cast<std::uint16_t>(data[1] | data[2] << 8);
    std::vector<std::uint8_t> d(data + 3, data + size);
    const int length = static_cast<int>(d.size());
    const int header = veltrin::IpHeaderLength(d.data(), length);
    Check(header == -1 || (header >= 20 && header <= 60 && header + 8 <= length));
    if ((mode & 4) && header > 0) {
        d[static_cast<std::size_t>(header) + 2] = d[static_cast<std::size_t>(header) + 3] = 0;
        const std::uint16_t sum = veltrin::IcmpChecksum(d.data() + header, d.size() - static_cast<std::size_t>(header));
        d[static_cast<std::size_t>(header) + 2] = static_cast<std::uint8_t>(sum & 0xFF);
        d[static_cast<std::size_t>(header) + 3] = static_cast<std::uint8_t>(sum >> 8);
        Check(veltrin::IcmpChecksumValid(d.data(), length));
    }
    veltrin::EchoLedger ledger(1000);
    std::uint32_t source = 0;
    if (d.size() >= 16) std::memcpy(&source, d.data() + 12, 4);
    // Echoes that the datagram may answer: its own identifier and tick, at several times.
    std::uint16_t id = 0;
    std::uint32_t tick = 0;
    if (header > 0 && static_cast<std::size_t>(header) + 12 <= d.size()) {
        const std::uint8_t* icmp = d.data() + header;
        id = static_cast<std::uint16_t>(icmp[4] | icmp[5] << 8);
        tick = static_cast<std::uint32_t>(icmp[8]) | static_cast<std::uint32_t>(icmp[9]) << 8 |
               static_cast<std::uint32_t>(icmp[10]) << 16 | static_cast<std::uint32_t>(icmp[11]) << 24;
    }
    const int records = mode & 3;
    for (int i = 0; i < records; ++i) ledger.Record(source, id, tick, static_cast<std::int64_t>(i) * 700'000'000);

    // The same datagram offered again and again (copies on the wire): each recorded echo is
    // taken once, oldest pending first, then a lost one as late; copies after that are
    // duplicates. Round 1 has no record and passes the decoder's record on.
    int taken = 0;
    for (int round = 0; round < 6; ++round) {
        const bool withledger = round != 1;
        const veltrin::ReplyCheck c =
            veltrin::CheckDatagram(d.data(), length, 0, 1'500'000'000, expected, withledger ? &ledger : nullptr);
        if (withledger && c.match == veltrin::EchoLedger::Match::Duplicate) Check(taken > 0 && !c.show);
        if (!c.show) continue;
        Check(header > 0);
        Check(veltrin::IcmpChecksumValid(d.data(), length));
        Check(c.described.packetsize == std::to_string(length));
        if (c.echoreply) {
            Check(withledger && records > 0);
            Check(c.match == veltrin::EchoLedger::Match::Answered || c.match == veltrin::EchoLedger::Match::Late);
            Check(c.rttns >= 0 && c.rttns <= 1'500'000'000);
            Check(c.described.replytime == std::to_string(c.rttns / 1'000'000));
            Check(++taken <= records);
        }
        // With a record, only echo replies that answer it and messages other than echoes pass.
        if (withledger) Check(d[static_cast<std::size_t>(header)] != 8);
    }
    return 0;
}
