// Raw JSON values: an embedded value held as content to write (compact text, a reader, a FILE*,
// a descriptor or a path) or configured as the target of a mapped parse (sink, visitor,
// capture).
#include <cstring>

#include "values_internal.h"

namespace {

void stamp(brindle_json_value *value) {
  value->marker = brindle__marker(value, BRINDLE_MARKER_JSON_VALUE);
}

// The allocator a record may use: its own when the record is ours, else the default.
brindle_allocator usable_allocator(const brindle_json_value *value) {
  if (brindle__json_value_marker_ok(value)) return brindle__allocator_resolve(&value->allocator);
  return brindle_default_allocator();
}

struct TextSink {
  const brindle_allocator *allocator;
  char *text;
  size_t length;
};

brindle_status append_text(void *user, const char *bytes, size_t length, brindle_error *error) {
  auto *sink = static_cast<TextSink *>(user);
  if (brindle__text_buffer_append(sink->allocator, &sink->text, &sink->length, bytes, length) !=
      BRINDLE_OK) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate JSON value buffer");
  }
  return BRINDLE_OK;
}

}  // namespace

bool brindle__json_value_marker_ok(const brindle_json_value *value) noexcept {
  return value != nullptr && value->marker == brindle__marker(value, BRINDLE_MARKER_JSON_VALUE);
}

void brindle__json_value_release(brindle_json_value *value) noexcept {
  if (!brindle__json_value_marker_ok(value)) return;
  brindle__block_free(value->buffer);
  brindle__block_free(value->path);
  value->buffer = nullptr;
  value->length = 0;
  value->path = nullptr;
}

void brindle__json_value_moved(brindle_json_value *value, const void *old_address) noexcept {
  if (value != nullptr &&
      value->marker == brindle__marker(old_address, BRINDLE_MARKER_JSON_VALUE)) {
    stamp(value);
  }
}

