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

TEST(Base64, DecodesWholeGroupsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"Z", ""},           {"Zg", ""},          {"Zg=", ""},            // shorter than one group
        {"Zm9vY", "foo"},    {"Zm9vYg", "foo"},   {"Zm9vYmE", "foo"},     // the partial group is ignored
        {"Zm9vYmFyZ", "foobar"},
        {"Zg==Zm8=", "ffo"},                                              // a pad ends only its own group
        {"Zm8=Zm9v", "fofoo"},
        {"dXNlcg==", "user"},
    };
    for (const auto& [coded, plain] : cases) EXPECT_EQ(Base64Decode(coded), plain) << coded;
}

TEST(Base64, ByteOutsideAlphabetEndsDecoding) {
    const std::pair<std::string, std::string> cases[] = {
        {"Zm9v Zm9v", "foo"},       // the group " Zm9" holds a blank
        {"Zm9vYmFy\r\n", "foobar"}, // trailing line break: a partial group anyway
        {"Zm9v\nYmFy", "foo"},
        {"Zm$v", ""},
        {"Zm9vYm\0y"s, "foo"},
        {"Zm9v\xc3\xa9YmE="s, "foo"},
        {"-_-_", ""},               // the URL-safe alphabet is not this one
    };
    for (const auto& [coded, plain] : cases) EXPECT_EQ(Base64Decode(coded), plain) << testing::PrintToString(coded);
}

TEST(Base64, PadsInFirstPlacesGiveDefinedBytes) {
    // "=" has the value 64; only its low bits reach the output.
    EXPECT_EQ(Base64Decode("===="), "\x04"s);
    EXPECT_EQ(Base64Decode("=AAA"), "\0\0\0"s);
    EXPECT_EQ(Base64Decode("A=AA"), "\x04\0\0"s);
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
