// Strings: where their bytes go (token space, a fixed member, a stream, a JSON value, nowhere),
// escape decoding with surrogate pairs, and the end of a string in each context.
#include "parser_state.h"
#include "values_internal.h"

namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

size_t encode_utf8(uint32_t code_point, unsigned char out[4]) {
  if (code_point < 0x80) {
    out[0] = static_cast<unsigned char>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (code_point >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (code_point >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (code_point >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
  return 4;
}

// A dynamic string member or a string array element: its string may outgrow the token space.
bool long_string_target(const brindle_parser *parser) {
  const brindle_field *field = parser->value_field;
  if (parser->target == BRINDLE__TARGET_FIELD) {
    return field->kind == BRINDLE_FIELD_STRING && field->storage != BRINDLE_STORAGE_FIXED;
  }
  return parser->target == BRINDLE__TARGET_ELEMENT && field->kind == BRINDLE_FIELD_STRING_ARRAY;
}

// Bytes for a long string, growing its block by doubling; at is the byte reported when the
// allocator refuses.
brindle_status long_append(brindle_parser *parser, const unsigned char *bytes, size_t length,
                           const unsigned char *at) {
  const size_t needed = parser->token_length + length + 1;
  if (needed > parser->long_capacity) {
    size_t capacity = parser->long_capacity;
    while (capacity < needed)
      capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    void *grown = brindle__block_realloc(&parser->allocator, parser->long_string, capacity);
    if (grown == nullptr) {
      return brindle__parser_fail_at(parser, at, BRINDLE_ALLOCATION_FAILED,
                                     "failed to append string");
    }
    parser->long_string = static_cast<char *>(grown);
    parser->long_capacity = capacity;
  }
  std::memcpy(parser->long_string + parser->token_length, bytes, length);
  parser->token_length += length;
  return BRINDLE_OK;
}

// The token space cannot take length more bytes. A string for a dynamic member moves to a heap
// block with what it holds so far; anything else (keys, strings for other kinds) fails at
// fail_at.
brindle_status token_overflow(brindle_parser *parser, const unsigned char *bytes, size_t length,
                              const unsigned char *fail_at, const unsigned char *at) {
  if (!long_string_target(parser)) {
    return brindle__parser_fail_at(parser, fail_at, BRINDLE_OVERFLOW,
                                   "parser workspace exhausted by token");
  }
  const size_t first = 2 * BRINDLE__WORKSPACE_SIZE;
  const size_t held = parser->token_length;
  const size_t capacity = held + length + 1 > first ? 2 * (held + length + 1) : first;
  auto *block = static_cast<char *>(brindle__block_alloc(&parser->allocator, capacity));
  if (block == nullptr) {
    return brindle__parser_fail_at(parser, at, BRINDLE_ALLOCATION_FAILED,
                                   "failed to append string");
  }
  if (held != 0) std::memcpy(block, brindle__token_data(parser), held);
  std::memcpy(block + held, bytes, length);
  parser->long_string = block;
  parser->long_capacity = capacity;
  parser->token_length = held + length;
  parser->token_in_place = nullptr;
  parser->capture = BRINDLE__CAPTURE_LONG;
  return BRINDLE_OK;
}

bool token_string_start(brindle_parser *parser, const unsigned char *at) {
  if (brindle__token_space(parser) == 0 && !long_string_target(parser)) {
    brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW, "parser workspace exhausted by token");
    return false;
  }
  parser->capture = BRINDLE__CAPTURE_TOKEN;
  parser->token_in_place = at + 1;
  return true;
}

// Bytes for a fixed string member: stored while fewer than capacity - 1 are held. first is the
// input byte of bytes[0] when they come straight from the input, else the byte that completed
// the escape they were decoded from.
brindle_status direct_append(brindle_parser *parser, const unsigned char *bytes, size_t length,
                             const unsigned char *first, bool from_input) {
  const size_t room = parser->direct_capacity - 1 - parser->direct_length;
  if (length <= room) {
    std::memcpy(parser->direct + parser->direct_length, bytes, length);
    parser->direct_length += length;
    return BRINDLE_OK;
  }
  std::memcpy(parser->direct + parser->direct_length, bytes, room);
  parser->direct_length += room;
  if (parser->direct_truncated) return BRINDLE_OK;
  if (parser->direct_field->overflow == BRINDLE_OVERFLOW_FAIL) {
    return brindle__parser_fail_at(parser, from_input ? first + room : first, BRINDLE_OVERFLOW,
                                   "string field '%s' exceeds fixed capacity",
                                   brindle__key_of(parser->direct_field));
  }
  parser->direct_truncated = true;
  return BRINDLE_OK;
}

// Decoded bytes of an escape completed at at.
brindle_status append_decoded(brindle_parser *parser, const unsigned char *bytes, size_t length,
                              const unsigned char *at) {
  switch (parser->capture) {
    case BRINDLE__CAPTURE_TOKEN: {
      if (parser->token_length + length + 2 > brindle__token_space(parser)) {
        return token_overflow(parser, bytes, length, at, at);
      }
      if (parser->token_in_place != nullptr) brindle__token_to_workspace(parser);
      std::memcpy(brindle__token_area(parser) + parser->token_length, bytes, length);
      parser->token_length += length;
      return BRINDLE_OK;
    }
    case BRINDLE__CAPTURE_LONG:
      return long_append(parser, bytes, length, at);
    case BRINDLE__CAPTURE_DIRECT:
      return direct_append(parser, bytes, length, at, false);
    case BRINDLE__CAPTURE_STREAM:
      return brindle__stream_value_append(parser, bytes, length, at, false);
    case BRINDLE__CAPTURE_JV:
      return brindle__jv_string_bytes(parser, bytes, length, at, false);
    case BRINDLE__CAPTURE_DISCARD:
      return BRINDLE_OK;
    default:
      return brindle__parser_fail_at(parser, at, BRINDLE_INTERNAL_ERROR,
                                     "invalid unicode append mode");
  }
}

brindle_status code_point_complete(brindle_parser *parser, const unsigned char *at) {
  const uint32_t code_point = parser->code_point;
  uint32_t value;
  if (parser->high_surrogate != 0) {
    if (code_point < 0xDC00 || code_point > 0xDFFF) {
      return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_JSON,
                                     "invalid unicode surrogate pair");
    }
    value = 0x10000 + ((parser->high_surrogate - 0xD800) << 10) + (code_point - 0xDC00);
    parser->high_surrogate = 0;
  } else if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    // The low half must follow at once as another escape.
    parser->high_surrogate = code_point;
    parser->esc = BRINDLE__ESC_LOW_SLASH;
    return BRINDLE_OK;
  } else if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
    return brindle__parser_fail_at(parser, at, BRINDLE_INVALID_JSON, "unexpected low surrogate");
  } else {
    value = code_point;
  }
  if (value == 0) parser->saw_nul = true;
  unsigned char utf8[4];
  const size_t length = encode_utf8(value, utf8);
  return append_decoded(parser, utf8, length, at);
}

}  // namespace

