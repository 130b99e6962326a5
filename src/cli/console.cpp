// Qt-free on purpose: the console must run where no display and no Qt libraries exist.
#include "cli/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/addressinput.h"
#include "cli/consolehistory.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/rowstats.h"
#include "engine/global_unit.h"
#include "engine/icmp_channel.h"
#include "logs/logfiles.h"
#include "logs/logops.h"
#include "metrics/exposition.h"
#include "metrics/httpserver.h"
#include "monitor/monitor.h"
#include "monitor/namecache.h"
#include "monitor/statetext.h"
#include "settings/settingsfile.h"
#include "settings/startup.h"

#ifndef VELTRIN_VERSION
#define VELTRIN_VERSION "unknown"
#endif

namespace veltrin {

namespace {

using Clock = std::chrono::steady_clock;
using cli::Format;

static_assert(cli::kRttBuckets == metrics::kBuckets);

constexpr auto kTtyRefresh = std::chrono::milliseconds(250);
constexpr auto kPlainRefresh = std::chrono::seconds(1);
// Requests past their time-out are looked for at least this often.
constexpr auto kExpireEvery = std::chrono::milliseconds(250);
constexpr std::size_t kPlainRowsPerReport = 20;  // beyond this a report line sums the changes up

// ---- signals: the handler only writes one byte into a pipe ------------------------------------

int signalpipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalpipe[1], &byte, 1);
    errno = saved;
}

bool SignalArrived() {
    char buffer[16];
    bool any = false;
    while (::read(signalpipe[0], buffer, sizeof buffer) > 0) any = true;
    return any;
}

