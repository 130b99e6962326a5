#include "history/historystore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <unordered_map>
#include <utility>

#include "settings/paths.h"

namespace veltrin {

namespace {

constexpr int kSchemaVersion = 1;
constexpr std::int64_t kMinuteMs = 60'000;
// Raw results are pruned this often (cheap: only the rows that go are visited); minute rows,
// whose pruning walks their table, hourly.
constexpr std::int64_t kRawPruneEveryMs = 10'000;
constexpr std::int64_t kMinutePruneEveryMs = 3'600'000;
// The writer wakes early when this many results wait.
constexpr std::size_t kWakeAt = 20'000;
// A write lock held elsewhere is waited for this long per attempt, and this many attempts in a
// row (one per flush period) before the database counts as locked.
constexpr int kBusyTimeoutMs = 1000;
constexpr int kMaxBusyRounds = 10;
constexpr int kCheckpointFrames = 1000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS hosts(id INTEGER PRIMARY KEY, address TEXT NOT NULL UNIQUE);"
    // rttus: round trip in microseconds; -1: lost.
    "CREATE TABLE IF NOT EXISTS raw(host INTEGER NOT NULL, wallms INTEGER NOT NULL, rttus INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS raw_host_time ON raw(host, wallms);"
    // minus/maxus: NULL while no echo of the minute was answered; sumus over the answered ones.
    "CREATE TABLE IF NOT EXISTS minutes(host INTEGER NOT NULL, minutems INTEGER NOT NULL, minus INTEGER,"
    " maxus INTEGER, sumus INTEGER NOT NULL, sent INTEGER NOT NULL, lost INTEGER NOT NULL,"
    " PRIMARY KEY(host, minutems)) WITHOUT ROWID;";

std::int64_t SystemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t MinuteOf(std::int64_t wallms) {
    std::int64_t m = wallms / kMinuteMs;
    if (wallms % kMinuteMs < 0) --m;
    return m * kMinuteMs;
}

// Microseconds, as stored; -1 for lost. A round trip beyond any time-out is clamped.
std::int64_t StoredRtt(double rttms) {
    if (!(rttms >= 0.0)) return -1;
    if (rttms > 3.6e6) return 3'600'000'000;
    return std::llround(rttms * 1000.0);
}

double RttOf(std::int64_t rttus) { return rttus < 0 ? -1.0 : static_cast<double>(rttus) / 1000.0; }

// A prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

std::string Describe(sqlite3* db, int rc) {
    const int code = rc & 0xFF;
    std::string text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) return "locked by another program (" + text + ")";
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) return "damaged (" + text + ")";
    return text;
}

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

std::int64_t PragmaInt(sqlite3* db, const char* sql) {
    Statement s(db, sql);
    if (!s.ok() || sqlite3_step(s.get()) != SQLITE_ROW) return -1;
    return sqlite3_column_int64(s.get(), 0);
}

bool IsFatal(int rc) {
    const int code = rc & 0xFF;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB || code == SQLITE_IOERR || code == SQLITE_CANTOPEN ||
           code == SQLITE_READONLY || code == SQLITE_PERM;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Minute rows from results, for the ones not written yet.
void AddToMinutes(std::map<std::int64_t, HistoryMinute>& minutes, std::map<std::int64_t, double>& sums,
                  std::int64_t wallms, double rttms) {
    const std::int64_t minute = MinuteOf(wallms);
    HistoryMinute& m = minutes[minute];
    m.minutems = minute;
    ++m.sent;
    if (rttms < 0) {
        ++m.lost;
        return;
    }
    const std::uint32_t answered = m.sent - m.lost;
    m.minms = answered == 1 ? rttms : std::min(m.minms, rttms);
    m.maxms = answered == 1 ? rttms : std::max(m.maxms, rttms);
    sums[minute] += rttms;
    m.avgms = sums[minute] / answered;
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, std::string* error) {
    return Open(path, HistoryOptions{}, error);
}

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, const HistoryOptions& options,
                                                 std::string* error) {
    std::unique_ptr<HistoryStore> store(new HistoryStore(path, options));
    std::string why;
    if (!store->Start(&why)) {
        if (error != nullptr) *error = "history database " + path + ": " + why;
        return nullptr;
    }
    return store;
}

