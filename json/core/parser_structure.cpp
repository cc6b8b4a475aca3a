// Objects and arrays: frames in the workspace, key lookup, seen and required fields, and what
// a '{' or '[' opens in each context.
#include "parser_state.h"
#include "values_internal.h"

namespace {

const brindle__mask_entry &map_facts(brindle_parser *parser, const brindle_map *map) {
  brindle__mask_entry &entry = parser->mask_cache[(reinterpret_cast<uintptr_t>(map) >> 4) & 7u];
  if (entry.map == map) return entry;
  uint64_t mask = 0;
  for (size_t i = 0; i < map->field_count && i < 64; ++i) {
    if ((map->fields[i].flags & BRINDLE_FIELD_REQUIRED) != 0) mask |= uint64_t{1} << i;
  }
  entry.map = map;
  entry.mask = mask;
  entry.zero_init = brindle__map_zero_initialised(map);
  return entry;
}

uint64_t required_mask(brindle_parser *parser, const brindle_map *map) {
  return map_facts(parser, map).mask;
}

// The required fields of map, whose facts (maps of up to 64 fields) are given.
size_t required_count_with(const brindle_map *map, const brindle__mask_entry &facts) {
  if (map->field_count <= 64) {
    // Most maps require nothing; without a popcnt instruction the count is a library call.
    return facts.mask == 0 ? 0 : static_cast<size_t>(__builtin_popcountll(facts.mask));
  }
  size_t count = 0;
  for (size_t i = 0; i < map->field_count; ++i) {
    if ((map->fields[i].flags & BRINDLE_FIELD_REQUIRED) != 0) ++count;
  }
  return count;
}

bool has_fields(const brindle_map *map) {
  return map != nullptr && map->fields != nullptr && map->field_count != 0;
}

size_t required_count(brindle_parser *parser, const brindle_map *map) {
  return has_fields(map) ? required_count_with(map, map_facts(parser, map)) : 0;
}

// One byte per field of a large map, carved from the top of the workspace.
bool carve_seen_bytes(brindle_parser *parser, brindle__frame *frame, const unsigned char *at) {
  const size_t size = (frame->map->field_count + 7) & ~size_t{7};
  if (parser->top < size || parser->top - size < brindle__frames_end(parser)) {
    brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW,
                            "parser workspace exhausted by object bookkeeping");
    return false;
  }
  parser->top -= size;
  frame->seen_bytes = parser->workspace + parser->top;
  frame->seen_bytes_size = size;
  std::memset(frame->seen_bytes, 0, size);
  return true;
}

const brindle_field *first_missing(brindle_parser *parser, const brindle__frame *frame) {
  const brindle_map *map = frame->map;
  if (map->field_count <= 64) {
    const uint64_t missing = required_mask(parser, map) & ~frame->seen_mask;
    if (missing == 0) return nullptr;
    return &map->fields[__builtin_ctzll(missing)];
  }
  for (size_t i = 0; i < map->field_count; ++i) {
    if ((map->fields[i].flags & BRINDLE_FIELD_REQUIRED) == 0) continue;
    if (frame->seen_bytes == nullptr || frame->seen_bytes[i] == 0) return &map->fields[i];
  }
  return nullptr;
}

}  // namespace

const brindle_field *brindle__find_field(brindle_parser *parser, brindle__frame *frame,
                                         const unsigned char *key, size_t length) noexcept {
  const brindle_map *map = frame->map;
  if (map->fields == nullptr) return nullptr;
  const size_t count = map->field_count;
  const size_t expected = frame->next_field;
  if (length != 0 && expected < count &&
      brindle__key_matches(&map->fields[expected], key, length)) {
    frame->next_field = expected + 1;
    return &map->fields[expected];
  }
  size_t index = 0;
  const brindle_field *field =
      count >= BRINDLE__KEY_INDEX_MIN_FIELDS
          ? brindle__key_index_find(&parser->key_indexes, parser->key_slots, map, key, length,
                                    &index)
          : brindle__key_scan(map, key, length, &index);
  if (field != nullptr) frame->next_field = index + 1;
  return field;
}

