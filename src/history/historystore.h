// The round-trip history kept between runs: every echo's outcome in an SQLite file (the
// system's libsqlite3, WAL mode), written in batches on the store's own thread.
//
// What is kept:
//   raw results    one per echo (address text, wall clock ms, round trip in microseconds or
//                  "lost") for kRawKeepMs (24 h);
//   minute rows    per address and wall-clock minute: least, mean and greatest round trip,
//                  echoes counted and lost, for kMinuteKeepMs (30 days).
// Each batch (a second's results) is one appended row; once a minute the batches are folded into
// one row per address and minute and the minute rows are added up, so a batch touches a page or
// two whatever the number of addresses. A program killed between folds loses nothing committed:
// the next Open folds what it left. Reads add the unfolded results, so minute rows are complete
// as soon as the raw results are.
// Both are pruned by the clock as they are folded, and the file is bounded: the database
// never grows past HistoryOptions::maxbytes (SQLite's max_page_count is the hard stop; the
// oldest raw results, then the oldest minute rows, go first when the file nears it), and the
// write-ahead log is cut back to kWalLimitBytes after each checkpoint. A file of the earlier
// format (one row per result) is converted on the store's thread when opened for writing, and
// read as it is until then and when opened read-only.
//
// Qt-free; every member may be called from any thread. Reads run on the caller's thread on a
// connection of their own and include results recorded but not written yet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "monitor/echoresult.h"

struct sqlite3;
struct sqlite3_stmt;

namespace veltrin {

struct HistoryPoint {
    std::int64_t wallms = 0;  // wall clock, ms since the Unix epoch
    double rttms = -1.0;      // round trip in ms (microsecond resolution); < 0: lost
};

struct HistoryMinute {
    std::int64_t minutems = 0;  // start of the minute, ms since the Unix epoch
    double minms = -1.0, avgms = -1.0, maxms = -1.0;  // over the answered echoes; -1 when none was
    std::uint32_t sent = 0;     // echoes whose outcome is known in that minute
    std::uint32_t lost = 0;
};

struct HistoryOptions {
    // The database file never grows past this (the write-ahead log adds at most kWalLimitBytes
    // while a batch is written).
    std::int64_t maxbytes = std::int64_t{256} << 20;
    // Wall clock in ms since the epoch, for pruning; tests simulate it. Empty: the system clock.
    std::function<std::int64_t()> nowms;
    // Told once, on the store's thread, when the database turns out corrupt, locked by another
    // program for long, or unwritable; the store then records nothing more.
    std::function<void(const std::string& error)> onerror;
    // Results wait at most this long before they are written.
    int flushms = 1000;
    // Only reads: the file must already be a history database; nothing is created, written or
    // pruned, and Record does nothing (printing the history while a monitor writes it).
    bool readonly = false;
};

class HistoryStore {
public:
    static constexpr std::int64_t kRawKeepMs = 24LL * 3600 * 1000;
    static constexpr std::int64_t kMinuteKeepMs = 30LL * 24 * 3600 * 1000;
    static constexpr std::int64_t kWalLimitBytes = std::int64_t{16} << 20;
    // Results waiting for the writer; beyond this the oldest waiting ones are dropped (counted).
    static constexpr std::size_t kMaxPending = 1'000'000;
    // Address texts longer than this are no address and are not kept.
    static constexpr std::size_t kMaxAddressBytes = 1024;
    // The least bound Open accepts.
    static constexpr std::int64_t kMinMaxBytes = std::int64_t{1} << 20;

    // Opens (creating when missing, with its folder) the database at `path`. Null, with a
    // sentence in *error, when it cannot be opened or is no history database of ours (corrupt,
    // another format, locked by another program).
    static std::unique_ptr<HistoryStore> Open(const std::string& path, std::string* error);
    static std::unique_ptr<HistoryStore> Open(const std::string& path, const HistoryOptions& options,
                                              std::string* error);
    ~HistoryStore();  // writes what is waiting, then closes
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Hands results to the writer; never waits on the disk.
    void Record(const std::vector<EchoResult>& results);

    // The newest `count` results of an address, oldest first.
    std::vector<HistoryPoint> Recent(const std::string& address, std::size_t count) const;
    // Raw results of an address with sincems <= wallms < untilms, oldest first.
    std::vector<HistoryPoint> Raw(const std::string& address, std::int64_t sincems, std::int64_t untilms) const;
    // Minute rows of an address whose minute starts in [sincems, untilms), oldest first.
    std::vector<HistoryMinute> Minutes(const std::string& address, std::int64_t sincems, std::int64_t untilms) const;

