// The console as a user runs it: the built veltrin-ping with --console and the Qt-free
// veltrin-ping-cli, on real .spl files, plain lists and standard input, real loopback pings,
// a silent test host, a settings file in a temporary config folder, signals, and no display.
// Rows that are not loopback are monitored from a network namespace of the test's own that
// holds only its loopback.
#include <gtest/gtest.h>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/program_helper.h"
#include "net/testhost_helper.h"
#include "shared/monitorstubs.h"

namespace {

using namespace std::chrono_literals;
using veltrin::testing::Outcome;
using veltrin::testing::PrivateNet;
using veltrin::testing::RunOptions;
using veltrin::testing::RunProgram;
using veltrin::testing::TestHost;

std::string WindowProgram() { return std::string(VELTRIN_BINARY_DIR) + "/src/app/veltrin-ping"; }
std::string CliProgram() { return std::string(VELTRIN_BINARY_DIR) + "/src/cli/veltrin-ping-cli"; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The address of a test host that existed and is gone: nothing answers it, and in a private
// namespace nothing routes it anywhere.
std::string GoneHostAddress(std::string& why) {
    why = TestHost::SkipReason();
    if (!why.empty()) return {};
    TestHost host({.loss_percent = 100});
    if (!host.ok()) {
        why = "test host: " + host.error();
        return {};
    }
    return host.address();
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veltrin-console-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        config = dir + "/config";
        ASSERT_EQ(::mkdir(config.c_str(), 0700), 0);
    }
    void TearDown() override {
        if (dir.empty()) return;
        for (const char* f : {"/config/veltrin-ping/korbel setting.ini", "/list.spl", "/empty.spl", "/hosts.txt", "/hosts"})
            ::unlink((dir + f).c_str());
        ::rmdir((dir + "/config/veltrin-ping").c_str());
        // The history the runs kept.
        for (const char* f : {"/history.sqlite", "/history.sqlite-wal", "/history.sqlite-shm"})
            ::unlink((dir + "/data/veltrin-ping" + f).c_str());
        ::rmdir((dir + "/data/veltrin-ping").c_str());
        ::rmdir((dir + "/data").c_str());
        ::rmdir(config.c_str());
        ::rmdir(dir.c_str());
    }
    static void NeedWindowProgram() {}
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
    RunOptions Env() const {
        RunOptions o;
        o.env = {{"XDG_CONFIG_HOME", config}, {"XDG_DATA_HOME", dir + "/data"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
        return o;
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
    // Both programs, in the form each takes.
    static std::vector<std::vector<std::string>> Programs() {
        std::vector<std::vector<std::string>> p;
        if (::access(WindowProgram().c_str(), X_OK) == 0) p.push_back({WindowProgram(), "--console"});
        p.push_back({CliProgram()});
        return p;
    }
    static std::vector<std::string> With(std::vector<std::string> program, const std::vector<std::string>& args) {
        program.insert(program.end(), args.begin(), args.end());
        return program;
    }

    std::string dir, config;
};

#define NEED_ROOT() \
    if (!veltrin::testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW"

TEST_F(ConsoleTest, LoopbackRowsAreAnsweredAndPrintedInListOrder) {
    NEED_ROOT();
    // Interval 1 (100 ms) and 32-byte echoes from the settings file.
    WriteSettings("[Ping setting]\r\ndatalength=32\r\ninterval=1\r\n");
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n" + EmptyRow("127.0.0.2") + "\r\r\n" +
                                                   EmptyRow("127.000.000.003") + "\r\r\n" + "127.0.0.2_whatever\r\n" +
                                                   "no underscore\r\n");
    for (const auto& program : Programs()) {
        const Outcome r = RunProgram(With(program, {list, "--seconds", "3"}), Env());
        ASSERT_FALSE(r.timedout);
        // The zero-padded row is matched by address value, so every row answered.
        EXPECT_EQ(r.status, 0) << r.err;
        // Standard error holds only the rows' states: changes as they happened, then one summary
        // line a row.
        int summaries = 0;
        for (const auto& said : Lines(r.err)) {
            EXPECT_NE(said.find(" answering"), std::string::npos) << said;
            if (said.find(": answering, sent ") != std::string::npos) ++summaries;
        }
        EXPECT_EQ(summaries, 4) << r.err;
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
    }
}

TEST_F(ConsoleTest, BundledExampleListWithDefaultSettings) {
    NEED_ROOT();
    const Outcome r = RunProgram(
        {CliProgram(), std::string(VELTRIN_SOURCE_DIR) + "/resources/example.spl", "--seconds", "4"}, Env());
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
    NEED_ROOT();
    WriteSettings("[Ping setting]\r\ninterval=1\r\n");
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n");
    for (const auto& program : Programs()) {
        // No --seconds: it runs until the signal, which is sent once a progress line shows a reply.
        RunOptions o = Env();
        o.whilerunning = [](const std::string& out, const std::string&) { return out.find("TTL 64") != std::string::npos; };
        const Outcome r = RunProgram(With(program, {list}), o);
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 0) << r.err;
        const auto lines = Lines(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(std::regex_match(lines.back(), AnsweredRow("127.0.0.1", "32"))) << lines.back();
    }
}

TEST_F(ConsoleTest, UnreadableOrEmptyFileGivesOneErrorLineAndStatusTwo) {
    const std::string empty = Write("empty.spl", "no address here\r\n_leading underscore\r\n");
    const std::string comments = Write("hosts.txt", "# only a comment\n\n");
    struct Case {
        std::string path, message;
    };
    const std::vector<Case> cases = {
        {dir + "/missing.spl", "No such file"},
        {dir, "not a regular file"},
        {empty, "holds no address"},
        {comments, "holds no address"},
    };
    for (const auto& program : Programs()) {
        for (const Case& c : cases) {
            const Outcome r = RunProgram(With(program, {c.path, "--seconds", "1"}), Env());
            ASSERT_FALSE(r.timedout);
            EXPECT_EQ(r.status, 2) << c.path;
            EXPECT_EQ(r.out, "");
            const auto lines = Lines(r.err);
            ASSERT_GE(lines.size(), 1u) << r.err;
            EXPECT_NE(lines.back().find(c.path), std::string::npos) << lines.back();
            EXPECT_NE(lines.back().find(c.message), std::string::npos) << lines.back();
        }
    }
    // Standard input that holds nothing is as empty as an empty file.
    RunOptions o = Env();
    o.input = "# nothing\n";
    const Outcome r = RunProgram({CliProgram(), "-", "--seconds", "1"}, o);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("standard input holds no address"), std::string::npos) << r.err;
}

TEST_F(ConsoleTest, BadUsageGivesTheMessageTheUsageAndStatusTwo) {
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "no file and no address"},
        {{list, "--seconds"}, "--seconds needs"},
        {{list, "--seconds", "abc"}, "--seconds: \"abc\""},
        {{list, "--seconds", "-1"}, "--seconds: \"-1\""},
        {{list, "--seconds", "1", "--seconds", "2"}, "--seconds is given twice"},
        {{list, "--bogus"}, "unknown option \"--bogus\""},
        {{list, "--format", "xml"}, "--format: \"xml\""},
        {{list, "--interval", "0"}, "--interval: \"0\""},
        {{list, "--data-length", "5000"}, "--data-length: \"5000\""},
        {{list, "--timeout", "0"}, "--timeout: \"0\""},
        {{list, "--metrics", "nohost"}, "--metrics needs ADDRESS:PORT"},
    };
    for (const auto& program : Programs()) {
        const std::string name = program[0].substr(program[0].rfind('/') + 1);
        for (const Case& c : cases) {
            const Outcome r = RunProgram(With(program, c.args), Env());
            ASSERT_FALSE(r.timedout);
            EXPECT_EQ(r.status, 2) << c.message;
            EXPECT_EQ(r.out, "");
            const auto lines = Lines(r.err);
            ASSERT_GE(lines.size(), 2u) << r.err;
            EXPECT_EQ(lines[0], name + ": " + lines[0].substr(name.size() + 2)) << lines[0];
            EXPECT_NE(lines[0].find(c.message), std::string::npos) << lines[0];
            EXPECT_EQ(lines[1].rfind("Usage: " + name, 0), 0u) << lines[1];
        }
    }
}

TEST_F(ConsoleTest, TheWindowRefusesUnknownOptions) {
    if (::access(WindowProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "the window program is not built";
    // Refused before any display is looked for.
    for (const std::string option : {"--bogus", "-x", "--consol"}) {
        const Outcome r = RunProgram({WindowProgram(), option}, Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 2) << option;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("unknown option \"" + option + "\""), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Usage: veltrin-ping"), std::string::npos) << r.err;
    }
}

TEST_F(ConsoleTest, HelpAndVersionNeedNoDisplay) {
    Outcome r = RunProgram({WindowProgram(), "--help"}, Env());
    if (::access(WindowProgram().c_str(), X_OK) == 0) {
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("--console [OPTIONS] FILE|-|ADDRESS..."), std::string::npos) << r.out;
        r = RunProgram({WindowProgram(), "--version"}, Env());
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(std::regex_match(r.out, std::regex("veltrin-ping [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
    }
    r = RunProgram({CliProgram(), "--help"}, Env());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: veltrin-ping-cli [OPTIONS] FILE|-|ADDRESS..."), std::string::npos) << r.out;
    for (const char* option : {"--format F", "--interval N", "--data-length N", "--timeout S", "--metrics A:P"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    r = RunProgram({CliProgram(), "--version"}, Env());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("veltrin-ping-cli [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
}

TEST_F(ConsoleTest, WithoutTheRightToSendIcmpTheStatusIsThree) {
    const char* setpriv = "/usr/bin/setpriv";
    if (::geteuid() != 0 || ::access(setpriv, X_OK) != 0) GTEST_SKIP() << "needs root and util-linux's setpriv";
    const std::string list = Write("list.spl", EmptyRow("127.0.0.1") + "\r\r\n" + EmptyRow("127.0.0.2") + "\r\r\n");
    for (const auto& program : Programs()) {
        std::vector<std::string> args = {setpriv, "--inh-caps=-net_raw", "--bounding-set=-net_raw"};
        for (const auto& a : With(program, {list, "--seconds", "20"})) args.push_back(a);
        const auto started = std::chrono::steady_clock::now();
        const Outcome r = RunProgram(args, Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 3) << r.err;
        // Nothing can be sent: the run ends at once instead of waiting out its seconds.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
        const auto errors = Lines(r.err);
        ASSERT_EQ(errors.size(), 1u) << r.err;
        EXPECT_NE(errors[0].find("Cannot send ICMP echo requests"), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find("net.ipv4.ping_group_range"), std::string::npos) << errors[0];
        EXPECT_EQ(errors[0].find("setcap cap_net_raw+ep " + program.front() + "\""), std::string::npos) << errors[0];
        EXPECT_EQ(Lines(r.out), (std::vector<std::string>{EmptyRow("127.0.0.1"), EmptyRow("127.0.0.2")}));
    }
}

// The run's exit status for what the rows did, for both programs.
TEST_F(ConsoleTest, ExitStatusFollowsTheRows) {
    NEED_ROOT();
    std::string why;
    const std::string gone = GoneHostAddress(why);
    if (gone.empty()) GTEST_SKIP() << why;
    PrivateNet net;
    ASSERT_TRUE(net.ok()) << net.error();
    struct Case {
        std::vector<std::string> addresses;
        int status;
    };
    const std::vector<Case> cases = {
        {{"127.0.0.1"}, 0},
        {{"127.0.0.1", "localhost", "127.0.0.7"}, 0},
        {{gone}, 1},
        {{"127.0.0.1", gone}, 1},
    };
    for (const auto& program : Programs()) {
        for (const Case& c : cases) {
            RunOptions o = Env();
            o.net = &net;
            std::vector<std::string> args = {"--seconds", "2", "--interval", "1", "--timeout", "0.5"};
            args.insert(args.end(), c.addresses.begin(), c.addresses.end());
            const Outcome r = RunProgram(With(program, args), o);
            ASSERT_FALSE(r.timedout);
            EXPECT_EQ(r.status, c.status) << c.addresses.back() << "\n" << r.err << r.out;
        }
    }
}

// A JSON object's value for `key` as written (a string with its quotes, a number, or null).
std::string Field(const std::string& object, const std::string& key) {
    const std::regex re("\"" + key + "\":(\"[^\"]*\"|[-0-9.]+|null)");
    std::smatch m;
    return std::regex_search(object, m, re) ? m[1].str() : std::string("<none>");
}

TEST_F(ConsoleTest, JsonGivesEventsAndOneSummaryPerRow) {
    NEED_ROOT();
    std::string why;
    const std::string gone = GoneHostAddress(why);
    if (gone.empty()) GTEST_SKIP() << why;
    PrivateNet net;
    ASSERT_TRUE(net.ok()) << net.error();
    RunOptions o = Env();
    o.net = &net;
    const Outcome r = RunProgram({CliProgram(), "--format", "json", "--seconds", "3", "--interval", "1", "--timeout", "0.5",
                                  "127.0.0.1", gone},
                                 o);
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    int replies = 0, answering = 0;
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_match(line, std::regex("\\{\"event\":\"(reply|state|summary)\".*\\}"))) << line;
        if (Field(line, "event") == "\"reply\"") {
            ++replies;
            EXPECT_EQ(Field(line, "address"), "\"127.0.0.1\"");
            EXPECT_EQ(Field(line, "ttl"), "64");
            EXPECT_TRUE(std::regex_match(Field(line, "time"), std::regex("\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\"")));
        }
        if (Field(line, "event") == "\"state\"" && Field(line, "state") == "\"answering\"") {
            ++answering;
            EXPECT_EQ(Field(line, "previous"), "\"never answered\"");
        }
    }
    EXPECT_GT(replies, 3);
    EXPECT_EQ(answering, 1);
    const std::string up = lines[lines.size() - 2], silent = lines.back();
    EXPECT_EQ(Field(up, "event"), "\"summary\"");
    EXPECT_EQ(Field(up, "address"), "\"127.0.0.1\"");
    EXPECT_EQ(Field(up, "ip"), "\"127.0.0.1\"");
    EXPECT_EQ(Field(up, "sent"), Field(up, "received"));
    EXPECT_EQ(Field(up, "loss_percent"), "0.0");
    EXPECT_NE(Field(up, "min_ms"), "null");
    EXPECT_NE(Field(up, "last_reply"), "null");
    EXPECT_EQ(Field(up, "state"), "\"answering\"");
    EXPECT_EQ(Field(silent, "address"), "\"" + gone + "\"");
    EXPECT_EQ(Field(silent, "received"), "0");
    EXPECT_NE(Field(silent, "sent"), "0");
    EXPECT_EQ(Field(silent, "loss_percent"), "100.0");
    EXPECT_EQ(Field(silent, "min_ms"), "null");
    EXPECT_EQ(Field(silent, "avg_ms"), "null");
    EXPECT_EQ(Field(silent, "max_ms"), "null");
    EXPECT_EQ(Field(silent, "last_reply"), "null");
    EXPECT_EQ(Field(silent, "state"), "\"never answered\"");
}

TEST_F(ConsoleTest, CsvGivesTheSummaryWithAHeader) {
    NEED_ROOT();
    for (const auto& program : Programs()) {
        const Outcome r =
            RunProgram(With(program, {"--format=csv", "--seconds", "2", "--interval", "1", "localhost", "127.0.0.1"}), Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find('\r'), std::string::npos);
        const auto lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_EQ(lines[0], "address,ip,sent,received,loss_percent,min_ms,avg_ms,max_ms,last_reply,state");
        const std::regex row("(localhost|127\\.0\\.0\\.1),127\\.0\\.0\\.1,([0-9]+),\\2,0\\.0,[0-9]+,[0-9.]+,[0-9]+,"
                             "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,answering");
        EXPECT_TRUE(std::regex_match(lines[1], row)) << lines[1];
        EXPECT_EQ(lines[1].rfind("localhost,", 0), 0u);
        EXPECT_TRUE(std::regex_match(lines[2], row)) << lines[2];
    }
}

// The sweep pace goes through the rows in list order, so at any moment the rows' send counts
// differ by at most one, and every row of a list far longer than a short run's random picks
// could cover is answered.
TEST_F(ConsoleTest, SweepReachesEveryRowEvenly) {
    NEED_ROOT();
    std::vector<std::string> args = {"--format=csv", "--seconds", "2", "--sweep", "5"};
    for (int i = 1; i <= 120; ++i) args.push_back("127.0.0." + std::to_string(i));
    args.push_back("300.1.1.1");  // no address: its turn passes without a send
    for (const auto& program : Programs()) {
        const Outcome r = RunProgram(With(program, args), Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 1) << r.err;  // the row with no address never answers
        const auto lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 122u) << r.out;
        long low = -1, high = -1;
        const std::regex row("127\\.0\\.0\\.[0-9]+,127\\.0\\.0\\.[0-9]+,([0-9]+),([0-9]+),.*,answering");
        for (std::size_t i = 1; i <= 120; ++i) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(lines[i], m, row)) << lines[i];
            const long sent = std::stol(m[1].str());
            EXPECT_EQ(m[1].str(), m[2].str()) << lines[i];
            low = low < 0 ? sent : std::min(low, sent);
            high = std::max(high, sent);
        }
        EXPECT_GE(low, 1);
        EXPECT_LE(high - low, 1) << "sends of the rows from " << low << " to " << high;
        EXPECT_EQ(lines[121], "300.1.1.1,,0,0,0.0,,,,,no address");
    }
}

// With many rows changing, a plain progress line sums them up; its count of rows that have
// answered leaves out the row that cannot.
TEST_F(ConsoleTest, PlainProgressSumsUpManyRowsAndCountsTheAnswered) {
    NEED_ROOT();
    std::vector<std::string> args = {"--seconds", "3", "--sweep", "5"};
    for (int i = 1; i <= 30; ++i) args.push_back("127.0.0." + std::to_string(i));
    args.push_back("300.1.1.1");
    for (const auto& program : Programs()) {
        const Outcome r = RunProgram(With(program, args), Env());
        ASSERT_FALSE(r.timedout);
        const std::regex summary("\\+([0-9]+)s ([0-9]+) rows answered, ([0-9]+) of 31 so far");
        std::vector<int> counts;
        for (const auto& line : Lines(r.out)) {
            std::smatch m;
            if (std::regex_match(line, m, summary)) counts.push_back(std::stoi(m[3].str()));
        }
        ASSERT_FALSE(counts.empty()) << r.out;
        EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end())) << r.out;
        // Every loopback row is answered twice a second; the last summary comes a second or more in.
        EXPECT_EQ(counts.back(), 30) << r.out;
    }
}

TEST_F(ConsoleTest, SweepAndIntervalExcludeEachOther) {
    for (const auto& program : Programs()) {
        const Outcome r = RunProgram(With(program, {"--sweep", "5", "--interval", "3", "127.0.0.1"}), Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("--interval and --sweep exclude each other"), std::string::npos) << r.err;
    }
}

// The text format says on stderr why a row can never answer and how every row ended; standard
// output keeps its address-log lines.
TEST_F(ConsoleTest, TextFormatSaysStatesOnStandardError) {
    NEED_ROOT();
    for (const auto& program : Programs()) {
        const Outcome r = RunProgram(With(program, {"--seconds", "2", "--interval", "1", "300.1.1.1", "127.0.0.1"}), Env());
        ASSERT_FALSE(r.timedout);
        EXPECT_EQ(r.status, 1) << r.err;
        const std::string name = program[0].substr(program[0].rfind('/') + 1);
        const auto said = Lines(r.err);
        const auto has = [&](const std::string& text) {
            return std::find(said.begin(), said.end(), name + ": " + text) != said.end();
        };
        EXPECT_TRUE(has("300.1.1.1 no address: not an IPv4 address")) << r.err;
        EXPECT_TRUE(std::any_of(said.begin(), said.end(), [&](const std::string& l) {
            return l.rfind(name + ": 127.0.0.1: answering, sent ", 0) == 0;
        })) << r.err;
        EXPECT_TRUE(std::any_of(said.begin(), said.end(), [&](const std::string& l) {
            return l.rfind(name + ": 300.1.1.1: no address", 0) == 0;
        })) << r.err;
        const auto out = Lines(r.out);
        ASSERT_GE(out.size(), 2u) << r.out;
        EXPECT_EQ(out[out.size() - 2].rfind("300.1.1.1_", 0), 0u) << r.out;
        EXPECT_EQ(out.back().rfind("127.0.0.1_", 0), 0u) << r.out;
    }
}

TEST_F(ConsoleTest, PlainListsStandardInputAndArgumentsAddUp) {
    NEED_ROOT();
    const std::string hosts = Write("hosts", "# loopback only\n127.0.0.3\n\n  127.0.0.4   # with a comment\nnot one\n");
    RunOptions o = Env();
    o.input = "127.0.0.5\r\n127.0.0.6\r\n";
    const Outcome r = RunProgram({CliProgram(), "--format", "csv", "--seconds", "3", "--interval", "1", hosts, "-", "127.0.0.7"}, o);
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 0) << r.err;
    // The line that holds no address is named, and the rest of the list still runs.
    EXPECT_EQ(Lines(r.err), (std::vector<std::string>{"veltrin-ping-cli: \"" + hosts +
                                                      "\", line 5: more than one word (one address per line)"}));
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    for (int i = 0; i < 5; ++i) {
        const std::string address = "127.0.0." + std::to_string(i + 3);
        EXPECT_EQ(lines[static_cast<std::size_t>(i) + 1].rfind(address + "," + address + ",", 0), 0u) << lines[i + 1];
    }
}

