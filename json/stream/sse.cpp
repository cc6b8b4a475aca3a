// Server-sent events: the line states, field lines, the plain flavour's callbacks and the entry
// points of both flavours.
#include <cstring>
#include <new>

#include "sse_internal.h"

namespace {

constexpr size_t kDefaultMaxLineBytes = 65536;
constexpr size_t kDefaultMaxDataBytes = 1048576;
constexpr size_t kDefaultMaxFieldBytes = 1048576;

bool field_is(const char *name, size_t length, const char *expected) {
  return std::strlen(expected) == length && std::memcmp(name, expected, length) == 0;
}

// One or more ASCII digits that fit in 64 bits.
bool parse_retry(const char *value, size_t length, uint64_t *out) {
  if (length == 0) return false;
  uint64_t result = 0;
  for (size_t i = 0; i < length; ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(value[i] - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *out = result;
  return true;
}

brindle_status plain_begin(brindle_sse *parser, const brindle__sse_call *call) {
  parser->begun = true;
  const brindle_sse_callbacks *callbacks = call->callbacks;
  if (callbacks == nullptr || callbacks->begin_event == nullptr) return BRINDLE_OK;
  const brindle_sse_event event = brindle__sse_event_view(parser);
  if (callbacks->begin_event(call->user_data, &event, call->error) != 0) {
    return brindle__sse_callback_failed(call->error, "SSE begin_event callback failed");
  }
  return BRINDLE_OK;
}

brindle_status plain_chunk(brindle_sse *parser, const char *bytes, size_t length,
                           const brindle__sse_call *call) {
  parser->data_length += length;
  const brindle_sse_callbacks *callbacks = call->callbacks;
  if (callbacks == nullptr || callbacks->data_chunk == nullptr) return BRINDLE_OK;
  if (callbacks->data_chunk(call->user_data, bytes, length, call->error) != 0) {
    return brindle__sse_callback_failed(call->error, "SSE data_chunk callback failed");
  }
  return BRINDLE_OK;
}

brindle_status plain_data_line(brindle_sse *parser, const char *value, size_t length,
                               const brindle__sse_call *call) {
  const size_t joining = parser->data_seen ? 1 : 0;
  if (parser->data_length > parser->max_data_bytes ||
      joining + length > parser->max_data_bytes - parser->data_length) {
    return brindle__fail(call->error, BRINDLE_OVERFLOW, "SSE event data exceeds configured limit");
  }
  parser->has_content = true;
  brindle_status status = BRINDLE_OK;
  if (!parser->begun) status = plain_begin(parser, call);
  if (status == BRINDLE_OK && parser->data_seen) status = plain_chunk(parser, "\n", 1, call);
  if (status == BRINDLE_OK && length != 0) status = plain_chunk(parser, value, length, call);
  parser->data_seen = true;
  return status;
}

brindle_status plain_dispatch(brindle_sse *parser, const brindle__sse_call *call) {
  if (!parser->has_content) return BRINDLE_OK;
  brindle_status status = BRINDLE_OK;
  if (!parser->begun) status = plain_begin(parser, call);
  const brindle_sse_callbacks *callbacks = call->callbacks;
  if (status == BRINDLE_OK && callbacks != nullptr && callbacks->end_event != nullptr) {
    const brindle_sse_event event = brindle__sse_event_view(parser);
    if (callbacks->end_event(call->user_data, &event, call->error) != 0) {
      status = brindle__sse_callback_failed(call->error, "SSE end_event callback failed");
    }
  }
  brindle__sse_reset_event(parser);
  return status;
}

brindle_status process_line(brindle_sse *parser, const char *line, size_t length,
                            const brindle__sse_call *call) {
  if (length == 0) {
    return call->json ? brindle__sse_json_dispatch(parser, call) : plain_dispatch(parser, call);
  }
  if (line[0] == ':') return BRINDLE_OK;  // comment
  const void *colon = std::memchr(line, ':', length);
  const size_t name_length =
      colon != nullptr ? static_cast<size_t>(static_cast<const char *>(colon) - line) : length;
  const char *value = line + name_length;
  const char *const end = line + length;
  if (value < end) ++value;                   // the colon
  if (value < end && *value == ' ') ++value;  // one leading space
  const size_t value_length = static_cast<size_t>(end - value);

  if (field_is(line, name_length, "data")) {
    return call->json ? brindle__sse_json_data_line(parser, value, value_length, call)
                      : plain_data_line(parser, value, value_length, call);
  }
  if (field_is(line, name_length, "event")) {
    if (call->json) return brindle__sse_json_event_line(parser, value, value_length, call);
    parser->has_content = true;
    return brindle__framing_assign(&parser->event_name, &parser->allocator, value, value_length,
                                   call->error);
  }
  if (field_is(line, name_length, "id")) {
    if (std::memchr(value, '\0', value_length) != nullptr) return BRINDLE_OK;
    parser->has_content = true;
    parser->has_id = true;
    return brindle__framing_assign(&parser->id, &parser->allocator, value, value_length,
                                   call->error);
  }
  if (field_is(line, name_length, "retry")) {
    uint64_t retry = 0;
    if (!parse_retry(value, value_length, &retry)) return BRINDLE_OK;
    parser->retry = retry;
    parser->has_retry = 1;
    parser->has_content = true;
  }
  return BRINDLE_OK;  // unknown fields are ignored
}

brindle_status check_push(brindle_sse *parser, const char *bytes, size_t length,
                          brindle_error *error) {
  if (parser == nullptr || (bytes == nullptr && length != 0)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "SSE parser and bytes are required");
  }
  if (parser->finished) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "SSE parser is already finished");
  }
  return BRINDLE_OK;
}

