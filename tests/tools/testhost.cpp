// veltrin-testhost: a pingable test host in a network namespace of its own.
//
// Creates a namespace and a veth pair, puts 198.18.0.0/15 addresses (one /30 per host) on both
// ends so the root namespace reaches the host through the veth, and then answers echo requests
// either by the kernel or, with the kernel's echo switched off inside the namespace, from
// userspace with a chosen delay, loss, TTL, identifier rewrite, or an ICMP error message instead
// of the reply. Prints "ready <host> <gateway> <netns> <veth>" on stdout once pingable, runs
// until stdin reaches end of file (when stdin is a pipe: the owner died or let go), a signal,
// or the time limit, and removes everything it made on every one of those paths. Remains of a
// run that was killed outright are removed by the next run.
//
// Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2's "ip". Never runs a shell.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kNetnsPrefix = "vlt-th-";   // vlt-th-<block>-<pid>
constexpr const char* kVethPrefix = "vth";        // vth<block>a (root side), vth<block>b (host side)
constexpr const char* kLockPath = "/run/veltrin-testhost.lock";
constexpr std::uint32_t kBase = 0xC6120000;       // 198.18.0.0
constexpr int kBlocks = 1 << 15;                  // /30 blocks in 198.18.0.0/15

struct Options {
    int ttl = 64;
    int delay_ms = 0;
    int loss_percent = 0;
    int rewrite_id = -1;
    int error_type = -1;
    int error_code = 0;
    bool userspace = false;
    int max_seconds = 1800;
};

int signal_pipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(signal_pipe[1], &c, 1);
    errno = saved;
}

void Log(const std::string& text) { std::fprintf(stderr, "veltrin-testhost: %s\n", text.c_str()); }

std::string IpTool() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (::access(p, X_OK) == 0) return p;
    return "ip";
}

// Runs ip with an argument list; stderr is kept unless quiet. Returns the exit status.
int Ip(const std::vector<std::string>& args, bool quiet = false) {
    static const std::string tool = IpTool();
    std::vector<std::string> all{tool};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (!quiet) Log("cannot run " + tool + ": " + std::strerror(rc));
        return 127;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (code != 0 && !quiet) {
        std::string line;
        for (const auto& a : args) line += " " + a;
        Log("ip" + line + " failed with status " + std::to_string(code));
    }
    return code;
}

std::string Dotted(std::uint32_t hostorder) {
    in_addr a{};
    a.s_addr = htonl(hostorder);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool ProcessIsTestHost(long pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return false;
    char comm[64] = {};
    const bool read = std::fgets(comm, sizeof comm, f) != nullptr;
    std::fclose(f);
    return read && std::strncmp(comm, "veltrin-testhos", 15) == 0;  // comm keeps 15 characters
}

// Removes namespaces and root-side veths whose owning tool no longer runs. Called with the lock held.
void CleanStale() {
    std::vector<int> live_blocks;
    if (DIR* d = ::opendir("/run/netns")) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind(kNetnsPrefix, 0) != 0) continue;
            int block = -1;
            long pid = -1;
            if (std::sscanf(name.c_str() + std::strlen(kNetnsPrefix), "%d-%ld", &block, &pid) != 2) continue;
            if (pid > 0 && ProcessIsTestHost(pid) && pid != ::getpid()) {
                live_blocks.push_back(block);
                continue;
            }
            Log("removing stale " + name);
            Ip({"link", "del", kVethPrefix + std::to_string(block) + "a"}, true);
            Ip({"netns", "del", name}, true);
        }
        ::closedir(d);
    }
    // A root-side veth left without its namespace (the namespace was removed by hand).
    if (struct if_nameindex* list = ::if_nameindex()) {
        for (struct if_nameindex* i = list; i->if_index != 0 && i->if_name != nullptr; ++i) {
            int block = -1;
            char side = 0;
            const std::string n = i->if_name;
            if (n.rfind(kVethPrefix, 0) != 0) continue;
            if (std::sscanf(n.c_str() + std::strlen(kVethPrefix), "%d%c", &block, &side) != 2 || side != 'a') continue;
            bool live = false;
            for (int b : live_blocks) live = live || b == block;
            if (!live) {
                Log("removing stale " + n);
                Ip({"link", "del", n}, true);
            }
        }
        ::if_freenameindex(list);
    }
}

