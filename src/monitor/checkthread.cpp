#include "monitor/checkthread.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "monitor/replyfilter.h"
#include "engine/icmp_channel.h"

namespace veltrin {

namespace {

constexpr int kProbeWaitMs = 2000;
constexpr int kProbeLength = 12;       // echo header and timestamp, no payload

// Waits for readability: 1 readable, 0 nothing in time, -1 the gate asked the probe to give up.
using WaitFn = std::function<int(int fd, int timeoutms)>;

int PlainWait(int fd, int timeoutms) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 ? 1 : 0;
}

int Probe(const std::string& host, const WaitFn& wait) {
    try {
        IcmpChannelChoice choice = OpenIcmpChannel();
        if (!choice.channel) return -1;
        IcmpChannel& channel = *choice.channel;
        tipdata target;
        ResolveAddress(host, target);
        if (target.status != 0 || target.ip.empty()) return -1;

        // Receives never block on a channel, so a datagram dropped between poll and receive
        // cannot hang the probe.
        const std::uint16_t id = channel.Identifier(CurrentThreadIdentifier());
        const std::uint32_t stamp = TickCount();
        if (channel.SendEcho(target.addr, id, stamp, kProbeLength) < 0) return -1;

        // Every ICMP datagram that reaches the host lands on this socket: the monitor's own
        // replies, on loopback the request itself. Looking at only the first one would fail
        // the probe whenever such traffic comes first, so datagrams are read until this
        // probe's own echo reply or the deadline.
        std::uint8_t buffer[kReceiveBufferSize];
        for (;;) {
            const std::uint32_t elapsed = TickCount() - stamp;
            if (elapsed >= static_cast<std::uint32_t>(kProbeWaitMs)) return -1;
            const int ready = wait(channel.fd(), kProbeWaitMs - static_cast<int>(elapsed));
            if (ready <= 0) {
                if (ready < 0) return -1;
                continue;  // time-out: the deadline check above ends the probe
            }
            const ssize_t n = channel.Receive(buffer, sizeof buffer);
            const std::uint32_t recvtick = TickCount();
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                return -1;
            }
            // A message with a wrong checksum is nobody's answer.
            if (!IcmpChecksumValid(buffer, static_cast<int>(n))) continue;
            Tdecordbuf reply;
            DecodeReply(buffer, static_cast<int>(n), recvtick, id, reply);
            if (reply.icmptype == "NIL") continue;
            // The identifier alone also matches the request echoed back to us on loopback and
            // a late reply of an earlier probe: take only an echo reply from the target that
            // carries this request's timestamp.
            if (reply.icmptype != "0" || reply.sourceip != target.ip) continue;
            const std::uint8_t* stampbytes = buffer + IpHeaderLength(buffer, static_cast<int>(n)) + 8;
            const std::uint32_t carried = static_cast<std::uint32_t>(stampbytes[0]) |
                                          (static_cast<std::uint32_t>(stampbytes[1]) << 8) |
                                          (static_cast<std::uint32_t>(stampbytes[2]) << 16) |
                                          (static_cast<std::uint32_t>(stampbytes[3]) << 24);
            if (carried != stamp) continue;
            return static_cast<int>(recvtick - stamp);
        }
    } catch (...) {
        return -1;
    }
}

}  // namespace

int ProbeHost(const std::string& host) { return Probe(host, PlainWait); }

int ProbeHost(const std::string& host, Gate& gate) {
    return Probe(host, [&gate](int fd, int timeoutms) {
        const int rc = gate.WaitReadable(fd, timeoutms);
        // A pause also returns 0 from the gate; the probe then gives up so Stop takes effect.
        if (rc < 0 || gate.Paused() || gate.StopRequested()) return -1;
        return rc;
    });
}

tcheckthread::tcheckthread(HandOver& handover, std::string host, std::function<void(std::string)> settitle,
                           int pausems)
    : Worker(handover), host_(std::move(host)), settitle_(std::move(settitle)), pausems_(pausems) {}

tcheckthread::tcheckthread(HandOver& handover, std::function<std::string()> host,
                           std::function<void(std::string)> settitle, int pausems)
    : Worker(handover), hostnow_(std::move(host)), settitle_(std::move(settitle)), pausems_(pausems) {}

void tcheckthread::Run() {
    Gate& gate = this->gate();
    // On the window thread.
    auto settitle = [this](const char* text) {
        try {
            if (settitle_) settitle_(text);
        } catch (...) {
            // The title is a progress note: failing to set it must not stop the check.
        }
    };
    auto title = [this, &settitle](const char* text) { return OnWindow([&settitle, text] { settitle(text); }); };
    // The probe and both waits happen here; only the title writes go to the window thread, so
    // the window keeps answering while the probe waits for its reply.
    while (gate.WaitWhilePaused()) {
        std::string host = host_;
        // The host is read and "some begin" written in one step: one wake of the window per
        // probe fewer. No host: no probe and no title.
        const auto begin = [this, &host, &settitle] {
            if (hostnow_) {
                try {
                    host = hostnow_();
                } catch (...) {
                    host.clear();
                }
            }
            if (!host.empty()) settitle("some begin");
        };
        if ((hostnow_ || !host.empty()) && !OnWindow(begin)) return;
        if (host.empty()) {
            if (!gate.Sleep(pausems_)) return;
            continue;
        }
        const int rtt = ProbeHost(host, gate);
        if (gate.StopRequested()) return;
        if (rtt >= 0 && !title("some ok")) return;
        if (!gate.Sleep(pausems_)) return;
        if (!title("some end")) return;
        if (!gate.Sleep(pausems_)) return;
    }
}

}  // namespace veltrin