brindle_status check_json_arguments(const brindle_map *map, void *destination,
                                    const brindle_sse_json_options *json_options,
                                    brindle_error *error) {
  if (map == nullptr || destination == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "map and destination are required");
  }
  if (json_options != nullptr && json_options->parse_options != nullptr &&
      !brindle__allocator_is_valid(json_options->parse_options->allocator)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "allocator must provide either all callbacks or none");
  }
  return BRINDLE_OK;
}

}  // namespace

brindle_sse_event brindle__sse_event_view(const brindle_sse *parser) noexcept {
  brindle_sse_event event{};
  event.event = brindle__framing_text(&parser->event_name);
  event.id = parser->has_id ? brindle__framing_text(&parser->id) : nullptr;
  event.data_length = parser->data_length;
  event.retry = parser->retry;
  event.has_retry = parser->has_retry;
  return event;
}

void brindle__sse_reset_event(brindle_sse *parser) noexcept {
  brindle__framing_clear(&parser->event_name);
  brindle__framing_clear(&parser->id);
  parser->has_id = false;
  parser->data_length = 0;
  parser->retry = 0;
  parser->has_retry = 0;
  parser->has_content = false;
  parser->begun = false;
  parser->data_seen = false;
  brindle__sse_json_end_event(parser);
}

brindle_status brindle__sse_callback_failed(brindle_error *error, const char *message) noexcept {
  if (error != nullptr && error->code != BRINDLE_OK)
    return static_cast<brindle_status>(error->code);
  return brindle__fail(error, BRINDLE_CALLBACK_FAILED, "%s", message);
}

brindle_status brindle__sse_feed(brindle_sse *parser, const char *bytes, size_t length,
                                 const brindle__sse_call *call) noexcept {
  size_t at = 0;
  while (at < length) {
    // A whole line inside the chunk is processed where it lies, without copying it.
    if (parser->line.line.length == 0 && !parser->line.cr_pending) {
      const size_t end = brindle__find_line_break(bytes + at, length - at);
      if (end < length - at && end <= parser->max_line_bytes &&
          (bytes[at + end] == '\n' || at + end + 1 < length)) {
        size_t next = at + end + 1;
        if (bytes[at + end] == '\r' && bytes[next] == '\n') ++next;
        const brindle_status status = process_line(parser, bytes + at, end, call);
        if (status != BRINDLE_OK) return status;
        at = next;
        continue;
      }
    }
    size_t used = 0;
    bool complete = false;
    brindle_status status = brindle__line_take(&parser->line, &parser->allocator, bytes + at,
                                               length - at, &used, &complete, call->error);
    if (status != BRINDLE_OK) return status;
    at += used;
    if (!complete) continue;
    status = process_line(parser, brindle__framing_text(&parser->line.line),
                          parser->line.line.length, call);
    brindle__line_done(&parser->line);
    if (status != BRINDLE_OK) return status;
  }
  return BRINDLE_OK;
}

brindle_status brindle__sse_finish(brindle_sse *parser, const brindle__sse_call *call) noexcept {
  brindle_status status = BRINDLE_OK;
  if (parser->line.cr_pending || parser->line.line.length != 0) {
    parser->line.cr_pending = false;
    status = process_line(parser, brindle__framing_text(&parser->line.line),
                          parser->line.line.length, call);
    brindle__line_done(&parser->line);
  }
  if (status == BRINDLE_OK) {
    status = call->json ? brindle__sse_json_dispatch(parser, call) : plain_dispatch(parser, call);
  }
  if (status == BRINDLE_OK) parser->finished = true;
  return status;
}

