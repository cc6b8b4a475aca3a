// The JSON pull reader: a byte-driven lexer over the value's content that re-emits one JSON value
// piece by piece. Strings are decoded and re-escaped the way the serializer escapes, numbers are
// checked by the JSON grammar and copied as written, white space is dropped (compact) or
// replaced by the serializer's indentation (pretty).
#include "json_pull.h"

#include "../core/serializer_internal.h"

namespace {

enum State {
  kValue,         // a value is due
  kAfterValue,    // a value ended; what follows depends on the enclosing container
  kObjectFirst,   // after '{': a key or '}'
  kObjectKey,     // after ',' in an object: a key
  kColon,         // after a key
  kObjectNext,    // after a member: ',' or '}'
  kArrayFirst,    // after '[': an element or ']'
  kArrayNext,     // after an element: ',' or ']'
  kString,        // inside a string
  kEscape,        // after a backslash
  kUnicode,       // the hex digits of a \u escape
  kLowBackslash,  // after a high surrogate: the backslash of its pair
  kLowU,          // the u of the pair
  kLowHex,        // the hex digits of the low surrogate
  kNumber,        // inside a number
  kLiteral,       // inside true, false or null
  kTrailing,      // after the value: only white space may follow
  kDone
};

// The JSON number grammar, one state per position.
enum NumberState { kNStart, kNSign, kNZero, kNInt, kNDot, kNFrac, kNExp, kNExpSign, kNExpDigits };

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_number_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The next number state, or -1 when the byte cannot continue the number.
int number_step(int state, unsigned char c) {
  const bool digit = c >= '0' && c <= '9';
  switch (state) {
    case kNStart:
      if (c == '-') return kNSign;
      [[fallthrough]];
    case kNSign:
      if (c == '0') return kNZero;
      return digit ? kNInt : -1;
    case kNZero:
    case kNInt:
      if (digit) return state == kNInt ? kNInt : -1;
      if (c == '.') return kNDot;
      return (c == 'e' || c == 'E') ? kNExp : -1;
    case kNDot:
      return digit ? kNFrac : -1;
    case kNFrac:
      if (digit) return kNFrac;
      return (c == 'e' || c == 'E') ? kNExp : -1;
    case kNExp:
      if (c == '+' || c == '-') return kNExpSign;
      return digit ? kNExpDigits : -1;
    default:  // kNExpSign, kNExpDigits
      return digit ? kNExpDigits : -1;
  }
}

bool number_complete(int state) {
  return state == kNZero || state == kNInt || state == kNFrac || state == kNExpDigits;
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

brindle_status fail(brindle__json_pull *pull, brindle_status code, const char *message) {
  pull->failed = true;
  return brindle__fail(&pull->error, code, "%s", message);
}

brindle_status invalid(brindle__json_pull *pull, const char *message) {
  return fail(pull, BRINDLE_INVALID_JSON, message);
}

// Makes at least one input byte available unless the input ended (*at_end).
brindle_status fill(brindle__json_pull *pull, bool *at_end) {
  *at_end = false;
  if (pull->input_position < pull->input_length) return BRINDLE_OK;
  while (!pull->input_eof) {
    size_t length = 0;
    bool eof = false;
    const brindle_status status = brindle__json_cursor_read(
        &pull->cursor, pull->input, BRINDLE_JSON_PULL_BLOCK, &length, &eof, &pull->error);
    if (status != BRINDLE_OK) {
      pull->failed = true;
      return status;
    }
    pull->input_position = 0;
    pull->input_length = length;
    pull->input_eof = eof;
    pull->consumed += length;
    if (pull->max_total_bytes != 0 && pull->consumed > pull->max_total_bytes) {
      return fail(pull, BRINDLE_OVERFLOW, "JSON value exceeds maximum total byte limit");
    }
    if (length > 0) return BRINDLE_OK;
  }
  *at_end = true;
  return BRINDLE_OK;
}

// Skips white space; *next is the following byte, or -1 at the end of the input.
brindle_status next_significant(brindle__json_pull *pull, int *next) {
  for (;;) {
    bool at_end = false;
    BRINDLE_TRY(fill(pull, &at_end));
    if (at_end) {
      *next = -1;
      return BRINDLE_OK;
    }
    while (pull->input_position < pull->input_length &&
           is_space(static_cast<unsigned char>(pull->input[pull->input_position]))) {
      ++pull->input_position;
    }
    if (pull->input_position < pull->input_length) {
      *next = static_cast<unsigned char>(pull->input[pull->input_position]);
      return BRINDLE_OK;
    }
  }
}

bool top_is_object(const brindle__json_pull *pull) {
  return pull->depth > 0 && pull->stack[pull->depth - 1] != 0;
}

const char *unterminated(const brindle__json_pull *pull) {
  return top_is_object(pull) ? "unterminated JSON object" : "unterminated JSON array";
}

// Spaces before a member of the innermost container (extra 1) or before its closing (extra 0).
brindle_status indent_width(brindle__json_pull *pull, size_t extra, size_t *width) {
  const size_t levels = pull->base_depth + pull->depth - 1 + extra;
  if (pull->base_depth > PTRDIFF_MAX / 4 || pull->depth > PTRDIFF_MAX / 4) {
    return fail(pull, BRINDLE_OVERFLOW, "JSON indentation depth is too large");
  }
  *width = 2 * levels;
  return BRINDLE_OK;
}

brindle_status push(brindle__json_pull *pull, unsigned char is_object) {
  if (pull->depth >= pull->max_depth) {
    return fail(pull, BRINDLE_OVERFLOW, "JSON value nesting exceeds maximum depth");
  }
  if (pull->depth == pull->stack_capacity) {
    const size_t grown = pull->stack_capacity == 0 ? 16 : pull->stack_capacity * 2;
    void *bigger =
        grown < pull->stack_capacity
            ? nullptr
            : brindle__raw_realloc(&pull->allocator, pull->stack, pull->stack_capacity, grown);
    if (bigger == nullptr) {
      return fail(pull, BRINDLE_ALLOCATION_FAILED, "failed to grow JSON pull frame stack");
    }
    pull->stack = static_cast<unsigned char *>(bigger);
    pull->stack_capacity = grown;
  }
  pull->stack[pull->depth++] = is_object;
  return BRINDLE_OK;
}

// The closing brace or bracket of a container that has members.
brindle_status close_container(brindle__json_pull *pull, const char *closing) {
  ++pull->input_position;
  if (pull->pretty) {
    size_t width = 0;
    BRINDLE_TRY(indent_width(pull, 0, &width));
    pull->pending.set("\n", 1, width, closing, 1);
  } else {
    pull->pending.set(closing, 1);
  }
  --pull->depth;
  pull->state = kAfterValue;
  return BRINDLE_OK;
}

// A separator (",") or the line break before the first member, in the current form.
brindle_status separator(brindle__json_pull *pull, bool comma) {
  if (!pull->pretty) {
    if (comma) pull->pending.set(",", 1);
    return BRINDLE_OK;
  }
  size_t width = 0;
  BRINDLE_TRY(indent_width(pull, 1, &width));
  pull->pending.set(comma ? ",\n" : "\n", comma ? 2 : 1, width, nullptr, 0);
  return BRINDLE_OK;
}

brindle_status begin_value(brindle__json_pull *pull, int next) {
  switch (next) {
    case '{':
      ++pull->input_position;
      BRINDLE_TRY(push(pull, 1));
      pull->pending.set("{", 1);
      pull->state = kObjectFirst;
      return BRINDLE_OK;
    case '[':
      ++pull->input_position;
      BRINDLE_TRY(push(pull, 0));
      pull->pending.set("[", 1);
      pull->state = kArrayFirst;
      return BRINDLE_OK;
    case '"':
      ++pull->input_position;
      pull->in_key = false;
      pull->pending.set("\"", 1);
      pull->state = kString;
      return BRINDLE_OK;
    case 't':
    case 'f':
    case 'n':
      ++pull->input_position;
      pull->literal = next == 't' ? "true" : next == 'f' ? "false" : "null";
      pull->token_bytes = 1;
      pull->state = kLiteral;
      return BRINDLE_OK;
    default:
      if (next == '-' || (next >= '0' && next <= '9')) {
        pull->number_state = kNStart;
        pull->token_bytes = 0;
        pull->state = kNumber;
        return BRINDLE_OK;
      }
      return invalid(pull, "expected JSON value");
  }
}

void end_string(brindle__json_pull *pull) {
  pull->state = pull->in_key ? kColon : kAfterValue;
}

brindle_status string_body(brindle__json_pull *pull) {
  bool at_end = false;
  BRINDLE_TRY(fill(pull, &at_end));
  if (at_end) return invalid(pull, "unterminated JSON string");
  const char *start = pull->input + pull->input_position;
  const char *stop = pull->input + pull->input_length;
  const char *special = brindle__find_escape(start, stop);
  const size_t plain = static_cast<size_t>(special - start);
  pull->input_position += plain;
  const bool closes = special < stop && *special == '"';
  if (closes) {
    ++pull->input_position;
    pull->pending.set(start, plain, 0, "\"", 1);
    end_string(pull);
    return BRINDLE_OK;
  }
  if (plain > 0) {
    pull->pending.set(start, plain);
    return BRINDLE_OK;
  }
  if (special == stop) return BRINDLE_OK;
  if (*special == '\\') {
    ++pull->input_position;
    pull->state = kEscape;
    return BRINDLE_OK;
  }
  return invalid(pull, "control character in string");
}

// The decoded code point, escaped again where the serializer would escape it.
void emit_code_point(brindle__json_pull *pull, uint32_t code) {
  char *out = pull->scratch;
  size_t n = 0;
  if (code < 0x80) {
    const unsigned char byte = static_cast<unsigned char>(code);
    if (brindle__escape_table[byte] != 0) {
      n = brindle__escape_sequence(byte, out);
    } else {
      out[0] = static_cast<char>(byte);
      n = 1;
    }
  } else if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    n = 2;
  } else if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    n = 3;
  } else {
    out[0] = static_cast<char>(0xF0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
    n = 4;
  }
  pull->pending.set(out, n);
}

brindle_status escape(brindle__json_pull *pull) {
  bool at_end = false;
  BRINDLE_TRY(fill(pull, &at_end));
  if (at_end) return invalid(pull, "unterminated escape sequence");
  const char c = pull->input[pull->input_position++];
  pull->state = kString;
  switch (c) {
    case '"':
      pull->pending.set("\\\"", 2);
      return BRINDLE_OK;
    case '\\':
      pull->pending.set("\\\\", 2);
      return BRINDLE_OK;
    case '/':
      pull->pending.set("/", 1);
      return BRINDLE_OK;
    case 'b':
      pull->pending.set("\\b", 2);
      return BRINDLE_OK;
    case 'f':
      pull->pending.set("\\f", 2);
      return BRINDLE_OK;
    case 'n':
      pull->pending.set("\\n", 2);
      return BRINDLE_OK;
    case 'r':
      pull->pending.set("\\r", 2);
      return BRINDLE_OK;
    case 't':
      pull->pending.set("\\t", 2);
      return BRINDLE_OK;
    case 'u':
      pull->hex_digits = 0;
      pull->code_unit = 0;
      pull->state = kUnicode;
      return BRINDLE_OK;
    default:
      return invalid(pull, "invalid string escape");
  }
}

// Reads the four hex digits of a \u escape (of either half of a pair).
brindle_status unicode(brindle__json_pull *pull) {
  while (pull->hex_digits < 4) {
    bool at_end = false;
    BRINDLE_TRY(fill(pull, &at_end));
    if (at_end) return invalid(pull, "unterminated escape sequence");
    const int digit = hex_value(static_cast<unsigned char>(pull->input[pull->input_position]));
    if (digit < 0) return invalid(pull, "invalid unicode escape");
    ++pull->input_position;
    pull->code_unit = pull->code_unit * 16 + static_cast<uint32_t>(digit);
    ++pull->hex_digits;
  }
  const uint32_t unit = pull->code_unit;
  const bool high = unit >= 0xD800 && unit <= 0xDBFF;
  const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
  if (pull->state == kLowHex) {
    if (!low) return invalid(pull, "invalid unicode surrogate pair");
    emit_code_point(pull, 0x10000 + ((pull->high_surrogate - 0xD800) << 10) + (unit - 0xDC00));
    pull->state = kString;
    return BRINDLE_OK;
  }
  if (low) return invalid(pull, "unexpected low surrogate");
  if (high) {
    pull->high_surrogate = unit;
    pull->state = kLowBackslash;
    return BRINDLE_OK;
  }
  emit_code_point(pull, unit);
  pull->state = kString;
  return BRINDLE_OK;
}

// The backslash and u that must follow a high surrogate.
brindle_status surrogate_prefix(brindle__json_pull *pull) {
  bool at_end = false;
  BRINDLE_TRY(fill(pull, &at_end));
  if (at_end) return invalid(pull, "unterminated escape sequence");
  const char expected = pull->state == kLowBackslash ? '\\' : 'u';
  if (pull->input[pull->input_position] != expected) {
    return invalid(pull, "invalid unicode surrogate pair");
  }
  ++pull->input_position;
  if (pull->state == kLowBackslash) {
    pull->state = kLowU;
  } else {
    pull->hex_digits = 0;
    pull->code_unit = 0;
    pull->state = kLowHex;
  }
  return BRINDLE_OK;
}

brindle_status number(brindle__json_pull *pull) {
  bool at_end = false;
  BRINDLE_TRY(fill(pull, &at_end));
  if (at_end) {
    if (!number_complete(pull->number_state)) return invalid(pull, "invalid JSON number");
    pull->state = kAfterValue;
    return BRINDLE_OK;
  }
  const char *start = pull->input + pull->input_position;
  const char *stop = pull->input + pull->input_length;
  const char *p = start;
  int state = pull->number_state;
  while (p < stop && is_number_byte(static_cast<unsigned char>(*p))) {
    state = number_step(state, static_cast<unsigned char>(*p));
    if (state < 0) return invalid(pull, "invalid JSON number");
    ++p;
  }
  const size_t run = static_cast<size_t>(p - start);
  pull->token_bytes += run;
  if (pull->token_bytes > pull->max_number_bytes) {
    return fail(pull, BRINDLE_OVERFLOW, "JSON number exceeds maximum byte limit");
  }
  pull->number_state = state;
  if (p < stop) {
    if (!number_complete(state)) return invalid(pull, "invalid JSON number");
    pull->state = kAfterValue;
  }
  pull->input_position += run;
  pull->pending.set(start, run);
  return BRINDLE_OK;
}

brindle_status literal(brindle__json_pull *pull) {
  while (pull->literal[pull->token_bytes] != '\0') {
    bool at_end = false;
    BRINDLE_TRY(fill(pull, &at_end));
    if (at_end || pull->input[pull->input_position] != pull->literal[pull->token_bytes]) {
      return invalid(pull, "invalid JSON literal");
    }
    ++pull->input_position;
    ++pull->token_bytes;
  }
  pull->pending.set(pull->literal, pull->token_bytes);
  pull->state = kAfterValue;
  return BRINDLE_OK;
}

brindle_status step(brindle__json_pull *pull) {
  int next = 0;
  switch (pull->state) {
    case kValue:
      BRINDLE_TRY(next_significant(pull, &next));
      if (next < 0) {
        return invalid(pull, pull->depth == 0 ? "expected JSON value" : unterminated(pull));
      }
      return begin_value(pull, next);
    case kAfterValue:
      pull->state = pull->depth == 0 ? kTrailing : top_is_object(pull) ? kObjectNext : kArrayNext;
      return BRINDLE_OK;
    case kObjectFirst:
    case kObjectKey: {
      BRINDLE_TRY(next_significant(pull, &next));
      if (next < 0) return invalid(pull, "unterminated JSON object");
      const bool first = pull->state == kObjectFirst;
      if (next == '}' && first) {
        ++pull->input_position;
        pull->pending.set("}", 1);
        --pull->depth;
        pull->state = kAfterValue;
        return BRINDLE_OK;
      }
      if (next != '"') return invalid(pull, "expected object key");
      ++pull->input_position;
      if (first) BRINDLE_TRY(separator(pull, false));
      pull->pending.tail = "\"";
      pull->pending.tail_length = 1;
      pull->in_key = true;
      pull->state = kString;
      return BRINDLE_OK;
    }
    case kColon:
      BRINDLE_TRY(next_significant(pull, &next));
      if (next < 0) return invalid(pull, "unterminated JSON object");
      if (next != ':') return invalid(pull, "expected ':' after object key");
      ++pull->input_position;
      pull->pending.set(pull->pretty ? ": " : ":", pull->pretty ? 2 : 1);
      pull->state = kValue;
      return BRINDLE_OK;
    case kObjectNext:
    case kArrayNext: {
      const bool object = pull->state == kObjectNext;
      BRINDLE_TRY(next_significant(pull, &next));
      if (next < 0) return invalid(pull, unterminated(pull));
      if (next == ',') {
        ++pull->input_position;
        BRINDLE_TRY(separator(pull, true));
        pull->state = object ? kObjectKey : kValue;
        return BRINDLE_OK;
      }
      if (next == (object ? '}' : ']')) return close_container(pull, object ? "}" : "]");
      return invalid(pull,
                     object ? "expected ',' or '}' in object" : "expected ',' or ']' in array");
    }
    case kArrayFirst:
      BRINDLE_TRY(next_significant(pull, &next));
      if (next < 0) return invalid(pull, "unterminated JSON array");
      if (next == ']') {
        ++pull->input_position;
        pull->pending.set("]", 1);
        --pull->depth;
        pull->state = kAfterValue;
        return BRINDLE_OK;
      }
      BRINDLE_TRY(separator(pull, false));
      pull->state = kValue;
      return BRINDLE_OK;
    case kString:
      return string_body(pull);
    case kEscape:
      return escape(pull);
    case kUnicode:
    case kLowHex:
      return unicode(pull);
    case kLowBackslash:
    case kLowU:
      return surrogate_prefix(pull);
    case kNumber:
      return number(pull);
    case kLiteral:
      return literal(pull);
    case kTrailing:
      BRINDLE_TRY(next_significant(pull, &next));
      if (next >= 0) return invalid(pull, "JSON value must contain exactly one value");
      pull->state = kDone;
      return BRINDLE_OK;
    default:
      return fail(pull, BRINDLE_INTERNAL_ERROR, "invalid JSON pull frame phase");
  }
}

}  // namespace

