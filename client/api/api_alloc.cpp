// Allocation helpers over an sv_allocator, over a client's saved allocator, and the
// system-allocator copies that fill result records.
#include <cstdlib>
#include <cstring>

#include "client_internal.h"

namespace {

const sv_allocator *allocator_of(const sv_client *client) noexcept {
  return client != nullptr ? &sv_client_impl_of(client)->allocator : nullptr;
}

}  // namespace

extern "C" {

SV_API void sv_allocator_init(sv_allocator *allocator) noexcept {
  if (allocator != nullptr) *allocator = sv_allocator{};
}

SV_API void *sv_alloc_with_allocator(const sv_allocator *allocator, size_t size) noexcept {
  if (allocator != nullptr && allocator->malloc_fn != nullptr) {
    return allocator->malloc_fn(allocator->context, size);
  }
  return std::malloc(size);
}

SV_API void *sv_calloc_with_allocator(const sv_allocator *allocator, size_t count,
                                      size_t size) noexcept {
  size_t total = 0;
  if (__builtin_mul_overflow(count, size, &total)) return nullptr;
  void *memory = sv_alloc_with_allocator(allocator, total > 0 ? total : 1);
  if (memory != nullptr && total > 0) std::memset(memory, 0, total);
  return memory;
}

SV_API void *sv_realloc_with_allocator(const sv_allocator *allocator, void *pointer,
                                       size_t size) noexcept {
  if (allocator != nullptr && allocator->realloc_fn != nullptr) {
    return allocator->realloc_fn(allocator->context, pointer, size);
  }
  return std::realloc(pointer, size);
}

SV_API void sv_free_with_allocator(const sv_allocator *allocator, void *pointer) noexcept {
  if (pointer == nullptr) return;
  if (allocator != nullptr && allocator->free_fn != nullptr) {
    allocator->free_fn(allocator->context, pointer);
    return;
  }
  std::free(pointer);
}

SV_API char *sv_dup_bytes_with_allocator(const sv_allocator *allocator, const void *bytes,
                                         size_t length) noexcept {
  if ((bytes == nullptr && length > 0) || length == SIZE_MAX) return nullptr;
  auto *copy = static_cast<char *>(sv_alloc_with_allocator(allocator, length + 1));
  if (copy == nullptr) return nullptr;
  if (length > 0) std::memcpy(copy, bytes, length);
  copy[length] = '\0';
  return copy;
}

SV_API char *sv_strdup_with_allocator(const sv_allocator *allocator, const char *string) noexcept {
  if (string == nullptr) return nullptr;
  return sv_dup_bytes_with_allocator(allocator, string, std::strlen(string));
}

SV_API char *sv_strdup_local(const char *string) noexcept {
  return sv_strdup_with_allocator(nullptr, string);
}

SV_API char *sv_dup_bytes_as_text(const void *bytes, size_t length) noexcept {
  return sv_dup_bytes_with_allocator(nullptr, bytes, length);
}

SV_API void *sv_client_alloc(const sv_client *client, size_t size) noexcept {
  return sv_alloc_with_allocator(allocator_of(client), size);
}

SV_API void *sv_client_calloc(const sv_client *client, size_t count, size_t size) noexcept {
  return sv_calloc_with_allocator(allocator_of(client), count, size);
}

SV_API void *sv_client_realloc(const sv_client *client, void *pointer, size_t size) noexcept {
  return sv_realloc_with_allocator(allocator_of(client), pointer, size);
}

SV_API void sv_client_free(const sv_client *client, void *pointer) noexcept {
  sv_free_with_allocator(allocator_of(client), pointer);
}

SV_API char *sv_client_strdup(const sv_client *client, const char *string) noexcept {
  return sv_strdup_with_allocator(allocator_of(client), string);
}

}  // extern "C"
