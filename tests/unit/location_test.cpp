// Range keys, the "address.dat" loader and lookup, the bundled table and its two generator
// scripts, against real files.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "unit/testfiles.h"

#include "engine/global_unit.h"
#include "engine/location.h"

extern char** environ;

using namespace veltrin;
using namespace std::string_literals;

namespace {

using namespace veltrin::testfiles;

constexpr std::int64_t kBadKey = -97115;

// One record laid out byte by byte; texts longer than their fields are cut to the field.
std::string Record(const std::string& start, const std::string& end, const std::string& name, char filler = '\0') {
    std::string record(kLocationRecordSize, filler);
    const auto put = [&record](std::size_t offset, std::size_t size, const std::string& text) {
        for (std::size_t i = 0; i < size; ++i) record[offset + i] = i < text.size() ? text[i] : '\0';
    };
    put(0, 15, start);
    put(16, 15, end);
    put(31, 18, name);
    return record;
}

std::string Header(char filler = 'H') { return std::string(kLocationHeaderSize, filler); }

// Runs a program with arguments (no shell); returns its exit status, -1 when it could not run.
int RunProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HavePython() { return RunProgram({"python3", "-c", "import sys; sys.exit(0)"}) == 0; }

const std::string kBundled = VELTRIN_SOURCE_DIR "/resources/address.dat";
const std::string kScripts = VELTRIN_SOURCE_DIR "/scripts/";

}  // namespace

// ---- keys ------------------------------------------------------------------------------------

TEST(IpKey, Examples) {
    const struct {
        std::string text;
        std::int64_t key;
    } cases[] = {
        {"10.0.0.1", 10000000001},
        {"192.168.1.10", 192168001010},
        {"1.2.3.", 1002003000},
        {"", 0},
        {"0.0.0.0", 0},
        {"10.0.0.0", 10000000000},
        {"010.000.000.000", 10000000000},
        {"127.0.0.1", 127000000001},
        {"255.255.255.255", 255255255255},
        {"1..2", 1000002},
        {".", 0},
        {"7", 7},
        {"1234.1.1.1", 1234001001001},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"9223372036854775808", kBadKey},             // does not fit
        {"99999999999999999.99", kBadKey},
        {"abc", kBadKey},
        {"127.0.0.1x", kBadKey},
        {" 127.0.0.1", kBadKey},
        {"-1.0.0.0", kBadKey},
        {"+1.0.0.0", kBadKey},
        {"1.2.3.4\0"s, kBadKey},
        {"HTTP://localhost/", kBadKey},
    };
    for (const auto& c : cases) EXPECT_EQ(IpKey(c.text), c.key) << testing::PrintToString(c.text);
}

TEST(IpKey, KeepsTheOrderOfDottedAddresses) {
    std::mt19937 random(11);
    const auto dotted = [](std::uint32_t v) {
        return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." + std::to_string((v >> 8) & 255) +
               "." + std::to_string(v & 255);
    };
    for (int i = 0; i < 5000; ++i) {
        const std::uint32_t a = random(), b = random();
        EXPECT_EQ(a < b, IpKey(dotted(a)) < IpKey(dotted(b))) << dotted(a) << " " << dotted(b);
        EXPECT_EQ(a == b, IpKey(dotted(a)) == IpKey(dotted(b)));
    }
}

// ---- lookup ----------------------------------------------------------------------------------

TEST(LookupLocation, EmptyTable) {
    EXPECT_EQ(LookupLocation({}, IpKey("127.0.0.1")), "IP column is empty");
    EXPECT_EQ(LookupLocation({}, 0), "IP column is empty");
}

TEST(LookupLocation, FirstMatchWinsAndBoundsAreInclusive) {
    const LocationTable table{
        {IpKey("127.0.0.0"), IpKey("127.0.0.255"), "Narrow"},
        {IpKey("127.0.0.0"), IpKey("127.255.255.255"), "Wide"},
        {IpKey("198.18.0.0"), IpKey("198.19.255.255"), "Bench"},
        {kBadKey, kBadKey, "Bad text"},
    };
    const struct {
        std::string address;
        std::string name;
    } cases[] = {
        {"127.0.0.0", "Narrow"},      {"127.0.0.255", "Narrow"},     {"127.0.1.0", "Wide"},
        {"127.255.255.255", "Wide"},  {"126.255.255.255", "Unkown IP"}, {"128.0.0.0", "Unkown IP"},
        {"198.18.0.0", "Bench"},      {"198.19.255.255", "Bench"},   {"198.20.0.0", "Unkown IP"},
        {"", "Unkown IP"},            {"not dotted", "Bad text"},
    };
    for (const auto& c : cases) EXPECT_EQ(LookupLocation(table, IpKey(c.address)), c.name) << c.address;
}

