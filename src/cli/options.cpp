#include "cli/options.h"

#include "cli/duration.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <charconv>
#include <cstring>
#include <string_view>

namespace veltrin::cli {

namespace {

bool WholeNumber(std::string_view text, long long low, long long high, long long& value) {
    if (text.empty() || text.size() > 20) return false;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size() && value >= low && value <= high;
}

bool EndsWith(std::string_view text, std::string_view tail) {
    if (text.size() < tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        char c = text[text.size() - tail.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != tail[i]) return false;
    }
    return true;
}

bool StartsWithHttp(std::string_view text) {
    constexpr std::string_view http = "http://";
    if (text.size() < http.size()) return false;
    for (std::size_t i = 0; i < http.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != http[i]) return false;
    }
    return true;
}

bool LooksLikeFile(const std::string& arg) {
    if (arg == "-") return true;
    if (StartsWithHttp(arg)) return false;
    if (arg.find('/') != std::string::npos) return true;
    if (EndsWith(arg, ".spl") || EndsWith(arg, ".txt")) return true;
    struct stat info {};
    return ::stat(arg.c_str(), &info) == 0;
}

// Shown in a message: arguments come from anywhere, so control bytes become "?" and the text
// is cut short.
std::string Shown(std::string_view text) {
    std::string out(text.substr(0, 80));
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) c = '?';
    }
    if (text.size() > 80) out += "...";
    return out;
}

}  // namespace

bool ParseSecondsMs(const std::string& text, long long& ms) {
    const std::size_t dot = text.find('.');
    const std::string_view whole = std::string_view(text).substr(0, dot);
    long long seconds = 0;
    if (!WholeNumber(whole, 0, 1000000, seconds)) return false;
    long long fraction = 0;
    if (dot != std::string::npos) {
        const std::string_view digits = std::string_view(text).substr(dot + 1);
        if (digits.empty() || digits.size() > 3) return false;
        for (char c : digits)
            if (c < '0' || c > '9') return false;
        WholeNumber(digits, 0, 999, fraction);
        for (std::size_t i = digits.size(); i < 3; ++i) fraction *= 10;
    }
    ms = seconds * 1000 + fraction;
    return true;
}

bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port, std::string& error) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "--metrics needs ADDRESS:PORT, e.g. 127.0.0.1:9101";
        return false;
    }
    std::string address = text.substr(0, colon);
    long long value = 0;
    if (!WholeNumber(std::string_view(text).substr(colon + 1), 0, 65535, value)) {
        error = "--metrics: the port must be a whole number from 0 to 65535";
        return false;
    }
    if (address.empty() || address == "localhost") address = "127.0.0.1";
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        error = "--metrics: \"" + Shown(address) + "\" is not a dotted IPv4 address";
        return false;
    }
    char canonical[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &parsed, canonical, sizeof canonical);
    host = canonical;
    port = static_cast<std::uint16_t>(value);
    return true;
}