const unsigned char *brindle__token_data(brindle_parser *parser) noexcept {
  return parser->token_in_place != nullptr ? parser->token_in_place : brindle__token_area(parser);
}

void brindle__token_to_workspace(brindle_parser *parser) noexcept {
  if (parser->token_in_place == nullptr) return;
  std::memcpy(brindle__token_area(parser), parser->token_in_place, parser->token_length);
  parser->token_in_place = nullptr;
}

char *brindle__take_long_string(brindle_parser *parser, const unsigned char *data) noexcept {
  char *block = parser->long_string;
  if (block == nullptr || data != reinterpret_cast<const unsigned char *>(block)) return nullptr;
  parser->long_string = nullptr;
  // The block keeps the doubling's slack (at most as much again as the string): shrinking it
  // would be one more allocation that could fail after the string was complete.
  block[parser->token_length] = '\0';
  return block;
}

void brindle__drop_long_string(brindle_parser *parser) noexcept {
  if (parser->long_string == nullptr) return;
  brindle__block_free(parser->long_string);
  parser->long_string = nullptr;
  parser->long_capacity = 0;
}

brindle_status brindle__string_begin(brindle_parser *parser, const unsigned char *at) noexcept {
  parser->lex = BRINDLE__LEX_STRING;
  parser->esc = BRINDLE__ESC_NONE;
  parser->saw_nul = false;
  parser->high_surrogate = 0;
  parser->token_in_place = nullptr;
  parser->token_length = 0;
  switch (parser->target) {
    case BRINDLE__TARGET_KEY:
      if (parser->jv_active) {
        parser->capture = BRINDLE__CAPTURE_JV;
        return brindle__jv_string_begin(parser, true, at);
      }
      return token_string_start(parser, at) ? BRINDLE_OK
                                            : static_cast<brindle_status>(parser->error.code);
    case BRINDLE__TARGET_JV:
      parser->capture = BRINDLE__CAPTURE_JV;
      return brindle__jv_string_begin(parser, false, at);
    case BRINDLE__TARGET_FIELD:
      break;
    case BRINDLE__TARGET_ELEMENT:
      if (parser->value_field->kind == BRINDLE_FIELD_STRING_STREAM) {
        brindle__frame *frame = brindle__inner_frame(parser);
        parser->capture = BRINDLE__CAPTURE_STREAM;
        return brindle__stream_value_begin(parser, parser->value_field,
                                           brindle__member(frame->record, parser->value_field), at);
      }
      return token_string_start(parser, at) ? BRINDLE_OK
                                            : static_cast<brindle_status>(parser->error.code);
    default:  // the root in validation mode, skipped values
      parser->capture = BRINDLE__CAPTURE_DISCARD;
      return BRINDLE_OK;
  }
  const brindle_field *field = parser->value_field;
  brindle__frame *frame = brindle__inner_frame(parser);
  void *member = brindle__member(frame->record, field);
  brindle_status status;
  switch (field->kind) {
    case BRINDLE_FIELD_STRING_STREAM:
      return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                     "field '%s' is not an array", brindle__key_of(field));
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES:
      // Bookkeeping comes first so that a rejected duplicate leaves the earlier value alone.
      status = brindle__note_field(parser, frame, field, at, nullptr);
      if (status != BRINDLE_OK) return status;
      parser->capture = BRINDLE__CAPTURE_STREAM;
      return brindle__stream_value_begin(parser, field, member, at);
    case BRINDLE_FIELD_JSON_VALUE:
      status = brindle__note_field(parser, frame, field, at, nullptr);
      if (status != BRINDLE_OK) return status;
      status = brindle__jv_begin(parser, field, static_cast<brindle_json_value *>(member), at);
      if (status != BRINDLE_OK) return status;
      parser->capture = BRINDLE__CAPTURE_JV;
      return brindle__jv_string_begin(parser, false, at);
    case BRINDLE_FIELD_STRING:
      if (field->storage == BRINDLE_STORAGE_FIXED && field->capacity > 0) {
        status = brindle__note_field(parser, frame, field, at, nullptr);
        if (status != BRINDLE_OK) return status;
        parser->capture = BRINDLE__CAPTURE_DIRECT;
        parser->direct = static_cast<char *>(member);
        parser->direct_length = 0;
        parser->direct_capacity = field->capacity;
        parser->direct_field = field;
        parser->direct_truncated = false;
        return BRINDLE_OK;
      }
      break;
    default:
      break;
  }
  return token_string_start(parser, at) ? BRINDLE_OK
                                        : static_cast<brindle_status>(parser->error.code);
}

