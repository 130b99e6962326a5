// The console's command line: accepted forms, the value each option sets, and a clear message
// for every mistake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"
#include "testfiles.h"

namespace {

using veltrin::cli::Format;
using veltrin::cli::Options;
using veltrin::cli::ParseOptions;

struct Parsed {
    bool ok = false;
    std::string error;
    Options options;
};

Parsed Parse(std::vector<std::string> args, bool needconsole = false) {
    args.insert(args.begin(), "veltrin-ping-cli");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    Parsed p;
    const auto r = ParseOptions(static_cast<int>(args.size()), argv.data(), needconsole, p.options);
    p.ok = r.ok;
    p.error = r.error;
    EXPECT_EQ(r.ok, r.error.empty()) << r.error;
    return p;
}

TEST(CliOptions, ValuesAreTakenInBothForms) {
    const Parsed p = Parse({"--seconds", "5", "--format=json", "--interval", "10", "--data-length=64", "--timeout", "0.25",
                            "--metrics", "127.0.0.1:9101", "127.0.0.1"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.seconds, 5);
    EXPECT_EQ(p.options.format, Format::Json);
    EXPECT_EQ(p.options.interval, 10);
    EXPECT_EQ(p.options.datalength, 64);
    EXPECT_EQ(p.options.timeoutms, 250);
    EXPECT_TRUE(p.options.metrics);
    EXPECT_EQ(p.options.metricshost, "127.0.0.1");
    EXPECT_EQ(p.options.metricsport, 9101);
}

TEST(CliOptions, DefaultsLeaveTheSettingsFileInCharge) {
    const Parsed p = Parse({"localhost"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.seconds, -1);
    EXPECT_EQ(p.options.format, Format::Text);
    EXPECT_EQ(p.options.interval, -1);
    EXPECT_EQ(p.options.datalength, -1);
    EXPECT_EQ(p.options.timeoutms, 2000);
    EXPECT_FALSE(p.options.metrics);
    EXPECT_EQ(p.options.sweep, -1);  // the ordinary pace
}

TEST(CliOptions, SweepTakesItsPeriodInBothForms) {
    for (const auto& args : {std::vector<std::string>{"--sweep", "10", "x"}, std::vector<std::string>{"--sweep=10", "x"}}) {
        const Parsed p = Parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.sweep, 10);
        EXPECT_EQ(p.options.interval, -1);
    }
    EXPECT_EQ(Parse({"--sweep", "36000", "x"}).options.sweep, 36000);
    EXPECT_EQ(Parse({"--sweep", "1", "x"}).options.sweep, 1);
}

TEST(CliOptions, OperandsAreFilesOrAddresses) {
    veltrin::testfiles::TempFolder dir("cliopts");
    veltrin::testfiles::PutFile(dir / "hosts", "127.0.0.1\n");
    const Parsed p = Parse({"-", "list.spl", "LIST.TXT", dir / "hosts", "sub/missing", "127.0.0.1", "localhost",
                            "HTTP://host/path", "--", "--console"});
    ASSERT_TRUE(p.ok) << p.error;
    const std::vector<std::pair<bool, std::string>> expected = {
        {true, "-"},          {true, "list.spl"},   {true, "LIST.TXT"},          {true, dir / "hosts"},
        {true, "sub/missing"}, {false, "127.0.0.1"}, {false, "localhost"}, {false, "HTTP://host/path"},
        {false, "--console"},  // after "--" every argument is an operand
    };
    ASSERT_EQ(p.options.sources.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(p.options.sources[i].isfile, expected[i].first) << expected[i].second;
        EXPECT_EQ(p.options.sources[i].text, expected[i].second);
    }
}

TEST(CliOptions, MistakesGiveAClearMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;  // a part of the message
    };
    const std::vector<Case> cases = {
        {{}, "no file and no address"},
        {{"--bogus", "x"}, "unknown option \"--bogus\""},
        {{"-x", "x"}, "unknown option \"-x\""},
        {{"--seconds"}, "--seconds needs"},
        {{"--seconds", "abc", "x"}, "--seconds: \"abc\" is not a whole number"},
        {{"--seconds", "-1", "x"}, "--seconds: \"-1\""},
        {{"--seconds", "1", "--seconds", "2", "x"}, "--seconds is given twice"},
        {{"--format", "xml", "x"}, "--format: \"xml\" is not one of text, json, csv"},
        {{"--format", "JSON", "x"}, "is not one of"},
        {{"--interval", "0", "x"}, "--interval: \"0\" is not a whole number of 100 ms steps from 1 to 36000"},
        {{"--interval", "36001", "x"}, "--interval"},
        {{"--interval", "1.5", "x"}, "--interval"},
        {{"--sweep", "0", "x"}, "--sweep: \"0\" is not a whole number of 100 ms steps from 1 to 36000"},
        {{"--sweep", "36001", "x"}, "--sweep"},
        {{"--sweep"}, "--sweep needs a period"},
        {{"--sweep", "5", "--sweep", "6", "x"}, "--sweep is given twice"},
        {{"--sweep", "5", "--interval", "6", "x"}, "--interval and --sweep exclude each other"},
        {{"--data-length", "11", "x"}, "--data-length: \"11\" is not a whole number of bytes from 12 to 1024"},
        {{"--data-length", "1025", "x"}, "--data-length"},
        {{"--timeout", "0.05", "x"}, "--timeout: \"0.05\" is not a number of seconds from 0.1 to 60"},
        {{"--timeout", "61", "x"}, "--timeout"},
        {{"--timeout", "1.2345", "x"}, "--timeout"},
        {{"--timeout", "1.", "x"}, "--timeout"},
        {{"--metrics", "9101", "x"}, "--metrics needs ADDRESS:PORT"},
        {{"--metrics", "127.0.0.1:65536", "x"}, "the port must be"},
        {{"--metrics", "example.org:80", "x"}, "is not a dotted IPv4 address"},
        {{"--console=yes", "x"}, "--console takes no value"},
        {{"--console", "--console", "x"}, "--console is given twice"},
        {{"", "x"}, "empty argument"},
        {{std::string(5000, 'a')}, "too long"},
    };
    for (const Case& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_FALSE(p.ok) << c.message;
        EXPECT_NE(p.error.find(c.message), std::string::npos) << "got: " << p.error << "\nwanted: " << c.message;
        EXPECT_EQ(p.error.find('\n'), std::string::npos);
    }
}

TEST(CliOptions, TheWindowProgramsFormNeedsConsole) {
    EXPECT_FALSE(Parse({"127.0.0.1"}, true).ok);
    EXPECT_NE(Parse({"127.0.0.1"}, true).error.find("--console is missing"), std::string::npos);
    EXPECT_TRUE(Parse({"--console", "127.0.0.1"}, true).ok);
    EXPECT_TRUE(Parse({"127.0.0.1", "--console"}, true).ok);
    EXPECT_TRUE(Parse({"--console", "127.0.0.1"}, false).ok);
}

TEST(CliOptions, HelpAndVersionNeedNothingElse) {
    EXPECT_TRUE(Parse({"--help"}).options.help);
    EXPECT_TRUE(Parse({"-h"}, true).options.help);
    EXPECT_TRUE(Parse({"--version"}).options.version);
    EXPECT_FALSE(Parse({"--help", "--bogus"}).ok);  // a mistake is still a mistake
}

TEST(CliOptions, ControlCharactersStayOutOfMessages) {
    const Parsed p = Parse({"--format", "a\x1b[2Jb", "x"});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.error.find('\x1b'), std::string::npos) << p.error;
}