// ---- loading ---------------------------------------------------------------------------------

TEST(LoadLocationTable, ReadsRecordsInFileOrder) {
    TempFolder dir{"location"};
    const std::string path = dir / "address.dat";
    PutFile(path, Header() + Record("127.0.0.0", "127.255.255.255", "Loopback") +
                      Record("010.000.000.000", "10.255.255.255", "  Ten\t ", 'Z') +
                      Record("255.255.255.255", "255.255.255.255", "ABCDEFGHIJKLMNOPQR", 'Z') +
                      Record("junk", "", "Name   ", 'Z'));
    LocationTable table;
    ASSERT_EQ(LoadLocationTable(path, table), 4);
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0].startkey, 127000000000);
    EXPECT_EQ(table[0].endkey, 127255255255);
    EXPECT_EQ(table[0].name, "Loopback");
    EXPECT_EQ(table[1].startkey, IpKey("10.0.0.0"));
    EXPECT_EQ(table[1].name, "Ten");  // blanks and tabs around the name are dropped
    // Start and end texts of 15 characters and a name of 18 without a zero byte: the byte after
    // each field ('Z') is not part of it.
    EXPECT_EQ(table[2].startkey, 255255255255);
    EXPECT_EQ(table[2].endkey, 255255255255);
    EXPECT_EQ(table[2].name, "ABCDEFGHIJKLMNOPQR");
    EXPECT_EQ(table[3].startkey, kBadKey);
    EXPECT_EQ(table[3].endkey, 0);
    EXPECT_EQ(table[3].name, "Name");
}

TEST(LoadLocationTable, NameOfEighteenWithTrailingBlanks) {
    TempFolder dir{"location"};
    const std::string path = dir / "a.dat";
    PutFile(path, Header() + Record("1.0.0.0", "1.0.0.9", "Name with blanks  ", 'Z'));
    LocationTable table;
    ASSERT_EQ(LoadLocationTable(path, table), 1);
    EXPECT_EQ(table[0].name, "Name with blanks");
    EXPECT_EQ(LookupLocation(table, IpKey("1.0.0.5")), "Name with blanks");
}

TEST(LoadLocationTable, HeaderOnlyGivesEmptyTable) {
    TempFolder dir{"location"};
    const std::string path = dir / "a.dat";
    PutFile(path, Header());
    LocationTable table;
    EXPECT_EQ(LoadLocationTable(path, table), 0);
    EXPECT_EQ(LookupLocation(table, IpKey("127.0.0.1")), "IP column is empty");
    PutFile(path, "short");
    EXPECT_EQ(LoadLocationTable(path, table), 0);
}

TEST(LoadLocationTable, ShortFinalRecord) {
    TempFolder dir{"location"};
    const std::string path = dir / "a.dat";
    const std::string full = Header() + Record("1.0.0.0", "1.0.0.9", "One");
    const std::string last = Record("2.0.0.0", "2.0.0.9", "Two");
    const struct {
        std::size_t keep;  // bytes of the last record present
        int entries;
    } cases[] = {{0, 1}, {1, 1}, {48, 1}, {49, 2}, {60, 2}, {109, 2}, {110, 2}};
    for (const auto& c : cases) {
        PutFile(path, full + last.substr(0, c.keep));
        LocationTable table;
        EXPECT_EQ(LoadLocationTable(path, table), c.entries) << c.keep;
        EXPECT_EQ(LookupLocation(table, IpKey("2.0.0.5")), c.entries == 2 ? "Two" : "Unkown IP") << c.keep;
    }
}

TEST(LoadLocationTable, UnopenableLeavesTableAsItWas) {
    TempFolder dir{"location"};
    LocationTable table{{1, 2, "kept"}};
    EXPECT_EQ(LoadLocationTable(dir / "missing.dat", table), -1);
    EXPECT_EQ(LoadLocationTable("/tmp", table), -1);
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(LoadLocationTable(fifo, table), -1);  // must not wait for a writer
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].name, "kept");
}

