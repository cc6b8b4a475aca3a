// Internal interface of the record module (maps, layout validation, whole-record and per-member
// initialisation and cleanup, array growth). Implemented in records*.cpp.
#ifndef BRINDLE_CORE_RECORDS_H
#define BRINDLE_CORE_RECORDS_H

#include "internal.h"

// The layout rules: known kinds, members inside the record, present flags only on numbers and
// bools, required not combined with omission flags, valid sub-maps (recursively).
bool brindle__map_layout_is_valid(const brindle_map *map) noexcept;

// Size of the member a descriptor describes (0 when it cannot be known: bad kind, fixed string
// of capacity 0, missing sub-map).
size_t brindle__field_member_size(const brindle_field *field) noexcept;

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

#endif  // BRINDLE_CORE_RECORDS_H
