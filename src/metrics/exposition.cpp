#include "metrics/exposition.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace veltrin::metrics {

double BucketBound(int i) {
    double bound = 50e-6;
    for (int k = 0; k < i; ++k) bound *= 2;
    return bound;
}

std::string ToValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        std::size_t len = 0;
        std::uint32_t min = 0, cp = 0;
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, cp = c & 0x07;
        }
        bool ok = len != 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (ok) {
            out.append(text.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string EscapeLabel(std::string_view text) {
    const std::string valid = ToValidUtf8(text);
    std::string out;
    out.reserve(valid.size());
    for (char c : valid) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string FormatNumber(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buffer[64];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(buffer, sizeof buffer, "%.0f", value);
        return buffer;
    }
    // Shortest form that reads back the same, for readable bucket bounds.
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    std::string text = buffer;
    return text;
}

ProcessSample ReadProcessSample() {
    ProcessSample s;
    const long tick = ::sysconf(_SC_CLK_TCK);
    const long page = ::sysconf(_SC_PAGESIZE);
    std::ifstream stat("/proc/self/stat");
    std::string line;
    if (tick > 0 && std::getline(stat, line)) {
        // The command name may hold blanks and parentheses: fields follow the last ')'.
        const std::size_t close = line.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(line.substr(close + 2));
            std::vector<std::string> f;
            for (std::string word; fields >> word;) f.push_back(word);
            // f[0] is field 3 (state); utime 14, stime 15, starttime 22, vsize 23, rss 24.
            if (f.size() > 21) {
                try {
                    s.cpuseconds = (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(tick);
                    s.virtualbytes = std::stod(f[20]);
                    s.residentbytes = std::stod(f[21]) * static_cast<double>(page);
                    std::ifstream procstat("/proc/stat");
                    for (std::string l; std::getline(procstat, l);) {
                        if (l.rfind("btime ", 0) == 0) {
                            s.starttime = std::stod(l.substr(6)) + std::stod(f[19]) / static_cast<double>(tick);
                            break;
                        }
                    }
                } catch (...) {
                }
            }
        }
    }
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        int count = 0;
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
        s.openfds = count - 1;  // the directory's own descriptor
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        s.maxfds = static_cast<double>(limit.rlim_cur);
    return s;
}

namespace {

struct Series {
    const RowSample* first = nullptr;
    std::uint64_t requests = 0, replies = 0, lost = 0;
    std::array<std::uint64_t, kBuckets> buckets{};
    double rttsum = 0;
    bool up = false;
    std::optional<double> lastreply;
    std::string labels;  // address="...",ip="..."
};

void Header(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

}  // namespace

std::string Render(const std::vector<RowSample>& rows, const ProcessSample& process) {
    // Series in first-seen order; a map finds the rows that repeat an address.
    std::vector<Series> series;
    std::map<std::pair<std::string_view, std::string_view>, std::size_t> index;
    for (const RowSample& row : rows) {
        auto [it, added] = index.emplace(std::make_pair(std::string_view(row.address), std::string_view(row.ip)), series.size());
        if (added) {
            Series s;
            s.first = &row;
            s.labels = "address=\"" + EscapeLabel(row.address) + "\",ip=\"" + EscapeLabel(row.ip) + "\"";
            series.push_back(std::move(s));
        }
        Series& s = series[it->second];
        s.requests += row.requests;
        s.replies += row.replies;
        s.lost += row.lost;
        for (int b = 0; b < kBuckets; ++b) s.buckets[static_cast<std::size_t>(b)] += row.buckets[static_cast<std::size_t>(b)];
        s.rttsum += row.rttsum;
        s.up = s.up || row.up;
        if (row.lastreply && (!s.lastreply || *row.lastreply > *s.lastreply)) s.lastreply = row.lastreply;
    }

    std::string out;
    out.reserve(64 + series.size() * 2400);
    Header(out, "veltrin_ping_requests_total", "counter", "Echo requests sent to the address.");
    for (const Series& s : series) Sample(out, "veltrin_ping_requests_total", s.labels, std::to_string(s.requests));
    Header(out, "veltrin_ping_replies_total", "counter", "Echo replies received from the address.");
    for (const Series& s : series) Sample(out, "veltrin_ping_replies_total", s.labels, std::to_string(s.replies));
    Header(out, "veltrin_ping_lost_total", "counter", "Echo requests not answered within the timeout.");
    for (const Series& s : series) Sample(out, "veltrin_ping_lost_total", s.labels, std::to_string(s.lost));
    Header(out, "veltrin_ping_rtt_seconds", "histogram", "Round-trip time of the echo replies.");
    for (const Series& s : series) {
        std::uint64_t cumulative = 0;
        for (int b = 0; b < kBuckets; ++b) {
            cumulative += s.buckets[static_cast<std::size_t>(b)];
            Sample(out, "veltrin_ping_rtt_seconds_bucket", s.labels + ",le=\"" + FormatNumber(BucketBound(b)) + "\"",
                   std::to_string(cumulative));
        }
        Sample(out, "veltrin_ping_rtt_seconds_bucket", s.labels + ",le=\"+Inf\"", std::to_string(s.replies));
        Sample(out, "veltrin_ping_rtt_seconds_sum", s.labels, FormatNumber(s.rttsum));
        Sample(out, "veltrin_ping_rtt_seconds_count", s.labels, std::to_string(s.replies));
    }
    Header(out, "veltrin_ping_up", "gauge", "1 while the address answers, else 0.");
    for (const Series& s : series) Sample(out, "veltrin_ping_up", s.labels, s.up ? "1" : "0");
    Header(out, "veltrin_ping_last_reply_timestamp_seconds", "gauge",
           "When the last echo reply came, in seconds since the epoch (absent before the first).");
    for (const Series& s : series)
        if (s.lastreply) Sample(out, "veltrin_ping_last_reply_timestamp_seconds", s.labels, FormatNumber(*s.lastreply));

    auto processmetric = [&out](const char* name, const char* type, const char* help, double value) {
        if (value < 0) return;
        Header(out, name, type, help);
        Sample(out, name, {}, FormatNumber(value));
    };
    processmetric("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", process.cpuseconds);
    processmetric("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", process.residentbytes);
    processmetric("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", process.virtualbytes);
    processmetric("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.", process.starttime);
    processmetric("process_open_fds", "gauge", "Number of open file descriptors.", process.openfds);
    processmetric("process_max_fds", "gauge", "Maximum number of open file descriptors.", process.maxfds);
    return out;
}

}  // namespace veltrin::metrics
