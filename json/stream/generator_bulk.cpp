// Whole values at once. Stepping frames piece by piece costs a step per key, string and number;
// when a member or element fits in what is left of the caller's buffer, the serializer's own
// writer puts it there in one go instead, which gives the same bytes. Only plain values are
// written this way: sources, spools and raw JSON values are read as they are written, and such a
// read cannot be taken back when the value then turns out not to fit. A write that does not fit
// wastes at most the room that was left, and the frames take over from the same point.
#include "../core/serializer_emit.h"
#include "generator_state.h"

namespace {

using Frame = brindle__generator_frame;
using State = brindle_generator_state;

constexpr size_t kPlainDepth = 8;  // deeper (or recursive) maps count as not plain

bool map_is_plain(const brindle_map *map, size_t depth);

bool field_is_plain(const brindle_field *field, size_t depth) {
  switch (field->kind) {
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
      return true;
    case BRINDLE_FIELD_OBJECT:
      return field->submap != nullptr && map_is_plain(field->submap, depth + 1);
    case BRINDLE_FIELD_OBJECT_ARRAY:
      return field->submap == nullptr || map_is_plain(field->submap, depth + 1);
    default:
      return false;
  }
}

bool map_is_plain(const brindle_map *map, size_t depth) {
  if (depth > kPlainDepth) return false;
  for (size_t i = 0; i < map->field_count; ++i) {
    if (!field_is_plain(&map->fields[i], depth)) return false;
  }
  return true;
}

// map_is_plain through the state's small cache (maps are constant).
bool cached_plain(State *state, const brindle_map *map) {
  if (map == nullptr) return true;
  for (size_t i = 0; i < 8; ++i) {
    if (state->plain_maps[i] == map) return state->plain[i];
  }
  const bool plain = map_is_plain(map, 0);
  const size_t slot = state->plain_next++ % 8;
  state->plain_maps[slot] = map;
  state->plain[slot] = plain;
  return plain;
}

// Runs write with an emitter over the free part of the caller's buffer and keeps the bytes only
// when everything fitted and nothing failed (a failure is reported again by the steps).
template <class Write>
bool write_whole(State *state, ptrdiff_t depth, bool container, Write write) {
  if (container && state->container_missed) return false;
  brindle__pull_buffer &out = state->out;
  brindle__window_output window(out.data + out.written, out.data + out.capacity);
  brindle_status status;
  if (state->pretty) {
    brindle__emitter<brindle__window_output, true> emitter(window, nullptr);
    emitter.depth_ = depth;
    status = write(emitter);
  } else {
    brindle__emitter<brindle__window_output, false> emitter(window, nullptr);
    emitter.depth_ = depth;
    status = write(emitter);
  }
  if (status != BRINDLE_OK) {
    if (container) state->container_missed = true;
    return false;
  }
  out.written = static_cast<size_t>(window.position - out.data);
  return true;
}

}  // namespace

bool brindle__generator_root_fits(State *state, const Frame &frame) noexcept {
  if (!cached_plain(state, frame.map)) return false;
  return write_whole(state, frame.depth, true,
                     [&](auto &emitter) { return emitter.record(frame.map, frame.base); });
}

bool brindle__generator_member_fits(State *state, const Frame &frame,
                                    const brindle_field *field) noexcept {
  switch (field->kind) {
    case BRINDLE_FIELD_OBJECT:
    case BRINDLE_FIELD_OBJECT_ARRAY:
      if (!cached_plain(state, field->submap)) return false;
      if (field->kind == BRINDLE_FIELD_OBJECT && field->submap == nullptr) return false;
      break;
    default:
      if (!field_is_plain(field, 0)) return false;
  }
  const bool container = field->kind >= BRINDLE_FIELD_OBJECT;
  return write_whole(state, frame.depth, container,
                     [&](auto &emitter) { return emitter.member(field, frame.base, frame.any); });
}

size_t brindle__generator_elements_fit(State *state, const Frame &frame, size_t from) noexcept {
  const bool records = frame.kind == BRINDLE__FRAME_OBJECT_ARRAY;
  if (records && (state->container_missed || !cached_plain(state, frame.map))) return 0;
  const int32_t kind = records ? BRINDLE_FIELD_OBJECT_ARRAY : frame.element_kind;
  brindle__pull_buffer &out = state->out;
  brindle__window_output window(out.data + out.written, out.data + out.capacity);
  size_t i = from;
  // Each element is kept as soon as it is complete; the first one that does not fit is left to
  // the steps.
  auto run = [&](auto &emitter) {
    emitter.depth_ = frame.depth;
    for (; i < frame.count; ++i) {
      char *const before = window.position;
      if (emitter.element(kind, frame.base, i, frame.map, frame.stride) != BRINDLE_OK) {
        window.position = before;
        if (records) state->container_missed = true;
        break;
      }
    }
  };
  if (state->pretty) {
    brindle__emitter<brindle__window_output, true> emitter(window, nullptr);
    run(emitter);
  } else {
    brindle__emitter<brindle__window_output, false> emitter(window, nullptr);
    run(emitter);
  }
  out.written = static_cast<size_t>(window.position - out.data);
  return i - from;
}
