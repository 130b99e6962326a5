// Qt-free on purpose: the console must run where no display and no Qt platform plugin exist.
#include "app/console.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/global_unit.h"
#include "logs/logfiles.h"
#include "logs/logops.h"
#include "monitor/monitor.h"
#include "monitor/statetext.h"
#include "settings/paths.h"
#include "settings/settingsfile.h"
#include "settings/startup.h"

namespace veltrin {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxSeconds = 10L * 365 * 24 * 3600;
constexpr auto kTtyRefresh = std::chrono::milliseconds(250);
constexpr auto kPlainRefresh = std::chrono::seconds(1);
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
    if (::pipe2(signalpipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
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

// ---- the window side of the monitor -----------------------------------------------------------

class ConsoleEvents : public MonitorEvents {
public:
    bool running = false;
    std::string fatal;
    void StatusChanged(bool r) override { running = r; }
    void FatalError(const std::string& text) override {
        if (fatal.empty()) fatal = text;
    }
    void RawSocketUnavailable(const std::string& hint) override {
        std::fprintf(stderr, "veltrin-ping: %s\n", hint.c_str());
        std::fflush(stderr);
    }
    // Reachability changes, printed by the loop as they come.
    std::vector<std::string> statelines;
    void RowStatesChanged(const std::vector<StateChange>& changes) override {
        for (const StateChange& c : changes) statelines.push_back(StateChangeLine(c));
    }
};

// Remembers which rows changed since the last report.
class ChangeLog : public AddressList::Observer {
public:
    explicit ChangeLog(const AddressList& list) : list_(list) {}
    void RowsReset() override { Reset(); }
    void RowsInserted(int, int) override { Reset(); }
    void RowsRemoved(int, int) override { Reset(); }
    void RowChanged(int row) override {
        auto i = static_cast<std::size_t>(row);
        if (i < flags_.size() && flags_[i] == 0) {
            flags_[i] = 1;
            changed_.push_back(row);
        }
    }
    void SelectionChanged() override {}
    // The rows changed since the last call, in list order.
    std::vector<int> Take() {
        std::vector<int> rows;
        rows.swap(changed_);
        for (int r : rows) flags_[static_cast<std::size_t>(r)] = 0;
        std::sort(rows.begin(), rows.end());
        return rows;
    }

private:
    void Reset() {
        flags_.assign(static_cast<std::size_t>(list_.Count()), 0);
        changed_.clear();
    }
    const AddressList& list_;
    std::vector<char> flags_;
    std::vector<int> changed_;
};

int Answered(const AddressList& list) {
    int n = 0;
    for (const auto& row : list.Rows())
        if (!row.ttl.empty()) ++n;
    return n;
}

// The live table on a terminal, redrawn in place.
class LiveView {
public:
    void Draw(const AddressList& list, bool running, long elapsed) {
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
                        std::to_string(Answered(list)) + " answered  " + (running ? "running" : "stopped") + "  " +
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
void Report(const AddressList& list, ChangeLog& changes, long elapsed) {
    const std::vector<int> rows = changes.Take();
    if (rows.empty()) return;
    std::string out;
    const std::string stamp = "+" + std::to_string(elapsed) + "s ";
    if (rows.size() > kPlainRowsPerReport) {
        out = stamp + std::to_string(rows.size()) + " rows answered, " + std::to_string(Answered(list)) + " of " +
              std::to_string(list.Count()) + " so far\n";
    } else {
        for (int i : rows) {
            const AddressRow& r = list.Row(i);
            out += stamp + r.address + "  TTL " + r.ttl + "  Time(ms) " + r.time + "  " + r.bytes + "\n";
        }
    }
    WriteAll(out);
}

struct Options {
    std::string file;
    long seconds = -1;  // -1: until a signal
};

bool ParseSeconds(const char* text, long& value) {
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && ptr == end && ptr != text && value >= 0 && value <= kMaxSeconds;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    bool haveconsole = false, haveseconds = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--console" && !haveconsole && i + 1 < argc) {
            haveconsole = true;
            options.file = argv[++i];
        } else if (arg == "--seconds" && !haveseconds && i + 1 < argc) {
            haveseconds = true;
            if (!ParseSeconds(argv[++i], options.seconds)) return false;
        } else {
            return false;
        }
    }
    return haveconsole && !options.file.empty();
}

}  // namespace

const char* UsageText() {
    return "Usage: veltrin-ping [FILE.spl]\n"
           "       veltrin-ping --console FILE.spl [--seconds S]\n"
           "       veltrin-ping --help | --version\n"
           "\n"
           "Without options the desktop monitor starts, loading FILE.spl when given.\n"
           "--console     monitor the addresses of FILE.spl on this terminal, without a display;\n"
           "              on exit every row is printed as an address-log line\n"
           "--seconds S   end the console monitor after S seconds (default: at Ctrl+C or SIGTERM)\n"
           "--help        show this text\n"
           "--version     show the version\n";
}

int RunConsole(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::fputs(UsageText(), stderr);
        return 2;
    }

    std::vector<AddressRow> rows;
    if (!LoadAddressFile(options.file, rows)) {
        std::fprintf(stderr, "veltrin-ping: cannot read the address file \"%s\"\n", ForTerminal(options.file).c_str());
        return 2;
    }

    if (!InstallSignalHandlers()) {
        std::fprintf(stderr, "veltrin-ping: cannot install the signal handlers: %s\n", std::strerror(errno));
        return 1;
    }

    EngineStartup();
    Tgolbal* golbal = Golbal();
    std::int32_t interval = 3;
    if (golbal != nullptr) {
        // A missing settings file gives the defaults.
        LoadSettingsFile(*golbal);
        interval = golbal->interval;
    }
    const std::string intervaltext = std::to_string(interval);

    const bool tty = ::isatty(STDOUT_FILENO) == 1;
    int status = 0;
    AddressList list;
    ChangeLog changes(list);
    list.SetObserver(&changes);
    list.AppendRows(std::move(rows));
    if (list.Count() == 0)
        std::fprintf(stderr, "veltrin-ping: \"%s\" holds no address\n", ForTerminal(options.file).c_str());
    {
        StepQueue queue;
        queue.SetWindowThread(std::this_thread::get_id());
        ConsoleEvents events;
        Monitor monitor(list, queue, events, [&intervaltext] { return intervaltext; });
        ReachSettings reach;
        LoadReachSettings(SettingsFilePath(), reach);
        monitor.SetReachOptions({reach.timeoutms, reach.lostcount});

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
        for (;;) {
            const auto now = Clock::now();
            const auto since = [&] {
                return "+" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - started).count()) + "s ";
            };
            // On a terminal the live view shows the rows; the changes go into the closing summary.
            for (const std::string& line : std::exchange(events.statelines, {}))
                if (!tty) WriteAll(since() + ForTerminal(line) + "\n");
            if (SignalArrived()) break;
            if (!events.fatal.empty()) break;
            if (timed && now >= end) break;
            if (now >= nextdraw) {
                const long elapsed = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - started).count());
                if (tty)
                    view.Draw(list, events.running, elapsed);
                else
                    Report(list, changes, elapsed);
                nextdraw = now + refresh;
            }
            auto wait = std::min(nextdraw, timed ? end : nextdraw) - Clock::now();
            wait = std::min<Clock::duration>(wait, std::chrono::milliseconds(50));  // signals are looked at this often
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
            queue.WaitAndDrain(static_cast<int>(std::max<long long>(ms, 0)));
        }
        if (tty) WriteAll(view.Erase());
        if (!events.fatal.empty()) {
            std::fprintf(stderr, "veltrin-ping: %s\n", ForTerminal(events.fatal).c_str());
            status = 1;
        }
        // The monitor stops and joins its workers here; the rows no longer change after it.
    }
    list.SetObserver(nullptr);

    std::string out;
    // The state of every row, then every row as an address-log line.
    for (int i = 0; i < list.Count(); ++i) out += "+ state: " + ForTerminal(RowStateLine(list.Row(i).address, list.Status(i))) + "\n";
    for (const AddressRow& row : list.Rows()) {
        std::string line = MainLogLine(row);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out += tty ? ForTerminal(line) : line;
        out += '\n';
    }
    WriteAll(out);
    EngineShutdown();
    return status;
}

}  // namespace veltrin
