// The grammar of one JSON value, walked without recursion: open containers live on an explicit
// bit stack, so input nested to any depth ends in a clean error at the handler's maximum depth
// rather than in a stack overflow. The walker is shared by the value visitor and the
// re-emitting value reader; a handler class turns the events into visitor calls or into text.
//
// Handler interface (every brindle_status method returns BRINDLE_OK to go on):
//   size_t max_depth(), size_t max_number_bytes(), const char *number_too_long_message(),
//   const char *trailing_message();
//   object_begin(depth), object_end(depth, empty), array_begin(depth), array_end(depth, empty):
//     depth = containers open outside this one;
//   member_begin(depth): before each key or element, depth = containers open (1 or more);
//   comma(), colon();
//   key_begin(), key_end(), string_begin(), string_end(),
//   text_chunk(key, bytes, length, escaped): decoded bytes of a key or string; escaped is set for
//     the 1 to 4 bytes of one decoded escape, clear for a plain run passed from the input;
//   number_begin(), number_text(text, length) (ends the number), boolean(value), null_value();
//   finish(): after the value and the trailing whitespace.
#ifndef BRINDLE_CORE_VALUE_GRAMMAR_H
#define BRINDLE_CORE_VALUE_GRAMMAR_H

#include <cstring>
#include <initializer_list>

#include "value_input.h"

// True when the text is a JSON number: optional '-', '0' or digits not starting with '0', an
// optional fraction with at least one digit, an optional exponent with at least one digit.
bool brindle__json_number_is_valid(const char *text, size_t length) noexcept;

template <class Handler>
class brindle__value_walker {
 public:
  brindle__value_walker(brindle__value_input *input, Handler *handler,
                        const brindle_allocator *allocator) noexcept
      : in_(*input), h_(*handler), allocator_(allocator) {}
  ~brindle__value_walker() {
    if (stack_ != inline_stack_) {
      brindle__raw_free(allocator_, stack_, stack_words_ * sizeof(uint64_t));
    }
    if (number_ != inline_number_) brindle__raw_free(allocator_, number_, number_capacity_);
  }
  brindle__value_walker(const brindle__value_walker &) = delete;
  brindle__value_walker &operator=(const brindle__value_walker &) = delete;

  brindle_status run() noexcept {
    State state = kValue;
    brindle_status st = BRINDLE_OK;
    for (;;) {
      int c = next_significant(&st);
      if (c == kFailed) return st;
      if (state == kAfterValue && depth_ == 0) {
        if (c != kEnd) return fail(BRINDLE_INVALID_JSON, h_.trailing_message());
        return h_.finish();
      }
      if (c == kEnd) return fail_at_end();
      switch (state) {
        case kValue:
          st = start_value(c, &state);
          break;
        case kObjectFirst:
        case kObjectKey:
          if (c == '}' && state == kObjectFirst) {
            ++in_.pos;
            st = close_container(true);
            state = kAfterValue;
          } else if (c == '"') {
            st = read_member_key();
            state = kValue;
          } else {
            st = fail(BRINDLE_INVALID_JSON, "expected object key");
          }
          break;
        case kArrayFirst:
          if (c == ']') {
            ++in_.pos;
            st = close_container(true);
            state = kAfterValue;
          } else {
            st = h_.member_begin(depth_);
            state = kValue;
          }
          break;
        case kAfterValue:
          st = after_value(c, &state);
          break;
      }
      if (st != BRINDLE_OK) return st;
    }
  }

 private:
  // What the next significant byte must be: a value, the first key or '}', a key after ',',
  // the first element or ']', or what follows a value (',', a closing bracket or the end).
  enum State { kValue, kObjectFirst, kObjectKey, kArrayFirst, kAfterValue };
  static constexpr int kEnd = -1;
  static constexpr int kFailed = -2;
  static constexpr size_t kInlineWords = 8;  // 512 levels without allocation
  static constexpr size_t kInlineNumber = 256;

  // Fails at the current position: offset counts the input bytes before it.
  brindle_status fail(brindle_status code, const char *message) noexcept {
    const brindle_status status = brindle__fail(in_.error, code, "%s", message);
    if (in_.error != nullptr) {
      in_.error->offset = in_.consumed_before + static_cast<size_t>(in_.pos - in_.window_start);
    }
    return status;
  }