TEST(LoadLocationTable, AppendsAndCountsTheWholeTable) {
    TempFolder dir{"location"};
    const std::string path = dir / "a.dat";
    PutFile(path, Header() + Record("1.0.0.0", "1.0.0.9", "One") + Record("2.0.0.0", "2.0.0.9", "Two"));
    LocationTable table{{5, 6, "before"}};
    EXPECT_EQ(LoadLocationTable(path, table), 3);
    EXPECT_EQ(LoadLocationTable(path, table), 5);
    EXPECT_EQ(table[0].name, "before");
    EXPECT_EQ(table[4].name, "Two");
}

TEST(LoadLocationTable, LargeFileAcrossReadBoundariesMatchesBufferLoader) {
    TempFolder dir{"location"};
    const std::string path = dir / "big.dat";
    std::string bytes = Header('\0');
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        const std::string start = std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".0.0";
        const std::string end = std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".255.255";
        bytes += Record(start, end, "R" + std::to_string(i));
    }
    bytes += Record("99.99.99.99", "99.99.99.99", "Tail").substr(0, 60);
    PutFile(path, bytes);
    LocationTable fromfile, frombytes;
    ASSERT_EQ(LoadLocationTable(path, fromfile), count + 1);
    ASSERT_EQ(LoadLocationBytes(bytes, frombytes), count + 1);
    for (int i = 0; i < count + 1; ++i) {
        ASSERT_EQ(fromfile[i].name, frombytes[i].name);
        ASSERT_EQ(fromfile[i].startkey, frombytes[i].startkey);
        ASSERT_EQ(fromfile[i].endkey, frombytes[i].endkey);
    }
    EXPECT_EQ(fromfile[12345].name, "R12345");
    EXPECT_EQ(LookupLocation(fromfile, IpKey("48.57.1.1")), "R12345");  // 12345 = 48 * 256 + 57
    EXPECT_EQ(fromfile[count].name, "Tail");
}

TEST(LoadLocationBytes, AnySplitOfTheImageGivesTheSameTable) {
    std::mt19937 random(3);
    std::string bytes = Header();
    for (int i = 0; i < 50; ++i) {
        std::string record(kLocationRecordSize, '\0');
        for (char& c : record) c = static_cast<char>(random() % 64 + '.');
        bytes += record;
    }
    LocationTable whole;
    LoadLocationBytes(bytes, whole);
    ASSERT_EQ(whole.size(), 50u);
    TempFolder dir{"location"};
    const std::string path = dir / "r.dat";
    PutFile(path, bytes);
    LocationTable fromfile;
    ASSERT_EQ(LoadLocationTable(path, fromfile), 50);
    for (std::size_t i = 0; i < whole.size(); ++i) EXPECT_EQ(whole[i].name, fromfile[i].name);
}

// ---- the bundled table and its scripts -------------------------------------------------------

TEST(BundledLocationTable, NamesTheSpecialPurposeRanges) {
    LocationTable table;
    ASSERT_GT(LoadLocationTable(kBundled, table), 0) << kBundled;
    const struct {
        std::string address;
        std::string name;
    } cases[] = {
        {"127.0.0.1", "Loopback"},
        {"127.255.255.255", "Loopback"},
        {"", "This network"},  // an address that failed to resolve has key 0
        {"0.0.0.0", "This network"},
        {"10.1.2.3", "Private network"},
        {"172.31.255.255", "Private network"},
        {"172.32.0.0", "Unkown IP"},
        {"192.168.0.1", "Private network"},
        {"100.64.0.1", "Carrier-grade NAT"},
        {"169.254.1.1", "Link local"},
        {"198.18.0.1", "Benchmarking"},
        {"198.19.255.255", "Benchmarking"},
        {"198.20.0.0", "Unkown IP"},
        {"192.0.2.7", "Doc (TEST-NET-1)"},
        {"198.51.100.7", "Doc (TEST-NET-2)"},
        {"203.0.113.7", "Doc (TEST-NET-3)"},
        {"224.0.0.1", "Multicast"},
        {"240.0.0.1", "Reserved"},
        {"255.255.255.254", "Reserved"},
        {"255.255.255.255", "Limited broadcast"},
        {"100.0.0.1", "Unkown IP"},
    };
    for (const auto& c : cases) EXPECT_EQ(LookupLocation(table, IpKey(c.address)), c.name) << c.address;
}

