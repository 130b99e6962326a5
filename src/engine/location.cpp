// The IPv4 location table: range keys, the "address.dat" loader and the lookup.
#include "engine/location.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <algorithm>
#include <cstring>
#include <limits>
#include <queue>
#include <vector>

#include "engine/global_unit.h"

namespace veltrin {

namespace {

constexpr std::int64_t kBadKey = -97115;
constexpr std::size_t kStartOffset = 0;
constexpr std::size_t kEndOffset = 16;
constexpr std::size_t kTextLength = 15;
constexpr std::size_t kNameOffset = 31;
constexpr std::size_t kNameLength = 18;
// Records per read: large reads keep a table of a few hundred thousand ranges to a handful
// of system calls.
constexpr std::size_t kRecordsPerRead = 2048;

// Text of a fixed-size field: up to `length` bytes, ended early by a zero byte.
std::string FieldText(const char* record, std::size_t offset, std::size_t length) {
    const char* first = record + offset;
    const void* zero = std::memchr(first, 0, length);
    return std::string(first, zero != nullptr ? static_cast<const char*>(zero) : first + length);
}

std::string TrimControls(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
    return text.substr(first, last - first);
}

// `record` holds at least kLocationRecordUsed bytes.
void AppendRecord(const char* record, LocationTable& table) {
    Tsockaddr entry;
    entry.startkey = IpKey(FieldText(record, kStartOffset, kTextLength));
    entry.endkey = IpKey(FieldText(record, kEndOffset, kTextLength));
    entry.name = TrimControls(FieldText(record, kNameOffset, kNameLength));
    table.push_back(std::move(entry));
}

int EntryCount(const LocationTable& table) {
    return table.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(table.size());
}

// Feeds the bytes of the file in order, in pieces of any size, and appends every record.
class RecordReader {
public:
    RecordReader(LocationTable& table, std::size_t maxrecords) : table_(table), left_(maxrecords) {
        pending_.reserve(kLocationRecordSize);
    }

    bool full() const { return left_ == 0; }

    void Feed(const char* data, std::size_t size) {
        if (headerleft_ > 0) {
            const std::size_t skip = size < headerleft_ ? size : headerleft_;
            data += skip;
            size -= skip;
            headerleft_ -= skip;
        }
        if (!pending_.empty()) {
            const std::size_t need = kLocationRecordSize - pending_.size();
            const std::size_t take = size < need ? size : need;
            pending_.append(data, take);
            data += take;
            size -= take;
            if (pending_.size() < kLocationRecordSize) return;
            Append(pending_.data());
            pending_.clear();
        }
        while (size >= kLocationRecordSize) {
            Append(data);
            data += kLocationRecordSize;
            size -= kLocationRecordSize;
        }
        pending_.assign(data, size);
    }

    // A last record cut short is read when its used part is complete, and skipped otherwise.
    void Finish() {
        if (pending_.size() >= kLocationRecordUsed) Append(pending_.data());
        pending_.clear();
    }

private:
    void Append(const char* record) {
        if (left_ == 0) return;
        AppendRecord(record, table_);
        --left_;
    }

    LocationTable& table_;
    std::size_t left_;
    std::size_t headerleft_ = kLocationHeaderSize;
    std::string pending_;
};

}  // namespace

std::int64_t IpKey(const std::string& text) {
    try {
        std::string digits;
        digits.reserve(text.size() + 8);
        std::size_t first = 0;
        for (;;) {
            const std::size_t dot = text.find('.', first);
            const std::size_t end = dot == std::string::npos ? text.size() : dot;
            const std::size_t length = end - first;
            if (length < 3) digits.append(3 - length, '0');
            digits.append(text, first, length);
            if (dot == std::string::npos) break;
            first = dot + 1;
        }
        for (const char c : digits)
            if (c < '0' || c > '9') return kBadKey;
        std::int64_t value = 0;
        const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc() || ptr != digits.data() + digits.size()) return kBadKey;
        return value;
    } catch (...) {
        return kBadKey;
    }
}

int LoadLocationBytes(const std::string& bytes, LocationTable& table) {
    try {
        RecordReader reader(table, kMaxLocationRecords);
        reader.Feed(bytes.data(), bytes.size());
        reader.Finish();
    } catch (...) {
        // Out of memory: the entries appended so far stay.
    }
    return EntryCount(table);
}

int LoadLocationTable(const std::string& path, LocationTable& table) {
    return LoadLocationTable(path, table, kMaxLocationRecords, nullptr);
}

