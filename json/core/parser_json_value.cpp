// JSON value members during a mapped parse: the value is re-emitted as compact text for a
// parse sink or capture, or delivered as visitor events under the member's limits.
#include "parser_state.h"
#include "values_internal.h"

namespace {

brindle_value_limits normalised_limits(const brindle_value_limits &given) {
  const brindle_value_limits defaults = brindle_default_value_limits();
  brindle_value_limits limits = given;
  if (limits.max_depth == 0) limits.max_depth = defaults.max_depth;
  if (limits.max_string_bytes == 0) limits.max_string_bytes = defaults.max_string_bytes;
  if (limits.max_number_bytes == 0) limits.max_number_bytes = defaults.max_number_bytes;
  if (limits.max_key_bytes == 0) limits.max_key_bytes = defaults.max_key_bytes;
  return limits;
}

brindle_status text_sink(void *user, const char *bytes, size_t length, brindle_error *error) {
  return brindle__json_value_parse_text(static_cast<brindle_json_value *>(user), bytes, length,
                                        error);
}

brindle_status emit(brindle_parser *parser, const char *bytes, size_t length,
                    const unsigned char *at) {
  brindle_error reported{};
  const brindle_status status =
      brindle__json_value_parse_text(parser->jv_member, bytes, length, &reported);
  return brindle__parser_outside_status(parser, at, status, &reported,
                                        "JSON value parse sink failed");
}

const brindle_value_visitor *visitor_of(const brindle_parser *parser) {
  return parser->jv_member->visitor;
}

using event_fn = brindle_status (*)(void *, brindle_error *);
using chunk_fn = brindle_status (*)(void *, const char *, size_t, brindle_error *);

// The record a visitor callback writes into, empty again.
inline brindle_error *callback_record(brindle_parser *parser) {
  brindle__clean_error_record(&parser->jv_reported);
  return &parser->jv_reported;
}

inline brindle_status callback_status(brindle_parser *parser, const unsigned char *at,
                                      brindle_status status) {
  if (status == BRINDLE_OK) return BRINDLE_OK;
  return brindle__parser_outside_status(parser, at, status, &parser->jv_reported,
                                        "JSON value visitor callback failed");
}

inline brindle_status visit(brindle_parser *parser, event_fn callback, const unsigned char *at) {
  if (callback == nullptr) return BRINDLE_OK;
  brindle_error *reported = callback_record(parser);
  return callback_status(parser, at, callback(parser->jv_member->visitor_user, reported));
}

inline brindle_status visit_chunk(brindle_parser *parser, chunk_fn callback,
                                  const unsigned char *bytes, size_t length,
                                  const unsigned char *at) {
  if (callback == nullptr || length == 0) return BRINDLE_OK;
  brindle_error *reported = callback_record(parser);
  return callback_status(parser, at,
                         callback(parser->jv_member->visitor_user,
                                  reinterpret_cast<const char *>(bytes), length, reported));
}

// Starts delivering a value to member: its content is released, its mode decides the events.
brindle_status setup(brindle_parser *parser, brindle_json_value *member, const unsigned char *at) {
  brindle_error reported{};
  const brindle_status status = brindle__json_value_parse_begin(member, &reported);
  if (status != BRINDLE_OK) {
    return brindle__parser_outside_status(
        parser, at, status, &reported,
        "JSON value parse requires a configured parse sink, parse visitor, or parse capture");
  }
  parser->jv_member = member;
  parser->jv_visitor = member->parse_mode == BRINDLE_JSON_PARSE_VISITOR;
  parser->jv_limits = normalised_limits(member->limits);
  parser->jv_containers = 0;
  return BRINDLE_OK;
}

brindle_status scalar_events(brindle_parser *parser, brindle__token_type type,
                             const unsigned char *data, size_t length, const unsigned char *at) {
  static const char *const kWords[] = {"true", "false", "null"};
  if (!parser->jv_visitor) {
    switch (type) {
      case BRINDLE__TOKEN_NUMBER:
        return emit(parser, reinterpret_cast<const char *>(data), length, at);
      case BRINDLE__TOKEN_TRUE:
        return emit(parser, kWords[0], 4, at);
      case BRINDLE__TOKEN_FALSE:
        return emit(parser, kWords[1], 5, at);
      default:
        return emit(parser, kWords[2], 4, at);
    }
  }
  const brindle_value_visitor *visitor = visitor_of(parser);
  if (visitor == nullptr) return BRINDLE_OK;
  switch (type) {
    case BRINDLE__TOKEN_NUMBER: {
      if (length > parser->jv_limits.max_number_bytes) {
        return brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW,
                                       "JSON number exceeds maximum byte limit");
      }
      brindle_status status = visit(parser, visitor->number_begin, at);
      if (status == BRINDLE_OK) {
        status = visit_chunk(parser, visitor->number_chunk, data, length, at);
      }
      if (status == BRINDLE_OK) status = visit(parser, visitor->number_end, at);
      return status;
    }
    case BRINDLE__TOKEN_TRUE:
    case BRINDLE__TOKEN_FALSE: {
      if (visitor->boolean == nullptr) return BRINDLE_OK;
      brindle_error *reported = callback_record(parser);
      return callback_status(parser, at,
                             visitor->boolean(parser->jv_member->visitor_user,
                                              type == BRINDLE__TOKEN_TRUE ? 1 : 0, reported));
    }
    default:
      return visit(parser, visitor->null_value, at);
  }
}

}  // namespace

