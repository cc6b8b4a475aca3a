// The JSON flavour of the server-sent-events parser: each accepted event's data lines go
// straight into the push parser, which fills the caller's mapped record; one callback per event.
#include <cstring>

#include "../core/parser_api.h"
#include "sse_internal.h"

namespace {

const brindle_parse_options *parse_options_of(const brindle__sse_call *call) {
  return call->json_options != nullptr ? call->json_options->parse_options : nullptr;
}

bool has_filter(const brindle__sse_call *call) {
  return call->json_options != nullptr && call->json_options->event_names != nullptr &&
         call->json_options->event_name_count != 0;
}

// Once per event: accepted without a filter, or when the event name ("" when absent) is listed.
void decide_filter(brindle_sse *parser, const brindle__sse_call *call) {
  if (parser->filter_decided) return;
  parser->filter_decided = true;
  parser->filter_accepted = !has_filter(call);
  if (parser->filter_accepted) return;
  const char *name = brindle__framing_text(&parser->event_name);
  const size_t length = parser->event_name.length;
  for (size_t i = 0; i < call->json_options->event_name_count; ++i) {
    const char *listed = call->json_options->event_names[i];
    if (listed != nullptr && std::strlen(listed) == length &&
        std::memcmp(listed, name, length) == 0) {
      parser->filter_accepted = true;
      return;
    }
  }
}

bool arguments_changed(const brindle_sse *parser, const brindle__sse_call *call) {
  return parser->json_map != call->map || parser->json_destination != call->destination ||
         parser->json_parse_options != parse_options_of(call);
}

brindle_status arguments_changed_error(const brindle__sse_call *call) {
  return brindle__fail(call->error, BRINDLE_INVALID_ARGUMENT,
                       "SSE JSON parser arguments changed during an event");
}

// The push parser failed: its error record becomes the caller's, and the event is dropped.
brindle_status parser_failed(brindle_sse *parser, brindle_status status,
                             const brindle__sse_call *call) {
  if (call->error != nullptr) *call->error = *brindle__parser_error(parser->json);
  brindle__sse_reset_event(parser);
  return status;
}

brindle_status start_parser(brindle_sse *parser, const brindle__sse_call *call) {
  if (parser->json == nullptr) {
    parser->json = brindle__parser_new(&parser->allocator);
    if (parser->json == nullptr) {
      return brindle__fail(call->error, BRINDLE_ALLOCATION_FAILED, "failed to allocate SSE parser");
    }
  }
  const brindle_parse_options *options = parse_options_of(call);
  brindle_status status =
      brindle__parser_init_state(parser->json, call->map, call->destination, options, 0);
  if (status != BRINDLE_OK) return parser_failed(parser, status, call);
  brindle__parser_prepare_record(call->map, call->destination, options);
  parser->json_active = true;
  parser->json_truncated = false;
  parser->json_map = call->map;
  parser->json_destination = call->destination;
  parser->json_parse_options = options;
  brindle_error_init(call->error);
  return BRINDLE_OK;
}

brindle_status feed(brindle_sse *parser, const char *bytes, size_t length,
                    const brindle__sse_call *call) {
  parser->data_length += length;
  if (length == 0) return BRINDLE_OK;
  size_t consumed = 0;
  brindle_status status = brindle__parser_feed_bytes(parser->json, bytes, length, &consumed, 0);
  if (status == BRINDLE_TRUNCATED) {
    parser->json_truncated = true;
    return BRINDLE_OK;
  }
  if (status != BRINDLE_OK) return parser_failed(parser, status, call);
  return BRINDLE_OK;
}

}  // namespace

brindle_status brindle__sse_json_event_line(brindle_sse *parser, const char *value, size_t length,
                                            const brindle__sse_call *call) noexcept {
  // The filter is decided by the name at the first data line; a later name cannot change that.
  if (parser->json_data_seen && has_filter(call)) {
    return brindle__fail(call->error, BRINDLE_INVALID_ARGUMENT,
                         "SSE event name must precede data for streaming JSON filters");
  }
  parser->has_content = true;
  return brindle__framing_assign(&parser->event_name, &parser->allocator, value, length,
                                 call->error);
}

brindle_status brindle__sse_json_data_line(brindle_sse *parser, const char *value, size_t length,
                                           const brindle__sse_call *call) noexcept {
  parser->json_data_seen = true;
  decide_filter(parser, call);
  if (!parser->filter_accepted) return BRINDLE_OK;
  const size_t joining = parser->data_seen ? 1 : 0;
  if (parser->data_length > parser->max_data_bytes ||
      joining + length > parser->max_data_bytes - parser->data_length) {
    return brindle__fail(call->error, BRINDLE_OVERFLOW,
                         "SSE JSON event data exceeds configured limit");
  }
  parser->has_content = true;
  brindle_status status = BRINDLE_OK;
  if (!parser->json_active) {
    status = start_parser(parser, call);
  } else if (arguments_changed(parser, call)) {
    status = arguments_changed_error(call);
  }
  if (status == BRINDLE_OK && parser->data_seen) status = feed(parser, "\n", 1, call);
  if (status == BRINDLE_OK) status = feed(parser, value, length, call);
  if (status == BRINDLE_OK) parser->data_seen = true;
  return status;
}

brindle_status brindle__sse_json_dispatch(brindle_sse *parser,
                                          const brindle__sse_call *call) noexcept {
  if (!parser->has_content) {
    // Nothing to dispatch, but data lines skipped by the filter leave their marks.
    brindle__sse_reset_event(parser);
    return BRINDLE_OK;
  }
  decide_filter(parser, call);
  brindle_status status = BRINDLE_OK;
  if (parser->filter_accepted && parser->json_active) {
    if (arguments_changed(parser, call)) {
      status = arguments_changed_error(call);
    } else {
      status = brindle_parser_finish(parser->json);
      if (status == BRINDLE_TRUNCATED) {
        parser->json_truncated = true;
        status = BRINDLE_OK;
      }
      if (status != BRINDLE_OK) return parser_failed(parser, status, call);
      brindle__parser_release(parser->json);
      parser->json_active = false;
      if (parser->json_truncated && call->error != nullptr) call->error->truncated = 1;
      if (call->callback != nullptr) {
        const brindle_sse_event event = brindle__sse_event_view(parser);
        if (call->callback(call->user_data, &event, call->destination, call->error) != 0) {
          status = brindle__sse_callback_failed(call->error, "SSE JSON callback failed");
        }
      }
    }
  }
  brindle__sse_reset_event(parser);
  return status;
}

void brindle__sse_json_end_event(brindle_sse *parser) noexcept {
  // An event abandoned in the middle of its document: the state lets go of what it holds and is
  // kept for the next event.
  if (parser->json_active) brindle__parser_release(parser->json);
  parser->json_active = false;
  parser->json_data_seen = false;
  parser->json_truncated = false;
  parser->filter_decided = false;
  parser->filter_accepted = false;
  parser->json_map = nullptr;
  parser->json_destination = nullptr;
  parser->json_parse_options = nullptr;
}

void brindle__sse_json_release(brindle_sse *parser) noexcept {
  brindle__parser_delete(parser->json);
  parser->json = nullptr;
  parser->json_active = false;
}
