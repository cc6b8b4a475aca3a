// Whole-record operations: initialisation, cleanup and reset of every member a map describes.
#include <cstring>

#include "record_walk.h"
#include "values_internal.h"

namespace {

template <typename T>
T *member_as(void *record, const brindle_field *field) {
  return static_cast<T *>(brindle__member(record, field));
}

void clear_present(const brindle_map *map, const brindle_field *field, void *record) {
  if ((field->flags & BRINDLE_FIELD_HAS_PRESENT) == 0) return;
  if (!brindle__present_fits(map, field)) return;
  int32_t zero = 0;
  std::memcpy(static_cast<char *>(record) + field->present_offset, &zero, sizeof(zero));
}

// Kinds whose members are plain values (numbers, bools, fixed strings): a record made only of
// them is initialised by zeroing it.
bool needs_initialising(const brindle_field *field) {
  switch (field->kind) {
    case BRINDLE_FIELD_I64:
    case BRINDLE_FIELD_U64:
    case BRINDLE_FIELD_F64:
    case BRINDLE_FIELD_BOOL:
      return false;
    case BRINDLE_FIELD_STRING:
      return field->storage != BRINDLE_STORAGE_FIXED;
    default:
      return true;
  }
}

bool map_needs_initialising(const brindle_map *map) {
  if (map->fields == nullptr) return false;
  for (size_t i = 0; i < map->field_count; ++i) {
    if (needs_initialising(&map->fields[i])) return true;
  }
  return false;
}

void init_fields(const brindle_map *map, void *record, const brindle_allocator *allocator,
                 size_t depth);

void init_member(const brindle_map *map, const brindle_field *field, void *record,
                 const brindle_allocator *allocator, size_t depth) {
  void *member = brindle__member(record, field);
  switch (field->kind) {
    case BRINDLE_FIELD_STRING:
      if (field->storage == BRINDLE_STORAGE_FIXED) {
        static_cast<char *>(member)[0] = '\0';
      } else {
        *static_cast<char **>(member) = nullptr;
      }
      break;
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES: {
      // Initialisation is for fresh records and frees nothing: a marker that matches may be
      // left on reused stack or heap memory whose other bytes are garbage by now.
      auto *spooled = static_cast<brindle_spooled *>(member);
      std::memset(spooled, 0, sizeof(*spooled));
      brindle_spooled_init_with_allocator(spooled, field->spool_options, allocator);
      break;
    }
    case BRINDLE_FIELD_SOURCE_TEXT:
    case BRINDLE_FIELD_SOURCE_BYTES: {
      auto *source = static_cast<brindle_source *>(member);
      std::memset(source, 0, sizeof(*source));
      source->kind = BRINDLE_SOURCE_NONE;
      source->fd = -1;
      break;
    }
    case BRINDLE_FIELD_JSON_VALUE: {
      auto *value = static_cast<brindle_json_value *>(member);
      std::memset(value, 0, sizeof(*value));
      brindle_json_value_init_with_allocator(value, allocator);
      break;
    }
    case BRINDLE_FIELD_I64:
    case BRINDLE_FIELD_U64:
    case BRINDLE_FIELD_F64:
      std::memset(member, 0, 8);
      break;
    case BRINDLE_FIELD_BOOL:
      std::memset(member, 0, 4);
      break;
    case BRINDLE_FIELD_OBJECT:
      if (depth < brindle__map_path::kMaxDepth && map_needs_initialising(field->submap)) {
        init_fields(field->submap, member, allocator, depth + 1);
      } else {
        std::memset(member, 0, field->submap->struct_size);
      }
      break;
    case BRINDLE_FIELD_OBJECT_ARRAY: {
      auto *array = static_cast<brindle_object_array *>(member);
      std::memset(array, 0, sizeof(*array));
      array->element_size = field->element_size;
      break;
    }
    case BRINDLE_FIELD_STRING_STREAM: {
      auto *stream = static_cast<brindle_string_array_stream *>(member);
      if (stream->marker != brindle__marker(stream, BRINDLE_MARKER_STRING_STREAM)) {
        brindle_string_array_stream_init(stream);
      }
      stream->active = 0;
      break;
    }
    default:  // arrays of kinds 11 to 15
      std::memset(member, 0, sizeof(brindle_array));
      break;
  }
  clear_present(map, field, record);
}

void init_fields(const brindle_map *map, void *record, const brindle_allocator *allocator,
                 size_t depth) {
  if (map->fields == nullptr) return;
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *field = &map->fields[i];
    if (!brindle__member_fits(map, field)) continue;
    init_member(map, field, record, allocator, depth);
  }
}

// Empties an array record; a fixed one keeps its caller storage.
template <typename Array>
void clear_array_record(Array *array) {
  if ((array->flags & BRINDLE_ARRAY_FIXED) != 0) {
    void *items = array->items;
    const size_t capacity = array->capacity;
    std::memset(array, 0, sizeof(*array));
    array->items = items;
    array->capacity = capacity;
    array->flags = BRINDLE_ARRAY_FIXED;
  } else {
    std::memset(array, 0, sizeof(*array));
  }
}