namespace {

// brindle__push_frame with the count of the map's required fields known.
brindle__frame *push_counted(brindle_parser *parser, int32_t type, const brindle_map *map,
                             void *record, const brindle_field *array_field, size_t required,
                             const unsigned char *at) {
  if (!(parser->max_depth - 1 >= parser->frame_count)) {
    brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW, "maximum nesting depth exceeded");
    return nullptr;
  }
  if (brindle__frames_end(parser) + BRINDLE__FRAME_SIZE > parser->top) {
    brindle__parser_fail_at(parser, at, BRINDLE_OVERFLOW,
                            "parser workspace exhausted by nesting depth");
    return nullptr;
  }
  brindle__frame *frame =
      reinterpret_cast<brindle__frame *>(parser->workspace) + parser->frame_count;
  frame->type = type;
  frame->state =
      type == BRINDLE__FRAME_OBJECT ? BRINDLE__OBJ_KEY_OR_END : BRINDLE__ARR_VALUE_OR_END;
  frame->map = map;
  frame->record = record;
  frame->array_field = array_field;
  frame->current_field = nullptr;
  frame->seen_mask = 0;
  frame->seen_bytes = nullptr;
  frame->seen_bytes_size = 0;
  frame->next_field = 0;
  frame->required_remaining = required;
  frame->after_comma = 0;
  ++parser->frame_count;
  return frame;
}

}  // namespace

brindle__frame *brindle__push_frame(brindle_parser *parser, int32_t type, const brindle_map *map,
                                    void *record, const brindle_field *array_field,
                                    const unsigned char *at) noexcept {
  const size_t required = type == BRINDLE__FRAME_OBJECT ? required_count(parser, map) : 0;
  return push_counted(parser, type, map, record, array_field, required, at);
}

brindle_status brindle__close_frame(brindle_parser *parser, const unsigned char *at) noexcept {
  brindle__frame *frame = brindle__inner_frame(parser);
  if (frame->type == BRINDLE__FRAME_OBJECT && frame->map != nullptr &&
      frame->required_remaining != 0) {
    const brindle_field *missing = first_missing(parser, frame);
    return brindle__parser_fail_at(parser, at, BRINDLE_MISSING_REQUIRED_FIELD,
                                   "missing required field '%s'", brindle__key_of(missing));
  }
  if (frame->seen_bytes != nullptr && frame->seen_bytes == parser->workspace + parser->top) {
    parser->top += frame->seen_bytes_size;
  }
  const unsigned char closing = frame->type == BRINDLE__FRAME_OBJECT ? '}' : ']';
  --parser->frame_count;
  if (parser->jv_active && parser->frame_count >= parser->jv_base_depth) {
    const brindle_status status = brindle__jv_container_close(parser, closing, at);
    if (status != BRINDLE_OK) return status;
  }
  return brindle__value_done(parser, at);
}

brindle_status brindle__key_complete(brindle_parser *parser, brindle__frame *frame,
                                     const unsigned char *key, size_t length,
                                     const unsigned char *at) noexcept {
  frame->state = BRINDLE__OBJ_COLON;
  if (frame->map == nullptr) {
    frame->current_field = nullptr;
    return BRINDLE_OK;
  }
  const brindle_field *field = brindle__find_field(parser, frame, key, length);
  frame->current_field = field;
  if (field != nullptr && frame->map->field_count > 64 && frame->seen_bytes == nullptr &&
      !carve_seen_bytes(parser, frame, at)) {
    return static_cast<brindle_status>(parser->error.code);
  }
  return BRINDLE_OK;
}

