// The array stream's element modes: elements parsed into mapped records or checked and captured
// by the push parser (skipped member values too), and string elements decoded in chunks or
// collected whole. Every mode may stop at any byte and resume with the next input.
#include <cstring>

#include "array_stream_internal.h"
#include "core/records.h"
#include "core/values_internal.h"

namespace {

// The parser's failure, its position moved from the element's start to the document's.
int take_parser_error(brindle_array_stream *stream) noexcept {
  const brindle_error *error = brindle__parser_error(stream->parser);
  stream->error = *error;
  if (error->code == BRINDLE_OK || error->code == BRINDLE_TRUNCATED) {
    brindle__set_error(&stream->error, BRINDLE_INTERNAL_ERROR, 0, 0, 0,
                       "array stream value parser failed");
  }
  if (error->line != 0 || error->offset != 0) {
    stream->error.offset = stream->element_offset + error->offset;
    if (error->line <= 1) {
      stream->error.line = stream->element_line;
      stream->error.column = stream->element_column + error->column;
    } else {
      stream->error.line = stream->element_line + error->line - 1;
      stream->error.column = error->column;
    }
  }
  stream->phase = BRINDLE__PHASE_FAILED;
  return BRINDLE_ARRAY_STREAM_ERROR;
}

// A handler's answer: OK goes on, TRUNCATED goes on with loss, anything else fails.
int handler_status(brindle_array_stream *stream, brindle_status status) noexcept {
  if (status == BRINDLE_OK) return -1;
  if (status == BRINDLE_TRUNCATED) {
    stream->element_truncated = true;
    return -1;
  }
  const brindle_status code =
      status > BRINDLE_OK && status <= BRINDLE_INTERNAL_ERROR ? status : BRINDLE_CALLBACK_FAILED;
  return brindle__array_fail(stream, code, "array stream string callback failed");
}

int continue_parser(brindle_array_stream *stream, const char *input, size_t length,
                    size_t *position) noexcept {
  const size_t available = length - *position;
  size_t consumed = 0;
  const brindle_status status =
      brindle__parser_feed_bytes(stream->parser, input + *position, available, &consumed, 1);
  if (status != BRINDLE_OK && status != BRINDLE_TRUNCATED) return take_parser_error(stream);
  if (stream->element_mode == BRINDLE__MODE_RAW &&
      !brindle__bytes_append(&stream->capture, &stream->allocator, input + *position, consumed)) {
    brindle__array_advance(stream, input + *position, consumed);
    *position += consumed;
    return brindle__array_fail(stream, BRINDLE_ALLOCATION_FAILED,
                               "failed to grow captured JSON value");
  }
  brindle__array_advance(stream, input + *position, consumed);
  *position += consumed;
  if (status == BRINDLE_TRUNCATED) stream->element_truncated = true;
  if (brindle__parser_root_complete(stream->parser)) return BRINDLE_ARRAY_STREAM_ITEM;
  if (consumed < available) {
    return brindle__array_fail(stream, BRINDLE_INTERNAL_ERROR,
                               "array stream value parser made no progress");
  }
  return BRINDLE_ARRAY_STREAM_NEED_INPUT;
}

int continue_string(brindle_array_stream *stream, const brindle__array_request *request,
                    const char *input, size_t length, size_t *position) noexcept {
  char scratch[BRINDLE__ARRAY_BLOCK + 8];
  while (*position < length) {
    size_t chunk = length - *position;
    if (chunk > BRINDLE__ARRAY_BLOCK) chunk = BRINDLE__ARRAY_BLOCK;
    char *out = scratch;
    if (stream->element_mode == BRINDLE__MODE_ITEMS) {
      if (!brindle__bytes_reserve(&stream->capture, &stream->allocator, chunk + 4)) {
        return brindle__array_fail(stream, BRINDLE_ALLOCATION_FAILED,
                                   "failed to grow array stream string item");
      }
      out = stream->capture.data + stream->capture.length;
    }
    size_t produced = 0;
    bool done = false;
    const char *message = nullptr;
    const size_t used = brindle__string_decode(&stream->decoder, input + *position, chunk, out,
                                               &produced, &done, &message);
    brindle__array_advance(stream, input + *position, used);
    *position += used;
    if (message != nullptr) return brindle__array_fail(stream, BRINDLE_INVALID_JSON, "%s", message);
    if (stream->element_mode == BRINDLE__MODE_ITEMS) {
      stream->capture.length += produced;
      stream->capture.data[stream->capture.length] = '\0';
      if (stream->capture.length > BRINDLE__ARRAY_MAX_ITEM) {
        return brindle__array_fail(stream, BRINDLE_OVERFLOW,
                                   "array stream string item exceeds 1048576 bytes");
      }
    } else if (produced > 0) {
      brindle_error scratch_error;
      brindle_error_init(&scratch_error);
      const int r =
          handler_status(stream, request->handlers->item_chunk(request->handler_context, scratch,
                                                               produced, &scratch_error));
      if (r >= 0) return r;
    }
    if (done) return BRINDLE_ARRAY_STREAM_ITEM;
  }
  return BRINDLE_ARRAY_STREAM_NEED_INPUT;
}

}  // namespace