extern "C" {

BRINDLE_API void brindle_json_value_init_with_allocator(
    brindle_json_value *value, const brindle_allocator *allocator) noexcept {
  if (value == nullptr) return;
  const brindle_allocator resolved = brindle__allocator_resolve(allocator);
  std::memset(value, 0, sizeof(*value));
  value->kind = BRINDLE_JSON_VALUE_NONE;
  value->fd = -1;
  value->parse_mode = BRINDLE_JSON_PARSE_NONE;
  value->limits = brindle__value_limits_normalize(nullptr);
  value->allocator = resolved;
  stamp(value);
}

BRINDLE_API void brindle_json_value_init(brindle_json_value *value) noexcept {
  brindle_json_value_init_with_allocator(value, nullptr);
}

BRINDLE_API void brindle_json_value_cleanup(brindle_json_value *value) noexcept {
  if (value == nullptr) return;
  // A copied or foreign record owns nothing: only our own record's buffers are freed.
  brindle__json_value_release(value);
  const brindle_allocator keep = brindle__allocator_resolve(&value->allocator);
  brindle_json_value_init_with_allocator(value, &keep);
}

BRINDLE_API void brindle_json_value_reset(brindle_json_value *value) noexcept {
  brindle_json_value_cleanup(value);
}

BRINDLE_API brindle_status brindle_json_value_set_buffer(brindle_json_value *value,
                                                         const char *bytes, size_t length,
                                                         brindle_error *error) noexcept {
  if (value == nullptr || bytes == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value handle and buffer are required");
  }
  // Parsed into a new buffer first, so that a failure leaves the value exactly as it was.
  const brindle_allocator allocator = usable_allocator(value);
  TextSink sink{&allocator, nullptr, 0};
  brindle__json_cursor cursor;
  brindle__json_cursor_init_memory(&cursor, bytes, length);
  brindle_error_init(error);
  const brindle_status status =
      brindle__json_parse_value(&cursor, append_text, &sink, 0, 0, 0, 0, &allocator,
                                "embedded JSON must contain exactly one value", error);
  if (status != BRINDLE_OK) {
    brindle__block_free(sink.text);
    return status;
  }
  brindle_json_value_cleanup(value);
  value->kind = BRINDLE_JSON_VALUE_BUFFER;
  value->buffer = sink.text;
  value->length = sink.length;
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_set_reader(brindle_json_value *value,
                                                         brindle_reader reader, void *user,
                                                         brindle_error *error) noexcept {
  if (value == nullptr || reader == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value handle and reader are required");
  }
  brindle_json_value_cleanup(value);
  value->kind = BRINDLE_JSON_VALUE_READER;
  value->reader = reader;
  value->reader_user = user;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_set_file(brindle_json_value *value, FILE *file,
                                                       brindle_error *error) noexcept {
  if (value == nullptr || file == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value handle and FILE* are required");
  }
  brindle_json_value_cleanup(value);
  value->kind = BRINDLE_JSON_VALUE_FILE;
  value->file = file;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_set_fd(brindle_json_value *value, int fd,
                                                     brindle_error *error) noexcept {
  if (value == nullptr || fd < 0) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value handle and non-negative fd are required");
  }
  brindle_json_value_cleanup(value);
  value->kind = BRINDLE_JSON_VALUE_FD;
  value->fd = fd;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_set_path(brindle_json_value *value, const char *path,
                                                       brindle_error *error) noexcept {
  if (value == nullptr || path == nullptr || path[0] == '\0') {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value handle and path are required");
  }
  // Copied first, so that a failed copy leaves the value as it was.
  const brindle_allocator allocator = usable_allocator(value);
  char *copy = brindle__block_strdup(&allocator, path);
  if (copy == nullptr) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to duplicate JSON value path");
  }
  brindle_json_value_cleanup(value);
  value->kind = BRINDLE_JSON_VALUE_PATH;
  value->path = copy;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_set_parse_sink(brindle_json_value *value,
                                                             brindle_sink sink, void *user,
                                                             brindle_error *error) noexcept {
  if (value == nullptr || sink == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value handle and parse sink are required");
  }
  brindle_json_value_cleanup(value);
  value->parse_mode = BRINDLE_JSON_PARSE_SINK;
  value->parse_sink = sink;
  value->parse_sink_user = user;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_set_parse_visitor(
    brindle_json_value *value, const brindle_value_visitor *visitor, void *user,
    const brindle_value_limits *limits, brindle_error *error) noexcept {
  if (value == nullptr || visitor == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "JSON value handle and parse visitor are required");
  }
  brindle_json_value_cleanup(value);
  value->parse_mode = BRINDLE_JSON_PARSE_VISITOR;
  value->visitor = visitor;
  value->visitor_user = user;
  value->limits = brindle__value_limits_normalize(limits);
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_enable_parse_capture(brindle_json_value *value,
                                                                   brindle_error *error) noexcept {
  if (value == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "JSON value handle is required");
  }
  brindle_json_value_cleanup(value);
  value->parse_mode = BRINDLE_JSON_PARSE_CAPTURE;
  brindle_error_init(error);
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_json_value_write_to_sink(const brindle_json_value *value,
                                                            brindle_sink sink, void *user,
                                                            brindle_error *error) noexcept {
  brindle_error_init(error);
  if (sink == nullptr) return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "sink is required");
  return brindle__json_transcode(value, sink, user, 0, 0, error);
}

BRINDLE_API int brindle_json_value_is_rewindable(const brindle_json_value *value) noexcept {
  if (value == nullptr) return 0;
  switch (value->kind) {
    case BRINDLE_JSON_VALUE_NONE:
    case BRINDLE_JSON_VALUE_BUFFER:
    case BRINDLE_JSON_VALUE_PATH:
      return 1;
    case BRINDLE_JSON_VALUE_FILE:
      return brindle__file_is_rewindable(value->file);
    case BRINDLE_JSON_VALUE_FD:
      return brindle__fd_is_rewindable(value->fd);
    default:
      return 0;
  }
}

}  // extern "C"
