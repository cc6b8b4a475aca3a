// Where the serializer's output goes. Each output takes pieces (put), quoted and escaped strings
// (put_string) and escaped fragments (put_escaped); the memory outputs also let the writer format
// straight into the buffer (reserve/commit), so the buffer paths run without a call per piece.
// Every call returns BRINDLE_OK or the status that stops the serialization.
#ifndef BRINDLE_CORE_SERIALIZER_OUTPUTS_H
#define BRINDLE_CORE_SERIALIZER_OUTPUTS_H

#include <cstdlib>

#include "serializer_internal.h"

// The caller's sink, one call per piece. BRINDLE_TRUNCATED from the sink is remembered and
// writing goes on.
struct brindle__sink_output {
  static constexpr bool kDirect = false;

  brindle_sink sink;
  void *user;
  brindle_error *error;
  bool truncated = false;

  brindle__sink_output(brindle_sink s, void *u, brindle_error *e) : sink(s), user(u), error(e) {}

  brindle_status put(const char *bytes, size_t length) {
    if (length == 0) return BRINDLE_OK;
    return brindle__sink_call(sink, user, bytes, length, error, &truncated);
  }
  brindle_status put_escaped(const char *bytes, size_t length) {
    const brindle_status status = brindle__emit_escaped_fragment(sink, user, bytes, length, error);
    if (status == BRINDLE_TRUNCATED) {
      truncated = true;
      return BRINDLE_OK;
    }
    return status;
  }
  brindle_status put_string(const char *bytes, size_t length) {
    brindle_status status = put("\"", 1);
    if (status == BRINDLE_OK) status = put_escaped(bytes, length);
    if (status == BRINDLE_OK) status = put("\"", 1);
    return status;
  }
  char *reserve(size_t) { return nullptr; }
  void commit(char *) {}
};

// Shared by the memory outputs: escaped strings written in one pass when the room allows it,
// piece by piece through put() otherwise.
template <class Self>
struct brindle__memory_output {
  static constexpr bool kDirect = true;

  brindle_status put_escaped(const char *bytes, size_t length) {
    Self &self = static_cast<Self &>(*this);
    if (length <= SIZE_MAX / 8) {
      if (char *at = self.reserve(6 * length)) {
        self.commit(brindle__escape_into(at, bytes, length));
        return BRINDLE_OK;
      }
    }
    const char *end = bytes + length;
    while (bytes < end) {
      const char *plain_end = brindle__find_escape(bytes, end);
      brindle_status status = self.put(bytes, static_cast<size_t>(plain_end - bytes));
      if (status != BRINDLE_OK) return status;
      if (plain_end == end) break;
      char sequence[6];
      const size_t n = brindle__escape_sequence(static_cast<unsigned char>(*plain_end), sequence);
      status = self.put(sequence, n);
      if (status != BRINDLE_OK) return status;
      bytes = plain_end + 1;
    }
    return BRINDLE_OK;
  }
  brindle_status put_string(const char *bytes, size_t length) {
    Self &self = static_cast<Self &>(*this);
    if (length <= SIZE_MAX / 8) {
      if (char *at = self.reserve(6 * length + 2)) {
        *at = '"';
        at = brindle__escape_into(at + 1, bytes, length);
        *at = '"';
        self.commit(at + 1);
        return BRINDLE_OK;
      }
    }
    brindle_status status = self.put("\"", 1);
    if (status == BRINDLE_OK) status = put_escaped(bytes, length);
    if (status == BRINDLE_OK) status = self.put("\"", 1);
    return status;
  }
};

// A caller's fixed buffer. One byte stays reserved for the NUL. What does not fit is dropped and
// counted, so the full length is known at the end; the caller decides between failure and
// truncation from `overflowed`.
struct brindle__fixed_output : brindle__memory_output<brindle__fixed_output> {
  char *begin;
  char *position;
  char *limit;  // begin + capacity - 1
  size_t dropped = 0;
  bool overflowed = false;

