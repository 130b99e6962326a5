// Log line formats, the import line rule, the whole-file writer and the log save operations,
// all against real files in a fresh temporary folder.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unit/testfiles.h"

#include "engine/global_unit.h"
#include "logs/logfiles.h"
#include "logs/logops.h"
#include "logs/wholefile.h"

using namespace veltrin;
using namespace std::string_literals;

namespace {

using namespace veltrin::testfiles;

std::vector<std::string> Addresses(const std::vector<AddressRow>& rows) {
    std::vector<std::string> out;
    for (const auto& row : rows) out.push_back(row.address);
    return out;
}

const AddressRow kEmptyRow{"127.0.0.1", "", "", ""};
const AddressRow kFullRow{"127.0.0.2", "64", "3", "return data length:   12"};

}  // namespace

// ---- line formats ----------------------------------------------------------------------------

TEST(LogLines, MainLogLineOfRowWithoutReply) {
    EXPECT_EQ(MainLogLine(kEmptyRow), "127.0.0.1"s + "_   " + "TTL " + "" + " " + "Timeout " + "" + "  " + "" + "  " + "\r");
    EXPECT_EQ(MainLogLine(kEmptyRow), "127.0.0.1_   TTL  Timeout     \r");
}

TEST(LogLines, MainLogLineOfFullRow) {
    EXPECT_EQ(MainLogLine(kFullRow), "127.0.0.2_   TTL 64 Timeout 3  return data length:   12  \r");
}

TEST(LogLines, MainLogLineKeepsAddressTextAsEntered) {
    EXPECT_EQ(MainLogLine({" HTTP://localhost/x ", "1", "2", "3"}), " HTTP://localhost/x _   TTL 1 Timeout 2  3  \r");
}

TEST(LogLines, DetailLogLine) {
    EXPECT_EQ(DetailLogLine({"2024-06-15 10:00:00", "64", "3", "12"}),
              "2024-06-15 10:00:00  TTL 64 Timeout 3 Return bytes 12");
    EXPECT_EQ(DetailLogLine({"", "", "", ""}), "  TTL  Timeout  Return bytes ");
}

// ---- import line rule ------------------------------------------------------------------------

