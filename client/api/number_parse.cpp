// Strict base-10 parsing and formatting.
#include <climits>
#include <cstring>

#include "stavoc_numbers.h"

static_assert(sizeof(long) == 8, "long must be 64 bits");
static_assert(sizeof(unsigned long) == 8 && sizeof(size_t) == 8, "64-bit platform required");

namespace {

// Parses sign and digits into a magnitude no larger than the limit for that sign.
// Returns false on any malformed or out-of-range text.
bool parse_magnitude(const char *text, bool allow_minus, bool *negative, uint64_t *magnitude,
                     uint64_t positive_limit, uint64_t negative_limit) noexcept {
  if (text == nullptr || *text == '\0') return false;
  *negative = false;
  if (*text == '+' || *text == '-') {
    if (*text == '-') {
      if (!allow_minus) return false;
      *negative = true;
    }
    ++text;
    if (*text == '\0') return false;
  }
  const uint64_t limit = *negative ? negative_limit : positive_limit;
  uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(*text - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *magnitude = value;
  return true;
}

bool parse_signed(const char *text, int64_t *value) noexcept {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!parse_magnitude(text, true, &negative, &magnitude, INT64_MAX,
                       static_cast<uint64_t>(INT64_MAX) + 1)) {
    return false;
  }
  *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool parse_unsigned(const char *text, uint64_t *value) noexcept {
  bool negative = false;
  return parse_magnitude(text, false, &negative, value, UINT64_MAX, 0);
}

bool is_trim_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Trims the range and copies it, NUL-terminated, into a 64-byte buffer.
bool trimmed_copy(const char *text, size_t length, char (&buffer)[64]) noexcept {
  if (text == nullptr) return false;
  size_t begin = 0;
  while (begin < length && is_trim_space(text[begin]))
    ++begin;
  size_t end = length;
  while (end > begin && is_trim_space(text[end - 1]))
    --end;
  const size_t size = end - begin;
  if (size == 0 || size > 63) return false;
  std::memcpy(buffer, text + begin, size);
  buffer[size] = '\0';
  return true;
}

}  // namespace

extern "C" {

SV_API int sv_i64_parse_base10(const char *text, int64_t *out) noexcept {
  if (out == nullptr) return 0;
  int64_t value = 0;
  if (!parse_signed(text, &value)) return 0;
  *out = value;
  return 1;
}

SV_API int sv_parse_long_base10_checked(const char *text, long *out) noexcept {
  int64_t value = 0;
  if (!parse_signed(text, &value) || out == nullptr) return 0;
  *out = static_cast<long>(value);
  return 1;
}

SV_API int sv_parse_int_base10_checked(const char *text, int32_t *out) noexcept {
  int64_t value = 0;
  if (!parse_signed(text, &value) || out == nullptr) return 0;
  if (value < INT32_MIN || value > INT32_MAX) return 0;
  *out = static_cast<int32_t>(value);
  return 1;
}

SV_API int sv_u64_parse_base10(const char *text, uint64_t *out) noexcept {
  if (out == nullptr) return 0;
  uint64_t value = 0;
  if (!parse_unsigned(text, &value)) return 0;
  *out = value;
  return 1;
}

SV_API int sv_parse_ulong_base10_checked(const char *text, unsigned long *out) noexcept {
  uint64_t value = 0;
  if (!parse_unsigned(text, &value) || out == nullptr) return 0;
  *out = static_cast<unsigned long>(value);
  return 1;
}

SV_API int sv_parse_size_base10_checked(const char *text, size_t *out) noexcept {
  uint64_t value = 0;
  if (!parse_unsigned(text, &value) || out == nullptr) return 0;
  *out = static_cast<size_t>(value);
  return 1;
}

SV_API int sv_parse_long_base10_range_checked(const char *text, size_t length, long *out) noexcept {
  char buffer[64];
  if (!trimmed_copy(text, length, buffer)) return 0;
  return sv_parse_long_base10_checked(buffer, out);
}

SV_API int sv_parse_ulong_base10_range_checked(const char *text, size_t length,
                                               unsigned long *out) noexcept {
  char buffer[64];
  if (!trimmed_copy(text, length, buffer)) return 0;
  return sv_parse_ulong_base10_checked(buffer, out);
}

SV_API int sv_i64_to_long_checked(int64_t value, long *out) noexcept {
  if (out == nullptr) return 0;
  *out = static_cast<long>(value);
  return 1;
}

SV_API int sv_i64_to_int_checked(int64_t value, int32_t *out) noexcept {
  if (out == nullptr || value < INT32_MIN || value > INT32_MAX) return 0;
  *out = static_cast<int32_t>(value);
  return 1;
}

SV_API int sv_u64_to_ulong_checked(uint64_t value, unsigned long *out) noexcept {
  if (out == nullptr) return 0;
  *out = static_cast<unsigned long>(value);
  return 1;
}

SV_API int sv_u64_to_size_checked(uint64_t value, size_t *out) noexcept {
  if (out == nullptr) return 0;
  *out = static_cast<size_t>(value);
  return 1;
}

SV_API int sv_i64_format_base10(int64_t value, char *buffer, size_t capacity) noexcept {
  if (buffer == nullptr || capacity == 0) return -1;
  char reversed[21];
  size_t length = 0;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    reversed[length++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) reversed[length++] = '-';
  if (length + 1 > capacity) return -1;
  for (size_t i = 0; i < length; ++i)
    buffer[i] = reversed[length - 1 - i];
  buffer[length] = '\0';
  return static_cast<int>(length);
}

}  // extern "C"
