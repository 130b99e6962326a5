// The settings file against real files: defaults, reading rules, page saves that keep every
// other line, the file mode, escaping of multi-line text and failed writes.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unit/testfiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>

#include "settings/inifile.h"
#include "settings/settingsfile.h"

using namespace veltrin;
using namespace std::string_literals;

namespace {

using namespace veltrin::testfiles;

unsigned ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFu;
}

struct Loaded {
    Tmailsetting mail;
    std::int32_t interval = -1;
    std::int32_t datalength = -1;
};

Loaded Load(const std::string& path) {
    Loaded out;
    // Start from values unlike every default, so a field that LoadSettings forgets shows.
    out.mail = Tmailsetting{"s", "f", "t", "j", "e", "all", false, "o1", "o2", 99};
    LoadSettings(path, out.mail, out.interval, out.datalength);
    return out;
}

Loaded LoadText(const TempFolder& dir, const std::string& text) {
    PutFile(dir / "k.ini", text);
    return Load(dir / "k.ini");
}

const Tmailsetting kMail{"127.0.0.1", "monitor@localhost", "a@localhost,b@localhost", "Report", "Mail text",
                         "select log", false, "dXNlcg==", "cGFzcw==", 5};

}  // namespace

// ---- defaults and reading rules --------------------------------------------------------------

TEST(LoadSettings, MissingFileGivesDefaults) {
    TempFolder dir{"settings"};
    const Loaded got = Load(dir / "none.ini");
    EXPECT_EQ(got.mail.smtpserver, "");
    EXPECT_EQ(got.mail.sendfrom, "");
    EXPECT_EQ(got.mail.sendto, "");
    EXPECT_EQ(got.mail.subject, "");
    EXPECT_EQ(got.mail.emailtext, "");
    EXPECT_EQ(got.mail.sendsetting, "");
    EXPECT_EQ(got.mail.option1, "");
    EXPECT_EQ(got.mail.option2, "");
    EXPECT_TRUE(got.mail.authentication);
    EXPECT_EQ(got.mail.savetime, 0);
    EXPECT_EQ(got.datalength, 8);
    EXPECT_EQ(got.interval, 3);
}

TEST(LoadSettings, EmptyOrUnreadableFileGivesDefaults) {
    TempFolder dir{"settings"};
    for (const std::string& text : {""s, "garbage\0\xff\n[[[\n=\n"s, "[mailsetting\nsavetime=4"s}) {
        const Loaded got = LoadText(dir, text);
        EXPECT_EQ(got.mail.smtpserver, "");
        EXPECT_TRUE(got.mail.authentication);
        EXPECT_EQ(got.datalength, 8);
        EXPECT_EQ(got.interval, 3);
    }
    ASSERT_EQ(::mkdir((dir / "folder.ini").c_str(), 0700), 0);
    EXPECT_EQ(Load(dir / "folder.ini").interval, 3);
}

TEST(LoadSettings, IntegerRule) {
    TempFolder dir{"settings"};
    constexpr std::int32_t kDefault = 0x7eadbeef;  // marks "the key's default"
    const struct {
        std::string text;
        std::int32_t value;
    } cases[] = {
        {"5", 5},           {"0", 0},           {"-4", -4},          {"+7", 7},
        {"2000", 2000},     {"0x10", 16},       {"0X1f", 31},        {"0x0", 0},
        {"0x", kDefault},   {"0X", kDefault},   {"abc", kDefault},   {"12abc", kDefault},
        {"", kDefault},     {"2147483647", 2147483647}, {"2147483648", kDefault}, {"-2147483648", -2147483647 - 1},
        {"0xFFFFFFFF", -1}, {"0x100000000", kDefault}, {"0x-1", kDefault}, {"0x+1", kDefault},
        {" 9 ", 9},         {"$10", kDefault},  {"1e3", kDefault},   {"9.5", kDefault},
        {"+-1", kDefault},  {"--1", kDefault},  {"007", 7},          {"0x 1", kDefault},
    };
    for (const auto& c : cases) {
        const bool number = c.value != kDefault;
        EXPECT_EQ(LoadText(dir, "[Ping setting]\ninterval=" + c.text + "\n").interval, number ? c.value : 3) << c.text;
        EXPECT_EQ(LoadText(dir, "[Ping setting]\ndatalength=" + c.text + "\n").datalength, number ? c.value : 8)
            << c.text;
        EXPECT_EQ(LoadText(dir, "[mailsetting]\nsavetime=" + c.text + "\n").mail.savetime, number ? c.value : 0)
            << c.text;
    }
}