void cleanup_fields(const brindle_map *map, void *record);

void cleanup_member(const brindle_map *map, const brindle_field *field, void *record) {
  void *member = brindle__member(record, field);
  switch (field->kind) {
    case BRINDLE_FIELD_STRING:
      if (field->storage == BRINDLE_STORAGE_FIXED) {
        if (field->capacity > 0) static_cast<char *>(member)[0] = '\0';
      } else {
        char **text = static_cast<char **>(member);
        brindle__block_free(*text);
        *text = nullptr;
      }
      break;
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES:
      brindle_spooled_reset(static_cast<brindle_spooled *>(member));
      break;
    case BRINDLE_FIELD_SOURCE_TEXT:
    case BRINDLE_FIELD_SOURCE_BYTES:
      brindle_source_cleanup(static_cast<brindle_source *>(member));
      break;
    case BRINDLE_FIELD_JSON_VALUE:
      brindle_json_value_cleanup(static_cast<brindle_json_value *>(member));
      break;
    case BRINDLE_FIELD_I64:
    case BRINDLE_FIELD_U64:
    case BRINDLE_FIELD_F64:
      std::memset(member, 0, 8);
      break;
    case BRINDLE_FIELD_BOOL:
      std::memset(member, 0, 4);
      break;
    case BRINDLE_FIELD_OBJECT:
      if (field->submap != nullptr) {
        cleanup_fields(field->submap, member);
        std::memset(member, 0, field->submap->struct_size);
      }
      break;
    case BRINDLE_FIELD_STRING_ARRAY: {
      auto *array = static_cast<brindle_array *>(member);
      char **items = static_cast<char **>(array->items);
      for (size_t i = 0; items != nullptr && i < array->count; ++i)
        brindle__block_free(items[i]);
      if ((array->flags & BRINDLE_ARRAY_OWNED) != 0) brindle__block_free(array->items);
      clear_array_record(array);
      break;
    }
    case BRINDLE_FIELD_I64_ARRAY:
    case BRINDLE_FIELD_U64_ARRAY:
    case BRINDLE_FIELD_F64_ARRAY:
    case BRINDLE_FIELD_BOOL_ARRAY: {
      auto *array = static_cast<brindle_array *>(member);
      if ((array->flags & BRINDLE_ARRAY_OWNED) != 0) brindle__block_free(array->items);
      clear_array_record(array);
      break;
    }
    case BRINDLE_FIELD_OBJECT_ARRAY: {
      auto *array = static_cast<brindle_object_array *>(member);
      const size_t stride = array->element_size != 0 ? array->element_size : field->element_size;
      if (field->submap != nullptr && array->items != nullptr && stride != 0) {
        for (size_t i = 0; i < array->count; ++i) {
          cleanup_fields(field->submap, static_cast<char *>(array->items) + i * stride);
        }
      }
      if ((array->flags & BRINDLE_ARRAY_OWNED) != 0) brindle__block_free(array->items);
      clear_array_record(array);
      break;
    }
    case BRINDLE_FIELD_STRING_STREAM: {
      auto *stream = static_cast<brindle_string_array_stream *>(member);
      stream->marker = brindle__marker(stream, BRINDLE_MARKER_STRING_STREAM);
      stream->active = 0;
      break;
    }
    default:
      break;
  }
  clear_present(map, field, record);
}

void cleanup_fields(const brindle_map *map, void *record) {
  if (map->fields == nullptr) return;
  for (size_t i = 0; i < map->field_count; ++i)
    cleanup_member(map, &map->fields[i], record);
}

void reset_fields(const brindle_map *map, void *record) {
  if (map->fields == nullptr) return;
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *field = &map->fields[i];
    void *member = brindle__member(record, field);
    switch (field->kind) {
      case BRINDLE_FIELD_STRING:
        if (field->storage == BRINDLE_STORAGE_FIXED && field->capacity > 0) {
          static_cast<char *>(member)[0] = '\0';
          clear_present(map, field, record);
          continue;
        }
        break;
      case BRINDLE_FIELD_I64:
      case BRINDLE_FIELD_U64:
      case BRINDLE_FIELD_F64:
      case BRINDLE_FIELD_BOOL:
        break;  // cleanup zeroes them and their present flag
      case BRINDLE_FIELD_OBJECT:
        if (!brindle__map_can_allocate(field->submap)) {
          reset_fields(field->submap, member);
          clear_present(map, field, record);
          continue;
        }
        break;
      case BRINDLE_FIELD_I64_ARRAY:
      case BRINDLE_FIELD_U64_ARRAY:
      case BRINDLE_FIELD_F64_ARRAY:
      case BRINDLE_FIELD_BOOL_ARRAY: {
        auto *array = static_cast<brindle_array *>(member);
        if (array->flags == BRINDLE_ARRAY_FIXED) {
          array->count = 0;
          clear_present(map, field, record);
          continue;
        }
        break;
      }
      case BRINDLE_FIELD_OBJECT_ARRAY: {
        auto *array = static_cast<brindle_object_array *>(member);
        if (array->flags == BRINDLE_ARRAY_FIXED && !brindle__map_can_allocate(field->submap)) {
          array->count = 0;
          clear_present(map, field, record);
          continue;
        }
        break;
      }
      default:
        break;
    }
    cleanup_member(map, field, record);
  }
}

