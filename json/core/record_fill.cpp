// Filling records by hand: strings and array elements in blocks of the library, so that
// brindle_cleanup frees exactly what was put in.
#include <cstring>

#include "internal.h"
#include "records.h"

namespace {

// A NUL-terminated copy of length bytes in a block of allocator; NULL when it fails.
char *block_copy(const brindle_allocator *allocator, const char *text, size_t length) {
  if (length == SIZE_MAX) return nullptr;
  auto *copy = static_cast<char *>(brindle__block_alloc(allocator, length + 1));
  if (copy == nullptr) return nullptr;
  if (length != 0) std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

brindle_status check_text(const char *text, size_t length, const brindle_allocator *allocator,
                          brindle_error *error) {
  if (text == nullptr && length != 0) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "text is required");
  }
  if (!brindle__allocator_is_valid(allocator)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "allocator must provide either all callbacks or none");
  }
  return BRINDLE_OK;
}

// A slot for one more element, or the failure in error.
void *reserve(void **items, size_t count, size_t *capacity, int32_t *flags, size_t element_size,
              const brindle_allocator *allocator, brindle_status *status, brindle_error *error) {
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  brindle__append_result result;
  void *slot = brindle__array_reserve(items, count, capacity, flags, element_size,
                                      BRINDLE_OVERFLOW_FAIL, &use, &result);
  if (slot == nullptr) {
    *status = brindle__fail(
        error, result == BRINDLE__APPEND_NO_MEMORY ? BRINDLE_ALLOCATION_FAILED : BRINDLE_OVERFLOW,
        "%s", brindle__append_message(result));
  }
  return slot;
}

}  // namespace

extern "C" {

BRINDLE_API brindle_status brindle_string_set(char **member, const char *text, size_t length,
                                              const brindle_allocator *allocator,
                                              brindle_error *error) noexcept {
  if (member == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "string member is required");
  }
  const brindle_status status = check_text(text, length, allocator, error);
  if (status != BRINDLE_OK) return status;
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  char *copy = block_copy(&use, text, length);
  if (copy == nullptr) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate string");
  }
  brindle__block_free(*member);
  *member = copy;
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_string_array_append(brindle_array *array, const char *text,
                                                       size_t length,
                                                       const brindle_allocator *allocator,
                                                       brindle_error *error) noexcept {
  if (array == nullptr) return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "array is required");
  brindle_status status = check_text(text, length, allocator, error);
  if (status != BRINDLE_OK) return status;
  void *slot = reserve(&array->items, array->count, &array->capacity, &array->flags, sizeof(char *),
                       allocator, &status, error);
  if (slot == nullptr) return status;
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  char *copy = block_copy(&use, text, length);
  if (copy == nullptr) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate array string");
  }
  std::memcpy(slot, &copy, sizeof(copy));
  ++array->count;
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_array_append(brindle_array *array, const void *element,
                                                size_t element_size,
                                                const brindle_allocator *allocator,
                                                brindle_error *error) noexcept {
  if (array == nullptr || element == nullptr || element_size == 0) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "array and element are required");
  }
  brindle_status status = check_text(nullptr, 0, allocator, error);
  if (status != BRINDLE_OK) return status;
  void *slot = reserve(&array->items, array->count, &array->capacity, &array->flags, element_size,
                       allocator, &status, error);
  if (slot == nullptr) return status;
  std::memcpy(slot, element, element_size);
  ++array->count;
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_object_array_append(brindle_object_array *array,
                                                       const brindle_map *element_map,
                                                       const brindle_allocator *allocator,
                                                       void **element,
                                                       brindle_error *error) noexcept {
  if (array == nullptr || element_map == nullptr || element == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "array, element map and element are required");
  }
  brindle_status status = check_text(nullptr, 0, allocator, error);
  if (status != BRINDLE_OK) return status;
  if (array->element_size == 0) array->element_size = element_map->struct_size;
  void *slot = reserve(&array->items, array->count, &array->capacity, &array->flags,
                       array->element_size, allocator, &status, error);
  if (slot == nullptr) return status;
  const brindle_allocator use = brindle__allocator_resolve(allocator);
  std::memset(slot, 0, array->element_size);
  brindle__init_with_allocator(element_map, slot, &use);
  ++array->count;
  *element = slot;
  return BRINDLE_OK;
}

}  // extern "C"