bool InstallSignalHandlers() {
    if (signalpipe[0] < 0 && ::pipe2(signalpipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A reader that went away (`| head`) is seen as a failed write, not a killed process.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

// ---- text for a terminal ------------------------------------------------------------------------

// Captions come from a file anyone may have written: control characters (C0, DEL and the C1
// range, which some terminals take as escape sequences) must not reach a terminal.
std::string ForTerminal(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || (b >= 0x80 && b <= 0x9F)) c = '?';
    }
    return out;
}

std::string Fit(const std::string& text, std::size_t width) {
    if (text.size() <= width) return text + std::string(width - text.size(), ' ');
    if (width == 0) return {};
    return text.substr(0, width - 1) + "~";
}

void WriteAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Messages go to standard error, one line each, with the program's name in front.
const char* programname = "veltrin-ping";

void Say(const std::string& text) {
    const std::string line = std::string(programname) + ": " + ForTerminal(text) + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

// ---- the window side of the monitor -----------------------------------------------------------

class ConsoleEvents : public MonitorEvents {
public:
    bool running = false;
    bool noicmp = false;
    std::string fatal;
    void StatusChanged(bool r) override { running = r; }
    void FatalError(const std::string& text) override {
        if (fatal.empty()) fatal = text;
    }
    void RawSocketUnavailable(const std::string& hint) override {
        Say(hint);
        noicmp = true;
    }
    // In the text format each change of a row's state is said as it happens, on stderr so that
    // standard output keeps its table and address-log lines.
    bool saystates = false;
    void RowStatesChanged(const std::vector<StateChange>& changes) override {
        if (!saystates) return;
        for (const StateChange& c : changes)
            if (c.to != RowState::NotYetPinged && c.to != RowState::NeverAnswered) Say(StateChangeLine(c));
    }
    HistoryStore* history = nullptr;  // the run's results go here when history is kept
    void Results(const std::vector<EchoResult>& results) override {
        if (history != nullptr) history->Record(results);
    }
};

// The console thread hands every changed row to the exposition; the metrics server's thread
// writes the text from it.
class MetricsStore {
public:
    explicit MetricsStore(const cli::Accounting& accounting) : exposition_(Samples(accounting)) {}
    void Update(int i, const cli::RowAccount& a) { exposition_.Update(i, Sample(a)); }
    std::string Render() { return exposition_.Render(metrics::ReadProcessSample()); }

private:
    static metrics::RowSample Sample(const cli::RowAccount& a) {
        metrics::RowSample s;
        s.address = a.address;
        s.ip = a.ip;
        s.requests = a.sent;
        s.replies = a.received;
        s.lost = a.lost;
        s.buckets = a.buckets;
        s.rttsum = a.rttsum;
        s.up = a.state == cli::RowState::Answering;
        if (a.lastreply) s.lastreply = std::chrono::duration<double>(a.lastreply->time_since_epoch()).count();
        return s;
    }
    static std::vector<metrics::RowSample> Samples(const cli::Accounting& accounting) {
        std::vector<metrics::RowSample> rows;
        rows.reserve(static_cast<std::size_t>(accounting.Count()));
        for (int i = 0; i < accounting.Count(); ++i) rows.push_back(Sample(accounting.Row(i)));
        return rows;
    }

    metrics::Exposition exposition_;
};

// Everything the run reports, fed from the monitor's picks and row updates.
class Reporter : public AddressList::Observer {
public:
    Reporter(const AddressList& list, cli::Accounting& accounting, Format format, MetricsStore* store)
        : list_(list), accounting_(accounting), format_(format), store_(store) {
        flags_.assign(static_cast<std::size_t>(list.Count()), 0);
        hasttl_.assign(static_cast<std::size_t>(list.Count()), 0);
        statuses_.resize(static_cast<std::size_t>(list.Count()));
        for (int i = 0; i < list.Count(); ++i) {
            statuses_[static_cast<std::size_t>(i)] = StatusKey(list.Status(i));
            if (!list.Row(i).ttl.empty()) {
                hasttl_[static_cast<std::size_t>(i)] = 1;
                ++answered_;
            }
        }
    }

    // The rows that show a reply, kept as they change: the live table asks four times a second.
    int Answered() const { return answered_; }

    // The monitor sends to row `i` (`ip` empty: the row has no address, nothing is sent) at
    // `sentns` (steady clock, which is CLOCK_MONOTONIC like the monitor's times).
    void Picked(int i, const std::string& ip, std::int64_t sentns) {
        if (i < 0 || i >= list_.Count()) return;
        // A name still waiting for its first answer is skipped, not counted as having none; the
        // cache is only read here, never asked to look anything up on this thread.
        if (ip.empty() && SharedNameCache().Peek(list_.Row(i).address).state == NameAnswer::State::Pending) return;
        const auto sent = Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(sentns)));
        Changed(i, accounting_.Sent(i, ip, std::min(sent, Clock::now())));
    }

    void Expire() {
        accounting_.Expire(Clock::now(), [this](int i, const cli::RowChange& c) { Changed(i, c); });
    }

    // AddressList::Observer: the console's list never changes shape.
    void RowsReset() override {}
    void RowsInserted(int, int) override {}
    void RowsRemoved(int, int) override {}
    void SelectionChanged() override {}
    void RowChanged(int row) override {
        auto i = static_cast<std::size_t>(row);
        if (i >= flags_.size()) return;
        const char hasttl = list_.Row(row).ttl.empty() ? 0 : 1;
        if (hasttl != hasttl_[i]) {
            answered_ += hasttl != 0 ? 1 : -1;
            hasttl_[i] = hasttl;
        }
        // The list also announces a change of the row's reachability status; only a change of
        // its cells is a reply.
        const auto key = StatusKey(list_.Status(row));
        if (key != statuses_[i]) {
            statuses_[i] = key;
            return;
        }
        if (flags_[i] == 0) {
            flags_[i] = 1;
            changed_.push_back(row);
        }
        const AddressRow& r = list_.Row(row);
        const std::int64_t rtt = Number(r.time);
        const auto wall = std::chrono::system_clock::now();
        const cli::RowChange change = accounting_.Replied(row, rtt, Clock::now(), wall);
        if (format_ == Format::Json) {
            const std::size_t colon = r.bytes.rfind(' ');
            const std::int64_t bytes = Number(colon == std::string::npos ? r.bytes : r.bytes.substr(colon + 1));
            // The row's status already holds this reply's round trip to the microsecond.
            const double precise = list_.Status(row).lastrttms;
            out_ += cli::ReplyEvent(row, accounting_.Row(row), static_cast<int>(Number(r.ttl)),
                                    precise >= 0 ? precise : static_cast<double>(rtt), static_cast<int>(bytes), wall);
            out_ += '\n';
        }
        Changed(row, change);
    }

    // The rows changed since the last call, in list order.
    std::vector<int> TakeChanged() {
        std::vector<int> rows;
        rows.swap(changed_);
        for (int r : rows) flags_[static_cast<std::size_t>(r)] = 0;
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    // Event lines gathered since the last call.
    void Flush() {
        if (out_.empty()) return;
        WriteAll(out_);
        out_.clear();
    }

private:
    using Key = std::tuple<int, std::uint64_t, std::uint64_t, std::uint64_t, std::int64_t, std::int64_t, int>;
    static Key StatusKey(const RowStatus& s) {
        return {static_cast<int>(s.state), s.sent, s.received, s.lost, s.lastreplyms, s.sincems, s.recentcount};
    }

    static std::int64_t Number(const std::string& text) {
        std::int64_t value = 0;
        std::from_chars(text.data(), text.data() + text.size(), value);
        return value;
    }

    void Changed(int i, const cli::RowChange& change) {
        if (store_ != nullptr) store_->Update(i, accounting_.Row(i));
        if (change.state && format_ == Format::Json) {
            out_ += cli::StateEvent(i, accounting_.Row(i), change.previous, std::chrono::system_clock::now());
            out_ += '\n';
        }
    }

    const AddressList& list_;
    cli::Accounting& accounting_;
    Format format_;
    MetricsStore* store_;
    std::vector<char> flags_;
    std::vector<char> hasttl_;
    int answered_ = 0;
    std::vector<Key> statuses_;
    std::vector<int> changed_;
    std::string out_;
};

// The live table on a terminal, redrawn in place.
class LiveView {
public:
    void Draw(const AddressList& list, int answered, bool running, long elapsed) {
        winsize size{};
        int rows = 24, cols = 80;
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
            rows = size.ws_row;
            cols = size.ws_col;
        }
        const auto width = static_cast<std::size_t>(std::max(cols - 1, 20));  // never wrap: wrapping breaks the redraw
        std::string out = Erase();
        std::vector<std::string> lines;
        lines.push_back("Veltrin Ping Utility  " + std::to_string(list.Count()) + " addresses, " +
                        std::to_string(answered) + " answered  " + (running ? "running" : "stopped") + "  " +
                        std::to_string(elapsed) + " s  (Ctrl+C ends)");
        lines.push_back(Fit("Addresses", 24) + " " + Fit("TTL", 5) + " " + Fit("Time(ms)", 9) + " Bytes");
        const int room = std::max(rows - 3, 1);
        const int shown = std::min(list.Count(), room);
        for (int i = 0; i < shown; ++i) {
            const AddressRow& r = list.Row(i);
            lines.push_back(Fit(ForTerminal(r.address), 24) + " " + Fit(r.ttl, 5) + " " + Fit(r.time, 9) + " " + r.bytes);
        }
        if (shown < list.Count()) lines.push_back("... " + std::to_string(list.Count() - shown) + " more");
        for (auto& line : lines) {
            if (line.size() > width) line.resize(width);
            out += line;
            out += "\n";
        }
        drawn_ = static_cast<int>(lines.size());
        WriteAll(out);
    }
    // Moves back over the last drawing and clears it.
    std::string Erase() {
        if (drawn_ == 0) return {};
        std::string out = "\x1b[" + std::to_string(drawn_) + "F\x1b[J";
        drawn_ = 0;
        return out;
    }

private:
    int drawn_ = 0;
};