HistoryStore::HistoryStore(std::string path, HistoryOptions options)
    : path_(std::move(path)), options_(std::move(options)) {
    options_.maxbytes = std::max(options_.maxbytes, kMinMaxBytes);
    options_.flushms = std::clamp(options_.flushms, 1, 60'000);
}

HistoryStore::~HistoryStore() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    sqlite3_close_v2(writer_);
    sqlite3_close_v2(reader_);
}

bool HistoryStore::Start(std::string* error) {
    if (options_.readonly) {
        const int rc = sqlite3_open_v2(path_.c_str(), &reader_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            *error = Describe(reader_, rc);
            return false;
        }
        sqlite3_busy_timeout(reader_, kBusyTimeoutMs);
        const std::int64_t version = PragmaInt(reader_, "PRAGMA user_version");
        if (version < 0) {
            *error = Describe(reader_, sqlite3_errcode(reader_));
            return false;
        }
        if (version != kSchemaVersion) {
            *error = version == 0 ? "holds no history" : "written by another version of the program (format " + std::to_string(version) + ")";
            return false;
        }
        return true;
    }
    const std::string folder = FolderOf(path_);
    if (!folder.empty() && !MakeDirectories(folder)) {
        *error = "cannot create its folder";
        return false;
    }
    // Created owner-only: the file tells which hosts were watched and when.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot open the file";
        return false;
    }
    ::close(fd);

    int rc = sqlite3_open_v2(path_.c_str(), &writer_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *error = Describe(writer_, rc);
        return false;
    }
    sqlite3_busy_timeout(writer_, kBusyTimeoutMs);
    // The first read of the file tells whether it is a database at all.
    const std::int64_t version = PragmaInt(writer_, "PRAGMA user_version");
    if (version < 0) {
        *error = Describe(writer_, sqlite3_errcode(writer_));
        return false;
    }
    if (version != 0 && version != kSchemaVersion) {
        *error = "written by another version of the program (format " + std::to_string(version) + ")";
        return false;
    }
    {
        Statement mode(writer_, "PRAGMA journal_mode=WAL");
        rc = mode.ok() ? sqlite3_step(mode.get()) : SQLITE_ERROR;
        if (rc != SQLITE_ROW ||
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(mode.get(), 0))) != "wal") {
            *error = Describe(writer_, sqlite3_errcode(writer_));
            return false;
        }
    }
    // In WAL mode NORMAL loses nothing committed when the program dies; only a power cut may
    // take the last batches.
    Exec(writer_, "PRAGMA synchronous=NORMAL");
    const std::string limit = "PRAGMA journal_size_limit=" + std::to_string(kWalLimitBytes);
    Exec(writer_, limit.c_str());
    // Checkpoints run after a commit, outside the lock readers take (see WriteBatch); the hook
    // tells how long the log has grown.
    sqlite3_wal_autocheckpoint(writer_, 0);
    sqlite3_wal_hook(
        writer_,
        [](void* self, sqlite3*, const char*, int frames) {
            static_cast<HistoryStore*>(self)->walframes_ = frames;
            return SQLITE_OK;
        },
        this);
    rc = Exec(writer_, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) rc = Exec(writer_, kSchema);
    if (rc == SQLITE_OK && version == 0) rc = Exec(writer_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    if (rc == SQLITE_OK) rc = Exec(writer_, "COMMIT");
    if (rc != SQLITE_OK) {
        *error = Describe(writer_, rc);
        Exec(writer_, "ROLLBACK");
        return false;
    }
    const std::int64_t pagesize = PragmaInt(writer_, "PRAGMA page_size");
    if (pagesize <= 0) {
        *error = Describe(writer_, sqlite3_errcode(writer_));
        return false;
    }
    // The hard stop: a write that would grow the file past the bound fails instead (and makes
    // room, see WriteBatch). A file already larger keeps its size and is trimmed.
    const std::string pages = "PRAGMA max_page_count=" + std::to_string(options_.maxbytes / pagesize);
    Exec(writer_, pages.c_str());

    rc = sqlite3_open_v2(path_.c_str(), &reader_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *error = Describe(reader_, rc);
        return false;
    }
    sqlite3_busy_timeout(reader_, kBusyTimeoutMs);
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        *error = "no thread to write it";
        return false;
    }
    return true;
}

