// Omission rules, integer formatting, base64 groups and rewindability checks shared by the
// serializer, the generator and measuring.
#include "serializer_internal.h"

const char brindle__newline_spaces[66] =
    "\n                                                                ";

bool brindle__field_is_empty_for_omit(const brindle_field *field, const void *record) noexcept {
  const void *member = brindle__member(record, field);
  if ((field->flags & BRINDLE_FIELD_HAS_PRESENT) != 0) {
    // A nullable member without a value is written as null, not left out.
    return (field->flags & BRINDLE_FIELD_NULLABLE) == 0 &&
           brindle__load<int32_t>(static_cast<const char *>(record) + field->present_offset) == 0;
  }
  const bool omit_empty = (field->flags & BRINDLE_FIELD_OMIT_EMPTY) != 0;
  if (!omit_empty && (field->flags & BRINDLE_FIELD_OMIT_NULL) == 0) return false;
  switch (field->kind) {
    case BRINDLE_FIELD_STRING:
      return field->storage != BRINDLE_STORAGE_FIXED && brindle__load<char *>(member) == nullptr;
    case BRINDLE_FIELD_SOURCE_TEXT:
    case BRINDLE_FIELD_SOURCE_BYTES:
      return static_cast<const brindle_source *>(member)->kind == BRINDLE_SOURCE_NONE;
    case BRINDLE_FIELD_JSON_VALUE:
      return static_cast<const brindle_json_value *>(member)->kind == BRINDLE_JSON_VALUE_NONE;
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES:
      return omit_empty && static_cast<const brindle_spooled *>(member)->size == 0;
    case BRINDLE_FIELD_STRING_ARRAY:
    case BRINDLE_FIELD_I64_ARRAY:
    case BRINDLE_FIELD_U64_ARRAY:
    case BRINDLE_FIELD_F64_ARRAY:
    case BRINDLE_FIELD_BOOL_ARRAY:
      return omit_empty && brindle__load<brindle_array>(member).count == 0;
    case BRINDLE_FIELD_OBJECT_ARRAY:
      return omit_empty && brindle__load<brindle_object_array>(member).count == 0;
    case BRINDLE_FIELD_OBJECT: {
      if (!omit_empty || field->submap == nullptr) return false;
      const brindle_map *submap = field->submap;
      for (size_t i = 0; i < submap->field_count; ++i) {
        if (!brindle__field_is_empty_for_omit(&submap->fields[i], member)) return false;
      }
      return true;
    }
    default:
      return false;
  }
}

namespace {

unsigned digit_count(uint32_t value) {
  unsigned count = 1;
  for (;;) {
    if (value < 10) return count;
    if (value < 100) return count + 1;
    if (value < 1000) return count + 2;
    if (value < 10000) return count + 3;
    value /= 10000;
    count += 4;
  }
}

// Digits of a value below 10^8, from the end backwards, in 32-bit arithmetic.
char *short_digits(char *out, uint32_t value) {
  char *const end = out + digit_count(value);
  char *at = end;
  while (value >= 100) {
    const uint32_t pair = value % 100;
    value /= 100;
    at -= 2;
    std::memcpy(at, brindle__digit_pairs + pair * 2, 2);
  }
  if (value >= 10) {
    std::memcpy(at - 2, brindle__digit_pairs + value * 2, 2);
  } else {
    at[-1] = static_cast<char>('0' + value);
  }
  return end;
}

}  // namespace

// Longer values are cut into groups of eight digits, which are written independently.
char *brindle__format_u64(char *out, uint64_t value) noexcept {
  constexpr uint64_t kTen8 = 100000000;
  if (value < kTen8) return short_digits(out, static_cast<uint32_t>(value));
  if (value < kTen8 * kTen8) {
    out = short_digits(out, static_cast<uint32_t>(value / kTen8));
    brindle__eight_digits(out, static_cast<uint32_t>(value % kTen8));
    return out + 8;
  }
  out = short_digits(out, static_cast<uint32_t>(value / (kTen8 * kTen8)));
  brindle__eight_digits(out, static_cast<uint32_t>(value / kTen8 % kTen8));
  brindle__eight_digits(out + 8, static_cast<uint32_t>(value % kTen8));
  return out + 16;
}

char *brindle__format_i64(char *out, int64_t value) noexcept {
  if (value >= 0) return brindle__format_u64(out, static_cast<uint64_t>(value));
  *out = '-';
  // The magnitude of the minimum value does not fit an int64_t, so negate in unsigned.
  return brindle__format_u64(out + 1, 0 - static_cast<uint64_t>(value));
}

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

char *brindle__base64_groups(const unsigned char *bytes, size_t length, char *out) noexcept {
  for (size_t i = 0; i + 3 <= length; i += 3) {
    const uint32_t group = (static_cast<uint32_t>(bytes[i]) << 16) |
                           (static_cast<uint32_t>(bytes[i + 1]) << 8) | bytes[i + 2];
    out[0] = kBase64Alphabet[(group >> 18) & 0x3F];
    out[1] = kBase64Alphabet[(group >> 12) & 0x3F];
    out[2] = kBase64Alphabet[(group >> 6) & 0x3F];
    out[3] = kBase64Alphabet[group & 0x3F];
    out += 4;
  }
  return out;
}

void brindle__base64_tail(const unsigned char *bytes, size_t length, char out[4]) noexcept {
  const uint32_t group = (static_cast<uint32_t>(bytes[0]) << 16) |
                         (length > 1 ? static_cast<uint32_t>(bytes[1]) << 8 : 0u);
  out[0] = kBase64Alphabet[(group >> 18) & 0x3F];
  out[1] = kBase64Alphabet[(group >> 12) & 0x3F];
  out[2] = length > 1 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=';
  out[3] = '=';
}

size_t brindle__escaped_length(const char *bytes, size_t length) noexcept {
  size_t total = length;
  const char *end = bytes + length;
  for (const char *p = brindle__find_escape(bytes, end); p < end;
       p = brindle__find_escape(p + 1, end)) {
    char sequence[6];
    total += brindle__escape_sequence(static_cast<unsigned char>(*p), sequence) - 1;
  }
  return total;
}

bool brindle__record_is_rewindable(const brindle_map *map, const void *record) noexcept {
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *field = &map->fields[i];
    if (brindle__field_is_skipped(field, record)) continue;
    const void *member = brindle__member(record, field);
    switch (field->kind) {
      case BRINDLE_FIELD_SOURCE_TEXT:
      case BRINDLE_FIELD_SOURCE_BYTES:
        if (brindle_source_is_rewindable(static_cast<const brindle_source *>(member)) == 0) {
          return false;
        }
        break;
      case BRINDLE_FIELD_JSON_VALUE:
        if (brindle_json_value_is_rewindable(static_cast<const brindle_json_value *>(member)) ==
            0) {
          return false;
        }
        break;
      case BRINDLE_FIELD_OBJECT:
        if (field->submap != nullptr && !brindle__record_is_rewindable(field->submap, member)) {
          return false;
        }
        break;
      case BRINDLE_FIELD_OBJECT_ARRAY: {
        if (field->submap == nullptr) break;
        const brindle_object_array array = brindle__load<brindle_object_array>(member);
        size_t stride = 0;
        if (array.items == nullptr || !brindle__object_array_stride(field, array, &stride)) break;
        for (size_t k = 0; k < array.count; ++k) {
          if (!brindle__record_is_rewindable(field->submap,
                                             static_cast<const char *>(array.items) + k * stride)) {
            return false;
          }
        }
        break;
      }
      default:
        break;
    }
  }
  return true;
}
