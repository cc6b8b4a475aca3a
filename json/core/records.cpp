// Map layout rules: member sizes, layout validation and whether a map can allocate.
#include "records.h"

#include "record_walk.h"

bool brindle__present_fits(const brindle_map *map, const brindle_field *field) noexcept {
  return field->present_offset <= map->struct_size &&
         map->struct_size - field->present_offset >= sizeof(int32_t);
}

namespace {

constexpr uint32_t kRequiredConflicts =
    BRINDLE_FIELD_OMIT_NULL | BRINDLE_FIELD_OMIT_EMPTY | BRINDLE_FIELD_HAS_PRESENT;

bool field_is_valid(const brindle_map *map, const brindle_field *field, brindle__map_path *path) {
  if (field->kind < 0 || field->kind > BRINDLE_FIELD_STRING_STREAM) return false;
  if (!brindle__member_fits(map, field)) return false;
  if ((field->flags & BRINDLE_FIELD_HAS_PRESENT) != 0) {
    if (field->kind < BRINDLE_FIELD_I64 || field->kind > BRINDLE_FIELD_BOOL) return false;
    if (!brindle__present_fits(map, field)) return false;
  }
  if ((field->flags & BRINDLE_FIELD_REQUIRED) != 0 && (field->flags & kRequiredConflicts) != 0) {
    return false;
  }
  if ((field->kind == BRINDLE_FIELD_OBJECT || field->kind == BRINDLE_FIELD_OBJECT_ARRAY) &&
      field->submap != nullptr) {
    if (path->contains(field->submap)) {
      // An object array of its own record type is a tree and fine; an object that contains
      // itself would be infinitely large.
      return field->kind == BRINDLE_FIELD_OBJECT_ARRAY;
    }
    if (!path->push(field->submap)) return false;
    bool valid = true;
    const brindle_map *sub = field->submap;
    if (sub->field_count != 0 && sub->fields == nullptr) valid = false;
    for (size_t i = 0; valid && i < sub->field_count; ++i) {
      valid = field_is_valid(sub, &sub->fields[i], path);
    }
    path->pop();
    return valid;
  }
  return true;
}

bool can_allocate(const brindle_map *map, brindle__map_path *path) {
  if (map == nullptr || map->fields == nullptr) return false;
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *field = &map->fields[i];
    switch (field->kind) {
      case BRINDLE_FIELD_STRING:
        if (field->storage != BRINDLE_STORAGE_FIXED) return true;
        break;
      case BRINDLE_FIELD_SPOOLED_TEXT:
      case BRINDLE_FIELD_SPOOLED_BYTES:
      case BRINDLE_FIELD_SOURCE_TEXT:
      case BRINDLE_FIELD_SOURCE_BYTES:
      case BRINDLE_FIELD_JSON_VALUE:
      case BRINDLE_FIELD_STRING_ARRAY:
        return true;
      case BRINDLE_FIELD_I64_ARRAY:
      case BRINDLE_FIELD_U64_ARRAY:
      case BRINDLE_FIELD_F64_ARRAY:
      case BRINDLE_FIELD_BOOL_ARRAY:
        if (field->storage != BRINDLE_STORAGE_FIXED) return true;
        break;
      case BRINDLE_FIELD_OBJECT_ARRAY:
        if (field->storage != BRINDLE_STORAGE_FIXED) return true;
        [[fallthrough]];
      case BRINDLE_FIELD_OBJECT:
        // A map met again on the way down adds nothing new.
        if (field->submap != nullptr && !path->contains(field->submap)) {
          if (!path->push(field->submap)) return true;  // too deep to tell: assume it can
          const bool sub = can_allocate(field->submap, path);
          path->pop();
          if (sub) return true;
        }
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

bool brindle__map_layout_is_valid(const brindle_map *map) noexcept {
  if (map == nullptr) return false;
  if (map->field_count == 0) return true;
  if (map->fields == nullptr) return false;
  brindle__map_path path;
  path.push(map);
  for (size_t i = 0; i < map->field_count; ++i) {
    if (!field_is_valid(map, &map->fields[i], &path)) return false;
  }
  return true;
}

bool brindle__map_can_allocate(const brindle_map *map) noexcept {
  brindle__map_path path;
  path.push(map);
  return can_allocate(map, &path);
}
