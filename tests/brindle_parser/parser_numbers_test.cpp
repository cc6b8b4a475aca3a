// Number members: doubles correctly rounded, the acceptance rule at the edges of the range, the
// round trip of doubles printed with "%.17g", and the integer converters.
#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

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
  // Number tokens outside the JSON grammar.
  for (const char *text : {"01", "1.", "1e", "1e+", "-", "1.5.2", "--1", "1e5e5", "0-"}) {
    refused(text);
  }
}

// The correctly rounded value of a text, from the C library.
double nearest(const std::string &text) {
  return std::strtod(text.c_str(), nullptr);
}

// Values below the smallest normal double are stored correctly rounded however they are spelled:
// short or with many fraction digits, with huge exponents, or thousands of bytes long.
TEST(Doubles, UnderflowIsStoredCorrectlyRounded) {
  const std::string long_subnormal =
      "-0." + std::string(310, '0') + "123456789" + std::string(3000, '7') + "e-2";
  const std::string long_zero = "0." + std::string(3500, '0') + "1";
  const std::string texts[] = {
      // Subnormals, long and short spellings.
      "-2.137434449116363827e-308", "2.137434449116363827e-308", "-2.1374344491163638e-308",
      "1.23456789012345678901234567890e-315", "1.2345678901234568e-315", "1e-310", "-1e-320",
      // The smallest subnormal, and the halfway point to zero rounding up to it.
      "4.940656458412465442e-324", "4.9406564584124654e-324", "5e-324", "2.4703282292062328e-324",
      // Just below the smallest normal, and the largest subnormal.
      "2.225073858507201e-308", "2.225073858507201136057409796709131975934e-308",
      "2.2250738585072009e-308", "-2.2250738585072008890245868760858598876504e-308", long_subnormal,
      // Values that round to a signed zero.
      "2.4703282292062327e-324", "-2.4703282292062327e-324", "1.000000000000000000e-400",
      "-1.000000000000000000e-400", "1e-400", "-1e-400", "1e-100010", "-9.99e-100010",
      "0.000000000000000000001e-9999999999999999999999", long_zero, "-" + long_zero};
  for (const std::string &text : texts) {
    const double expected = nearest(text);
    ASSERT_LT(std::fabs(expected), DBL_MIN) << text;
    EXPECT_EQ(bits_of(accepted(text)), bits_of(expected)) << text.substr(0, 60);
  }
  EXPECT_EQ(accepted("4.940656458412465442e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(bits_of(accepted("-1.000000000000000000e-400")), bits_of(-0.0));
  EXPECT_EQ(bits_of(accepted("-" + long_zero)), bits_of(-0.0));
  // The smallest normal itself, and texts just below it that round up to it.
  EXPECT_EQ(accepted("2.22507385850720138309023271733240406421921598046233e-308"), DBL_MIN);
  EXPECT_EQ(accepted("2.2250738585072013e-308"), DBL_MIN);
  EXPECT_EQ(accepted("-2.225073858507201283e-308"), -DBL_MIN);

  // In an array member too, next to ordinary values.
  F64Record record;
  brindle_error error;
  const std::string document =
      "{\"many\":[-2.137434449116363827e-308,1.000000000000000000e-400,-1e-400,0.5]}";
  ASSERT_EQ(
      brindle_parse_buffer(&kF64Map, &record, document.data(), document.size(), nullptr, &error),
      BRINDLE_OK)
      << error.message;
  ASSERT_EQ(record.many.count, 4u);
  EXPECT_EQ(bits_of(item<double>(record.many, 0)), bits_of(nearest("-2.137434449116363827e-308")));
  EXPECT_EQ(bits_of(item<double>(record.many, 1)), bits_of(0.0));
  EXPECT_EQ(bits_of(item<double>(record.many, 2)), bits_of(-0.0));
  EXPECT_EQ(item<double>(record.many, 3), 0.5);
  brindle_cleanup(&kF64Map, &record);
}

// Overflow stays a type mismatch, however it is spelled; the largest double is still accepted.
TEST(Doubles, OverflowIsRefusedOnEveryPath) {
  for (const std::string &text :
       {std::string("1e309"), std::string("-1.000000000000000000e400"),
        std::string("1.797693134862315807938e308"), std::string("1e100010"),
        std::string("1e9999999999999999999999"), "1" + std::string(400, '0'),
        "-1" + std::string(3500, '0') + ".5", "0.0001e" + std::string(40, '9')}) {
    refused(text);
  }
  EXPECT_EQ(accepted("1.797693134862315708145e308"), DBL_MAX);
  EXPECT_EQ(accepted("-179769313486231570814527423731704356798070567525844996598917476803157260"
                     "78002853876058955863276687817154045895351438246423432132688946418276846"
                     "75467035375169860499105765512820762454900903893289440758685084551339423"
                     "04583236903222948165808559332123348274797826204144723168738177180919299"
                     "881250404026184124858368"),
            -DBL_MAX);

  F64Record record;
  brindle_error error;
  const std::string document = "{\"many\":[1e-400,1.000000000000000000e400]}";
  EXPECT_EQ(
      brindle_parse_buffer(&kF64Map, &record, document.data(), document.size(), nullptr, &error),
      BRINDLE_TYPE_MISMATCH);
  EXPECT_STREQ(error.message, "expected number for 'many'");
  brindle_cleanup(&kF64Map, &record);
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

// The integer converters against the standard library, over every digit count and every
// position of a bad byte, so that the eight-digit blocks agree with a digit-by-digit reading.
bool i64_of(const std::string &text, int64_t *value) {
  return brindle__parse_i64(reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                            value);
}
bool u64_of(const std::string &text, uint64_t *value) {
  return brindle__parse_u64(reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                            value);
}

// What a JSON integer text means: digits only (one minus for int64), no leading zero, in range.
template <typename T>
bool reference_integer(const std::string &text, T *value) {
  const size_t skip = std::is_signed_v<T> && !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() == skip) return false;
  if (text[skip] == '0' && text.size() > skip + 1) return false;
  for (size_t i = skip; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

TEST(Integers, AgreeWithTheStandardLibrary) {
  std::mt19937_64 random(20261209);
  std::vector<std::string> texts = {"0",
                                    "-0",
                                    "9223372036854775807",
                                    "9223372036854775808",
                                    "-9223372036854775808",
                                    "-9223372036854775809",
                                    "18446744073709551615",
                                    "18446744073709551616",
                                    "99999999999999999999",
                                    "100000000000000000000",
                                    "00000000",
                                    "012345678",
                                    "12345678",
                                    "123456789",
                                    "1234567812345678"};
  for (size_t digits = 1; digits <= 21; ++digits) {
    for (int round = 0; round < 40; ++round) {
      std::string text(1, static_cast<char>('1' + random() % 9));
      while (text.size() < digits)
        text += static_cast<char>('0' + random() % 10);
      texts.push_back(text);
      texts.push_back("-" + text);
    }
    // Every byte that is not a digit, and the ones beside the digits in particular, at every
    // position of the text.
    for (const unsigned bad : {0x00u, 0x2Fu, 0x3Au, 0x7Fu, 0x80u, 0xB9u, 0xBAu, 0xC6u, 0xFFu,
                               static_cast<unsigned>('.'), static_cast<unsigned>('e')}) {
      for (size_t at = 0; at < digits; ++at) {
        std::string text(digits, '7');
        text[at] = static_cast<char>(bad);
        texts.push_back(text);
      }
    }
  }
  for (const std::string &text : texts) {
    int64_t signed_value = 0, signed_expected = 0;
    const bool signed_ok = reference_integer(text, &signed_expected);
    EXPECT_EQ(i64_of(text, &signed_value), signed_ok) << text;
    if (signed_ok) {
      EXPECT_EQ(signed_value, signed_expected) << text;
    }
    uint64_t unsigned_value = 0, unsigned_expected = 0;
    const bool unsigned_ok = reference_integer(text, &unsigned_expected);
    EXPECT_EQ(u64_of(text, &unsigned_value), unsigned_ok) << text;
    if (unsigned_ok) {
      EXPECT_EQ(unsigned_value, unsigned_expected) << text;
    }
  }
}

TEST(Integers, BlocksReadOnlyTheirOwnBytes) {
  // Digits followed by more digits in memory must read as the first length of them; and in a
  // heap block of exactly that length, a read past its end is what AddressSanitizer reports.
  const std::string digits = "123456789012345678901234";
  for (size_t length = 1; length <= 19; ++length) {
    const int64_t expected = std::stoll(digits.substr(0, length));
    int64_t in_place = 0;
    ASSERT_TRUE(brindle__parse_i64(reinterpret_cast<const unsigned char *>(digits.data()), length,
                                   &in_place));
    EXPECT_EQ(in_place, expected) << length;
    const std::unique_ptr<unsigned char[]> exact(new unsigned char[length]);
    std::memcpy(exact.get(), digits.data(), length);
    uint64_t alone = 0;
    ASSERT_TRUE(brindle__parse_u64(exact.get(), length, &alone));
    EXPECT_EQ(alone, static_cast<uint64_t>(expected)) << length;
  }
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
