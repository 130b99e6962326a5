// veltrin-ping-helper: the one part of Veltrin Ping that may hold cap_net_raw (as a file
// capability, never setuid). It opens one raw ICMP socket, gives up every capability, and then
// only ever sends echo requests that it builds itself from the program's requests, and passes
// on every datagram the raw socket receives. It talks to the program over the SOCK_SEQPACKET
// socket it finds as its standard input and ends when the program goes away.
//
// Keep this file small: it is meant to be read whole before it is given its capability.
#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "helper/protocol.h"
#include "helper/rxstamp.h"

namespace {

namespace proto = veltrin::helperproto;

constexpr int kChannel = STDIN_FILENO;

int Usage() {
    std::fprintf(stderr,
                 "usage: %s is started by veltrin-ping, which talks to it over its standard input;\n"
                 "       it does nothing when run by hand.\n",
                 proto::kHelperName);
    return 2;
}

// Our standard input must be the program's end of a local sequenced-packet socket; a terminal,
// a file or a pipe means somebody ran us by hand.
bool StartedByProgram() {
    if (::isatty(kChannel)) return false;
    int type = 0, domain = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(kChannel, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET) return false;
    len = sizeof domain;
    return ::getsockopt(kChannel, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
}

void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool Tell(std::uint8_t kind, std::uint32_t value) {
    std::uint8_t msg[5] = {kind};
    Put32(msg + 1, value);
    return ::send(kChannel, msg, sizeof msg, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof msg);
}

// Effective, permitted, inheritable and ambient sets emptied; the bounding set too where we may
// (that needs CAP_SETPCAP, which a file capability of cap_net_raw alone does not give);
// no_new_privs so that no later exec can gain anything back.
bool DropEverything() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    cap_t now = cap_get_proc();
    cap_flag_value_t setpcap = CAP_CLEAR;
    if (now != nullptr) {
        cap_get_flag(now, CAP_SETPCAP, CAP_EFFECTIVE, &setpcap);
        cap_free(now);
    }
    if (setpcap == CAP_SET)
        for (cap_value_t c = 0; c <= CAP_LAST_CAP; ++c) cap_drop_bound(c);
    cap_reset_ambient();
    cap_t none = cap_init();
    if (none == nullptr) return false;
    const bool ok = cap_set_proc(none) == 0;
    cap_free(none);
    return ok;
}

std::uint16_t Checksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] | (data[i + 1] << 8));
    if (i < length) sum += data[i];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

// Addresses no echo of ours may go to: "this host" 0/8, multicast 224/4, reserved 240/4 and the
// limited broadcast.
bool Forbidden(std::uint32_t addr_network_order) {
    const std::uint32_t a = ntohl(addr_network_order);
    const std::uint32_t first = a >> 24;
    return first == 0 || first >= 224;
}

// Handles one request; returns the errno to report (0: sent).
int Serve(int raw, const std::uint8_t* req, ssize_t n) {
    if (n != static_cast<ssize_t>(proto::kRequestSize) || req[0] != proto::kEchoCommand || req[1] != 0 || req[2] != 0 ||
        req[3] != 0)
        return EINVAL;
    std::uint32_t dest = 0;
    std::memcpy(&dest, req + 4, 4);
    const int length = req[10] | (req[11] << 8);
    if (Forbidden(dest) || length < proto::kMinMessage || length > proto::kMaxMessage) return EINVAL;

    // The same message the program builds: type 8, identifier and tick low byte first, 0x55 fill.
    std::vector<std::uint8_t> echo(static_cast<std::size_t>(length), 0x55);
    echo[0] = 8;
    echo[1] = echo[2] = echo[3] = 0;
    echo[4] = req[8];
    echo[5] = req[9];
    echo[6] = echo[7] = 0;
    std::memcpy(echo.data() + 8, req + 12, 4);
    const std::uint16_t sum = Checksum(echo.data(), echo.size());
    echo[2] = static_cast<std::uint8_t>(sum & 0xFF);
    echo[3] = static_cast<std::uint8_t>(sum >> 8);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = dest;
    ssize_t sent;
    do {
        sent = ::sendto(raw, echo.data(), echo.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

}  // namespace

int main(int argc, char**) {
    if (argc != 1 || !StartedByProgram()) return Usage();

    const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    const int openerror = raw < 0 ? errno : 0;
    if (!DropEverything()) {
        Tell(proto::kFailed, static_cast<std::uint32_t>(EPERM));
        return 1;
    }
    if (raw < 0) {
        Tell(proto::kFailed, static_cast<std::uint32_t>(openerror));
        return 1;
    }
    // Receive times from the kernel, so the program's round trips leave out this hop.
    veltrin::rxstamp::Enable(raw);
    // Our own echo requests (on loopback) and everybody's are of no use to the program: the
    // kernel drops them instead of waking both of us for each one.
    icmp_filter filter{};
    filter.data = 1U << ICMP_ECHO;
    ::setsockopt(raw, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    if (!Tell(proto::kReady, 0)) return 1;

    std::vector<std::uint8_t> buffer(proto::kMaxForward);
    std::uint8_t request[proto::kRequestSize + 1];
    for (;;) {
        pollfd fds[2] = {{raw, POLLIN, 0}, {kChannel, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        // Replies first, so that their receive times stay close to their arrival.
        if (fds[0].revents & POLLIN) {
            for (;;) {
                constexpr std::size_t kHead = 1 + 8;
                iovec iov{buffer.data() + kHead, buffer.size() - kHead};
                alignas(cmsghdr) char control[veltrin::rxstamp::kControlBytes + 64];
                msghdr msg{};
                msg.msg_iov = &iov;
                msg.msg_iovlen = 1;
                msg.msg_control = control;
                msg.msg_controllen = sizeof control;
                const ssize_t got = ::recvmsg(raw, &msg, MSG_DONTWAIT);
                if (got < 0) break;
                const std::int64_t stamp = veltrin::rxstamp::FromControl(msg);
                std::size_t head = kHead;
                if (stamp > 0) {
                    buffer[0] = proto::kStampedDatagram;
                    for (int b = 0; b < 8; ++b)
                        buffer[1 + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(stamp) >> (8 * b));
                    head = 0;
                } else {
                    buffer[8] = proto::kDatagram;
                    head = 8;
                }
                // A program that does not keep up loses datagrams instead of stalling us.
                if (::send(kChannel, buffer.data() + head, static_cast<std::size_t>(got) + kHead - head,
                           MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
                    errno == EPIPE)
                    return 0;
            }
        }
        if (fds[1].revents & (POLLERR | POLLNVAL)) return 0;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::recv(kChannel, request, sizeof request, MSG_DONTWAIT | MSG_TRUNC);
            if (n == 0) return 0;  // the program closed its end or ended
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                return 0;
            }
            if (!Tell(proto::kSent, static_cast<std::uint32_t>(Serve(raw, request, n)))) return 0;
        }
    }
}