brindle_status brindle__json_pull_open(brindle__json_pull *pull, const brindle_json_value *value,
                                       bool pretty, size_t depth,
                                       const brindle_allocator *allocator) noexcept {
  pull->allocator = brindle__allocator_resolve(allocator);
  pull->cursor_open = false;
  pull->failed = false;
  pull->pretty = pretty;
  pull->base_depth = depth;
  const brindle_value_limits limits = brindle__value_limits_normalize(&value->limits);
  pull->max_depth = limits.max_depth;
  pull->max_number_bytes = limits.max_number_bytes;
  pull->max_total_bytes = limits.max_total_bytes;
  pull->input_position = 0;
  pull->input_length = 0;
  pull->input_eof = false;
  pull->consumed = 0;
  pull->stack = nullptr;
  pull->depth = 0;
  pull->stack_capacity = 0;
  pull->state = kValue;
  pull->number_state = kNStart;
  pull->token_bytes = 0;
  pull->literal = "";
  pull->in_key = false;
  pull->hex_digits = 0;
  pull->code_unit = 0;
  pull->high_surrogate = 0;
  pull->pending = brindle__pending{};
  brindle_error_init(&pull->error);
  pull->initialized = true;
  if (value->kind == BRINDLE_JSON_VALUE_NONE) {
    pull->pending.set("null", 4);
    pull->state = kDone;
    return BRINDLE_OK;
  }
  const brindle_status status = brindle__json_cursor_open(&pull->cursor, value, &pull->error);
  if (status != BRINDLE_OK) {
    pull->failed = true;
    return status;
  }
  pull->cursor_open = true;
  return BRINDLE_OK;
}

