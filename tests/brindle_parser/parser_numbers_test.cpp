// Double members: correctly rounded values, the acceptance rule at the edges of the range, and
// the round trip of doubles printed with "%.17g".
#include <gtest/gtest.h>

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "json/core/parser_state.h"
#include "parser_test_support.h"

using namespace parser_test;

namespace {

struct F64Record {
  double f;
  brindle_array many;
};
const brindle_field kF64Fields[] = {
    BRINDLE_DECL_F64(F64Record, f, "f", 0),
    BRINDLE_DECL_ARRAY(F64Record, many, "many", BRINDLE_FIELD_F64_ARRAY, 0),
};
const brindle_map kF64Map = BRINDLE_MAP("f64_json", F64Record, kF64Fields);

uint64_t bits_of(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// Parses {"f":text}; returns the status and stores the value.
brindle_status parse_double(const std::string &text, double *value, brindle_error *error) {
  F64Record record;
  const std::string document = "{\"f\":" + text + "}";
  const brindle_status status =
      brindle_parse_buffer(&kF64Map, &record, document.data(), document.size(), nullptr, error);
  *value = record.f;
  brindle_cleanup(&kF64Map, &record);
  return status;
}

double accepted(const std::string &text) {
  double value = 0;
  brindle_error error;
  EXPECT_EQ(parse_double(text, &value, &error), BRINDLE_OK) << text << ": " << error.message;
  return value;
}

void refused(const std::string &text) {
  double value = 0;
  brindle_error error;
  EXPECT_EQ(parse_double(text, &value, &error), BRINDLE_TYPE_MISMATCH) << text;
  EXPECT_STREQ(error.message, "expected number for 'f'") << text;
}

TEST(Doubles, EdgeCasesOfTheRange) {
  EXPECT_EQ(bits_of(accepted("-0.5")), bits_of(-0.5));
  EXPECT_EQ(bits_of(accepted("-0")), bits_of(-0.0));
  EXPECT_EQ(bits_of(accepted("0.0e0")), bits_of(0.0));
  EXPECT_EQ(bits_of(accepted("1e-400")), bits_of(0.0));
  EXPECT_EQ(bits_of(accepted("-1e-400")), bits_of(-0.0));
  EXPECT_EQ(accepted("0e5000"), 0.0);
  EXPECT_EQ(accepted("1e-99999"), 0.0);
  EXPECT_EQ(accepted("1.7976931348623157e308"), DBL_MAX);
  EXPECT_EQ(accepted("-1.7976931348623157e308"), -DBL_MAX);
  EXPECT_EQ(accepted("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(accepted("2.2250738585072014e-308"), DBL_MIN);
  EXPECT_EQ(accepted("1E+2"), 100.0);
  EXPECT_EQ(accepted("123456789012345678901234567890"), 1.2345678901234568e29);
  refused("1e400");
  refused("-1e400");
  refused("1e99999");
  // Exponents beyond what the fast path accumulates, and more than 17 fraction digits, are left
  // to strtod, which refuses values that underflow.
  refused("1e-100010");
  refused("1.000000000000000000e-400");
  EXPECT_EQ(accepted("1.00000000000000000e-400"), 0.0);
  refused("4.940656458412465442e-324");
  // Number tokens outside the JSON grammar.
  for (const char *text : {"01", "1.", "1e", "1e+", "-", "1.5.2", "--1", "1e5e5", "0-"}) {
    refused(text);
  }
}

TEST(Doubles, ValuesAreCorrectlyRounded) {
  // Inputs where digit-by-digit multiply-add accumulation misses the nearest double.
  const char *texts[] = {"0.3",
                         "2.2250738585072011e-308",
                         "9007199254740993",
                         "0.1000000000000000055511151231257827",
                         "1.00000000000000011102230246251565404236316680908203125",
                         "7.5e-323",
                         "3.14159265358979323846",
                         "123.456e-2",
                         "8.98846567431158e307",
                         "0.9999999999999999"};
  for (const char *text : texts) {
    EXPECT_EQ(bits_of(accepted(text)), bits_of(std::strtod(text, nullptr))) << text;
  }
}

TEST(Doubles, RandomDoublesRoundTripThroughPercent17g) {
  std::mt19937_64 random(20240611);
  std::string document = "{\"many\":[";
  std::vector<double> expected;
  constexpr size_t kCount = 200000;
  expected.reserve(kCount);
  char text[64];
  for (size_t i = 0; i < kCount; ++i) {
    double value;
    if (i % 2 == 0) {
      // Any finite bit pattern: every exponent, subnormals included.
      do {
        const uint64_t bits = random();
        std::memcpy(&value, &bits, sizeof(value));
      } while (!std::isfinite(value));
    } else {
      // Decimals of everyday size with many fraction digits.
      value = std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 60));
      if ((random() & 1) != 0) value = -value;
    }
    expected.push_back(value);
    std::snprintf(text, sizeof(text), "%.17g", value);
    if (i != 0) document += ',';
    document += text;
  }
  document += "]}";
  F64Record record;
  brindle_error error;
  ASSERT_EQ(
      brindle_parse_buffer(&kF64Map, &record, document.data(), document.size(), nullptr, &error),
      BRINDLE_OK)
      << error.message;
  ASSERT_EQ(record.many.count, kCount);
  size_t mismatches = 0;
  for (size_t i = 0; i < kCount; ++i) {
    if (bits_of(item<double>(record.many, i)) != bits_of(expected[i])) {
      if (mismatches++ < 5) {
        std::snprintf(text, sizeof(text), "%.17g", expected[i]);
        ADD_FAILURE() << "value " << text << " read back as " << item<double>(record.many, i);
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
  brindle_cleanup(&kF64Map, &record);
}

TEST(NumberGrammar, FollowsJson) {
  const auto ok = [](const char *text) {
    return brindle__number_grammar_ok(reinterpret_cast<const unsigned char *>(text),
                                      std::strlen(text));
  };
  for (const char *text : {"0", "-0", "7", "-12", "0.5", "10.25", "1e5", "1E-5", "1e+05", "-0.0e0",
                           "123456789012345678901234567890"}) {
    EXPECT_TRUE(ok(text)) << text;
  }
  for (const char *text :
       {"", "-", "01", "-01", "1.", ".1", "1e", "1e-", "+1", "1.2.3", "1e5e5", "1-", "e5", "0-"}) {
    EXPECT_FALSE(ok(text)) << text;
  }
}

}  // namespace
