#include "metrics/exposition.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
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

// What one series (rows with the same address and ip) adds up to.
struct Totals {
    std::uint64_t requests = 0, replies = 0, lost = 0;
    std::array<std::uint64_t, kBuckets> buckets{};
    double rttsum = 0;
    bool up = false;
    std::optional<double> lastreply;

    void Add(const RowSample& row) {
        requests += row.requests;
        replies += row.replies;
        lost += row.lost;
        for (std::size_t b = 0; b < buckets.size(); ++b) buckets[b] += row.buckets[b];
        rttsum += row.rttsum;
        up = up || row.up;
        if (row.lastreply && (!lastreply || *row.lastreply > *lastreply)) lastreply = row.lastreply;
    }
};

constexpr int kFamilies = 6;

struct Family {
    const char* name;
    const char* type;
    const char* help;
};
constexpr Family kFamily[kFamilies] = {
    {"veltrin_ping_requests_total", "counter", "Echo requests sent to the address."},
    {"veltrin_ping_replies_total", "counter", "Echo replies received from the address."},
    {"veltrin_ping_lost_total", "counter", "Echo requests not answered within the timeout."},
    {"veltrin_ping_rtt_seconds", "histogram", "Round-trip time of the echo replies."},
    {"veltrin_ping_up", "gauge", "1 while the address answers, else 0."},
    {"veltrin_ping_last_reply_timestamp_seconds", "gauge",
     "When the last echo reply came, in seconds since the epoch (absent before the first)."},
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

void Sample(std::string& out, std::string_view name, std::string_view labels, std::string_view extra,
            std::string_view value) {
    out += name;
    if (!labels.empty() || !extra.empty()) {
        out += '{';
        out += labels;
        out += extra;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

std::string Count(std::uint64_t n) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, n);
    return std::string(buffer, end);
}

// The ",le=..." parts, made once.
const std::array<std::string, kBuckets + 1>& BucketLabels() {
    static const std::array<std::string, kBuckets + 1> labels = [] {
        std::array<std::string, kBuckets + 1> l;
        for (int b = 0; b < kBuckets; ++b) l[static_cast<std::size_t>(b)] = ",le=\"" + FormatNumber(BucketBound(b)) + "\"";
        l[kBuckets] = ",le=\"+Inf\"";
        return l;
    }();
    return labels;
}

// One series' lines of one family.
void RenderFamily(int family, const std::string& labels, const Totals& t, std::string& out) {
    switch (family) {
        case 0: Sample(out, kFamily[0].name, labels, {}, Count(t.requests)); break;
        case 1: Sample(out, kFamily[1].name, labels, {}, Count(t.replies)); break;
        case 2: Sample(out, kFamily[2].name, labels, {}, Count(t.lost)); break;
        case 3: {
            const auto& le = BucketLabels();
            std::uint64_t cumulative = 0;
            for (std::size_t b = 0; b < t.buckets.size(); ++b) {
                cumulative += t.buckets[b];
                Sample(out, "veltrin_ping_rtt_seconds_bucket", labels, le[b], Count(cumulative));
            }
            Sample(out, "veltrin_ping_rtt_seconds_bucket", labels, le[kBuckets], Count(t.replies));
            Sample(out, "veltrin_ping_rtt_seconds_sum", labels, {}, FormatNumber(t.rttsum));
            Sample(out, "veltrin_ping_rtt_seconds_count", labels, {}, Count(t.replies));
            break;
        }
        case 4: Sample(out, kFamily[4].name, labels, {}, t.up ? "1" : "0"); break;
        case 5:
            if (t.lastreply) Sample(out, kFamily[5].name, labels, {}, FormatNumber(*t.lastreply));
            break;
        default: break;
    }
}

std::string LabelsOf(const RowSample& row) {
    return "address=\"" + EscapeLabel(row.address) + "\",ip=\"" + EscapeLabel(row.ip) + "\"";
}

void RenderProcess(const ProcessSample& process, std::string& out) {
    auto metric = [&out](const char* name, const char* type, const char* help, double value) {
        if (value < 0) return;
        Header(out, name, type, help);
        Sample(out, name, {}, {}, FormatNumber(value));
    };
    metric("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.", process.cpuseconds);
    metric("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", process.residentbytes);
    metric("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", process.virtualbytes);
    metric("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.", process.starttime);
    metric("process_open_fds", "gauge", "Number of open file descriptors.", process.openfds);
    metric("process_max_fds", "gauge", "Maximum number of open file descriptors.", process.maxfds);
}

}  // namespace