    // Waits until everything recorded so far is written (or the store failed). For tests,
    // benchmarks and the end of a run.
    void Flush();
    // True once the store gave up (the reason in Error()); it then records nothing.
    bool Failed() const { return failed_.load(); }
    std::string Error() const;
    // Results dropped because the writer fell kMaxPending behind.
    std::uint64_t Dropped() const { return dropped_.load(); }
    // Bytes of the database file and its write-ahead log now.
    std::int64_t FileBytes() const;
    const std::string& Path() const { return path_; }

private:
    enum class BatchResult { Written, Busy, Failed };
    struct Statements;  // the writer's prepared statements, kept for the store's life
    struct Kept {
        std::int64_t wallms;
        std::int64_t rttus;  // as stored: microseconds, -1 lost
    };
    HistoryStore(std::string path, HistoryOptions options);
    bool Start(std::string* error);
    // Reads the fresh rows a killed run left, as unfolded results.
    bool LoadFresh(std::string* error);
    void Run();
    // Writes the batch in one transaction, appended as a fresh row or, with `fold`, folded
    // with everything unfolded into chunks and minute rows; empties it (under both locks) once
    // committed.
    BatchResult WriteBatch(std::vector<EchoResult>& batch, bool fold);
    bool FoldDue(std::size_t incoming) const;
    // Converts a file of format 1 in one transaction (on the store's thread, before any batch).
    void Convert();
    int AppendFresh(const std::vector<EchoResult>& batch);
    int FoldAll(const std::vector<EchoResult>& batch);
    struct Host {
        std::int64_t id = -1;        // the writer's only: its row in hosts; -1 until looked up
        std::vector<Kept> unfolded;  // committed as fresh rows, not folded yet
    };
    using HostEntry = std::pair<const std::string, Host>;
    // The address's entry with its id, the id made when new (inside the open transaction);
    // null with *rc on failure.
    HostEntry* HostFor(const std::string& address, int* rc);
    // Ids made in a rolled-back transaction, or of hosts pruned, are looked up again.
    void ForgetIds();
    void Prune(std::int64_t nowms);
    // Deletes the oldest results while the file is near its bound (or, forced, when it is full).
    void Trim(bool force = false);
    void Fail(const std::string& error);
    std::int64_t Now() const;
    std::vector<EchoResult> PendingOf(const std::string& address) const;
    // A statement of the reader's, prepared once (readmutex_ held); null when it cannot be.
    sqlite3_stmt* Prepared(const char* sql) const;
    // Appends the results of a chunk row (its minute in column 0, its JSON in column 1). A chunk
    // that is no list of pairs gives nothing (SQLite's JSON reader checks it).
    int DecodeChunk(sqlite3_stmt* chunk, std::vector<HistoryPoint>& out) const;
    // Runs one query about `address` on the reader connection, `sql1` on a file of format 1,
    // `sql2` on one of format 2 (?1 is the host; `bind` binds the rest, `row` takes each result
    // row with the format and returns SQLITE_ROW for more, SQLITE_DONE for enough or an error)
    // and returns the address's results not in chunks yet (waiting, or written but not
    // folded). A failure the store cannot go on from is reported once.
    std::vector<EchoResult> Query(const std::string& address, const char* sql1, const char* sql2,
                                  const std::function<void(sqlite3_stmt*)>& bind,
                                  const std::function<int(sqlite3_stmt*, int version)>& row) const;

    std::string path_;
    HistoryOptions options_;
    sqlite3* writer_ = nullptr;          // the store's thread only (after Start)
    mutable sqlite3* reader_ = nullptr;  // under readmutex_
    mutable std::unordered_map<const char*, sqlite3_stmt*> readstatements_;  // under readmutex_
    // Held by reads and by the writer's commit, so a read sees each batch once: in the file or
    // still waiting. Taken before mutex_, never after it.
    mutable std::mutex readmutex_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::condition_variable written_;
    std::vector<EchoResult> pending_;
    std::vector<EchoResult> writing_;  // taken by the writer, not committed yet
    // Every address recorded in this run: one look-up per result finds its id and its unfolded
    // results. Changed by the writer only, always under mutex_; the writer reads it unlocked.
    std::unordered_map<std::string, Host> hosts_;
    std::size_t unfoldedcount_ = 0;
    std::uint64_t recorded_ = 0;       // results handed to Record so far
    std::uint64_t done_ = 0;           // of those, written (or given up on)
    bool stop_ = false;
    bool flushnow_ = false;
    bool failing_ = false;  // Fail ran (or runs): the error is told once
    std::string error_;

    std::atomic<bool> failed_{false};
    std::atomic<std::uint64_t> dropped_{0};
    // The store's thread only:
    std::int64_t lastfoldms_ = 0;
    std::int64_t lastminuteprunems_ = 0;
    int walframes_ = 0;  // pages in the write-ahead log after the last commit
    std::vector<HostEntry*> slots_;          // the entry of each result of the batch being written
    std::vector<HostEntry*> previousslots_;  // and of the batch before
    std::unique_ptr<Statements> statements_;
    // The file's format: 1 until the store's thread has converted it (or for good, read-only).
    // Changed under readmutex_, read under it.
    int version_ = 0;
    std::thread thread_;
};

// The history database's file name in the program's data folder.
inline constexpr char kHistoryFileName[] = "history.sqlite";

}  // namespace veltrin
