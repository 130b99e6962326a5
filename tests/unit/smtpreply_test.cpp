#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/smtpreply.h"

namespace veltrin {
namespace {

struct TraceCase {
    const char* name;
    std::vector<std::string> pieces;  // server bytes, fed one piece at a time
    int code;
    const char* last;
};

TEST(SmtpReplyTrace, CollectsTheLastCompleteReply) {
    const TraceCase cases[] = {
        {"one line", {"535 5.7.8 Authentication credentials invalid\r\n"}, 535,
         "535 5.7.8 Authentication credentials invalid"},
        {"multi-line joined", {"250-first\r\n250-second\r\n250 last\r\n"}, 250, "250 first second last"},
        {"split anywhere", {"55", "0 no such", " user\r", "\n"}, 550, "550 no such user"},
        {"bare LF", {"421 closing\n"}, 421, "421 closing"},
        {"code only", {"354\r\n"}, 354, "354"},
        {"not a reply line", {"hello there\r\n", "2x0 odd\r\n"}, 0, ""},
        {"unfinished line waits", {"550 never ended"}, 0, ""},
        {"later reply wins", {"220 ready\r\n", "503 bad sequence\r\n"}, 503, "503 bad sequence"},
    };
    for (const auto& c : cases) {
        SmtpReplyTrace trace;
        for (const auto& piece : c.pieces) trace.Feed(piece.data(), piece.size());
        EXPECT_EQ(trace.lastcode(), c.code) << c.name;
        EXPECT_EQ(trace.last(), c.last) << c.name;
    }
}

TEST(SmtpReplyTrace, TheReplyToQuitDoesNotHideARefusal) {
    SmtpReplyTrace trace;
    const std::string refusal = "550 5.1.1 mailbox unavailable\r\n";
    trace.Feed(refusal.data(), refusal.size());
    trace.Sent("QUIT\r\n", 6);
    const std::string bye = "221 bye\r\n";
    trace.Feed(bye.data(), bye.size());
    EXPECT_EQ(trace.lastcode(), 550);
    EXPECT_EQ(trace.last(), "550 5.1.1 mailbox unavailable");
}

TEST(SmtpReplyTrace, EndlessLinesAndRepliesStayBounded) {
    SmtpReplyTrace trace;
    const std::string longline = "554-" + std::string(100000, 'x') + "\r\n";
    for (int i = 0; i < 50; ++i) trace.Feed(longline.data(), longline.size());
    trace.Feed("554 end\r\n", 9);
    EXPECT_EQ(trace.lastcode(), 554);
    EXPECT_LE(trace.last().size(), 2 * kMaxSmtpReplyLength + 8);
    EXPECT_LE(OneLine(trace.last()).size(), kMaxResultLength);
}

TEST(OneLine, FoldsControlsAndBlanks) {
    EXPECT_EQ(OneLine("  Failed\tto\r\nconnect  "), "Failed to connect");
    EXPECT_EQ(OneLine(std::string("a\0b", 3)), "a b");
    EXPECT_EQ(OneLine(""), "");
    EXPECT_EQ(OneLine(std::string(2000, 'y')).size(), kMaxResultLength);
}

}  // namespace
}  // namespace veltrin