  brindle_status fail_at_end() noexcept {
    if (depth_ == 0) return fail(BRINDLE_INVALID_JSON, "expected JSON value");
    return fail(BRINDLE_INVALID_JSON,
                top_is_object() ? "unterminated JSON object" : "unterminated JSON array");
  }

  // The next byte that is not whitespace (left unconsumed), kEnd, or kFailed with *st set.
  int next_significant(brindle_status *st) noexcept {
    for (;;) {
      const char *p = in_.pos;
      const char *end = in_.end;
      while (p < end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
          in_.pos = p;
          return c;
        }
        ++p;
      }
      in_.pos = p;
      bool more = false;
      *st = brindle__value_input_refill(&in_, &more);
      if (*st != BRINDLE_OK) return kFailed;
      if (!more) return kEnd;
    }
  }

  // The next byte, consumed; kEnd or kFailed.
  int next_byte(brindle_status *st) noexcept {
    if (in_.pos == in_.end) {
      bool more = false;
      *st = brindle__value_input_refill(&in_, &more);
      if (*st != BRINDLE_OK) return kFailed;
      if (!more) return kEnd;
    }
    return static_cast<unsigned char>(*in_.pos++);
  }

  bool top_is_object() const noexcept {
    const size_t level = depth_ - 1;
    return ((stack_[level / 64] >> (level % 64)) & 1u) != 0;
  }

  brindle_status push(bool object) noexcept {
    if (depth_ >= h_.max_depth()) {
      return fail(BRINDLE_OVERFLOW, "JSON value nesting exceeds maximum depth");
    }
    if (depth_ == stack_words_ * 64) {
      const size_t words = stack_words_ * 2;
      auto *grown =
          static_cast<uint64_t *>(brindle__raw_alloc(allocator_, words * sizeof(uint64_t)));
      if (grown == nullptr) {
        return fail(BRINDLE_ALLOCATION_FAILED, "failed to allocate JSON nesting stack");
      }
      std::memcpy(grown, stack_, stack_words_ * sizeof(uint64_t));
      if (stack_ != inline_stack_) {
        brindle__raw_free(allocator_, stack_, stack_words_ * sizeof(uint64_t));
      }
      stack_ = grown;
      stack_words_ = words;
    }
    const uint64_t bit = uint64_t{1} << (depth_ % 64);
    if (object) {
      stack_[depth_ / 64] |= bit;
    } else {
      stack_[depth_ / 64] &= ~bit;
    }
    ++depth_;
    return BRINDLE_OK;
  }

  brindle_status start_value(int c, State *state) noexcept {
    brindle_status st = BRINDLE_OK;
    switch (c) {
      case '{':
      case '[': {
        const bool object = c == '{';
        st = push(object);
        if (st != BRINDLE_OK) return st;
        ++in_.pos;
        st = object ? h_.object_begin(depth_ - 1) : h_.array_begin(depth_ - 1);
        *state = object ? kObjectFirst : kArrayFirst;
        return st;
      }
      case '"':
        ++in_.pos;
        st = read_string(false);
        break;
      case 't':
      case 'f':
      case 'n':
        st = read_literal(static_cast<char>(c));
        break;
      default:
        if (c == '-' || (c >= '0' && c <= '9')) {
          st = read_number();
        } else {
          return fail(BRINDLE_INVALID_JSON, "expected JSON value");
        }
        break;
    }
    *state = kAfterValue;
    return st;
  }

  brindle_status close_container(bool empty) noexcept {
    const bool object = top_is_object();
    --depth_;
    return object ? h_.object_end(depth_, empty) : h_.array_end(depth_, empty);
  }

  brindle_status after_value(int c, State *state) noexcept {
    const bool object = top_is_object();
    if (c == ',') {
      ++in_.pos;
      brindle_status st = h_.comma();
      if (st != BRINDLE_OK) return st;
      if (object) {
        *state = kObjectKey;
        return BRINDLE_OK;
      }
      *state = kValue;
      return h_.member_begin(depth_);
    }
    if (c == (object ? '}' : ']')) {
      ++in_.pos;
      return close_container(false);  // the state stays "after a value"
    }
    return fail(BRINDLE_INVALID_JSON, object ? "expected ',' in object" : "expected ',' in array");
  }

  // At the opening quote of a key: the key, then the ':'.
  brindle_status read_member_key() noexcept {
    ++in_.pos;
    brindle_status st = h_.member_begin(depth_);
    if (st != BRINDLE_OK) return st;
    st = read_string(true);
    if (st != BRINDLE_OK) return st;
    const int c = next_significant(&st);
    if (c == kFailed) return st;
    if (c == kEnd) return fail_at_end();
    if (c != ':') return fail(BRINDLE_INVALID_JSON, "expected ':' after object key");
    ++in_.pos;
    return h_.colon();
  }

  // After the opening quote.
  brindle_status read_string(bool key) noexcept {
    brindle_status st = key ? h_.key_begin() : h_.string_begin();
    if (st != BRINDLE_OK) return st;
    for (;;) {
      const char *start = in_.pos;
      const char *p = brindle__find_escape(start, in_.end);
      in_.pos = p;
      if (p != start) {
        st = h_.text_chunk(key, start, static_cast<size_t>(p - start), false);
        if (st != BRINDLE_OK) return st;
      }
      if (p == in_.end) {
        bool more = false;
        st = brindle__value_input_refill(&in_, &more);
        if (st != BRINDLE_OK) return st;
        if (!more) return fail(BRINDLE_INVALID_JSON, "unterminated JSON string");
        continue;
      }
      const unsigned char c = static_cast<unsigned char>(*p);
      in_.pos = p + 1;
      if (c == '"') break;
      if (c != '\\') return fail(BRINDLE_INVALID_JSON, "control character in string");
      char decoded[4] = {};
      size_t length = 0;
      st = read_escape(decoded, &length);
      if (st != BRINDLE_OK) return st;
      st = h_.text_chunk(key, decoded, length, true);
      if (st != BRINDLE_OK) return st;
    }
    return key ? h_.key_end() : h_.string_end();
  }

  // Four hex digits of a unicode escape.
  brindle_status read_hex4(unsigned *code) noexcept {
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      brindle_status st = BRINDLE_OK;
      const int c = next_byte(&st);
      if (c == kFailed) return st;
      if (c == kEnd) return fail(BRINDLE_INVALID_JSON, "unterminated escape sequence");
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return fail(BRINDLE_INVALID_JSON, "invalid unicode escape");
      }
      value = value * 16 + digit;
    }
    *code = value;
    return BRINDLE_OK;
  }

  // After the backslash: the decoded bytes (1 to 4).
  brindle_status read_escape(char out[4], size_t *length) noexcept {
    brindle_status st = BRINDLE_OK;
    int c = next_byte(&st);
    if (c == kFailed) return st;
    if (c == kEnd) return fail(BRINDLE_INVALID_JSON, "unterminated escape sequence");
    *length = 1;
    switch (c) {
      case '"':
        out[0] = '"';
        return BRINDLE_OK;
      case '\\':
        out[0] = '\\';
        return BRINDLE_OK;
      case '/':
        out[0] = '/';
        return BRINDLE_OK;
      case 'b':
        out[0] = '\b';
        return BRINDLE_OK;
      case 'f':
        out[0] = '\f';
        return BRINDLE_OK;
      case 'n':
        out[0] = '\n';
        return BRINDLE_OK;
      case 'r':
        out[0] = '\r';
        return BRINDLE_OK;
      case 't':
        out[0] = '\t';
        return BRINDLE_OK;
      case 'u':
        break;
      default:
        return fail(BRINDLE_INVALID_JSON, "invalid string escape");
    }
    unsigned code = 0;
    st = read_hex4(&code);
    if (st != BRINDLE_OK) return st;
    if (code >= 0xDC00 && code <= 0xDFFF) {
      return fail(BRINDLE_INVALID_JSON, "invalid unicode escape");  // a lone low surrogate
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
      // A high surrogate must be followed at once by the escape of a low surrogate.
      for (const char expected : {'\\', 'u'}) {
        c = next_byte(&st);
        if (c == kFailed) return st;
        if (c == kEnd) return fail(BRINDLE_INVALID_JSON, "unterminated escape sequence");
        if (c != expected) return fail(BRINDLE_INVALID_JSON, "invalid unicode escape");
      }
      unsigned low = 0;
      st = read_hex4(&low);
      if (st != BRINDLE_OK) return st;
      if (low < 0xDC00 || low > 0xDFFF) return fail(BRINDLE_INVALID_JSON, "invalid unicode escape");
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code < 0x80) {
      out[0] = static_cast<char>(code);
    } else if (code < 0x800) {
      out[0] = static_cast<char>(0xC0 | (code >> 6));
      out[1] = static_cast<char>(0x80 | (code & 0x3F));
      *length = 2;
    } else if (code < 0x10000) {
      out[0] = static_cast<char>(0xE0 | (code >> 12));
      out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (code & 0x3F));
      *length = 3;
    } else {
      out[0] = static_cast<char>(0xF0 | (code >> 18));
      out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (code & 0x3F));
      *length = 4;
    }
    return BRINDLE_OK;
  }

  brindle_status read_literal(char first) noexcept {
    const char *rest = first == 't' ? "rue" : first == 'f' ? "alse" : "ull";
    ++in_.pos;
    for (; *rest != '\0'; ++rest) {
      brindle_status st = BRINDLE_OK;
      const int c = next_byte(&st);
      if (c == kFailed) return st;
      if (c != static_cast<unsigned char>(*rest)) {
        return fail(BRINDLE_INVALID_JSON, "invalid JSON literal");
      }
    }
    if (first == 'n') return h_.null_value();
    return h_.boolean(first == 't' ? 1 : 0);
  }

  static bool is_number_char(char c) noexcept {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
  }

  brindle_status number_too_long() noexcept {
    return fail(BRINDLE_OVERFLOW, h_.number_too_long_message());
  }

  // Appends to the gathering buffer, which grows by doubling up to the handler's maximum.
  brindle_status gather(const char *bytes, size_t length) noexcept {
    const size_t limit = h_.max_number_bytes();
    if (length > limit - number_length_) return number_too_long();
    if (number_length_ + length > number_capacity_) {
      size_t capacity = number_capacity_;
      while (capacity < number_length_ + length) {
        capacity = capacity > SIZE_MAX / 2 ? number_length_ + length : capacity * 2;
      }
      if (capacity > limit) capacity = limit;
      char *grown = static_cast<char *>(brindle__raw_alloc(allocator_, capacity));
      if (grown == nullptr) {
        return fail(BRINDLE_ALLOCATION_FAILED, "failed to allocate JSON number buffer");
      }
      std::memcpy(grown, number_, number_length_);
      if (number_ != inline_number_) brindle__raw_free(allocator_, number_, number_capacity_);
      number_ = grown;
      number_capacity_ = capacity;
    }
    std::memcpy(number_ + number_length_, bytes, length);
    number_length_ += length;
    return BRINDLE_OK;
  }

  brindle_status finish_number(const char *text, size_t length) noexcept {
    if (!brindle__json_number_is_valid(text, length)) {
      return fail(BRINDLE_INVALID_JSON, "invalid JSON number");
    }
    return h_.number_text(text, length);
  }

  brindle_status read_number() noexcept {
    brindle_status st = h_.number_begin();
    if (st != BRINDLE_OK) return st;
    const char *start = in_.pos;
    const char *p = start;
    while (p < in_.end && is_number_char(*p))
      ++p;
    const bool last_window = in_.source_done && in_.end == in_.data_end;
    if (p < in_.end || last_window) {
      // The whole number lies in the window: checked and passed in place.
      const size_t length = static_cast<size_t>(p - start);
      if (length > h_.max_number_bytes()) return number_too_long();
      in_.pos = p;
      return finish_number(start, length);
    }
    // The number goes on in the next block: gather it.
    number_length_ = 0;
    for (;;) {
      st = gather(in_.pos, static_cast<size_t>(p - in_.pos));
      if (st != BRINDLE_OK) return st;
      in_.pos = p;
      if (p < in_.end) break;
      bool more = false;
      st = brindle__value_input_refill(&in_, &more);
      if (st != BRINDLE_OK) return st;
      if (!more) break;
      p = in_.pos;
      while (p < in_.end && is_number_char(*p))
        ++p;
    }
    return finish_number(number_, number_length_);
  }

  brindle__value_input &in_;
  Handler &h_;
  const brindle_allocator *allocator_;
  size_t depth_ = 0;
  uint64_t inline_stack_[kInlineWords] = {};
  uint64_t *stack_ = inline_stack_;
  size_t stack_words_ = kInlineWords;
  char inline_number_[kInlineNumber];
  char *number_ = inline_number_;
  size_t number_capacity_ = kInlineNumber;
  size_t number_length_ = 0;
};

#endif  // BRINDLE_CORE_VALUE_GRAMMAR_H
