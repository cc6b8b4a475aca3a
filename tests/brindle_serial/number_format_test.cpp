// Number text: doubles as printf's "%.17g" would write them, integers at their limits.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "json/core/serializer_internal.h"

namespace {

std::string printf_text(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

std::string formatted(double value) {
  char text[BRINDLE_NUMBER_ROOM];
  char *end = brindle__format_f64(text, value);
  return end == nullptr ? "<failed>" : std::string(text, end);
}

TEST(NumberFormat, DoublesMatchPrintfOnSpecialValues) {
  const double values[] = {0.0,
                           -0.0,
                           0.1,
                           1.0,
                           -1.0,
                           1e16,
                           1e17,
                           123456789012345678.0,
                           1e-4,
                           1e-5,
                           0.00012345,
                           5e-324,
                           DBL_MIN,
                           DBL_MAX,
                           -DBL_MAX,
                           std::nextafter(1.0, 2.0),
                           std::nextafter(0.1, 1.0),
                           9007199254740993.0,
                           2.5,
                           0.3,
                           1.0 / 3.0,
                           100.0,
                           1e21,
                           1e22,
                           4.35,
                           0.5e-300};
  for (double value : values)
    EXPECT_EQ(formatted(value), printf_text(value)) << value;
  EXPECT_EQ(formatted(0.1), "0.10000000000000001");
}

// Random bit patterns cover every exponent; uniform values in ordinary ranges cover rounding.
TEST(NumberFormat, DoublesMatchPrintfOnRandomValues) {
  std::mt19937_64 random(20240611);
  std::uniform_real_distribution<double> ordinary(-1e6, 1e6);
  size_t checked = 0;
  for (int i = 0; i < 200000; ++i) {
    uint64_t bits = random();
    double value = 0;
    std::memcpy(&value, &bits, sizeof(value));
    if (!std::isfinite(value)) continue;
    ASSERT_EQ(formatted(value), printf_text(value)) << std::hexfloat << value;
    ++checked;
    const double near = ordinary(random);
    ASSERT_EQ(formatted(near), printf_text(near)) << std::hexfloat << near;
    const double integral = std::round(near);
    ASSERT_EQ(formatted(integral), printf_text(integral));
  }
  EXPECT_GT(checked, 190000u);
}

// Values next to powers of ten (where the digit count changes), exact halves at the 18th digit
// (ties round to even), and every binary exponent from 1e-12 to 1e18 with random mantissas:
// the range where the fast digit path runs and its edges.
TEST(NumberFormat, DoublesMatchPrintfAroundDigitAndRoundingEdges) {
  for (int exponent = -13; exponent <= 19; ++exponent) {
    const double power = std::pow(10.0, exponent);
    double value = power;
    for (int step = 0; step < 40; ++step)
      value = std::nextafter(value, 0.0);
    for (int step = 0; step < 80; ++step) {
      ASSERT_EQ(formatted(value), printf_text(value)) << std::hexfloat << value;
      ASSERT_EQ(formatted(-value), printf_text(-value)) << std::hexfloat << value;
      value = std::nextafter(value, 1e300);
    }
  }
  // 1234567890123456.25 needs 18 digits: the last one is an exact 5 and rounds to the even 2;
  // .75 rounds up to 8.
  const double ties[] = {1234567890123456.25, 1234567890123456.75, 2251799813685248.5,
                         2251799813685249.5,  4503599627370495.5,  144115188075855875.0,
                         144115188075855880.0};
  for (double value : ties)
    EXPECT_EQ(formatted(value), printf_text(value)) << std::hexfloat << value;
  EXPECT_EQ(formatted(1234567890123456.25), "1234567890123456.2");
  EXPECT_EQ(formatted(1234567890123456.75), "1234567890123456.8");
  std::mt19937_64 random(77);
  for (int top = -40; top <= 60; ++top) {
    for (int i = 0; i < 2000; ++i) {
      const double mantissa = 1.0 + static_cast<double>(random() >> 12) * 0x1p-52;
      const double value = std::ldexp(mantissa, top);
      ASSERT_EQ(formatted(value), printf_text(value)) << std::hexfloat << value;
    }
  }
}

TEST(NumberFormat, IntegersAtTheirLimits) {
  char text[BRINDLE_NUMBER_ROOM];
  EXPECT_EQ(std::string(text, brindle__format_i64(text, std::numeric_limits<int64_t>::min())),
            "-9223372036854775808");
  EXPECT_EQ(std::string(text, brindle__format_i64(text, std::numeric_limits<int64_t>::max())),
            "9223372036854775807");
  EXPECT_EQ(std::string(text, brindle__format_i64(text, -1)), "-1");
  EXPECT_EQ(std::string(text, brindle__format_u64(text, std::numeric_limits<uint64_t>::max())),
            "18446744073709551615");
  EXPECT_EQ(std::string(text, brindle__format_u64(text, 0)), "0");
}

// Integers are written in groups of eight digits: every digit count and the values around each
// group boundary, signed and unsigned, against printf.
TEST(NumberFormat, IntegersOfEveryLengthMatchPrintf) {
  char text[BRINDLE_NUMBER_ROOM];
  char expected[32];
  std::vector<uint64_t> values;
  uint64_t power = 1;
  for (int digits = 0; digits < 20; ++digits) {
    for (uint64_t delta : {0ull, 1ull, 2ull, 99ull}) {
      values.push_back(power + delta);
      values.push_back(power - delta);
    }
    values.push_back(power * 9);
    if (digits < 19) power *= 10;
  }
  std::mt19937_64 random(3);
  for (int i = 0; i < 20000; ++i)
    values.push_back(random() >> (random() % 64));
  for (uint64_t value : values) {
    std::snprintf(expected, sizeof(expected), "%llu", static_cast<unsigned long long>(value));
    ASSERT_EQ(std::string(text, brindle__format_u64(text, value)), expected);
    const int64_t signed_value = static_cast<int64_t>(value);
    std::snprintf(expected, sizeof(expected), "%lld", static_cast<long long>(signed_value));
    ASSERT_EQ(std::string(text, brindle__format_i64(text, signed_value)), expected);
    std::snprintf(expected, sizeof(expected), "%lld", static_cast<long long>(-signed_value));
    if (signed_value != std::numeric_limits<int64_t>::min()) {
      ASSERT_EQ(std::string(text, brindle__format_i64(text, -signed_value)), expected);
    }
  }
}

TEST(NumberFormat, Base64GroupsAndPadding) {
  const unsigned char bytes[] = {'M', 'a', 'n', 'M', 'a'};
  char out[8];
  EXPECT_EQ(std::string(out, brindle__base64_groups(bytes, 3, out)), "TWFu");
  brindle__base64_tail(bytes + 3, 2, out);
  EXPECT_EQ(std::string(out, 4), "TWE=");
  brindle__base64_tail(bytes + 3, 1, out);
  EXPECT_EQ(std::string(out, 4), "TQ==");
  const unsigned char high[] = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(std::string(out, brindle__base64_groups(high, 3, out)), "+/+/");
}

}  // namespace