TEST(LoadSettings, BooleanIsReadAsInteger) {
    TempFolder dir{"settings"};
    const struct {
        std::string text;
        bool value;
    } cases[] = {{"0", false}, {"1", true}, {"2", true}, {"-1", true}, {"yes", true}, {"no", true},
                 {"", true},   {"0x0", false}, {"0x1", true}, {"00", false}, {"false", true}};
    for (const auto& c : cases)
        EXPECT_EQ(LoadText(dir, "[mailsetting]\nauthentication=" + c.text + "\n").mail.authentication, c.value) << c.text;
}

TEST(LoadSettings, TextValuesUpTo2047Characters) {
    TempFolder dir{"settings"};
    const std::string longtext(3000, 'x');
    EXPECT_EQ(LoadText(dir, "[mailsetting]\nsubject=" + longtext + "\n").mail.subject, std::string(2047, 'x'));
    EXPECT_EQ(LoadText(dir, "[mailsetting]\nsubject=" + std::string(2047, 'y') + "\n").mail.subject,
              std::string(2047, 'y'));
}

TEST(LoadSettings, NamesMatchWithoutCaseAndBlanksAroundDoNotCount) {
    TempFolder dir{"settings"};
    const Loaded got = LoadText(dir, "; comment\n# other comment\n  [ MAILSETTING ]  \n SMTPServer = 127.0.0.1 \n"
                                     "SendSetting=all\n[ping SETTING]\r\nINTERVAL\t=\t7\r\n");
    EXPECT_EQ(got.mail.smtpserver, "127.0.0.1");
    EXPECT_EQ(got.mail.sendsetting, "all");
    EXPECT_EQ(got.interval, 7);
}

TEST(LoadSettings, SendSettingIsKeptAsWritten) {
    TempFolder dir{"settings"};
    EXPECT_EQ(LoadText(dir, "[mailsetting]\nsendsetting=ALL\n").mail.sendsetting, "ALL");
}

TEST(LoadSettings, KeysAreReadFromTheSectionTheyAreSavedIn) {
    TempFolder dir{"settings"};
    // Mail keys under "Ping setting" and ping keys under "mailsetting" are not the program's.
    const Loaded got = LoadText(dir, "[Ping setting]\nsmtpserver=wrong\nauthentication=0\nsavetime=9\n"
                                     "[mailsetting]\ninterval=9\ndatalength=99\n");
    EXPECT_EQ(got.mail.smtpserver, "");
    EXPECT_TRUE(got.mail.authentication);
    EXPECT_EQ(got.mail.savetime, 0);
    EXPECT_EQ(got.interval, 3);
    EXPECT_EQ(got.datalength, 8);
}

TEST(LoadSettings, FirstOfRepeatedSectionsAndKeysCounts) {
    TempFolder dir{"settings"};
    const Loaded got =
        LoadText(dir, "[mailsetting]\nsubject=first\nsubject=second\n[mailsetting]\nsubject=third\nsendto=late\n");
    EXPECT_EQ(got.mail.subject, "first");
    EXPECT_EQ(got.mail.sendto, "");
}

TEST(LoadSettings, SurvivesOddBytes) {
    TempFolder dir{"settings"};
    const Loaded got = LoadText(dir, "\xef\xbb\xbf\n[mailsetting]\nsubject=a\0b\n\n\rnoise\n=novalue\nsendto=x\r\r\n"
                                     "[Ping setting]\ninterval=4"s);  // no line end at the end
    EXPECT_EQ(got.mail.subject, "a\0b"s);
    EXPECT_EQ(got.mail.sendto, "x");
    EXPECT_EQ(got.interval, 4);
}

