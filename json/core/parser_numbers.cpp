// Number tokens: the JSON number grammar and the converters for int64, uint64 and double
// members. Doubles are stored correctly rounded. Values below the smallest normal double are
// always accepted (a subnormal or a signed zero); which texts near the top of the range are
// accepted follows the historical rule of a fast multiply-add path with a strtod fallback (see
// brindle__parse_f64).
#include <bit>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>

#include "parser_state.h"

namespace {

inline bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// The parts of a number that follows the JSON grammar.
struct number_parts {
  bool negative;
  const unsigned char *integer;  // digits before the point
  size_t integer_digits;
  const unsigned char *fraction;  // digits after the point
  size_t fraction_digits;
  bool has_exponent;
  bool exponent_negative;
  const unsigned char *exponent;
  size_t exponent_digits;
};

bool split_number(const unsigned char *text, size_t length, number_parts *parts) {
  const unsigned char *p = text;
  const unsigned char *end = text + length;
  *parts = number_parts{};
  if (p < end && *p == '-') {
    parts->negative = true;
    ++p;
  }
  parts->integer = p;
  if (p == end || !is_digit(*p)) return false;
  if (*p == '0') {
    ++p;
  } else {
    while (p < end && is_digit(*p))
      ++p;
  }
  parts->integer_digits = static_cast<size_t>(p - parts->integer);
  if (p < end && *p == '.') {
    ++p;
    parts->fraction = p;
    while (p < end && is_digit(*p))
      ++p;
    parts->fraction_digits = static_cast<size_t>(p - parts->fraction);
    if (parts->fraction_digits == 0) return false;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    parts->has_exponent = true;
    if (p < end && (*p == '+' || *p == '-')) {
      parts->exponent_negative = *p == '-';
      ++p;
    }
    parts->exponent = p;
    while (p < end && is_digit(*p))
      ++p;
    parts->exponent_digits = static_cast<size_t>(p - parts->exponent);
    if (parts->exponent_digits == 0) return false;
  }
  return p == end;
}

// The historical fast path: multiply-add accumulation, one division by ten per fraction digit
// and binary exponentiation of ten. It decides acceptance near the edges of the double range
// only; the stored value always comes from a correctly rounding conversion.
bool fast_path_value(const number_parts &parts, double *out) {
  if (parts.fraction_digits > 17) return false;
  double value = 0.0;
  for (size_t i = 0; i < parts.integer_digits; ++i) {
    value = std::fma(value, 10.0, static_cast<double>(parts.integer[i] - '0'));
  }
  if (parts.fraction_digits > 0) {
    double fraction = 0.0;
    for (size_t i = 0; i < parts.fraction_digits; ++i) {
      fraction = std::fma(fraction, 10.0, static_cast<double>(parts.fraction[i] - '0'));
    }
    for (size_t i = 0; i < parts.fraction_digits; ++i)
      fraction /= 10.0;
    value += fraction;
  }
  if (parts.has_exponent) {
    uint64_t exponent = 0;
    for (size_t i = 0; i < parts.exponent_digits; ++i) {
      if (exponent > 10000) return false;
      exponent = exponent * 10 + static_cast<uint64_t>(parts.exponent[i] - '0');
    }
    double base = parts.exponent_negative ? 0.1 : 10.0;
    double scale = 1.0;
    while (exponent != 0) {
      if ((exponent & 1) != 0) scale *= base;
      base *= base;
      exponent >>= 1;
    }
    value *= scale;
  }
  if (!(std::fabs(value) <= DBL_MAX)) return false;  // infinity or NaN
  *out = parts.negative ? -value : value;
  return true;
}

// The system's strtod in the C locale: the whole text, errno untouched.
bool strtod_value(const unsigned char *text, size_t length, double *out) {
  char buffer[BRINDLE__WORKSPACE_SIZE + 1];
  if (length > BRINDLE__WORKSPACE_SIZE) return false;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  char *end = nullptr;
  const int saved = errno;
  errno = 0;
  const double value = c_locale != static_cast<locale_t>(nullptr) ? strtod_l(buffer, &end, c_locale)
                                                                  : std::strtod(buffer, &end);
  const bool ok = errno == 0 && end == buffer + length;
  errno = saved;
  if (ok) *out = value;
  return ok;
}

bool all_digits_zero(const number_parts &parts) {
  for (size_t i = 0; i < parts.integer_digits; ++i) {
    if (parts.integer[i] != '0') return false;
  }
  for (size_t i = 0; i < parts.fraction_digits; ++i) {
    if (parts.fraction[i] != '0') return false;
  }
  return true;
}

// Whether the magnitude of a number with a nonzero digit is below one. Only asked of texts the
// correctly rounding conversion found out of range, which are far below one (underflow to zero)
// or far above (overflow), so the decimal position of the leading digit decides. Long digit runs
// and exponents saturate instead of wrapping.
bool magnitude_below_one(const number_parts &parts) {
  constexpr int64_t kCap = int64_t{1} << 58;  // times ten still fits
  int64_t position;                           // power of ten of the leading nonzero digit
  if (parts.integer[0] != '0') {
    position = static_cast<int64_t>(parts.integer_digits < kCap ? parts.integer_digits : kCap) - 1;
  } else {
    size_t zeros = 0;
    while (zeros < parts.fraction_digits && parts.fraction[zeros] == '0')
      ++zeros;
    position = -static_cast<int64_t>(zeros < kCap ? zeros : kCap) - 1;
  }
  int64_t exponent = 0;
  for (size_t i = 0; i < parts.exponent_digits && exponent < kCap; ++i) {
    exponent = exponent * 10 + static_cast<int64_t>(parts.exponent[i] - '0');
  }
  if (parts.exponent_negative) exponent = -exponent;
  return position + exponent < 0;
}

}  // namespace

