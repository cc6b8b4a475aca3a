// Allocator hooks of the engine client. Only the client_alloc family goes through them; every
// copy the engine keeps for itself uses the system allocator.
#include <cstdlib>
#include <cstring>

#include "engine_internal.h"

extern "C" {

SV_API void sv_engine_allocator_init(sv_engine_allocator *allocator) noexcept {
  if (allocator != nullptr) *allocator = sv_engine_allocator{};
}

SV_API void *sv_engine_default_malloc(void *, size_t size) noexcept {
  return std::malloc(size);
}

SV_API void *sv_engine_default_realloc(void *, void *pointer, size_t size) noexcept {
  return std::realloc(pointer, size);
}

SV_API void sv_engine_default_free(void *, void *pointer) noexcept {
  std::free(pointer);
}

SV_API int sv_engine_client_set_allocator(sv_engine_client *client,
                                          const sv_engine_allocator *allocator,
                                          sv_engine_error *error) noexcept {
  if (client == nullptr || allocator == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "set_allocator requires client, allocator, and error");
  }
  if (allocator->malloc_fn == nullptr || allocator->free_fn == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "allocator requires malloc_fn and free_fn");
  }
  client->allocator = *allocator;
  if (client->allocator.realloc_fn == nullptr) {
    client->allocator.realloc_fn = sv_engine_default_realloc;
  }
  return SV_OK;
}

SV_API int sv_engine_client_get_allocator(const sv_engine_client *client, sv_engine_allocator *out,
                                          sv_engine_error *error) noexcept {
  if (client == nullptr || out == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "get_allocator requires client, allocator, and error");
  }
  if (client->allocator.malloc_fn == nullptr) {
    out->malloc_fn = sv_engine_default_malloc;
    out->realloc_fn = sv_engine_default_realloc;
    out->free_fn = sv_engine_default_free;
    out->context = nullptr;
  } else {
    *out = client->allocator;
  }
  return SV_OK;
}

SV_API void *sv_engine_client_alloc(const sv_engine_client *client, size_t size) noexcept {
  if (client != nullptr && client->allocator.malloc_fn != nullptr) {
    return client->allocator.malloc_fn(client->allocator.context, size);
  }
  return std::malloc(size);
}

SV_API void sv_engine_client_free_alloc(const sv_engine_client *client, void *pointer) noexcept {
  if (pointer == nullptr) return;
  if (client != nullptr && client->allocator.free_fn != nullptr) {
    client->allocator.free_fn(client->allocator.context, pointer);
    return;
  }
  std::free(pointer);
}

SV_API char *sv_engine_client_strdup_range(const sv_engine_client *client, const char *start,
                                           const char *end) noexcept {
  if (start == nullptr || end == nullptr || end < start) return nullptr;
  const size_t length = static_cast<size_t>(end - start);
  auto *copy = static_cast<char *>(sv_engine_client_alloc(client, length + 1));
  if (copy == nullptr) return nullptr;
  if (length > 0) std::memcpy(copy, start, length);
  copy[length] = '\0';
  return copy;
}

SV_API char *sv_engine_client_strdup(const sv_engine_client *client, const char *text) noexcept {
  if (text == nullptr) return nullptr;
  return sv_engine_client_strdup_range(client, text, text + std::strlen(text));
}

}  // extern "C"