std::int64_t HistoryStore::Now() const { return options_.nowms ? options_.nowms() : SystemNowMs(); }

std::string HistoryStore::Error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

std::int64_t HistoryStore::FileBytes() const {
    std::int64_t total = 0;
    for (const std::string& name : {path_, path_ + "-wal"}) {
        struct stat st {};
        if (::stat(name.c_str(), &st) == 0) total += st.st_size;
    }
    return total;
}

void HistoryStore::Record(const std::vector<EchoResult>& results) {
    if (results.empty() || options_.readonly) return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recorded_ += results.size();
        if (failed_.load()) {
            done_ += results.size();
            return;
        }
        for (const EchoResult& r : results) {
            if (r.address.empty() || r.address.size() > kMaxAddressBytes) {
                ++done_;
                continue;
            }
            pending_.push_back(r);
        }
        if (pending_.size() > kMaxPending) {
            // The disk cannot keep up: the oldest waiting results go, in one cut.
            const std::size_t cut = pending_.size() - kMaxPending + kMaxPending / 8;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(cut));
            dropped_ += cut;
            done_ += cut;
        }
        wake = pending_.size() >= kWakeAt;
    }
    if (wake) wake_.notify_one();
}

void HistoryStore::Flush() {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t target = recorded_;
    flushnow_ = true;
    wake_.notify_one();
    written_.wait(lock, [&] { return done_ >= target || failed_.load(); });
}

void HistoryStore::Fail(const std::string& error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failing_) return;
        failing_ = true;
        error_ = error;
    }
    // Told before Failed() turns true, so whoever sees the failure also finds it said.
    if (options_.onerror) options_.onerror("history database " + path_ + ": " + error);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_.store(true);
        done_ = recorded_;
        pending_.clear();
    }
    written_.notify_all();
}

void HistoryStore::Run() {
    // A damaged file may read fine at its start; look it over once, off the window thread.
    {
        Statement check(writer_, "PRAGMA quick_check(1)");
        const int rc = check.ok() ? sqlite3_step(check.get()) : SQLITE_ERROR;
        const char* text = rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0)) : nullptr;
        if (text == nullptr || std::string(text) != "ok")
            Fail(rc == SQLITE_ROW && text != nullptr ? std::string("damaged (") + text + ")"
                                                     : Describe(writer_, sqlite3_errcode(writer_)));
    }
    if (!failed_.load()) {
        Prune(Now());
        Trim();
    }
    int busyrounds = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, std::chrono::milliseconds(options_.flushms),
                       [&] { return stop_ || flushnow_ || pending_.size() >= kWakeAt; });
        flushnow_ = false;
        if (pending_.empty()) {
            if (stop_) return;
            continue;
        }
        writing_.swap(pending_);
        const std::size_t taken = writing_.size();
        lock.unlock();
        const BatchResult result = failed_.load() ? BatchResult::Written : WriteBatch(writing_);
        lock.lock();
        if (result == BatchResult::Busy && !stop_ && ++busyrounds < kMaxBusyRounds) {
            // Written next time, before what came meanwhile.
            writing_.insert(writing_.end(), std::make_move_iterator(pending_.begin()),
                            std::make_move_iterator(pending_.end()));
            pending_.swap(writing_);
            writing_.clear();
            continue;
        }
        if (result == BatchResult::Busy) {
            writing_.clear();
            lock.unlock();
            Fail("locked by another program for too long");
            lock.lock();
        }
        if (result == BatchResult::Written) busyrounds = 0;
        // WriteBatch already took the committed batch out of writing_ under the readers' lock.
        writing_.clear();
        done_ += taken;
        written_.notify_all();
        if (stop_ && pending_.empty()) return;
    }
}

