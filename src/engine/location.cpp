// The IPv4 location table: range keys, the "address.dat" loader and the lookup.
#include "engine/location.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
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
    explicit RecordReader(LocationTable& table) : table_(table) { pending_.reserve(kLocationRecordSize); }

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
            AppendRecord(pending_.data(), table_);
            pending_.clear();
        }
        while (size >= kLocationRecordSize) {
            AppendRecord(data, table_);
            data += kLocationRecordSize;
            size -= kLocationRecordSize;
        }
        pending_.assign(data, size);
    }

    // A last record cut short is read when its used part is complete, and skipped otherwise.
    void Finish() {
        if (pending_.size() >= kLocationRecordUsed) AppendRecord(pending_.data(), table_);
        pending_.clear();
    }

private:
    LocationTable& table_;
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
        RecordReader reader(table);
        reader.Feed(bytes.data(), bytes.size());
        reader.Finish();
    } catch (...) {
        // Out of memory: the entries appended so far stay.
    }
    return EntryCount(table);
}

int LoadLocationTable(const std::string& path, LocationTable& table) {
    // Non-blocking open so that a FIFO put in the file's place cannot hang start-up; only a
    // regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    int result = -1;
    try {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            RecordReader reader(table);
            std::vector<char> buffer(kLocationRecordSize * kRecordsPerRead);
            for (;;) {
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

}  // namespace veltrin