brindle_status brindle__note_field(brindle_parser *parser, brindle__frame *frame,
                                   const brindle_field *field, const unsigned char *at,
                                   bool *repeated) noexcept {
  if (repeated != nullptr) *repeated = false;
  const brindle_map *map = frame->map;
  const size_t index = static_cast<size_t>(field - map->fields);
  bool seen;
  if (map->field_count <= 64) {
    const uint64_t bit = uint64_t{1} << index;
    seen = (frame->seen_mask & bit) != 0;
    frame->seen_mask |= bit;
  } else {
    if (frame->seen_bytes == nullptr && !carve_seen_bytes(parser, frame, at)) {
      return static_cast<brindle_status>(parser->error.code);
    }
    seen = frame->seen_bytes[index] != 0;
    frame->seen_bytes[index] = 1;
  }
  if (seen) {
    if (parser->reject_duplicates) {
      return brindle__parser_fail_at(parser, at, BRINDLE_DUPLICATE_FIELD, "duplicate field '%s'",
                                     brindle__key_of(field));
    }
    if (repeated != nullptr) *repeated = true;  // the caller replaces the earlier value
    return BRINDLE_OK;
  }
  if ((field->flags & BRINDLE_FIELD_REQUIRED) != 0) --frame->required_remaining;
  return BRINDLE_OK;
}

namespace {

brindle_status open_for_field(brindle_parser *parser, brindle__frame *frame,
                              const brindle_field *field, unsigned char c,
                              const unsigned char *at) {
  void *member = brindle__member(frame->record, field);
  const int32_t type = c == '{' ? BRINDLE__FRAME_OBJECT : BRINDLE__FRAME_ARRAY;
  const int32_t kind = field->kind;
  if (kind == BRINDLE_FIELD_JSON_VALUE) {
    brindle_status status = brindle__note_field(parser, frame, field, at, nullptr);
    if (status != BRINDLE_OK) return status;
    status = brindle__jv_begin(parser, field, static_cast<brindle_json_value *>(member), at);
    if (status != BRINDLE_OK) return status;
    status = brindle__jv_container_open(parser, c, at);
    if (status != BRINDLE_OK) return status;
    return brindle__push_frame(parser, type, nullptr, nullptr, nullptr, at) != nullptr
               ? BRINDLE_OK
               : static_cast<brindle_status>(parser->error.code);
  }
  if (c == '{') {
    if (kind != BRINDLE_FIELD_OBJECT) {
      return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                     "field '%s' expects non-object value", brindle__key_of(field));
    }
    bool repeated;
    const brindle_status status = brindle__note_field(parser, frame, field, at, &repeated);
    if (status != BRINDLE_OK) return status;
    const brindle_map *submap = field->submap;
    if (submap == nullptr || submap->struct_size == 0) {
      return brindle__push_frame(parser, type, nullptr, nullptr, nullptr, at) != nullptr
                 ? BRINDLE_OK
                 : static_cast<brindle_status>(parser->error.code);
    }
    // A repeated object replaces the earlier one: release what it holds first.
    if (repeated) brindle__field_cleanup(field, frame->record);
    brindle__init_with_allocator(submap, member, &parser->allocator);
    return brindle__push_frame(parser, type, submap, member, nullptr, at) != nullptr
               ? BRINDLE_OK
               : static_cast<brindle_status>(parser->error.code);
  }
  if (kind < BRINDLE_FIELD_STRING_ARRAY || kind > BRINDLE_FIELD_STRING_STREAM) {
    return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH, "field '%s' is not an array",
                                   brindle__key_of(field));
  }
  const brindle_status status = brindle__note_new_field(parser, frame, field, at);
  if (status != BRINDLE_OK) return status;
  return brindle__push_frame(parser, type, nullptr, frame->record, field, at) != nullptr
             ? BRINDLE_OK
             : static_cast<brindle_status>(parser->error.code);
}

