// Reading ICMP datagrams off a raw socket in tests: wait for the first one that matches,
// and take the tick count right after the receive, as a receiver does.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"

namespace veltrin::testing {

struct Received {
    std::vector<std::uint8_t> bytes;  // IP header included
    std::uint32_t tick = 0;           // TickCount() right after the receive returned
};

inline std::uint8_t IcmpType(const std::vector<std::uint8_t>& d) { return d.size() > 20 ? d[20] : 0xFF; }
inline std::uint16_t IcmpIdentifier(const std::vector<std::uint8_t>& d) {
    return d.size() > 25 ? static_cast<std::uint16_t>(d[24] | (d[25] << 8)) : 0;
}
inline std::string SourceOf(const std::vector<std::uint8_t>& d) {
    if (d.size() < 20) return {};
    in_addr a{};
    std::memcpy(&a.s_addr, &d[12], 4);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// First datagram for which `match` holds, or nothing within `limit`. The limit only bounds a
// test whose packet never comes; it is no measure of anything.
inline std::optional<Received> ReceiveMatching(const IcmpSocket& socket,
                                               const std::function<bool(const std::vector<std::uint8_t>&)>& match,
                                               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{socket.fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = socket.Receive(buffer.data(), buffer.size());
        const std::uint32_t tick = TickCount();
        if (n <= 0) continue;
        Received r{std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n), tick};
        if (match(r.bytes)) return r;
    }
}

}  // namespace veltrin::testing