void brindle__array_prepare_destination(brindle_array_stream *stream, const brindle_map *map,
                                        void *destination) noexcept {
  if (stream->options.clear_destination == 0) return;
  if (destination == stream->prepared && map == stream->prepared_map) {
    brindle_reset(map, destination);
    return;
  }
  brindle__parser_prepare_record(map, destination, &stream->options);
  stream->prepared = destination;
  stream->prepared_map = map;
}

int brindle__array_element_begin(brindle_array_stream *stream,
                                 const brindle__array_request *request, const char *input,
                                 size_t length, size_t *position) noexcept {
  stream->element_offset = stream->offset;
  stream->element_line = stream->line;
  stream->element_column = stream->offset - stream->line_start;
  stream->element_truncated = false;
  stream->element_mode = request != nullptr ? request->mode : uint8_t{BRINDLE__MODE_NONE};
  stream->element_map = request != nullptr ? request->map : nullptr;
  stream->element_destination = request != nullptr ? request->destination : nullptr;
  switch (stream->element_mode) {
    case BRINDLE__MODE_MAPPED:
      brindle__array_prepare_destination(stream, request->map, request->destination);
      brindle__parser_release(stream->parser);
      brindle__parser_init_state(stream->parser, request->map, request->destination,
                                 &stream->options, 0);
      break;
    case BRINDLE__MODE_NONE:
    case BRINDLE__MODE_RAW:
      brindle__bytes_clear(&stream->capture, &stream->allocator);
      brindle__parser_release(stream->parser);
      brindle__parser_init_state(stream->parser, nullptr, nullptr, &stream->options, 1);
      break;
    case BRINDLE__MODE_CHUNKS:
    case BRINDLE__MODE_ITEMS: {
      const char c = input[*position];
      brindle__array_advance(stream, input + *position, 1);
      ++*position;
      if (c != '"') {
        return brindle__array_fail(stream, BRINDLE_TYPE_MISMATCH,
                                   "selected array item is not a string");
      }
      brindle__string_decoder_reset(&stream->decoder);
      brindle__bytes_clear(&stream->capture, &stream->allocator);
      if (stream->element_mode == BRINDLE__MODE_CHUNKS &&
          request->handlers->item_begin != nullptr) {
        brindle_error scratch_error;
        brindle_error_init(&scratch_error);
        const int r = handler_status(
            stream, request->handlers->item_begin(request->handler_context, &scratch_error));
        if (r >= 0) return r;
      }
      if (*position == length) return BRINDLE_ARRAY_STREAM_NEED_INPUT;
      break;
    }
    default:
      return brindle__array_fail(stream, BRINDLE_INTERNAL_ERROR, "invalid array stream mode");
  }
  return brindle__array_element_continue(stream, request, input, length, position);
}

int brindle__array_element_continue(brindle_array_stream *stream,
                                    const brindle__array_request *request, const char *input,
                                    size_t length, size_t *position) noexcept {
  if (stream->element_mode == BRINDLE__MODE_CHUNKS || stream->element_mode == BRINDLE__MODE_ITEMS) {
    return continue_string(stream, request, input, length, position);
  }
  return continue_parser(stream, input, length, position);
}

int brindle__array_element_at_eof(brindle_array_stream *stream) noexcept {
  if (stream->element_mode != BRINDLE__MODE_CHUNKS && stream->element_mode != BRINDLE__MODE_ITEMS) {
    // A number is complete only when something follows it; the end of input does that too.
    const brindle_status status = brindle_parser_finish(stream->parser);
    if (status == BRINDLE_OK || status == BRINDLE_TRUNCATED) {
      if (status == BRINDLE_TRUNCATED) stream->element_truncated = true;
      return BRINDLE_ARRAY_STREAM_ITEM;
    }
  }
  return brindle__array_fail(stream, BRINDLE_INVALID_JSON, "unterminated JSON value");
}

