// Number text: doubles as printf's "%.17g" would write them, integers at their limits.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

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