bool brindle__number_grammar_ok(const unsigned char *text, size_t length) noexcept {
  number_parts parts;
  return split_number(text, length, &parts);
}

namespace {

// Eight ASCII digits at p as their value, or false when one of the bytes is not a digit. The
// bytes are read as one little-endian word and combined pairwise (tens, hundreds, ten
// thousands), so that a run of digits costs a few multiplications instead of one per digit.
inline bool eight_digits(const unsigned char *p, uint64_t *out) {
  uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  // A byte below '0' borrows into its top bit; one above '9' carries into it.
  constexpr uint64_t kZeros = 0x3030303030303030u;
  if ((((word + 0x4646464646464646u) | (word - kZeros)) & 0x8080808080808080u) != 0) return false;
  word -= kZeros;
  word = word * 10 + (word >> 8);  // bytes 0, 2, 4, 6: two-digit values
  constexpr uint64_t kLow = 0x000000FF000000FFu;
  constexpr uint64_t kHundreds = 100 + (uint64_t{1000000} << 32);
  constexpr uint64_t kUnits = 1 + (uint64_t{10000} << 32);
  *out = ((word & kLow) * kHundreds + ((word >> 16) & kLow) * kUnits) >> 32;
  return true;
}

// Decimal digits without a leading zero ("0" alone allowed), at most max in value.
bool accumulate_digits(const unsigned char *digits, size_t count, uint64_t max, uint64_t *out) {
  if (count == 0 || count > 20 || (digits[0] == '0' && count > 1)) return false;
  // Nineteen digits always fit in 64 bits; only a twentieth can overflow.
  const size_t plain = count < 19 ? count : 19;
  uint64_t value = 0;
  size_t i = 0;
  for (uint64_t block; i + 8 <= plain; i += 8) {
    if (!eight_digits(digits + i, &block)) return false;
    value = value * 100000000u + block;
  }
  for (; i < plain; ++i) {
    const unsigned digit = static_cast<unsigned>(digits[i] - '0');
    if (digit > 9) return false;
    value = value * 10 + digit;
  }
  if (count == 20) {
    const unsigned digit = static_cast<unsigned>(digits[19] - '0');
    if (digit > 9 || __builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, uint64_t{digit}, &value)) {
      return false;
    }
  }
  if (value > max) return false;
  *out = value;
  return true;
}

}  // namespace

bool brindle__parse_i64(const unsigned char *text, size_t length, int64_t *out) noexcept {
  const bool negative = length > 0 && text[0] == '-';
  const size_t skip = negative ? 1 : 0;
  uint64_t value;
  const uint64_t max = negative ? uint64_t{9223372036854775808u} : uint64_t{9223372036854775807};
  if (!accumulate_digits(text + skip, length - skip, max, &value)) return false;
  *out = negative ? static_cast<int64_t>(uint64_t{0} - value) : static_cast<int64_t>(value);
  return true;
}

bool brindle__parse_u64(const unsigned char *text, size_t length, uint64_t *out) noexcept {
  return accumulate_digits(text, length, UINT64_MAX, out);
}

// Accepted texts: the JSON grammar (checked by the caller for the _valid form), and then any value
// below the smallest normal double, stored correctly rounded (a subnormal, or zero with the sign
// of the text), however it is spelled. Above that, either the fast path (at most 17 fraction
// digits, exponent digits accumulated while at most 10000) gives a finite value, or strtod takes
// the whole text without reporting overflow. So 1e-400 and 1.000000000000000000e-400 are stored as
// 0, and 1e400 is refused.
bool brindle__parse_f64(const unsigned char *text, size_t length, double *out) noexcept {
  return brindle__number_grammar_ok(text, length) && brindle__parse_f64_valid(text, length, out);
}

bool brindle__parse_f64_valid(const unsigned char *text, size_t length, double *out) noexcept {
  double value = 0.0;
  const char *begin = reinterpret_cast<const char *>(text);
  const std::from_chars_result result = std::from_chars(begin, begin + length, value);
  const bool converted = result.ec == std::errc() && result.ptr == begin + length;
  // A normal value well inside the range is accepted by either path.
  if (converted && std::isnormal(value) && std::fabs(value) < 1e307) {
    *out = value;
    return true;
  }
  number_parts parts;
  split_number(text, length, &parts);
  if (all_digits_zero(parts)) {
    *out = parts.negative ? -0.0 : 0.0;
    return true;
  }
  // Underflow is never an error: subnormals come converted, values that round to zero are out of
  // range for the conversion and keep the sign of the text.
  if (converted && std::fabs(value) < DBL_MIN) {
    *out = value;
    return true;
  }
  if (result.ec == std::errc::result_out_of_range && magnitude_below_one(parts)) {
    *out = parts.negative ? -0.0 : 0.0;
    return true;
  }
  // Near the top of the range the historical rule decides.
  double fast;
  if (fast_path_value(parts, &fast)) {
    *out = converted && std::isfinite(value) ? value : fast;  // fast: just beyond when rounded
    return true;
  }
  return strtod_value(text, length, out);
}
