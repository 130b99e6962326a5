// Base64 (RFC 4648) and the comma-joined form of a list of lines.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/global_unit.h"

using namespace veltrin;
using namespace std::string_literals;

TEST(Base64, Rfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, coded] : vectors) {
        EXPECT_EQ(Base64Encode(plain), coded) << plain;
        EXPECT_EQ(Base64Decode(coded), plain) << coded;
    }
}

TEST(Base64, EveryByteAndLengthRoundTrips) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
    EXPECT_EQ(Base64Encode("\xff\xfe\xfd"s), "//79");
    EXPECT_EQ(Base64Encode("\xfb\xff"s), "+/8=");
    std::mt19937 random(5);
    for (int length = 0; length < 64; ++length) {
        std::string text;
        for (int i = 0; i < length; ++i) text += static_cast<char>(random() & 0xFF);
        const std::string coded = Base64Encode(text);
        EXPECT_EQ(coded.size(), static_cast<std::size_t>((length + 2) / 3 * 4));
        EXPECT_EQ(coded.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(Base64Decode(coded), text);
    }
}

TEST(Base64, AcceptsOnlyCanonicalText) {
    const std::pair<std::string, std::string> good[] = {
        {"dXNlcg==", "user"}, {"cGFzcw==", "pass"}, {"AAAA", "\0\0\0"s}, {"+/+/", "\xfb\xff\xbf"s},
    };
    for (const auto& [coded, plain] : good) EXPECT_EQ(Base64Decode(coded), plain) << coded;
}

// Anything that is not strict Base64 decodes to nothing: no byte is made up from junk.
TEST(Base64, JunkDecodesToNothing) {
    const std::string junk[] = {
        "====", "=AAA", "A=AA", "A===", "AA=A",     // pads where no pad may stand
        "Zg==Zm8=", "Zm8=Zm9v",                     // a pad before the last group
        "Z", "Zg", "Zg=", "Zm9vY", "Zm9vYmE", "Zm9vYmFyZ",  // partial groups
        "Zm9v Zm9v", "Zm9vYmFy\r\n", "Zm9v\nYmFy", "Zm$v", "Zm9vYm\0y"s, "Zm9v\xc3\xa9YmE="s,
        "-_-_",                                     // the URL-safe alphabet is not this one
        "Zh==", "Zm9=",                             // bits left over by the pad are not zero
        " dXNlcg==", "dXNlcg== ",
    };
    for (const std::string& coded : junk)
        EXPECT_EQ(Base64Decode(coded), "") << testing::PrintToString(coded);
}

TEST(JoinCommaText, Table) {
    const struct {
        std::vector<std::string> lines;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{""}, "\"\""},
        {{"", ""}, ","},
        {{"a", ""}, "a,"},
        {{"word", "two words"}, "word,\"two words\""},
        {{"plain"}, "plain"},
        {{"a,b"}, "\"a,b\""},
        {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
        {{"x\"y"}, "\"x\"\"y\""},
        {{"tab\there"}, "\"tab\there\""},
        {{"cr\r"}, "\"cr\r\""},
        {{"a\0b"s}, "\"a\0b\""s},
        {{"\x1f"}, "\"\x1f\""},
        {{"\x7f"}, "\x7f"},
        {{"\xe9t\xe9"}, "\xe9t\xe9"},
        {{"127.0.0.1_   TTL  Timeout     \r", "next"}, "\"127.0.0.1_   TTL  Timeout     \r\",next"},
        {{"'single'", "semi;colon"}, "'single',semi;colon"},
    };
    for (const auto& c : cases) EXPECT_EQ(JoinCommaText(c.lines), c.text) << testing::PrintToString(c.lines);
}
