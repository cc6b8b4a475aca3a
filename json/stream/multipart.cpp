// The multipart push loop: line states (boundary, headers, epilogue), counted bodies straight
// from the chunk, delimited bodies through multipart_body.cpp, and finishing.
#include <cstring>

#include "multipart_internal.h"

namespace {

bool line_equals(const brindle__framing_buffer *line, const brindle__framing_buffer *text) {
  return line->length == text->length &&
         (line->length == 0 || std::memcmp(line->data, text->data, line->length) == 0);
}

// The empty line after the headers: the part begins.
brindle_status begin_body(brindle_multipart *parser, const brindle_multipart_callbacks *callbacks,
                          void *user_data, brindle_error *error) {
  if (callbacks != nullptr && callbacks->begin_part != nullptr) {
    const brindle_multipart_part part = brindle__multipart_descriptor(parser);
    if (callbacks->begin_part(user_data, &part, error) != 0) {
      return brindle__multipart_callback_failed(error, "multipart begin_part callback failed");
    }
  }
  if (parser->content_length < 0) {
    parser->state = BRINDLE__MP_BODY_DELIMITED;
    brindle__multipart_body_start(parser);
    return BRINDLE_OK;
  }
  if (parser->content_length == 0) {
    return brindle__multipart_end_part(parser, BRINDLE__MP_BOUNDARY, callbacks, user_data, error);
  }
  parser->remaining = static_cast<uint64_t>(parser->content_length);
  parser->state = BRINDLE__MP_BODY_COUNTED;
  return BRINDLE_OK;
}

brindle_status process_line(brindle_multipart *parser, const brindle_multipart_callbacks *callbacks,
                            void *user_data, brindle_error *error) {
  const brindle__framing_buffer *line = &parser->line.line;
  switch (parser->state) {
    case BRINDLE__MP_BOUNDARY:
      if (line->length == 0) return BRINDLE_OK;
      if (line_equals(line, &parser->delimiter)) {
        brindle__multipart_reset_part(parser);
        parser->state = BRINDLE__MP_HEADERS;
        return BRINDLE_OK;
      }
      if (line_equals(line, &parser->closing_delimiter)) {
        parser->finished = true;
        parser->state = BRINDLE__MP_DONE;
        return BRINDLE_OK;
      }
      return brindle__fail(error, BRINDLE_INVALID_JSON, "unexpected multipart boundary line");
    case BRINDLE__MP_HEADERS:
      if (line->length == 0) return begin_body(parser, callbacks, user_data, error);
      return brindle__multipart_header_line(parser, brindle__framing_text(line), line->length,
                                            error);
    default:
      return BRINDLE_OK;  // epilogue
  }
}

// Delivers a counted body straight from the chunk.
brindle_status feed_counted(brindle_multipart *parser, const char *bytes, size_t length,
                            const brindle_multipart_callbacks *callbacks, void *user_data,
                            size_t *used, brindle_error *error) {
  const size_t take = parser->remaining < length ? static_cast<size_t>(parser->remaining) : length;
  *used = take;
  if (callbacks != nullptr && callbacks->part_data != nullptr &&
      callbacks->part_data(user_data, bytes, take, error) != 0) {
    return brindle__multipart_callback_failed(error, "multipart part_data callback failed");
  }
  parser->remaining -= take;
  if (parser->remaining != 0) return BRINDLE_OK;
  return brindle__multipart_end_part(parser, BRINDLE__MP_BOUNDARY, callbacks, user_data, error);
}

// The line break after the closing delimiter is optional: a body whose last bytes are the
// closing delimiter (or the closing delimiter and a lone CR) ends there.
brindle_status close_without_line_break(brindle_multipart *parser,
                                        const brindle_multipart_callbacks *callbacks,
                                        void *user_data, brindle_error *error) {
  if (parser->state == BRINDLE__MP_BOUNDARY) {
    if (line_equals(&parser->line.line, &parser->closing_delimiter)) {
      brindle__line_done(&parser->line);
      parser->line.cr_pending = false;
      parser->finished = true;
      parser->state = BRINDLE__MP_DONE;
    }
    return BRINDLE_OK;
  }
  if (parser->state == BRINDLE__MP_BODY_DELIMITED &&
      (parser->match == BRINDLE__DM_CLOSE || parser->match == BRINDLE__DM_CLOSE_CR)) {
    // The pending bytes are the candidate itself (line break and delimiter), never body bytes.
    brindle__framing_clear(&parser->pending);
    parser->match = BRINDLE__DM_NONE;
    const brindle_status status =
        brindle__multipart_end_part(parser, BRINDLE__MP_DONE, callbacks, user_data, error);
    if (status == BRINDLE_OK) parser->finished = true;
    return status;
  }
  return BRINDLE_OK;
}

}  // namespace

