#include "engine/global_unit.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "engine/icmp_socket.h"

namespace veltrin {

namespace {

constexpr int kHeaderLength = 12;
constexpr int kMaxMessage = 1024;
constexpr int kDecodeBuffer = 1025;

std::string Dotted(const std::uint8_t* p) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return text;
}

// Whole-text decimal integer with an optional sign, as the description table expects.
bool ParseInt(const std::string& text, int& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    // One optional sign only: from_chars takes a '-' itself, so "+-3" must be refused here.
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-') return false;
    }
    if (first == last) return false;
    auto [ptr, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && ptr == last;
}

std::unique_ptr<Tgolbal>& GolbalSlot() {
    static std::unique_ptr<Tgolbal> slot;
    return slot;
}

}  // namespace

std::uint16_t IcmpChecksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] | (data[i + 1] << 8));
    if (i < length) sum += data[i];
    // Messages are at most 1024 bytes, so two folds always settle the carry.
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t identifier, std::uint32_t tick, int datalength) {
    const int length = (datalength >= kHeaderLength && datalength <= kMaxMessage) ? datalength : kHeaderLength;
    std::vector<std::uint8_t> packet(static_cast<std::size_t>(length), 0x55);
    packet[0] = 8;
    packet[1] = 0;
    packet[2] = packet[3] = 0;
    packet[4] = static_cast<std::uint8_t>(identifier & 0xFF);
    packet[5] = static_cast<std::uint8_t>(identifier >> 8);
    packet[6] = packet[7] = 0;
    for (int b = 0; b < 4; ++b) packet[8 + b] = static_cast<std::uint8_t>(tick >> (8 * b));
    const std::uint16_t sum = IcmpChecksum(packet.data(), packet.size());
    packet[2] = static_cast<std::uint8_t>(sum & 0xFF);
    packet[3] = static_cast<std::uint8_t>(sum >> 8);
    return packet;
}

int SendEchoWith(const std::string& address, int interval, int datalength,
                 const std::function<bool(int)>& pause) {
    if (address.empty()) return 0;
    const std::int64_t product = static_cast<std::int64_t>(interval) * 100;
    const int pausems = product <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(product, INT32_MAX));
    IcmpSocket socket;
    if (!socket.ok()) return socket.error();
    const auto packet = BuildEchoRequest(CurrentThreadIdentifier(), TickCount(), datalength);
    // A malformed text gives INADDR_NONE, the broadcast address; without SO_BROADCAST the
    // send then fails, which is the wanted outcome.
    const in_addr_t dest = ::inet_addr(address.c_str());
    const ssize_t sent = socket.SendTo(packet.data(), packet.size(), dest);
    if (sent < 0) return 0;
    if (pausems > 0 && pause) pause(pausems);
    return static_cast<int>(sent);
}

int SendEcho(const std::string& address, int interval, int datalength) {
    return SendEchoWith(address, interval, datalength, [](int ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
    });
}

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
        const int copied = std::min(length, kMaxMessage);
        std::memcpy(work, buffer, static_cast<std::size_t>(copied));
        const std::uint16_t id = static_cast<std::uint16_t>(work[24] | (work[25] << 8));
        if (id != expectedid) {
            out.icmptype = "NIL";
            return;
        }
        char data[kDecodeBuffer] = {};
        std::memcpy(data, work + 32, static_cast<std::size_t>(copied - 32));
        const std::uint32_t stamp = static_cast<std::uint32_t>(work[28]) | (static_cast<std::uint32_t>(work[29]) << 8) |
                                    (static_cast<std::uint32_t>(work[30]) << 16) |
                                    (static_cast<std::uint32_t>(work[31]) << 24);
        out.icmptype = std::to_string(work[20]);
        out.icmpcode = std::to_string(work[21]);
        out.sourceip = Dotted(work + 12);
        out.destip = Dotted(work + 16);
        out.ttl = std::to_string(work[8]);
        out.replytime = std::to_string(static_cast<std::uint32_t>(recvtick - stamp));
        out.packetsize = std::to_string(length);
        out.datastr.assign(data, strnlen(data, static_cast<std::size_t>(copied - 32)));
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
    }
    return out;
}

std::mutex& ResolveLock() {
    static std::mutex resolvelock;
    return resolvelock;
}

void ResolveAddress(const std::string& text, tipdata& out) {
    if (text.empty()) return;
    std::lock_guard<std::mutex> guard(ResolveLock());
    tipdata work;
    try {
        const bool dotted = std::all_of(text.begin(), text.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
        if (dotted) {
            work.ip = text;
            work.addr = ::inet_addr(text.c_str());
            work.hostname = text;
            work.alias = text;
            work.status = 0;
        } else {
            std::string name = text;
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            const auto scheme = name.find("HTTP://");
            if (scheme != std::string::npos) name = name.substr(scheme + 7);
            const auto slash = name.find('/');
            if (slash != std::string::npos) name.resize(slash);
            hostent entry{};
            hostent* result = nullptr;
            int herr = 0;
            std::vector<char> scratch(8192);
            int rc = 0;
            // An embedded zero byte would silently shorten the name the resolver sees, so such
            // a text is refused rather than looked up as its first part.
            const bool lookup = name.find('\0') == std::string::npos;
            if (lookup) {
                while ((rc = ::gethostbyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &result,
                                               &herr)) == ERANGE &&
                       scratch.size() < (1u << 20))
                    scratch.resize(scratch.size() * 2);
            } else {
                herr = HOST_NOT_FOUND;
            }
            if (!lookup || rc != 0 || result == nullptr || entry.h_addrtype != AF_INET || entry.h_addr_list == nullptr ||
                entry.h_addr_list[0] == nullptr) {
                work.status = -1;
                work.errcode = herr != 0 ? herr : (rc != 0 ? rc : HOST_NOT_FOUND);
            } else {
                work.ip = Dotted(reinterpret_cast<const std::uint8_t*>(entry.h_addr_list[0]));
                work.addr = ::inet_addr(work.ip.c_str());
                work.hostname = entry.h_name != nullptr ? entry.h_name : "";
                work.alias = (entry.h_aliases != nullptr && entry.h_aliases[0] != nullptr) ? entry.h_aliases[0] : "";
                work.status = 0;
            }
        }
    } catch (...) {
        work = tipdata{};
        work.status = -1;
        work.errcode = ENOMEM;
    }
    out = std::move(work);
}

std::uint32_t TickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint16_t CurrentThreadIdentifier() {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(::syscall(SYS_gettid)) & 0xFFFF);
}

Tgolbal* Golbal() { return GolbalSlot().get(); }

void EngineStartup() {
    try {
        (void)ResolveLock();
        if (!GolbalSlot()) GolbalSlot() = std::make_unique<Tgolbal>();
    } catch (...) {
    }
}

void EngineShutdown() { GolbalSlot().reset(); }

}  // namespace veltrin
