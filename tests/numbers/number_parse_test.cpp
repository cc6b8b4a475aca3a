// Checked base-10 parsing, range parsing, conversions and formatting.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "stavoc_numbers.h"

TEST(SignedParse, AcceptsTheWholeInt64Range) {
  int64_t value = 0;
  ASSERT_EQ(sv_i64_parse_base10("9223372036854775807", &value), 1);
  EXPECT_EQ(value, INT64_MAX);
  ASSERT_EQ(sv_i64_parse_base10("-9223372036854775808", &value), 1);
  EXPECT_EQ(value, INT64_MIN);
  ASSERT_EQ(sv_i64_parse_base10("+000042", &value), 1);
  EXPECT_EQ(value, 42);
  ASSERT_EQ(sv_i64_parse_base10("-0", &value), 1);
  EXPECT_EQ(value, 0);
}

TEST(SignedParse, RejectsOverflowAndMalformedTextWithoutWriting) {
  const char *bad[] = {"9223372036854775808",
                       "-9223372036854775809",
                       "99999999999999999999",
                       "",
                       "-",
                       "+",
                       " 1",
                       "1 ",
                       "1e3",
                       "0x10",
                       "1_000",
                       "1.0",
                       "--1",
                       "+-1",
                       "1-",
                       "\t1"};
  for (const char *text : bad) {
    int64_t value = 7;
    long as_long = 7;
    EXPECT_EQ(sv_i64_parse_base10(text, &value), 0) << text;
    EXPECT_EQ(sv_parse_long_base10_checked(text, &as_long), 0) << text;
    EXPECT_EQ(value, 7) << text;
    EXPECT_EQ(as_long, 7) << text;
  }
  int64_t value = 0;
  EXPECT_EQ(sv_i64_parse_base10(nullptr, &value), 0);
  EXPECT_EQ(sv_i64_parse_base10("1", nullptr), 0);
  EXPECT_EQ(sv_parse_long_base10_checked("1", nullptr), 0);
}

TEST(SignedParse, Int32NarrowsWithRangeCheck) {
  int32_t value = 5;
  EXPECT_EQ(sv_parse_int_base10_checked("2147483648", &value), 0);
  EXPECT_EQ(value, 5);
  ASSERT_EQ(sv_parse_int_base10_checked("-2147483648", &value), 1);
  EXPECT_EQ(value, INT32_MIN);
  ASSERT_EQ(sv_parse_int_base10_checked("2147483647", &value), 1);
  EXPECT_EQ(value, INT32_MAX);
  EXPECT_EQ(sv_parse_int_base10_checked("-2147483649", &value), 0);
}

TEST(UnsignedParse, AcceptsTheWholeUint64RangeAndRefusesMinus) {
  uint64_t value = 0;
  ASSERT_EQ(sv_u64_parse_base10("18446744073709551615", &value), 1);
  EXPECT_EQ(value, UINT64_MAX);
  ASSERT_EQ(sv_u64_parse_base10("+7", &value), 1);
  EXPECT_EQ(value, 7u);
  const char *bad[] = {"18446744073709551616", "-0", "-1", "", "+", "1.5", " 2"};
  for (const char *text : bad) {
    uint64_t u = 9;
    unsigned long ul = 9;
    size_t size = 9;
    EXPECT_EQ(sv_u64_parse_base10(text, &u), 0) << text;
    EXPECT_EQ(sv_parse_ulong_base10_checked(text, &ul), 0) << text;
    EXPECT_EQ(sv_parse_size_base10_checked(text, &size), 0) << text;
    EXPECT_EQ(u, 9u);
    EXPECT_EQ(ul, 9u);
    EXPECT_EQ(size, 9u);
  }
}

TEST(Parse, AgreesWithAReferenceOnRandomValues) {
  std::mt19937_64 random(1234);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t bits = random();
    const int64_t expected = static_cast<int64_t>(bits >> (random() % 64));
    const int64_t signed_value = (random() & 1) ? expected : -expected;
    const std::string text = std::to_string(signed_value);
    int64_t parsed = 0;
    ASSERT_EQ(sv_i64_parse_base10(text.c_str(), &parsed), 1) << text;
    ASSERT_EQ(parsed, signed_value);
    char formatted[32];
    ASSERT_EQ(sv_i64_format_base10(signed_value, formatted, sizeof(formatted)),
              static_cast<int>(text.size()));
    ASSERT_EQ(text, formatted);
    uint64_t unsigned_value = 0;
    const std::string utext = std::to_string(bits);
    ASSERT_EQ(sv_u64_parse_base10(utext.c_str(), &unsigned_value), 1);
    ASSERT_EQ(unsigned_value, bits);
  }
}