TEST(CliOptions, ListenAddresses) {
    struct Case {
        std::string text;
        bool ok;
        std::string host;
        int port;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:9101", true, "127.0.0.1", 9101}, {":9101", true, "127.0.0.1", 9101},
        {"localhost:0", true, "127.0.0.1", 0},       {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"127.000.0.1:1", false, "", 0},             {"127.0.0.1", false, "", 0},
        {"127.0.0.1:", false, "", 0},                {"127.0.0.1:-1", false, "", 0},
        {"127.0.0.1:+1", false, "", 0},              {"[::1]:9101", false, "", 0},
        {"127.0.0.1:99999999999999999999999", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host, error;
        std::uint16_t port = 0;
        EXPECT_EQ(veltrin::cli::ParseListenAddress(c.text, host, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

TEST(CliOptions, SecondsWithUpToThreeDecimals) {
    const std::vector<std::pair<std::string, long long>> good = {{"0", 0}, {"2", 2000}, {"0.5", 500}, {"0.25", 250},
                                                                 {"1.001", 1001}, {"60", 60000}};
    for (const auto& [text, ms] : good) {
        long long v = -1;
        EXPECT_TRUE(veltrin::cli::ParseSecondsMs(text, v)) << text;
        EXPECT_EQ(v, ms) << text;
    }
    for (const std::string bad : {"", ".", ".5", "1.", "1.0001", "-1", "1e3", "0x10", "1,5", " 1"}) {
        long long v = 0;
        EXPECT_FALSE(veltrin::cli::ParseSecondsMs(bad, v)) << bad;
    }
}

}  // namespace
