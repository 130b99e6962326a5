// Building and sending echo requests: checksum, the length rule, one send with its pause.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/global_unit.h"
#include "engine/icmp_channel.h"
#include "engine/ipv4text.h"

namespace veltrin {

using detail::kEchoHeaderLength;
using detail::kEchoMaxMessage;

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
                 const std::function<bool(int)>& pause) {
    if (address.empty()) return 0;
    // A channel of its own for this one echo; senders that have a receiver beside them share
    // that receiver's channel instead (SendEchoOn).
    IcmpChannelChoice choice = OpenIcmpChannel();
    if (!choice.channel) return choice.error;
    return SendEchoOn(*choice.channel, address, interval, datalength, pause);
}

int SendEcho(const std::string& address, int interval, int datalength) {
    return SendEchoWith(address, interval, datalength, [](int ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
    });
}


}  // namespace veltrin
