// The console front end as a user runs it: the built veltrin-ping with --console on real .spl
// files, real loopback pings, a settings file in a temporary config folder, signals, and no
// display. The program is started directly (posix_spawn, no shell).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#include "shared/monitorstubs.h"
namespace {

using namespace std::chrono_literals;

std::string Program() { return std::string(VELTRIN_BINARY_DIR) + "/src/app/veltrin-ping"; }

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
    bool timedout = false;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Starts `args` with the given environment changes (an empty value removes the variable) and
// collects its output until it ends. `whilerunning` is called with the output so far; when it
// returns true the program gets SIGTERM. The bound only stops a hung program.
Outcome RunProgram(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& envchanges,
            const std::function<bool(const std::string&)>& whilerunning = {}) {
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
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        result.err = std::string("spawn failed: ") + std::strerror(rc);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    bool outopen = true, erropen = true, signalled = false;
    while (outopen || erropen) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedout = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outopen ? out[0] : -1, POLLIN, 0}, {erropen ? err[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, 100) < 0 && errno != EINTR) break;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            std::string& sink = i == 0 ? result.out : result.err;
            if (n > 0)
                sink.append(buffer, static_cast<std::size_t>(n));
            else
                (i == 0 ? outopen : erropen) = false;
        }
        if (!signalled && whilerunning && whilerunning(result.out)) {
            ::kill(pid, SIGTERM);
            signalled = true;
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(Program().c_str(), X_OK) != 0)
            GTEST_SKIP() << Program() << " is not built (it is built with VELTRIN_BUILD_UI=ON)";
        char pattern[] = "/tmp/veltrin-console-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        config = dir + "/config";
        ASSERT_EQ(::mkdir(config.c_str(), 0700), 0);
    }
    void TearDown() override {
        if (dir.empty()) return;
        for (const char* f : {"/config/veltrin-ping/korbel setting.ini", "/list.spl", "/empty.spl"})
            ::unlink((dir + f).c_str());
        ::rmdir((dir + "/config/veltrin-ping").c_str());
        ::rmdir(config.c_str());
        ::rmdir(dir.c_str());
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    void WriteSettings(const std::string& bytes) {
        const std::string folder = config + "/veltrin-ping";
        ::mkdir(folder.c_str(), 0700);
        std::ofstream(folder + "/korbel setting.ini", std::ios::binary) << bytes;
    }
    // No display of any kind: the console must not need one.
    std::vector<std::pair<std::string, std::string>> Env() const {
        return {{"XDG_CONFIG_HOME", config}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    }
    static std::string EmptyRow(const std::string& address) { return address + "_   TTL  Timeout     "; }
    static std::regex AnsweredRow(const std::string& address, const std::string& bytes) {
        std::string escaped;
        for (char c : address) {
            if (c == '.') escaped += '\\';
            escaped += c;
        }
        return std::regex(escaped + "_   TTL 64 Timeout [0-9]+  return data length:   " + bytes + "  ");
    }

    std::string dir, config;
};

TEST_F(ConsoleTest, LoopbackRowsAreAnsweredAndPrintedInListOrder) {
    if (!veltrin::testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
    // Interval 1 (100 ms) and 32-byte echoes from the settings file.
    WriteSettings("[Ping setting]\r\ndatalength=32\r\ninterval=1\r\n");
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n" + EmptyRow("127.0.0.2") + "\r\r\n" +
                                                   EmptyRow("127.000.000.003") + "\r\r\n" + "127.0.0.2_whatever\r\n" +
                                                   "no underscore\r\n");
    const Outcome r = RunProgram({Program(), "--console", list, "--seconds", "3"}, Env());
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    // The last four lines are the rows; plain progress lines may come before them.
    const std::vector<std::string> rows(lines.end() - 4, lines.end());
    EXPECT_TRUE(std::regex_match(rows[0], AnsweredRow("127.0.0.1", "52"))) << rows[0];
    EXPECT_TRUE(std::regex_match(rows[1], AnsweredRow("127.0.0.2", "52"))) << rows[1];
    // Pinged as 127.0.0.3 and matched by address value, so the leading zeros do not matter.
    EXPECT_TRUE(std::regex_match(rows[2], AnsweredRow("127.000.000.003", "52"))) << rows[2];
    EXPECT_TRUE(std::regex_match(rows[3], AnsweredRow("127.0.0.2", "52"))) << rows[3];
    for (std::size_t i = 0; i + 4 < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("+", 0), 0u) << lines[i];
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    // State changes as they happened, and the closing state of every row.
    EXPECT_NE(r.out.find(" 127.0.0.1 answering since "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("+ state: 127.0.0.2: answering, sent "), std::string::npos) << r.out;
}

TEST_F(ConsoleTest, BundledExampleListWithDefaultSettings) {
    if (!veltrin::testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
    const Outcome r =
        RunProgram({Program(), "--console", std::string(VELTRIN_SOURCE_DIR) + "/resources/example.spl", "--seconds", "4"}, Env());
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    const std::vector<std::string> rows(lines.end() - 4, lines.end());
    // Default data length 8 is sent as a 12-byte echo: 32 bytes come back with the IP header.
    // With four rows every row is picked within the first six cycles (under two seconds).
    EXPECT_TRUE(std::regex_match(rows[0], AnsweredRow("127.0.0.1", "32"))) << rows[0];
    EXPECT_TRUE(std::regex_match(rows[3], AnsweredRow("localhost", "32"))) << rows[3];
    EXPECT_TRUE(std::regex_match(rows[2], AnsweredRow("127.0.0.3", "32"))) << rows[2];
    EXPECT_TRUE(std::regex_match(rows[1], AnsweredRow("127.0.0.2", "32"))) << rows[1];
}

TEST_F(ConsoleTest, SigtermEndsTheRunAndPrintsTheRows) {
    if (!veltrin::testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
    WriteSettings("[Ping setting]\r\ninterval=1\r\n");
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n");
    // No --seconds: it runs until the signal, which is sent once a progress line shows a reply.
    const Outcome r = RunProgram({Program(), "--console", list}, Env(),
                          [](const std::string& out) { return out.find("TTL 64") != std::string::npos; });
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), AnsweredRow("127.0.0.1", "32"))) << lines.back();
}

TEST_F(ConsoleTest, UnreadableFileGivesOneErrorLineAndStatusTwo) {
    for (const std::string& path : {dir + "/missing.spl", dir /* a folder */}) {
        const Outcome r = RunProgram({Program(), "--console", path, "--seconds", "1"}, Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.out, "");
        const auto lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_NE(lines[0].find(path), std::string::npos) << lines[0];
    }
}

TEST_F(ConsoleTest, BadUsageGivesTheUsageAndStatusTwo) {
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n");
    const std::vector<std::vector<std::string>> cases = {
        {Program(), "--console"},
        {Program(), "--console", list, "--seconds"},
        {Program(), "--console", list, "--seconds", "abc"},
        {Program(), "--console", list, "--seconds", "-1"},
        {Program(), "--console", list, "--seconds", "1", "--seconds", "2"},
        {Program(), "--console", list, "extra"},
    };
    for (const auto& args : cases) {
        const Outcome r = RunProgram(args, Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("Usage: veltrin-ping", 0), 0u) << r.err;
    }
}

TEST_F(ConsoleTest, HelpAndVersionNeedNoDisplay) {
    Outcome r = RunProgram({Program(), "--help"}, Env());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--console FILE.spl [--seconds S]"), std::string::npos) << r.out;
    r = RunProgram({Program(), "--version"}, Env());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("veltrin-ping [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
}

TEST_F(ConsoleTest, WithoutTheRawSocketRightTheHintComesOnce) {
    const char* setpriv = "/usr/bin/setpriv";
    if (::geteuid() != 0 || ::access(setpriv, X_OK) != 0) GTEST_SKIP() << "needs root and util-linux's setpriv";
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n" + EmptyRow("127.0.0.2") + "\r\r\n");
    const Outcome r = RunProgram({setpriv, "--inh-caps=-net_raw", "--bounding-set=-net_raw", Program(), "--console", list,
                           "--seconds", "2"},
                          Env());
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto errors = Lines(r.err);
    ASSERT_EQ(errors.size(), 1u) << r.err;
    EXPECT_NE(errors[0].find("raw ICMP socket"), std::string::npos) << errors[0];
    // Nothing could be sent: the summary says so for each row, then the rows.
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"+ state: 127.0.0.1: not yet pinged", "+ state: 127.0.0.2: not yet pinged",
                                                      EmptyRow("127.0.0.1"), EmptyRow("127.0.0.2")}));
}

TEST_F(ConsoleTest, EmptyListRunsAndPrintsNothing) {
    const std::string list = Write("empty.spl", "no address here\r\n_leading underscore\r\n");
    const Outcome r = RunProgram({Program(), "--console", list, "--seconds", "0"}, Env());
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
}

}  // namespace