TEST(LoadSettings, OversizedFileIsNotRead) {
    TempFolder dir{"settings"};
    const std::string big = "[Ping setting]\ninterval=7\n;" + std::string(kMaxSettingsFileBytes, 'x') + "\n";
    EXPECT_EQ(LoadText(dir, big).interval, 3);
    std::string error;
    EXPECT_FALSE(SaveAdvancedSettings(dir / "k.ini", 1, 2, 3, &error));
    EXPECT_NE(error.find("larger than 16 MB"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(dir / "k.ini"), big);
}

// Whatever a save writes reads back: the bound for reading is the bound for writing.
TEST(SaveSettings, LargeSavedFileReadsBackAndStaysUpdatable) {
    for (const std::size_t size : {std::size_t{2} << 20, kMaxSettingsFileBytes - 4096}) {
        TempFolder dir{"settings"};
        const std::string path = dir / "k.ini";
        ASSERT_TRUE(SaveAdvancedSettings(path, 4, 64, 9));
        Tmailsetting mail = kMail;
        mail.emailtext = std::string(size, 'm');
        ASSERT_TRUE(SaveMailSettings(path, mail)) << size;
        const Loaded got = Load(path);
        EXPECT_EQ(got.interval, 9) << size;
        EXPECT_EQ(got.datalength, 64) << size;
        EXPECT_EQ(got.mail.subject, "Report") << size;
        EXPECT_EQ(got.mail.emailtext, std::string(2047, 'm')) << size;
        EXPECT_TRUE(SaveAdvancedSettings(path, 4, 64, 10)) << size;
        EXPECT_EQ(Load(path).interval, 10) << size;
    }
}

TEST(SaveSettings, SaveOverTheBoundIsRefusedWithAMessageAndTheOldFileKept) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    ASSERT_TRUE(SaveMailSettings(path, kMail));
    const std::string before = ReadFile(path);
    Tmailsetting mail = kMail;
    mail.emailtext = std::string(kMaxSettingsFileBytes, 'm');
    std::string error;
    EXPECT_FALSE(SaveMailSettings(path, mail, &error));
    EXPECT_NE(error.find("more than 16 MB"), std::string::npos) << error;
    EXPECT_FALSE(SaveMailSettings(path, mail));
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(dir.Names(), std::set<std::string>{"k.ini"});
    EXPECT_EQ(Load(path).mail.emailtext, "Mail text");
}

// A save that was killed leaves its temporary copy (which holds the credentials); the next save
// removes it, but nothing a living writer or another program may still own.
TEST(SaveSettings, StaleTemporariesOfADeadWriterAreRemoved) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string dead = std::to_string(child);
    const std::string self = std::to_string(::getpid());
    const std::vector<std::string> stale = {".k.ini." + dead + "-0.tmp", ".k.ini." + dead + "-17.tmp"};
    const std::set<std::string> kept = {
        ".k.ini." + self + "-3.tmp",   // this process: a save may be under way
        ".k.ini.1-0.tmp",              // a living process
        ".other.ini." + dead + "-0.tmp",  // another file's copy
        ".k.ini." + dead + "-x.tmp",   // not our pattern
        ".k.ini." + dead + "-0.tmp~", "k.ini." + dead + "-0.tmp", ".k.ini.-0.tmp",
    };
    for (const std::string& name : stale) PutFile(dir / name, "smtp credentials");
    for (const std::string& name : kept) PutFile(dir / name, "keep");
    // A link or a folder under our pattern is not one of our files.
    ASSERT_EQ(::symlink("k.ini", (dir / (".k.ini." + dead + "-5.tmp")).c_str()), 0);
    ASSERT_EQ(::mkdir((dir / (".k.ini." + dead + "-6.tmp")).c_str(), 0700), 0);
    // A copy whose writer still holds its lock is in use, whatever kill() says.
    const std::string locked = dir / (".k.ini." + dead + "-7.tmp");
    PutFile(locked, "in use");
    const int lockfd = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lockfd, 0);
    ASSERT_EQ(::flock(lockfd, LOCK_EX), 0);

    ASSERT_TRUE(SaveMailSettings(path, kMail));
    std::set<std::string> expected = kept;
    expected.insert("k.ini");
    expected.insert(".k.ini." + dead + "-5.tmp");
    expected.insert(".k.ini." + dead + "-6.tmp");
    expected.insert(".k.ini." + dead + "-7.tmp");
    EXPECT_EQ(dir.Names(), expected);
    ::close(lockfd);
    // Once its lock is gone the last copy goes with the next save.
    ASSERT_TRUE(SaveAdvancedSettings(path, 1, 2, 3));
    expected.erase(".k.ini." + dead + "-7.tmp");
    EXPECT_EQ(dir.Names(), expected);
}

