#include "engine/icmp_channel.h"
#include "engine/echofilter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/global_unit.h"
#include "helper/protocol.h"
#include "helper/rxstamp.h"

extern char** environ;

namespace veltrin {

namespace {

namespace proto = helperproto;

constexpr int kHelperReadyMs = 3000;

std::atomic<int> currentpath{static_cast<int>(IcmpPath::None)};
std::mutex noticelock;
std::string lastnotice;

int WireLength(int datalength) {
    return (datalength >= proto::kMinMessage && datalength <= proto::kMaxMessage) ? datalength : proto::kMinMessage;
}

std::string ErrorText(int error) { return std::strerror(error); }

void Put16(std::uint8_t* p, std::uint16_t v) {  // network byte order
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v & 0xFF);
}

void PutAddr(std::uint8_t* p, std::uint32_t addr) { std::memcpy(p, &addr, 4); }

void Ipv4Header(std::uint8_t* h, std::size_t total, std::uint32_t source, std::uint32_t destination, int ttl) {
    std::memset(h, 0, 20);
    h[0] = 0x45;
    Put16(h + 2, static_cast<std::uint16_t>(total));
    h[8] = static_cast<std::uint8_t>(ttl < 0 ? 0 : (ttl > 255 ? 255 : ttl));
    h[9] = IPPROTO_ICMP;
    PutAddr(h + 12, source);
    PutAddr(h + 16, destination);
    const std::uint16_t sum = IcmpChecksum(h, 20);  // the same ones' complement sum
    h[10] = static_cast<std::uint8_t>(sum & 0xFF);
    h[11] = static_cast<std::uint8_t>(sum >> 8);
}

ssize_t SendTo(int fd, const std::vector<std::uint8_t>& message, std::uint32_t addr) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    ssize_t n;
    do {
        n = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (n < 0 && errno == EINTR);
    return n;
}

// A raw ICMP socket hears every echo request that passes the host, on loopback our own ones
// too: each would wake the receiver for nothing, as no receiver ever takes a request. The
// kernel drops them before they are queued (ICMP_FILTER lists the types not to deliver).
void SkipEchoRequests(int fd) {
    icmp_filter filter{};
    filter.data = 1U << ICMP_ECHO;
    ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);  // best effort: only a saving
}

// ---- raw socket ---------------------------------------------------------------------------

class RawChannel final : public IcmpChannel {
public:
    explicit RawChannel(int fd) : fd_(fd) {
        SkipEchoRequests(fd_);
        stamps_ = rxstamp::Enable(fd_);
    }
    ~RawChannel() override { ::close(fd_); }
    IcmpPath path() const override { return IcmpPath::Raw; }
    int fd() const override { return fd_; }
    void KeepOnlyRepliesTo(std::uint16_t identifier) override { KeepOnlyOurEchoReplies(fd_, identifier); }
    ssize_t SendEcho(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick, int datalength) override {
        return SendTo(fd_, BuildEchoRequest(identifier, tick, datalength), addr);
    }
    ssize_t Receive(std::uint8_t* buffer, std::size_t capacity, bool* rebuilt) override {
        if (rebuilt != nullptr) *rebuilt = false;
        iovec iov{buffer, capacity};
        alignas(cmsghdr) char control[rxstamp::kControlBytes + 64];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n;
        do {
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        receivedns_ = n >= 0 ? rxstamp::FromControl(msg) : -1;
        return n;
    }
    bool StampsArrivals() const override { return stamps_; }

private:
    int fd_;
    bool stamps_ = false;
};

// ---- ICMP datagram socket -------------------------------------------------------------------

class DatagramChannel final : public IcmpChannel {
public:
    explicit DatagramChannel(int fd) : fd_(fd) {
        const int on = 1;
        // TTL and the header's destination for the rebuilt header; ICMP errors on the error queue.
        ::setsockopt(fd_, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
        ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        ::setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        rxstamp::Enable(fd_);
    }
    ~DatagramChannel() override { ::close(fd_); }
    IcmpPath path() const override { return IcmpPath::Datagram; }
    int fd() const override { return fd_; }

    std::uint16_t Identifier(std::uint16_t wanted) override {
        std::lock_guard<std::mutex> lock(bindlock_);
        if (bound_) return identifier_;
        // The kernel writes the bound port as the identifier field, in network byte order; the
        // engine writes identifiers low byte first. Laying the wanted bytes out in that order
        // makes the wire carry exactly what a raw socket would have sent.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(wanted & 0xFF), static_cast<std::uint8_t>(wanted >> 8)};
        std::memcpy(&local.sin_port, bytes, 2);
        if (wanted == 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            // Taken (or 0, which means "any"): take what the kernel gives.
            local.sin_port = 0;
            ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        }
        sockaddr_in got{};
        socklen_t len = sizeof got;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&got), &len) == 0) {
            std::uint8_t b[2];
            std::memcpy(b, &got.sin_port, 2);
            identifier_ = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
        } else {
            identifier_ = wanted;
        }
        bound_ = true;
        return identifier_;
    }

    ssize_t SendEcho(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick, int datalength) override {
        Identifier(identifier);
        return SendTo(fd_, BuildEchoRequest(identifier, tick, datalength), addr);
    }

    ssize_t Receive(std::uint8_t* buffer, std::size_t capacity, bool* rebuilt) override {
        if (rebuilt != nullptr) *rebuilt = true;
        const ssize_t error = ReceiveError(buffer, capacity);
        if (error > 0) return error;
        return ReceiveReply(buffer, capacity);
    }

