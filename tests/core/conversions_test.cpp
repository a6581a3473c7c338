#include "core/conversions.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(ConversionsTest, TextToIntegerReadsLikeAStream)
{
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
    { "", 0 }, { "   ", 0 }, { "abc", 0 }, { "12abc", 12 }, { " 8080", 8080 }, { "-5", -5 }, { "+7", 7 },
    { "99999999999", 2147483647 }, { "-99999999999", -2147483647 - 1 }, { "1.9", 1 }, { "\t\n42", 42 },
  };
  for (const Case& c : cases)
    EXPECT_EQ(stringToInt(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ConversionsTest, WideTypesAndDoubles)
{
  EXPECT_EQ(stringToLong("-9223372036854775808"), std::numeric_limits<long>::min());
  EXPECT_EQ(stringToLong("99999999999999999999"), std::numeric_limits<long>::max());
  EXPECT_EQ(stringToLongInt("18446744073709551615"), std::numeric_limits<unsigned long>::max());
  EXPECT_EQ(stringToLongInt("99999999999999999999"), std::numeric_limits<unsigned long>::max());
  EXPECT_EQ(stringToLongLongInt("123x"), 123ull);
  EXPECT_EQ(stringToUnsignedInt("4294967295"), 4294967295u);
  EXPECT_EQ(stringToUnsignedInt("junk"), 0u);
  EXPECT_DOUBLE_EQ(stringToDouble("2.5x"), 2.5);
  EXPECT_DOUBLE_EQ(stringToDouble("1e3"), 1000.0);
  EXPECT_DOUBLE_EQ(stringToDouble("x"), 0.0);
}

TEST(ConversionsTest, NumberToText)
{
  EXPECT_EQ(intToString(-42), "-42");
  EXPECT_EQ(longToString(-9000000000L), "-9000000000");
  EXPECT_EQ(longIntToString(7), "7");
  EXPECT_EQ(unsignedLongIntToString(std::numeric_limits<unsigned long>::max()), "18446744073709551615");
  EXPECT_EQ(unsignedLongLongIntToString(0), "0");
  EXPECT_EQ(doubleToString(0.5), "0.5");
  EXPECT_EQ(doubleToString(1234567), "1.23457e+06");
  EXPECT_EQ(doubleToString(3), "3");
}

TEST(ConversionsTest, IPv4FromItsIntegerForm)
{
  IP ip;
  EXPECT_EQ(ip.ipFromNumber(192ul * 16777216 + 168 * 65536 + 1 * 256 + 1), "192.168.1.1");
  EXPECT_EQ(ip.ipFromNumber(0), "0.0.0.0");
  EXPECT_EQ(ip.ipFromNumber(4294967295ul), "255.255.255.255");
  EXPECT_EQ(ip.ipFromNumber(10ul * 16777216 + 5), "10.0.0.5");
}

} // namespace
