// The reachability keys of the settings file: defaults, ranges, a save that keeps every other
// line, and a round trip.
#include <gtest/gtest.h>

#include <string>

#include "unit/testfiles.h"

#include "settings/settingsfile.h"

using namespace veltrin;
using namespace veltrin::testfiles;

namespace {

ReachSettings LoadText(const TempFolder& dir, const std::string& text) {
    PutFile(dir / "k.ini", text);
    // Start from values unlike every default, so a key the loader forgets shows.
    ReachSettings out{77, 77, false, true};
    LoadReachSettings(dir / "k.ini", out);
    return out;
}

}  // namespace

TEST(ReachSettings, MissingFileGivesTheDefaults) {
    TempFolder dir;
    ReachSettings out{1, 1, false, true};
    LoadReachSettings(dir / "absent.ini", out);
    EXPECT_EQ(out.timeoutms, 2000);
    EXPECT_EQ(out.lostcount, 2);
    EXPECT_TRUE(out.notifications);
    EXPECT_FALSE(out.mailalert);
}

TEST(ReachSettings, ReadsEachKeyAndRefusesValuesOutsideTheirRange) {
    struct Case {
        const char* text;
        std::int32_t timeout, lost;
        bool notify, mail;
    } const cases[] = {
        {"[Reachability]\ntimeout=500\nlostcount=5\nnotifications=0\nmailalert=1\n", 500, 5, false, true},
        {"[Reachability]\ntimeout=99\nlostcount=0\nnotifications=2\nmailalert=-1\n", 2000, 2, true, false},
        {"[Reachability]\ntimeout=600001\nlostcount=1001\n", 2000, 2, true, false},
        {"[Reachability]\ntimeout=600000\nlostcount=1000\n", 600000, 1000, true, false},
        {"[Reachability]\ntimeout=abc\nlostcount=3x\n", 2000, 2, true, false},
        {"[Ping setting]\ntimeout=500\nlostcount=5\n", 2000, 2, true, false},  // other section
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TempFolder dir;
        const ReachSettings r = LoadText(dir, c.text);
        EXPECT_EQ(r.timeoutms, c.timeout);
        EXPECT_EQ(r.lostcount, c.lost);
        EXPECT_EQ(r.notifications, c.notify);
        EXPECT_EQ(r.mailalert, c.mail);
    }
}

TEST(ReachSettings, SaveKeepsOtherLinesAndRoundTrips) {
    TempFolder dir;
    const std::string path = dir / "k.ini";
    PutFile(path, "[Ping setting]\ninterval=7\n; a comment\n[mailsetting]\nsendto=a@localhost\n");
    ASSERT_TRUE(SaveReachSettings(path, ReachSettings{3500, 4, false, true}));
    ReachSettings back;
    LoadReachSettings(path, back);
    EXPECT_EQ(back.timeoutms, 3500);
    EXPECT_EQ(back.lostcount, 4);
    EXPECT_FALSE(back.notifications);
    EXPECT_TRUE(back.mailalert);
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("interval=7"), std::string::npos);
    EXPECT_NE(text.find("; a comment"), std::string::npos);
    EXPECT_NE(text.find("sendto=a@localhost"), std::string::npos);

    // Out-of-range values are pinned, never stored as something the loader would refuse.
    ASSERT_TRUE(SaveReachSettings(path, ReachSettings{1, 0, true, false}));
    LoadReachSettings(path, back);
    EXPECT_EQ(back.timeoutms, kMinReachTimeoutMs);
    EXPECT_EQ(back.lostcount, kMinReachLostCount);
}