TEST(BundledLocationTable, MatchesItsGenerator) {
    if (!HavePython()) GTEST_SKIP() << "python3 is not available to run the generator";
    EXPECT_EQ(RunProgram({"python3", kScripts + "make-address-dat.py", "--check", "--output", kBundled}), 0)
        << "resources/address.dat differs from scripts/make-address-dat.py output";
}

TEST(CsvToAddressDat, ConvertsRowsInOrder) {
    if (!HavePython()) GTEST_SKIP() << "python3 is not available to run the converter";
    TempFolder dir{"location"};
    const std::string csv = dir / "in.csv", dat = dir / "out.dat";
    PutFile(csv, "start,end,name\n127.0.0.0,127.0.0.255,Narrow\n# comment\n\n"
                 "127.0.0.0,127.255.255.255,\"Wide, with comma\"\n198.18.0.0,198.19.255.255,ABCDEFGHIJKLMNOPQR\n");
    ASSERT_EQ(RunProgram({"python3", kScripts + "csv-to-address-dat.py", csv, dat}), 0);
    const std::string bytes = ReadFile(dat);
    EXPECT_EQ(bytes.size(), kLocationHeaderSize + 3 * kLocationRecordSize);
    LocationTable table;
    ASSERT_EQ(LoadLocationTable(dat, table), 3);
    EXPECT_EQ(LookupLocation(table, IpKey("127.0.0.200")), "Narrow");
    EXPECT_EQ(LookupLocation(table, IpKey("127.0.1.0")), "Wide, with comma");
    EXPECT_EQ(LookupLocation(table, IpKey("198.19.0.1")), "ABCDEFGHIJKLMNOPQR");
}

TEST(CsvToAddressDat, RejectsInvalidRowsAndWritesNothing) {
    if (!HavePython()) GTEST_SKIP() << "python3 is not available to run the converter";
    const char* bad[] = {
        "127.0.0.0,127.0.0.256,Bad end\n",
        "127.0.0,127.0.0.1,Three parts\n",
        "127.0.0.9,127.0.0.1,Start above end\n",
        "127.0.0.0,127.0.0.1,Nineteen bytes name\n",
        "127.0.0.0,127.0.0.1\n",
        "127.0.0.0,127.0.0.1,\n",
        "127.0.0.0,127.0.0.1,\xe6\xbc\xa2\xe5\xad\x97\n",  // not single-byte text
    };
    for (const char* input : bad) {
        TempFolder dir{"location"};
        const std::string csv = dir / "in.csv", dat = dir / "out.dat";
        PutFile(csv, std::string("1.0.0.0,1.0.0.1,Good\n") + input);
        EXPECT_EQ(RunProgram({"python3", kScripts + "csv-to-address-dat.py", csv, dat}), 2) << input;
        struct stat info {};
        EXPECT_NE(::stat(dat.c_str(), &info), 0) << input;
    }
}

// ---- bounded, sorted and off the window thread ------------------------------------------------

// A file past the record bound is read only up to the bound: start-up time and memory stay
// bounded whatever size the file has.
TEST(LoadLocationTable, ReadsAtMostTheRecordBound) {
    TempFolder dir{"location"};
    const std::string path = dir / "address.dat";
    PutFile(path, Header() + Record("1.0.0.0", "1.0.0.9", "First"));
    // The rest is a hole: zero bytes that cost no disk.
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kLocationHeaderSize +
                                                          (kMaxLocationRecords + 5000) * kLocationRecordSize)),
              0);
    LocationTable table;
    EXPECT_EQ(LoadLocationTable(path, table), static_cast<int>(kMaxLocationRecords));
    ASSERT_EQ(table.size(), kMaxLocationRecords);
    EXPECT_EQ(table.front().name, "First");
    LocationTable frombytes;
    EXPECT_EQ(LoadLocationBytes(ReadFile(path), frombytes), static_cast<int>(kMaxLocationRecords));
}