// Plain lines for a pipe or a file: once a second, the rows that changed.
void Report(const AddressList& list, const std::vector<int>& rows, int answered, long elapsed) {
    if (rows.empty()) return;
    std::string out;
    const std::string stamp = "+" + std::to_string(elapsed) + "s ";
    if (rows.size() > kPlainRowsPerReport) {
        out = stamp + std::to_string(rows.size()) + " rows answered, " + std::to_string(answered) + " of " +
              std::to_string(list.Count()) + " so far\n";
    } else {
        for (int i : rows) {
            const AddressRow& r = list.Row(i);
            out += stamp + r.address + "  TTL " + r.ttl + "  Time(ms) " + r.time + "  " + r.bytes + "\n";
        }
    }
    WriteAll(out);
}

// Gathers the rows of every source. False (after saying why) for an unreadable or empty file.
bool LoadSources(const cli::Options& options, std::vector<AddressRow>& rows) {
    for (const auto& source : options.sources) {
        if (!source.isfile) {
            AddressRow row;
            row.address = source.text;
            rows.push_back(std::move(row));
            continue;
        }
        std::string bytes, error;
        if (!cli::ReadSource(source.text, bytes, error)) {
            Say(error);
            return false;
        }
        cli::AddressText text;
        cli::ReadAddressText(bytes, text);
        const std::string shown = source.text == "-" ? std::string("standard input") : "\"" + source.text + "\"";
        for (const std::string& problem : text.problems) Say(shown + ", " + problem);
        if (text.skipped > 0)
            Say(shown + ": " + std::to_string(text.skipped) + " addresses past the first " +
                std::to_string(kMaxImportRows) + " are left out");
        if (text.rows.empty()) {
            Say(shown + " holds no address");
            return false;
        }
        if (rows.size() + text.rows.size() > kMaxImportRows) {
            Say("more than " + std::to_string(kMaxImportRows) + " addresses in all");
            return false;
        }
        rows.insert(rows.end(), std::make_move_iterator(text.rows.begin()), std::make_move_iterator(text.rows.end()));
    }
    return true;
}

}  // namespace