extern "C" {

BRINDLE_API brindle_sse_options brindle_default_sse_options(void) noexcept {
  brindle_sse_options options{};
  options.max_line_bytes = kDefaultMaxLineBytes;
  options.max_data_bytes = kDefaultMaxDataBytes;
  options.max_field_bytes = kDefaultMaxFieldBytes;
  options.allocator = nullptr;
  return options;
}

BRINDLE_API brindle_sse *brindle_sse_open(const brindle_sse_options *options,
                                          brindle_error *error) noexcept {
  const brindle_sse_options given = options != nullptr ? *options : brindle_default_sse_options();
  if (!brindle__allocator_is_valid(given.allocator)) {
    brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                  "allocator must provide either all callbacks or none");
    return nullptr;
  }
  const brindle_allocator allocator = brindle__allocator_resolve(given.allocator);
  void *memory = brindle__raw_alloc(&allocator, sizeof(brindle_sse));
  if (memory == nullptr) {
    brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate SSE parser");
    return nullptr;
  }
  brindle_sse *parser = new (memory) brindle_sse{};
  parser->max_line_bytes = given.max_line_bytes != 0 ? given.max_line_bytes : kDefaultMaxLineBytes;
  parser->max_data_bytes = given.max_data_bytes != 0 ? given.max_data_bytes : kDefaultMaxDataBytes;
  parser->max_field_bytes =
      given.max_field_bytes != 0 ? given.max_field_bytes : kDefaultMaxFieldBytes;
  parser->caller_allocator = given.allocator;
  parser->allocator = allocator;
  brindle__line_reader_init(&parser->line, parser->max_line_bytes);
  brindle__framing_init(&parser->event_name, parser->max_field_bytes);
  brindle__framing_init(&parser->id, parser->max_field_bytes);
  brindle_error_init(error);
  return parser;
}

BRINDLE_API brindle_status brindle_sse_push(brindle_sse *parser, const char *bytes, size_t length,
                                            const brindle_sse_callbacks *callbacks, void *user_data,
                                            brindle_error *error) noexcept {
  brindle_status status = check_push(parser, bytes, length, error);
  if (status != BRINDLE_OK) return status;
  brindle_error_init(error);
  brindle__sse_call call{};
  call.callbacks = callbacks;
  call.user_data = user_data;
  call.error = error;
  return brindle__sse_feed(parser, bytes, length, &call);
}

BRINDLE_API brindle_status brindle_sse_finish(brindle_sse *parser,
                                              const brindle_sse_callbacks *callbacks,
                                              void *user_data, brindle_error *error) noexcept {
  if (parser == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "SSE parser is required");
  }
  brindle_error_init(error);
  if (parser->finished) return BRINDLE_OK;
  brindle__sse_call call{};
  call.callbacks = callbacks;
  call.user_data = user_data;
  call.error = error;
  return brindle__sse_finish(parser, &call);
}

BRINDLE_API brindle_status brindle_sse_push_json(brindle_sse *parser, const brindle_map *map,
                                                 void *destination, const char *bytes,
                                                 size_t length,
                                                 const brindle_sse_json_options *json_options,
                                                 brindle_sse_json_callback callback,
                                                 void *user_data, brindle_error *error) noexcept {
  brindle_status status = check_json_arguments(map, destination, json_options, error);
  if (status == BRINDLE_OK) status = check_push(parser, bytes, length, error);
  if (status != BRINDLE_OK) return status;
  brindle_error_init(error);
  brindle__sse_call call{};
  call.json = true;
  call.user_data = user_data;
  call.map = map;
  call.destination = destination;
  call.json_options = json_options;
  call.callback = callback;
  call.error = error;
  return brindle__sse_feed(parser, bytes, length, &call);
}

BRINDLE_API brindle_status brindle_sse_finish_json(brindle_sse *parser, const brindle_map *map,
                                                   void *destination,
                                                   const brindle_sse_json_options *json_options,
                                                   brindle_sse_json_callback callback,
                                                   void *user_data, brindle_error *error) noexcept {
  brindle_status status = check_json_arguments(map, destination, json_options, error);
  if (status != BRINDLE_OK) return status;
  if (parser == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "SSE parser is required");
  }
  brindle_error_init(error);
  if (parser->finished) return BRINDLE_OK;
  brindle__sse_call call{};
  call.json = true;
  call.user_data = user_data;
  call.map = map;
  call.destination = destination;
  call.json_options = json_options;
  call.callback = callback;
  call.error = error;
  return brindle__sse_finish(parser, &call);
}

BRINDLE_API void brindle_sse_close(brindle_sse *parser) noexcept {
  if (parser == nullptr) return;
  const brindle_allocator allocator = parser->allocator;
  brindle__sse_json_release(parser);
  brindle__framing_free(&parser->line.line, &allocator);
  brindle__framing_free(&parser->event_name, &allocator);
  brindle__framing_free(&parser->id, &allocator);
  parser->~brindle_sse();
  brindle__raw_free(&allocator, parser, sizeof(brindle_sse));
}

}  // extern "C"
