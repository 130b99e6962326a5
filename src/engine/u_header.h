// Records shared by every module. They own their strings; copies are deep.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrin {

// Every receive reads a datagram (IP header included) into a buffer of this many bytes; the ICMP
// info window's offsets and the detail window's copy of the last datagram rely on it.
inline constexpr std::size_t kReceiveBufferSize = 1024;
using ReceiveBuffer = std::array<std::uint8_t, kReceiveBufferSize>;

// A decoded ICMP datagram as eight texts, all decimal or dotted. DecodeReply fills it; "NIL" in
// icmptype marks one that is not the caller's (other identifier), "Error" in every field one
// too short to decode. DescribeReply turns icmptype into "Type T Code C" and icmpcode into
// words ("Reply message" for an echo reply).
struct Tdecordbuf {
    std::string icmptype;    // ICMP type, decimal
    std::string icmpcode;    // ICMP code, decimal
    std::string sourceip;    // sender of the datagram, dotted
    std::string destip;      // its destination (this host), dotted
    std::string packetsize;  // whole datagram length in bytes, IP header included
    std::string replytime;   // round trip in milliseconds (receive tick minus the echo's stamp, mod 2^32)
    std::string ttl;         // the IP header's time to live
    std::string datastr;     // the data after the ICMP header, up to its first zero byte
};

// A resolved address (ResolveAddress); ip is empty when resolution failed.
struct tipdata {
    std::string ip;          // dotted IPv4 address, first of the name's list
    std::uint32_t addr = 0;  // the same in network byte order (inet_addr)
    std::string hostname;    // official name; the text itself for a dotted address
    std::string alias;       // first alias; the text itself for a dotted address
    std::int32_t status = 0;  // 0 resolved, -1 failed
    // Why it failed (status -1). Resolver failures carry the resolver's h_errno value
    // (HOST_NOT_FOUND 1, TRY_AGAIN 2, NO_RECOVERY 3, NO_DATA 4); when the resolver set no h_errno
    // but returned an errno value (gethostbyname_r's return code), that errno value; a failure
    // to allocate carries ENOMEM (12). The two ranges overlap: read the value together with how
    // the lookup failed, never as one or the other alone. 0 when resolved.
    std::int32_t errcode = 0;
};

// One range of the location table.
struct Tsockaddr {
    std::int64_t startkey = 0;
    std::int64_t endkey = 0;
    std::string name;
};
using LocationTable = std::vector<Tsockaddr>;

// One list row: the address as entered plus the TTL, time and bytes cells.
struct AddressRow {
    std::string address, ttl, time, bytes;
};

// The report mail's settings, as stored in the settings file (section "mailsetting").
struct Tmailsetting {
    std::string smtpserver;   // the SMTP server's host name or dotted address
    std::string sendfrom;     // envelope and header sender address
    std::string sendto;       // recipient address
    std::string subject;      // subject line
    std::string emailtext;    // mail body; lines joined with CR LF or commas (JoinCommaText)
    std::string sendsetting;  // which report goes out at close: the tokens of engine/sendsetting.h
    bool authentication = true;    // log in (AUTH LOGIN) with option1 / option2
    std::string option1, option2;  // user id and password, Base64
    std::int32_t savetime = 0;     // detail windows save their log every this many minutes; 0 never
};

}  // namespace veltrin
