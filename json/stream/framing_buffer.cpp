// Growable framing buffers with hard limits.
#include "framing_buffer.h"

#include <cstdint>
#include <cstring>

namespace {

// The capacity for content of new_length bytes plus the NUL: doubling from 64 (or from the
// current capacity), but never beyond limit + 1, so a buffer that approaches a limit which is
// not a power of two is grown once more to its final size instead of once per append.
size_t grown_capacity(size_t capacity, size_t new_length, size_t limit) {
  const size_t most = limit == SIZE_MAX ? SIZE_MAX : limit + 1;
  const size_t need = new_length + 1;
  size_t grown = capacity != 0 ? capacity : 64;
  while (grown < need) {
    if (grown > most / 2) return most;
    grown *= 2;
  }
  if (grown > most) grown = most;
  return grown < need ? need : grown;
}

}  // namespace

brindle_status brindle__framing_append(brindle__framing_buffer *buffer,
                                       const brindle_allocator *allocator, const char *bytes,
                                       size_t length, brindle_error *error) noexcept {
  if (length > SIZE_MAX - 1 - buffer->length) {
    return brindle__fail(error, BRINDLE_OVERFLOW, "framing buffer size overflow");
  }
  const size_t new_length = buffer->length + length;
  if (new_length > buffer->limit) {
    return brindle__fail(error, BRINDLE_OVERFLOW, "framing buffer limit exceeded");
  }
  if (new_length + 1 > buffer->capacity) {
    const size_t capacity = grown_capacity(buffer->capacity, new_length, buffer->limit);
    void *grown = buffer->data == nullptr
                      ? brindle__raw_alloc(allocator, capacity)
                      : brindle__raw_realloc(allocator, buffer->data, buffer->capacity, capacity);
    if (grown == nullptr) {
      return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate framing buffer");
    }
    buffer->data = static_cast<char *>(grown);
    buffer->capacity = capacity;
  }
  if (length != 0) std::memcpy(buffer->data + buffer->length, bytes, length);
  buffer->length = new_length;
  buffer->data[new_length] = '\0';
  return BRINDLE_OK;
}

void brindle__framing_free(brindle__framing_buffer *buffer,
                           const brindle_allocator *allocator) noexcept {
  brindle__raw_free(allocator, buffer->data, buffer->capacity);
  buffer->data = nullptr;
  buffer->length = 0;
  buffer->capacity = 0;
}