brindle_status brindle__jv_begin(brindle_parser *parser, const brindle_field *,
                                 brindle_json_value *member, const unsigned char *at) noexcept {
  const brindle_status status = setup(parser, member, at);
  if (status != BRINDLE_OK) return status;
  parser->jv_active = true;
  parser->jv_base_depth = parser->frame_count;
  parser->jv_start_offset = brindle__offset_after(parser, at) - 1;
  parser->jv_careful = parser->jv_visitor && parser->jv_limits.max_total_bytes != 0;
  if (parser->jv_careful) parser->yield = true;
  return BRINDLE_OK;
}

brindle_status brindle__jv_container_open(brindle_parser *parser, unsigned char c,
                                          const unsigned char *at) noexcept {
  if (!parser->jv_visitor) {
    ++parser->jv_containers;
    return emit(parser, reinterpret_cast<const char *>(&c), 1, at);
  }
  if (parser->jv_containers >= parser->jv_limits.max_depth) {
    return brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW,
                                   "JSON value nesting exceeds maximum depth");
  }
  ++parser->jv_containers;
  const brindle_value_visitor *visitor = visitor_of(parser);
  if (visitor == nullptr) return BRINDLE_OK;
  return visit(parser, c == '{' ? visitor->object_begin : visitor->array_begin, at);
}

brindle_status brindle__jv_container_close(brindle_parser *parser, unsigned char c,
                                           const unsigned char *at) noexcept {
  --parser->jv_containers;
  if (!parser->jv_visitor) return emit(parser, reinterpret_cast<const char *>(&c), 1, at);
  const brindle_value_visitor *visitor = visitor_of(parser);
  if (visitor == nullptr) return BRINDLE_OK;
  return visit(parser, c == '}' ? visitor->object_end : visitor->array_end, at);
}

brindle_status brindle__jv_punctuation(brindle_parser *parser, unsigned char c,
                                       const unsigned char *at) noexcept {
  if (parser->jv_visitor) return BRINDLE_OK;
  return emit(parser, reinterpret_cast<const char *>(&c), 1, at);
}

brindle_status brindle__jv_string_begin(brindle_parser *parser, bool key,
                                        const unsigned char *at) noexcept {
  parser->jv_in_key = key;
  parser->jv_string_bytes = 0;
  if (!parser->jv_visitor) return emit(parser, "\"", 1, at);
  const brindle_value_visitor *visitor = visitor_of(parser);
  if (visitor == nullptr) return BRINDLE_OK;
  return visit(parser, key ? visitor->key_begin : visitor->string_begin, at);
}