TEST_F(ConsoleTest, MetricsAreServedWhileTheConsoleRuns) {
    NEED_ROOT();
    PrivateNet net;
    ASSERT_TRUE(net.ok()) << net.error();
    RunOptions o = Env();
    o.net = &net;
    std::string metrics, page, missing;
    o.whilerunning = [&](const std::string&, const std::string& err) {
        std::smatch m;
        if (!std::regex_search(err, m, std::regex("metrics on http://127\\.0\\.0\\.1:([0-9]+)/metrics"))) return false;
        const auto port = static_cast<std::uint16_t>(std::stoi(m[1].str()));
        metrics = veltrin::testing::HttpGet(port, "/metrics", &net);
        if (metrics.find("veltrin_ping_up{address=\"127.0.0.1\",ip=\"127.0.0.1\"} 1") == std::string::npos) return false;
        page = veltrin::testing::HttpGet(port, "/", &net);
        missing = veltrin::testing::HttpGet(port, "/nothing", &net);
        return true;
    };
    const Outcome r = RunProgram({CliProgram(), "--metrics", ":0", "--interval", "1", "--seconds", "30", "127.0.0.1"}, o);
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(metrics.rfind("HTTP/1.0 200", 0) == 0 || metrics.rfind("HTTP/1.1 200", 0) == 0, true) << metrics;
    EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("veltrin_ping_replies_total{address=\"127.0.0.1\",ip=\"127.0.0.1\"} "), std::string::npos);
    EXPECT_NE(page.find(" 200 "), std::string::npos) << page;
    EXPECT_NE(page.find("<a href=\"/metrics\">"), std::string::npos) << page;
    EXPECT_NE(missing.find(" 404 "), std::string::npos) << missing;
}

