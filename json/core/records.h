// Internal interface of the record module (maps, layout validation, whole-record and per-member
// initialisation and cleanup, array growth). Implemented in records*.cpp.
#ifndef BRINDLE_CORE_RECORDS_H
#define BRINDLE_CORE_RECORDS_H

#include "internal.h"

// The layout rules: known kinds, members inside the record, present flags only on numbers and
// bools, required not combined with omission flags, valid sub-maps (recursively).
bool brindle__map_layout_is_valid(const brindle_map *map) noexcept;

// Size of the member a descriptor describes (0 when it cannot be known: bad kind, fixed string
// of capacity 0, missing sub-map). Inline: record initialisation asks for every member.
inline size_t brindle__field_member_size(const brindle_field *field) noexcept {
  switch (field->kind) {
    case BRINDLE_FIELD_STRING:
      if (field->storage == BRINDLE_STORAGE_FIXED) return field->capacity;
      return sizeof(char *);
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES:
      return sizeof(brindle_spooled);
    case BRINDLE_FIELD_SOURCE_TEXT:
    case BRINDLE_FIELD_SOURCE_BYTES:
      return sizeof(brindle_source);
    case BRINDLE_FIELD_JSON_VALUE:
      return sizeof(brindle_json_value);
    case BRINDLE_FIELD_I64:
    case BRINDLE_FIELD_U64:
    case BRINDLE_FIELD_F64:
      return 8;
    case BRINDLE_FIELD_BOOL:
      return 4;
    case BRINDLE_FIELD_OBJECT:
      return field->submap == nullptr ? 0 : field->submap->struct_size;
    case BRINDLE_FIELD_STRING_ARRAY:
    case BRINDLE_FIELD_I64_ARRAY:
    case BRINDLE_FIELD_U64_ARRAY:
    case BRINDLE_FIELD_F64_ARRAY:
    case BRINDLE_FIELD_BOOL_ARRAY:
      return sizeof(brindle_array);
    case BRINDLE_FIELD_OBJECT_ARRAY:
      return sizeof(brindle_object_array);
    case BRINDLE_FIELD_STRING_STREAM:
      return sizeof(brindle_string_array_stream);
    default:
      return 0;
  }
}

// Address of the member of field inside record.
inline void *brindle__member(void *record, const brindle_field *field) noexcept {
  return static_cast<char *>(record) + field->offset;
}
inline const void *brindle__member(const void *record, const brindle_field *field) noexcept {
  return static_cast<const char *>(record) + field->offset;
}

// brindle_init with the given allocator for members that embed one (spooled, JSON values).
void brindle__init_with_allocator(const brindle_map *map, void *record,
                                  const brindle_allocator *allocator) noexcept;

// Cleans up one member (as brindle_cleanup does for it), present flag included.
void brindle__field_cleanup(const brindle_field *field, void *record) noexcept;

// Whether anything of a record of this map can hold library allocations.
bool brindle__map_can_allocate(const brindle_map *map) noexcept;

// A record of map was moved by its owner from old_address (an object array's buffer grew): its
// members that carry address-derived markers (spooled values, JSON values, string streams, also
// inside nested records) take over their content at the new address. old_address is only
// compared, never read.
void brindle__record_moved(const brindle_map *map, void *record, uintptr_t old_address) noexcept;
// Whether a record of map is initialised by zeroing it: every member is a number, a bool, a
// string or an array of scalars (their fresh state is all zero bytes).
bool brindle__map_zero_initialised(const brindle_map *map) noexcept;
// Whether records of map hold members with address-derived markers.
bool brindle__map_has_markers(const brindle_map *map) noexcept;

// brindle_reset for a map already known to be valid.
void brindle__reset_record(const brindle_map *map, void *record) noexcept;

// ---- Array growth ------------------------------------------------------------------------------

// Outcome of making room for one more array element.
enum brindle__append_result {
  BRINDLE__APPEND_OK = 0,         // a slot is available
  BRINDLE__APPEND_DROPPED = 1,    // fixed array full, non-zero policy: drop the element, go on
  BRINDLE__APPEND_FULL = 2,       // fixed array full, policy 0: "array capacity exceeded"
  BRINDLE__APPEND_TOO_LARGE = 3,  // capacity doubling overflows: "array too large"
  BRINDLE__APPEND_NO_MEMORY = 4   // "failed to grow array"
};

// Makes room for element number count (0-based) in an array whose members are given by
// pointer (brindle_array and brindle_object_array share them). A dynamic array grows from 4
// elements by doubling, through its block header (or allocator the first time); a fixed array
// (flags 0x2) never grows. On success returns the slot's address; the caller fills it and
// increases count. On failure returns NULL with the reason in *result and the array unchanged.
// brindle__array_reserve without room left: grows the array or reports why it cannot.
void *brindle__array_make_room(void **items, size_t count, size_t *capacity, int32_t *flags,
                               size_t element_size, int32_t overflow_policy,
                               const brindle_allocator *allocator,
                               brindle__append_result *result) noexcept;
inline void *brindle__array_reserve(void **items, size_t count, size_t *capacity, int32_t *flags,
                                    size_t element_size, int32_t overflow_policy,
                                    const brindle_allocator *allocator,
                                    brindle__append_result *result) noexcept {
  if (count < *capacity && *items != nullptr) {
    *result = BRINDLE__APPEND_OK;
    return static_cast<char *>(*items) + count * element_size;
  }
  return brindle__array_make_room(items, count, capacity, flags, element_size, overflow_policy,
                                  allocator, result);
}

// Messages of the failing outcomes.
const char *brindle__append_message(brindle__append_result result) noexcept;

#endif  // BRINDLE_CORE_RECORDS_H
