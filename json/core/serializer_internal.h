// Pieces shared by the serializer, its buffer writers, the pull generator and measuring: the
// omission rules, number formatting, base64 groups, indentation and bulk escaping into memory.
#ifndef BRINDLE_CORE_SERIALIZER_INTERNAL_H
#define BRINDLE_CORE_SERIALIZER_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "records.h"

// Returns the status of expression unless it is BRINDLE_OK.
#define BRINDLE_TRY(expression)                          \
  do {                                                   \
    const brindle_status brindle_try_ = (expression);    \
    if (brindle_try_ != BRINDLE_OK) return brindle_try_; \
  } while (0)

// ---- Omission ----------------------------------------------------------------------------------

// Whether a field's member counts as absent for output: a present flag of 0, or (with the omit
// flags) a NULL string, a source or JSON value of kind none, and with OMIT_EMPTY also empty
// arrays, empty spools and objects all of whose fields are absent. Required fields are the
// caller's to keep.
bool brindle__field_is_empty_for_omit(const brindle_field *field, const void *record) noexcept;

// Whether the field is skipped on output (not required and empty for omission).
inline bool brindle__field_is_skipped(const brindle_field *field, const void *record) noexcept {
  return (field->flags & BRINDLE_FIELD_REQUIRED) == 0 &&
         (field->flags &
          (BRINDLE_FIELD_OMIT_NULL | BRINDLE_FIELD_OMIT_EMPTY | BRINDLE_FIELD_HAS_PRESENT)) != 0 &&
         brindle__field_is_empty_for_omit(field, record);
}

// Whether a nullable number or bool is written as null: its present flag is 0.
inline bool brindle__field_writes_null(const brindle_field *field, const void *record) noexcept {
  constexpr uint32_t kBoth = BRINDLE_FIELD_NULLABLE | BRINDLE_FIELD_HAS_PRESENT;
  if ((field->flags & kBoth) != kBoth) return false;
  int32_t present;
  std::memcpy(&present, static_cast<const char *>(record) + field->present_offset, sizeof present);
  return present == 0;
}

// ---- Member access -----------------------------------------------------------------------------

// Members are read through memcpy: descriptors give byte offsets, not alignments.
template <class T>
inline T brindle__load(const void *address) noexcept {
  T value;
  std::memcpy(&value, address, sizeof(T));
  return value;
}

// Bytes between the elements of an object array: the record's element size (set at
// initialisation), else the descriptor's, else the sub-map's record size. False when elements
// would be smaller than the records they hold.
inline bool brindle__object_array_stride(const brindle_field *field,
                                         const brindle_object_array &array,
                                         size_t *stride) noexcept {
  const size_t record_size = field->submap != nullptr ? field->submap->struct_size : 0;
  *stride = array.element_size != 0    ? array.element_size
            : field->element_size != 0 ? field->element_size
                                       : record_size;
  return *stride >= record_size;
}

// ---- Numbers -----------------------------------------------------------------------------------

// Room that every formatted number fits in ("%.17g" needs at most 24 bytes).
constexpr size_t BRINDLE_NUMBER_ROOM = 32;

// "00" to "99": decimal digits are written two at a time.
inline constexpr char brindle__digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// value (below 10^8) as exactly eight digits at out, as four independent pairs.
inline void brindle__eight_digits(char *out, uint32_t value) noexcept {
  const uint32_t high = value / 10000;
  const uint32_t low = value % 10000;
  const uint32_t pairs[4] = {high / 100, high % 100, low / 100, low % 100};
  for (int i = 0; i < 4; ++i)
    std::memcpy(out + 2 * i, brindle__digit_pairs + pairs[i] * 2, 2);
}

// Decimal text of the value at out (at least BRINDLE_NUMBER_ROOM bytes); returns the end.
char *brindle__format_i64(char *out, int64_t value) noexcept;
char *brindle__format_u64(char *out, uint64_t value) noexcept;
// The text printf("%.17g") gives for a finite value; NULL if formatting failed.
char *brindle__format_f64(char *out, double value) noexcept;

inline bool brindle__is_finite(double value) noexcept {
  return value == value && value - value == 0.0;
}

// ---- Base64 ------------------------------------------------------------------------------------

// Encodes groups of 3 bytes (length a multiple of 3) into 4 characters each; returns the end.
char *brindle__base64_groups(const unsigned char *bytes, size_t length, char *out) noexcept;
// Encodes the last 1 or 2 bytes as one padded group of 4 characters.
void brindle__base64_tail(const unsigned char *bytes, size_t length, char out[4]) noexcept;

// ---- Indentation -------------------------------------------------------------------------------

// A newline followed by 64 spaces: indentation is written from it, 64 spaces per piece at most.
extern const char brindle__newline_spaces[66];
constexpr size_t BRINDLE_INDENT_PIECE = 64;

// 2 * (depth + extra) spaces, or false when that does not fit a size_t.
inline bool brindle__indent_width(ptrdiff_t depth, ptrdiff_t extra, size_t *width) noexcept {
  if (depth < 0 || depth > PTRDIFF_MAX / 2 - extra - 1) return false;
  *width = static_cast<size_t>(2 * (depth + extra));
  return true;
}

// ---- Escaping into memory
// ------------------------------------------------------------------------

// Writes the escaped form of bytes at out, which must have room for 6 * length bytes; returns
// the end.
inline char *brindle__escape_into(char *out, const char *bytes, size_t length) noexcept {
  const char *end = bytes + length;
  while (bytes < end) {
    const char *plain_end = brindle__find_escape(bytes, end);
    const size_t plain = static_cast<size_t>(plain_end - bytes);
    std::memcpy(out, bytes, plain);
    out += plain;
    bytes = plain_end;
    if (bytes == end) break;
    out += brindle__escape_sequence(static_cast<unsigned char>(*bytes), out);
    ++bytes;
  }
  return out;
}

// Bytes the escaped form of bytes takes.
size_t brindle__escaped_length(const char *bytes, size_t length) noexcept;

// ---- Rewindability (measuring)
// -------------------------------------------------------------------

// Whether every source and JSON value member that would be written (also inside objects and
// object arrays) can be read again from its start.
bool brindle__record_is_rewindable(const brindle_map *map, const void *record) noexcept;

// ---- Measuring ---------------------------------------------------------------------------------

// The number of bytes the serializer writes for the record (map already validated).
// "serialized output is too large to measure" when the count overflows.
brindle_status brindle__serialize_count(const brindle_map *map, const void *record,
                                        const brindle_write_options *options, size_t *length,
                                        brindle_error *error) noexcept;

#endif  // BRINDLE_CORE_SERIALIZER_INTERNAL_H
