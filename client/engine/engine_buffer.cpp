// The engine's growable byte buffer (always NUL-terminated once it holds memory) and the
// brindle reader over a memory cursor.
#include <cstdlib>
#include <cstring>

#include "engine_internal.h"

namespace {

constexpr size_t kFirstCapacity = 256;

// Makes room for added bytes plus the terminator; the data moves only through realloc.
int reserve(sv_engine_buffer *buffer, size_t added) noexcept {
  if (added > SIZE_MAX - buffer->length - 1) return SV_ERR_NOMEM;
  const size_t needed = buffer->length + added + 1;
  if (needed <= buffer->capacity) return SV_OK;
  size_t capacity = buffer->capacity == 0 ? kFirstCapacity : buffer->capacity;
  while (capacity < needed) {
    if (capacity > SIZE_MAX / 2) return SV_ERR_NOMEM;
    capacity *= 2;
  }
  auto *data = static_cast<char *>(std::realloc(buffer->data, capacity));
  if (data == nullptr) return SV_ERR_NOMEM;
  buffer->data = data;
  buffer->capacity = capacity;
  return SV_OK;
}

int append(sv_engine_buffer *buffer, const char *bytes, size_t length, size_t limit) noexcept {
  if (buffer == nullptr || (bytes == nullptr && length > 0)) return SV_ERR_INVALID;
  if (limit != 0 && (length > limit || buffer->length + 1 > limit - length)) return SV_ERR_NOMEM;
  const int status = reserve(buffer, length);
  if (status != SV_OK) return status;
  if (length > 0) std::memcpy(buffer->data + buffer->length, bytes, length);
  buffer->length += length;
  buffer->data[buffer->length] = '\0';
  return SV_OK;
}

}  // namespace

extern "C" {

SV_API void sv_engine_buffer_init(sv_engine_buffer *buffer) noexcept {
  if (buffer != nullptr) *buffer = sv_engine_buffer{};
}

SV_API void sv_engine_buffer_cleanup(sv_engine_buffer *buffer) noexcept {
  if (buffer == nullptr) return;
  std::free(buffer->data);
  *buffer = sv_engine_buffer{};
}

SV_API int sv_engine_buffer_append(sv_engine_buffer *buffer, const char *bytes,
                                   size_t length) noexcept {
  return append(buffer, bytes, length, 0);
}

SV_API int sv_engine_buffer_append_cstr(sv_engine_buffer *buffer, const char *text) noexcept {
  if (buffer == nullptr) return SV_ERR_INVALID;
  if (text == nullptr) return SV_OK;
  return append(buffer, text, std::strlen(text), 0);
}

SV_API int sv_engine_buffer_append_limited(sv_engine_buffer *buffer, const char *bytes,
                                           size_t length, size_t limit) noexcept {
  return append(buffer, bytes, length, limit);
}

SV_API int sv_engine_buffer_append_cstr_limited(sv_engine_buffer *buffer, const char *text,
                                                size_t limit) noexcept {
  if (buffer == nullptr) return SV_ERR_INVALID;
  if (text == nullptr) return SV_OK;
  return append(buffer, text, std::strlen(text), limit);
}

SV_API brindle_read_result sv_engine_json_memory_reader(void *user, char *buffer,
                                                        size_t capacity) noexcept {
  brindle_read_result result{};
  auto *cursor = static_cast<sv_engine_json_memory_cursor *>(user);
  if (cursor == nullptr || buffer == nullptr || capacity == 0 || cursor->remaining == 0 ||
      cursor->data == nullptr) {
    result.eof = 1;
    return result;
  }
  const size_t count = cursor->remaining < capacity ? cursor->remaining : capacity;
  std::memcpy(buffer, cursor->data, count);
  cursor->data += count;
  cursor->remaining -= count;
  result.bytes = count;
  result.eof = cursor->remaining == 0 ? 1 : 0;
  return result;
}

}  // extern "C"
