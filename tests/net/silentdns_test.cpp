// The console beside a name server that never answers (veltrin-silentdns: its own network and
// mount namespaces, so the machine's resolver files are never touched): twenty names that
// cannot resolve must neither hold up the loop (the loopback rows keep being answered) nor the
// end of the run (after --seconds or a signal). A name from the namespace's hosts file still
// resolves and answers. The bounds below only catch a loop held up by a lookup (which took
// tens of seconds); the measured figures belong to bench/.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Tool() { return std::string(VELTRIN_BINARY_DIR) + "/tests/tools/veltrin-silentdns"; }
std::string Cli() { return std::string(VELTRIN_BINARY_DIR) + "/src/cli/veltrin-ping-cli"; }

struct Line {
    double at = 0;  // seconds after the start
    std::string text;
};

struct Outcome {
    int status = -1;
    double ended = 0;      // seconds after the start
    double signalled = -1;  // when SIGTERM was sent, or -1
    std::vector<Line> lines;
    std::string err;
};

// Runs the console under the silent name server; with `signalafter` >= 0 it gets SIGTERM that
// long after its first reply line. Reads standard output line by line as it comes.
Outcome RunConsole(const std::vector<std::string>& args, const std::string& hostsfile, double signalafter) {
    Outcome run;
    std::vector<std::string> all = {Tool(), "--hosts", hostsfile, "--", Cli()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    const auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    std::string partial;
    double firstreply = -1;
    bool outopen = true, erropen = true;
    while (outopen || erropen) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        ::poll(fds, 2, 50);
        char buffer[4096];
        if (outopen && (fds[0].revents & (POLLIN | POLLHUP))) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                outopen = false;
            } else {
                partial.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                    run.lines.push_back({since(), partial.substr(0, nl)});
                    partial.erase(0, nl + 1);
                    if (firstreply < 0 && run.lines.back().text.find("\"event\":\"reply\"") != std::string::npos)
                        firstreply = since();
                }
            }
        }
        if (erropen && (fds[1].revents & (POLLIN | POLLHUP))) {
            const ssize_t n = ::read(err[0], buffer, sizeof buffer);
            if (n <= 0)
                erropen = false;
            else
                run.err.append(buffer, static_cast<std::size_t>(n));
        }
        if (signalafter >= 0 && run.signalled < 0 && firstreply >= 0 && since() >= firstreply + signalafter) {
            run.signalled = since();
            ::kill(pid, SIGTERM);
        }
        if (since() > 120) ::kill(pid, SIGKILL);  // a hung program only
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.ended = since();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::close(out[0]);
    ::close(err[0]);
    return run;
}

// The longest pause between reply lines that hold `needle`.
double LongestReplyGap(const Outcome& run, const std::string& needle) {
    double last = -1, longest = 0;
    for (const Line& l : run.lines) {
        if (l.text.find("\"event\":\"reply\"") == std::string::npos) continue;
        if (l.text.find(needle) == std::string::npos) continue;
        if (last >= 0) longest = std::max(longest, l.at - last);
        last = l.at;
    }
    return last < 0 ? -1 : longest;
}

const Line* Summary(const Outcome& run, const std::string& address) {
    for (const Line& l : run.lines)
        if (l.text.find("\"event\":\"summary\"") != std::string::npos &&
            l.text.find("\"address\":\"" + address + "\"") != std::string::npos)
            return &l;
    return nullptr;
}

}  // namespace

TEST(SilentNameServer, ConsoleKeepsItsPaceAndEndsOnTime) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (network and mount namespaces)";
    if (::access(Tool().c_str(), X_OK) != 0 || ::access(Cli().c_str(), X_OK) != 0)
        GTEST_SKIP() << "veltrin-silentdns or veltrin-ping-cli not built";
    char dir[] = "/tmp/veltrin-silentdns-test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string hosts = std::string(dir) + "/hosts";
    std::ofstream(hosts) << "127.0.0.1 localhost\n127.0.0.5 named-host\n";

    std::vector<std::string> names;
    for (int i = 1; i <= 20; ++i) names.push_back("silent-" + std::to_string(i) + ".veltrin-test");

    struct Case {
        const char* what;
        std::vector<std::string> options;
        double signalafter;  // < 0: ends by --seconds
    } const cases[] = {
        {"--seconds 3", {"--format", "json", "--interval", "1", "--seconds", "3"}, -1},
        {"SIGTERM", {"--format", "json", "--interval", "1"}, 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.options;
        // The heartbeat: 100 loopback rows and 100 of a name from the hosts file, so nearly
        // every pick is one of them and answers at once.
        for (int i = 1; i <= 100; ++i) {
            args.push_back("127.0.1." + std::to_string(i));
            args.push_back("named-host");
        }
        args.insert(args.end(), names.begin(), names.end());
        const Outcome run = RunConsole(args, hosts, c.signalafter);
        ASSERT_NE(run.status, 125) << run.err;  // the tool could not set up the namespaces
        EXPECT_EQ(run.status, 1) << run.err;    // the silent names never answered
        // Ends on time: --seconds 3 with twenty lookups that each take many seconds.
        if (c.signalafter < 0)
            EXPECT_LT(run.ended, 3.0 + 1.0) << run.err;
        else {
            ASSERT_GE(run.signalled, 0) << "no reply came: " << run.err;
            EXPECT_LT(run.ended - run.signalled, 1.0) << run.err;
        }
        // The loop never stood still: the loopback rows (an echo every 100 ms) kept answering.
        const double gap = LongestReplyGap(run, "\"ip\":\"127.");
        ASSERT_GE(gap, 0) << "no loopback reply: " << run.err;
        EXPECT_LT(gap, 1.0);
        // The hosts file's name resolved through the cache and answered.
        EXPECT_TRUE(std::any_of(run.lines.begin(), run.lines.end(), [](const Line& l) {
            return l.text.find("\"event\":\"reply\"") != std::string::npos &&
                   l.text.find("\"address\":\"named-host\",\"ip\":\"127.0.0.5\"") != std::string::npos;
        }));
        const Line* silent = Summary(run, names.front());
        ASSERT_NE(silent, nullptr);
        EXPECT_NE(silent->text.find("\"received\":0,"), std::string::npos) << silent->text;
    }
    ::unlink(hosts.c_str());
    ::rmdir(dir);
}