  brindle__fixed_output(char *buffer, size_t capacity)
      : begin(buffer), position(buffer), limit(buffer + capacity - 1) {}

  brindle_status put(const char *bytes, size_t length) {
    if (length <= static_cast<size_t>(limit - position)) {
      std::memcpy(position, bytes, length);
      position += length;
      return BRINDLE_OK;
    }
    return put_partial(bytes, length);
  }
  brindle_status put_partial(const char *bytes, size_t length) {
    const size_t room = static_cast<size_t>(limit - position);
    std::memcpy(position, bytes, room);
    position += room;
    dropped += length - room;
    overflowed = true;
    return BRINDLE_OK;
  }
  char *reserve(size_t length) {
    return length <= static_cast<size_t>(limit - position) ? position : nullptr;
  }
  void commit(char *end) { position = end; }
  size_t written() const { return static_cast<size_t>(position - begin); }
  size_t total() const { return written() + dropped; }
};

// A buffer that grows up to a limit: through the options' allocator (owned output) or the
// system's malloc (allocated strings). Its length always stays below its capacity, so the NUL
// fits.
struct brindle__growing_output : brindle__memory_output<brindle__growing_output> {
  char *data = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  size_t limit;
  brindle_allocator allocator;
  bool system_malloc;
  brindle_error *error;

  brindle__growing_output(size_t max_bytes, const brindle_allocator *options_allocator,
                          bool use_system_malloc, brindle_error *e)
      : limit(max_bytes),
        allocator(brindle__allocator_resolve(options_allocator)),
        system_malloc(use_system_malloc),
        error(e) {}

  brindle_status put(const char *bytes, size_t n) {
    if (n < capacity - length) {
      std::memcpy(data + length, bytes, n);
      length += n;
      return BRINDLE_OK;
    }
    return grow_and_put(bytes, n);
  }
  char *reserve(size_t n) { return n < capacity - length ? data + length : nullptr; }
  void commit(char *end) { length = static_cast<size_t>(end - data); }

  brindle_status grow_and_put(const char *bytes, size_t n);
  // Makes sure a buffer exists (an empty output still hands out "").
  brindle_status ensure_buffer();
  void release();
};

// The free part of a caller's buffer, for the generator's whole-member writes: a piece that does
// not fit stops the write (BRINDLE_OVERFLOW, with the error record untouched) and the caller
// forgets what was written.
struct brindle__window_output : brindle__memory_output<brindle__window_output> {
  char *position;
  char *limit;

  brindle__window_output(char *begin, char *end) : position(begin), limit(end) {}

  brindle_status put(const char *bytes, size_t length) {
    if (length > static_cast<size_t>(limit - position)) return BRINDLE_OVERFLOW;
    std::memcpy(position, bytes, length);
    position += length;
    return BRINDLE_OK;
  }
  char *reserve(size_t length) {
    return length <= static_cast<size_t>(limit - position) ? position : nullptr;
  }
  void commit(char *end) { position = end; }
};

// Counts the bytes without keeping them (measuring).
struct brindle__counting_output {
  static constexpr bool kDirect = false;

  size_t total = 0;
  bool too_large = false;

  brindle_status put(const char *, size_t length) { return add(length); }
  brindle_status put_escaped(const char *bytes, size_t length) {
    return add(brindle__escaped_length(bytes, length));
  }
  brindle_status put_string(const char *bytes, size_t length) {
    const brindle_status status = add(brindle__escaped_length(bytes, length));
    return status == BRINDLE_OK ? add(2) : status;
  }
  char *reserve(size_t) { return nullptr; }
  void commit(char *) {}

  brindle_status add(size_t length) {
    if (__builtin_add_overflow(total, length, &total)) {
      too_large = true;
      return BRINDLE_OVERFLOW;
    }
    return BRINDLE_OK;
  }
};

#endif  // BRINDLE_CORE_SERIALIZER_OUTPUTS_H