TEST(SplitTextLines, LineEnds) {
    const struct {
        std::string bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\n", {"a"}},
        {"a\r", {"a"}},
        {"a\r\r\n", {"a", ""}},                 // the address log's own line end
        {"a\r\r\nb\r\r\n", {"a", "", "b", ""}},
        {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},  // no final line end: the last line still counts
        {"\n", {""}},
        {"\n\n", {"", ""}},
        {"\r\n\r\n", {"", ""}},
        {"a\n\rb", {"a", "", "b"}},             // LF then CR is two line ends
        {"a\0b\nc"s, {"a"}},                    // a zero byte ends the text
        {"a\nb\n\0c\n"s, {"a", "b"}},
        {"\0a\n"s, {}},
        {"a\r\0\nb"s, {"a"}},
        {" x _ \t\n", {" x _ \t"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitTextLines(c.bytes), c.lines) << testing::PrintToString(c.bytes);
}

TEST(LoadAddressLines, TakesTextBeforeFirstUnderscore) {
    const struct {
        std::string line;
        std::vector<std::string> addresses;
    } cases[] = {
        {"10.0.0.1_   TTL 64 Timeout 3  x  \r", {"10.0.0.1"}},
        {"no underscore here", {}},
        {"_starts with one", {}},
        {"", {}},
        {" 127.0.0.1_", {" 127.0.0.1"}},
        {"my_host.example_   TTL", {"my"}},
        {"a__", {"a"}},
        {"\x01\xff_"s, {"\x01\xff"s}},
    };
    for (const auto& c : cases) {
        std::vector<AddressRow> rows;
        LoadAddressLines({c.line}, rows);
        EXPECT_EQ(Addresses(rows), c.addresses) << testing::PrintToString(c.line);
        for (const auto& row : rows) EXPECT_TRUE(row.ttl.empty() && row.time.empty() && row.bytes.empty());
    }
}

TEST(LoadAddressLines, AppendsInOrderAfterExistingRows) {
    std::vector<AddressRow> rows{{"first", "1", "2", "3"}};
    LoadAddressLines({"b_", "x", "a_", "b_"}, rows);
    EXPECT_EQ(Addresses(rows), (std::vector<std::string>{"first", "b", "a", "b"}));
    EXPECT_EQ(rows[0].ttl, "1");
}

TEST(LoadAddressText, SameAsSplitThenLoad) {
    std::mt19937 random(7);
    const char alphabet[] = {'a', '_', '\r', '\n', '\0', ' ', '1'};
    for (int round = 0; round < 2000; ++round) {
        std::string bytes;
        const int size = static_cast<int>(random() % 40);
        for (int i = 0; i < size; ++i) bytes += alphabet[random() % sizeof alphabet];
        std::vector<AddressRow> expected, actual;
        LoadAddressLines(SplitTextLines(bytes), expected);
        EXPECT_EQ(LoadAddressText(bytes, actual), expected.size());
        EXPECT_EQ(Addresses(actual), Addresses(expected)) << testing::PrintToString(bytes);
    }
}

TEST(LoadAddressText, StopsAtTheImportRowBound) {
    std::string bytes;
    for (std::size_t i = 0; i < kMaxImportRows + 5; ++i) bytes += "a_\n";
    std::vector<AddressRow> rows;
    EXPECT_EQ(LoadAddressText(bytes, rows), kMaxImportRows);
    EXPECT_EQ(rows.size(), kMaxImportRows);
}

// Captions are cut to what an address can be: 253 characters for a host name, 4096 for a web
// address; the import tells how many were cut.
TEST(LoadAddressText, CutsAddressTextsToTheirBound) {
    const std::string web = "HtTp://host.test/" + std::string(5000, 'p');
    const std::string euro = "\xe2\x82\xac";  // three bytes of one character
    std::string longname;
    while (longname.size() < 300) longname += euro;
    const struct {
        std::string address;
        std::string kept;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {std::string(253, 'h'), std::string(253, 'h')},
        {std::string(254, 'h'), std::string(253, 'h')},
        {std::string(10u << 20, 'h'), std::string(253, 'h')},
        {web, web.substr(0, 4096)},
        {"x http://" + std::string(3000, 'p'), "x http://" + std::string(3000, 'p')},
        {longname, longname.substr(0, 252)},  // never half a character
        // Continuation bytes that make no character: cut at the bound, not walked back to nothing.
        {std::string(300, '\xb3'), std::string(253, '\xb3')},
        {"\x87" + std::string(300, '\xb3') + "\xff~", "\x87" + std::string(252, '\xb3')},
        {std::string(250, 'h') + std::string(10, '\xb3'), std::string(250, 'h') + std::string(3, '\xb3')},
    };
    std::string bytes;
    for (const auto& c : cases) bytes += c.address + "_rest\r\n";
    std::vector<AddressRow> rows;
    std::size_t cut = 99;
    ASSERT_EQ(LoadAddressText(bytes, rows, &cut), std::size(cases));
    EXPECT_EQ(cut, 7u);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(rows[i].address.size(), cases[i].kept.size()) << i;
        EXPECT_EQ(rows[i].address, cases[i].kept) << i;
    }
    std::string text = std::string(300, 'a');
    EXPECT_TRUE(BoundAddressText(text));
    EXPECT_EQ(text.size(), kMaxHostNameText);
    EXPECT_FALSE(BoundAddressText(text));
}

// ---- whole-file writer -----------------------------------------------------------------------

TEST(WriteTextLines, EveryLineEndsWithCrLf) {
    TempFolder dir{"logs"};
    ASSERT_TRUE(WriteTextLines(dir / "a.txt", {"one", "", "three\r"}));
    EXPECT_EQ(ReadFile(dir / "a.txt"), "one\r\n\r\nthree\r\r\n");
}

TEST(WriteTextLines, NoLinesGivesEmptyFileAndReplacesOldOne) {
    TempFolder dir{"logs"};
    PutFile(dir / "a.txt", "old content");
    ASSERT_TRUE(WriteTextLines(dir / "a.txt", {}));
    EXPECT_TRUE(Exists(dir / "a.txt"));
    EXPECT_EQ(ReadFile(dir / "a.txt"), "");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"a.txt"});  // no temporary file left behind
}

