// Growth of array members: dynamic arrays double from 4 elements through their block header;
// fixed arrays live in caller storage and never grow.
#include <cstring>

#include "records.h"

void *brindle__array_make_room(void **items, size_t count, size_t *capacity, int32_t *flags,
                               size_t element_size, int32_t overflow_policy,
                               const brindle_allocator *allocator,
                               brindle__append_result *result) noexcept {
  // Room left was handled inline by brindle__array_reserve.
  if ((*flags & BRINDLE_ARRAY_FIXED) != 0) {
    *result =
        overflow_policy == BRINDLE_OVERFLOW_FAIL ? BRINDLE__APPEND_FULL : BRINDLE__APPEND_DROPPED;
    return nullptr;
  }
  if (count == SIZE_MAX) {
    *result = BRINDLE__APPEND_TOO_LARGE;
    return nullptr;
  }
  size_t grown = *capacity == 0 ? 4 : *capacity;
  while (grown < count + 1) {
    if (grown > SIZE_MAX / 2) {
      *result = BRINDLE__APPEND_TOO_LARGE;
      return nullptr;
    }
    grown *= 2;
  }
  if (element_size != 0 && grown > SIZE_MAX / element_size) {
    *result = BRINDLE__APPEND_TOO_LARGE;
    return nullptr;
  }
  void *buffer;
  if (*items != nullptr && (*flags & BRINDLE_ARRAY_OWNED) != 0) {
    buffer = brindle__block_realloc(allocator, *items, grown * element_size);
  } else {
    // First allocation, or elements the library does not own: copy them into a block of its
    // own and leave the old storage to whoever owns it.
    buffer = brindle__block_alloc(allocator, grown * element_size);
    if (buffer != nullptr && *items != nullptr && count != 0) {
      std::memcpy(buffer, *items, count * element_size);
    }
  }
  if (buffer == nullptr) {
    *result = BRINDLE__APPEND_NO_MEMORY;
    return nullptr;
  }
  *items = buffer;
  *capacity = grown;
  *flags |= BRINDLE_ARRAY_OWNED;
  *result = BRINDLE__APPEND_OK;
  return static_cast<char *>(buffer) + count * element_size;
}

const char *brindle__append_message(brindle__append_result result) noexcept {
  switch (result) {
    case BRINDLE__APPEND_FULL:
      return "array capacity exceeded";
    case BRINDLE__APPEND_TOO_LARGE:
      return "array too large";
    case BRINDLE__APPEND_NO_MEMORY:
      return "failed to grow array";
    default:
      return "";
  }
}
