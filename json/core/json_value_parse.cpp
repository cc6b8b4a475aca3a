// What a JSON value member does while the mapped parser reads its value: the parser hands over
// the value's compact text piece by piece (sink and capture modes) or walks it through the
// member's visitor itself.
#include <cstring>

#include "values_internal.h"

namespace {

constexpr size_t kFirstTextCapacity = 64;

}  // namespace

brindle_status brindle__text_buffer_append(const brindle_allocator *allocator, char **buffer,
                                           size_t *length, const char *bytes,
                                           size_t count) noexcept {
  if (count > SIZE_MAX - 1 - *length) return BRINDLE_ALLOCATION_FAILED;
  const size_t needed = *length + count + 1;  // with the NUL
  size_t capacity = brindle__block_size(*buffer);
  if (needed > capacity) {
    if (capacity < kFirstTextCapacity) capacity = kFirstTextCapacity;
    while (capacity < needed)
      capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    void *grown = brindle__block_realloc(allocator, *buffer, capacity);
    if (grown == nullptr) return BRINDLE_ALLOCATION_FAILED;
    *buffer = static_cast<char *>(grown);
  }
  if (count > 0) std::memcpy(*buffer + *length, bytes, count);
  *length += count;
  (*buffer)[*length] = '\0';
  return BRINDLE_OK;
}

brindle_status brindle__json_value_parse_begin(brindle_json_value *value,
                                               brindle_error *error) noexcept {
  if (value == nullptr) {
    return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "JSON value stream has no destination");
  }
  if (brindle__json_value_marker_ok(value)) {
    brindle__json_value_release(value);
  } else {
    // A copied record: what it points at belongs to the original. From now on the record owns
    // what the parse puts into it.
    value->buffer = nullptr;
    value->length = 0;
    value->path = nullptr;
    value->allocator = brindle__allocator_resolve(&value->allocator);
    value->marker = brindle__marker(value, BRINDLE_MARKER_JSON_VALUE);
  }
  value->kind = BRINDLE_JSON_VALUE_NONE;
  value->reader = nullptr;
  value->reader_user = nullptr;
  value->file = nullptr;
  value->fd = -1;
  const int32_t mode = value->parse_mode;
  if (mode != BRINDLE_JSON_PARSE_SINK && mode != BRINDLE_JSON_PARSE_VISITOR &&
      mode != BRINDLE_JSON_PARSE_CAPTURE) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value parse requires a configured parse sink, parse visitor, or "
                         "parse capture");
  }
  return BRINDLE_OK;
}

brindle_status brindle__json_value_parse_text(brindle_json_value *value, const char *bytes,
                                              size_t length, brindle_error *error) noexcept {
  if (value == nullptr) {
    return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "JSON value stream has no destination");
  }
  if (value->parse_mode == BRINDLE_JSON_PARSE_SINK && value->parse_sink != nullptr) {
    const brindle_status status = value->parse_sink(value->parse_sink_user, bytes, length, error);
    if (status == BRINDLE_OK) return BRINDLE_OK;
    if (status == BRINDLE_TRUNCATED) {
      if (error != nullptr) error->truncated = 1;
      return BRINDLE_TRUNCATED;
    }
    return brindle__callback_failed(error, status, "JSON value parse sink failed");
  }
  if (value->parse_mode == BRINDLE_JSON_PARSE_CAPTURE) {
    if (brindle__text_buffer_append(&value->allocator, &value->buffer, &value->length, bytes,
                                    length) != BRINDLE_OK) {
      return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to grow captured JSON value");
    }
    return BRINDLE_OK;
  }
  return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                       "JSON value field has no configured parse sink or capture mode");
}

brindle_status brindle__json_value_parse_end(brindle_json_value *value,
                                             brindle_error *error) noexcept {
  if (value == nullptr) {
    return brindle__fail(error, BRINDLE_INTERNAL_ERROR, "JSON value stream has no destination");
  }
  if (value->parse_mode == BRINDLE_JSON_PARSE_CAPTURE && value->buffer != nullptr) {
    value->kind = BRINDLE_JSON_VALUE_BUFFER;  // serializes like a value set with set-buffer
  }
  return BRINDLE_OK;
}