// True when the /30 block overlaps no IPv4 address or prefix already configured here.
bool BlockIsFree(int block) {
    const std::uint32_t lo = kBase + static_cast<std::uint32_t>(block) * 4;
    const std::uint32_t hi = lo + 3;
    if (::if_nametoindex((kVethPrefix + std::to_string(block) + "a").c_str()) != 0) return false;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) return false;
    bool free = true;
    for (ifaddrs* i = all; i != nullptr && free; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const std::uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        std::uint32_t mask = 0xFFFFFFFF;
        if (i->ifa_netmask != nullptr) mask = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        const std::uint32_t net_lo = a & mask, net_hi = net_lo | ~mask;
        if (!(net_hi < lo || net_lo > hi)) free = false;
    }
    ::freeifaddrs(all);
    return free;
}

bool WriteProc(const char* path, int value) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string text = std::to_string(value) + "\n";
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// The kernel drops what is sent through a veth until its link watcher has marked the device
// operational (and given it a queue), which can lag "ip link set up" by up to a second. Wait
// for it in the current namespace, so the first echo of a test is not lost.
bool WaitRunning(const std::string& name) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq req{};
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    bool running = false;
    for (int i = 0; i < 1000 && !running; ++i) {  // 10 s at most
        running = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_RUNNING) != 0;
        if (!running) ::usleep(10000);
    }
    ::close(fd);
    if (!running) Log(name + " did not come up");
    return running;
}

