// The Prometheus text exposition format (version 0.0.4) of the console's per-address series.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::metrics {

inline constexpr int kBuckets = 20;  // upper bounds 50 us, 100 us, ... 26.2144 s
double BucketBound(int i);           // seconds

// One monitored row. Rows with the same address and ip are one series: their counts add up.
struct RowSample {
    std::string address, ip;
    std::uint64_t requests = 0, replies = 0, lost = 0;
    std::array<std::uint64_t, kBuckets> buckets{};  // per bucket, not cumulative
    double rttsum = 0;                              // seconds, over `replies`
    bool up = false;
    std::optional<double> lastreply;                // seconds since the epoch
};

// What the process tells about itself; values < 0 are left out.
struct ProcessSample {
    double cpuseconds = -1, residentbytes = -1, virtualbytes = -1, starttime = -1, openfds = -1, maxfds = -1;
};
ProcessSample ReadProcessSample();  // from /proc/self; fields it cannot read stay < 0

std::string Render(const std::vector<RowSample>& rows, const ProcessSample& process);

// The same text for a fixed set of rows that change a few at a time: only the series whose rows
// changed are written again, so a scrape of many rows costs little more than copying the text.
// Update() may be called from any thread and only waits for a short copy; Render() from one
// thread at a time.
class Exposition {
public:
    explicit Exposition(std::vector<RowSample> rows);
    ~Exposition();
    Exposition(const Exposition&) = delete;
    Exposition& operator=(const Exposition&) = delete;

    void Update(int row, const RowSample& sample);
    std::string Render(const ProcessSample& process);

private:
    struct Series;
    void Place(int row);  // puts a row into the series of its address and ip

    std::mutex stagelock_;  // guards the staged_* members
    std::vector<RowSample> staged_;
    std::vector<char> stagedflag_;
    std::vector<int> stagedrows_;

    std::mutex renderlock_;  // everything below belongs to the render
    std::vector<RowSample> rows_;
    std::vector<int> seriesof_;
    std::vector<std::unique_ptr<Series>> series_;
    std::map<std::string, int> index_;
    std::vector<int> order_;  // series with rows, by their first row
    bool reorder_ = true;
};

// Label values must be valid UTF-8 with \, " and newline escaped.
std::string EscapeLabel(std::string_view text);
// Invalid UTF-8 sequences become U+FFFD.
std::string ToValidUtf8(std::string_view text);
// A number as the format writes it: integers without a fraction, +Inf, NaN.
std::string FormatNumber(double value);

inline constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace veltrin::metrics
