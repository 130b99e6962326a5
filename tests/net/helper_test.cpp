// veltrin-ping-helper as the program meets it: started as an ordinary user (nobody) from a copy
// that carries cap_net_raw, on a SOCK_SEQPACKET pair; real echoes on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "helper/protocol.h"
#include "monitor/echoledger.h"
#include "net/unprivileged_helper.h"

namespace {

using namespace veltrin::testing;
namespace proto = veltrin::helperproto;
using Clock = std::chrono::steady_clock;

// Child side after fork: become nobody and run the helper with `input` as standard input.
[[noreturn]] void ExecAsNobody(const std::string& path, int input, const std::vector<std::string>& extra = {}) {
    if (input != STDIN_FILENO) ::dup2(input, STDIN_FILENO);
    const int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) ::dup2(devnull, STDOUT_FILENO);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0)
        ::_exit(125);
    std::vector<std::string> args = {path};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(126);
}

struct Word {
    std::uint8_t kind = 0;
    std::uint32_t value = 0;
    std::vector<std::uint8_t> bytes;  // a datagram, without its type byte
    std::int64_t stamp = -1;          // the kernel's receive time (CLOCK_MONOTONIC ns) it came with
};

class Helper {
public:
    explicit Helper(const std::string& path) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) ExecAsNobody(path, pair[1]);
        ::close(pair[1]);
        fd_ = pair[0];
    }
    ~Helper() {
        if (fd_ >= 0) ::close(fd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    int fd() const { return fd_; }

    bool Next(Word& w, int timeoutms = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutms) <= 0) return false;
        std::vector<std::uint8_t> buf(proto::kMaxForward);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n <= 0) return false;
        w.kind = buf[0];
        w.value = 0;
        w.bytes.clear();
        w.stamp = -1;
        if (w.kind == proto::kStampedDatagram && n >= 9) {
            std::uint64_t stamp = 0;
            for (int b = 0; b < 8; ++b) stamp |= static_cast<std::uint64_t>(buf[1 + static_cast<std::size_t>(b)]) << (8 * b);
            w.stamp = static_cast<std::int64_t>(stamp);
            w.kind = proto::kDatagram;  // the same datagram, stamped
            w.bytes.assign(buf.begin() + 9, buf.begin() + n);
        } else if (w.kind == proto::kDatagram) {
            w.bytes.assign(buf.begin() + 1, buf.begin() + n);
        } else if (n == 5) {
            w.value = buf[1] | (buf[2] << 8) | (buf[3] << 16) | (static_cast<std::uint32_t>(buf[4]) << 24);
        }
        return true;
    }
    // The next word that is not a forwarded datagram.
    bool NextReport(Word& w, std::vector<Word>* datagrams = nullptr) {
        while (Next(w)) {
            if (w.kind != proto::kDatagram) return true;
            if (datagrams) datagrams->push_back(w);
        }
        return false;
    }
    bool Send(const std::vector<std::uint8_t>& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

std::vector<std::uint8_t> Request(const char* dest, std::uint16_t id, int length, std::uint32_t tick = 0x01020304) {
    std::vector<std::uint8_t> r(proto::kRequestSize, 0);
    r[0] = proto::kEchoCommand;
    const in_addr_t a = ::inet_addr(dest);
    std::memcpy(r.data() + 4, &a, 4);
    r[8] = static_cast<std::uint8_t>(id & 0xFF);
    r[9] = static_cast<std::uint8_t>(id >> 8);
    r[10] = static_cast<std::uint8_t>(length & 0xFF);
    r[11] = static_cast<std::uint8_t>(length >> 8);
    for (int b = 0; b < 4; ++b) r[12 + b] = static_cast<std::uint8_t>(tick >> (8 * b));
    return r;
}

int EchoId(const Word& w) {
    if (w.bytes.size() < 28) return -1;
    const std::size_t ihl = (w.bytes[0] & 0x0F) * 4u;
    if (w.bytes.size() < ihl + 8) return -1;
    return w.bytes[ihl + 4] | (w.bytes[ihl + 5] << 8);
}

class HelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = UnprivilegedSkipReason(); !why.empty()) GTEST_SKIP() << why;
    }
};

