// The history store on real SQLite files: what goes in comes out (to the microsecond, lost
// echoes marked), minute rows add up, the clock prunes, the file stays inside its bound, and a
// damaged, foreign or locked file is refused or reported once.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history/historystore.h"
#include "unit/testfiles.h"

namespace veltrin {
namespace {

using testfiles::TempFolder;

constexpr std::int64_t kT0 = 1'796'886'840'000;  // a whole minute
constexpr std::int64_t kHour = 3'600'000;
constexpr std::int64_t kDay = 24 * kHour;

// A clock the test moves.
struct SimClock {
    std::atomic<std::int64_t> now{kT0};
    std::function<std::int64_t()> Fn() {
        return [this] { return now.load(); };
    }
};

std::unique_ptr<HistoryStore> OpenOk(const std::string& path, HistoryOptions options = {}) {
    std::string error;
    auto store = HistoryStore::Open(path, options, &error);
    EXPECT_TRUE(store) << error;
    return store;
}

std::int64_t Scalar(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    std::int64_t value = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return value;
}

std::int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

TEST(HistoryStore, KeepsRoundTripsToTheMicrosecondAndLostEchoesAcrossARestart) {
    TempFolder dir("history");
    const std::string path = dir / "sub/history.sqlite";
    {
        auto store = OpenOk(path);
        ASSERT_TRUE(store);
        store->Record({{"127.0.0.1", kT0 + 1000, 0.042}, {"host.example", kT0 + 1500, 7.0}});
        store->Record({{"127.0.0.1", kT0 + 2000, 12.345}, {"127.0.0.1", kT0 + 3000, -1.0}});
        store->Flush();
        EXPECT_FALSE(store->Failed());
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file tells which hosts were watched: owner only";

    auto store = OpenOk(path);
    ASSERT_TRUE(store);
    const std::vector<HistoryPoint> recent = store->Recent("127.0.0.1", 10);
    ASSERT_EQ(recent.size(), 3u);
    EXPECT_EQ(recent[0].wallms, kT0 + 1000);
    EXPECT_DOUBLE_EQ(recent[0].rttms, 0.042);
    EXPECT_DOUBLE_EQ(recent[1].rttms, 12.345);
    EXPECT_LT(recent[2].rttms, 0);
    const std::vector<HistoryPoint> last = store->Recent("127.0.0.1", 2);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0].wallms, kT0 + 2000) << "the newest ones, oldest first";

    const std::vector<HistoryPoint> raw = store->Raw("127.0.0.1", kT0 + 1000, kT0 + 3000);
    ASSERT_EQ(raw.size(), 2u) << "since is inclusive, until is not";

    const std::vector<HistoryMinute> minutes = store->Minutes("127.0.0.1", kT0, kT0 + kHour);
    ASSERT_EQ(minutes.size(), 1u);
    EXPECT_EQ(minutes[0].minutems, kT0);
    EXPECT_EQ(minutes[0].sent, 3u);
    EXPECT_EQ(minutes[0].lost, 1u);
    EXPECT_DOUBLE_EQ(minutes[0].minms, 0.042);
    EXPECT_DOUBLE_EQ(minutes[0].maxms, 12.345);
    EXPECT_NEAR(minutes[0].avgms, (0.042 + 12.345) / 2, 1e-9);

    EXPECT_EQ(store->Recent("host.example", 5).size(), 1u);
    EXPECT_TRUE(store->Recent("127.0.0.2", 5).empty());
}

TEST(HistoryStore, ResultsWaitingForTheWriterAreReadOnceBeforeAndAfterTheyAreWritten) {
    TempFolder dir("history");
    HistoryOptions options;
    options.flushms = 60'000;  // nothing is written until Flush
    auto store = OpenOk(dir / "h.sqlite", options);
    ASSERT_TRUE(store);
    std::vector<EchoResult> batch;
    for (int i = 0; i < 100; ++i) batch.push_back({"10.0.0.1", kT0 + i * 100, i % 10 == 0 ? -1.0 : 0.5 + i});
    store->Record(batch);
    EXPECT_EQ(store->Recent("10.0.0.1", 1000).size(), 100u);
    EXPECT_EQ(Scalar(dir / "h.sqlite", "SELECT count(*) FROM raw"), 0) << "not written yet";
    ASSERT_EQ(store->Minutes("10.0.0.1", kT0, kT0 + kHour).size(), 1u);
    EXPECT_EQ(store->Minutes("10.0.0.1", kT0, kT0 + kHour)[0].lost, 10u);

    // While the writer works, a reader keeps seeing every result exactly once.
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (store->Recent("10.0.0.1", 1000).size() != 100u) ++wrong;
            if (store->Raw("10.0.0.1", 0, kT0 + kDay).size() != 100u) ++wrong;
        }
    });
    store->Flush();
    done = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(Scalar(dir / "h.sqlite", "SELECT count(*) FROM raw"), 100);
    EXPECT_EQ(store->Recent("10.0.0.1", 1000).size(), 100u);
}

