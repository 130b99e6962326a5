// The console's command line: what to monitor, for how long, how to report it and where to
// serve metrics. Parsing never exits and never prints; the caller shows the message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltrin::cli {

enum class Format { Text, Json, Csv };

struct Options {
    // Files ("-" is standard input) and addresses, in command-line order.
    struct Source {
        bool isfile = false;
        std::string text;  // the path, or the address itself
    };
    std::vector<Source> sources;
    long seconds = -1;          // -1: until SIGINT / SIGTERM
    Format format = Format::Text;
    int interval = -1;          // 100 ms units; -1: the settings file's value
    int sweep = -1;             // the sweep pace: every row every N x 100 ms; -1: the ordinary pace
    int datalength = -1;        // bytes of the echo message; -1: the settings file's value
    int timeoutms = 2000;       // a request not answered within this counts as lost
    bool metrics = false;
    std::string metricshost;    // dotted IPv4; 127.0.0.1 unless given
    std::uint16_t metricsport = 0;
    bool help = false;
    bool version = false;
    bool verbose = false;       // say on stderr how ICMP is reached
    // --history ADDRESS [--since D]: print the stored history of ADDRESS and end.
    bool history = false;
    std::string historyaddress;
    long long sincems = 24LL * 3600 * 1000;
    bool nohistory = false;     // --no-history: keep no results of this run
};

struct ParseResult {
    bool ok = false;
    std::string error;  // one line, no trailing newline; empty when ok
};

// Bounds that keep every value meaningful (and every product of them inside an int).
inline constexpr long kMaxSeconds = 10L * 365 * 24 * 3600;
inline constexpr int kMaxInterval = 36000;      // one hour
inline constexpr int kMinDataLength = 12;       // the echo message's own header and tick
inline constexpr int kMaxDataLength = 1024;
inline constexpr int kMinTimeoutMs = 100;
inline constexpr int kMaxTimeoutMs = 60000;
inline constexpr std::size_t kMaxArguments = 100000;
inline constexpr std::size_t kMaxArgumentBytes = 4096;

// Parses argv[1..argc-1]. `needconsole`: the window program's form, where `--console` must be
// present; the console program accepts it but does not need it. An argument that is not an
// option is a file when it is "-", contains a "/" (but does not start with "http://"), ends in
// ".spl" or ".txt", or names an existing file; otherwise it is an address.
ParseResult ParseOptions(int argc, const char* const* argv, bool needconsole, Options& options);

// "ADDRESS:PORT" (":PORT" alone binds to loopback). Only dotted IPv4 or "localhost".
bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port, std::string& error);

// Whole decimal seconds with up to three decimals ("2", "0.5"), in milliseconds.
bool ParseSecondsMs(const std::string& text, long long& ms);

}  // namespace veltrin::cli
