// Helpers for walking maps recursively: member bounds and a bounded path of the maps entered
// so far, so that self-referencing maps (trees of object arrays) and absurdly deep maps cannot
// recurse without end.
#ifndef BRINDLE_CORE_RECORD_WALK_H
#define BRINDLE_CORE_RECORD_WALK_H

#include "records.h"

// The member of field lies inside a record of map (checks 2 and 3 of the layout rules).
inline bool brindle__member_fits(const brindle_map *map, const brindle_field *field) noexcept {
  const size_t size = brindle__field_member_size(field);
  if (size == 0) return false;
  return field->offset <= map->struct_size && map->struct_size - field->offset >= size;
}
// The int32 present flag of field lies inside a record of map.
bool brindle__present_fits(const brindle_map *map, const brindle_field *field) noexcept;

// Maps entered on the way down from the root map.
struct brindle__map_path {
  static constexpr size_t kMaxDepth = 64;
  const brindle_map *maps[kMaxDepth];
  size_t depth = 0;

  bool contains(const brindle_map *map) const noexcept {
    for (size_t i = 0; i < depth; ++i) {
      if (maps[i] == map) return true;
    }
    return false;
  }
  // False when the path is full (the walk must stop there).
  bool push(const brindle_map *map) noexcept {
    if (depth == kMaxDepth) return false;
    maps[depth++] = map;
    return true;
  }
  void pop() noexcept { --depth; }
};

#endif  // BRINDLE_CORE_RECORD_WALK_H