// ---- saving ----------------------------------------------------------------------------------

TEST(SaveSettings, EveryValueRoundTrips) {
    TempFolder dir{"settings"};
    const std::string path = dir / "korbel setting.ini";
    ASSERT_TRUE(SaveMailSettings(path, kMail));
    ASSERT_TRUE(SaveAdvancedSettings(path, 15, 64, 10));
    const Loaded got = Load(path);
    EXPECT_EQ(got.mail.smtpserver, kMail.smtpserver);
    EXPECT_EQ(got.mail.sendfrom, kMail.sendfrom);
    EXPECT_EQ(got.mail.sendto, kMail.sendto);
    EXPECT_EQ(got.mail.subject, kMail.subject);
    EXPECT_EQ(got.mail.emailtext, kMail.emailtext);
    EXPECT_EQ(got.mail.sendsetting, kMail.sendsetting);
    EXPECT_EQ(got.mail.authentication, kMail.authentication);
    EXPECT_EQ(got.mail.option1, kMail.option1);
    EXPECT_EQ(got.mail.option2, kMail.option2);
    EXPECT_EQ(got.mail.savetime, 15);
    EXPECT_EQ(got.datalength, 64);
    EXPECT_EQ(got.interval, 10);
}

TEST(SaveSettings, NewFileLayout) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    Tmailsetting mail = kMail;
    mail.option1.clear();  // the empty user id is stored as an empty value
    ASSERT_TRUE(SaveMailSettings(path, mail));
    ASSERT_TRUE(SaveAdvancedSettings(path, 0, 8, 3));
    EXPECT_EQ(ReadFile(path), "[mailsetting]\n"
                              "smtpserver=127.0.0.1\n"
                              "sendfrom=monitor@localhost\n"
                              "sendto=a@localhost,b@localhost\n"
                              "subject=Report\n"
                              "emailtext=Mail text\n"
                              "sendsetting=select log\n"
                              "option1=\n"
                              "option2=cGFzcw==\n"
                              "authentication=0\n"
                              "savetime=0\n"
                              "[Ping setting]\n"
                              "datalength=8\n"
                              "interval=3\n");
    EXPECT_EQ(Load(path).mail.option1, "");
}

TEST(SaveSettings, AdvancedPageKeepsEveryOtherLine) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    const std::string before = "; settings of the monitor\r\n"
                               "[Other]\r\n"
                               "savetime=77\r\n"
                               "\r\n"
                               "[MailSetting]\r\n"
                               "smtpserver = 127.0.0.1\r\n"
                               "unknown=kept\r\n"
                               "SAVETIME=1\r\n"
                               "# trailing comment\r\n"
                               "\r\n"
                               "[Ping setting]\r\n"
                               "interval=5\r\n";
    PutFile(path, before);
    ASSERT_TRUE(SaveAdvancedSettings(path, 30, 100, 7));
    EXPECT_EQ(ReadFile(path), "; settings of the monitor\r\n"
                              "[Other]\r\n"
                              "savetime=77\r\n"
                              "\r\n"
                              "[MailSetting]\r\n"
                              "smtpserver = 127.0.0.1\r\n"
                              "unknown=kept\r\n"
                              "savetime=30\r\n"
                              "# trailing comment\r\n"
                              "\r\n"
                              "[Ping setting]\r\n"
                              "interval=7\r\n"
                              "datalength=100\r\n");
}