// ---- Raw elements ------------------------------------------------------------------------------

namespace {

constexpr size_t kMaxObjects = 128;  // the parser's workspace allows far fewer open levels

// Visitor state for the repeated-key check of a captured element.
struct duplicate_check {
  brindle_array_stream *stream;
  uint64_t scopes[kMaxObjects];
  size_t depth;
  uint64_t next_scope;
  brindle__bytes key;
};

brindle_status check_object_begin(void *user, brindle_error *error) {
  auto *check = static_cast<duplicate_check *>(user);
  if (check->depth == kMaxObjects) {
    return brindle__fail(error, BRINDLE_OVERFLOW, "JSON value nesting exceeds maximum depth");
  }
  check->scopes[check->depth++] = ++check->next_scope;
  return BRINDLE_OK;
}

brindle_status check_object_end(void *user, brindle_error *) {
  auto *check = static_cast<duplicate_check *>(user);
  if (check->depth > 0) --check->depth;
  return BRINDLE_OK;
}

brindle_status check_key_begin(void *user, brindle_error *) {
  static_cast<duplicate_check *>(user)->key.length = 0;
  return BRINDLE_OK;
}

brindle_status check_key_chunk(void *user, const char *bytes, size_t length, brindle_error *error) {
  auto *check = static_cast<duplicate_check *>(user);
  if (!brindle__bytes_append(&check->key, &check->stream->allocator, bytes, length)) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate array stream key");
  }
  return BRINDLE_OK;
}

brindle_status check_key_end(void *user, brindle_error *error) {
  auto *check = static_cast<duplicate_check *>(user);
  if (check->depth == 0) return BRINDLE_OK;
  const brindle__key_insert inserted =
      brindle__key_set_insert(&check->stream->value_keys, &check->stream->allocator,
                              check->scopes[check->depth - 1], check->key.data, check->key.length);
  if (inserted == BRINDLE__KEY_NO_MEMORY) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate array stream key");
  }
  if (inserted == BRINDLE__KEY_REPEATED) {
    return brindle__fail(error, BRINDLE_DUPLICATE_FIELD, "duplicate object field");
  }
  return BRINDLE_OK;
}

// Fails the stream with a failure reported without a position: it is placed at the element's
// first byte.
int fail_at_element(brindle_array_stream *stream, const brindle_error &error) noexcept {
  stream->error = error;
  stream->error.offset = stream->element_offset + 1;
  stream->error.line = stream->element_line;
  stream->error.column = stream->element_column + 1;
  if (stream->error.code == BRINDLE_OK) stream->error.code = BRINDLE_INTERNAL_ERROR;
  stream->phase = BRINDLE__PHASE_FAILED;
  return BRINDLE_ARRAY_STREAM_ERROR;
}

}  // namespace

int brindle__array_raw_deliver(brindle_array_stream *stream, brindle_json_value *value) noexcept {
  brindle_error error;
  brindle_error_init(&error);
  if (stream->options.reject_duplicates != 0 &&
      std::memchr(stream->capture.data, '{', stream->capture.length) != nullptr) {
    duplicate_check check{};
    check.stream = stream;
    brindle_value_visitor visitor{};
    visitor.object_begin = check_object_begin;
    visitor.object_end = check_object_end;
    visitor.key_begin = check_key_begin;
    visitor.key_chunk = check_key_chunk;
    visitor.key_end = check_key_end;
    // The text passed the parser already; only the repeated keys are of interest here.
    const brindle_value_limits limits{kMaxObjects + 1, SIZE_MAX / 2, SIZE_MAX / 2, SIZE_MAX / 2, 0};
    brindle__json_cursor cursor;
    brindle__json_cursor_init_memory(&cursor, stream->capture.data, stream->capture.length);
    const brindle_status status =
        brindle__json_visit_value(&cursor, &visitor, &check, &limits, &stream->allocator, &error);
    brindle__bytes_free(&check.key, &stream->allocator);
    brindle__key_set_clear(&stream->value_keys, &stream->allocator);
    if (status != BRINDLE_OK) return fail_at_element(stream, error);
  }
  const brindle_status status =
      brindle_json_value_set_buffer(value, stream->capture.data, stream->capture.length, &error);
  brindle__bytes_clear(&stream->capture, &stream->allocator);
  if (status != BRINDLE_OK) return fail_at_element(stream, error);
  return BRINDLE_ARRAY_STREAM_ITEM;
}