TEST(HistoryStore, MinuteRowsAddUpOverBatchesAndMinutesWithNoAnswerHaveNoRoundTrip) {
    TempFolder dir("history");
    auto store = OpenOk(dir / "h.sqlite");
    ASSERT_TRUE(store);
    struct Case {
        std::int64_t wallms;
        double rttms;
    };
    const std::vector<std::vector<Case>> batches = {
        {{kT0 + 1, 5.0}, {kT0 + 2, 1.0}},
        {{kT0 + 59'999, 9.0}, {kT0 + 60'000, -1.0}},  // the second one opens the next minute
        {{kT0 + 60'001, -1.0}, {kT0 + 3, -1.0}},
    };
    for (const auto& cases : batches) {
        std::vector<EchoResult> batch;
        for (const Case& c : cases) batch.push_back({"a", c.wallms, c.rttms});
        store->Record(batch);
        store->Flush();
    }
    const auto minutes = store->Minutes("a", kT0, kT0 + 2 * 60'000);
    ASSERT_EQ(minutes.size(), 2u);
    EXPECT_EQ(minutes[0].sent, 4u);
    EXPECT_EQ(minutes[0].lost, 1u);
    EXPECT_DOUBLE_EQ(minutes[0].minms, 1.0);
    EXPECT_DOUBLE_EQ(minutes[0].maxms, 9.0);
    EXPECT_DOUBLE_EQ(minutes[0].avgms, 5.0);
    EXPECT_EQ(minutes[1].minutems, kT0 + 60'000);
    EXPECT_EQ(minutes[1].sent, 2u);
    EXPECT_EQ(minutes[1].lost, 2u);
    EXPECT_LT(minutes[1].minms, 0);
    EXPECT_LT(minutes[1].avgms, 0);
    EXPECT_LT(minutes[1].maxms, 0);
    EXPECT_TRUE(store->Minutes("a", kT0 + 60'000, kT0 + 60'000).empty());
}

TEST(HistoryStore, RawResultsGoAfterADayAndMinuteRowsAfterThirtyDays) {
    TempFolder dir("history");
    SimClock clock;
    HistoryOptions options;
    options.nowms = clock.Fn();
    auto store = OpenOk(dir / "h.sqlite", options);
    ASSERT_TRUE(store);
    store->Record({{"old", kT0, 1.0}, {"kept", kT0, 2.0}});
    store->Flush();

    clock.now = kT0 + kDay + 60'000;
    store->Record({{"kept", clock.now.load(), 3.0}});
    store->Flush();
    EXPECT_TRUE(store->Raw("old", 0, kT0 + 40 * kDay).empty()) << "raw results are kept one day";
    EXPECT_EQ(store->Recent("kept", 10).size(), 1u);
    ASSERT_EQ(store->Minutes("old", 0, kT0 + 40 * kDay).size(), 1u) << "minute rows outlive them";
    EXPECT_DOUBLE_EQ(store->Minutes("old", 0, kT0 + 40 * kDay)[0].avgms, 1.0);

    clock.now = kT0 + 30 * kDay + 2 * kHour;
    store->Record({{"kept", clock.now.load(), 4.0}});
    store->Flush();
    EXPECT_TRUE(store->Minutes("old", 0, kT0 + 40 * kDay).empty()) << "minute rows are kept thirty days";
    EXPECT_EQ(store->Minutes("kept", 0, kT0 + 40 * kDay).size(), 2u) << "a day after the first, and now";
    EXPECT_EQ(Scalar(dir / "h.sqlite", "SELECT count(*) FROM hosts WHERE address = 'old'"), 0)
        << "an address with nothing kept is forgotten";
}

// A day of the monitor at interval 1 (one echo every 100 ms, the rows taken in turn) with a
// thousand rows: 864,000 results, each row's minutes mostly its own.
TEST(HistoryStore, ADayOfAThousandRowsAtIntervalOneStaysInsideTheBound) {
    TempFolder dir("history");
    SimClock clock;
    HistoryOptions options;  // the default bound
    options.nowms = clock.Fn();
    options.flushms = 60'000;
    auto store = OpenOk(dir / "h.sqlite", options);
    ASSERT_TRUE(store);
    constexpr int kRows = 1000;
    constexpr std::int64_t kResults = 24 * 3600 * 10;
    std::vector<std::string> names;
    for (int i = 0; i < kRows; ++i) names.push_back("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    std::vector<EchoResult> batch;
    for (std::int64_t n = 0; n < kResults; ++n) {
        const std::int64_t wall = kT0 + n * 100;
        batch.push_back({names[static_cast<std::size_t>(n % kRows)], wall, n % 97 == 0 ? -1.0 : 0.02 + (n % 500) * 0.001});
        if (batch.size() == 10 * 600) {  // ten minutes of results per batch
            clock.now = wall;
            store->Record(batch);
            batch.clear();
            store->Flush();
        }
    }
    store->Record(batch);
    store->Flush();
    ASSERT_FALSE(store->Failed()) << store->Error();
    const std::int64_t bytes = store->FileBytes();
    RecordProperty("file_bytes", std::to_string(bytes));
    std::printf("a day of 1000 rows at interval 1: %lld bytes (bound %lld)\n", static_cast<long long>(bytes),
                static_cast<long long>(HistoryOptions{}.maxbytes + HistoryStore::kWalLimitBytes));
    EXPECT_LE(FileSize(dir / "h.sqlite"), HistoryOptions{}.maxbytes);
    EXPECT_LE(FileSize(dir / "h.sqlite-wal"), HistoryStore::kWalLimitBytes);
    store.reset();
    EXPECT_EQ(Scalar(dir / "h.sqlite", "SELECT count(*) FROM raw"), kResults) << "nothing trimmed: a day fits";
}

TEST(HistoryStore, AFileAtItsBoundDropsTheOldestResultsAndKeepsTheNewest) {
    TempFolder dir("history");
    SimClock clock;
    HistoryOptions options;
    options.maxbytes = HistoryStore::kMinMaxBytes;  // 1 MiB
    options.nowms = clock.Fn();
    options.flushms = 60'000;
    auto store = OpenOk(dir / "h.sqlite", options);
    ASSERT_TRUE(store);
    // Far more than a mebibyte holds, a minute at a time (interval 0 on a busy list).
    std::int64_t wall = kT0;
    for (int round = 0; round < 40; ++round) {
        std::vector<EchoResult> batch;
        for (int i = 0; i < 5000; ++i) batch.push_back({"192.0.2." + std::to_string(i % 200), wall += 2, 0.1 * (i % 7)});
        clock.now = wall;
        store->Record(batch);
        store->Flush();
        ASSERT_FALSE(store->Failed()) << store->Error();
        EXPECT_LE(FileSize(dir / "h.sqlite"), options.maxbytes) << "round " << round;
        EXPECT_LE(FileSize(dir / "h.sqlite-wal"), HistoryStore::kWalLimitBytes) << "round " << round;
    }
    const auto recent = store->Recent("192.0.2.199", 1);
    ASSERT_EQ(recent.size(), 1u);
    EXPECT_EQ(recent[0].wallms, wall) << "the newest result is kept";
    EXPECT_LT(Scalar(dir / "h.sqlite", "SELECT count(*) FROM raw"), 200'000) << "old ones were trimmed";
}

TEST(HistoryStore, AFileThatIsNoDatabaseOrOfAnotherVersionIsRefused) {
    TempFolder dir("history");
    testfiles::PutFile(dir / "junk.sqlite", std::string(8192, 'x'));
    std::string error;
    EXPECT_FALSE(HistoryStore::Open(dir / "junk.sqlite", &error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_EQ(testfiles::ReadFile(dir / "junk.sqlite"), std::string(8192, 'x')) << "left as it was";

    {
        sqlite3* db = nullptr;
        sqlite3_open(std::string(dir / "newer.sqlite").c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE t(x); PRAGMA user_version=9", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    error.clear();
    EXPECT_FALSE(HistoryStore::Open(dir / "newer.sqlite", &error));
    EXPECT_NE(error.find("another version"), std::string::npos) << error;
}

TEST(HistoryStore, DamageInsideTheFileIsReportedOnceAndRecordingStops) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    {
        auto store = OpenOk(path);
        ASSERT_TRUE(store);
        std::vector<EchoResult> batch;
        for (int i = 0; i < 20000; ++i) batch.push_back({"198.51.100." + std::to_string(i % 50), kT0 + i, 1.5});
        store->Record(batch);
        store->Flush();
    }
    ASSERT_GT(FileSize(path), 64 * 4096);
    {
        // Pages in the middle of the file become noise; its first page stays whole.
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(8 * 4096);
        const std::string noise(16 * 4096, '\x5a');
        f.write(noise.data(), static_cast<std::streamsize>(noise.size()));
    }
    std::atomic<int> told{0};
    std::string said;
    std::mutex saidmutex;
    HistoryOptions options;
    options.onerror = [&](const std::string& e) {
        std::lock_guard<std::mutex> lock(saidmutex);
        said = e;
        ++told;
    };
    std::string error;
    auto store = HistoryStore::Open(path, options, &error);
    if (!store) {
        EXPECT_NE(error.find("damaged"), std::string::npos) << error;
        return;  // refused at once: as good as told
    }
    store->Record({{"198.51.100.1", kT0 + 99'999, 1.0}});
    store->Flush();
    for (int i = 0; i < 3; ++i) {
        store->Record({{"198.51.100.1", kT0 + 100'000 + i, 1.0}});
        store->Flush();
        store->Recent("198.51.100.1", 10);
    }
    EXPECT_TRUE(store->Failed());
    EXPECT_EQ(told.load(), 1);
    std::lock_guard<std::mutex> lock(saidmutex);
    EXPECT_NE(said.find("damaged"), std::string::npos) << said;
    EXPECT_TRUE(store->Recent("198.51.100.1", 10).empty());
}

TEST(HistoryStore, ADatabaseAnotherProgramKeepsLockedIsRefusedAtOpen) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE x(y); BEGIN EXCLUSIVE; INSERT INTO x VALUES(1);", nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::string error;
    EXPECT_FALSE(HistoryStore::Open(path, &error));
    EXPECT_NE(error.find("locked"), std::string::npos) << error;
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
}

TEST(HistoryStore, AWriteLockHeldForLongWhileRunningIsReportedOnceAndNothingWaits) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    std::atomic<int> told{0};
    HistoryOptions options;
    options.flushms = 20;
    options.onerror = [&](const std::string& e) {
        if (e.find("locked") != std::string::npos) ++told;
    };
    auto store = OpenOk(path, options);
    ASSERT_TRUE(store);
    store->Record({{"a", kT0, 1.0}});
    store->Flush();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; INSERT INTO hosts(address) VALUES('z');", nullptr, nullptr, nullptr),
              SQLITE_OK);
    // Recording never waits for the lock; the writer gives up after a while.
    for (int i = 0; i < 50; ++i) store->Record({{"a", kT0 + 1 + i, 1.0}});
    EXPECT_EQ(store->Recent("a", 100).size(), 51u) << "reads go on while the lock is held";
    store->Flush();  // returns once the store gave up
    EXPECT_TRUE(store->Failed());
    EXPECT_EQ(told.load(), 1);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
}

TEST(HistoryStore, AReadOnlyOpenNeitherCreatesNorWrites) {
    TempFolder dir("history");
    HistoryOptions readonly;
    readonly.readonly = true;
    std::string error;
    EXPECT_FALSE(HistoryStore::Open(dir / "none.sqlite", readonly, &error));
    EXPECT_EQ(dir.Names().count("none.sqlite"), 0u);
    {
        auto store = OpenOk(dir / "h.sqlite");
        ASSERT_TRUE(store);
        store->Record({{"a", kT0, 1.0}});
    }
    auto reader = OpenOk(dir / "h.sqlite", readonly);
    ASSERT_TRUE(reader);
    reader->Record({{"a", kT0 + 1, 2.0}});
    reader->Flush();
    EXPECT_EQ(reader->Recent("a", 10).size(), 1u);
    EXPECT_EQ(Scalar(dir / "h.sqlite", "SELECT count(*) FROM raw"), 1);
}

// A file as the first format of the store wrote it: one row per result, indexed by host and
// time, with its minute rows. Made here with that format's own statements.
void MakeFormatOneFile(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* schema =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE hosts(id INTEGER PRIMARY KEY, address TEXT NOT NULL UNIQUE);"
        "CREATE TABLE raw(host INTEGER NOT NULL, wallms INTEGER NOT NULL, rttus INTEGER NOT NULL);"
        "CREATE INDEX raw_host_time ON raw(host, wallms);"
        "CREATE TABLE minutes(host INTEGER NOT NULL, minutems INTEGER NOT NULL, minus INTEGER,"
        " maxus INTEGER, sumus INTEGER NOT NULL, sent INTEGER NOT NULL, lost INTEGER NOT NULL,"
        " PRIMARY KEY(host, minutems)) WITHOUT ROWID;"
        "PRAGMA user_version=1;"
        "INSERT INTO hosts(id, address) VALUES(1, '10.0.0.1'), (2, 'gone.example');"
        // 10.0.0.1: three results in the first minute (one lost), two in the next;
        // gone.example: a minute row from long ago whose raw results were pruned.
        "INSERT INTO raw(host, wallms, rttus) VALUES(1, 1796886840100, 42), (1, 1796886840200, -1),"
        " (1, 1796886899999, 12345), (1, 1796886900000, 7), (1, 1796886930000, 8);"
        "INSERT INTO minutes VALUES(1, 1796886840000, 42, 12345, 12387, 3, 1), (1, 1796886900000, 7, 8, 15, 2, 0),"
        " (2, 1796800000000, NULL, NULL, 0, 4, 4);";
    ASSERT_EQ(sqlite3_exec(db, schema, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// What the format-one file above holds, as the store must give it back (results recorded
// later are from kT0 + 2 minutes on).
void ExpectFormatOneContents(const HistoryStore& store) {
    const std::vector<HistoryPoint> all = store.Raw("10.0.0.1", 0, kT0 + 120'000);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].wallms, kT0 + 100);
    EXPECT_DOUBLE_EQ(all[0].rttms, 0.042);
    EXPECT_LT(all[1].rttms, 0);
    EXPECT_EQ(all[2].wallms, kT0 + 59'999);
    EXPECT_DOUBLE_EQ(all[2].rttms, 12.345);
    EXPECT_EQ(all[4].wallms, kT0 + 90'000);
    EXPECT_EQ(store.Raw("10.0.0.1", kT0 + 200, kT0 + 60'000).size(), 2u);
    const std::vector<HistoryMinute> minutes = store.Minutes("10.0.0.1", 0, kT0 + 120'000);
    ASSERT_EQ(minutes.size(), 2u);
    EXPECT_EQ(minutes[0].sent, 3u);
    EXPECT_EQ(minutes[0].lost, 1u);
    EXPECT_NEAR(minutes[0].avgms, (0.042 + 12.345) / 2, 1e-9);
    EXPECT_DOUBLE_EQ(minutes[1].maxms, 0.008);
    const std::vector<HistoryMinute> gone = store.Minutes("gone.example", 0, kT0 + kDay);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].lost, 4u);
    EXPECT_LT(gone[0].avgms, 0);
}

TEST(HistoryStore, AFileOfTheFirstFormatIsConvertedWholeWhenOpenedForWriting) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    MakeFormatOneFile(path);
    SimClock clock;
    clock.now = kT0 + 2 * 60'000;
    HistoryOptions options;
    options.nowms = clock.Fn();
    {
        auto store = OpenOk(path, options);
        ASSERT_TRUE(store);
        ExpectFormatOneContents(*store);
        const std::vector<HistoryPoint> recent = store->Recent("10.0.0.1", 2);
        ASSERT_EQ(recent.size(), 2u);
        EXPECT_EQ(recent[0].wallms, kT0 + 60'000);
        EXPECT_DOUBLE_EQ(recent[1].rttms, 0.008);
        // And it goes on: new results join the converted ones.
        store->Record({{"10.0.0.1", kT0 + 120'500, 1.5}, {"10.0.0.2", kT0 + 120'600, -1.0}});
        store->Flush();
        ASSERT_FALSE(store->Failed()) << store->Error();
        EXPECT_EQ(store->Recent("10.0.0.1", 10).size(), 6u);
    }
    EXPECT_EQ(Scalar(path, "PRAGMA user_version"), 2);
    EXPECT_EQ(Scalar(path, "SELECT count(*) FROM raw"), 7) << "the raw view shows every result, one row each";
    EXPECT_EQ(Scalar(path, "SELECT count(*) FROM raw JOIN hosts ON hosts.id = raw.host WHERE address = '10.0.0.1'"), 6);
    EXPECT_EQ(Scalar(path, "SELECT sum(rttus) FROM raw WHERE rttus >= 0"), 42 + 12345 + 7 + 8 + 1500);
    auto store = OpenOk(path, options);
    ASSERT_TRUE(store);
    ExpectFormatOneContents(*store);
    ASSERT_EQ(store->Recent("10.0.0.1", 1).size(), 1u);
    EXPECT_EQ(store->Recent("10.0.0.1", 1)[0].wallms, kT0 + 120'500);
    ASSERT_EQ(store->Minutes("10.0.0.1", kT0 + 120'000, kT0 + kDay).size(), 1u);
    EXPECT_EQ(store->Minutes("10.0.0.2", 0, kT0 + kDay).at(0).lost, 1u);
}

TEST(HistoryStore, AFileOfTheFirstFormatIsReadAsItIsWhenOpenedOnlyToRead) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    MakeFormatOneFile(path);
    HistoryOptions readonly;
    readonly.readonly = true;
    {
        auto store = OpenOk(path, readonly);
        ASSERT_TRUE(store);
        ExpectFormatOneContents(*store);
    }
    EXPECT_EQ(Scalar(path, "PRAGMA user_version"), 1) << "left as it was";
    EXPECT_EQ(Scalar(path, "SELECT count(*) FROM sqlite_master WHERE name = 'raw' AND type = 'table'"), 1);
}

// A program killed between two folds leaves its last results in the file unfolded (a copy of
// the file and its log taken while the store runs is what a kill leaves). Nothing of them is
// lost: raw results and minute rows are whole after the next open, and a reader in another
// program sees them before that.
TEST(HistoryStore, ResultsNotFoldedWhenTheProgramDiesAreKeptAndAddedToTheirMinutes) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    const std::string copy = dir / "copy.sqlite";
    SimClock clock;
    HistoryOptions options;
    options.nowms = clock.Fn();
    auto store = OpenOk(path, options);
    ASSERT_TRUE(store);
    // Two minutes at one result a second: the first one folded, the second one not.
    for (int s = 0; s < 120; ++s) {
        clock.now = kT0 + s * 1000 + 10;
        store->Record({{"a", clock.now.load(), s % 10 == 0 ? -1.0 : 1.0 + s}});
        store->Flush();
    }
    EXPECT_GT(Scalar(path, "SELECT count(*) FROM fresh"), 0) << "the last minute is not folded yet";
    for (const char* suffix : {"", "-wal"}) testfiles::PutFile(copy + suffix, testfiles::ReadFile(path + suffix));
    store.reset();

    HistoryOptions readonly;
    readonly.readonly = true;
    {
        auto reader = OpenOk(copy, readonly);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->Raw("a", 0, kT0 + kDay).size(), 120u) << "unfolded results are read too";
        EXPECT_EQ(reader->Recent("a", 200).size(), 120u);
        const auto minutes = reader->Minutes("a", 0, kT0 + kDay);
        ASSERT_EQ(minutes.size(), 2u);
        EXPECT_EQ(minutes[1].sent, 60u);
    }
    auto reopened = OpenOk(copy, options);
    ASSERT_TRUE(reopened);
    reopened->Flush();
    const auto minutes = reopened->Minutes("a", 0, kT0 + kDay);
    ASSERT_EQ(minutes.size(), 2u);
    for (const HistoryMinute& m : minutes) {
        EXPECT_EQ(m.sent, 60u);
        EXPECT_EQ(m.lost, 6u);
    }
    EXPECT_DOUBLE_EQ(minutes[1].maxms, 120.0);
    reopened.reset();
    EXPECT_EQ(Scalar(copy, "SELECT count(*) FROM fresh"), 0) << "folded when the store closed";
    EXPECT_EQ(Scalar(copy, "SELECT sum(sent) FROM minutes"), 120) << "each result counted once";
    EXPECT_EQ(Scalar(copy, "SELECT count(*) FROM raw"), 120);
}

// Another program (the console's --history) reads a file while a monitor writes it.
TEST(HistoryStore, AReaderInAnotherProgramSeesWhatTheWriterCommittedBeforeItIsFolded) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    auto writer = OpenOk(path);
    ASSERT_TRUE(writer);
    writer->Record({{"b", kT0 + 1, 3.0}, {"c", kT0 + 2, 4.0}, {"b", kT0 + 3, -1.0}});
    writer->Flush();
    HistoryOptions readonly;
    readonly.readonly = true;
    auto reader = OpenOk(path, readonly);
    ASSERT_TRUE(reader);
    const auto b = reader->Raw("b", 0, kT0 + kDay);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_DOUBLE_EQ(b[0].rttms, 3.0);
    EXPECT_LT(b[1].rttms, 0);
    ASSERT_EQ(reader->Minutes("b", 0, kT0 + kDay).size(), 1u);
    EXPECT_EQ(reader->Minutes("b", 0, kT0 + kDay)[0].lost, 1u);
    writer.reset();  // folds
    EXPECT_EQ(reader->Raw("b", 0, kT0 + kDay).size(), 2u) << "seen once after the fold too";
    EXPECT_EQ(reader->Recent("c", 5).size(), 1u);
}

// A format-one file close to its bound: converting it needs no room it does not have.
TEST(HistoryStore, AFileOfTheFirstFormatNearItsBoundIsConvertedWithoutOutgrowingIt) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    MakeFormatOneFile(path);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 23999)"
                               " INSERT INTO raw(host, wallms, rttus) SELECT 1, 1796886960000 + i * 10, i FROM n;"
                               "PRAGMA wal_checkpoint(TRUNCATE);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    const std::int64_t before = FileSize(path);
    HistoryOptions options;
    options.maxbytes = HistoryStore::kMinMaxBytes;
    ASSERT_GT(before, options.maxbytes * 3 / 4) << "the test needs a file near its bound";
    ASSERT_LE(before, options.maxbytes);
    SimClock clock;
    clock.now = kT0 + 10 * 60'000;
    options.nowms = clock.Fn();
    auto store = OpenOk(path, options);
    ASSERT_TRUE(store);
    store->Record({{"10.0.0.1", clock.now.load(), 2.0}});
    store->Flush();
    ASSERT_FALSE(store->Failed()) << store->Error();
    EXPECT_LE(FileSize(path), options.maxbytes);
    const auto recent = store->Recent("10.0.0.1", 2);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0].wallms, 1796886960000 + 23999 * 10) << "the newest converted result is kept";
    EXPECT_EQ(recent[1].wallms, clock.now.load());
    store.reset();
    EXPECT_EQ(Scalar(path, "PRAGMA user_version"), 2);
}

// Fresh rows another program wrote (not JSON) make the file one of someone else's.
TEST(HistoryStore, FreshRowsThatAreNoJsonAreRefusedAsDamage) {
    TempFolder dir("history");
    const std::string path = dir / "h.sqlite";
    {
        auto store = OpenOk(path);
        ASSERT_TRUE(store);
        store->Record({{"a", kT0, 1.0}});
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO fresh(basems, results) VALUES(0, '[[1,2,'); ", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    EXPECT_FALSE(HistoryStore::Open(path, &error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    HistoryOptions readonly;
    readonly.readonly = true;
    auto reader = OpenOk(path, readonly);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Recent("a", 5).size(), 1u) << "what is whole is still read";
}

}  // namespace
}  // namespace veltrin
