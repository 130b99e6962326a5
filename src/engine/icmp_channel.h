// How this program sends echo requests and hears ICMP: one small interface with three ways
// behind it, and the one function that picks among them.
//
//   raw socket       the process already has the right (root, CAP_NET_RAW)
//   packet helper    veltrin-ping-helper, installed with the file capability cap_net_raw
//   datagram socket  socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP) where net.ipv4.ping_group_range
//                    admits the user's group
//
// Whatever the way, a received datagram starts with an IPv4 header, so decoding, the windows,
// the logs and the statistics never know the difference; a datagram socket gives no header and
// one is rebuilt from what the kernel tells (source, destination, TTL, length).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veltrin {

enum class IcmpPath { None, Raw, Helper, Datagram };

class IcmpChannel {
public:
    virtual ~IcmpChannel() = default;
    virtual IcmpPath path() const = 0;
    // Readable (or in error) when Receive has something; never read it directly.
    virtual int fd() const = 0;
    // The identifier echoes on this channel carry, given the one the caller wants. Only a
    // datagram socket may differ: the kernel owns its identifier, and when the wanted one is
    // taken by another socket it picks its own. Stable once decided; callable from any thread.
    virtual std::uint16_t Identifier(std::uint16_t wanted) { return wanted; }
    // Sends one echo request (identifier as Identifier() returns it, tick, whole message length
    // 12..1024, else 12) to an IPv4 address in network byte order. Returns the message length
    // handed on, or -1 with errno set.
    virtual ssize_t SendEcho(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick, int datalength) = 0;
    // One datagram starting with its IPv4 header, never blocking: -1 with EAGAIN when nothing
    // is waiting. `rebuilt` (optional) tells whether the header was made here.
    virtual ssize_t Receive(std::uint8_t* buffer, std::size_t capacity, bool* rebuilt = nullptr) = 0;
    // When the datagram the last Receive returned arrived, as the kernel stamped it, in
    // CLOCK_MONOTONIC nanoseconds (MonotonicNs); -1 when the kernel gave no stamp. Receiving
    // thread only.
    std::int64_t ReceivedNs() const { return receivedns_; }
    // Asks the kernel to drop echo replies not carrying `identifier` (as Identifier() returned
    // it) before they are queued, where the channel hears other programs' replies (a raw
    // socket). Best effort and idempotent; the receiver still checks every datagram.
    virtual void KeepOnlyRepliesTo(std::uint16_t identifier) { (void)identifier; }
    // Whether every datagram comes with its kernel stamp, so a receiver may read the datagrams
    // of a while at once without losing their times.
    virtual bool StampsArrivals() const { return false; }
    // Receive, also giving ReceivedNs() of that datagram in `arrivalns`.
    ssize_t ReceiveStamped(std::uint8_t* buffer, std::size_t capacity, std::int64_t& arrivalns) {
        const ssize_t n = Receive(buffer, capacity);
        arrivalns = n >= 0 ? receivedns_ : -1;
        return n;
    }

protected:
    std::int64_t receivedns_ = -1;
};

struct IcmpChannelChoice {
    std::unique_ptr<IcmpChannel> channel;  // null when no way works
    std::string notice;                    // then: what to tell the user, with the kernel's reasons
    int error = 0;                         // then: the raw socket's errno
};

// The one place that decides: raw socket, then the helper, then datagram sockets, else the
// notice naming both remedies.
IcmpChannelChoice OpenIcmpChannel();

// Where the packet helper is looked for, in order; the first that exists is used:
//   1. $VELTRIN_PING_HELPER (tests and unusual installs)
//   2. beside the running program (the build tree: veltrin-ping and the helper share a folder)
//   3. <prefix>/libexec/veltrin-ping/ for a program in <prefix>/bin (an installed program)
// Empty when none exists.
std::string FindPingHelper();
// Whether a file carries cap_net_raw as a permitted and effective file capability.
bool HelperHasCapability(const std::string& path);

// The path the last successful open took (None before any or after every open failed), and a
// sentence about it for --verbose and the about box.
IcmpPath CurrentIcmpPath();
std::string IcmpPathText(IcmpPath path);

// The notice of the last failed open (empty before any failure).
std::string IcmpUnavailableNotice();

// SendEcho's rule on a given channel: one echo request carrying the calling thread's identifier
// (as the channel makes it) and the tick, then the pause of interval x 100 ms done by `pause`.
// Returns the bytes sent, or 0 for an empty address or a failed send (no pause then).
// `sending`, when given, is told the identifier (as the channel puts it on the wire) and the
// tick of the echo right before it is handed on.
int SendEchoOn(IcmpChannel& channel, const std::string& address, int interval, int datalength,
               const std::function<bool(int)>& pause,
               const std::function<void(std::uint16_t identifier, std::uint32_t tick)>& sending = {});

// Builds the IPv4 header a datagram socket does not deliver in front of an ICMP message.
// Returns the whole length (20 + icmplength), or 0 when it does not fit. Bounded; used by the
// datagram path and by its fuzz target.
std::size_t RebuildIpv4(std::uint8_t* out, std::size_t capacity, const std::uint8_t* icmp, std::size_t icmplength,
                        std::uint32_t source, std::uint32_t destination, int ttl);

// Builds what a raw socket would have received for an ICMP error (type, code, info as the
// kernel's error queue reports it) about our echo `quoted` (as the error quoted it) that went
// from `local` to `target`: outer header from `offender`, the error message, the quoted IPv4
// header and the quoted bytes. Returns the whole length, or 0 when it does not fit.
std::size_t RebuildIcmpError(std::uint8_t* out, std::size_t capacity, std::uint8_t type, std::uint8_t code,
                             std::uint32_t info, const std::uint8_t* quoted, std::size_t quotedlength,
                             std::uint32_t offender, std::uint32_t local, std::uint32_t target, int ttl);

// For an ICMP error message (type 3, 4, 5, 11, 12) that quotes one of our echo requests: the
// identifier of that request, else -1. Bounded for any bytes.
int QuotedEchoIdentifier(const std::uint8_t* datagram, std::size_t length);

}  // namespace veltrin
