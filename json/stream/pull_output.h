// Output bookkeeping of the resumable writers (generator and JSON pull reader): the caller's
// buffer of the current read, and the piece still to be copied out when it did not fit.
#ifndef BRINDLE_STREAM_PULL_OUTPUT_H
#define BRINDLE_STREAM_PULL_OUTPUT_H

#include <cstddef>
#include <cstring>

// A piece of output still owed: text, then a number of spaces, then a tail. The pointers refer
// to constants, to the record being written, or to the writer's own scratch and input areas,
// which stay untouched until the piece is drained.
struct brindle__pending {
  const char *text = nullptr;
  size_t length = 0;
  size_t spaces = 0;
  const char *tail = nullptr;
  size_t tail_length = 0;

  bool empty() const { return length == 0 && spaces == 0 && tail_length == 0; }
  void set(const char *t, size_t n) {
    text = t;
    length = n;
  }
  void set(const char *t, size_t n, size_t s, const char *rest, size_t rest_length) {
    text = t;
    length = n;
    spaces = s;
    tail = rest;
    tail_length = rest_length;
  }
};

// The caller's buffer of one read.
struct brindle__pull_buffer {
  char *data = nullptr;
  size_t capacity = 0;
  size_t written = 0;

  size_t room() const { return capacity - written; }
  bool full() const { return written == capacity; }

  // Copies as much of the pending piece as fits; true when nothing is left of it.
  bool drain(brindle__pending &pending) {
    if (pending.empty()) return true;
    if (full()) return false;
    if (pending.length > 0) {
      const size_t n = pending.length < room() ? pending.length : room();
      std::memcpy(data + written, pending.text, n);
      written += n;
      pending.text += n;
      pending.length -= n;
      if (pending.length > 0) return false;
    }
    if (pending.spaces > 0) {
      const size_t n = pending.spaces < room() ? pending.spaces : room();
      std::memset(data + written, ' ', n);
      written += n;
      pending.spaces -= n;
      if (pending.spaces > 0) return false;
    }
    if (pending.tail_length > 0) {
      const size_t n = pending.tail_length < room() ? pending.tail_length : room();
      std::memcpy(data + written, pending.tail, n);
      written += n;
      pending.tail += n;
      pending.tail_length -= n;
      if (pending.tail_length > 0) return false;
    }
    return true;
  }
};

#endif  // BRINDLE_STREAM_PULL_OUTPUT_H