TEST(RangeParse, TrimsSpaceTabCrLfOnly) {
  long value = 0;
  const char text[] = " 42\r\n";
  ASSERT_EQ(sv_parse_long_base10_range_checked(text, std::strlen(text), &value), 1);
  EXPECT_EQ(value, 42);
  unsigned long uvalue = 0;
  const char header[] = "\t17 \tjunk-after-range";
  ASSERT_EQ(sv_parse_ulong_base10_range_checked(header, 5, &uvalue), 1) << "only the range counts";
  EXPECT_EQ(uvalue, 17u);
  const char vertical_tab[] = "\v42";
  EXPECT_EQ(sv_parse_long_base10_range_checked(vertical_tab, 3, &value), 0);
  EXPECT_EQ(sv_parse_long_base10_range_checked("   ", 3, &value), 0);
  EXPECT_EQ(sv_parse_long_base10_range_checked("", 0, &value), 0);
  EXPECT_EQ(sv_parse_long_base10_range_checked(nullptr, 0, &value), 0);
  EXPECT_EQ(sv_parse_ulong_base10_range_checked(" -1 ", 4, &uvalue), 0);
}

TEST(RangeParse, SixtyThreeCharactersAtMost) {
  const std::string zeros63(63, '0');
  const std::string zeros64(64, '0');
  long value = 99;
  ASSERT_EQ(sv_parse_long_base10_range_checked(zeros63.data(), zeros63.size(), &value), 1);
  EXPECT_EQ(value, 0);
  value = 99;
  EXPECT_EQ(sv_parse_long_base10_range_checked(zeros64.data(), zeros64.size(), &value), 0);
  EXPECT_EQ(value, 99);
  const std::string padded = "  " + zeros63 + "  ";
  EXPECT_EQ(sv_parse_long_base10_range_checked(padded.data(), padded.size(), &value), 1);
}

TEST(Conversions, CheckRangeAndOutput) {
  int32_t narrow = 3;
  EXPECT_EQ(sv_i64_to_int_checked(2147483648LL, &narrow), 0);
  EXPECT_EQ(narrow, 3);
  EXPECT_EQ(sv_i64_to_int_checked(-2147483649LL, &narrow), 0);
  ASSERT_EQ(sv_i64_to_int_checked(-2147483648LL, &narrow), 1);
  EXPECT_EQ(narrow, INT32_MIN);
  EXPECT_EQ(sv_i64_to_int_checked(1, nullptr), 0);
  long wide = 0;
  ASSERT_EQ(sv_i64_to_long_checked(INT64_MIN, &wide), 1);
  EXPECT_EQ(wide, LONG_MIN);
  EXPECT_EQ(sv_i64_to_long_checked(1, nullptr), 0);
  unsigned long uwide = 0;
  ASSERT_EQ(sv_u64_to_ulong_checked(UINT64_MAX, &uwide), 1);
  EXPECT_EQ(uwide, ULONG_MAX);
  size_t size = 0;
  ASSERT_EQ(sv_u64_to_size_checked(UINT64_MAX, &size), 1);
  EXPECT_EQ(size, SIZE_MAX);
  EXPECT_EQ(sv_u64_to_size_checked(1, nullptr), 0);
}

TEST(Format, ExactCapacityAndExtremes) {
  char buffer[4];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(sv_i64_format_base10(-12, buffer, 4), 3);
  EXPECT_STREQ(buffer, "-12");
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(sv_i64_format_base10(-12, buffer, 3), -1);
  EXPECT_EQ(buffer[0], 'x') << "nothing is written on failure";
  EXPECT_EQ(sv_i64_format_base10(0, buffer, 2), 1);
  EXPECT_STREQ(buffer, "0");
  EXPECT_EQ(sv_i64_format_base10(5, nullptr, 8), -1);
  EXPECT_EQ(sv_i64_format_base10(5, buffer, 0), -1);
  char wide[21];
  EXPECT_EQ(sv_i64_format_base10(INT64_MIN, wide, sizeof(wide)), 20);
  EXPECT_STREQ(wide, "-9223372036854775808");
  EXPECT_EQ(sv_i64_format_base10(INT64_MIN, wide, 20), -1);
  EXPECT_EQ(sv_i64_format_base10(INT64_MAX, wide, sizeof(wide)), 19);
  EXPECT_STREQ(wide, "9223372036854775807");
}
