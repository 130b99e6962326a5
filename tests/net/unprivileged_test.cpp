// The program as an ordinary account runs it: nobody, no capability, in a private network
// namespace whose net.ipv4.ping_group_range each test sets. Three ways to ICMP are tried in
// turn: datagram sockets, the packet helper, neither; and a root-started program keeps only
// cap_net_raw. The whole test program enters its namespace before the first test.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/global_unit.h"
#include "engine/icmp_channel.h"
#include "monitor/detailstat.h"
#include "monitor/pingthreads.h"
#include "monitor/worker.h"
#include "net/testhost_helper.h"
#include "net/unprivileged_helper.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace veltrin;
using namespace veltrin::testing;
using Clock = std::chrono::steady_clock;

constexpr const char* kNoCapability = "0000000000000000";
constexpr const char* kNetRawOnly = "0000000000002000";

std::string enterfailure;  // why the private namespace could not be entered

class PrivateNetwork : public ::testing::Environment {
public:
    void SetUp() override {
        if (UnprivilegedSkipReason().empty()) enterfailure = EnterPrivateNetwork();
    }
};
[[maybe_unused]] ::testing::Environment* const privatenetwork = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

std::string Program() { return std::string(VELTRIN_BINARY_DIR) + "/src/app/veltrin-ping"; }

struct Outcome {
    int status = -1;  // exit status; -1 when it did not exit by itself
    std::string out, err;
    std::string capeff, capprm, capbnd;  // read from /proc while it ran
    std::string helpercapeff;            // of its first child, if it had one by then
};

// The first child process of `pid`, whichever of its threads started it; 0 when none.
pid_t FirstChild(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid) + "/task/";
    DIR* d = ::opendir(base.c_str());
    if (d == nullptr) return 0;
    pid_t found = 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(base + e->d_name + "/children");
        pid_t child = 0;
        if (in >> child && child > 0) {
            found = child;
            break;
        }
    }
    ::closedir(d);
    return found;
}

