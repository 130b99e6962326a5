// Additions to the location table beyond the fixed engine interface.
#pragma once

#include <atomic>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/u_header.h"

namespace veltrin {

// Layout of "address.dat": a header that is not read, then fixed-size records.
inline constexpr std::size_t kLocationHeaderSize = 194;
inline constexpr std::size_t kLocationRecordSize = 110;
inline constexpr std::size_t kLocationRecordUsed = 49;  // start, gap, end and name

// At most this many records are read from one file (some 110 MB of "address.dat"); records
// after them are ignored, so a huge or endless file cannot exhaust memory or time.
inline constexpr std::size_t kMaxLocationRecords = 1000000;

// Appends the records held in `bytes` (the whole file image, header included) to `table`.
// A final record with fewer than kLocationRecordUsed bytes left is skipped. Returns the
// number of entries in the table afterwards.
int LoadLocationBytes(const std::string& bytes, LocationTable& table);

// LoadLocationTable that reads at most `maxrecords` records and gives up (-1, the entries so
// far stay) as soon as `stop` becomes true.
int LoadLocationTable(const std::string& path, LocationTable& table, std::size_t maxrecords,
                      const std::atomic<bool>* stop);

// The table sorted for lookups: disjoint ranges in key order, each naming the entry that the
// file-order scan of LookupLocation would find, so Lookup gives the same answer as
// LookupLocation(table, key) by a binary search instead of a scan of every record.
class LocationIndex {
public:
    LocationIndex() = default;
    explicit LocationIndex(const LocationTable& table);
    std::string Lookup(std::int64_t key) const;
    std::size_t segments() const { return segments_.size(); }

private:
    struct Segment {
        std::int64_t start = 0, end = 0;
        std::size_t name = 0;
    };
    bool empty_ = true;
    std::vector<std::string> names_;
    std::vector<Segment> segments_;
};

// Loads "address.dat" on a thread of its own and publishes the index when done, so start-up
// never waits for it. Lookups before then answer false. The destructor stops and joins the load.
class LocationLoader {
public:
    LocationLoader() = default;
    ~LocationLoader();
    LocationLoader(const LocationLoader&) = delete;
    LocationLoader& operator=(const LocationLoader&) = delete;

    // Starts loading `path` (once; later calls do nothing). `done`, when given, runs on the
    // loading thread after the index is published.
    void Start(const std::string& path, std::function<void()> done = {});
    bool Ready() const;
    bool Started() const;
    // The name for `key` once the table is loaded (the answers of LookupLocation); false before.
    bool Lookup(std::int64_t key, std::string& name) const;
    // Waits for the load to finish (tests and shutdown).
    void Wait();

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const LocationIndex> index_;
    std::atomic<bool> stop_{false};
    bool started_ = false;
    std::thread thread_;
};

}  // namespace veltrin
