// JSON value text output: what the serializer and brindle_json_value_write_to_sink write for a
// raw JSON value.
#include "values_internal.h"

namespace {

brindle_status write_piece(brindle_sink sink, void *user, const char *bytes, size_t length,
                           brindle_error *error) {
  bool truncated = false;
  const brindle_status status = brindle__sink_call(sink, user, bytes, length, error, &truncated);
  if (status != BRINDLE_OK) return brindle__callback_failed(error, status, "sink failed");
  return brindle__finish(error, truncated);
}

}  // namespace

brindle_status brindle__json_transcode(const brindle_json_value *value, brindle_sink sink,
                                       void *user, int pretty, size_t depth,
                                       brindle_error *error) noexcept {
  if (value == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "JSON value handle is required");
  }
  if (sink == nullptr) return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "sink is required");
  if (value->kind == BRINDLE_JSON_VALUE_NONE) return write_piece(sink, user, "null", 4, error);
  // Stored text is always one compact, valid value (set-buffer and capture make it so).
  if (value->kind == BRINDLE_JSON_VALUE_BUFFER && pretty == 0 && value->buffer != nullptr) {
    return write_piece(sink, user, value->buffer, value->length, error);
  }
  brindle__json_cursor cursor;
  brindle_status status = brindle__json_cursor_open(&cursor, value, error);
  if (status != BRINDLE_OK) return status;
  const brindle_value_limits limits = brindle__value_limits_normalize(&value->limits);
  const brindle_allocator allocator = brindle__json_value_marker_ok(value)
                                          ? brindle__allocator_resolve(&value->allocator)
                                          : brindle_default_allocator();
  status = brindle__json_parse_value(&cursor, sink, user, pretty, depth, limits.max_total_bytes,
                                     limits.max_depth, &allocator,
                                     "embedded JSON must contain exactly one value", error);
  brindle__json_cursor_close(&cursor);
  return status;
}