TEST(WriteTextLines, FailedWriteLeavesOldFileAndNoTemporary) {
    TempFolder dir{"logs"};
    PutFile(dir / "a.txt", "old content\r\n");
    std::string error;
    {
        FileSizeLimit limit(1000);
        EXPECT_FALSE(WriteTextLines(dir / "a.txt", {std::string(5000, 'x')}, error));
    }
    EXPECT_EQ(ReadFile(dir / "a.txt"), "old content\r\n");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"a.txt"});
    EXPECT_NE(error.find(dir / "a.txt"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(EFBIG)), std::string::npos) << error;
}

TEST(WriteTextLines, FolderReplacedByPlainFileFails) {
    TempFolder dir{"logs"};
    PutFile(dir / "logs", "a plain file where a folder should be");
    std::string error;
    EXPECT_FALSE(WriteTextLines(dir / "logs/a.txt", {"x"}, error));
    EXPECT_NE(error.find(std::strerror(ENOTDIR)), std::string::npos) << error;
    EXPECT_EQ(ReadFile(dir / "logs"), "a plain file where a folder should be");
}

TEST(WriteTextLines, TargetThatIsAFolderFailsAndStays) {
    TempFolder dir{"logs"};
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    PutFile(dir / "sub/inner", "kept");
    EXPECT_FALSE(WriteTextLines(dir / "sub", {"x"}));
    EXPECT_EQ(ReadFile(dir / "sub/inner"), "kept");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"sub"});
}

TEST(WriteTextLines, VeryLongTargetNameStillUsesShortTemporary) {
    TempFolder dir{"logs"};
    const std::string name(250, 'n');
    ASSERT_TRUE(WriteTextLines(dir / name, {"x"}));
    EXPECT_EQ(ReadFile(dir / name), "x\r\n");
}

// ---- address log -----------------------------------------------------------------------------

TEST(SaveAddressLog, WritesChosenNamePlusSplWithCrCrLf) {
    TempFolder dir{"logs"};
    std::string emailtext = "unchanged";
    EXPECT_EQ(SaveAddressLog(dir / "list", {kEmptyRow, kFullRow}, "nothing", emailtext), LogSaveResult::Saved);
    EXPECT_EQ(ReadFile(dir / "list.spl"), "127.0.0.1_   TTL  Timeout     \r\r\n"
                                          "127.0.0.2_   TTL 64 Timeout 3  return data length:   12  \r\r\n");
    EXPECT_EQ(emailtext, "unchanged");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"list.spl"});
}

TEST(LogTarget, ExtensionAddedOnlyWhenMissing) {
    const struct {
        const char* chosen;
        const char* extension;
        const char* target;
    } cases[] = {
        {"x", ".spl", "x.spl"},         {"x.spl", ".spl", "x.spl"},       {"x.SPL", ".spl", "x.SPL"},
        {"y.txt", ".spl", "y.txt.spl"}, {"x.txt", ".txt", "x.txt"},       {"dir/x.spl.bak", ".spl", "dir/x.spl.bak.spl"},
        {"spl", ".spl", "spl.spl"},     {".spl", ".spl", ".spl"},         {"", ".spl", ""},
        {"a.tx", ".txt", "a.tx.txt"},   {"notes.Txt", ".txt", "notes.Txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(LogTarget(c.chosen, c.extension), c.target) << c.chosen;
}

TEST(SaveAddressLog, ExtensionAddedOnlyWhenMissing) {
    TempFolder dir{"logs"};
    std::string emailtext;
    EXPECT_EQ(SaveAddressLog(dir / "x.spl", {kEmptyRow}, "", emailtext), LogSaveResult::Saved);
    EXPECT_EQ(SaveAddressLog(dir / "y.txt", {kEmptyRow}, "", emailtext), LogSaveResult::Saved);
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"x.spl", "y.txt.spl"}));
}

