#include "cli/output.h"

#include <cstdio>
#include <ctime>

#include "metrics/exposition.h"

namespace veltrin::cli {

namespace {

std::string Milliseconds(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    std::string text = buffer;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

std::string Percent(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

struct Stats {
    std::string min, avg, max;  // empty: no reply
};

Stats StatsOf(const RowAccount& a) {
    Stats s;
    if (a.received == 0) return s;
    s.min = std::to_string(a.minms);
    s.max = std::to_string(a.maxms);
    s.avg = Milliseconds(static_cast<double>(a.totalms) / static_cast<double>(a.received));
    return s;
}

std::string OrNull(const std::string& text) { return text.empty() ? "null" : text; }

// A row that never resolved has no ip: null, in events as in the summary.
std::string IpJson(const std::string& ip) { return ip.empty() ? std::string("null") : JsonString(ip); }

}  // namespace

std::string JsonString(std::string_view text) {
    const std::string valid = metrics::ToValidUtf8(text);
    std::string out = "\"";
    for (char c : valid) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (b < 0x20 || b == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", b);
            out += buffer;
        } else out += c;
    }
    out += '"';
    return out;
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    long rest = static_cast<long>(ms % 1000);
    if (rest < 0) {
        rest += 1000;
        --seconds;
    }
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, rest);
    return buffer;
}

std::string MillisecondsText(double ms) { return Milliseconds(ms); }

std::string ReplyEvent(int row, const RowAccount& a, int ttl, double rttms, int bytes,
                       std::chrono::system_clock::time_point when) {
    return "{\"event\":\"reply\",\"time\":\"" + IsoTime(when) + "\",\"row\":" + std::to_string(row + 1) +
           ",\"address\":" + JsonString(a.address) + ",\"ip\":" + IpJson(a.ip) + ",\"ttl\":" + std::to_string(ttl) +
           ",\"rtt_ms\":" + Milliseconds(rttms) + ",\"bytes\":" + std::to_string(bytes) + "}";
}

std::string StateEvent(int row, const RowAccount& a, RowState previous, std::chrono::system_clock::time_point when) {
    return "{\"event\":\"state\",\"time\":\"" + IsoTime(when) + "\",\"row\":" + std::to_string(row + 1) +
           ",\"address\":" + JsonString(a.address) + ",\"ip\":" + IpJson(a.ip) + ",\"state\":\"" +
           StateName(a.state) + "\",\"previous\":\"" + StateName(previous) + "\"}";
}

std::string SummaryJson(int row, const RowAccount& a) {
    const Stats s = StatsOf(a);
    return "{\"event\":\"summary\",\"row\":" + std::to_string(row + 1) + ",\"address\":" + JsonString(a.address) +
           ",\"ip\":" + IpJson(a.ip) + ",\"sent\":" + std::to_string(a.sent) +
           ",\"received\":" + std::to_string(a.received) + ",\"loss_percent\":" + Percent(LossPercent(a)) +
           ",\"min_ms\":" + OrNull(s.min) + ",\"avg_ms\":" + OrNull(s.avg) + ",\"max_ms\":" + OrNull(s.max) +
           ",\"last_reply\":" + (a.lastreply ? "\"" + IsoTime(*a.lastreply) + "\"" : std::string("null")) +
           ",\"state\":\"" + StateName(a.state) + "\"}";
}

std::string CsvHeader() { return "address,ip,sent,received,loss_percent,min_ms,avg_ms,max_ms,last_reply,state"; }

std::string CsvField(std::string_view text) {
    std::string valid = metrics::ToValidUtf8(text);
    if (valid.find_first_of(",\"\r\n") == std::string::npos) return valid;
    std::string out = "\"";
    for (char c : valid) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string CsvLine(const RowAccount& a) {
    const Stats s = StatsOf(a);
    return CsvField(a.address) + "," + CsvField(a.ip) + "," + std::to_string(a.sent) + "," + std::to_string(a.received) +
           "," + Percent(LossPercent(a)) + "," + s.min + "," + s.avg + "," + s.max + "," +
           (a.lastreply ? IsoTime(*a.lastreply) : std::string()) + "," + StateName(a.state);
}

}  // namespace veltrin::cli
