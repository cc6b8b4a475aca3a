// Integer number tokens into int64 and uint64 members, inline: the parser converts one per
// integer member it fills.
#ifndef BRINDLE_CORE_PARSE_INTEGER_H
#define BRINDLE_CORE_PARSE_INTEGER_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Eight ASCII digits at p as their value, or false when one of the bytes is not a digit. The
// bytes are read as one little-endian word and combined pairwise (tens, hundreds, ten
// thousands), so that a run of digits costs a few multiplications instead of one per digit.
inline bool brindle__read_eight_digits(const unsigned char *p, uint64_t *out) noexcept {
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
inline bool brindle__accumulate_digits(const unsigned char *digits, size_t count, uint64_t max,
                                       uint64_t *out) noexcept {
  if (count == 0 || count > 20 || (digits[0] == '0' && count > 1)) return false;
  // Nineteen digits always fit in 64 bits; only a twentieth can overflow.
  const size_t plain = count < 19 ? count : 19;
  uint64_t value = 0;
  size_t i = 0;
  for (uint64_t block; i + 8 <= plain; i += 8) {
    if (!brindle__read_eight_digits(digits + i, &block)) return false;
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

inline bool brindle__parse_i64(const unsigned char *text, size_t length, int64_t *out) noexcept {
  const bool negative = length > 0 && text[0] == '-';
  const size_t skip = negative ? 1 : 0;
  uint64_t value;
  const uint64_t max = negative ? uint64_t{9223372036854775808u} : uint64_t{9223372036854775807};
  if (!brindle__accumulate_digits(text + skip, length - skip, max, &value)) return false;
  *out = negative ? static_cast<int64_t>(uint64_t{0} - value) : static_cast<int64_t>(value);
  return true;
}

inline bool brindle__parse_u64(const unsigned char *text, size_t length, uint64_t *out) noexcept {
  return brindle__accumulate_digits(text, length, UINT64_MAX, out);
}

#endif
