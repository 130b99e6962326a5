// The Prometheus exposition: names, types, labels, histogram shape, rows merged by series, and
// promtool's own check of the text when promtool is installed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "metrics/exposition.h"
#include "testfiles.h"

extern char** environ;

namespace {

using veltrin::metrics::RowSample;

RowSample Row(std::string address, std::string ip, std::uint64_t requests, std::uint64_t replies, bool up) {
    RowSample s;
    s.address = std::move(address);
    s.ip = std::move(ip);
    s.requests = requests;
    s.replies = replies;
    s.lost = requests - replies;
    s.up = up;
    return s;
}

std::vector<std::string> Matching(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

TEST(MetricsExposition, SeriesOfEveryMetric) {
    RowSample a = Row("localhost", "127.0.0.1", 10, 9, true);
    a.buckets[0] = 5;
    a.buckets[4] = 4;
    a.rttsum = 0.0025;
    a.lastreply = 1796875743.5;
    const RowSample b = Row("silent", "198.18.0.2", 4, 0, false);
    const std::string text = veltrin::metrics::Render({a, b}, {});
    const std::string la = "{address=\"localhost\",ip=\"127.0.0.1\"}";
    const std::string lb = "{address=\"silent\",ip=\"198.18.0.2\"}";
    EXPECT_EQ(Matching(text, "veltrin_ping_requests_total"),
              (std::vector<std::string>{"veltrin_ping_requests_total" + la + " 10", "veltrin_ping_requests_total" + lb + " 4"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_replies_total"),
              (std::vector<std::string>{"veltrin_ping_replies_total" + la + " 9", "veltrin_ping_replies_total" + lb + " 0"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_lost_total"),
              (std::vector<std::string>{"veltrin_ping_lost_total" + la + " 1", "veltrin_ping_lost_total" + lb + " 4"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_up"),
              (std::vector<std::string>{"veltrin_ping_up" + la + " 1", "veltrin_ping_up" + lb + " 0"}));
    // Only a series that ever answered has a last reply time.
    EXPECT_EQ(Matching(text, "veltrin_ping_last_reply_timestamp_seconds"),
              (std::vector<std::string>{"veltrin_ping_last_reply_timestamp_seconds" + la + " 1796875743.5"}));
    for (const char* type : {"# TYPE veltrin_ping_requests_total counter", "# TYPE veltrin_ping_replies_total counter",
                             "# TYPE veltrin_ping_lost_total counter", "# TYPE veltrin_ping_rtt_seconds histogram",
                             "# TYPE veltrin_ping_up gauge", "# TYPE veltrin_ping_last_reply_timestamp_seconds gauge"})
        EXPECT_EQ(Matching(text, type).size(), 1u) << type;
}

TEST(MetricsExposition, HistogramIsCumulativeWithTheWholeBucketLadder) {
    RowSample a = Row("h", "10.0.0.1", 7, 7, true);
    a.buckets[0] = 2;
    a.buckets[10] = 3;
    a.buckets[19] = 1;  // one reply above the last bound shows only in +Inf
    a.rttsum = 40.5;
    const std::string text = veltrin::metrics::Render({a}, {});
    const auto buckets = Matching(text, "veltrin_ping_rtt_seconds_bucket");
    const std::vector<std::string> bounds = {"5e-05", "0.0001", "0.0002", "0.0004", "0.0008", "0.0016", "0.0032",
                                             "0.0064", "0.0128", "0.0256", "0.0512", "0.1024", "0.2048", "0.4096",
                                             "0.8192", "1.6384", "3.2768", "6.5536", "13.1072", "26.2144", "+Inf"};
    const std::vector<int> counts = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 5, 5, 5, 5, 5, 5, 5, 5, 5, 6, 7};
    ASSERT_EQ(buckets.size(), bounds.size());
    for (std::size_t i = 0; i < bounds.size(); ++i)
        EXPECT_EQ(buckets[i], "veltrin_ping_rtt_seconds_bucket{address=\"h\",ip=\"10.0.0.1\",le=\"" + bounds[i] + "\"} " +
                                  std::to_string(counts[i]));
    EXPECT_EQ(Matching(text, "veltrin_ping_rtt_seconds_sum"),
              (std::vector<std::string>{"veltrin_ping_rtt_seconds_sum{address=\"h\",ip=\"10.0.0.1\"} 40.5"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_rtt_seconds_count"),
              (std::vector<std::string>{"veltrin_ping_rtt_seconds_count{address=\"h\",ip=\"10.0.0.1\"} 7"}));
}

TEST(MetricsExposition, RowsOfOneSeriesAddUp) {
    // A series must appear once: the same address listed twice is one series.
    RowSample a = Row("127.0.0.1", "127.0.0.1", 3, 3, false);
    a.lastreply = 100;
    RowSample b = Row("127.0.0.1", "127.0.0.1", 2, 1, true);
    b.lastreply = 200;
    const std::string text = veltrin::metrics::Render({a, Row("other", "127.0.0.1", 1, 1, true), b}, {});
    EXPECT_EQ(Matching(text, "veltrin_ping_requests_total{address=\"127.0.0.1\""),
              (std::vector<std::string>{"veltrin_ping_requests_total{address=\"127.0.0.1\",ip=\"127.0.0.1\"} 5"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_lost_total{address=\"127.0.0.1\""),
              (std::vector<std::string>{"veltrin_ping_lost_total{address=\"127.0.0.1\",ip=\"127.0.0.1\"} 1"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_up{address=\"127.0.0.1\""),
              (std::vector<std::string>{"veltrin_ping_up{address=\"127.0.0.1\",ip=\"127.0.0.1\"} 1"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_last_reply_timestamp_seconds{address=\"127.0.0.1\""),
              (std::vector<std::string>{"veltrin_ping_last_reply_timestamp_seconds{address=\"127.0.0.1\",ip=\"127.0.0.1\"} 200"}));
    EXPECT_EQ(Matching(text, "veltrin_ping_requests_total").size(), 2u);
}

TEST(MetricsExposition, LabelValuesAreEscapedAndValidUtf8) {
    EXPECT_EQ(veltrin::metrics::EscapeLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(veltrin::metrics::EscapeLabel("x\xff"), "x\xef\xbf\xbd");
    EXPECT_EQ(veltrin::metrics::EscapeLabel("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(MetricsExposition, Numbers) {
    EXPECT_EQ(veltrin::metrics::FormatNumber(0), "0");
    EXPECT_EQ(veltrin::metrics::FormatNumber(20000), "20000");
    EXPECT_EQ(veltrin::metrics::FormatNumber(0.1024), "0.1024");
    EXPECT_EQ(veltrin::metrics::FormatNumber(1796875743.25), "1796875743.25");
    EXPECT_EQ(veltrin::metrics::FormatNumber(1.0 / 0.0), "+Inf");
}

TEST(MetricsExposition, ProcessMetricsFromProc) {
    const auto p = veltrin::metrics::ReadProcessSample();
    EXPECT_GE(p.cpuseconds, 0);
    EXPECT_GT(p.residentbytes, 0);
    EXPECT_GT(p.starttime, 1e9);
    EXPECT_GE(p.openfds, 3);
    const std::string text = veltrin::metrics::Render({}, p);
    EXPECT_EQ(Matching(text, "process_resident_memory_bytes ").size(), 1u);
    EXPECT_EQ(Matching(text, "# TYPE process_cpu_seconds_total counter").size(), 1u);
}

// promtool reads the text from standard input.
int Promtool(const std::string& text, std::string& output) {
    veltrin::testfiles::TempFolder dir("promtool");
    veltrin::testfiles::PutFile(dir / "in", text);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (dir / "in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const char* argv[] = {"/usr/bin/promtool", "check", "metrics", nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    output = veltrin::testfiles::ReadFile(dir / "out");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MetricsExposition, PromtoolAcceptsTheText) {
    if (::access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    RowSample a = Row("host \"quoted\"\\back\nslash", "127.0.0.1", 10, 9, true);
    a.buckets[3] = 9;
    a.rttsum = 0.003;
    a.lastreply = 1796875743.123;
    RowSample b = Row("bad\xff utf8", "", 0, 0, false);
    const std::string text = veltrin::metrics::Render({a, b, a}, veltrin::metrics::ReadProcessSample());
    std::string output;
    EXPECT_EQ(Promtool(text, output), 0) << output << "\n" << text;
    // promtool's lint is quiet on a clean text.
    EXPECT_EQ(output, "") << text;
}

}  // namespace

namespace {

// The cached exposition must give exactly the text of a full render of the same rows, through
// any sequence of changes, including rows whose ip changes series and series left empty.
TEST(MetricsExposition, CachedTextEqualsAFullRender) {
    std::vector<RowSample> rows = {Row("a", "10.0.0.1", 0, 0, false), Row("b", "10.0.0.2", 0, 0, false),
                                   Row("a", "10.0.0.1", 0, 0, false), Row("name", "", 0, 0, false),
                                   Row("c\"q", "10.0.0.3", 0, 0, false)};
    veltrin::metrics::Exposition cached(rows);
    const veltrin::metrics::ProcessSample none;
    EXPECT_EQ(cached.Render(none), veltrin::metrics::Render(rows, none));
    std::uint32_t seed = 7;
    auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    const std::vector<std::string> ips = {"", "10.0.0.1", "10.0.0.2", "10.0.0.9"};
    for (int step = 0; step < 300; ++step) {
        const int changes = static_cast<int>(next(4));
        for (int k = 0; k < changes; ++k) {
            const auto i = next(static_cast<std::uint32_t>(rows.size()));
            RowSample& r = rows[i];
            r.requests += 1;
            if (next(2) == 0) {
                r.replies += 1;
                const auto b = next(veltrin::metrics::kBuckets + 1);  // kBuckets: above the last bound
                if (b < veltrin::metrics::kBuckets) r.buckets[b] += 1;
                r.rttsum += 0.001 * next(100);
            } else {
                r.lost += 1;
            }
            r.up = next(2) == 1;
            if (next(3) == 0) r.lastreply = 1796875743.0 + step;
            if (next(10) == 0) r.ip = ips[next(static_cast<std::uint32_t>(ips.size()))];
            cached.Update(static_cast<int>(i), r);
        }
        if (step % 3 == 0) {
            ASSERT_EQ(cached.Render(none), veltrin::metrics::Render(rows, none)) << "step " << step;
        }
    }
    // Out-of-range rows are ignored.
    cached.Update(-1, rows[0]);
    cached.Update(static_cast<int>(rows.size()), rows[0]);
    EXPECT_EQ(cached.Render(none), veltrin::metrics::Render(rows, none));
}

}  // namespace
