// Records shared by every module. They own their strings; copies are deep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltrin {

// A decoded ICMP datagram as eight texts; "NIL" in icmptype marks one that is not the caller's.
struct Tdecordbuf {
    std::string icmptype, icmpcode, sourceip, destip, packetsize, replytime, ttl, datastr;
};

// A resolved address; ip is empty when resolution failed.
struct tipdata {
    std::string ip;
    std::uint32_t addr = 0;
    std::string hostname, alias;
    std::int32_t status = 0;
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

struct Tmailsetting {
    std::string smtpserver, sendfrom, sendto, subject, emailtext, sendsetting;
    bool authentication = true;
    std::string option1, option2;  // user id and password, Base64
    std::int32_t savetime = 0;
};

}  // namespace veltrin