HistoryStore::BatchResult HistoryStore::WriteBatch(std::vector<EchoResult>& batch) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int rc = Exec(writer_, "BEGIN IMMEDIATE");
        if ((rc & 0xFF) == SQLITE_BUSY) return BatchResult::Busy;
        bool full = false;
        if (rc == SQLITE_OK) {
            Statement host(writer_, "INSERT INTO hosts(address) VALUES(?) ON CONFLICT(address) DO UPDATE SET address=address RETURNING id");
            Statement raw(writer_, "INSERT INTO raw(host, wallms, rttus) VALUES(?,?,?)");
            Statement minute(writer_,
                             "INSERT INTO minutes(host, minutems, minus, maxus, sumus, sent, lost) VALUES(?,?,?,?,?,?,?)"
                             " ON CONFLICT(host, minutems) DO UPDATE SET"
                             " minus = min(coalesce(minus, excluded.minus), coalesce(excluded.minus, minus)),"
                             " maxus = max(coalesce(maxus, excluded.maxus), coalesce(excluded.maxus, maxus)),"
                             " sumus = sumus + excluded.sumus, sent = sent + excluded.sent, lost = lost + excluded.lost");
            if (!host.ok() || !raw.ok() || !minute.ok()) rc = sqlite3_errcode(writer_);
            struct Agg {
                std::int64_t minus = -1, maxus = -1, sumus = 0, sent = 0, lost = 0;
            };
            std::map<std::pair<std::int64_t, std::int64_t>, Agg> minutes;
            for (std::size_t i = 0; rc == SQLITE_OK && i < batch.size(); ++i) {
                const EchoResult& r = batch[i];
                std::int64_t id = -1;
                const auto known = hostids_.find(r.address);
                if (known != hostids_.end()) {
                    id = known->second;
                } else {
                    sqlite3_bind_text(host.get(), 1, r.address.data(), static_cast<int>(r.address.size()), SQLITE_STATIC);
                    rc = sqlite3_step(host.get());
                    if (rc == SQLITE_ROW) {
                        id = sqlite3_column_int64(host.get(), 0);
                        rc = sqlite3_step(host.get());
                    }
                    host.Reset();
                    if (rc != SQLITE_DONE) break;
                    rc = SQLITE_OK;
                    hostids_.emplace(r.address, id);
                }
                const std::int64_t rttus = StoredRtt(r.rttms);
                sqlite3_bind_int64(raw.get(), 1, id);
                sqlite3_bind_int64(raw.get(), 2, r.wallms);
                sqlite3_bind_int64(raw.get(), 3, rttus);
                rc = sqlite3_step(raw.get());
                raw.Reset();
                if (rc != SQLITE_DONE) break;
                rc = SQLITE_OK;
                Agg& a = minutes[{id, MinuteOf(r.wallms)}];
                ++a.sent;
                if (rttus < 0) {
                    ++a.lost;
                } else {
                    a.minus = a.minus < 0 ? rttus : std::min(a.minus, rttus);
                    a.maxus = std::max(a.maxus, rttus);
                    a.sumus += rttus;
                }
            }
            for (auto it = minutes.begin(); rc == SQLITE_OK && it != minutes.end(); ++it) {
                const Agg& a = it->second;
                sqlite3_bind_int64(minute.get(), 1, it->first.first);
                sqlite3_bind_int64(minute.get(), 2, it->first.second);
                if (a.minus >= 0) {
                    sqlite3_bind_int64(minute.get(), 3, a.minus);
                    sqlite3_bind_int64(minute.get(), 4, a.maxus);
                }
                sqlite3_bind_int64(minute.get(), 5, a.sumus);
                sqlite3_bind_int64(minute.get(), 6, a.sent);
                sqlite3_bind_int64(minute.get(), 7, a.lost);
                rc = sqlite3_step(minute.get());
                minute.Reset();
                if (rc == SQLITE_DONE) rc = SQLITE_OK;
            }
        }
        if (rc == SQLITE_OK) {
            // Readers see the batch either in the file or among the waiting results, never both.
            std::lock_guard<std::mutex> readlock(readmutex_);
            rc = Exec(writer_, "COMMIT");
            if (rc == SQLITE_OK) {
                std::lock_guard<std::mutex> lock(mutex_);
                batch.clear();
            }
        }
        if (rc == SQLITE_OK) break;
        const int code = rc & 0xFF;
        Exec(writer_, "ROLLBACK");
        hostids_.clear();  // ids made in the rolled-back transaction are gone
        full = code == SQLITE_FULL;
        if (code == SQLITE_BUSY) return BatchResult::Busy;
        if (full && attempt == 0) {
            Trim(true);
            continue;
        }
        if (full) {
            // Even an emptied file cannot take the batch: it is left out, the store goes on.
            return BatchResult::Written;
        }
        Fail(Describe(writer_, rc));
        return BatchResult::Failed;
    }
    // SQLite's own rule (a checkpoint once the log holds 1000 pages), run here.
    if (walframes_ >= kCheckpointFrames) {
        sqlite3_wal_checkpoint_v2(writer_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        walframes_ = 0;
    }
    const std::int64_t now = Now();
    if (now - lastprunems_ >= kRawPruneEveryMs || now < lastprunems_) Prune(now);
    Trim();
    return BatchResult::Written;
}