brindle_status brindle__json_pull_read(brindle__json_pull *pull, char *buffer, size_t capacity,
                                       size_t *written, bool *done) noexcept {
  *written = 0;
  *done = false;
  if (pull == nullptr) return BRINDLE_INTERNAL_ERROR;
  if (!pull->initialized) {
    return brindle__fail(&pull->error, BRINDLE_INTERNAL_ERROR,
                         "JSON pull state is not initialized");
  }
  if (pull->failed) return static_cast<brindle_status>(pull->error.code);
  brindle__pull_buffer out;
  out.data = buffer;
  out.capacity = capacity;
  brindle_status status = BRINDLE_OK;
  for (;;) {
    if (!out.drain(pull->pending)) break;
    if (pull->state == kDone) {
      *done = true;
      break;
    }
    status = step(pull);
    if (status != BRINDLE_OK) {
      pull->failed = true;
      break;
    }
  }
  *written = out.written;
  return status;
}

void brindle__json_pull_close(brindle__json_pull *pull) noexcept {
  if (pull == nullptr) return;
  if (pull->cursor_open) brindle__json_cursor_close(&pull->cursor);
  pull->cursor_open = false;
  brindle__raw_free(&pull->allocator, pull->stack, pull->stack_capacity);
  pull->stack = nullptr;
  pull->stack_capacity = 0;
  pull->depth = 0;
  pull->initialized = false;
}