brindle_status brindle__string_run(brindle_parser *parser, const unsigned char *run,
                                   size_t length) noexcept {
  switch (parser->capture) {
    case BRINDLE__CAPTURE_TOKEN: {
      const size_t space = brindle__token_space(parser);
      const size_t limit = space >= 2 ? space - 2 : 0;
      if (parser->token_length + length > limit) {
        const size_t fit = limit > parser->token_length ? limit - parser->token_length : 0;
        return token_overflow(parser, run, length, run + fit, run);
      }
      if (parser->token_in_place == nullptr) {
        std::memcpy(brindle__token_area(parser) + parser->token_length, run, length);
      }
      parser->token_length += length;
      return BRINDLE_OK;
    }
    case BRINDLE__CAPTURE_LONG:
      return long_append(parser, run, length, run);
    case BRINDLE__CAPTURE_DIRECT:
      return direct_append(parser, run, length, run, true);
    case BRINDLE__CAPTURE_STREAM:
      return brindle__stream_value_append(parser, run, length, run, true);
    case BRINDLE__CAPTURE_JV:
      return brindle__jv_string_bytes(parser, run, length, run, true);
    case BRINDLE__CAPTURE_DISCARD:
      return BRINDLE_OK;
    default:
      return brindle__parser_fail_at(parser, run, BRINDLE_INTERNAL_ERROR,
                                     "invalid string append mode");
  }
}

