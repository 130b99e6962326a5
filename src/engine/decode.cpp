// Decoding a received datagram into its texts, and describing ICMP types and codes.
#include <algorithm>
#include <cstring>

#include "engine/decimal.h"
#include "engine/global_unit.h"
#include "engine/ipv4text.h"

namespace veltrin {

namespace {

using detail::Dotted;
using detail::kEchoMaxMessage;

constexpr int kDecodeBuffer = kEchoMaxMessage + 1;
constexpr int kIpMinHeader = 20;     // header length 5 words: no options
constexpr int kIcmpEchoHeader = 12;  // type, code, checksum, identifier, sequence, timestamp

// Whole-text decimal integer with an optional sign, as the description table expects.
bool ParseInt(const std::string& text, int& value) {
    std::int32_t parsed = 0;
    if (!ParseDecimal(text, parsed)) return false;
    value = parsed;
    return true;
}

}  // namespace

void DecodeReply(const std::uint8_t* buffer, int length, std::uint32_t recvtick, std::uint16_t expectedid,
                 Tdecordbuf& out) {
    if (buffer == nullptr || length < 32) {
        out.icmptype = "NIL";
        out.icmpcode = out.sourceip = out.destip = out.packetsize = out.replytime = out.ttl = out.datastr =
            "Error";
        return;
    }
    try {
        std::uint8_t work[kDecodeBuffer] = {};
        const int copied = std::min(length, kEchoMaxMessage);
        std::memcpy(work, buffer, static_cast<std::size_t>(copied));
        // The ICMP message starts where the IP header's length field says (5..15 words), so
        // replies that carry IP options (record route, timestamp) are read where they are. A
        // length outside that range, or one that leaves no room for the ICMP header and its
        // timestamp inside the datagram, is no reply.
        const int header = (work[0] & 0x0F) * 4;
        if (header < kIpMinHeader || header + kIcmpEchoHeader > copied) {
            out.icmptype = "NIL";
            out.icmpcode = out.sourceip = out.destip = out.packetsize = out.replytime = out.ttl = out.datastr =
                "Error";
            return;
        }
        const std::uint8_t* icmp = work + header;
        const std::uint16_t id = static_cast<std::uint16_t>(icmp[4] | (icmp[5] << 8));
        if (id != expectedid) {
            out.icmptype = "NIL";
            return;
        }
        // The echoed data inside the decoding window: at most the first 1024 bytes of the datagram.
        const int datafirst = header + kIcmpEchoHeader;
        const std::size_t datalength = static_cast<std::size_t>(copied - datafirst);
        const std::uint32_t stamp = static_cast<std::uint32_t>(icmp[8]) | (static_cast<std::uint32_t>(icmp[9]) << 8) |
                                    (static_cast<std::uint32_t>(icmp[10]) << 16) |
                                    (static_cast<std::uint32_t>(icmp[11]) << 24);
        out.icmptype = std::to_string(icmp[0]);
        out.icmpcode = std::to_string(icmp[1]);
        out.sourceip = Dotted(work + 12);
        out.destip = Dotted(work + 16);
        out.ttl = std::to_string(work[8]);
        out.replytime = std::to_string(static_cast<std::uint32_t>(recvtick - stamp));
        out.packetsize = std::to_string(length);
        const char* data = reinterpret_cast<const char*>(work + datafirst);
        out.datastr.assign(data, strnlen(data, datalength));
    } catch (...) {
        // Allocation failure: the record stays as far as it was written.
    }
}

Tdecordbuf DescribeReply(const Tdecordbuf& in) {
    Tdecordbuf out = in;
    try {
        out.icmptype = "Type " + in.icmptype + " " + "Code " + in.icmpcode;
        int type = 0;
        if (!ParseInt(in.icmptype, type)) {
            out.icmpcode = "Unknown Error";
            return out;
        }
        switch (type) {
            case 0: out.icmpcode = "Reply message"; return out;
            case 8: out.icmpcode = "Echo message"; return out;
            case 13: out.icmpcode = "Timestamp message"; return out;
            case 14: out.icmpcode = "Timestamp reply message"; return out;
            case 15: out.icmpcode = "Information request message"; return out;
            case 16: out.icmpcode = "Information reply message"; return out;
            case 3: case 4: case 5: case 11: case 12: break;
            default: out.icmpcode = "Unknown Error"; return out;
        }
        int code = 0;
        if (!ParseInt(in.icmpcode, code)) {
            out.icmpcode = "Unknown Error";
            return out;
        }
        const char* text = nullptr;
        if (type == 3) {
            static const char* const unreachable[] = {"Net unreachable ", "Host unreachable ", "Protocol unreachable",
                                                      "Port unreachable", "Fragmentation needed and DF set",
                                                      "Source route failed"};
            if (code >= 0 && code <= 5) text = unreachable[code];
        } else if (type == 4) {
            if (code == 0) text = "Check sum error";
        } else if (type == 5) {
            static const char* const redirect[] = {"Redirect datagrams for the Network", "Redirect datagrams for the Host",
                                                   "Redirect datagrams for the Type of Service and Network",
                                                   "Redirect datagrams for the Type of Service and Host"};
            if (code >= 0 && code <= 3) text = redirect[code];
        } else if (type == 11) {
            if (code == 0) text = "Time to live exceeded in transit";
            if (code == 1) text = "Fragment reassembly time exceeded";
        } else if (type == 12) {
            if (code == 0) text = "Pointer indicates the error";
        }
        if (text != nullptr) out.icmpcode = text;  // an unlisted code keeps its decimal text
    } catch (...) {
        // Out of memory while describing: the record keeps the texts it had, which the callers
        // show as they stand.
    }
    return out;
}

}  // namespace veltrin