brindle_status open_element(brindle_parser *parser, brindle__frame *frame,
                            const brindle_field *field, unsigned char c, const unsigned char *at) {
  if (c == '[') {
    return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                   "field '%s' does not accept nested arrays",
                                   brindle__key_of(field));
  }
  if (field->kind != BRINDLE_FIELD_OBJECT_ARRAY) {
    return brindle__parser_fail_at(parser, at, BRINDLE_TYPE_MISMATCH,
                                   "array '%s' expects scalar elements", brindle__key_of(field));
  }
  auto *array = static_cast<brindle_object_array *>(brindle__member(frame->record, field));
  if (array->element_size == 0) array->element_size = field->element_size;
  const size_t stride = array->element_size;
  if (stride == 0) {
    return brindle__push_frame(parser, BRINDLE__FRAME_OBJECT, nullptr, nullptr, nullptr, at) !=
                   nullptr
               ? BRINDLE_OK
               : static_cast<brindle_status>(parser->error.code);
  }
  brindle__append_result result;
  const uintptr_t old_items = reinterpret_cast<uintptr_t>(array->items);
  void *slot = brindle__array_reserve(&array->items, array->count, &array->capacity, &array->flags,
                                      stride, field->overflow, &parser->allocator, &result);
  if (slot != nullptr && old_items != 0 && reinterpret_cast<uintptr_t>(array->items) != old_items &&
      brindle__map_has_markers(field->submap)) {
    // The elements moved with the buffer: members tied to their address follow them.
    for (size_t i = 0; i < array->count; ++i) {
      brindle__record_moved(field->submap, static_cast<char *>(array->items) + i * stride,
                            old_items + i * stride);
    }
  }
  if (slot == nullptr) {
    if (result != BRINDLE__APPEND_DROPPED) {
      return brindle__parser_fail_at(
          parser, at,
          result == BRINDLE__APPEND_NO_MEMORY ? BRINDLE_ALLOCATION_FAILED : BRINDLE_OVERFLOW, "%s",
          brindle__append_message(result));
    }
    // A full fixed array that truncates: the object is read and dropped.
    brindle__parser_note_truncated(parser, at, "array '%s' truncated to its fixed capacity",
                                   brindle__key_of(field));
    return brindle__push_frame(parser, BRINDLE__FRAME_OBJECT, nullptr, nullptr, nullptr, at) !=
                   nullptr
               ? BRINDLE_OK
               : static_cast<brindle_status>(parser->error.code);
  }
  // Most element maps hold only numbers, strings and scalar arrays: zeroing the slot is their
  // initialisation, without a walk over the fields for every element. The map's facts are
  // looked up once for that and for the frame's required count.
  const brindle_map *submap = field->submap;
  const brindle__mask_entry *facts = has_fields(submap) ? &map_facts(parser, submap) : nullptr;
  if (submap != nullptr && !(stride >= submap->struct_size && submap->fields != nullptr &&
                             facts != nullptr && facts->zero_init)) {
    brindle__init_with_allocator(submap, slot, &parser->allocator);
  } else {
    std::memset(slot, 0, stride);
  }
  ++array->count;
  const size_t required = facts != nullptr ? required_count_with(submap, *facts) : 0;
  return push_counted(parser, BRINDLE__FRAME_OBJECT, submap, slot, nullptr, required, at) != nullptr
             ? BRINDLE_OK
             : static_cast<brindle_status>(parser->error.code);
}

}  // namespace

brindle_status brindle__open_container(brindle_parser *parser, unsigned char c,
                                       const unsigned char *at) noexcept {
  brindle__frame *frame = brindle__top_frame(parser);
  brindle__set_value_target(parser, frame);
  const int32_t type = c == '{' ? BRINDLE__FRAME_OBJECT : BRINDLE__FRAME_ARRAY;
  switch (parser->target) {
    case BRINDLE__TARGET_ROOT:
      if (parser->validation) break;
      return brindle__push_frame(parser, type, parser->map, parser->record, nullptr, at) != nullptr
                 ? BRINDLE_OK
                 : static_cast<brindle_status>(parser->error.code);
    case BRINDLE__TARGET_FIELD:
      return open_for_field(parser, frame, parser->value_field, c, at);
    case BRINDLE__TARGET_ELEMENT:
      return open_element(parser, frame, parser->value_field, c, at);
    case BRINDLE__TARGET_JV: {
      const brindle_status status = brindle__jv_container_open(parser, c, at);
      if (status != BRINDLE_OK) return status;
      break;
    }
    default:
      break;
  }
  return brindle__push_frame(parser, type, nullptr, nullptr, nullptr, at) != nullptr
             ? BRINDLE_OK
             : static_cast<brindle_status>(parser->error.code);
}
