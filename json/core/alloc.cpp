// Allocation through caller allocators, with exact statistics. Record blocks carry a hidden
// header naming the allocator that made them.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

void *default_malloc(void *, size_t size) {
  return std::malloc(size);
}
void *default_realloc(void *, void *pointer, size_t size) {
  return std::realloc(pointer, size);
}
void default_free(void *, void *pointer) {
  std::free(pointer);
}

struct alignas(16) BlockHeader {
  void *(*malloc_fn)(void *, size_t);
  void *(*realloc_fn)(void *, void *, size_t);
  void (*free_fn)(void *, void *);
  void *ctx;
  brindle_alloc_stats *stats;
  size_t size;
};

BlockHeader *header_of(const void *payload) {
  return reinterpret_cast<BlockHeader *>(const_cast<char *>(static_cast<const char *>(payload)) -
                                         sizeof(BlockHeader));
}

void stats_add(brindle_alloc_stats *stats, size_t bytes) {
  if (stats == nullptr) return;
  stats->current_bytes += bytes;
  if (stats->current_bytes > stats->peak_bytes) stats->peak_bytes = stats->current_bytes;
}

void stats_sub(brindle_alloc_stats *stats, size_t bytes) {
  if (stats == nullptr) return;
  stats->current_bytes = stats->current_bytes > bytes ? stats->current_bytes - bytes : 0;
}

}  // namespace

bool brindle__allocator_is_valid(const brindle_allocator *allocator) noexcept {
  if (allocator == nullptr) return true;
  const int given = (allocator->malloc != nullptr) + (allocator->realloc != nullptr) +
                    (allocator->free != nullptr);
  return given == 0 || given == 3;
}

brindle_allocator brindle__allocator_resolve(const brindle_allocator *allocator) noexcept {
  brindle_allocator resolved = brindle_default_allocator();
  if (allocator == nullptr) return resolved;
  if (allocator->malloc != nullptr && allocator->realloc != nullptr && allocator->free != nullptr) {
    return *allocator;
  }
  resolved.stats = allocator->stats;
  return resolved;
}

bool brindle__allocator_is_default(const brindle_allocator *allocator) noexcept {
  if (allocator == nullptr) return true;
  if (allocator->ctx != nullptr) return false;
  if (allocator->malloc == nullptr && allocator->realloc == nullptr && allocator->free == nullptr) {
    return true;
  }
  return allocator->malloc == default_malloc && allocator->realloc == default_realloc &&
         allocator->free == default_free;
}

extern "C" BRINDLE_API brindle_allocator brindle_default_allocator(void) noexcept {
  brindle_allocator allocator{};
  allocator.malloc = default_malloc;
  allocator.realloc = default_realloc;
  allocator.free = default_free;
  return allocator;
}

void *brindle__block_alloc(const brindle_allocator *allocator, size_t size) noexcept {
  if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  void *raw = use.malloc(use.ctx, sizeof(BlockHeader) + size);
  if (raw == nullptr) return nullptr;
  BlockHeader *header = static_cast<BlockHeader *>(raw);
  header->malloc_fn = use.malloc;
  header->realloc_fn = use.realloc;
  header->free_fn = use.free;
  header->ctx = use.ctx;
  header->stats = use.stats;
  header->size = size;
  if (use.stats != nullptr) ++use.stats->allocations;
  stats_add(use.stats, size);
  return header + 1;
}

void *brindle__block_realloc(const brindle_allocator *allocator, void *payload,
                             size_t size) noexcept {
  if (payload == nullptr) return brindle__block_alloc(allocator, size);
  if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  BlockHeader *header = header_of(payload);
  const size_t old_size = header->size;
  brindle_alloc_stats *stats = header->stats;
  void *raw = header->realloc_fn(header->ctx, header, sizeof(BlockHeader) + size);
  if (raw == nullptr) return nullptr;
  header = static_cast<BlockHeader *>(raw);
  header->size = size;
  if (stats != nullptr) ++stats->reallocations;
  stats_sub(stats, old_size);
  stats_add(stats, size);
  return header + 1;
}

void brindle__block_free(void *payload) noexcept {
  if (payload == nullptr) return;
  BlockHeader *header = header_of(payload);
  brindle_alloc_stats *stats = header->stats;
  if (stats != nullptr) ++stats->frees;
  stats_sub(stats, header->size);
  header->free_fn(header->ctx, header);
}

size_t brindle__block_size(const void *payload) noexcept {
  return payload == nullptr ? 0 : header_of(payload)->size;
}

char *brindle__block_strdup(const brindle_allocator *allocator, const char *text) noexcept {
  if (text == nullptr) return nullptr;
  const size_t length = std::strlen(text);
  char *copy = static_cast<char *>(brindle__block_alloc(allocator, length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

void *brindle__raw_alloc(const brindle_allocator *allocator, size_t size) noexcept {
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  void *pointer = use.malloc(use.ctx, size);
  if (pointer == nullptr) return nullptr;
  if (use.stats != nullptr) ++use.stats->allocations;
  stats_add(use.stats, size);
  return pointer;
}

void *brindle__raw_realloc(const brindle_allocator *allocator, void *pointer, size_t old_size,
                           size_t new_size) noexcept {
  if (pointer == nullptr) return brindle__raw_alloc(allocator, new_size);
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  void *grown = use.realloc(use.ctx, pointer, new_size);
  if (grown == nullptr) return nullptr;
  if (use.stats != nullptr) ++use.stats->reallocations;
  stats_sub(use.stats, old_size);
  stats_add(use.stats, new_size);
  return grown;
}

void brindle__raw_free(const brindle_allocator *allocator, void *pointer, size_t size) noexcept {
  if (pointer == nullptr) return;
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  if (use.stats != nullptr) ++use.stats->frees;
  stats_sub(use.stats, size);
  use.free(use.ctx, pointer);
}