std::uint16_t Checksum(const std::uint8_t* p, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

long long NowNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

struct Pending {
    long long due_ns;
    std::uint32_t to;  // network order
    std::vector<std::uint8_t> message;
};

class TestHost {
public:
    explicit TestHost(const Options& o) : options_(o) {}
    ~TestHost() { TearDown(); }

    bool SetUp() {
        const int lock = ::open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
            Log(std::string("cannot take ") + kLockPath + ": " + std::strerror(errno));
            if (lock >= 0) ::close(lock);
            return false;
        }
        const bool ok = SetUpLocked();
        ::close(lock);  // releases the lock
        return ok;
    }

    int Run() {
        const long long end = NowNs() + static_cast<long long>(options_.max_seconds) * 1000000000LL;
        struct stat in {};
        const bool watch_stdin = ::fstat(0, &in) == 0 && (S_ISFIFO(in.st_mode) || S_ISSOCK(in.st_mode));
        std::deque<Pending> queue;
        std::uint64_t requests = 0;
        for (;;) {
            pollfd fds[3] = {{signal_pipe[0], POLLIN, 0}, {raw_, POLLIN, 0}, {watch_stdin ? 0 : -1, POLLIN, 0}};
            long long now = NowNs();
            if (now >= end) {
                Log("time limit reached");
                return 0;
            }
            long long wait = end - now;
            if (!queue.empty()) wait = std::max(0LL, std::min(wait, queue.front().due_ns - now));
            timespec timeout{static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
            const int n = ::ppoll(fds, 3, &timeout, nullptr);
            if (n < 0 && errno != EINTR) {
                Log(std::string("poll: ") + std::strerror(errno));
                return 1;
            }
            if (fds[0].revents & POLLIN) return 0;
            if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[256];
                const ssize_t r = ::read(0, buf, sizeof buf);
                if (r <= 0) return 0;  // the owner closed its end
            }
            if (raw_ >= 0 && (fds[1].revents & POLLIN)) {
                std::uint8_t buf[65536];
                sockaddr_in from{};
                socklen_t fromlen = sizeof from;
                const ssize_t r = ::recvfrom(raw_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
                if (r > 0) Answer(buf, static_cast<std::size_t>(r), requests, queue);
            }
            now = NowNs();
            while (!queue.empty() && queue.front().due_ns <= now) {
                Send(queue.front());
                queue.pop_front();
            }
        }
    }

    std::string ReadyLine() const {
        return "ready " + Dotted(host_) + " " + Dotted(gateway_) + " " + netns_ + " " + veth_a_ + "\n";
    }

private:
    bool SetUpLocked() {
        CleanStale();
        const long pid = ::getpid();
        int block = -1;
        for (int i = 0; i < kBlocks; ++i) {
            const int candidate = static_cast<int>((static_cast<unsigned long>(pid) * 40503u + i) % kBlocks);
            if (BlockIsFree(candidate)) {
                block = candidate;
                break;
            }
        }
        if (block < 0) {
            Log("no free /30 left in 198.18.0.0/15");
            return false;
        }
        gateway_ = kBase + static_cast<std::uint32_t>(block) * 4 + 1;
        host_ = gateway_ + 1;
        netns_ = kNetnsPrefix + std::to_string(block) + "-" + std::to_string(pid);
        veth_a_ = kVethPrefix + std::to_string(block) + "a";
        veth_b_ = kVethPrefix + std::to_string(block) + "b";

        if (Ip({"netns", "add", netns_}) != 0) return false;
        made_netns_ = true;
        if (Ip({"link", "add", veth_a_, "type", "veth", "peer", "name", veth_b_, "netns", netns_}) != 0) return false;
        made_veth_ = true;
        const std::string g = Dotted(gateway_) + "/30", h = Dotted(host_) + "/30";
        if (Ip({"addr", "add", g, "dev", veth_a_}) != 0 || Ip({"link", "set", veth_a_, "up"}) != 0 ||
            Ip({"-n", netns_, "link", "set", "lo", "up"}) != 0 ||
            Ip({"-n", netns_, "addr", "add", h, "dev", veth_b_}) != 0 ||
            Ip({"-n", netns_, "link", "set", veth_b_, "up"}) != 0 ||
            Ip({"-n", netns_, "route", "add", "default", "via", Dotted(gateway_)}) != 0)
            return false;
        return ConfigureInside();
    }

    // Sysctls and the responder socket belong to the host's namespace: enter it for them.
    bool ConfigureInside() {
        const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int there = ::open(("/run/netns/" + netns_).c_str(), O_RDONLY | O_CLOEXEC);
        if (home < 0 || there < 0 || ::setns(there, CLONE_NEWNET) != 0) {
            Log(std::string("cannot enter ") + netns_ + ": " + std::strerror(errno));
            if (home >= 0) ::close(home);
            if (there >= 0) ::close(there);
            return false;
        }
        bool ok = WriteProc("/proc/sys/net/ipv4/ip_default_ttl", options_.ttl);
        ok = ok && WriteProc("/proc/sys/net/ipv4/icmp_echo_ignore_all", Userspace() ? 1 : 0);
        if (!ok) Log(std::string("cannot set sysctls in ") + netns_ + ": " + std::strerror(errno));
        if (ok && Userspace()) {
            raw_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            const int ttl = options_.ttl;
            if (raw_ < 0 || ::setsockopt(raw_, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) {
                Log(std::string("responder socket: ") + std::strerror(errno));
                ok = false;
            }
        }
        ok = ok && WaitRunning(veth_b_);
        if (::setns(home, CLONE_NEWNET) != 0) {
            Log(std::string("cannot return to the root namespace: ") + std::strerror(errno));
            ok = false;
        }
        ::close(home);
        ::close(there);
        return ok && WaitRunning(veth_a_);
    }

    bool Userspace() const {
        return options_.userspace || options_.delay_ms > 0 || options_.loss_percent > 0 || options_.rewrite_id >= 0 ||
               options_.error_type >= 0;
    }

    void Answer(const std::uint8_t* p, std::size_t n, std::uint64_t& requests, std::deque<Pending>& queue) {
        if (n < 20) return;
        const std::size_t ihl = static_cast<std::size_t>(p[0] & 0x0F) * 4;
        if (ihl < 20 || n < ihl + 8) return;
        std::uint32_t src = 0, dst = 0;
        std::memcpy(&src, p + 12, 4);
        std::memcpy(&dst, p + 16, 4);
        if (dst != htonl(host_) || p[ihl] != 8) return;  // only echo requests sent to this host
        const std::uint64_t k = requests++;
        const int loss = options_.loss_percent;
        // An exact, repeatable share: request k is lost when the running count of losses steps.
        if ((k + 1) * loss / 100 > k * loss / 100) return;

        Pending out;
        out.to = src;
        out.due_ns = NowNs() + static_cast<long long>(options_.delay_ms) * 1000000LL;
        if (options_.error_type >= 0) {
            // An error message quotes the offending datagram's IP header and its first 8 bytes.
            out.message = {static_cast<std::uint8_t>(options_.error_type), static_cast<std::uint8_t>(options_.error_code),
                           0, 0, 0, 0, 0, 0};
            out.message.insert(out.message.end(), p, p + ihl + 8);
        } else {
            out.message.assign(p + ihl, p + n);
            out.message[0] = 0;  // echo reply, code kept
            if (options_.rewrite_id >= 0) {
                // The engine writes its identifier low byte first; keep that order when replacing it.
                out.message[4] = static_cast<std::uint8_t>(options_.rewrite_id & 0xFF);
                out.message[5] = static_cast<std::uint8_t>((options_.rewrite_id >> 8) & 0xFF);
            }
        }
        out.message[2] = out.message[3] = 0;
        const std::uint16_t sum = Checksum(out.message.data(), out.message.size());
        out.message[2] = static_cast<std::uint8_t>(sum >> 8);
        out.message[3] = static_cast<std::uint8_t>(sum & 0xFF);
        queue.push_back(std::move(out));
    }

    void Send(const Pending& p) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = p.to;
        if (::sendto(raw_, p.message.data(), p.message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
            Log(std::string("sendto: ") + std::strerror(errno));
    }

    void TearDown() {
        if (raw_ >= 0) ::close(raw_);
        raw_ = -1;
        if (!made_veth_ && !made_netns_) return;
        const int lock = ::open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock >= 0) ::flock(lock, LOCK_EX);
        if (made_veth_) Ip({"link", "del", veth_a_}, true);  // takes the peer with it
        if (made_netns_) Ip({"netns", "del", netns_});
        made_veth_ = made_netns_ = false;
        if (lock >= 0) ::close(lock);
    }

    Options options_;
    std::uint32_t gateway_ = 0, host_ = 0;  // host byte order
    std::string netns_, veth_a_, veth_b_;
    bool made_netns_ = false, made_veth_ = false;
    int raw_ = -1;
};

bool ParseInt(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

void Usage() {
    std::fprintf(stderr,
                 "usage: veltrin-testhost [--ttl N] [--delay-ms N] [--loss-percent N] [--rewrite-id N]\n"
                 "                        [--error TYPE[/CODE]] [--userspace] [--max-seconds N]\n"
                 "       veltrin-testhost --clean-stale\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool clean_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (a == "--userspace") {
            o.userspace = true;
        } else if (a == "--clean-stale") {
            clean_only = true;
        } else if (v == nullptr) {
            ok = false;
        } else if (a == "--ttl") {
            ok = ParseInt(v, 1, 255, o.ttl), ++i;
        } else if (a == "--delay-ms") {
            ok = ParseInt(v, 0, 60000, o.delay_ms), ++i;
        } else if (a == "--loss-percent") {
            ok = ParseInt(v, 0, 100, o.loss_percent), ++i;
        } else if (a == "--rewrite-id") {
            ok = ParseInt(v, 0, 0xFFFF, o.rewrite_id), ++i;
        } else if (a == "--max-seconds") {
            ok = ParseInt(v, 1, 86400, o.max_seconds), ++i;
        } else if (a == "--error") {
            std::string t = v, c = "0";
            if (const auto slash = t.find('/'); slash != std::string::npos) c = t.substr(slash + 1), t.resize(slash);
            ok = ParseInt(t.c_str(), 0, 255, o.error_type) && ParseInt(c.c_str(), 0, 255, o.error_code), ++i;
        } else {
            ok = false;
        }
        if (!ok) {
            Usage();
            return 2;
        }
    }

    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigemptyset(&sa.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) ::sigaction(s, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    if (clean_only) {
        const int lock = ::open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock >= 0) ::flock(lock, LOCK_EX);
        CleanStale();
        if (lock >= 0) ::close(lock);
        return 0;
    }
    if (::geteuid() != 0) {
        Log("needs root to create network namespaces");
        return 1;
    }

    TestHost host(o);
    if (!host.SetUp()) return 1;  // the destructor removes what was made
    const std::string line = host.ReadyLine();
    if (::write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    return host.Run();
}