// The mail and metrics libraries (with their TLS libraries) are opened when first used, not at
// every start of the console.
TEST_F(ConsoleTest, MetricsLibraryIsOpenedOnlyWhenMetricsAreServed) {
    NEED_ROOT();
    PrivateNet net;
    ASSERT_TRUE(net.ok()) << net.error();
    const auto mapped = [](pid_t pid, const std::string& file) {
        std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
        const std::string text((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
        return text.find(file) != std::string::npos;
    };
    const auto slurp = [](const std::string& path) {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    struct Case {
        std::vector<std::string> extra;
        bool metrics;
    };
    for (const Case& c : {Case{{}, false}, Case{{"--metrics", "127.0.0.1:0"}, true}}) {
        std::vector<std::string> args{CliProgram(), "--interval", "1", "--seconds", "30"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back("127.0.0.1");
        veltrin::testing::Background run;
        const std::string out = dir + "/maps.out", err = dir + "/maps.err";
        ASSERT_TRUE(run.Start(args, Env().env, &net, out, err));
        // Running: a reply was printed (text format: the row's state on standard error).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline && slurp(err).find("answering") == std::string::npos &&
               run.Running())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(run.Running()) << slurp(err);
        EXPECT_EQ(mapped(run.pid(), "libmicrohttpd"), c.metrics) << slurp(err);
        EXPECT_FALSE(mapped(run.pid(), "libcurl"));
        if (!c.metrics) {
            EXPECT_FALSE(mapped(run.pid(), "libgnutls")) << "pulled in by nothing the console started";
        }
        EXPECT_EQ(run.Stop(), 0) << slurp(err);
    }
}

TEST_F(ConsoleTest, AMetricsPortInUseIsABadStart) {
    PrivateNet net;
    ASSERT_TRUE(net.ok()) << net.error();
    // Hold a port inside the namespace.
    int held = -1;
    std::uint16_t port = 0;
    net.Within([&] {
        held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(held, 1) == 0 &&
            ::getsockname(held, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    });
    ASSERT_NE(port, 0);
    RunOptions o = Env();
    o.net = &net;
    const Outcome r = RunProgram({CliProgram(), "--metrics", "127.0.0.1:" + std::to_string(port), "--seconds", "5", "127.0.0.1"}, o);
    ::close(held);
    ASSERT_FALSE(r.timedout);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("cannot serve metrics on 127.0.0.1:" + std::to_string(port)), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