TEST_F(HelperTest, ServesEchoesWithNoCapabilityLeft) {
    HelperCopy copy(true);
    ASSERT_TRUE(copy.ok()) << copy.error();
    Helper helper(copy.path());
    Word w;
    ASSERT_TRUE(helper.Next(w));
    ASSERT_EQ(w.kind, proto::kReady);
    // While it serves, only the open socket is privileged.
    EXPECT_EQ(ProcStatusField(helper.pid(), "CapEff"), "0000000000000000");
    EXPECT_EQ(ProcStatusField(helper.pid(), "CapPrm"), "0000000000000000");
    EXPECT_EQ(ProcStatusField(helper.pid(), "CapAmb"), "0000000000000000");
    EXPECT_EQ(ProcStatusField(helper.pid(), "NoNewPrivs"), "1");
    EXPECT_EQ(ProcStatusField(helper.pid(), "Uid"), std::to_string(kNobody));

    const std::uint16_t id = static_cast<std::uint16_t>(0xC000 | (::getpid() & 0x0FFF));
    ASSERT_TRUE(helper.Send(Request("127.0.0.1", id, 32, 0xA1B2C3D4)));
    std::vector<Word> datagrams;
    ASSERT_TRUE(helper.NextReport(w, &datagrams));
    EXPECT_EQ(w.kind, proto::kSent);
    EXPECT_EQ(w.value, 0u);
    // The reply comes back whole, IPv4 header first, with the message the helper built.
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    bool replied = false;
    while (!replied && Clock::now() < deadline) {
        for (const Word& d : datagrams) {
            if (EchoId(d) != id || d.bytes[20] != 0) continue;
            EXPECT_EQ(d.bytes.size(), 20u + 32u);
            EXPECT_EQ(d.bytes[9], 1);                                // ICMP
            EXPECT_EQ(d.bytes[28], 0xD4);                            // tick, low byte first
            EXPECT_EQ(d.bytes[31], 0xA1);
            EXPECT_EQ(d.bytes[32], 0x55);                            // the engine's fill
            // Stamped by the kernel on arrival, on the clock our send times use.
            EXPECT_GT(d.stamp, 0);
            EXPECT_LE(d.stamp, veltrin::MonotonicNs());
            EXPECT_GT(d.stamp, veltrin::MonotonicNs() - 10'000'000'000);
            replied = true;
        }
        datagrams.clear();
        if (!replied && helper.Next(w, 200) && w.kind == proto::kDatagram) datagrams.push_back(w);
    }
    EXPECT_TRUE(replied);
}

TEST_F(HelperTest, RefusesWhatItMustNotSend) {
    HelperCopy copy(true);
    ASSERT_TRUE(copy.ok()) << copy.error();
    Helper helper(copy.path());
    Word w;
    ASSERT_TRUE(helper.Next(w));
    ASSERT_EQ(w.kind, proto::kReady);

    const std::uint16_t base = static_cast<std::uint16_t>(0xD000 | ((::getpid() & 0xFF) << 4));
    auto withbyte = [](std::vector<std::uint8_t> r, std::size_t at, std::uint8_t v) {
        r[at] = v;
        return r;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> request;
    };
    const std::vector<Case> cases = {
        {"one byte", {proto::kEchoCommand}},
        {"garbage of the right size", std::vector<std::uint8_t>(proto::kRequestSize, 0xFF)},
        {"one byte too long", [&] { auto r = Request("127.0.0.1", base, 32); r.push_back(0); return r; }()},
        {"unknown command", withbyte(Request("127.0.0.1", base + 1, 32), 0, 'X')},
        {"reserved byte set", withbyte(Request("127.0.0.1", base + 2, 32), 2, 1)},
        {"this-host address", Request("0.0.0.0", base + 3, 32)},
        {"limited broadcast", Request("255.255.255.255", base + 4, 32)},
        {"multicast", Request("224.0.0.1", base + 5, 32)},
        {"reserved class E", Request("240.0.0.1", base + 6, 32)},
        {"message too short", Request("127.0.0.1", base + 7, 11)},
        {"message too long", Request("127.0.0.1", base + 8, 1025)},
        {"zero length", Request("127.0.0.1", base + 9, 0)},
    };
    std::vector<Word> seen;
    for (const Case& c : cases) {
        ASSERT_TRUE(helper.Send(c.request)) << c.what;
        ASSERT_TRUE(helper.NextReport(w, &seen)) << c.what;
        EXPECT_EQ(w.kind, proto::kSent) << c.what;
        EXPECT_EQ(w.value, static_cast<std::uint32_t>(EINVAL)) << c.what;
    }
    // Still serving, and nothing of the refused requests went out: the raw socket sees every
    // ICMP datagram of this host, the helper's own requests to loopback included.
    const std::uint16_t good = base + 15;
    ASSERT_TRUE(helper.Send(Request("127.0.0.1", good, 12)));
    ASSERT_TRUE(helper.NextReport(w, &seen));
    EXPECT_EQ(w.value, 0u);
    bool answered = false;
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (!answered && Clock::now() < deadline) {
        if (helper.Next(w, 200) && w.kind == proto::kDatagram) seen.push_back(w);
        for (const Word& d : seen)
            if (EchoId(d) == good && d.bytes[20] == 0) answered = true;
    }
    EXPECT_TRUE(answered);
    for (const Word& d : seen) {
        const int id = EchoId(d);
        EXPECT_FALSE(id >= base && id < good) << "a refused request was sent, id " << id;
    }
}

TEST_F(HelperTest, RefusesToRunByHand) {
    HelperCopy copy(true);
    ASSERT_TRUE(copy.ok()) << copy.error();
    struct Case {
        const char* what;
        int input;  // -1: a new pseudo-terminal
        std::vector<std::string> args;
    };
    int pipefd[2];
    ASSERT_EQ(::pipe2(pipefd, O_CLOEXEC), 0);
    int stream[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stream), 0);
    int seq[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, seq), 0);
    const std::vector<Case> cases = {
        {"from a terminal", -1, {}},
        {"from a pipe", pipefd[0], {}},
        {"from a stream socket", stream[1], {}},
        {"with an argument", seq[1], {"--serve"}},
    };
    for (const Case& c : cases) {
        int master = -1, slave = -1;
        if (c.input < 0) {
            ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        }
        int err[2];
        ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(err[1], STDERR_FILENO);
            ExecAsNobody(copy.path(), c.input < 0 ? slave : c.input, c.args);
        }
        ::close(err[1]);
        if (slave >= 0) ::close(slave);
        std::string text;
        char buf[256];
        for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
        ::close(err[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (master >= 0) ::close(master);
        EXPECT_TRUE(WIFEXITED(status)) << c.what;
        EXPECT_EQ(WEXITSTATUS(status), 2) << c.what;
        EXPECT_NE(text.find("usage:"), std::string::npos) << c.what << ": " << text;
    }
    for (int fd : {pipefd[0], pipefd[1], stream[0], stream[1], seq[0], seq[1]}) ::close(fd);
}

