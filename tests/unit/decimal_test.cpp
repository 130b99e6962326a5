// The one decimal-integer rule and the interval rules built on it, as one table.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "engine/decimal.h"

using namespace veltrin;

namespace {

struct Case {
    const char* text;
    bool parses;
    std::int32_t value;   // when it parses
    int monitor;          // MonitorInterval
    int detail;           // DetailInterval
};

const Case kCases[] = {
    {"5", true, 5, 5, 5},
    {"+5", true, 5, 5, 5},
    {"-5", true, -5, 3, 3},
    {"0", true, 0, 3, 0},
    {"-0", true, 0, 3, 0},
    {"+0", true, 0, 3, 0},
    {"00012", true, 12, 12, 12},
    {"2147483647", true, 2147483647, 2147483647, 2147483647},
    {"-2147483648", true, INT32_MIN, 3, 3},
    {"2147483648", false, 0, 3, 3},
    {"-2147483649", false, 0, 3, 3},
    {"99999999999999999999", false, 0, 3, 3},
    {"", false, 0, 3, 3},
    {"+", false, 0, 3, 3},
    {"-", false, 0, 3, 3},
    {"+-3", false, 0, 3, 3},
    {"-+3", false, 0, 3, 3},
    {"++3", false, 0, 3, 3},
    {" 5", false, 0, 3, 3},
    {"5 ", false, 0, 3, 3},
    {"5a", false, 0, 3, 3},
    {"0x10", false, 0, 3, 3},
    {"1,000", false, 0, 3, 3},
    {"1.5", false, 0, 3, 3},
    {"\xd9\xa3", false, 0, 3, 3},  // an Arabic-Indic digit is no digit here
};

}  // namespace

TEST(Decimal, Table) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        std::int32_t value = 77;
        EXPECT_EQ(ParseDecimal(c.text, value), c.parses);
        EXPECT_EQ(value, c.parses ? c.value : 77);  // untouched on failure
        EXPECT_EQ(DecimalOr(c.text, -9), c.parses ? c.value : -9);
        EXPECT_EQ(MonitorInterval(c.text), c.monitor);
        EXPECT_EQ(DetailInterval(c.text), c.detail);
    }
}

TEST(Decimal, EmbeddedZeroByteIsNotADigit) {
    std::int32_t value = 0;
    EXPECT_FALSE(ParseDecimal(std::string("12\0" "3", 4), value));
}