brindle_status brindle__multipart_end_part(brindle_multipart *parser, int32_t next_state,
                                           const brindle_multipart_callbacks *callbacks,
                                           void *user_data, brindle_error *error) noexcept {
  if (callbacks != nullptr && callbacks->end_part != nullptr) {
    const brindle_multipart_part part = brindle__multipart_descriptor(parser);
    if (callbacks->end_part(user_data, &part, error) != 0) {
      return brindle__multipart_callback_failed(error, "multipart end_part callback failed");
    }
  }
  brindle__multipart_reset_part(parser);
  parser->state = next_state;
  return BRINDLE_OK;
}

extern "C" {

BRINDLE_API brindle_status brindle_multipart_push(brindle_multipart *parser, const char *bytes,
                                                  size_t length,
                                                  const brindle_multipart_callbacks *callbacks,
                                                  void *user_data, brindle_error *error) noexcept {
  if (parser == nullptr || (bytes == nullptr && length != 0)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "multipart parser and bytes are required");
  }
  if (parser->finish_called) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "multipart parser is already finished");
  }
  brindle_error_init(error);
  size_t at = 0;
  while (at < length) {
    const char *rest = bytes + at;
    const size_t left = length - at;
    size_t used = 0;
    brindle_status status;
    switch (parser->state) {
      case BRINDLE__MP_BODY_COUNTED:
        status = feed_counted(parser, rest, left, callbacks, user_data, &used, error);
        break;
      case BRINDLE__MP_BODY_DELIMITED:
        status =
            brindle__multipart_body_feed(parser, rest, left, callbacks, user_data, &used, error);
        break;
      default: {
        bool complete = false;
        status = brindle__line_take(&parser->line, &parser->allocator, rest, left, &used, &complete,
                                    error);
        if (status == BRINDLE_OK && complete) {
          status = process_line(parser, callbacks, user_data, error);
          brindle__line_done(&parser->line);
        }
        break;
      }
    }
    if (status != BRINDLE_OK) return status;
    at += used;
  }
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_multipart_finish(brindle_multipart *parser,
                                                    brindle_error *error) noexcept {
  return brindle_multipart_finish_with(parser, nullptr, nullptr, error);
}

BRINDLE_API brindle_status brindle_multipart_finish_with(
    brindle_multipart *parser, const brindle_multipart_callbacks *callbacks, void *user_data,
    brindle_error *error) noexcept {
  if (parser == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "multipart parser is required");
  }
  if (!parser->finished && parser->state != BRINDLE__MP_DONE) {
    const brindle_status status = close_without_line_break(parser, callbacks, user_data, error);
    if (status != BRINDLE_OK) return status;
  }
  if (parser->finished || parser->state == BRINDLE__MP_DONE) {
    parser->finished = true;
    parser->finish_called = true;
    brindle_error_init(error);
    return BRINDLE_OK;
  }
  return brindle__fail(error, BRINDLE_INVALID_JSON,
                       "multipart stream ended before closing boundary");
}

}  // extern "C"