bool has_markers(const brindle_map *map, size_t depth) {
  if (map == nullptr || map->fields == nullptr || depth >= brindle__map_path::kMaxDepth) {
    return false;
  }
  for (size_t i = 0; i < map->field_count; ++i) {
    switch (map->fields[i].kind) {
      case BRINDLE_FIELD_SPOOLED_TEXT:
      case BRINDLE_FIELD_SPOOLED_BYTES:
      case BRINDLE_FIELD_JSON_VALUE:
      case BRINDLE_FIELD_STRING_STREAM:
        return true;
      case BRINDLE_FIELD_OBJECT:
        if (has_markers(map->fields[i].submap, depth + 1)) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

void record_moved(const brindle_map *map, void *record, uintptr_t old_address, size_t depth) {
  if (map == nullptr || map->fields == nullptr || depth >= brindle__map_path::kMaxDepth) return;
  for (size_t i = 0; i < map->field_count; ++i) {
    const brindle_field *field = &map->fields[i];
    if (!brindle__member_fits(map, field)) continue;
    void *member = brindle__member(record, field);
    const void *old_member = reinterpret_cast<const void *>(old_address + field->offset);
    switch (field->kind) {
      case BRINDLE_FIELD_SPOOLED_TEXT:
      case BRINDLE_FIELD_SPOOLED_BYTES:
        brindle__spooled_moved(static_cast<brindle_spooled *>(member), old_member);
        break;
      case BRINDLE_FIELD_JSON_VALUE:
        brindle__json_value_moved(static_cast<brindle_json_value *>(member), old_member);
        break;
      case BRINDLE_FIELD_STRING_STREAM: {
        auto *stream = static_cast<brindle_string_array_stream *>(member);
        if (stream->marker == brindle__marker(old_member, BRINDLE_MARKER_STRING_STREAM)) {
          stream->marker = brindle__marker(stream, BRINDLE_MARKER_STRING_STREAM);
        }
        break;
      }
      case BRINDLE_FIELD_OBJECT:
        record_moved(field->submap, member, old_address + field->offset, depth + 1);
        break;
      default:
        break;
    }
  }
}

}  // namespace

void brindle__record_moved(const brindle_map *map, void *record, uintptr_t old_address) noexcept {
  record_moved(map, record, old_address, 0);
}

bool brindle__map_zero_initialised(const brindle_map *map) noexcept {
  if (map->fields == nullptr) return true;
  for (size_t i = 0; i < map->field_count; ++i) {
    switch (map->fields[i].kind) {
      case BRINDLE_FIELD_STRING:
      case BRINDLE_FIELD_I64:
      case BRINDLE_FIELD_U64:
      case BRINDLE_FIELD_F64:
      case BRINDLE_FIELD_BOOL:
      case BRINDLE_FIELD_STRING_ARRAY:
      case BRINDLE_FIELD_I64_ARRAY:
      case BRINDLE_FIELD_U64_ARRAY:
      case BRINDLE_FIELD_F64_ARRAY:
      case BRINDLE_FIELD_BOOL_ARRAY:
        break;
      default:
        return false;
    }
  }
  return true;
}

bool brindle__map_has_markers(const brindle_map *map) noexcept {
  return has_markers(map, 0);
}

void brindle__init_with_allocator(const brindle_map *map, void *record,
                                  const brindle_allocator *allocator) noexcept {
  if (map == nullptr || record == nullptr) return;
  init_fields(map, record, allocator, 0);
}

void brindle__field_cleanup(const brindle_field *field, void *record) noexcept {
  // The caller's map is valid, so the member and its present flag lie inside the record; a map
  // is only needed for the bounds of the present flag.
  brindle_map whole{nullptr, static_cast<size_t>(-1), nullptr, 0};
  cleanup_member(&whole, field, record);
}

void brindle__reset_record(const brindle_map *map, void *record) noexcept {
  reset_fields(map, record);
}

extern "C" {

BRINDLE_API void brindle_init(const brindle_map *map, void *record) noexcept {
  brindle__init_with_allocator(map, record, nullptr);
}

BRINDLE_API void brindle_reset(const brindle_map *map, void *record) noexcept {
  if (record == nullptr || !brindle__map_layout_is_valid(map)) return;
  reset_fields(map, record);
}

BRINDLE_API void brindle_cleanup(const brindle_map *map, void *record) noexcept {
  if (record == nullptr || !brindle__map_layout_is_valid(map)) return;
  cleanup_fields(map, record);
}

}  // extern "C"