void HistoryStore::Prune(std::int64_t nowms) {
    lastprunems_ = nowms;
    // Raw rows are written in time order, so the old ones are the first rowids: the walk stops
    // at the first row still young enough.
    {
        Statement s(writer_,
                    "DELETE FROM raw WHERE rowid < coalesce((SELECT rowid FROM raw WHERE wallms >= ?1 ORDER BY rowid LIMIT 1),"
                    " (SELECT max(rowid) + 1 FROM raw), 0)");
        if (s.ok()) {
            sqlite3_bind_int64(s.get(), 1, nowms - kRawKeepMs);
            sqlite3_step(s.get());
        }
    }
    if (nowms - lastminuteprunems_ < kMinutePruneEveryMs && nowms >= lastminuteprunems_) return;
    lastminuteprunems_ = nowms;
    {
        Statement s(writer_, "DELETE FROM minutes WHERE minutems < ?1");
        if (s.ok()) {
            sqlite3_bind_int64(s.get(), 1, nowms - kMinuteKeepMs);
            sqlite3_step(s.get());
        }
    }
    {
        Statement s(writer_,
                    "DELETE FROM hosts WHERE NOT EXISTS (SELECT 1 FROM raw WHERE raw.host = hosts.id)"
                    " AND NOT EXISTS (SELECT 1 FROM minutes WHERE minutes.host = hosts.id)");
        if (s.ok()) sqlite3_step(s.get());
    }
    hostids_.clear();
}

