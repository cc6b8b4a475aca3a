// The re-emitting value reader: reads one JSON value and writes it back as JSON text, compact
// or pretty, with strings decoded and re-escaped and numbers copied as written. Output is
// gathered in a block so that the sink sees a few large pieces instead of one call per token.
#include <cstring>

#include "value_grammar.h"

namespace {

// Longest number the reader copies: far beyond anything a real document holds, small enough
// that hostile input cannot make the gathering buffer grow without bound.
constexpr size_t kMaxNumberBytes = 65536;
constexpr size_t kOutputBlock = 4096;
constexpr char kSpaces[] =
    "                                                                ";  // 64 spaces

class EmitEvents {
 public:
  EmitEvents(brindle_sink sink, void *user, bool pretty, size_t base_depth, size_t max_depth,
             const char *trailing, brindle_error *error)
      : sink_(sink),
        user_(user),
        pretty_(pretty),
        base_(base_depth),
        max_depth_(max_depth),
        trailing_(trailing),
        error_(error) {}

  size_t max_depth() const { return max_depth_; }
  size_t max_number_bytes() const { return kMaxNumberBytes; }
  const char *number_too_long_message() const { return "JSON number token too long"; }
  const char *trailing_message() const { return trailing_; }

  brindle_status object_begin(size_t) { return put_char('{'); }
  brindle_status array_begin(size_t) { return put_char('['); }
  brindle_status object_end(size_t depth, bool empty) { return close(depth, empty, '}'); }
  brindle_status array_end(size_t depth, bool empty) { return close(depth, empty, ']'); }
  brindle_status member_begin(size_t depth) { return pretty_ ? indent(depth) : BRINDLE_OK; }
  brindle_status comma() { return put_char(','); }
  brindle_status colon() { return pretty_ ? put(": ", 2) : put_char(':'); }

  brindle_status key_begin() { return put_char('"'); }
  brindle_status key_end() { return put_char('"'); }
  brindle_status string_begin() { return put_char('"'); }
  brindle_status string_end() { return put_char('"'); }

  // Plain runs hold no byte that needs escaping; decoded escapes are escaped again.
  brindle_status text_chunk(bool, const char *bytes, size_t length, bool escaped) {
    if (!escaped) return put(bytes, length);
    for (size_t i = 0; i < length; ++i) {
      const unsigned char byte = static_cast<unsigned char>(bytes[i]);
      brindle_status status;
      if (brindle__escape_table[byte] != 0) {
        char sequence[6];
        status = put(sequence, brindle__escape_sequence(byte, sequence));
      } else {
        status = put_char(static_cast<char>(byte));
      }
      if (status != BRINDLE_OK) return status;
    }
    return BRINDLE_OK;
  }

  brindle_status number_begin() { return BRINDLE_OK; }
  brindle_status number_text(const char *text, size_t length) { return put(text, length); }
  brindle_status boolean(int32_t value) { return value != 0 ? put("true", 4) : put("false", 5); }
  brindle_status null_value() { return put("null", 4); }

  brindle_status finish() {
    const brindle_status status = flush();
    if (status != BRINDLE_OK) return status;
    return brindle__finish(error_, truncated_);
  }

 private:
  brindle_status deliver(const char *bytes, size_t length) {
    const brindle_status status =
        brindle__sink_call(sink_, user_, bytes, length, error_, &truncated_);
    if (status != BRINDLE_OK) return brindle__callback_failed(error_, status, "sink failed");
    return BRINDLE_OK;
  }

  brindle_status flush() {
    if (used_ == 0) return BRINDLE_OK;
    const size_t length = used_;
    used_ = 0;
    return deliver(out_, length);
  }

  brindle_status put(const char *bytes, size_t length) {
    if (length <= kOutputBlock - used_) {
      std::memcpy(out_ + used_, bytes, length);
      used_ += length;
      return BRINDLE_OK;
    }
    brindle_status status = flush();
    if (status != BRINDLE_OK) return status;
    if (length >= kOutputBlock / 2) return deliver(bytes, length);  // large runs go straight on
    std::memcpy(out_, bytes, length);
    used_ = length;
    return BRINDLE_OK;
  }

  brindle_status put_char(char c) {
    if (used_ == kOutputBlock) {
      const brindle_status status = flush();
      if (status != BRINDLE_OK) return status;
    }
    out_[used_++] = c;
    return BRINDLE_OK;
  }

  // A newline and 2 spaces per level, the levels continuing the caller's depth.
  brindle_status indent(size_t depth) {
    if (base_ > SIZE_MAX / 2 || depth > SIZE_MAX / 2 - base_) {
      return brindle__fail(error_, BRINDLE_OVERFLOW, "JSON indentation depth is too large");
    }
    brindle_status status = put_char('\n');
    size_t spaces = 2 * (base_ + depth);
    while (status == BRINDLE_OK && spaces > 0) {
      const size_t n = spaces < sizeof(kSpaces) - 1 ? spaces : sizeof(kSpaces) - 1;
      status = put(kSpaces, n);
      spaces -= n;
    }
    return status;
  }

  brindle_status close(size_t depth, bool empty, char bracket) {
    if (pretty_ && !empty) {
      const brindle_status status = indent(depth);
      if (status != BRINDLE_OK) return status;
    }
    return put_char(bracket);
  }

  brindle_sink sink_;
  void *user_;
  bool pretty_;
  size_t base_;
  size_t max_depth_;
  const char *trailing_;
  brindle_error *error_;
  bool truncated_ = false;
  size_t used_ = 0;
  char out_[kOutputBlock];
};

}  // namespace

brindle_status brindle__json_parse_value(brindle__json_cursor *cursor, brindle_sink sink,
                                         void *user, int pretty, size_t depth,
                                         size_t max_total_bytes, size_t max_depth,
                                         const brindle_allocator *allocator,
                                         const char *trailing_message,
                                         brindle_error *error) noexcept {
  if (max_depth == 0) max_depth = BRINDLE_DEFAULT_VALUE_MAX_DEPTH;
  if (trailing_message == nullptr)
    trailing_message = "embedded JSON must contain exactly one value";
  char block[BRINDLE_VALUE_INPUT_BLOCK];
  brindle__value_input input;
  brindle__value_input_init(&input, cursor, block, max_total_bytes, error);
  EmitEvents events(sink, user, pretty != 0, depth, max_depth, trailing_message, error);
  brindle__value_walker<EmitEvents> walker(&input, &events, allocator);
  return walker.run();
}
