// Number tokens: the JSON number grammar and the converter for double members (the integer
// ones are inline, in parse_integer.h). Doubles are stored correctly rounded. Values below the
// smallest normal double are always accepted (a subnormal or a signed zero); which texts near
// the top of the range are accepted follows the historical rule of a fast multiply-add path
// with a strtod fallback (see brindle__parse_f64).
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