void HistoryStore::Trim(bool force) {
    const std::int64_t pagesize = PragmaInt(writer_, "PRAGMA page_size");
    if (pagesize <= 0) return;
    const auto used = [&] {
        return (PragmaInt(writer_, "PRAGMA page_count") - PragmaInt(writer_, "PRAGMA freelist_count")) * pagesize;
    };
    const std::int64_t high = options_.maxbytes / 10 * 9;
    const std::int64_t low = options_.maxbytes / 4 * 3;
    if (!force && used() <= high) return;
    // The oldest quarter of what is left each round: raw results first, then minute rows.
    for (int round = 0; round < 64 && used() > low; ++round) {
        const std::int64_t first = PragmaInt(writer_, "SELECT coalesce(min(rowid), -1) FROM raw");
        const std::int64_t last = PragmaInt(writer_, "SELECT coalesce(max(rowid), -1) FROM raw");
        if (first >= 0 && last >= first) {
            Statement s(writer_, "DELETE FROM raw WHERE rowid <= ?1");
            if (!s.ok()) return;
            sqlite3_bind_int64(s.get(), 1, first + (last - first) / 4);
            sqlite3_step(s.get());
            continue;
        }
        const std::int64_t oldest = PragmaInt(writer_, "SELECT coalesce(min(minutems), -1) FROM minutes");
        const std::int64_t newest = PragmaInt(writer_, "SELECT coalesce(max(minutems), -1) FROM minutes");
        if (oldest < 0) return;
        Statement s(writer_, "DELETE FROM minutes WHERE minutems <= ?1");
        if (!s.ok()) return;
        sqlite3_bind_int64(s.get(), 1, oldest + (newest - oldest) / 4);
        sqlite3_step(s.get());
    }
}

std::vector<EchoResult> HistoryStore::PendingOf(const std::string& address) const {
    std::vector<EchoResult> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto* list : {&writing_, &pending_})
        for (const EchoResult& r : *list)
            if (r.address == address) out.push_back(r);
    return out;
}

namespace {

std::int64_t HostId(sqlite3* db, const std::string& address, int* rc) {
    Statement s(db, "SELECT id FROM hosts WHERE address = ?1");
    if (!s.ok()) {
        *rc = sqlite3_errcode(db);
        return -1;
    }
    sqlite3_bind_text(s.get(), 1, address.data(), static_cast<int>(address.size()), SQLITE_STATIC);
    const int step = sqlite3_step(s.get());
    if (step == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
    if (step != SQLITE_DONE) *rc = step;
    return -1;
}

}  // namespace

std::vector<EchoResult> HistoryStore::Query(const std::string& address, const char* sql,
                                            const std::function<void(sqlite3_stmt*)>& bind,
                                            const std::function<void(sqlite3_stmt*)>& row) const {
    std::vector<EchoResult> pending;
    std::string failure;
    int rc = SQLITE_OK;
    {
        std::lock_guard<std::mutex> lock(readmutex_);
        const std::int64_t id = HostId(reader_, address, &rc);
        if (id >= 0) {
            Statement s(reader_, sql);
            if (s.ok()) {
                sqlite3_bind_int64(s.get(), 1, id);
                bind(s.get());
                while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) row(s.get());
                if (rc == SQLITE_DONE) rc = SQLITE_OK;
            } else {
                rc = sqlite3_errcode(reader_);
            }
        }
        pending = PendingOf(address);
        if (IsFatal(rc)) failure = Describe(reader_, rc);
    }
    if (!failure.empty()) const_cast<HistoryStore*>(this)->Fail(failure);
    return pending;
}

std::vector<HistoryPoint> HistoryStore::Recent(const std::string& address, std::size_t count) const {
    std::vector<HistoryPoint> points;
    if (count == 0 || failed_.load()) return points;
    const std::vector<EchoResult> pending = Query(
        address, "SELECT wallms, rttus FROM raw WHERE host = ?1 ORDER BY wallms DESC, rowid DESC LIMIT ?2",
        [count](sqlite3_stmt* s) {
            sqlite3_bind_int64(s, 2, static_cast<std::int64_t>(std::min<std::size_t>(count, INT64_MAX)));
        },
        [&points](sqlite3_stmt* s) {
            points.push_back({sqlite3_column_int64(s, 0), RttOf(sqlite3_column_int64(s, 1))});
        });
    std::reverse(points.begin(), points.end());
    for (const EchoResult& r : pending) points.push_back({r.wallms, r.rttms < 0 ? -1.0 : r.rttms});
    std::stable_sort(points.begin(), points.end(),
                     [](const HistoryPoint& a, const HistoryPoint& b) { return a.wallms < b.wallms; });
    if (points.size() > count) points.erase(points.begin(), points.end() - static_cast<std::ptrdiff_t>(count));
    return points;
}

