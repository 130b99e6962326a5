// The datagram-socket path: what the kernel hands over (an ICMP message without IP header, or
// an error-queue entry with the quoted bytes) is given an IPv4 header here and then decoded like
// anything a raw socket delivers. Any message bytes, lengths, TTLs and addresses; output buffers
// of any capacity; and the quoted-identifier reader on arbitrary datagrams.
//
// Input: [0] mode, [1] TTL, [2] error type, [3] error code, [4..7] source, [8..11] destination,
// [12..13] output capacity, then the message bytes (in a heap buffer of exactly their size).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "engine/icmp_channel.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

std::uint32_t Addr(const std::uint8_t* p) {
    std::uint32_t a;
    std::memcpy(&a, p, 4);
    return a;
}

std::string Dotted(std::uint32_t a) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." + std::to_string(p[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 14 || size > 70000) return 0;
    const std::uint8_t mode = data[0];
    const int ttl = data[1] | ((mode & 0x80) ? 0x100 : 0);  // also out-of-range TTLs
    const std::uint8_t type = data[2], code = data[3];
    const std::uint32_t source = Addr(data + 4), destination = Addr(data + 8);
    const std::size_t capacity = static_cast<std::size_t>(data[12] | (data[13] << 8)) * ((mode & 0x40) ? 2 : 1);
    const std::vector<std::uint8_t> message(data + 14, data + size);
    const std::uint8_t* msg = message.empty() ? nullptr : message.data();

    // Room beyond what the longest result needs changes nothing; leaving it out keeps runs fast.
    std::vector<std::uint8_t> out(std::min(capacity, message.size() + 64));
    std::uint8_t* outp = out.empty() ? nullptr : out.data();

    // An echo reply or any message: header + message, or nothing when it does not fit.
    const std::size_t whole = veltrin::RebuildIpv4(outp, out.size(), msg, message.size(), source, destination, ttl);
    if (whole == 0) {
        Check(20 + message.size() > out.size() || 20 + message.size() > 0xFFFF || outp == nullptr);
    } else {
        Check(whole == 20 + message.size() && whole <= out.size());
        Check(out[0] == 0x45 && out[9] == 1 && ((out[2] << 8) | out[3]) == static_cast<int>(whole));
        Check(veltrin::IcmpChecksum(out.data(), 20) == 0);  // the rebuilt header sums to zero
        Check(message.empty() || std::memcmp(out.data() + 20, message.data(), message.size()) == 0);
        // Decoded like a raw socket's datagram, in a buffer of exactly its size.
        std::vector<std::uint8_t> datagram(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(whole));
        const std::uint16_t id = whole >= 26 ? static_cast<std::uint16_t>(datagram[24] | datagram[25] << 8) : 0;
        veltrin::Tdecordbuf r;
        veltrin::DecodeReply(datagram.data(), static_cast<int>(datagram.size()), 0, id, r);
        if (whole >= 32) {
            Check(r.ttl == std::to_string(ttl > 255 ? 255 : ttl));
            Check(r.sourceip == Dotted(source) && r.destip == Dotted(destination));
            Check(r.packetsize == std::to_string(whole));
        } else {
            Check(r.icmptype == "NIL");
        }
        veltrin::QuotedEchoIdentifier(datagram.data(), datagram.size());
    }

    // An error-queue entry: the quoted bytes are the message.
    const std::size_t error = veltrin::RebuildIcmpError(outp, out.size(), type, code, Addr(data + 4), msg, message.size(),
                                                        destination, source, destination, ttl);
    if (error == 0) {
        Check(48 + message.size() > out.size() || 48 + message.size() > 0xFFFF || outp == nullptr);
    } else {
        Check(error == 48 + message.size());
        std::vector<std::uint8_t> datagram(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(error));
        Check(veltrin::IcmpChecksum(datagram.data() + 20, error - 20) == 0);  // the error message's own sum
        const int quoted = veltrin::QuotedEchoIdentifier(datagram.data(), datagram.size());
        const bool errortype = type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
        if (errortype && message.size() >= 8 && message[0] == 8)
            Check(quoted == (message[4] | (message[5] << 8)));
        else
            Check(quoted == -1);
        veltrin::Tdecordbuf r;
        veltrin::DecodeReply(datagram.data(), static_cast<int>(datagram.size()), 0, static_cast<std::uint16_t>(quoted), r);
    }

    // The quoted-identifier reader on the raw message bytes as a whole datagram.
    const int any = veltrin::QuotedEchoIdentifier(msg, message.size());
    Check(any >= -1 && any <= 0xFFFF);
    return 0;
}