std::string Render(const std::vector<RowSample>& rows, const ProcessSample& process) {
    // Series in first-seen order; a map finds the rows that repeat an address.
    std::vector<std::pair<std::string, Totals>> series;
    std::map<std::pair<std::string_view, std::string_view>, std::size_t> index;
    for (const RowSample& row : rows) {
        auto [it, added] = index.emplace(std::make_pair(std::string_view(row.address), std::string_view(row.ip)), series.size());
        if (added) series.emplace_back(LabelsOf(row), Totals{});
        series[it->second].second.Add(row);
    }
    std::string out;
    for (int f = 0; f < kFamilies; ++f) {
        Header(out, kFamily[f].name, kFamily[f].type, kFamily[f].help);
        for (const auto& [labels, totals] : series) RenderFamily(f, labels, totals, out);
    }
    RenderProcess(process, out);
    return out;
}

// ---- the cached exposition --------------------------------------------------------------------

struct Exposition::Series {
    std::string labels;
    std::vector<int> rows;
    std::array<std::string, kFamilies> text;
    bool dirty = true;
};

Exposition::Exposition(std::vector<RowSample> rows) : rows_(std::move(rows)) {
    staged_.resize(rows_.size());
    stagedflag_.assign(rows_.size(), 0);
    seriesof_.assign(rows_.size(), -1);
    for (std::size_t i = 0; i < rows_.size(); ++i) Place(static_cast<int>(i));
}

Exposition::~Exposition() = default;

void Exposition::Update(int row, const RowSample& sample) {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return;
    std::lock_guard<std::mutex> hold(stagelock_);
    const auto i = static_cast<std::size_t>(row);
    staged_[i] = sample;
    if (stagedflag_[i] == 0) {
        stagedflag_[i] = 1;
        stagedrows_.push_back(row);
    }
}

void Exposition::Place(int row) {
    const RowSample& r = rows_[static_cast<std::size_t>(row)];
    const std::string key = r.address + '\0' + r.ip;
    auto [it, added] = index_.emplace(key, static_cast<int>(series_.size()));
    if (added) {
        auto s = std::make_unique<Series>();
        s->labels = LabelsOf(r);
        series_.push_back(std::move(s));
    }
    Series& s = *series_[static_cast<std::size_t>(it->second)];
    s.rows.insert(std::lower_bound(s.rows.begin(), s.rows.end(), row), row);
    s.dirty = true;
    seriesof_[static_cast<std::size_t>(row)] = it->second;
    reorder_ = true;
}

std::string Exposition::Render(const ProcessSample& process) {
    std::lock_guard<std::mutex> one(renderlock_);
    // Take what changed since the last render; the writer only waits for this copy.
    std::vector<std::pair<int, RowSample>> changed;
    {
        std::lock_guard<std::mutex> hold(stagelock_);
        changed.reserve(stagedrows_.size());
        for (int row : stagedrows_) {
            const auto i = static_cast<std::size_t>(row);
            changed.emplace_back(row, std::move(staged_[i]));
            stagedflag_[i] = 0;
        }
        stagedrows_.clear();
    }
    for (auto& [row, sample] : changed) {
        const auto i = static_cast<std::size_t>(row);
        Series& old = *series_[static_cast<std::size_t>(seriesof_[i])];
        old.dirty = true;
        if (sample.address == rows_[i].address && sample.ip == rows_[i].ip) {
            rows_[i] = std::move(sample);
            continue;
        }
        // The row's address resolved to another ip: it moves to another series.
        old.rows.erase(std::find(old.rows.begin(), old.rows.end(), row));
        rows_[i] = std::move(sample);
        Place(row);
    }
    // Series come in the order of their first row, as in a full render.
    if (reorder_) {
        order_.clear();
        for (std::size_t k = 0; k < series_.size(); ++k)
            if (!series_[k]->rows.empty()) order_.push_back(static_cast<int>(k));
        std::sort(order_.begin(), order_.end(), [this](int a, int b) {
            return series_[static_cast<std::size_t>(a)]->rows.front() < series_[static_cast<std::size_t>(b)]->rows.front();
        });
        reorder_ = false;
    }
    std::size_t total = 0;
    for (auto& sp : series_) {
        Series& s = *sp;
        if (s.dirty) {
            Totals t;
            for (int row : s.rows) t.Add(rows_[static_cast<std::size_t>(row)]);
            for (int f = 0; f < kFamilies; ++f) {
                std::string& text = s.text[static_cast<std::size_t>(f)];
                text.clear();
                if (!s.rows.empty()) RenderFamily(f, s.labels, t, text);
            }
            s.dirty = false;
        }
        for (const auto& text : s.text) total += text.size();
    }
    std::string out;
    out.reserve(total + 4096);
    for (int f = 0; f < kFamilies; ++f) {
        Header(out, kFamily[f].name, kFamily[f].type, kFamily[f].help);
        for (int k : order_) out += series_[static_cast<std::size_t>(k)]->text[static_cast<std::size_t>(f)];
    }
    RenderProcess(process, out);
    return out;
}

}  // namespace veltrin::metrics