TEST(SaveSettings, MailPageLeavesAdvancedKeysAndOtherLines) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    PutFile(path, "[mailsetting]\nsavetime=12\nsubject=old\n\n\n[Ping setting]\ndatalength=64\ninterval=9\n"
                  "[Extra]\nkey=value");
    ASSERT_TRUE(SaveMailSettings(path, kMail));
    EXPECT_EQ(ReadFile(path), "[mailsetting]\n"
                              "savetime=12\n"
                              "subject=Report\n"
                              "smtpserver=127.0.0.1\n"
                              "sendfrom=monitor@localhost\n"
                              "sendto=a@localhost,b@localhost\n"
                              "emailtext=Mail text\n"
                              "sendsetting=select log\n"
                              "option1=dXNlcg==\n"
                              "option2=cGFzcw==\n"
                              "authentication=0\n"
                              "\n\n"
                              "[Ping setting]\n"
                              "datalength=64\n"
                              "interval=9\n"
                              "[Extra]\n"
                              "key=value");
    const Loaded got = Load(path);
    EXPECT_EQ(got.mail.savetime, 12);
    EXPECT_EQ(got.datalength, 64);
    EXPECT_EQ(got.interval, 9);
}

TEST(SaveSettings, SectionWithoutLineEndAtFileEnd) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    PutFile(path, "[Ping setting]\ninterval=2");
    ASSERT_TRUE(SaveAdvancedSettings(path, 1, 20, 4));
    EXPECT_EQ(ReadFile(path), "[Ping setting]\ninterval=4\ndatalength=20\n[mailsetting]\nsavetime=1\n");
    PutFile(path, "[Ping setting]");
    ASSERT_TRUE(SaveAdvancedSettings(path, 1, 20, 4));
    EXPECT_EQ(ReadFile(path), "[Ping setting]\ndatalength=20\ninterval=4\n[mailsetting]\nsavetime=1\n");
}

TEST(SaveSettings, FileIsAlwaysMode0600) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    const mode_t oldmask = ::umask(0);
    EXPECT_TRUE(SaveMailSettings(path, kMail));
    EXPECT_EQ(ModeOf(path), 0600u);
    ::chmod(path.c_str(), 0644);
    EXPECT_TRUE(SaveAdvancedSettings(path, 1, 2, 3));
    EXPECT_EQ(ModeOf(path), 0600u);
    ::umask(0777);
    EXPECT_TRUE(SaveMailSettings(path, kMail));
    ::umask(oldmask);
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(Load(path).mail.subject, "Report");
}

TEST(SaveSettings, MultiLineMailTextStaysOnOneLineAndRoundTrips) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    const std::string texts[] = {
        "First line\r\nsecond line\r\n\r\nlast",
        "lf only\nand \\n literal backslash-n \\\\ two backslashes \\",
        " leading and trailing blanks ",
        "tab\tand\x01control\x7f",
        "[Ping setting]\ninterval=0\n",
        "C:\\folder\\x41\\xZZ",
        "",
        "\\",
    };
    for (const std::string& text : texts) {
        Tmailsetting mail = kMail;
        mail.emailtext = text;
        mail.subject = text;
        ASSERT_TRUE(SaveMailSettings(path, mail));
        ASSERT_TRUE(SaveAdvancedSettings(path, 1, 12, 6));
        const std::string file = ReadFile(path);
        std::size_t lines = 0;
        for (char c : file) lines += c == '\n';
        EXPECT_EQ(lines, 14u) << testing::PrintToString(file);
        EXPECT_EQ(file.find('\r'), std::string::npos);
        const Loaded got = Load(path);
        EXPECT_EQ(got.mail.emailtext, text);
        EXPECT_EQ(got.mail.subject, text);
        EXPECT_EQ(got.interval, 6);
    }
}