std::vector<HistoryPoint> HistoryStore::Raw(const std::string& address, std::int64_t sincems,
                                            std::int64_t untilms) const {
    std::vector<HistoryPoint> points;
    if (untilms <= sincems || failed_.load()) return points;
    const std::vector<EchoResult> pending = Query(
        address, "SELECT wallms, rttus FROM raw WHERE host = ?1 AND wallms >= ?2 AND wallms < ?3 ORDER BY wallms, rowid",
        [sincems, untilms](sqlite3_stmt* s) {
            sqlite3_bind_int64(s, 2, sincems);
            sqlite3_bind_int64(s, 3, untilms);
        },
        [&points](sqlite3_stmt* s) {
            points.push_back({sqlite3_column_int64(s, 0), RttOf(sqlite3_column_int64(s, 1))});
        });
    bool added = false;
    for (const EchoResult& r : pending)
        if (r.wallms >= sincems && r.wallms < untilms) {
            points.push_back({r.wallms, r.rttms < 0 ? -1.0 : r.rttms});
            added = true;
        }
    if (added)
        std::stable_sort(points.begin(), points.end(),
                         [](const HistoryPoint& a, const HistoryPoint& b) { return a.wallms < b.wallms; });
    return points;
}

std::vector<HistoryMinute> HistoryStore::Minutes(const std::string& address, std::int64_t sincems,
                                                 std::int64_t untilms) const {
    std::map<std::int64_t, HistoryMinute> minutes;
    std::map<std::int64_t, double> sums;  // answered round trips of a minute, in ms
    if (untilms <= sincems || failed_.load()) return {};
    const std::vector<EchoResult> pending = Query(
        address,
        "SELECT minutems, minus, maxus, sumus, sent, lost FROM minutes"
        " WHERE host = ?1 AND minutems >= ?2 AND minutems < ?3 ORDER BY minutems",
        [sincems, untilms](sqlite3_stmt* s) {
            sqlite3_bind_int64(s, 2, sincems);
            sqlite3_bind_int64(s, 3, untilms);
        },
        [&minutes, &sums](sqlite3_stmt* s) {
            HistoryMinute m;
            m.minutems = sqlite3_column_int64(s, 0);
            const std::int64_t sent = sqlite3_column_int64(s, 4);
            const std::int64_t lost = sqlite3_column_int64(s, 5);
            m.sent = static_cast<std::uint32_t>(std::clamp<std::int64_t>(sent, 0, UINT32_MAX));
            m.lost = static_cast<std::uint32_t>(std::clamp<std::int64_t>(lost, 0, m.sent));
            if (sqlite3_column_type(s, 1) != SQLITE_NULL && m.sent > m.lost) {
                m.minms = RttOf(sqlite3_column_int64(s, 1));
                m.maxms = RttOf(sqlite3_column_int64(s, 2));
                sums[m.minutems] = static_cast<double>(sqlite3_column_int64(s, 3)) / 1000.0;
                m.avgms = sums[m.minutems] / (m.sent - m.lost);
            }
            minutes[m.minutems] = m;
        });
    for (const EchoResult& r : pending) {
        const std::int64_t minute = MinuteOf(r.wallms);
        if (minute < sincems || minute >= untilms) continue;
        AddToMinutes(minutes, sums, r.wallms, r.rttms);
    }
    std::vector<HistoryMinute> out;
    out.reserve(minutes.size());
    for (auto& [minute, m] : minutes) out.push_back(m);
    return out;
}

}  // namespace veltrin
