// Receive times taken by the kernel (SO_TIMESTAMPNS) on the clock our send times use
// (CLOCK_MONOTONIC). Shared by the program and the packet helper; libc only, header only.
//
// The kernel stamps a datagram on the wall clock when it arrives, before it waits in the socket
// for a thread that may be busy, so a round trip measured from it leaves out our own delays.
// The wall clock is turned into the monotonic one through their offset read right after the
// receive; a stamp that lands outside (now - 10 s, now] — the wall clock was set meanwhile — is
// not believed.
#pragma once

#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <cstring>

namespace veltrin::rxstamp {

// Asks the kernel to stamp every datagram `fd` receives. False when it will not.
inline bool Enable(int fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

inline std::int64_t Ns(const timespec& ts) {
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The wall-clock stamp as CLOCK_MONOTONIC nanoseconds, or -1.
inline std::int64_t ToMonotonicNs(const timespec& stamp) {
    timespec m1{}, real{}, m2{};
    ::clock_gettime(CLOCK_MONOTONIC, &m1);
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_MONOTONIC, &m2);
    const std::int64_t mono = Ns(m1) + (Ns(m2) - Ns(m1)) / 2;
    const std::int64_t value = Ns(stamp) - (Ns(real) - mono);
    if (value > Ns(m2) || value < Ns(m2) - 10'000'000'000) return -1;
    return value;
}

// The kernel's stamp among the control messages of one recvmsg, as CLOCK_MONOTONIC ns; -1 when
// there is none (or it is not believable).
inline std::int64_t FromControl(const msghdr& msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&msg), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return ToMonotonicNs(ts);
        }
    }
    return -1;
}

// Room for the stamp's control message.
inline constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(timespec));

}  // namespace veltrin::rxstamp