brindle_status brindle__string_escape_byte(brindle_parser *parser,
                                           const unsigned char *p) noexcept {
  const unsigned char c = *p;
  switch (parser->esc) {
    case BRINDLE__ESC_START: {
      unsigned char decoded;
      switch (c) {
        case '"':
          decoded = '"';
          break;
        case '\\':
          decoded = '\\';
          break;
        case '/':
          decoded = '/';
          break;
        case 'b':
          decoded = 0x08;
          break;
        case 'f':
          decoded = 0x0C;
          break;
        case 'n':
          decoded = 0x0A;
          break;
        case 'r':
          decoded = 0x0D;
          break;
        case 't':
          decoded = 0x09;
          break;
        case 'u':
          parser->esc = BRINDLE__ESC_HEX;
          parser->hex_left = 4;
          parser->code_point = 0;
          return BRINDLE_OK;
        default:
          return brindle__parser_fail_at(parser, p, BRINDLE_INVALID_JSON,
                                         "invalid escape sequence");
      }
      parser->esc = BRINDLE__ESC_NONE;
      return append_decoded(parser, &decoded, 1, p);
    }
    case BRINDLE__ESC_HEX: {
      const int value = hex_value(c);
      if (value < 0) {
        return brindle__parser_fail_at(parser, p, BRINDLE_INVALID_JSON, "invalid unicode escape");
      }
      parser->code_point = (parser->code_point << 4) | static_cast<uint32_t>(value);
      if (--parser->hex_left != 0) return BRINDLE_OK;
      parser->esc = BRINDLE__ESC_NONE;
      return code_point_complete(parser, p);
    }
    case BRINDLE__ESC_LOW_SLASH:
      if (c == '\\') {
        parser->esc = BRINDLE__ESC_LOW_U;
        return BRINDLE_OK;
      }
      if (c == '"') {
        return brindle__parser_fail_at(parser, p, BRINDLE_INVALID_JSON,
                                       "unterminated unicode surrogate pair");
      }
      if (c < 0x20) {
        return brindle__parser_fail_at(parser, p, BRINDLE_INVALID_JSON,
                                       "control character in string");
      }
      return brindle__parser_fail_at(parser, p, BRINDLE_INVALID_JSON,
                                     "invalid unicode surrogate pair");
    case BRINDLE__ESC_LOW_U:
      if (c == 'u') {
        parser->esc = BRINDLE__ESC_HEX;
        parser->hex_left = 4;
        parser->code_point = 0;
        return BRINDLE_OK;
      }
      return brindle__parser_fail_at(parser, p, BRINDLE_INVALID_JSON,
                                     "invalid unicode surrogate pair");
    default:
      return brindle__parser_fail_at(parser, p, BRINDLE_INTERNAL_ERROR, "invalid parser state");
  }
}

brindle_status brindle__string_end(brindle_parser *parser, const unsigned char *at) noexcept {
  parser->lex = BRINDLE__LEX_NONE;
  brindle_status status;
  switch (parser->capture) {
    case BRINDLE__CAPTURE_TOKEN: {
      const unsigned char *data = brindle__token_data(parser);
      const size_t length = parser->token_length;
      parser->token_in_place = nullptr;
      if (parser->target == BRINDLE__TARGET_KEY) {
        return brindle__key_complete(parser, brindle__inner_frame(parser), data, length, at);
      }
      return brindle__scalar_complete(parser, BRINDLE__TOKEN_STRING, data, length, at);
    }
    case BRINDLE__CAPTURE_LONG:
      // The member takes the block over (or a failure drops it).
      status = brindle__scalar_complete(parser, BRINDLE__TOKEN_STRING,
                                        reinterpret_cast<unsigned char *>(parser->long_string),
                                        parser->token_length, at);
      brindle__drop_long_string(parser);
      return status;
    case BRINDLE__CAPTURE_DIRECT:
      parser->direct[parser->direct_length] = '\0';
      if (parser->direct_truncated) {
        brindle__parser_note_truncated(parser, at,
                                       "string field '%s' truncated to its fixed capacity",
                                       brindle__key_of(parser->direct_field));
      }
      parser->direct = nullptr;
      return brindle__value_done(parser, at);
    case BRINDLE__CAPTURE_STREAM:
      status = brindle__stream_value_finish(parser, at);
      if (status != BRINDLE_OK) return status;
      return brindle__value_done(parser, at);
    case BRINDLE__CAPTURE_JV:
      status = brindle__jv_string_end(parser, at);
      if (status != BRINDLE_OK) return status;
      if (parser->target == BRINDLE__TARGET_KEY) {
        brindle__inner_frame(parser)->state = BRINDLE__OBJ_COLON;
        return BRINDLE_OK;
      }
      return brindle__value_done(parser, at);
    case BRINDLE__CAPTURE_DISCARD:
      return brindle__value_done(parser, at);
    default:
      return brindle__parser_fail_at(parser, at, BRINDLE_INTERNAL_ERROR,
                                     "invalid string completion mode");
  }
}
