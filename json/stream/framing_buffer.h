// Growable byte buffers for the framing readers (multipart and server-sent events): lines,
// boundaries, event names and held-back body bytes. Each buffer has a hard limit, so hostile
// input ends in an error instead of unbounded growth, and stays NUL-terminated after its content.
#ifndef BRINDLE_STREAM_FRAMING_BUFFER_H
#define BRINDLE_STREAM_FRAMING_BUFFER_H

#include <cstddef>

#include "../core/internal.h"

struct brindle__framing_buffer {
  char *data;       // NULL until the first append
  size_t length;    // bytes of content (a NUL follows them)
  size_t capacity;  // bytes allocated
  size_t limit;     // most bytes of content accepted
};

inline void brindle__framing_init(brindle__framing_buffer *buffer, size_t limit) noexcept {
  buffer->data = nullptr;
  buffer->length = 0;
  buffer->capacity = 0;
  buffer->limit = limit;
}

// Appends bytes. Fails with BRINDLE_OVERFLOW "framing buffer size overflow" when the length would
// overflow, "framing buffer limit exceeded" beyond the limit (a length of exactly the limit is
// accepted), BRINDLE_ALLOCATION_FAILED "failed to allocate framing buffer"; the content is
// unchanged on failure. Capacity starts at 64 and doubles, but never beyond limit + 1.
brindle_status brindle__framing_append(brindle__framing_buffer *buffer,
                                       const brindle_allocator *allocator, const char *bytes,
                                       size_t length, brindle_error *error) noexcept;

inline void brindle__framing_clear(brindle__framing_buffer *buffer) noexcept {
  buffer->length = 0;
  if (buffer->data != nullptr) buffer->data[0] = '\0';
}

// Replaces the content.
inline brindle_status brindle__framing_assign(brindle__framing_buffer *buffer,
                                              const brindle_allocator *allocator, const char *bytes,
                                              size_t length, brindle_error *error) noexcept {
  brindle__framing_clear(buffer);
  return brindle__framing_append(buffer, allocator, bytes, length, error);
}

// The content as text ("" before the first append).
inline const char *brindle__framing_text(const brindle__framing_buffer *buffer) noexcept {
  return buffer->data != nullptr ? buffer->data : "";
}

// Frees the memory; the buffer is empty afterwards and keeps its limit.
void brindle__framing_free(brindle__framing_buffer *buffer,
                           const brindle_allocator *allocator) noexcept;

#endif  // BRINDLE_STREAM_FRAMING_BUFFER_H