TEST(SaveSettings, EscapedFormOfMailText) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    Tmailsetting mail;
    mail.emailtext = "a\r\nb\\c\td ";
    ASSERT_TRUE(SaveMailSettings(path, mail));
    EXPECT_NE(ReadFile(path).find("\nemailtext=a\\r\\nb\\\\c\\td\\x20\n"), std::string::npos) << ReadFile(path);
}

TEST(LoadSettings, ValueWithoutEscapesReadsAsItStands) {
    TempFolder dir{"settings"};
    const struct {
        std::string stored;
        std::string text;
    } cases[] = {
        {"plain text, \"quoted\" too", "plain text, \"quoted\" too"},
        {"\"two words\",next", "\"two words\",next"},  // comma-joined text keeps its quotes
        {"C:\\path\\file", "C:\\path\\file"},
        {"end\\", "end\\"},
        {"\\q\\x4", "\\q\\x4"},
        {"a\\nb", "a\nb"},
        {"\\x41\\x7e", "A~"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoadText(dir, "[mailsetting]\nemailtext=" + c.stored + "\n").mail.emailtext, c.text) << c.stored;
}

TEST(SaveSettings, FailedWriteLeavesOldFileAndReturnsFalse) {
    TempFolder dir{"settings"};
    const std::string path = dir / "k.ini";
    const std::string before = "[mailsetting]\nsubject=old\n";
    PutFile(path, before);
    Tmailsetting mail = kMail;
    mail.emailtext = std::string(4000, 'x');
    {
        FileSizeLimit limit(1000);
        EXPECT_FALSE(SaveMailSettings(path, mail));
    }
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(dir.Names(), std::set<std::string>{"k.ini"});
}

TEST(SaveSettings, FolderReplacedByPlainFileFails) {
    TempFolder dir{"settings"};
    PutFile(dir / "config", "plain file");
    EXPECT_FALSE(SaveMailSettings(dir / "config/k.ini", kMail));
    EXPECT_FALSE(SaveAdvancedSettings(dir / "config/k.ini", 1, 2, 3));
    EXPECT_EQ(ReadFile(dir / "config"), "plain file");
}

TEST(SaveSettings, SettingsPathThatIsAFolderIsLeftAlone) {
    TempFolder dir{"settings"};
    ASSERT_EQ(::mkdir((dir / "k.ini").c_str(), 0700), 0);
    EXPECT_FALSE(SaveMailSettings(dir / "k.ini", kMail));
    struct stat info {};
    ASSERT_EQ(::stat((dir / "k.ini").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(dir.Names(), std::set<std::string>{"k.ini"});
}

// ---- the INI model itself --------------------------------------------------------------------

TEST(IniFile, ParseThenTextGivesTheSameBytes) {
    const std::string texts[] = {
        "", "\n", "a", "a\r\n", "a\r\r\n", "[s]\nk=v", "[s]\r\nk=v\r\n\r\n; c\n", "\0\n\0"s, "x\ry\n",
    };
    for (const std::string& text : texts) {
        IniFile ini;
        ini.Parse(text);
        EXPECT_EQ(ini.Text(), text) << testing::PrintToString(text);
    }
}

TEST(IniFile, SetUpdatesFirstKeyOnly) {
    IniFile ini;
    ini.Parse("[s]\nk=1\nk=2\n[S]\nk=3\n");
    ini.Set("s", "K", "9");
    EXPECT_EQ(ini.Text(), "[s]\nK=9\nk=2\n[S]\nk=3\n");
    std::string value;
    ASSERT_TRUE(ini.Find("S", "k", value));
    EXPECT_EQ(value, "9");
    EXPECT_FALSE(ini.Find("s", "missing", value));
    EXPECT_FALSE(ini.Find("missing", "k", value));
}

TEST(IniFile, EscapeAndUnescapeAreInverse) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string texts[] = {all, " ", "  ", "\\x20", "\\\\n", "a\\", std::string(5, '\\')};
    for (const std::string& text : texts) {
        const std::string stored = EscapeIniValue(text);
        EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(UnescapeIniValue(stored), text) << testing::PrintToString(text);
    }
}