// The index answers what the file-order scan answers: first record in the file wins on overlap,
// bounds inclusive, reversed ranges match nothing, keys at the ends of the 64-bit range work.
TEST(LocationIndex, SameAnswersAsTheFileOrderScan) {
    const std::int64_t top = std::numeric_limits<std::int64_t>::max();
    const std::int64_t bottom = std::numeric_limits<std::int64_t>::min();
    const LocationTable fixed{
        {IpKey("127.0.0.0"), IpKey("127.0.0.255"), "Narrow"},
        {IpKey("127.0.0.0"), IpKey("127.255.255.255"), "Wide"},
        {IpKey("127.0.0.10"), IpKey("127.0.0.20"), "Hidden"},
        {IpKey("10.0.0.9"), IpKey("10.0.0.1"), "Reversed"},
        {kBadKey, kBadKey, "Bad text"},
        {top - 1, top, "Top"},
        {bottom, bottom + 2, "Bottom"},
        {5, 50, "Outer"},
        {10, 20, "Inner later"},
        {20, 30, "Touching"},
    };
    std::mt19937_64 random(19);
    std::vector<LocationTable> tables{fixed, {}};
    for (int t = 0; t < 40; ++t) {
        LocationTable table;
        const int count = 1 + static_cast<int>(random() % 60);
        for (int i = 0; i < count; ++i) {
            const std::int64_t a = static_cast<std::int64_t>(random() % 200);
            const std::int64_t b = static_cast<std::int64_t>(random() % 200);
            table.push_back({std::min(a, b), i % 7 == 0 ? std::min(a, b) - 1 : std::max(a, b), "N" + std::to_string(i)});
        }
        tables.push_back(std::move(table));
    }
    for (const LocationTable& table : tables) {
        const LocationIndex index(table);
        std::vector<std::int64_t> keys{bottom, bottom + 1, top, top - 1, kBadKey, 0};
        for (std::int64_t k = -2; k < 203; ++k) keys.push_back(k);
        for (const Tsockaddr& e : table) {
            for (std::int64_t k : {e.startkey, e.endkey}) {
                keys.push_back(k);
                if (k > bottom) keys.push_back(k - 1);
                if (k < top) keys.push_back(k + 1);
            }
        }
        for (std::int64_t k : keys) ASSERT_EQ(index.Lookup(k), LookupLocation(table, k)) << k << " of " << table.size();
        EXPECT_LE(index.segments(), 2 * table.size());
    }
}

TEST(LocationLoader, LoadsOnItsOwnThreadAndThenAnswers) {
    TempFolder dir{"location"};
    const std::string path = dir / "address.dat";
    PutFile(path, Header() + Record("127.0.0.0", "127.255.255.255", "Loopback") +
                      Record("198.18.0.0", "198.19.255.255", "Bench"));
    LocationLoader loader;
    std::string name = "untouched";
    std::atomic<int> calls{0};
    std::thread::id loadthread;
    loader.Start(path, [&] {
        loadthread = std::this_thread::get_id();
        ++calls;
    });
    loader.Wait();
    EXPECT_TRUE(loader.Ready());
    EXPECT_EQ(calls.load(), 1);
    EXPECT_NE(loadthread, std::this_thread::get_id());
    ASSERT_TRUE(loader.Lookup(IpKey("127.0.0.1"), name));
    EXPECT_EQ(name, "Loopback");
    ASSERT_TRUE(loader.Lookup(IpKey("198.19.1.1"), name));
    EXPECT_EQ(name, "Bench");
    ASSERT_TRUE(loader.Lookup(IpKey("203.0.113.9"), name));
    EXPECT_EQ(name, "Unkown IP");

    // A missing file gives an empty table; nothing is answered before the load is done.
    LocationLoader missing;
    EXPECT_FALSE(missing.Lookup(0, name));
    missing.Start(dir / "none.dat");
    missing.Wait();
    ASSERT_TRUE(missing.Lookup(0, name));
    EXPECT_EQ(name, "IP column is empty");
}

// Destroying the loader mid-load stops it (the program may close while a huge file loads).
TEST(LocationLoader, StopsWhenDestroyedDuringTheLoad) {
    TempFolder dir{"location"};
    const std::string path = dir / "address.dat";
    PutFile(path, Header());
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kLocationHeaderSize + kMaxLocationRecords * kLocationRecordSize)), 0);
    for (int i = 0; i < 3; ++i) {
        LocationLoader loader;
        loader.Start(path);
    }
    SUCCEED();
}
