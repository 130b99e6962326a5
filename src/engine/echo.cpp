// Building and sending echo requests: checksum, the length rule, one send with its pause.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "engine/ipv4text.h"

namespace veltrin {

using detail::kEchoHeaderLength;
using detail::kEchoMaxMessage;

std::uint16_t IcmpChecksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] | (data[i + 1] << 8));
    if (i < length) sum += data[i];
    // Up to 32,768 words of at most 0xFFFF stay below 2^32, so for any IPv4 datagram (64 KiB at
    // most) two folds always settle the carry.
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

int EchoWireLength(int datalength) {
    return (datalength >= kEchoHeaderLength && datalength <= kEchoMaxMessage) ? datalength : kEchoHeaderLength;
}

std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t identifier, std::uint32_t tick, int datalength) {
    const int length = EchoWireLength(datalength);
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
                 const std::function<bool(int)>& pause,
                 const std::function<void(std::uint16_t identifier, std::uint32_t tick)>& sending) {
    if (address.empty()) return 0;
    const std::int64_t product = static_cast<std::int64_t>(interval) * 100;
    const int pausems = product <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(product, INT32_MAX));
    IcmpSocket socket;
    if (!socket.ok()) return socket.error();
    const std::uint16_t identifier = CurrentThreadIdentifier();
    const std::uint32_t tick = TickCount();
    const auto packet = BuildEchoRequest(identifier, tick, datalength);
    // A malformed text gives INADDR_NONE, the broadcast address; without SO_BROADCAST the
    // send then fails, which is the wanted outcome.
    const in_addr_t dest = ::inet_addr(address.c_str());
    // Told before the packet leaves: on loopback the reply can be back before sendto returns.
    if (sending) sending(identifier, tick);
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


}  // namespace veltrin
