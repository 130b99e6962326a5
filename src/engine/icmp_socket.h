// The one place where raw ICMP sockets are made, so another way of sending and receiving
// ICMP can slot in without touching the callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace veltrin {

class IcmpSocket {
public:
    IcmpSocket();  // opens an IPv4 raw ICMP socket; needs root or CAP_NET_RAW
    ~IcmpSocket();
    IcmpSocket(const IcmpSocket&) = delete;
    IcmpSocket& operator=(const IcmpSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    int error() const { return error_; }  // errno of a failed open
    int fd() const { return fd_; }

    // Sends to an IPv4 address given in network byte order, port 0. Returns sendto's result.
    ssize_t SendTo(const std::uint8_t* data, std::size_t length, std::uint32_t addr) const;
    // One datagram, IP header included; never blocks longer than the socket itself would.
    ssize_t Receive(std::uint8_t* buffer, std::size_t capacity) const;

private:
    int fd_ = -1;
    int error_ = 0;
};

// The notice for "no way to send ICMP": the last failed path choice's text, naming both remedies;
// callers tell it once.
std::string RawSocketHint(int error);

}  // namespace veltrin