// The options both programs take, spelled once so the two help texts cannot drift apart.
#define VELTRIN_SHARED_OPTIONS \
    "--interval N     pause after each request, in 100 ms steps (1..36000)\n" \
    "--sweep N        every address once every N x 100 ms (1..36000), in list order, the\n" \
    "                 requests spread evenly, one in flight per address (for long lists)\n" \
    "--data-length N  bytes of each echo message (12..1024)\n" \
    "--timeout S      a request not answered within S seconds is lost (0.1..60, default 2)\n" \
    "--metrics A:P    serve Prometheus metrics on http://A:P/metrics (A defaults to 127.0.0.1)\n" \
    "--verbose        say on stderr how ICMP is sent (raw socket, packet helper, datagram sockets)\n" \
    "--no-history     keep no results of this run in the history database\n" \
    "--history A      print the kept history of address A as JSON lines (minute rows older\n" \
    "                 than the raw results, then one line per echo) and end\n" \
    "--since D        with --history: the last D (90s, 30m, 1h, 2d; default 24h)\n"

const char* UsageText() {
    return "Usage: veltrin-ping [FILE.spl]\n"
           "       veltrin-ping --console [OPTIONS] FILE|-|ADDRESS...\n"
           "       veltrin-ping --console --history ADDRESS [--since D]\n"
           "       veltrin-ping --help | --version\n"
           "\n"
           "Without options the desktop monitor starts, loading FILE.spl when given.\n"
           "--console        monitor on this terminal, without a display: the addresses of an\n"
           "                 address log (.spl), of a plain list (one address per line, # comments),\n"
           "                 of standard input (-), or given on the command line\n"
           "--seconds S      end after S seconds (default: at Ctrl+C or SIGTERM)\n"
           "--format F       text (live table, then address-log lines), json (an object per reply\n"
           "                 and state change, then one summary per row) or csv (the summary)\n"
           VELTRIN_SHARED_OPTIONS
           "--help           show this text\n"
           "--version        show the version\n"
           "\n"
           "Exit status: 0 every address answered and still answers, 1 some did not,\n"
           "2 bad usage or an unreadable or empty file, 3 no way to send ICMP (no rights).\n";
}

const char* CliUsageText() {
    return "Usage: veltrin-ping-cli [OPTIONS] FILE|-|ADDRESS...\n"
           "       veltrin-ping-cli --history ADDRESS [--since D]\n"
           "       veltrin-ping-cli --help | --version\n"
           "\n"
           "Monitors the addresses of an address log (.spl), of a plain list (one address per\n"
           "line, # comments), of standard input (-), or given on the command line.\n"
           "--seconds S      end after S seconds (default: at Ctrl+C or SIGTERM)\n"
           "--format F       text (progress, then address-log lines), json (an object per reply\n"
           "                 and state change, then one summary per row) or csv (the summary)\n"
           VELTRIN_SHARED_OPTIONS
           "--console        accepted for the window program's form\n"
           "--help           show this text\n"
           "--version        show the version\n"
           "\n"
           "Exit status: 0 every address answered and still answers, 1 some did not,\n"
           "2 bad usage or an unreadable or empty file, 3 no way to send ICMP (no rights).\n";
}
#undef VELTRIN_SHARED_OPTIONS

