#include "engine/icmp_socket.h"

#include "engine/icmp_channel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrin {

IcmpSocket::IcmpSocket() {
    // SOCK_CLOEXEC so a trace-route or browser started by the program never inherits it.
    fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd_ < 0) error_ = errno != 0 ? errno : EPERM;
}

IcmpSocket::~IcmpSocket() {
    if (fd_ >= 0) ::close(fd_);
}

ssize_t IcmpSocket::SendTo(const std::uint8_t* data, std::size_t length, std::uint32_t addr) const {
    if (fd_ < 0) return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(0);
    to.sin_addr.s_addr = addr;
    ssize_t n;
    do {
        n = ::sendto(fd_, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t IcmpSocket::Receive(std::uint8_t* buffer, std::size_t capacity) const {
    if (fd_ < 0) return -1;
    sockaddr_in from{};
    socklen_t fromlen = sizeof from;
    ssize_t n;
    do {
        n = ::recvfrom(fd_, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
    } while (n < 0 && errno == EINTR);
    return n;
}

std::string RawSocketHint(int error) {
    // The path chooser knows why every way failed; its notice names both remedies.
    std::string notice = IcmpUnavailableNotice();
    if (!notice.empty()) return notice;
    return "Cannot send ICMP echo requests as this user (" + std::string(std::strerror(error)) +
           "). Either give the packet helper veltrin-ping-helper its capability once (\"sudo setcap cap_net_raw+ep\" "
           "on the helper, which scripts/run.sh does when started with sudo), or let your group use ICMP datagram "
           "sockets: \"sudo sysctl -w net.ipv4.ping_group_range='0 2147483647'\".";
}

}  // namespace veltrin