// A file of the name that would be written is kept unless replacing it was agreed.
TEST(SaveAddressLog, ExistingTargetKeptUnlessReplaceAgreed) {
    TempFolder dir{"logs"};
    PutFile(dir / "list.spl", "older log");
    PutFile(dir / "list", "unrelated");
    std::string emailtext = "unchanged";
    EXPECT_EQ(SaveAddressLog(dir / "list", {kFullRow}, "all", emailtext), LogSaveResult::Exists);
    EXPECT_EQ(SaveAddressLog(dir / "list.spl", {kFullRow}, "all", emailtext), LogSaveResult::Exists);
    EXPECT_EQ(ReadFile(dir / "list.spl"), "older log");
    EXPECT_EQ(emailtext, "unchanged");

    EXPECT_EQ(SaveAddressLog(dir / "list", {kEmptyRow}, "", emailtext, ExistingLog::Replace), LogSaveResult::Saved);
    EXPECT_EQ(ReadFile(dir / "list.spl"), MainLogLine(kEmptyRow) + "\r\n");
    EXPECT_EQ(ReadFile(dir / "list"), "unrelated");
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"list", "list.spl"}));
}

TEST(SaveAddressLog, CancelledDialogDoesNothing) {
    std::string emailtext = "unchanged";
    EXPECT_EQ(SaveAddressLog("", {kEmptyRow}, "all", emailtext), LogSaveResult::Cancelled);
    EXPECT_EQ(emailtext, "unchanged");
}

TEST(SaveAddressLog, EmptyListGivesEmptyFileAndEmptyMailText) {
    TempFolder dir{"logs"};
    std::string emailtext = "old text";
    EXPECT_EQ(SaveAddressLog(dir / "empty", {}, "all", emailtext), LogSaveResult::Saved);
    EXPECT_TRUE(Exists(dir / "empty.spl"));
    EXPECT_EQ(ReadFile(dir / "empty.spl"), "");
    EXPECT_EQ(emailtext, "");
}

TEST(SaveAddressLog, ImportedAgainGivesSameAddressesInOrder) {
    TempFolder dir{"logs"};
    const std::vector<AddressRow> rows{
        {"127.0.0.1", "64", "1", "return data length:   12"},
        {" 127.0.0.9", "", "", ""},
        {"HTTP://localhost/path", "", "", ""},
        {"127.0.0.1", "", "", ""},
        {"198.18.0.1", "63", "20", "return data length:   40"},
    };
    std::string emailtext;
    ASSERT_EQ(SaveAddressLog(dir / "round", rows, "", emailtext), LogSaveResult::Saved);
    std::vector<AddressRow> imported{{"already", "", "", ""}};
    ASSERT_TRUE(LoadAddressFile(dir / "round.spl", imported));
    EXPECT_EQ(Addresses(imported), (std::vector<std::string>{"already", "127.0.0.1", " 127.0.0.9", "HTTP://localhost/path",
                                                             "127.0.0.1", "198.18.0.1"}));
    for (std::size_t i = 1; i < imported.size(); ++i)
        EXPECT_TRUE(imported[i].ttl.empty() && imported[i].time.empty() && imported[i].bytes.empty());
}

