// Doubles as printf("%.17g") writes them. Most values written by real documents lie between
// 1e-11 and 1e17; for those the 17 significant digits come from exact 128-bit integer arithmetic
// (the value times a power of ten is an integer times a power of two), which is several times
// faster than the general formatter. Everything else goes to std::to_chars, which gives the same
// text with a precision.
#include <charconv>

#include "serializer_internal.h"

#if defined(__SIZEOF_INT128__)
#define BRINDLE_EXACT_DOUBLES 1
#else
#define BRINDLE_EXACT_DOUBLES 0
#endif

#if BRINDLE_EXACT_DOUBLES
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr uint64_t kTen16 = 10000000000000000ull;
constexpr uint64_t kTen17 = 100000000000000000ull;

// 5^0 to 5^27, the powers that fit 64 bits.
constexpr uint64_t kPowersOfFive[28] = {1ull,
                                        5ull,
                                        25ull,
                                        125ull,
                                        625ull,
                                        3125ull,
                                        15625ull,
                                        78125ull,
                                        390625ull,
                                        1953125ull,
                                        9765625ull,
                                        48828125ull,
                                        244140625ull,
                                        1220703125ull,
                                        6103515625ull,
                                        30517578125ull,
                                        152587890625ull,
                                        762939453125ull,
                                        3814697265625ull,
                                        19073486328125ull,
                                        95367431640625ull,
                                        476837158203125ull,
                                        2384185791015625ull,
                                        11920928955078125ull,
                                        59604644775390625ull,
                                        298023223876953125ull,
                                        1490116119384765625ull,
                                        7450580596923828125ull};

// value * 10^power rounded to an integer (ties to even), for mantissa * 2^exponent; false when
// the product would not fit the exact arithmetic.
bool scaled(uint64_t mantissa, int exponent, int power, uint64_t *out) noexcept {
  if (power < 0 || power > 27) return false;
  const u128 product = static_cast<u128>(mantissa) * kPowersOfFive[power];
  const int shift = exponent + power;  // the 2^power half of 10^power joins the exponent
  if (shift >= 0) {
    if (shift > 7) return false;  // 2^53 * 2^7 is still below 10^18
    *out = static_cast<uint64_t>(product << shift);
    return true;
  }
  if (shift <= -128) return false;
  const unsigned drop = static_cast<unsigned>(-shift);
  const u128 quotient = product >> drop;
  if (quotient >> 64 != 0) return false;
  const u128 remainder = product - (quotient << drop);
  const u128 half = static_cast<u128>(1) << (drop - 1);
  uint64_t result = static_cast<uint64_t>(quotient);
  if (remainder > half || (remainder == half && (result & 1) != 0)) ++result;
  *out = result;
  return true;
}

// The 17 digits of digits (10^16 <= digits < 10^17) at out.
void seventeen_digits(char *out, uint64_t digits) noexcept {
  const uint64_t high = digits / 100000000;  // nine digits
  const uint32_t low = static_cast<uint32_t>(digits % 100000000);
  out[0] = static_cast<char>('0' + high / 100000000);
  brindle__eight_digits(out + 1, static_cast<uint32_t>(high % 100000000));
  brindle__eight_digits(out + 9, low);
}

// Text of digits (17 of them) times 10^(decimal_exponent - 16), in the %g layout.
char *layout(char *out, const char digits[17], int decimal_exponent) noexcept {
  int last = 16;  // trailing zeros are dropped
  while (last > 0 && digits[last] == '0')
    --last;
  if (decimal_exponent < -4 || decimal_exponent >= 17) {
    *out++ = digits[0];
    if (last > 0) {
      *out++ = '.';
      std::memcpy(out, digits + 1, static_cast<size_t>(last));
      out += last;
    }
    *out++ = 'e';
    int magnitude = decimal_exponent;
    if (magnitude < 0) {
      *out++ = '-';
      magnitude = -magnitude;
    } else {
      *out++ = '+';
    }
    if (magnitude >= 100) {
      *out++ = static_cast<char>('0' + magnitude / 100);
      magnitude %= 100;
    }
    *out++ = brindle__digit_pairs[magnitude * 2];
    *out++ = brindle__digit_pairs[magnitude * 2 + 1];
    return out;
  }
  if (decimal_exponent < 0) {
    *out++ = '0';
    *out++ = '.';
    for (int i = -1; i > decimal_exponent; --i)
      *out++ = '0';
    std::memcpy(out, digits, static_cast<size_t>(last) + 1);
    return out + last + 1;
  }
  std::memcpy(out, digits, static_cast<size_t>(decimal_exponent) + 1);
  out += decimal_exponent + 1;
  if (last > decimal_exponent) {
    *out++ = '.';
    const size_t fraction = static_cast<size_t>(last - decimal_exponent);
    std::memcpy(out, digits + decimal_exponent + 1, fraction);
    out += fraction;
  }
  return out;
}

// The exact path; NULL when the value is outside its range.
char *format_exact(char *out, double value) noexcept {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased == 0) return nullptr;  // zero and subnormals
  const uint64_t mantissa = (bits & ((1ull << 52) - 1)) | (1ull << 52);
  const int exponent = biased - 1075;
  // The value lies in [2^top, 2^(top + 1)); its decimal exponent is floor(top * log10 2) or one
  // more. 78913 / 2^18 approximates log10 2 closely enough for every exponent of a double.
  const int top = exponent + 52;
  int decimal_exponent = (top * 78913) >> 18;
  uint64_t digits = 0;
  if (!scaled(mantissa, exponent, 16 - decimal_exponent, &digits)) return nullptr;
  if (digits >= kTen17) {
    ++decimal_exponent;
    if (!scaled(mantissa, exponent, 16 - decimal_exponent, &digits)) return nullptr;
  }
  if (digits == kTen17) {  // rounding carried into an 18th digit
    digits = kTen16;
    ++decimal_exponent;
  }
  if (digits < kTen16) return nullptr;
  char text[17];
  seventeen_digits(text, digits);
  if ((bits >> 63) != 0) *out++ = '-';
  return layout(out, text, decimal_exponent);
}

}  // namespace
#endif

// to_chars with a precision is defined to give what printf gives with the same precision in the
// C locale; it covers the values the exact path leaves out.
char *brindle__format_f64(char *out, double value) noexcept {
#if BRINDLE_EXACT_DOUBLES
  if (char *end = format_exact(out, value)) return end;
#endif
  const std::to_chars_result result =
      std::to_chars(out, out + BRINDLE_NUMBER_ROOM, value, std::chars_format::general, 17);
  return result.ec == std::errc() ? result.ptr : nullptr;
}
