#include "history/historystore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <map>
#include <unordered_map>
#include <utility>

#include "settings/paths.h"

namespace veltrin {

namespace {

constexpr int kSchemaVersion = 2;
constexpr std::int64_t kMinuteMs = 60'000;
// Raw results are pruned with each fold (cheap: only the chunks that go are visited); minute
// rows, whose pruning walks their table, hourly.
constexpr std::int64_t kMinutePruneEveryMs = 3'600'000;
// Results are folded into chunks and minute rows this often, or sooner once this many wait.
constexpr std::int64_t kFoldEveryMs = 60'000;
constexpr std::size_t kFoldAt = 100'000;
// The writer wakes early when this many results wait.
constexpr std::size_t kWakeAt = 20'000;
// A write lock held elsewhere is waited for this long per attempt, and this many attempts in a
// row (one per flush period) before the database counts as locked.
constexpr int kBusyTimeoutMs = 1000;
constexpr int kMaxBusyRounds = 10;
constexpr int kCheckpointFrames = 1000;

// Format 2. A row per result with an index on (host, time) made every batch touch a page per
// host; results now go in two steps, both appending:
//   fresh   one row per batch (each second): its first result's time (basems) and its results as
//           JSON [[host, ms after basems, rttus], ...];
//   chunks  every minute the fresh rows are folded: one row per host and minute, its results as
//           JSON [[ms into the minute, rttus], ...], and the minute rows are added up then.
// The view `raw` shows both as one row per result, as format 1's table did.
// rttus: round trip in microseconds; -1: lost.
const char* const kTables =
    "CREATE TABLE IF NOT EXISTS hosts(id INTEGER PRIMARY KEY, address TEXT NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS chunks(host INTEGER NOT NULL, minutems INTEGER NOT NULL, lastms INTEGER NOT NULL,"
    " results TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS chunks_host_time ON chunks(host, lastms);"
    "CREATE TABLE IF NOT EXISTS fresh(id INTEGER PRIMARY KEY, basems INTEGER NOT NULL, results TEXT NOT NULL);"
    // minus/maxus: NULL while no echo of the minute was answered; sumus over the answered ones.
    "CREATE TABLE IF NOT EXISTS minutes(host INTEGER NOT NULL, minutems INTEGER NOT NULL, minus INTEGER,"
    " maxus INTEGER, sumus INTEGER NOT NULL, sent INTEGER NOT NULL, lost INTEGER NOT NULL,"
    " PRIMARY KEY(host, minutems)) WITHOUT ROWID;";
const char* const kView =
    "CREATE VIEW IF NOT EXISTS raw(host, wallms, rttus) AS"
    " SELECT c.host, c.minutems + json_extract(j.value, '$[0]'), json_extract(j.value, '$[1]')"
    " FROM chunks c, json_each(c.results) j"
    " UNION ALL SELECT json_extract(j.value, '$[0]'), f.basems + json_extract(j.value, '$[1]'), json_extract(j.value, '$[2]')"
    " FROM fresh f, json_each(f.results) j;";

// Format 1's results become chunks, a host's minute each, a slice of the table at a time, each
// slice deleted as it is converted (its index dropped first), so the file never needs more room
// than it had; the table then gives way to the view.
const char* const kConvertSlice =
    "INSERT INTO chunks(host, minutems, lastms, results)"
    " SELECT host, m, max(wallms), json_group_array(json_array(wallms - m, rttus)) FROM"
    " (SELECT host, wallms, rttus, wallms - ((wallms % 60000) + 60000) % 60000 AS m FROM raw"
    "  WHERE rowid >= ?1 AND rowid < ?2 ORDER BY rowid)"
    " GROUP BY host, m ORDER BY m, host";
const char* const kDeleteSlice = "DELETE FROM raw WHERE rowid >= ?1 AND rowid < ?2";
constexpr std::int64_t kConvertSliceRows = 262'144;

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

void AppendNumber(std::string& out, std::int64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, static_cast<std::size_t>(end - text));
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

struct HistoryStore::Statements {
    explicit Statements(sqlite3* db)
        : host(db, "INSERT INTO hosts(address) VALUES(?) ON CONFLICT(address) DO UPDATE SET address=address RETURNING id"),
          fresh(db, "INSERT INTO fresh(basems, results) VALUES(?, ?)"),
          begin(db, "BEGIN IMMEDIATE"),
          commit(db, "COMMIT"),
          chunk(db, "INSERT INTO chunks(host, minutems, lastms, results) VALUES(?,?,?,?)"),
          minute(db,
                 "INSERT INTO minutes(host, minutems, minus, maxus, sumus, sent, lost) VALUES(?,?,?,?,?,?,?)"
                 " ON CONFLICT(host, minutems) DO UPDATE SET"
                 " minus = min(coalesce(minus, excluded.minus), coalesce(excluded.minus, minus)),"
                 " maxus = max(coalesce(maxus, excluded.maxus), coalesce(excluded.maxus, maxus)),"
                 " sumus = sumus + excluded.sumus, sent = sent + excluded.sent, lost = lost + excluded.lost"),
          clearfresh(db, "DELETE FROM fresh") {}
    bool ok() const {
        return host.ok() && fresh.ok() && begin.ok() && commit.ok() && chunk.ok() && minute.ok() && clearfresh.ok();
    }
    // Runs a statement that gives no rows; its result code.
    static int Run(Statement& s) {
        const int rc = sqlite3_step(s.get());
        s.Reset();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    Statement host, fresh, begin, commit, chunk, minute, clearfresh;
};

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
    statements_.reset();
    for (const auto& [sql, stmt] : readstatements_) sqlite3_finalize(stmt);
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
        // A file of format 1 nobody has opened for writing since is read as it is.
        if (version != kSchemaVersion && version != 1) {
            *error = version == 0 ? "holds no history" : "written by another version of the program (format " + std::to_string(version) + ")";
            return false;
        }
        version_ = static_cast<int>(version);
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
    if (version != 0 && version != 1 && version != kSchemaVersion) {
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
    // A file of format 1 is converted on the store's thread (it may hold millions of results);
    // until then it is read as it is.
    if (version == 1) {
        version_ = 1;
    } else {
        rc = Exec(writer_, "BEGIN IMMEDIATE");
        if (rc == SQLITE_OK) rc = Exec(writer_, kTables);
        if (rc == SQLITE_OK) rc = Exec(writer_, kView);
        if (rc == SQLITE_OK && version != kSchemaVersion)
            rc = Exec(writer_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        if (rc == SQLITE_OK) rc = Exec(writer_, "COMMIT");
        if (rc != SQLITE_OK) {
            *error = Describe(writer_, rc);
            Exec(writer_, "ROLLBACK");
            return false;
        }
        version_ = kSchemaVersion;
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
    if (version_ == kSchemaVersion) {
        // What a run that ended without its last fold left (killed): read as waiting to be folded.
        if (!LoadFresh(error)) return false;
        statements_ = std::make_unique<Statements>(writer_);
        if (!statements_->ok()) {
            *error = Describe(writer_, sqlite3_errcode(writer_));
            return false;
        }
    }

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

bool HistoryStore::LoadFresh(std::string* error) {
    Statement s(writer_,
                "SELECT h.address, f.basems + json_extract(j.value, '$[1]'), json_extract(j.value, '$[2]')"
                " FROM fresh f, json_each(f.results) j JOIN hosts h ON h.id = json_extract(j.value, '$[0]')"
                " ORDER BY f.id, j.key");
    int rc = s.ok() ? SQLITE_ROW : sqlite3_errcode(writer_);
    while (s.ok() && (rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
        const int bytes = sqlite3_column_bytes(s.get(), 0);
        if (text == nullptr || bytes <= 0 || static_cast<std::size_t>(bytes) > kMaxAddressBytes) continue;
        hosts_[std::string(text, static_cast<std::size_t>(bytes))].unfolded.push_back(
            {sqlite3_column_int64(s.get(), 1), std::max<std::int64_t>(sqlite3_column_int64(s.get(), 2), -1)});
        ++unfoldedcount_;
    }
    if (rc != SQLITE_DONE) {
        // Fresh rows that are no JSON were not written by this program.
        *error = (rc & 0xFF) == SQLITE_ERROR ? "damaged (" + std::string(sqlite3_errmsg(writer_)) + ")"
                                             : Describe(writer_, rc);
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
    if (!failed_.load() && version_ == 1) Convert();
    lastfoldms_ = Now();
    if (!failed_.load()) {
        // Left over from a run that was killed: folded now, so its minute rows are whole.
        std::vector<EchoResult> none;
        if (unfoldedcount_ > 0) WriteBatch(none, true);
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
            // Nothing new: what waits is folded when its time comes, and at the end.
            if ((stop_ || FoldDue(0)) && unfoldedcount_ > 0 && !failed_.load()) {
                lock.unlock();
                std::vector<EchoResult> none;
                WriteBatch(none, true);
                lock.lock();
            }
            if (stop_) return;
            continue;
        }
        writing_.swap(pending_);
        const std::size_t taken = writing_.size();
        const bool fold = stop_ || FoldDue(taken);
        lock.unlock();
        const BatchResult result = failed_.load() ? BatchResult::Written : WriteBatch(writing_, fold);
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
        if (stop_ && pending_.empty() && (unfoldedcount_ == 0 || failed_.load())) return;
    }
}

void HistoryStore::Convert() {
    int rc = Exec(writer_, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) rc = Exec(writer_, "DROP INDEX IF EXISTS raw_host_time");
    if (rc == SQLITE_OK) rc = Exec(writer_, kTables);
    const std::int64_t first = rc == SQLITE_OK ? PragmaInt(writer_, "SELECT coalesce(min(rowid), 0) FROM raw") : 0;
    const std::int64_t last = rc == SQLITE_OK ? PragmaInt(writer_, "SELECT coalesce(max(rowid), -1) FROM raw") : -1;
    if (rc == SQLITE_OK) {
        Statement convert(writer_, kConvertSlice);
        Statement remove(writer_, kDeleteSlice);
        if (!convert.ok() || !remove.ok()) rc = sqlite3_errcode(writer_);
        for (std::int64_t from = first; rc == SQLITE_OK && from <= last; from += kConvertSliceRows) {
            for (Statement* s : {&convert, &remove}) {
                sqlite3_bind_int64(s->get(), 1, from);
                sqlite3_bind_int64(s->get(), 2, from + kConvertSliceRows);
                rc = sqlite3_step(s->get());
                s->Reset();
                rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
                if (rc != SQLITE_OK) break;
            }
        }
    }
    if (rc == SQLITE_OK) rc = Exec(writer_, "DROP TABLE raw");
    if (rc == SQLITE_OK) rc = Exec(writer_, kView);
    if (rc == SQLITE_OK) rc = Exec(writer_, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    if (rc == SQLITE_OK) {
        // Readers switch to the new layout with the commit, never between.
        std::lock_guard<std::mutex> readlock(readmutex_);
        rc = Exec(writer_, "COMMIT");
        if (rc == SQLITE_OK) version_ = kSchemaVersion;
    }
    if (rc != SQLITE_OK) {
        const std::string why = Describe(writer_, rc);
        Exec(writer_, "ROLLBACK");
        Fail("cannot be converted to this version's format (" + why + ")");
        return;
    }
    statements_ = std::make_unique<Statements>(writer_);
    if (!statements_->ok()) Fail(Describe(writer_, sqlite3_errcode(writer_)));
}

bool HistoryStore::FoldDue(std::size_t incoming) const {
    const std::int64_t now = Now();
    // Fresh rows are bulkier than chunks: a small bound folds them sooner.
    const std::size_t most = static_cast<std::size_t>(std::min<std::int64_t>(kFoldAt, options_.maxbytes / 16 / 24));
    return now - lastfoldms_ >= kFoldEveryMs || now < lastfoldms_ || unfoldedcount_ + incoming >= most;
}

HistoryStore::HostEntry* HistoryStore::HostFor(const std::string& address, int* rc) {
    auto entry = hosts_.find(address);
    if (entry == hosts_.end()) {
        std::lock_guard<std::mutex> lock(mutex_);
        entry = hosts_.emplace(address, Host{}).first;
    }
    if (entry->second.id >= 0) return &*entry;
    Statement& host = statements_->host;
    sqlite3_bind_text(host.get(), 1, address.data(), static_cast<int>(address.size()), SQLITE_STATIC);
    std::int64_t id = -1;
    int step = sqlite3_step(host.get());
    if (step == SQLITE_ROW) {
        id = sqlite3_column_int64(host.get(), 0);
        step = sqlite3_step(host.get());
    }
    host.Reset();
    if (step != SQLITE_DONE || id < 0) {
        *rc = step == SQLITE_DONE ? SQLITE_ERROR : step;
        return nullptr;
    }
    entry->second.id = id;
    return &*entry;
}

void HistoryStore::ForgetIds() {
    for (auto& [address, host] : hosts_) host.id = -1;
}

int HistoryStore::FoldAll(const std::vector<EchoResult>& batch) {
    // A host's minute: its results in the order they came, and their sums.
    struct Minute {
        std::string results;
        std::int64_t lastms = 0, minus = -1, maxus = -1, sumus = 0, sent = 0, lost = 0;
    };
    std::map<std::pair<std::int64_t, std::int64_t>, Minute> minutes;  // (minute, host): in time order
    int rc = SQLITE_OK;
    const auto add = [&](std::int64_t id, std::int64_t wallms, std::int64_t rttus) {
        const std::int64_t minute = MinuteOf(wallms);
        Minute& m = minutes[{minute, id}];
        if (m.sent == 0) {
            m.results = "[";
            m.lastms = wallms;
        } else {
            m.results += ',';
        }
        m.results += '[';
        AppendNumber(m.results, wallms - minute);
        m.results += ',';
        AppendNumber(m.results, rttus);
        m.results += ']';
        m.lastms = std::max(m.lastms, wallms);
        ++m.sent;
        if (rttus < 0) {
            ++m.lost;
        } else {
            m.minus = m.minus < 0 ? rttus : std::min(m.minus, rttus);
            m.maxus = std::max(m.maxus, rttus);
            m.sumus += rttus;
        }
    };
    for (auto& [address, host] : hosts_) {
        if (host.unfolded.empty()) continue;
        const HostEntry* known = HostFor(address, &rc);
        if (known == nullptr) return rc;
        for (const Kept& k : host.unfolded) add(known->second.id, k.wallms, k.rttus);
    }
    for (const EchoResult& r : batch) {
        const HostEntry* host = HostFor(r.address, &rc);
        if (host == nullptr) return rc;
        add(host->second.id, r.wallms, StoredRtt(r.rttms));
    }
    // The fresh rows go first, so the chunks reuse their pages (a file at its bound has room).
    rc = sqlite3_step(statements_->clearfresh.get());
    statements_->clearfresh.Reset();
    if (rc != SQLITE_DONE) return rc;
    Statement& chunk = statements_->chunk;
    Statement& minute = statements_->minute;
    for (auto& [key, m] : minutes) {
        m.results += ']';
        sqlite3_bind_int64(chunk.get(), 1, key.second);
        sqlite3_bind_int64(chunk.get(), 2, key.first);
        sqlite3_bind_int64(chunk.get(), 3, m.lastms);
        sqlite3_bind_text(chunk.get(), 4, m.results.data(), static_cast<int>(m.results.size()), SQLITE_STATIC);
        rc = sqlite3_step(chunk.get());
        chunk.Reset();
        if (rc != SQLITE_DONE) return rc;
        sqlite3_bind_int64(minute.get(), 1, key.second);
        sqlite3_bind_int64(minute.get(), 2, key.first);
        if (m.minus >= 0) {
            sqlite3_bind_int64(minute.get(), 3, m.minus);
            sqlite3_bind_int64(minute.get(), 4, m.maxus);
        }
        sqlite3_bind_int64(minute.get(), 5, m.sumus);
        sqlite3_bind_int64(minute.get(), 6, m.sent);
        sqlite3_bind_int64(minute.get(), 7, m.lost);
        rc = sqlite3_step(minute.get());
        minute.Reset();
        if (rc != SQLITE_DONE) return rc;
    }
    return SQLITE_OK;
}

int HistoryStore::AppendFresh(const std::vector<EchoResult>& batch) {
    std::string results = "[";
    results.reserve(batch.size() * 16 + 2);
    int rc = SQLITE_OK;
    // Times after the first one's: a second's results of a few hundred hosts fit in one page.
    const std::int64_t basems = batch.empty() ? 0 : batch.front().wallms;
    // A monitor reports its hosts in much the same order every second: the entry at the same
    // place in the last batch is tried before the hash.
    previousslots_.swap(slots_);
    slots_.clear();
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const EchoResult& r = batch[i];
        HostEntry* host = i < previousslots_.size() ? previousslots_[i] : nullptr;
        if (host == nullptr || host->second.id < 0 || host->first != r.address) host = HostFor(r.address, &rc);
        if (host == nullptr) return rc;
        slots_.push_back(host);
        results += results.size() > 1 ? ",[" : "[";
        AppendNumber(results, host->second.id);
        results += ',';
        AppendNumber(results, r.wallms - basems);
        results += ',';
        AppendNumber(results, StoredRtt(r.rttms));
        results += ']';
    }
    results += ']';
    Statement& fresh = statements_->fresh;
    sqlite3_bind_int64(fresh.get(), 1, basems);
    sqlite3_bind_text(fresh.get(), 2, results.data(), static_cast<int>(results.size()), SQLITE_STATIC);
    rc = sqlite3_step(fresh.get());
    fresh.Reset();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

HistoryStore::BatchResult HistoryStore::WriteBatch(std::vector<EchoResult>& batch, bool fold) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int rc = Statements::Run(statements_->begin);
        if ((rc & 0xFF) == SQLITE_BUSY) return BatchResult::Busy;
        if (rc == SQLITE_OK) rc = fold ? FoldAll(batch) : AppendFresh(batch);
        if (rc == SQLITE_OK) {
            // Readers see each result once: in the file's chunks, or among those in memory (the
            // waiting ones, and the unfolded ones the fresh rows hold).
            std::lock_guard<std::mutex> readlock(readmutex_);
            rc = Statements::Run(statements_->commit);
            if (rc == SQLITE_OK) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (fold) {
                    for (auto& [address, host] : hosts_) host.unfolded.clear();  // their room is kept
                    unfoldedcount_ = 0;
                } else {
                    for (std::size_t i = 0; i < batch.size(); ++i)
                        slots_[i]->second.unfolded.push_back({batch[i].wallms, StoredRtt(batch[i].rttms)});
                    unfoldedcount_ += batch.size();
                }
                batch.clear();
            }
        }
        if (rc == SQLITE_OK) break;
        const int code = rc & 0xFF;
        Exec(writer_, "ROLLBACK");
        ForgetIds();  // ids made in the rolled-back transaction are gone
        if (code == SQLITE_BUSY) return BatchResult::Busy;
        const bool full = code == SQLITE_FULL;
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
    // Between folds the file grows by the fresh rows only (a sixteenth of the bound at most,
    // see FoldDue), so its size is looked at when folding; the bound's hard stop still holds.
    if (fold) {
        const std::int64_t now = Now();
        lastfoldms_ = now;
        Prune(now);
        Trim();
    }
    return BatchResult::Written;
}

void HistoryStore::Prune(std::int64_t nowms) {
    // Chunks are written in time order, so the old ones are the first rowids: the walk stops at
    // the first chunk still young enough.
    {
        Statement s(writer_,
                    "DELETE FROM chunks WHERE rowid < coalesce((SELECT rowid FROM chunks WHERE lastms >= ?1 ORDER BY rowid LIMIT 1),"
                    " (SELECT max(rowid) + 1 FROM chunks), 0)");
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
    // Results not folded yet name their hosts by id: those hosts stay.
    if (unfoldedcount_ > 0) return;
    {
        Statement s(writer_,
                    "DELETE FROM hosts WHERE NOT EXISTS (SELECT 1 FROM chunks WHERE chunks.host = hosts.id)"
                    " AND NOT EXISTS (SELECT 1 FROM minutes WHERE minutes.host = hosts.id)");
        if (s.ok()) sqlite3_step(s.get());
    }
    ForgetIds();
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
        const std::int64_t first = PragmaInt(writer_, "SELECT coalesce(min(rowid), -1) FROM chunks");
        const std::int64_t last = PragmaInt(writer_, "SELECT coalesce(max(rowid), -1) FROM chunks");
        if (first >= 0 && last >= first) {
            Statement s(writer_, "DELETE FROM chunks WHERE rowid <= ?1");
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
    const auto host = hosts_.find(address);
    if (host != hosts_.end())
        for (const Kept& k : host->second.unfolded) out.push_back({address, k.wallms, RttOf(k.rttus)});
    for (const auto* list : {&writing_, &pending_})
        for (const EchoResult& r : *list)
            if (r.address == address) out.push_back(r);
    return out;
}

namespace {

// A statement of the reader's, reset (ending its read) when the lease goes.
class Lease {
public:
    explicit Lease(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Lease() {
        if (stmt_ == nullptr) return;
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_;
};

const char* const kHostIdSql = "SELECT id FROM hosts WHERE address = ?1";
const char* const kDecodeSql = "SELECT json_extract(value, '$[0]'), json_extract(value, '$[1]') FROM json_each(?1)";
const char* const kFreshOfHostSql =
    "SELECT f.basems + json_extract(j.value, '$[1]'), json_extract(j.value, '$[2]') FROM fresh f, json_each(f.results) j"
    " WHERE json_extract(j.value, '$[0]') = ?1 ORDER BY f.id, j.key";

}  // namespace

sqlite3_stmt* HistoryStore::Prepared(const char* sql) const {
    const auto known = readstatements_.find(sql);
    if (known != readstatements_.end()) return known->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(reader_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    readstatements_.emplace(sql, stmt);
    return stmt;
}

int HistoryStore::DecodeChunk(sqlite3_stmt* chunk, std::vector<HistoryPoint>& out) const {
    const Lease decode(Prepared(kDecodeSql));
    if (decode.get() == nullptr) return sqlite3_errcode(reader_);
    const std::int64_t minutems = sqlite3_column_int64(chunk, 0);
    sqlite3_bind_value(decode.get(), 1, sqlite3_column_value(chunk, 1));
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(decode.get())) == SQLITE_ROW)
        out.push_back({minutems + sqlite3_column_int64(decode.get(), 0), RttOf(sqlite3_column_int64(decode.get(), 1))});
    // Malformed JSON in one chunk is that chunk's loss, not the read's.
    return rc == SQLITE_DONE || (rc & 0xFF) == SQLITE_ERROR ? SQLITE_OK : rc;
}

std::vector<EchoResult> HistoryStore::Query(const std::string& address, const char* sql1, const char* sql2,
                                            const std::function<void(sqlite3_stmt*)>& bind,
                                            const std::function<int(sqlite3_stmt*, int)>& row) const {
    std::vector<EchoResult> pending;
    std::string failure;
    int rc = SQLITE_OK;
    {
        std::lock_guard<std::mutex> lock(readmutex_);
        // Another program may fold between two statements: one snapshot for all of them.
        const bool snapshot = options_.readonly && Exec(reader_, "BEGIN") == SQLITE_OK;
        std::int64_t id = -1;
        {
            const Lease host(Prepared(kHostIdSql));
            if (host.get() == nullptr) {
                rc = sqlite3_errcode(reader_);
            } else {
                sqlite3_bind_text(host.get(), 1, address.data(), static_cast<int>(address.size()), SQLITE_STATIC);
                const int step = sqlite3_step(host.get());
                if (step == SQLITE_ROW) id = sqlite3_column_int64(host.get(), 0);
                else if (step != SQLITE_DONE) rc = step;
            }
        }
        if (id >= 0) {
            const int version = version_;
            const Lease s(Prepared(version == 1 ? sql1 : sql2));
            if (s.get() != nullptr) {
                sqlite3_bind_int64(s.get(), 1, id);
                bind(s.get());
                while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
                    rc = row(s.get(), version);
                    if (rc != SQLITE_ROW) break;
                }
                if (rc == SQLITE_DONE) rc = SQLITE_OK;
            } else {
                rc = sqlite3_errcode(reader_);
            }
            // Another program's writer keeps its unfolded results in the fresh rows.
            if (options_.readonly && version >= 2 && !IsFatal(rc)) {
                const Lease f(Prepared(kFreshOfHostSql));
                if (f.get() != nullptr) {
                    sqlite3_bind_int64(f.get(), 1, id);
                    int step = SQLITE_OK;
                    while ((step = sqlite3_step(f.get())) == SQLITE_ROW)
                        pending.push_back({address, sqlite3_column_int64(f.get(), 0), RttOf(sqlite3_column_int64(f.get(), 1))});
                    if (IsFatal(step)) rc = step;
                }
            }
        }
        if (snapshot) Exec(reader_, "COMMIT");
        if (!options_.readonly) pending = PendingOf(address);
        if (IsFatal(rc)) failure = Describe(reader_, rc);
    }
    if (!failure.empty()) const_cast<HistoryStore*>(this)->Fail(failure);
    return pending;
}

std::vector<HistoryPoint> HistoryStore::Recent(const std::string& address, std::size_t count) const {
    std::vector<HistoryPoint> points;
    if (count == 0 || failed_.load()) return points;
    // Format 2: the newest chunks until no older one can hold any of the newest `count`.
    std::vector<std::vector<HistoryPoint>> chunks;
    std::size_t found = 0;
    std::int64_t threshold = INT64_MIN;  // the count-th newest time found so far
    const std::vector<EchoResult> pending = Query(
        address, "SELECT wallms, rttus FROM raw WHERE host = ?1 ORDER BY wallms DESC, rowid DESC LIMIT ?2",
        "SELECT minutems, results, lastms FROM chunks WHERE host = ?1 ORDER BY lastms DESC, rowid DESC",
        [count](sqlite3_stmt* s) {
            if (sqlite3_bind_parameter_count(s) >= 2)
                sqlite3_bind_int64(s, 2, static_cast<std::int64_t>(std::min<std::size_t>(count, INT64_MAX)));
        },
        [&](sqlite3_stmt* s, int version) {
            if (version == 1) {
                chunks.push_back({{sqlite3_column_int64(s, 0), RttOf(sqlite3_column_int64(s, 1))}});
                return SQLITE_ROW;
            }
            if (found >= count && sqlite3_column_int64(s, 2) < threshold) return SQLITE_DONE;
            chunks.emplace_back();
            const int rc = DecodeChunk(s, chunks.back());
            found += chunks.back().size();
            if (found >= count) {
                std::vector<std::int64_t> times;
                times.reserve(found);
                for (const auto& c : chunks)
                    for (const HistoryPoint& p : c) times.push_back(p.wallms);
                std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(count - 1), times.end(),
                                 std::greater<>());
                threshold = times[count - 1];
            }
            return rc == SQLITE_OK ? SQLITE_ROW : rc;
        });
    // Newest first either way: put back in order.
    for (auto c = chunks.rbegin(); c != chunks.rend(); ++c) points.insert(points.end(), c->begin(), c->end());
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
        "SELECT minutems, results FROM chunks WHERE host = ?1 AND lastms >= ?2 AND minutems < ?3 ORDER BY rowid",
        [sincems, untilms](sqlite3_stmt* s) {
            sqlite3_bind_int64(s, 2, sincems);
            sqlite3_bind_int64(s, 3, untilms);
        },
        [&](sqlite3_stmt* s, int version) {
            if (version == 1) {
                points.push_back({sqlite3_column_int64(s, 0), RttOf(sqlite3_column_int64(s, 1))});
                return SQLITE_ROW;
            }
            const int rc = DecodeChunk(s, points);
            return rc == SQLITE_OK ? SQLITE_ROW : rc;
        });
    // A chunk may reach past either end.
    points.erase(std::remove_if(points.begin(), points.end(),
                                [&](const HistoryPoint& p) { return p.wallms < sincems || p.wallms >= untilms; }),
                 points.end());
    for (const EchoResult& r : pending)
        if (r.wallms >= sincems && r.wallms < untilms) points.push_back({r.wallms, r.rttms < 0 ? -1.0 : r.rttms});
    std::stable_sort(points.begin(), points.end(),
                     [](const HistoryPoint& a, const HistoryPoint& b) { return a.wallms < b.wallms; });
    return points;
}

std::vector<HistoryMinute> HistoryStore::Minutes(const std::string& address, std::int64_t sincems,
                                                 std::int64_t untilms) const {
    std::map<std::int64_t, HistoryMinute> minutes;
    std::map<std::int64_t, double> sums;  // answered round trips of a minute, in ms
    if (untilms <= sincems || failed_.load()) return {};
    const char* const sql =
        "SELECT minutems, minus, maxus, sumus, sent, lost FROM minutes"
        " WHERE host = ?1 AND minutems >= ?2 AND minutems < ?3 ORDER BY minutems";
    const std::vector<EchoResult> pending = Query(
        address, sql, sql,
        [sincems, untilms](sqlite3_stmt* s) {
            sqlite3_bind_int64(s, 2, sincems);
            sqlite3_bind_int64(s, 3, untilms);
        },
        [&minutes, &sums](sqlite3_stmt* s, int) {
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
            return SQLITE_ROW;
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