// Starts argv with the environment changes, reads its /proc status after `lookafter`, and
// collects its output until it ends (bounded); with `end`, sends it SIGTERM right after the look.
Outcome Start(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& envchanges,
          std::chrono::milliseconds lookafter, bool end = false) {
    Outcome result;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : envchanges)
            if (entry.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& [name, value] : envchanges)
        if (!value.empty()) env.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argcopy = args;
    for (auto& a : argcopy) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        result.err = std::string("spawn failed: ") + std::strerror(rc);
        return result;
    }
    const auto started = Clock::now();
    const auto deadline = started + 60s;
    bool looked = false, outopen = true, erropen = true;
    while (outopen || erropen) {
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (!looked && Clock::now() - started >= lookafter) {
            looked = true;
            result.capeff = ProcStatusField(pid, "CapEff");
            result.capprm = ProcStatusField(pid, "CapPrm");
            result.capbnd = ProcStatusField(pid, "CapBnd");
            if (const pid_t child = FirstChild(pid); child > 0) result.helpercapeff = ProcStatusField(child, "CapEff");
            if (end) ::kill(pid, SIGTERM);
        }
        pollfd fds[2] = {{outopen ? out[0] : -1, POLLIN, 0}, {erropen ? err[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, 50) < 0 && errno != EINTR) break;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            else
                (i == 0 ? outopen : erropen) = false;
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Unprivileged : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = UnprivilegedSkipReason(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_EQ(enterfailure, "") << "private network namespace";
        char pattern[] = "/tmp/veltrin-unpriv-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        // nobody writes its settings folder here.
        ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
        list = dir + "/list.spl";
        std::ofstream(list, std::ios::binary) << "127.0.0.1_   TTL  Timeout     \r\r\n127.0.0.2_   TTL  Timeout     \r\r\n";
        ::chmod(list.c_str(), 0644);
    }
    void TearDown() override {
        if (dir.empty()) return;
        SetPingGroupRange("1 0");
        // Whatever the program wrote as nobody (settings, state) goes with the folder.
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::vector<std::pair<std::string, std::string>> Env(const std::string& helper) const {
        return {{"XDG_CONFIG_HOME", dir + "/config"}, {"HOME", dir}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""},
                {"VELTRIN_PING_HELPER", helper}, {"VELTRIN_PROBEHOST", "127.0.0.1"},
                // A window of its own, never handed to one the user (or another test) runs.
                {"XDG_RUNTIME_DIR", dir}};
    }
    Outcome Console(const std::string& helper, const std::string& seconds = "4") {
        return Start(AsNobody({Program(), "--console", list, "--seconds", seconds, "--verbose"}), Env(helper), 2500ms);
    }
    static bool Answered(const std::string& out, const std::string& address) {
        std::string escaped;
        for (char c : address) escaped += c == '.' ? std::string("\\.") : std::string(1, c);
        return std::regex_search(out, std::regex(escaped + "_   TTL 64 Timeout [0-9]+  return data length:   32  "));
    }
    std::string dir, list;
    const std::string nohelper = "/nonexistent/veltrin-ping-helper";
};

TEST_F(Unprivileged, ConsoleThroughDatagramSockets) {
    ASSERT_TRUE(SetPingGroupRange("0 2147483647"));
    const Outcome r = Console(nohelper);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Answered(r.out, "127.0.0.1")) << r.out;
    EXPECT_TRUE(Answered(r.out, "127.0.0.2")) << r.out;
    EXPECT_EQ(r.err.find("Cannot send ICMP"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ICMP through datagram sockets"), std::string::npos) << r.err;
    EXPECT_EQ(r.capeff, kNoCapability);
    EXPECT_EQ(r.capprm, kNoCapability);
}

TEST_F(Unprivileged, ConsoleThroughThePacketHelper) {
    ASSERT_TRUE(SetPingGroupRange("1 0"));
    HelperCopy helper(true);
    ASSERT_TRUE(helper.ok()) << helper.error();
    const Outcome r = Console(helper.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Answered(r.out, "127.0.0.1")) << r.out;
    EXPECT_TRUE(Answered(r.out, "127.0.0.2")) << r.out;
    EXPECT_EQ(r.err.find("Cannot send ICMP"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ICMP through the packet helper"), std::string::npos) << r.err;
    EXPECT_EQ(r.capeff, kNoCapability);
    EXPECT_EQ(r.capprm, kNoCapability);
    // The helper it started serves with nothing left but its open socket.
    EXPECT_EQ(r.helpercapeff, kNoCapability);
}

TEST_F(Unprivileged, NeitherWayGivesOneNoticeAndAQuietEnd) {
    ASSERT_TRUE(SetPingGroupRange("1 0"));
    HelperCopy uncapped(false);
    ASSERT_TRUE(uncapped.ok()) << uncapped.error();
    const Outcome r = Console(uncapped.path(), "3");
    // Ends by itself at once, with the status that says no way to send ICMP.
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(Count(r.err, "Cannot send ICMP echo requests"), 1u) << r.err;
    // Both remedies, and the kernel's reasons.
    EXPECT_NE(r.err.find("setcap cap_net_raw+ep " + uncapped.path()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("has no cap_net_raw"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("net.ipv4.ping_group_range"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Operation not permitted"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    EXPECT_LT(r.err.size(), 2000u) << "a flood of messages";
    EXPECT_LT(r.out.size(), 2000u) << "a flood of messages";
    EXPECT_FALSE(Answered(r.out, "127.0.0.1"));
    // With nothing to do the console is usually gone before its status can be read; when it was
    // still there, it held nothing.
    if (!r.capeff.empty()) {
        EXPECT_EQ(r.capeff, kNoCapability);
    }
}

TEST_F(Unprivileged, RootStartedConsoleKeepsOnlyNetRaw) {
    const Outcome r = Start({Program(), "--console", list, "--seconds", "3"}, Env(nohelper), 1500ms);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Answered(r.out, "127.0.0.1")) << r.out;
    EXPECT_EQ(r.capeff, kNetRawOnly);
    EXPECT_EQ(r.capprm, kNetRawOnly);
    EXPECT_EQ(r.capbnd, kNetRawOnly);
}

TEST_F(Unprivileged, RootStartedWindowKeepsOnlyNetRaw) {
    auto env = Env(nohelper);
    env.push_back({"QT_QPA_PLATFORM", "offscreen"});
    // The window runs until it is ended: SIGTERM right after the look.
    const Outcome r = Start({Program(), list}, env, 2000ms, true);
    EXPECT_EQ(r.capeff, kNetRawOnly) << r.err;
    EXPECT_EQ(r.capprm, kNetRawOnly);
    EXPECT_EQ(r.capbnd, kNetRawOnly);
}

// The sender and receiver pair of a detail window, run by nobody on datagram sockets: the
// statistics count the replies, and an ICMP error of a test host arrives as a decoded record.
class DetailPair {
public:
    struct Seen {
        std::vector<Tdecordbuf> records;
        Tdetailstat stat;
    };
    // Runs the pair towards `address` for `span` as the window thread, on the calling thread.
    static Seen RunFor(const std::string& address, std::chrono::milliseconds span, const std::function<bool(const Seen&)>& enough) {
        Seen seen;
        StepQueue queue;
        queue.SetWindowThread(std::this_thread::get_id());
        Threaded<tsendthread> sender(
            queue,
            [&](SendTarget& t) {
                t.ip = address;
                t.interval = 2;
                t.datalength = 32;
                return true;
            },
            [&](int) { AccountSend(seen.stat); }, 100);
        tsendthread* const s = &sender;
        Threaded<trecvthread> receiver(
            queue, [s] { return s->Started() ? int{s->Identifier()} : -1; },
            [&](const std::uint8_t*, int length, const Tdecordbuf& reply) {
                seen.records.push_back(reply);
                std::int32_t rtt = 0;
                if (ReplyRoundTrip(reply.replytime, rtt)) AccountReply(seen.stat, rtt, length);
            });
        ShareChannel(sender, receiver);
        receiver.Start();
        sender.Start();
        const auto end = Clock::now() + span;
        while (Clock::now() < end && !enough(seen)) queue.WaitAndDrain(5);
        sender.gate().RequestStop();
        receiver.gate().RequestStop();
        sender.Stop();
        receiver.Stop();
        queue.Drain();
        return seen;
    }
};

TEST_F(Unprivileged, DetailPairCountsRepliesOnDatagramSockets) {
    ASSERT_TRUE(SetPingGroupRange("0 2147483647"));
    EngineStartup();
    DetailPair::Seen seen;
    std::string capeff;
    IcmpPath path = IcmpPath::None;
    ASSERT_TRUE(RunOnNobodyThread([&] {
        capeff = ProcStatusField(::getpid(), "CapEff", static_cast<pid_t>(::syscall(SYS_gettid)));
        seen = DetailPair::RunFor("127.0.0.1", 5s, [](const DetailPair::Seen& s) { return s.stat.recvcount >= 3; });
        path = CurrentIcmpPath();
    }));
    EngineShutdown();
    EXPECT_EQ(capeff, kNoCapability);
    EXPECT_EQ(path, IcmpPath::Datagram);
    EXPECT_GE(seen.stat.recvcount, 3);
    // A send is counted after its interval pause, so the newest reply may be ahead by one.
    EXPECT_GE(seen.stat.sentcount + 1, seen.stat.recvcount);
    ASSERT_FALSE(seen.records.empty());
    const Tdecordbuf& r = seen.records.front();
    EXPECT_EQ(r.icmpcode, "Reply message");
    EXPECT_EQ(r.sourceip, "127.0.0.1");
    EXPECT_EQ(r.ttl, "64");
    EXPECT_EQ(r.packetsize, "52");  // rebuilt header + 32-byte message
    const auto labels = StatisticsLabels(seen.stat);
    EXPECT_EQ(labels[1], "Received:        " + std::to_string(seen.stat.recvcount));
}

TEST_F(Unprivileged, DetailPairCountsRepliesThroughTheHelper) {
    ASSERT_TRUE(SetPingGroupRange("1 0"));
    HelperCopy helper(true);
    ASSERT_TRUE(helper.ok()) << helper.error();
    ::setenv("VELTRIN_PING_HELPER", helper.path().c_str(), 1);
    EngineStartup();
    DetailPair::Seen seen;
    IcmpPath path = IcmpPath::None;
    ASSERT_TRUE(RunOnNobodyThread([&] {
        seen = DetailPair::RunFor("127.0.0.1", 5s, [](const DetailPair::Seen& s) { return s.stat.recvcount >= 6; });
        path = CurrentIcmpPath();
    }));
    EngineShutdown();
    ::unsetenv("VELTRIN_PING_HELPER");
    EXPECT_EQ(path, IcmpPath::Helper);
    EXPECT_GE(seen.stat.recvcount, 3);
    ASSERT_FALSE(seen.records.empty());
    // The helper passes on everything its raw socket sees; only this pair's datagrams are kept:
    // its replies and, as with any raw socket on loopback, its own requests.
    int replies = 0;
    for (const Tdecordbuf& r : seen.records) {
        EXPECT_TRUE(r.icmpcode == "Reply message" || r.icmpcode == "Echo message") << r.icmpcode;
        EXPECT_EQ(r.sourceip, "127.0.0.1");
        EXPECT_EQ(r.packetsize, "52");
        if (r.icmpcode == "Reply message") ++replies;
    }
    EXPECT_GE(replies, 1);
}

TEST_F(Unprivileged, IcmpErrorsOfATestHostReachTheDetailPairOnDatagramSockets) {
    if (auto why = TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(SetPingGroupRange("0 2147483647"));
    struct Case {
        int type, code;
        const char* typetext;
        const char* codetext;
    };
    const Case cases[] = {
        {3, 1, "Type 3 Code 1", "Host unreachable "},
        {11, 0, "Type 11 Code 0", "Time to live exceeded in transit"},
    };
    EngineStartup();
    for (const Case& c : cases) {
        TestHost host({.error_type = c.type, .error_code = c.code});
        ASSERT_TRUE(host.ok()) << host.error();
        DetailPair::Seen seen;
        IcmpPath path = IcmpPath::None;
        ASSERT_TRUE(RunOnNobodyThread([&] {
            seen = DetailPair::RunFor(host.address(), 5s, [](const DetailPair::Seen& s) { return !s.records.empty(); });
            path = CurrentIcmpPath();
        }));
        EXPECT_EQ(path, IcmpPath::Datagram);
        ASSERT_FALSE(seen.records.empty()) << c.typetext;
        const Tdecordbuf& r = seen.records.front();
        EXPECT_EQ(r.icmptype, c.typetext);
        EXPECT_EQ(r.icmpcode, c.codetext);
        EXPECT_EQ(r.sourceip, host.address());  // the host that sent the error
    }
    EngineShutdown();
}

}  // namespace