int RunConsole(int argc, char** argv, bool needconsole) {
    programname = needconsole ? "veltrin-ping" : "veltrin-ping-cli";
    const char* usage = needconsole ? UsageText() : CliUsageText();
    cli::Options options;
    const cli::ParseResult parsed = cli::ParseOptions(argc, argv, needconsole, options);
    if (!parsed.ok) {
        Say(parsed.error);
        std::fputs(usage, stderr);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", programname, VELTRIN_VERSION);
        return 0;
    }

    if (options.history) return cli::PrintHistory(options, WriteAll, Say);

    std::vector<AddressRow> rows;
    if (!LoadSources(options, rows)) return kExitUsage;
    if (rows.empty()) {
        Say("no address to monitor");
        return kExitUsage;
    }

    if (!InstallSignalHandlers()) {
        Say(std::string("cannot install the signal handlers: ") + std::strerror(errno));
        return kExitSomeSilent;
    }

    EngineStartup();
    Tgolbal* golbal = Golbal();
    std::int32_t interval = 3;
    if (golbal != nullptr) {
        // A missing settings file gives the defaults; the options win over it.
        LoadSettingsFile(*golbal);
        if (options.interval > 0) golbal->interval = options.interval;
        if (options.sweep > 0) golbal->interval = options.sweep;
        if (options.datalength > 0) golbal->datalength = options.datalength;
        interval = golbal->interval;
    }
    if (options.sweep > 0) interval = options.sweep;
    const std::string intervaltext = std::to_string(interval);

    std::vector<std::string> addresses;
    addresses.reserve(rows.size());
    for (const AddressRow& row : rows) addresses.push_back(row.address);
    cli::Accounting accounting(std::move(addresses), std::chrono::milliseconds(options.timeoutms));

    std::unique_ptr<MetricsStore> store;
    metrics::HttpServer server;
    if (options.metrics) {
        store = std::make_unique<MetricsStore>(accounting);
        std::string error;
        if (!server.Start(options.metricshost, options.metricsport, [&store] { return store->Render(); }, error)) {
            Say(error);
            EngineShutdown();
            return kExitUsage;
        }
        Say("metrics on http://" + options.metricshost + ":" + std::to_string(server.Port()) + "/metrics");
    }

    const bool tty = options.format == Format::Text && ::isatty(STDOUT_FILENO) == 1;
    int status = kExitAllAnswered;
    AddressList list;
    list.AppendRows(std::move(rows));
    Reporter reporter(list, accounting, options.format, store.get());
    list.SetObserver(&reporter);
    // Made before the monitor, so the monitor's last results still find it.
    const std::unique_ptr<HistoryStore> history = cli::OpenRunHistory(options, golbal ? golbal->inipath : std::string(), Say);
    ConsoleEvents events;
    events.saystates = options.format == Format::Text;
    events.history = history.get();
    {
        // Steps and signals both wake the loop at once through descriptors it polls.
        const int stepfd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        // Closed after the queue and the monitor (declared below) are gone.
        const struct CloseAtEnd {
            int fd;
            ~CloseAtEnd() {
                if (fd >= 0) ::close(fd);
            }
        } stepfdowner{stepfd};
        StepQueue queue([stepfd] {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(stepfd, &one, sizeof one);
        });
        queue.SetWindowThread(std::this_thread::get_id());
        Monitor monitor(list, queue, events, [&intervaltext] { return intervaltext; });
        monitor.SetPickObserver(
            [&reporter](int row, const std::string& ip, std::int64_t sentns) { reporter.Picked(row, ip, sentns); });
        monitor.SetSweep(options.sweep > 0);

        // The workers are made with the signals blocked, so only this thread ever takes them and
        // the workers' waits are never interrupted.
        sigset_t block, previous;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &block, &previous);
        monitor.Start();
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

        LiveView view;
        const auto started = Clock::now();
        const auto refresh = tty ? std::chrono::duration_cast<Clock::duration>(kTtyRefresh)
                                 : std::chrono::duration_cast<Clock::duration>(kPlainRefresh);
        auto nextdraw = tty ? started : started + refresh;
        const bool timed = options.seconds >= 0;
        const auto end = started + std::chrono::seconds(timed ? options.seconds : 0);
        bool pathtold = false;
        bool lookatsignals = true;  // the signal pipe is read only when the poll says it holds something
        // Losses are looked for across all rows every kExpireEvery, not at every wake: with a
        // long list and a busy sweep the loop wakes many times a second, and a reply settles its
        // own row's losses anyway.
        auto nextexpire = started;
        for (;;) {
            const auto now = Clock::now();
            if (options.verbose && !pathtold && CurrentIcmpPath() != IcmpPath::None) {
                pathtold = true;
                std::fprintf(stderr, "veltrin-ping: %s\n", IcmpPathText(CurrentIcmpPath()).c_str());
            }
            if (now >= nextexpire) {
                reporter.Expire();
                nextexpire = now + kExpireEvery;
            }
            reporter.Flush();
            if (lookatsignals && SignalArrived()) break;
            lookatsignals = stepfd < 0;
            if (!events.fatal.empty() || events.noicmp) break;
            if (timed && now >= end) break;
            if (now >= nextdraw) {
                const long elapsed = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - started).count());
                const std::vector<int> changed = reporter.TakeChanged();
                if (tty)
                    view.Draw(list, reporter.Answered(), events.running, elapsed);
                else if (options.format == Format::Text)
                    Report(list, changed, reporter.Answered(), elapsed);
                nextdraw = now + refresh;
            }
            // Only what is due wakes the loop: a redraw where something is drawn, the end, and
            // a look for losses while requests wait for replies (a steady host answers each
            // echo in the step that tells of its send, so then none wait between steps).
            const auto draws = tty || options.format == Format::Text;
            auto wait = (timed ? end : started + std::chrono::hours(24 * 365)) - Clock::now();
            if (draws) wait = std::min<Clock::duration>(wait, nextdraw - Clock::now());
            if (accounting.Pending() > 0) wait = std::min<Clock::duration>(wait, nextexpire - Clock::now());
            // Rounded up, so the loop does not spin through the last fraction of a millisecond.
            const auto ms = std::min<long long>(std::chrono::ceil<std::chrono::milliseconds>(wait).count(), 3'600'000);
            if (stepfd < 0) {
                queue.WaitAndDrain(static_cast<int>(std::min<long long>(std::max<long long>(ms, 0), 50)));
                continue;
            }
            pollfd fds[2] = {{signalpipe[0], POLLIN, 0}, {stepfd, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(std::max<long long>(ms, 0))) > 0) {
                lookatsignals = (fds[0].revents & POLLIN) != 0;
                if ((fds[1].revents & POLLIN) != 0) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const ssize_t n = ::read(stepfd, &count, sizeof count);
                }
            }
            queue.Drain();
        }
        // Replies already handed over still count.
        queue.Drain();
        reporter.Expire();
        reporter.Flush();
        if (tty) WriteAll(view.Erase());
        if (!events.fatal.empty()) {
            Say(events.fatal);
            status = kExitSomeSilent;
        }
        // The monitor stops and joins its workers here; the rows no longer change after it.
    }
    list.SetObserver(nullptr);
    server.Stop();
    accounting.Finish();

    std::string out;
    if (options.format == Format::Text) {
        if (!events.noicmp)
            for (int i = 0; i < list.Count(); ++i) Say(RowStateLine(list.Row(i).address, list.Status(i)));
        for (const AddressRow& row : list.Rows()) {
            std::string line = MainLogLine(row);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out += tty ? ForTerminal(line) : line;
            out += '\n';
        }
    } else if (options.format == Format::Json) {
        for (int i = 0; i < accounting.Count(); ++i) out += cli::SummaryJson(i, accounting.Row(i)) + "\n";
    } else {
        out += cli::CsvHeader() + "\n";
        for (int i = 0; i < accounting.Count(); ++i) out += cli::CsvLine(accounting.Row(i)) + "\n";
    }
    WriteAll(out);
    EngineShutdown();
    if (events.noicmp) return kExitNoIcmp;
    if (status != kExitAllAnswered) return status;
    return accounting.AllAnswering() ? kExitAllAnswered : kExitSomeSilent;
}

}  // namespace veltrin