int LoadLocationTable(const std::string& path, LocationTable& table, std::size_t maxrecords,
                      const std::atomic<bool>* stop) {
    // Non-blocking open so that a FIFO put in the file's place cannot hang start-up; only a
    // regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    int result = -1;
    try {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            RecordReader reader(table, maxrecords);
            // A small file gets a buffer of its own size, not the large reads' 220 KB; the loop
            // reads on until the end whatever the file's size has become meanwhile.
            const std::size_t filesize = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
            std::vector<char> buffer(std::clamp(filesize, kLocationRecordSize, kLocationRecordSize * kRecordsPerRead));
            for (;;) {
                if (stop != nullptr && stop->load(std::memory_order_relaxed)) break;
                // Records past the bound are never read.
                if (reader.full()) {
                    result = EntryCount(table);
                    break;
                }
                const ssize_t got = ::read(fd, buffer.data(), buffer.size());
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) break;  // a failed read: -1, the entries so far stay
                if (got == 0) {
                    reader.Finish();
                    result = EntryCount(table);
                    break;
                }
                reader.Feed(buffer.data(), static_cast<std::size_t>(got));
            }
        }
    } catch (...) {
        result = -1;
    }
    ::close(fd);
    return result;
}

std::string LookupLocation(const LocationTable& table, std::int64_t key) {
    if (table.empty()) return "IP column is empty";
    for (const Tsockaddr& entry : table)
        if (entry.startkey <= key && key <= entry.endkey) return entry.name;
    return "Unkown IP";
}

LocationIndex::LocationIndex(const LocationTable& table) : empty_(table.empty()) {
    // Sweep over the range bounds in key order. At every bound the entries covering the keys
    // from there on are those started and not yet ended; of them the earliest in the file wins,
    // as in the file-order scan. A range whose start lies past its end covers nothing.
    std::vector<std::size_t> order;
    order.reserve(table.size());
    std::vector<std::int64_t> bounds;
    bounds.reserve(table.size() * 2);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Tsockaddr& entry = table[i];
        if (entry.startkey > entry.endkey) continue;
        order.push_back(i);
        bounds.push_back(entry.startkey);
        if (entry.endkey < std::numeric_limits<std::int64_t>::max()) bounds.push_back(entry.endkey + 1);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&table](std::size_t a, std::size_t b) { return table[a].startkey < table[b].startkey; });
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> open;  // file index
    std::vector<std::size_t> nameof(table.size(), SIZE_MAX);
    std::size_t next = 0;
    for (std::size_t b = 0; b < bounds.size(); ++b) {
        const std::int64_t here = bounds[b];
        while (next < order.size() && table[order[next]].startkey == here) open.push(order[next++]);
        while (!open.empty() && table[open.top()].endkey < here) open.pop();
        if (open.empty()) continue;
        const std::size_t winner = open.top();
        const std::int64_t end = b + 1 < bounds.size() ? bounds[b + 1] - 1 : std::numeric_limits<std::int64_t>::max();
        if (nameof[winner] == SIZE_MAX) {
            nameof[winner] = names_.size();
            names_.push_back(table[winner].name);
        }
        if (!segments_.empty() && segments_.back().name == nameof[winner] && segments_.back().end == here - 1) {
            segments_.back().end = end;
        } else {
            segments_.push_back({here, end, nameof[winner]});
        }
    }
}

std::string LocationIndex::Lookup(std::int64_t key) const {
    if (empty_) return "IP column is empty";
    auto after = std::upper_bound(segments_.begin(), segments_.end(), key,
                                  [](std::int64_t k, const Segment& s) { return k < s.start; });
    if (after == segments_.begin()) return "Unkown IP";
    const Segment& segment = *(after - 1);
    return key <= segment.end ? names_[segment.name] : "Unkown IP";
}

LocationLoader::~LocationLoader() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

void LocationLoader::Start(const std::string& path, std::function<void()> done) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return;
    started_ = true;
    thread_ = std::thread([this, path, done = std::move(done)] {
        std::shared_ptr<const LocationIndex> index;
        try {
            LocationTable table;
            LoadLocationTable(path, table, kMaxLocationRecords, &stop_);
            if (stop_.load()) return;
            index = std::make_shared<const LocationIndex>(table);
        } catch (...) {
            // Out of memory: lookups answer as for an empty table.
            index = std::make_shared<const LocationIndex>();
        }
        {
            std::lock_guard<std::mutex> published(mutex_);
            index_ = std::move(index);
        }
        if (done) done();
    });
}

bool LocationLoader::Ready() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_ != nullptr;
}

bool LocationLoader::Started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

bool LocationLoader::Lookup(std::int64_t key, std::string& name) const {
    std::shared_ptr<const LocationIndex> index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index = index_;
    }
    if (!index) return false;
    name = index->Lookup(key);
    return true;
}

void LocationLoader::Wait() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        thread.swap(thread_);
    }
    if (thread.joinable()) thread.join();
}

}  // namespace veltrin
