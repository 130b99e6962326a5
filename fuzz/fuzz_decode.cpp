// DecodeReply and DescribeReply on any bytes a raw ICMP socket could deliver, with any length
// the caller could hand over (any IP header length, the ICMP message read after it), and
// DescribeReply on arbitrary type and code texts.
//
// Input: byte 0 selects the mode, bytes 1..4 the receive tick, 5..6 the expected identifier,
// the rest is the datagram (copied into a heap buffer of exactly its size, so a read past it
// is caught). Mode bit 0: expect the datagram's own identifier (reaches the full decode).
// Mode bits 1..2: 0 exact length, 1 a negative length, 2 INT_MAX over a buffer of at least
// 1024 bytes (the decoder must stay within its 1024-byte window), 3 exact.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzhelp.h"
#include "engine/global_unit.h"

namespace {

using fuzzhelp::Check;

void CheckDescribed(const veltrin::Tdecordbuf& in) {
    const veltrin::Tdecordbuf out = veltrin::DescribeReply(in);
    Check(out.icmptype == "Type " + in.icmptype + " Code " + in.icmpcode);
    Check(!out.icmpcode.empty());
    Check(out.sourceip == in.sourceip && out.destip == in.destip && out.packetsize == in.packetsize &&
          out.replytime == in.replytime && out.ttl == in.ttl && out.datastr == in.datastr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t mode = 0;
    std::uint32_t recvtick = 0;
    std::uint16_t expected = 0;
    if (size >= 7) {
        mode = data[0];
        recvtick = static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
                   static_cast<std::uint32_t>(data[3]) << 16 | static_cast<std::uint32_t>(data[4]) << 24;
        expected = static_cast<std::uint16_t>(data[5] | data[6] << 8);
        data += 7;
        size -= 7;
    }
    std::vector<std::uint8_t> buffer(data, data + size);
    if (size > 0x100000) return 0;
    int length = static_cast<int>(size);
    switch ((mode >> 1) & 3) {
        case 1: length = size == 0 ? INT_MIN : -length; break;
        case 2:
            if (buffer.size() < 1024) buffer.resize(1024, 0);
            length = INT_MAX;
            break;
        default: break;
    }
    // Where the decoder looks for the ICMP message: after the header the length nibble gives.
    const std::size_t header = buffer.empty() ? 0 : static_cast<std::size_t>(buffer[0] & 0x0F) * 4;
    if ((mode & 1) && header >= 20 && buffer.size() >= header + 6)
        expected = static_cast<std::uint16_t>(buffer[header + 4] | buffer[header + 5] << 8);
    buffer.shrink_to_fit();

    veltrin::Tdecordbuf r{"t", "c", "s", "d", "p", "r", "l", "x"};
    veltrin::DecodeReply(buffer.empty() ? nullptr : buffer.data(), length, recvtick, expected, r);
    const std::size_t window = length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), 1024);
    if (length < 32 || buffer.empty() || header < 20 || header + 12 > window) {
        Check(r.icmptype == "NIL" && r.icmpcode == "Error" && r.sourceip == "Error" && r.destip == "Error" &&
              r.packetsize == "Error" && r.replytime == "Error" && r.ttl == "Error" && r.datastr == "Error");
    } else if (static_cast<std::uint16_t>(buffer[header + 4] | buffer[header + 5] << 8) != expected) {
        Check(r.icmptype == "NIL" && r.icmpcode == "c" && r.sourceip == "s" && r.destip == "d" && r.packetsize == "p" &&
              r.replytime == "r" && r.ttl == "l" && r.datastr == "x");
    } else {
        Check(r.icmptype == std::to_string(buffer[header]) && r.icmpcode == std::to_string(buffer[header + 1]));
        Check(r.ttl == std::to_string(buffer[8]) && r.packetsize == std::to_string(length));
        Check(r.datastr.size() <= window - header - 12);
        Check(r.datastr.find('\0') == std::string::npos);
        Check(std::memcmp(r.datastr.data(), buffer.data() + header + 12, r.datastr.size()) == 0);
        Check(r.sourceip.size() >= 7 && r.sourceip.size() <= 15 && r.destip.size() >= 7 && r.destip.size() <= 15);
    }
    CheckDescribed(r);

    // The description table on texts no decoder would produce: type and code split at the first
    // newline of the datagram bytes.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto newline = text.find('\n');
    veltrin::Tdecordbuf free{text.substr(0, newline), newline == std::string::npos ? "" : text.substr(newline + 1),
                             "a", "b", "c", "d", "e", "f"};
    CheckDescribed(free);
    return 0;
}