private:
    struct Ancillary {
        int ttl = 0;
        std::uint32_t local = 0;
        const sock_extended_err* error = nullptr;
    };

    static void ReadAncillary(msghdr& msg, Ancillary& out) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != IPPROTO_IP) continue;
            if (c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                std::memcpy(&out.ttl, CMSG_DATA(c), sizeof(int));
            } else if (c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                out.local = info.ipi_addr.s_addr;
            } else if (c->cmsg_type == IP_RECVERR && c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
                out.error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
            }
        }
    }

    // One datagram into message_ without waiting, EINTR retried; `msg` keeps the peer address and
    // the ancillary data for the caller to read.
    ssize_t ReceiveInto(msghdr& msg, iovec& iov, sockaddr_in& peer, char* control, std::size_t controlsize, int flags) {
        iov = iovec{message_, sizeof message_};
        msg = msghdr{};
        msg.msg_name = &peer;
        msg.msg_namelen = sizeof peer;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = controlsize;
        ssize_t n;
        do {
            n = ::recvmsg(fd_, &msg, flags | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    ssize_t ReceiveReply(std::uint8_t* buffer, std::size_t capacity) {
        sockaddr_in from{};
        iovec iov{};
        alignas(cmsghdr) char control[256];
        msghdr msg{};
        const ssize_t n = ReceiveInto(msg, iov, from, control, sizeof control, 0);
        receivedns_ = n >= 0 ? rxstamp::FromControl(msg) : -1;
        if (n < 0) return n;
        Ancillary a;
        ReadAncillary(msg, a);
        const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof message_);
        return Fit(buffer, capacity, RebuildIpv4(work_, sizeof work_, message_, length, from.sin_addr.s_addr, a.local, a.ttl));
    }

    ssize_t ReceiveError(std::uint8_t* buffer, std::size_t capacity) {
        sockaddr_in target{};
        iovec iov{};
        alignas(cmsghdr) char control[512];
        msghdr msg{};
        const ssize_t n = ReceiveInto(msg, iov, target, control, sizeof control, MSG_ERRQUEUE);
        if (n < 0) return 0;
        receivedns_ = rxstamp::FromControl(msg);
        Ancillary a;
        ReadAncillary(msg, a);
        // Only errors that an ICMP message brought; local ones (no route ...) are the send's own.
        if (a.error == nullptr || a.error->ee_origin != SO_EE_ORIGIN_ICMP) return 0;
        sock_extended_err ee;
        std::memcpy(&ee, a.error, sizeof ee);
        sockaddr_in offender{};
        const auto* off = reinterpret_cast<const std::uint8_t*>(a.error) + sizeof(sock_extended_err);
        const auto* end = reinterpret_cast<const std::uint8_t*>(control) + msg.msg_controllen;
        if (off + sizeof offender <= end) std::memcpy(&offender, off, sizeof offender);
        const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof message_);
        const std::size_t whole = RebuildIcmpError(work_, sizeof work_, ee.ee_type, ee.ee_code, ee.ee_info, message_, length,
                                                   offender.sin_addr.s_addr, a.local, target.sin_addr.s_addr, a.ttl);
        return whole == 0 ? 0 : Fit(buffer, capacity, whole);
    }

    ssize_t Fit(std::uint8_t* buffer, std::size_t capacity, std::size_t whole) const {
        const std::size_t copied = std::min(capacity, whole);
        std::memcpy(buffer, work_, copied);
        return static_cast<ssize_t>(copied);
    }

    int fd_;
    std::mutex bindlock_;
    bool bound_ = false;
    std::uint16_t identifier_ = 0;
    // Used by the receiving thread only.
    std::uint8_t message_[65536];
    std::uint8_t work_[65536 + 64];
};

