#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "settings/probehost.h"

namespace veltrin {
namespace {

TEST(ProbeHostSetting, ValuesFromTheText) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"", kDefaultProbeHost},
        {"[Ping setting]\r\ninterval=3\r\n", kDefaultProbeHost},
        {"[Ping setting]\r\nprobehost=127.0.0.1\r\n", "127.0.0.1"},
        {"[ping SETTING]\nPROBEHOST = localhost \n", "localhost"},
        {"[mailsetting]\nprobehost=127.0.0.9\n[Ping setting]\ninterval=3\n", kDefaultProbeHost},
        {"[Ping setting]\nprobehost=\"127.0.0.3\"\n", "127.0.0.3"},
        // There but empty: the user turned the check off.
        {"[Ping setting]\nprobehost=\n", ""},
        {"[Ping setting]\nprobehost = \"\" \n", ""},
        // The first entry decides.
        {"[Ping setting]\nprobehost=127.0.0.4\nprobehost=127.0.0.5\n", "127.0.0.4"},
        // Not a host name: option-like, blanks inside, shell characters, a URL.
        {"[Ping setting]\nprobehost=-x\n", kDefaultProbeHost},
        {"[Ping setting]\nprobehost=a b\n", kDefaultProbeHost},
        {"[Ping setting]\nprobehost=x;rm -rf /\n", kDefaultProbeHost},
        {"[Ping setting]\nprobehost=http://127.0.0.1/\n", kDefaultProbeHost},
        {"[Ping setting]\nprobehost=a\\x00b\n", kDefaultProbeHost},
        {"probehost=127.0.0.6\n", kDefaultProbeHost},  // outside any section
    };
    for (const auto& c : cases) EXPECT_EQ(ProbeHostFromText(c.text), c.expected) << c.text;
}

TEST(ProbeHostSetting, OverlongValueFallsBack) {
    const std::string text = "[Ping setting]\nprobehost=" + std::string(300, 'a') + "\n";
    EXPECT_EQ(ProbeHostFromText(text), kDefaultProbeHost);
    const std::string fits = std::string(63, 'b') + "." + std::string(63, 'c');
    EXPECT_EQ(ProbeHostFromText("[Ping setting]\nprobehost=" + fits + "\n"), fits);
}

TEST(ProbeHostSetting, AnyBytesSurvive) {
    std::string text = "[Ping setting]\nprobehost=";
    for (int i = 0; i < 4096; ++i) text.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    const std::string got = ProbeHostFromText(text);
    EXPECT_FALSE(got.empty());
}

TEST(ProbeHostSetting, FromFile) {
    ::unsetenv(kProbeHostVariable);  // the file alone first
    char dir[] = "/tmp/probehostXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/korbel setting.ini";
    EXPECT_EQ(LoadProbeHost(path), kDefaultProbeHost);  // missing file
    {
        std::ofstream out(path, std::ios::binary);
        out << "[mailsetting]\r\nsmtpserver=127.0.0.1\r\n[Ping setting]\r\ndatalength=8\r\nprobehost=127.0.0.7\r\n";
    }
    EXPECT_EQ(LoadProbeHost(path), "127.0.0.7");
    // The environment takes precedence when it names a usable host, else the file counts.
    ::setenv(kProbeHostVariable, " 127.0.0.8 ", 1);
    EXPECT_EQ(LoadProbeHost(path), "127.0.0.8");
    ::setenv(kProbeHostVariable, "-oops", 1);
    EXPECT_EQ(LoadProbeHost(path), "127.0.0.7");
    ::unsetenv(kProbeHostVariable);
    EXPECT_EQ(LoadProbeHost(dir), kDefaultProbeHost);  // a directory, not a file
    std::remove(path.c_str());
    ::rmdir(dir);
}

// The settings file is read like the other settings: a FIFO in its place (nobody writing) must not
// hold start-up, and a file larger than any settings file gives the default as for the rest.
TEST(ProbeHostSetting, SpecialAndOversizedFilesGiveTheDefault) {
    ::unsetenv(kProbeHostVariable);
    char dir[] = "/tmp/probehostXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(LoadProbeHost(fifo), kDefaultProbeHost);  // returns at once instead of waiting for a writer
    const std::string big = std::string(dir) + "/big.ini";
    {
        std::ofstream out(big, std::ios::binary);
        out << "[Ping setting]\nprobehost=127.0.0.7\n" << std::string((1u << 20) + 1, ';');
    }
    EXPECT_EQ(LoadProbeHost(big), kDefaultProbeHost);
    std::remove(fifo.c_str());
    std::remove(big.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace veltrin