TEST(SaveAddressLog, WriteFailureLeavesMailTextAndOldFile) {
    TempFolder dir{"logs"};
    PutFile(dir / "list.spl", "older log");
    std::string emailtext = "unchanged";
    {
        FileSizeLimit limit(16);
        EXPECT_EQ(SaveAddressLog(dir / "list", {kFullRow, kFullRow}, "all", emailtext, ExistingLog::Replace),
                  LogSaveResult::Failed);
    }
    EXPECT_EQ(emailtext, "unchanged");
    EXPECT_EQ(ReadFile(dir / "list.spl"), "older log");
    std::string error;
    EXPECT_EQ(SaveAddressLog(dir / "missing-folder/list", {kFullRow}, "all", emailtext, ExistingLog::Keep, &error),
              LogSaveResult::Failed);
    EXPECT_EQ(emailtext, "unchanged");
    EXPECT_NE(error.find(dir / "missing-folder/list.spl"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;
}

// ---- which saves set the mail text -----------------------------------------------------------

TEST(LogMailText, OnlyTheMatchingSendSettingSetsIt) {
    const std::vector<AddressRow> rows{kFullRow, {"two words", "", "", ""}};
    const struct {
        bool detail;
        std::string sendsetting;
        bool changes;
    } cases[] = {
        {false, "all", true},         {false, "select log", false}, {false, "ALL", false}, {false, "all ", false},
        {false, "", false},           {false, "nothing", false},    {true, "select log", true},
        {true, "all", false},         {true, "Select log", false},  {true, "Error code", false},
    };
    int n = 0;
    for (const auto& c : cases) {
        TempFolder dir{"logs"};
        std::string emailtext = "before";
        const std::string chosen = dir / ("log" + std::to_string(n++));
        const auto result = c.detail ? SaveDetailLog(chosen, rows, c.sendsetting, emailtext)
                                     : SaveAddressLog(chosen, rows, c.sendsetting, emailtext);
        ASSERT_EQ(result, LogSaveResult::Saved);
        std::vector<std::string> lines;
        for (const auto& row : rows) lines.push_back(c.detail ? DetailLogLine(row) : MainLogLine(row));
        EXPECT_EQ(emailtext, c.changes ? JoinCommaText(lines) : "before") << c.detail << " " << c.sendsetting;
    }
}

// A mail text made from a huge log is cut at whole lines with a note, so it cannot grow the
// settings file past what can be read back or make a mail no server takes.
TEST(LogMailText, HugeLogIsCutWithANote) {
    TempFolder dir{"logs"};
    const std::string caption(200, 'h');
    std::vector<AddressRow> rows(30000, AddressRow{caption, "64", "1", "32"});  // some 7 MB of lines
    std::string emailtext;
    ASSERT_EQ(SaveAddressLog(dir / "big", rows, "all", emailtext), LogSaveResult::Saved);
    EXPECT_LE(emailtext.size(), kMaxMailTextBytes);
    EXPECT_GT(emailtext.size(), kMaxMailTextBytes - 1024);
    const std::string line = JoinCommaText({MainLogLine(rows[0])});
    EXPECT_EQ(emailtext.compare(0, line.size(), line), 0);
    const std::size_t note = emailtext.rfind("(report cut: ");
    ASSERT_NE(note, std::string::npos);
    EXPECT_NE(emailtext.find(" of 30000 lines not included", note), std::string::npos) << emailtext.substr(note);
    // The file itself is whole.
    EXPECT_GT(ReadFile(dir / "big.spl").size(), 30000u * 200);

    // Detail logs go the same way; a small one is not touched.
    std::string detailtext;
    ASSERT_EQ(SaveDetailLog(dir / "detail", rows, "select log", detailtext), LogSaveResult::Saved);
    EXPECT_LE(detailtext.size(), kMaxMailTextBytes);
    EXPECT_NE(detailtext.find("(report cut: "), std::string::npos);
    const std::vector<std::string> small{"a", "b c"};
    EXPECT_EQ(MailTextOf(small), JoinCommaText(small));
}

// ---- detail log ------------------------------------------------------------------------------

TEST(SaveDetailLog, WritesChosenNamePlusTxt) {
    TempFolder dir{"logs"};
    std::string emailtext;
    const std::vector<AddressRow> rows{{"2024-06-15 10:00:00", "64", "3", "12"}, {"2024-06-15 10:00:01", "64", "4", "12"}};
    EXPECT_EQ(SaveDetailLog(dir / "d.txt", rows, "", emailtext), LogSaveResult::Saved);
    EXPECT_EQ(ReadFile(dir / "d.txt"), "2024-06-15 10:00:00  TTL 64 Timeout 3 Return bytes 12\r\n"
                                           "2024-06-15 10:00:01  TTL 64 Timeout 4 Return bytes 12\r\n");
    PutFile(dir / "taken.txt", "");
    EXPECT_EQ(SaveDetailLog(dir / "taken", rows, "select log", emailtext), LogSaveResult::Exists);
    EXPECT_EQ(ReadFile(dir / "taken.txt"), "");
    EXPECT_EQ(emailtext, "");
    EXPECT_EQ(SaveDetailLog(dir / "taken", rows, "select log", emailtext, ExistingLog::Replace), LogSaveResult::Saved);
    EXPECT_EQ(ReadFile(dir / "taken.txt"), ReadFile(dir / "d.txt"));
    EXPECT_EQ(SaveDetailLog("", rows, "select log", emailtext), LogSaveResult::Cancelled);
}

// ---- automatic detail log --------------------------------------------------------------------

TEST(AutoDetailLog, NameIsShortDateTickAndCounterWithoutSlashes) {
    const char* oldtz = std::getenv("TZ");
    const std::string saved = oldtz != nullptr ? oldtz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 2024-06-15 12:00:00 UTC; the tests run in the C locale, whose short date is mm/dd/yy.
    EXPECT_EQ(AutoDetailLogName(1718452800, 1234, 7), "06-15-24 1234-7.txt");
    EXPECT_EQ(AutoDetailLogName(1718452800, 4294967295u, 0), "06-15-24 4294967295-0.txt");
    if (oldtz != nullptr) ::setenv("TZ", saved.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
}

TEST(AutoDetailLog, FirstLineIsLabelThenDetailLines) {
    TempFolder dir{"logs"};
    std::string emailtext = "before", error, path;
    const std::vector<AddressRow> rows{{"2024-06-15 10:00:00", "64", "3", "12"}};
    ASSERT_TRUE(SaveAutoDetailLog(dir.path(), "IP address:    127.0.0.1", rows, "nothing", emailtext, error, &path))
        << error;
    EXPECT_EQ(path.rfind(dir.path() + "/", 0), 0u);
    EXPECT_EQ(ReadFile(path), "IP address:    127.0.0.1\r\n2024-06-15 10:00:00  TTL 64 Timeout 3 Return bytes 12\r\n");
    EXPECT_EQ(emailtext, "before");
    const std::string name = path.substr(dir.path().size() + 1);
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(name.substr(name.size() - 4), ".txt");
    EXPECT_NE(name.find(' '), std::string::npos);
}

TEST(AutoDetailLog, EmptyListStillWritesLabel) {
    TempFolder dir{"logs"};
    std::string emailtext, error, path;
    ASSERT_TRUE(SaveAutoDetailLog(dir.path() + "/", "IP address:    ", {}, "select log", emailtext, error, &path));
    EXPECT_EQ(ReadFile(path), "IP address:    \r\n");
    EXPECT_EQ(emailtext, "\"IP address:    \"");
}

TEST(AutoDetailLog, EverySaveGetsANewFile) {
    TempFolder dir{"logs"};
    std::string emailtext, error;
    std::set<std::string> paths;
    for (int i = 0; i < 20; ++i) {
        std::string path;
        ASSERT_TRUE(SaveAutoDetailLog(dir.path(), "label " + std::to_string(i), {}, "", emailtext, error, &path));
        paths.insert(path);
    }
    EXPECT_EQ(paths.size(), 20u);
    EXPECT_EQ(dir.Names().size(), 20u);
}

TEST(AutoDetailLog, FailureReportsTextAndStillSetsMailTextFirst) {
    TempFolder dir{"logs"};
    PutFile(dir / "notafolder", "x");
    std::string emailtext = "before", error;
    EXPECT_FALSE(SaveAutoDetailLog(dir / "notafolder", "IP address:    127.0.0.1", {}, "select log", emailtext, error));
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.find(std::strerror(ENOTDIR)), std::string::npos) << error;
    EXPECT_EQ(emailtext, "\"IP address:    127.0.0.1\"");
}

// ---- ICMP dump log ---------------------------------------------------------------------------

TEST(SaveDumpLog, ChosenNameAsTextFile) {
    TempFolder dir{"logs"};
    std::string error;
    EXPECT_EQ(SaveDumpLog(dir / "dump", {"-----", "Ping data: 08 00"}, error), LogSaveResult::Saved);
    EXPECT_EQ(ReadFile(dir / "dump.txt"), "-----\r\nPing data: 08 00\r\n");
    EXPECT_EQ(SaveDumpLog(dir / "dump.txt", {"other"}, error), LogSaveResult::Exists);
    EXPECT_EQ(ReadFile(dir / "dump.txt"), "-----\r\nPing data: 08 00\r\n");
    EXPECT_EQ(SaveDumpLog(dir / "dump", {"other"}, error, ExistingLog::Replace), LogSaveResult::Saved);
    EXPECT_EQ(ReadFile(dir / "dump.txt"), "other\r\n");
    EXPECT_EQ(SaveDumpLog("", {"x"}, error), LogSaveResult::Cancelled);
    EXPECT_EQ(dir.Names(), std::set<std::string>{"dump.txt"});
}

TEST(SaveDumpLog, FailureGivesErrorText) {
    TempFolder dir{"logs"};
    std::string error;
    EXPECT_EQ(SaveDumpLog(dir / "no/such/folder/dump", {"x"}, error), LogSaveResult::Failed);
    EXPECT_NE(error.find(dir / "no/such/folder/dump"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;
}

// ---- reading address files -------------------------------------------------------------------

TEST(LoadAddressFile, ZeroByteEndsTheText) {
    TempFolder dir{"logs"};
    PutFile(dir / "z.spl", "127.0.0.1_ a\r\r\n127.0.0.2_ b\r\r\n"s + '\0' + "127.0.0.3_ c\r\r\n");
    std::vector<AddressRow> rows;
    ASSERT_TRUE(LoadAddressFile(dir / "z.spl", rows));
    EXPECT_EQ(Addresses(rows), (std::vector<std::string>{"127.0.0.1", "127.0.0.2"}));
}

TEST(LoadAddressFile, PlainAddressListImportsNothing) {
    TempFolder dir{"logs"};
    PutFile(dir / "plain.spl", "127.0.0.1\n127.0.0.2\n");
    std::vector<AddressRow> rows;
    EXPECT_TRUE(LoadAddressFile(dir / "plain.spl", rows));
    EXPECT_TRUE(rows.empty());
}

TEST(LoadAddressFile, ImportingTwiceGivesEveryAddressTwice) {
    TempFolder dir{"logs"};
    PutFile(dir / "t.spl", "a_\r\nb_\r\n");
    std::vector<AddressRow> rows;
    ASSERT_TRUE(LoadAddressFile(dir / "t.spl", rows));
    ASSERT_TRUE(LoadAddressFile(dir / "t.spl", rows));
    EXPECT_EQ(Addresses(rows), (std::vector<std::string>{"a", "b", "a", "b"}));
}

TEST(LoadAddressFile, UnreadableInputsFailSilentlyAndTouchNothing) {
    TempFolder dir{"logs"};
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
    {
        // One byte over the bound; a sparse file costs no disk space.
        const int fd = ::open((dir / "huge.spl").c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kMaxAddressFileBytes) + 1), 0);
        ::close(fd);
    }
    std::vector<AddressRow> rows{{"keep", "", "", ""}};
    for (const char* name : {"missing.spl", "fifo", "folder", "huge.spl"}) {
        EXPECT_FALSE(LoadAddressFile(dir / name, rows)) << name;  // the FIFO must not block
        EXPECT_EQ(Addresses(rows), std::vector<std::string>{"keep"}) << name;
    }
    EXPECT_FALSE(LoadAddressFile("/dev/zero", rows));
}

TEST(ReadWholeFile, ReadsExactBytes) {
    TempFolder dir{"logs"};
    const std::string bytes = "a\0b\r\n\xff"s;
    PutFile(dir / "f", bytes);
    std::string got;
    EXPECT_EQ(ReadWholeFile(dir / "f", 100, got), 0);
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(ReadWholeFile(dir / "f", bytes.size() - 1, got), EFBIG);
    EXPECT_EQ(ReadWholeFile(dir / "none", 100, got), ENOENT);
    EXPECT_EQ(ReadWholeFile(dir.path(), 100, got), EISDIR);
}