brindle_status brindle__jv_string_bytes(brindle_parser *parser, const unsigned char *bytes,
                                        size_t length, const unsigned char *first,
                                        bool from_input) noexcept {
  const unsigned char *last = from_input ? first + (length - 1) : first;
  if (!parser->jv_visitor) {
    brindle_error reported{};
    const brindle_status status = brindle__emit_escaped_fragment(
        text_sink, parser->jv_member, reinterpret_cast<const char *>(bytes), length, &reported);
    return brindle__parser_outside_status(parser, last, status, &reported,
                                          "JSON value parse sink failed");
  }
  const brindle_value_visitor *visitor = visitor_of(parser);
  chunk_fn chunk = nullptr;
  if (visitor != nullptr) chunk = parser->jv_in_key ? visitor->key_chunk : visitor->string_chunk;
  const size_t limit =
      parser->jv_in_key ? parser->jv_limits.max_key_bytes : parser->jv_limits.max_string_bytes;
  if (parser->jv_string_bytes > limit || limit - parser->jv_string_bytes < length) {
    // Deliver what still fits, then fail at the first byte beyond the limit.
    const size_t fit = parser->jv_string_bytes < limit ? limit - parser->jv_string_bytes : 0;
    if (visit_chunk(parser, chunk, bytes, fit, from_input ? first + fit : first) != BRINDLE_OK) {
      return static_cast<brindle_status>(parser->error.code);
    }
    return brindle__parser_fail_at(parser, from_input ? first + fit : first, BRINDLE_OVERFLOW, "%s",
                                   parser->jv_in_key
                                       ? "JSON object key exceeds maximum decoded byte limit"
                                       : "JSON string exceeds maximum decoded byte limit");
  }
  parser->jv_string_bytes += length;
  return visit_chunk(parser, chunk, bytes, length, last);
}

brindle_status brindle__jv_string_end(brindle_parser *parser, const unsigned char *at) noexcept {
  if (!parser->jv_visitor) return emit(parser, "\"", 1, at);
  const brindle_value_visitor *visitor = visitor_of(parser);
  if (visitor == nullptr) return BRINDLE_OK;
  return visit(parser, parser->jv_in_key ? visitor->key_end : visitor->string_end, at);
}

brindle_status brindle__jv_scalar(brindle_parser *parser, brindle__token_type type,
                                  const unsigned char *data, size_t length,
                                  const unsigned char *at) noexcept {
  return scalar_events(parser, type, data, length, at);
}

brindle_status brindle__jv_number(brindle_parser *parser, const unsigned char *data, size_t length,
                                  const unsigned char *at) noexcept {
  if (!brindle__number_accepting(parser->number_state)) {
    return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_JSON, "invalid JSON number");
  }
  const brindle_status status = scalar_events(parser, BRINDLE__TOKEN_NUMBER, data, length, at);
  if (status != BRINDLE_OK) return status;
  return brindle__value_done(parser, at);
}

brindle_status brindle__jv_scalar_value(brindle_parser *parser, const brindle_field *,
                                        brindle_json_value *member, brindle__token_type type,
                                        const unsigned char *data, size_t length,
                                        const unsigned char *at) noexcept {
  brindle_status status = setup(parser, member, at);
  if (status != BRINDLE_OK) return status;
  const size_t text_length = type == BRINDLE__TOKEN_NUMBER  ? length
                             : type == BRINDLE__TOKEN_FALSE ? 5
                                                            : 4;
  if (parser->jv_visitor && parser->jv_limits.max_total_bytes != 0 &&
      text_length > parser->jv_limits.max_total_bytes) {
    return brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW,
                                   "JSON value exceeds maximum total byte limit");
  }
  status = scalar_events(parser, type, data, length, at);
  if (status != BRINDLE_OK) return status;
  brindle_error reported{};
  status = brindle__json_value_parse_end(member, &reported);
  parser->jv_member = nullptr;
  return brindle__parser_outside_status(parser, at, status, &reported,
                                        "failed to finish JSON value");
}

brindle_status brindle__jv_finish(brindle_parser *parser, const unsigned char *at) noexcept {
  brindle_json_value *member = parser->jv_member;
  parser->jv_active = false;
  parser->jv_careful = false;
  parser->jv_member = nullptr;
  brindle_error reported{};
  const brindle_status status = brindle__json_value_parse_end(member, &reported);
  return brindle__parser_outside_status(parser, at, status, &reported,
                                        "failed to finish JSON value");
}