ParseResult ParseOptions(int argc, const char* const* argv, bool needconsole, Options& options) {
    ParseResult result;
    if (argc < 0 || static_cast<std::size_t>(argc) > kMaxArguments) {
        result.error = "too many arguments";
        return result;
    }
    bool console = false, seconds = false, format = false, interval = false, datalength = false, timeout = false,
         metrics = false, onlyoperands = false, history = false, since = false, nohistory = false, sweep = false;
    auto fail = [&result](std::string text) {
        result.error = std::move(text);
        return result;
    };
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) break;
        const std::string arg(argv[i], ::strnlen(argv[i], kMaxArgumentBytes + 1));
        if (arg.size() > kMaxArgumentBytes) return fail("argument " + std::to_string(i) + " is too long");
        const bool isoption = !onlyoperands && arg.size() > 1 && arg[0] == '-';
        if (!isoption) {
            if (arg.empty()) return fail("an empty argument is neither a file nor an address");
            Options::Source source;
            source.isfile = LooksLikeFile(arg);
            source.text = arg;
            options.sources.push_back(std::move(source));
            continue;
        }
        if (arg == "--") {
            onlyoperands = true;
            continue;
        }
        // "--name=value" and "--name value" alike.
        std::string name = arg, value;
        bool hasvalue = false;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasvalue = true;
        }
        auto once = [&](bool& seen) {
            if (seen) return false;
            seen = true;
            return true;
        };
        auto takevalue = [&]() -> bool {
            if (hasvalue) return true;
            if (i + 1 >= argc || argv[i + 1] == nullptr) return false;
            value.assign(argv[i + 1], ::strnlen(argv[i + 1], kMaxArgumentBytes + 1));
            if (value.size() > kMaxArgumentBytes) return false;
            ++i;
            return true;
        };
        const bool flag = name == "--console" || name == "--help" || name == "-h" || name == "--version" ||
                          name == "--verbose" || name == "--no-history";
        if (flag && hasvalue) return fail(name + " takes no value");
        if (name == "--console") {
            if (!once(console)) return fail("--console is given twice");
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--verbose") {
            options.verbose = true;
        } else if (name == "--no-history") {
            if (!once(nohistory)) return fail("--no-history is given twice");
            options.nohistory = true;
        } else if (name == "--history") {
            if (!once(history)) return fail("--history is given twice");
            if (!takevalue() || value.empty()) return fail("--history needs an address");
            options.history = true;
            options.historyaddress = value;
        } else if (name == "--since") {
            if (!once(since)) return fail("--since is given twice");
            if (!takevalue()) return fail("--since needs a span such as 30m, 1h or 2d");
            long long ms = 0;
            if (!ParseDurationMs(value, ms))
                return fail("--since: \"" + Shown(value) + "\" is not a span such as 90s, 30m, 1h or 2d");
            options.sincems = ms;
        } else if (name == "--seconds") {
            if (!once(seconds)) return fail("--seconds is given twice");
            if (!takevalue()) return fail("--seconds needs a number of seconds");
            long long v = 0;
            if (!WholeNumber(value, 0, kMaxSeconds, v))
                return fail("--seconds: \"" + Shown(value) + "\" is not a whole number from 0 to " + std::to_string(kMaxSeconds));
            options.seconds = static_cast<long>(v);
        } else if (name == "--format") {
            if (!once(format)) return fail("--format is given twice");
            if (!takevalue()) return fail("--format needs text, json or csv");
            if (value == "text")
                options.format = Format::Text;
            else if (value == "json")
                options.format = Format::Json;
            else if (value == "csv")
                options.format = Format::Csv;
            else
                return fail("--format: \"" + Shown(value) + "\" is not one of text, json, csv");
        } else if (name == "--interval") {
            if (!once(interval)) return fail("--interval is given twice");
            if (!takevalue()) return fail("--interval needs a number of 100 ms steps");
            long long v = 0;
            if (!WholeNumber(value, 1, kMaxInterval, v))
                return fail("--interval: \"" + Shown(value) + "\" is not a whole number of 100 ms steps from 1 to " +
                            std::to_string(kMaxInterval));
            options.interval = static_cast<int>(v);
        } else if (name == "--sweep") {
            if (!once(sweep)) return fail("--sweep is given twice");
            if (!takevalue()) return fail("--sweep needs a period in 100 ms steps");
            long long v = 0;
            if (!WholeNumber(value, 1, kMaxInterval, v))
                return fail("--sweep: \"" + Shown(value) + "\" is not a whole number of 100 ms steps from 1 to " +
                            std::to_string(kMaxInterval));
            options.sweep = static_cast<int>(v);
        } else if (name == "--data-length") {
            if (!once(datalength)) return fail("--data-length is given twice");
            if (!takevalue()) return fail("--data-length needs a number of bytes");
            long long v = 0;
            if (!WholeNumber(value, kMinDataLength, kMaxDataLength, v))
                return fail("--data-length: \"" + Shown(value) + "\" is not a whole number of bytes from " +
                            std::to_string(kMinDataLength) + " to " + std::to_string(kMaxDataLength));
            options.datalength = static_cast<int>(v);
        } else if (name == "--timeout") {
            if (!once(timeout)) return fail("--timeout is given twice");
            if (!takevalue()) return fail("--timeout needs a number of seconds");
            long long ms = 0;
            if (!ParseSecondsMs(value, ms) || ms < kMinTimeoutMs || ms > kMaxTimeoutMs)
                return fail("--timeout: \"" + Shown(value) + "\" is not a number of seconds from 0.1 to 60");
            options.timeoutms = static_cast<int>(ms);
        } else if (name == "--metrics") {
            if (!once(metrics)) return fail("--metrics is given twice");
            if (!takevalue()) return fail("--metrics needs ADDRESS:PORT, e.g. 127.0.0.1:9101");
            std::string error;
            if (!ParseListenAddress(value, options.metricshost, options.metricsport, error)) return fail(error);
            options.metrics = true;
        } else {
            return fail("unknown option \"" + Shown(name) + "\"");
        }
    }
    if (options.help || options.version) {
        result.ok = true;
        return result;
    }
    if (needconsole && !console) return fail("--console is missing");
    if (since && !history) return fail("--since goes with --history");
    if (history) {
        if (!options.sources.empty()) return fail("--history prints one address's history: give no other address or file");
        result.ok = true;
        return result;
    }
    if (interval && sweep) return fail("--interval and --sweep exclude each other: --sweep N gives the period itself");
    if (options.sources.empty()) return fail("no file and no address to monitor");
    result.ok = true;
    return result;
}

}  // namespace veltrin::cli
