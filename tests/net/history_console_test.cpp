// Round trips to the microsecond and the history database, as the console program gives them:
// the round trip to a test host whose answers a userspace responder holds back 50 ms agrees with
// ping's, and a console killed outright while it writes leaves a database that opens and holds
// everything it had committed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "history/historystore.h"
#include "net/program_helper.h"
#include "shared/monitorstubs.h"
#include "net/testhost_helper.h"

extern char** environ;

namespace {

using veltrin::testing::Outcome;
using veltrin::testing::RunOptions;
using veltrin::testing::RunProgram;
using veltrin::testing::TestHost;

std::string CliProgram() { return std::string(VELTRIN_BINARY_DIR) + "/src/cli/veltrin-ping-cli"; }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<double> Numbers(const std::string& text, const std::regex& pattern) {
    std::vector<double> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it)
        out.push_back(std::stod((*it)[1].str()));
    return out;
}

class Folder {
public:
    Folder() {
        char pattern[] = "/tmp/veltrin-historynet-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~Folder() {
        if (path_.empty()) return;
        // Only what the programs made here: the settings and data folders and their files.
        for (const char* sub : {"/data/veltrin-ping", "/config/veltrin-ping"}) {
            const std::string d = path_ + sub;
            for (const char* f : {"/history.sqlite", "/history.sqlite-wal", "/history.sqlite-shm", "/korbel setting.ini"})
                ::unlink((d + f).c_str());
            ::rmdir(d.c_str());
        }
        ::rmdir((path_ + "/data").c_str());
        ::rmdir((path_ + "/config").c_str());
        ::rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

RunOptions EnvIn(const Folder& folder) {
    RunOptions o;
    o.env = {{"XDG_CONFIG_HOME", folder.path() + "/config"},
             {"XDG_DATA_HOME", folder.path() + "/data"},
             {"DISPLAY", ""},
             {"WAYLAND_DISPLAY", ""}};
    return o;
}

TEST(HistoryConsole, RoundTripToAHostAnsweringAfter50msAgreesWithPing) {
    if (auto why = TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why;
    if (::access("/usr/bin/ping", X_OK) != 0 && ::access("/bin/ping", X_OK) != 0) GTEST_SKIP() << "no ping";
    TestHost host({.delay_ms = 50});
    ASSERT_TRUE(host.ok()) << host.error();
    Folder folder;

    const Outcome ping = RunProgram({::access("/usr/bin/ping", X_OK) == 0 ? "/usr/bin/ping" : "/bin/ping", "-n", "-c", "20",
                                     "-i", "0.2", host.address()},
                                    EnvIn(folder));
    const std::vector<double> theirs = Numbers(ping.out, std::regex(R"(time=([0-9.]+) ms)"));
    ASSERT_GE(theirs.size(), 15u) << ping.out << ping.err;

    const Outcome ours = RunProgram({CliProgram(), "--format", "json", "--seconds", "5", "--interval", "2", "--no-history",
                                     host.address()},
                                    EnvIn(folder));
    const std::vector<double> mine = Numbers(ours.out, std::regex(R"("event":"reply".*"rtt_ms":([0-9.]+))"));
    ASSERT_GE(mine.size(), 15u) << ours.out << ours.err;

    const double theirmedian = Median(theirs), mymedian = Median(mine);
    std::printf("median round trip: ping %.3f ms, console %.3f ms\n", theirmedian, mymedian);
    EXPECT_GE(mymedian, 50.0) << "the responder holds every answer 50 ms";
    EXPECT_NEAR(mymedian, theirmedian, 1.0);
    // Whole milliseconds would be 50 or 51 every time: the console gives the fraction.
    EXPECT_TRUE(std::any_of(mine.begin(), mine.end(), [](double v) { return v != static_cast<long long>(v); }))
        << ours.out;
}

// The raw results a reader sees committed in the file now.
std::set<std::pair<long long, long long>> Committed(const std::string& path) {
    std::set<std::pair<long long, long long>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT wallms, rttus FROM raw", -1, &s, nullptr) == SQLITE_OK)
            while (sqlite3_step(s) == SQLITE_ROW) rows.insert({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1)});
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return rows;
}

pid_t Spawn(const std::vector<std::string>& args, const veltrin::testing::EnvChanges& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::none_of(changes.begin(), changes.end(), [&](const auto& c) { return c.first == name; })) env.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty()) env.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    std::vector<std::string> a = args;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

TEST(HistoryConsole, KilledOutrightWhileWritingTheDatabaseOpensAndKeepsWhatWasCommitted) {
    if (!veltrin::testing::CanOpenRawIcmp()) GTEST_SKIP() << "real ICMP needs root or CAP_NET_RAW";
    Folder folder;
    ASSERT_FALSE(folder.path().empty());
    const RunOptions env = EnvIn(folder);
    const std::string db = folder.path() + "/data/veltrin-ping/history.sqlite";

    // Four runs, each killed with SIGKILL at an unplanned moment of its writing (a batch a
    // second), each on top of what the last ones left.
    std::set<std::pair<long long, long long>> seen;
    for (int run = 0; run < 4; ++run) {
        const pid_t pid = Spawn({CliProgram(), "--interval", "1", "127.0.0.1", "127.0.0.2", "127.0.0.3"}, env.env);
        ASSERT_GT(pid, 0);
        const std::size_t before = seen.size();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::set<std::pair<long long, long long>> now;
        // Until this run has written a few batches; then at a moment set by the run number.
        while (std::chrono::steady_clock::now() < deadline) {
            now = Committed(db);
            if (now.size() >= before + 20) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(130 * run + 70));
        now = Committed(db);
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_GE(now.size(), before + 20) << "run " << run << " wrote too little";
        for (const auto& row : seen) EXPECT_EQ(now.count(row), 1u) << "a row of an earlier run is gone";
        seen = now;

        // The file opens as a history database, whole, with every committed row.
        std::string error;
        {
            auto store = veltrin::HistoryStore::Open(db, &error);
            ASSERT_TRUE(store) << error;
            store->Flush();
            EXPECT_FALSE(store->Failed()) << store->Error();
        }
        sqlite3* check = nullptr;
        ASSERT_EQ(sqlite3_open_v2(db.c_str(), &check, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(check, "PRAGMA integrity_check", -1, &s, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
        sqlite3_finalize(s);
        sqlite3_close(check);
        const auto after = Committed(db);
        for (const auto& row : seen) EXPECT_EQ(after.count(row), 1u) << "a committed row is gone";
    }

    // And the console prints them: every kept result of one address, as JSON lines.
    const Outcome printed = RunProgram({CliProgram(), "--history", "127.0.0.2", "--since", "1h"}, env);
    EXPECT_EQ(printed.status, 0) << printed.err;
    std::size_t lines = 0, replies = 0;
    std::istringstream in(printed.out);
    for (std::string line; std::getline(in, line);) {
        ++lines;
        if (line.find("\"event\":\"reply\"") != std::string::npos && line.find("\"address\":\"127.0.0.2\"") != std::string::npos)
            ++replies;
    }
    std::int64_t kept = -1;
    {
        sqlite3* check = nullptr;
        sqlite3_open_v2(db.c_str(), &check, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(check, "SELECT count(*) FROM raw JOIN hosts ON hosts.id = raw.host WHERE address = '127.0.0.2'",
                               -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            kept = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        sqlite3_close(check);
    }
    EXPECT_GT(kept, 0);
    EXPECT_EQ(static_cast<std::int64_t>(replies), kept) << printed.out;
    EXPECT_EQ(lines, replies) << "loopback loses nothing: replies only";
}

TEST(HistoryConsole, HistoryOptionAsksForOneAddressAndSaysWhenNothingIsKept) {
    Folder folder;
    const RunOptions env = EnvIn(folder);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* said;
    };
    const std::vector<Case> cases = {
        {{"--history", "127.0.0.1"}, 1, "no history kept yet"},
        {{"--history"}, 2, "--history needs an address"},
        {{"--history", "127.0.0.1", "127.0.0.2"}, 2, "give no other address"},
        {{"--since", "1h", "127.0.0.1"}, 2, "--since goes with --history"},
        {{"--history", "127.0.0.1", "--since", "1x"}, 2, "is not a span"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {CliProgram()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = RunProgram(args, env);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

}  // namespace