// ---- packet helper --------------------------------------------------------------------------

std::int64_t MonotonicNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return rxstamp::Ns(ts);
}

class HelperChannel final : public IcmpChannel {
public:
    HelperChannel(int fd, pid_t pid) : fd_(fd), pid_(pid), buffer_(proto::kMaxForward) {}
    ~HelperChannel() override {
        ::close(fd_);  // the helper sees the end of its input and ends
        Reap(pid_);
    }
    IcmpPath path() const override { return IcmpPath::Helper; }
    int fd() const override { return fd_; }

    ssize_t SendEcho(std::uint32_t addr, std::uint16_t identifier, std::uint32_t tick, int datalength) override {
        const int length = WireLength(datalength);
        std::uint8_t req[proto::kRequestSize] = {proto::kEchoCommand};
        std::memcpy(req + 4, &addr, 4);
        req[8] = static_cast<std::uint8_t>(identifier & 0xFF);
        req[9] = static_cast<std::uint8_t>(identifier >> 8);
        req[10] = static_cast<std::uint8_t>(length & 0xFF);
        req[11] = static_cast<std::uint8_t>(length >> 8);
        for (int b = 0; b < 4; ++b) req[12 + b] = static_cast<std::uint8_t>(tick >> (8 * b));
        ssize_t n;
        do {
            n = ::send(fd_, req, sizeof req, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(sizeof req) ? length : -1;
    }

    ssize_t Receive(std::uint8_t* buffer, std::size_t capacity, bool* rebuilt) override {
        if (rebuilt != nullptr) *rebuilt = false;
        for (;;) {
            ssize_t n;
            do {
                n = ::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            if (n < 0) return n;
            if (n == 0) {  // the helper is gone
                errno = EPIPE;
                return -1;
            }
            std::size_t skip = 1;
            receivedns_ = -1;
            if (buffer_[0] == proto::kStampedDatagram) {
                // The helper's kernel stamp, already on the monotonic clock.
                if (n < 1 + 8) continue;
                std::uint64_t stamp = 0;
                for (int b = 0; b < 8; ++b) stamp |= static_cast<std::uint64_t>(buffer_[1 + static_cast<std::size_t>(b)]) << (8 * b);
                const auto value = static_cast<std::int64_t>(stamp);
                receivedns_ = value > 0 && value <= MonotonicNow() ? value : -1;
                skip = 9;
            } else if (buffer_[0] != proto::kDatagram) {
                continue;  // a send's outcome: nothing to show
            }
            const std::size_t copied = std::min(capacity, static_cast<std::size_t>(n) - skip);
            std::memcpy(buffer, buffer_.data() + skip, copied);
            return static_cast<ssize_t>(copied);
        }
    }

    static void Reap(pid_t pid) {
        if (pid <= 0) return;
        for (int i = 0; i < 100; ++i) {
            const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
            if (r == pid || (r < 0 && errno != EINTR)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

private:
    int fd_;
    pid_t pid_;
    std::vector<std::uint8_t> buffer_;  // receiving thread only
};

// Starts the helper on one end of a fresh socket pair and waits for its first word.
std::unique_ptr<IcmpChannel> StartHelper(const std::string& path, std::string& why) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        why = "could not be started (" + ErrorText(errno) + ")";
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
    // Nothing else of ours goes with it.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    std::string arg0 = path;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (rc != 0) {
        ::close(pair[0]);
        why = "at " + path + " could not be started (" + ErrorText(rc) + ")";
        return nullptr;
    }
    pollfd p{pair[0], POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, kHelperReadyMs);
    } while (ready < 0 && errno == EINTR);
    std::uint8_t word[5] = {};
    const ssize_t n = ready > 0 ? ::recv(pair[0], word, sizeof word, MSG_DONTWAIT) : -1;
    if (n >= 1 && word[0] == proto::kReady) return std::make_unique<HelperChannel>(pair[0], pid);
    ::close(pair[0]);
    HelperChannel::Reap(pid);
    if (n == 5 && word[0] == proto::kFailed) {
        const int error = word[1] | (word[2] << 8) | (word[3] << 16) | (word[4] << 24);
        why = "at " + path + " could not open its raw socket (" + ErrorText(error) + ")";
    } else {
        why = "at " + path + " did not answer";
    }
    return nullptr;
}

std::string ProgramFolder() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    std::string path(self, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Where the helper would be expected beside this program; for the notice when none is found.
std::string ExpectedHelperPath() {
    const std::string folder = ProgramFolder();
    return (folder.empty() ? std::string(".") : folder) + "/" + proto::kHelperName;
}

std::string BuildNotice(int rawerror, const std::string& helperwhy, const std::string& helperpath, int dgramerror) {
    std::string text = "Cannot send ICMP echo requests as this user: a raw socket is refused (" + ErrorText(rawerror) +
                       "), the packet helper " + helperwhy + ", and ICMP datagram sockets are refused (" +
                       ErrorText(dgramerror) + "). Either give the packet helper its capability once: \"sudo setcap cap_net_raw+ep " +
                       helperpath +
                       "\" (scripts/run.sh does this when started with sudo), or let your group use ICMP datagram sockets: "
                       "\"sudo sysctl -w net.ipv4.ping_group_range='0 2147483647'\" (put "
                       "\"net.ipv4.ping_group_range = 0 2147483647\" in /etc/sysctl.d/ to keep it).";
    return text;
}

}  // namespace

std::string FindPingHelper() {
    if (const char* env = std::getenv("VELTRIN_PING_HELPER"); env != nullptr && *env != '\0')
        return IsExecutableFile(env) ? std::string(env) : std::string();
    const std::string folder = ProgramFolder();
    if (folder.empty()) return {};
    const std::string candidates[] = {
        folder + "/" + proto::kHelperName,
        folder + "/../libexec/veltrin-ping/" + proto::kHelperName,
    };
    for (const auto& c : candidates)
        if (IsExecutableFile(c)) return c;
    return {};
}

bool HelperHasCapability(const std::string& path) {
    cap_t caps = cap_get_file(path.c_str());
    if (caps == nullptr) return false;
    cap_flag_value_t permitted = CAP_CLEAR, effective = CAP_CLEAR;
    cap_get_flag(caps, CAP_NET_RAW, CAP_PERMITTED, &permitted);
    cap_get_flag(caps, CAP_NET_RAW, CAP_EFFECTIVE, &effective);
    cap_free(caps);
    return permitted == CAP_SET && effective == CAP_SET;
}

IcmpChannelChoice OpenIcmpChannel() {
    IcmpChannelChoice choice;
    // 1. The process already has the right.
    const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (raw >= 0) {
        choice.channel = std::make_unique<RawChannel>(raw);
        currentpath.store(static_cast<int>(IcmpPath::Raw));
        return choice;
    }
    const int rawerror = errno != 0 ? errno : EPERM;

    // 2. The packet helper, when it carries its capability.
    std::string helperwhy;
    std::string helper = FindPingHelper();
    if (helper.empty()) {
        helperwhy = "is not installed (looked beside the program and in libexec/veltrin-ping)";
    } else if (!HelperHasCapability(helper)) {
        helperwhy = "at " + helper + " has no cap_net_raw capability";
    } else if (auto channel = StartHelper(helper, helperwhy)) {
        choice.channel = std::move(channel);
        currentpath.store(static_cast<int>(IcmpPath::Helper));
        return choice;
    }

    // 3. ICMP datagram sockets, where net.ipv4.ping_group_range admits our group.
    const int dgram = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (dgram >= 0) {
        choice.channel = std::make_unique<DatagramChannel>(dgram);
        currentpath.store(static_cast<int>(IcmpPath::Datagram));
        return choice;
    }
    const int dgramerror = errno != 0 ? errno : EACCES;

    choice.error = rawerror;
    choice.notice = BuildNotice(rawerror, helperwhy, helper.empty() ? ExpectedHelperPath() : helper, dgramerror);
    currentpath.store(static_cast<int>(IcmpPath::None));
    std::lock_guard<std::mutex> lock(noticelock);
    lastnotice = choice.notice;
    return choice;
}

int SendEchoOn(IcmpChannel& channel, const std::string& address, int interval, int datalength,
               const std::function<bool(int)>& pause,
               const std::function<void(std::uint16_t identifier, std::uint32_t tick)>& sending) {
    if (address.empty()) return 0;
    const std::int64_t product = static_cast<std::int64_t>(interval) * 100;
    const int pausems = product <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(product, INT32_MAX));
    const std::uint16_t id = channel.Identifier(CurrentThreadIdentifier());
    // A malformed text gives INADDR_NONE, the broadcast address; without SO_BROADCAST the send
    // then fails (and the helper refuses it), which is the wanted outcome.
    const in_addr_t dest = ::inet_addr(address.c_str());
    const std::uint32_t tick = TickCount();
    // Told before the echo leaves: on loopback its reply can be back before the send returns.
    if (sending) sending(id, tick);
    const ssize_t sent = channel.SendEcho(dest, id, tick, datalength);
    if (sent < 0) return 0;
    if (pausems > 0 && pause) pause(pausems);
    return static_cast<int>(sent);
}

IcmpPath CurrentIcmpPath() { return static_cast<IcmpPath>(currentpath.load()); }

std::string IcmpPathText(IcmpPath path) {
    switch (path) {
        case IcmpPath::Raw: return "ICMP through a raw socket (this process has the raw-socket right)";
        case IcmpPath::Helper: return "ICMP through the packet helper veltrin-ping-helper";
        case IcmpPath::Datagram: return "ICMP through datagram sockets (IP headers rebuilt by the program)";
        case IcmpPath::None: break;
    }
    return "no way to send ICMP";
}

std::string IcmpUnavailableNotice() {
    std::lock_guard<std::mutex> lock(noticelock);
    return lastnotice;
}

std::size_t RebuildIpv4(std::uint8_t* out, std::size_t capacity, const std::uint8_t* icmp, std::size_t icmplength,
                        std::uint32_t source, std::uint32_t destination, int ttl) {
    const std::size_t total = 20 + icmplength;
    if (out == nullptr || total > capacity || total > 0xFFFF || (icmplength > 0 && icmp == nullptr)) return 0;
    Ipv4Header(out, total, source, destination, ttl);
    if (icmplength > 0) std::memcpy(out + 20, icmp, icmplength);
    return total;
}

std::size_t RebuildIcmpError(std::uint8_t* out, std::size_t capacity, std::uint8_t type, std::uint8_t code,
                             std::uint32_t info, const std::uint8_t* quoted, std::size_t quotedlength,
                             std::uint32_t offender, std::uint32_t local, std::uint32_t target, int ttl) {
    // Outer header, 8 bytes of error message, the quoted header, the quoted bytes.
    const std::size_t total = 20 + 8 + 20 + quotedlength;
    if (out == nullptr || total > capacity || total > 0xFFFF || (quotedlength > 0 && quoted == nullptr)) return 0;
    std::uint8_t* icmp = out + 20;
    std::memset(icmp, 0, 8);
    icmp[0] = type;
    icmp[1] = code;
    // "Fragmentation needed" carries the next hop's MTU in the second half of the unused word.
    if (type == 3 && code == 4) Put16(icmp + 6, static_cast<std::uint16_t>(info & 0xFFFF));
    Ipv4Header(icmp + 8, 20 + quotedlength, local, target, 64);
    if (quotedlength > 0) std::memcpy(icmp + 28, quoted, quotedlength);
    const std::uint16_t sum = IcmpChecksum(icmp, total - 20);
    icmp[2] = static_cast<std::uint8_t>(sum & 0xFF);
    icmp[3] = static_cast<std::uint8_t>(sum >> 8);
    Ipv4Header(out, total, offender, local, ttl);
    return total;
}

int QuotedEchoIdentifier(const std::uint8_t* d, std::size_t length) {
    if (d == nullptr || length < 20 || (d[0] >> 4) != 4) return -1;
    const std::size_t ihl = static_cast<std::size_t>(d[0] & 0x0F) * 4;
    if (ihl < 20 || length < ihl + 8) return -1;
    const std::uint8_t type = d[ihl];
    if (type != 3 && type != 4 && type != 5 && type != 11 && type != 12) return -1;
    const std::uint8_t* q = d + ihl + 8;
    const std::size_t left = length - ihl - 8;
    if (left < 20 || (q[0] >> 4) != 4 || q[9] != IPPROTO_ICMP) return -1;
    const std::size_t qihl = static_cast<std::size_t>(q[0] & 0x0F) * 4;
    if (qihl < 20 || left < qihl + 8) return -1;
    const std::uint8_t* echo = q + qihl;
    if (echo[0] != 8) return -1;
    return echo[4] | (echo[5] << 8);
}

}  // namespace veltrin