TEST_F(HelperTest, WithoutItsCapabilitySaysWhyAndEnds) {
    HelperCopy copy(false);
    ASSERT_TRUE(copy.ok()) << copy.error();
    Helper helper(copy.path());
    Word w;
    ASSERT_TRUE(helper.Next(w));
    EXPECT_EQ(w.kind, proto::kFailed);
    EXPECT_EQ(w.value, static_cast<std::uint32_t>(EPERM));
    int status = 0;
    ASSERT_EQ(::waitpid(helper.pid(), &status, 0), helper.pid());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

// The program is killed outright: the helper notices its input's end and goes within a second.
TEST_F(HelperTest, EndsWhenItsParentIsKilled) {
    HelperCopy copy(true);
    ASSERT_TRUE(copy.ok()) << copy.error();
    // Orphans come to this process, so the helper can be waited for here.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    const pid_t parent = ::fork();
    if (parent == 0) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) ::_exit(1);
        const pid_t helper = ::fork();
        if (helper == 0) ExecAsNobody(copy.path(), pair[1]);
        ::close(pair[1]);
        pollfd p{pair[0], POLLIN, 0};
        std::uint8_t word[8];
        const bool ready = ::poll(&p, 1, 3000) > 0 && ::recv(pair[0], word, sizeof word, 0) >= 1 && word[0] == proto::kReady;
        const pid_t told = ready ? helper : -1;
        [[maybe_unused]] const ssize_t n = ::write(report[1], &told, sizeof told);
        for (;;) ::pause();
    }
    ::close(report[1]);
    pid_t helper = -1;
    ASSERT_EQ(::read(report[0], &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
    ::close(report[0]);
    ASSERT_GT(helper, 0) << "the helper did not get ready";
    ASSERT_EQ(::kill(parent, SIGKILL), 0);
    ASSERT_EQ(::waitpid(parent, nullptr, 0), parent);
    const auto killed = Clock::now();
    bool ended = false;
    while (!ended && Clock::now() - killed < std::chrono::seconds(1)) {
        ended = ::waitpid(helper, nullptr, WNOHANG) == helper;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        ::kill(helper, SIGKILL);
        ::waitpid(helper, nullptr, 0);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    EXPECT_TRUE(ended) << "the helper outlived its parent by more than a second";
}

}  // namespace
