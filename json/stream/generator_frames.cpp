// Steps of the generator's record, array and string frames. Each step sets at most one pending
// piece, and may push a child frame or pop its own; a frame pops itself in the step that owes its
// last piece, so the document is complete as soon as that piece is handed out.
#include "generator_state.h"

namespace {

using Frame = brindle__generator_frame;
using State = brindle_generator_state;

brindle_status fail(State *state, brindle_status code, const char *message) {
  return brindle__fail(state->error, code, "%s", message);
}

void pop(State *state) {
  --state->frame_count;
}

brindle_status indent(State *state, ptrdiff_t depth, ptrdiff_t extra, size_t *width) {
  if (!brindle__indent_width(depth, extra, width)) {
    return fail(state, BRINDLE_OVERFLOW, "JSON indentation depth is too large");
  }
  return BRINDLE_OK;
}

// "}" or "]", on its own line in pretty form when the container has members.
brindle_status close(State *state, const Frame &frame, bool any, const char *closing) {
  if (state->pretty && any) {
    size_t width = 0;
    BRINDLE_TRY(indent(state, frame.depth, 0, &width));
    state->pending.set("\n", 1, width, closing, 1);
  } else {
    state->pending.set(closing, 1);
  }
  pop(state);
  return BRINDLE_OK;
}

// "," before all members but the first; in pretty form a line break and the member's indent.
brindle_status separator(State *state, const Frame &frame, bool comma) {
  if (!state->pretty) {
    state->pending.set(comma ? "," : "", comma ? 1 : 0, 0, nullptr, 0);
    return BRINDLE_OK;
  }
  size_t width = 0;
  BRINDLE_TRY(indent(state, frame.depth, 1, &width));
  state->pending.set(comma ? ",\n" : "\n", comma ? 2 : 1, width, nullptr, 0);
  return BRINDLE_OK;
}

void tail(State *state, const char *text, size_t length) {
  state->pending.tail = text;
  state->pending.tail_length = length;
}

brindle_status push_string(State *state, const char *text, size_t length) {
  Frame frame{};
  frame.kind = BRINDLE__FRAME_STRING;
  frame.base = text;
  frame.count = length;
  return brindle__generator_push(state, frame);
}

brindle_status push_record(State *state, const brindle_map *map, const char *record,
                           ptrdiff_t depth) {
  Frame frame{};
  frame.kind = BRINDLE__FRAME_RECORD;
  frame.map = map;
  frame.base = record;
  frame.depth = depth;
  return brindle__generator_push(state, frame);
}

template <class Format, class T>
void number_tail(State *state, Format format, T value) {
  char *end = format(state->scratch, value);
  tail(state, state->scratch, static_cast<size_t>(end - state->scratch));
}

brindle_status f64_tail(State *state, double value, const char *non_finite_message) {
  if (!brindle__is_finite(value)) return fail(state, BRINDLE_TYPE_MISMATCH, non_finite_message);
  char *end = brindle__format_f64(state->scratch, value);
  if (end == nullptr) return fail(state, BRINDLE_INTERNAL_ERROR, "failed to format number");
  tail(state, state->scratch, static_cast<size_t>(end - state->scratch));
  return BRINDLE_OK;
}

void bool_tail(State *state, int32_t value) {
  if (value != 0) {
    tail(state, "true", 4);
  } else {
    tail(state, "false", 5);
  }
}

// Spooled and source members; the frame keeps the field kind to tell them apart.
brindle_status push_stream(State *state, const void *member, int32_t kind, ptrdiff_t depth) {
  const bool base64 = kind == BRINDLE_FIELD_SPOOLED_BYTES || kind == BRINDLE_FIELD_SOURCE_BYTES;
  Frame frame{};
  frame.kind = base64 ? BRINDLE__FRAME_BASE64_STREAM : BRINDLE__FRAME_TEXT_STREAM;
  frame.element_kind = kind;
  frame.member = member;
  frame.depth = depth;
  return brindle__generator_push(state, frame);
}

// The value of a field: scalars become the tail of the pending piece (after the colon), other
// values push their own frame.
brindle_status start_value(State *state, const brindle_field *field, const char *member,
                           ptrdiff_t depth) {
  switch (field->kind) {
    case BRINDLE_FIELD_STRING: {
      if (field->storage == BRINDLE_STORAGE_FIXED) {
        return push_string(state, member, strnlen(member, field->capacity));
      }
      const char *text = brindle__load<const char *>(member);
      if (text == nullptr) {
        tail(state, "null", 4);
        return BRINDLE_OK;
      }
      return push_string(state, text, std::strlen(text));
    }
    case BRINDLE_FIELD_SPOOLED_TEXT:
    case BRINDLE_FIELD_SPOOLED_BYTES:
      return push_stream(state, member, field->kind, depth);
    case BRINDLE_FIELD_SOURCE_TEXT:
    case BRINDLE_FIELD_SOURCE_BYTES:
      if (reinterpret_cast<const brindle_source *>(member)->kind == BRINDLE_SOURCE_NONE) {
        tail(state, "null", 4);
        return BRINDLE_OK;
      }
      return push_stream(state, member, field->kind, depth);
    case BRINDLE_FIELD_JSON_VALUE: {
      const auto *value = reinterpret_cast<const brindle_json_value *>(member);
      if (value->kind == BRINDLE_JSON_VALUE_NONE) {
        tail(state, "null", 4);
        return BRINDLE_OK;
      }
      if (!state->pretty && value->kind == BRINDLE_JSON_VALUE_BUFFER && value->buffer != nullptr) {
        tail(state, value->buffer, value->length);
        return BRINDLE_OK;
      }
      Frame frame{};
      frame.kind = BRINDLE__FRAME_JSON_VALUE;
      frame.member = member;
      frame.depth = depth;
      return brindle__generator_push(state, frame);
    }
    case BRINDLE_FIELD_I64:
      number_tail(state, brindle__format_i64, brindle__load<int64_t>(member));
      return BRINDLE_OK;
    case BRINDLE_FIELD_U64:
      number_tail(state, brindle__format_u64, brindle__load<uint64_t>(member));
      return BRINDLE_OK;
    case BRINDLE_FIELD_F64:
      return f64_tail(state, brindle__load<double>(member),
                      "non-finite double cannot be serialized");
    case BRINDLE_FIELD_BOOL:
      bool_tail(state, brindle__load<int32_t>(member));
      return BRINDLE_OK;
    case BRINDLE_FIELD_OBJECT:
      return push_record(state, field->submap, member, depth);
    case BRINDLE_FIELD_STRING_ARRAY:
    case BRINDLE_FIELD_I64_ARRAY:
    case BRINDLE_FIELD_U64_ARRAY:
    case BRINDLE_FIELD_F64_ARRAY:
    case BRINDLE_FIELD_BOOL_ARRAY:
    case BRINDLE_FIELD_OBJECT_ARRAY: {
      Frame frame{};
      frame.depth = depth;
      frame.element_kind = field->kind;
      if (field->kind == BRINDLE_FIELD_OBJECT_ARRAY) {
        const brindle_object_array array = brindle__load<brindle_object_array>(member);
        if (!brindle__object_array_stride(field, array, &frame.stride)) {
          return brindle__fail(state->error, BRINDLE_INVALID_ARGUMENT,
                               "object array field '%s' has elements smaller than their record",
                               field->json_key);
        }
        frame.kind = BRINDLE__FRAME_OBJECT_ARRAY;
        frame.map = field->submap;
        frame.base = static_cast<const char *>(array.items);
        frame.count = array.count;
      } else {
        const brindle_array array = brindle__load<brindle_array>(member);
        frame.kind = BRINDLE__FRAME_ARRAY;
        frame.base = static_cast<const char *>(array.items);
        frame.count = array.count;
      }
      if (frame.count > 0 && frame.base == nullptr) {
        return brindle__fail(state->error, BRINDLE_INVALID_ARGUMENT,
                             "array field '%s' has elements but no storage", field->json_key);
      }
      return brindle__generator_push(state, frame);
    }
    case BRINDLE_FIELD_STRING_STREAM:
      return brindle__fail(state->error, BRINDLE_TYPE_MISMATCH,
                           "field '%s' is parse-only and cannot be serialized", field->json_key);
    default:
      return fail(state, BRINDLE_INTERNAL_ERROR, "unsupported field kind");
  }
}

brindle_status record_step(State *state, size_t at) {
  Frame *frame = &state->frames[at];
  switch (frame->phase) {
    case BRINDLE__PHASE_OPEN:
      // Other records were already tried whole as members or elements of their parent.
      if (at == 0 && brindle__generator_root_fits(state, *frame)) {
        pop(state);
        return BRINDLE_OK;
      }
      state->pending.set("{", 1);
      frame->phase = BRINDLE__PHASE_BODY;
      return BRINDLE_OK;
    case BRINDLE__PHASE_BODY: {
      const brindle_map *map = frame->map;
      while (frame->index < map->field_count &&
             brindle__field_is_skipped(&map->fields[frame->index], frame->base)) {
        ++frame->index;
      }
      if (frame->index == map->field_count) return close(state, *frame, frame->any, "}");
      const brindle_field *field = &map->fields[frame->index];
      if (brindle__generator_member_fits(state, *frame, field)) {
        ++frame->index;
        frame->any = true;
        return BRINDLE_OK;
      }
      BRINDLE_TRY(separator(state, *frame, frame->any));
      frame->phase = BRINDLE__PHASE_VALUE;
      if (field->json_key == nullptr) return push_string(state, "", 0);
      return push_string(state, field->json_key, field->json_key_len);
    }
    case BRINDLE__PHASE_VALUE: {
      const brindle_field *field = &frame->map->fields[frame->index];
      ++frame->index;
      frame->any = true;
      frame->phase = BRINDLE__PHASE_BODY;
      state->pending.set(state->pretty ? ": " : ":", state->pretty ? 2 : 1, 0, nullptr, 0);
      if (brindle__field_writes_null(field, frame->base)) {
        tail(state, "null", 4);
        return BRINDLE_OK;
      }
      return start_value(state, field, frame->base + field->offset, frame->depth + 1);
    }
    default:
      return fail(state, BRINDLE_INTERNAL_ERROR, "invalid generator map phase");
  }
}

brindle_status array_element(State *state, const Frame &frame, size_t i) {
  const char *items = frame.base;
  switch (frame.element_kind) {
    case BRINDLE_FIELD_STRING_ARRAY: {
      const char *text = brindle__load<const char *>(items + i * sizeof(char *));
      if (text == nullptr) {
        tail(state, "\"\"", 2);
        return BRINDLE_OK;
      }
      return push_string(state, text, std::strlen(text));
    }
    case BRINDLE_FIELD_I64_ARRAY:
      number_tail(state, brindle__format_i64, brindle__load<int64_t>(items + i * 8));
      return BRINDLE_OK;
    case BRINDLE_FIELD_U64_ARRAY:
      number_tail(state, brindle__format_u64, brindle__load<uint64_t>(items + i * 8));
      return BRINDLE_OK;
    case BRINDLE_FIELD_F64_ARRAY:
      return f64_tail(state, brindle__load<double>(items + i * 8),
                      "non-finite double array element cannot be serialized");
    default:
      bool_tail(state, brindle__load<int32_t>(items + i * sizeof(int32_t)));
      return BRINDLE_OK;
  }
}

// Arrays and object arrays: "[", the elements with their separators, "]".
brindle_status array_step(State *state, size_t at) {
  Frame *frame = &state->frames[at];
  switch (frame->phase) {
    case BRINDLE__PHASE_OPEN:
      state->pending.set("[", 1);
      frame->phase = BRINDLE__PHASE_BODY;
      return BRINDLE_OK;
    case BRINDLE__PHASE_BODY: {
      if (frame->index == frame->count) return close(state, *frame, frame->count > 0, "]");
      if (const size_t written = brindle__generator_elements_fit(state, *frame, frame->index)) {
        frame->index += written;
        return BRINDLE_OK;
      }
      const size_t i = frame->index++;
      BRINDLE_TRY(separator(state, *frame, i > 0));
      if (frame->kind == BRINDLE__FRAME_ARRAY) return array_element(state, *frame, i);
      if (frame->map == nullptr) {
        tail(state, "{}", 2);
        return BRINDLE_OK;
      }
      return push_record(state, frame->map, frame->base + i * frame->stride, frame->depth + 1);
    }
    default:
      return fail(state, BRINDLE_INTERNAL_ERROR,
                  frame->kind == BRINDLE__FRAME_ARRAY ? "invalid generator array phase"
                                                      : "invalid generator object-array phase");
  }
}

// A quoted string: the opening quote with the first plain run, then each escape with the plain
// run after it, then the closing quote.
brindle_status string_step(State *state, size_t at) {
  Frame *frame = &state->frames[at];
  const char *text = frame->base;
  const char *end = text + frame->count;
  if (frame->phase == BRINDLE__PHASE_OPEN) {
    const size_t run = static_cast<size_t>(brindle__find_escape(text, end) - text);
    state->pending.set("\"", 1, 0, text, run);
    frame->index = run;
    frame->phase = BRINDLE__PHASE_BODY;
    return BRINDLE_OK;
  }
  if (frame->index == frame->count) {
    state->pending.set("\"", 1);
    pop(state);
    return BRINDLE_OK;
  }
  const size_t n =
      brindle__escape_sequence(static_cast<unsigned char>(text[frame->index]), state->scratch);
  const char *next = text + frame->index + 1;
  const size_t run = static_cast<size_t>(brindle__find_escape(next, end) - next);
  state->pending.set(state->scratch, n, 0, next, run);
  frame->index += 1 + run;
  return BRINDLE_OK;
}

}  // namespace

brindle_status brindle__generator_push(brindle_generator_state *state,
                                       const brindle__generator_frame &frame) noexcept {
  if (state->frame_count == state->frame_capacity) {
    const size_t capacity = state->frame_capacity;
    if (capacity > SIZE_MAX / 2 / sizeof(Frame)) {
      return fail(state, BRINDLE_ALLOCATION_FAILED, "failed to grow generator frame stack");
    }
    void *bigger = brindle__raw_realloc(&state->allocator, state->frames, capacity * sizeof(Frame),
                                        capacity * 2 * sizeof(Frame));
    if (bigger == nullptr) {
      return fail(state, BRINDLE_ALLOCATION_FAILED, "failed to grow generator frame stack");
    }
    state->frames = static_cast<Frame *>(bigger);
    state->frame_capacity = capacity * 2;
  }
  state->frames[state->frame_count++] = frame;
  return BRINDLE_OK;
}

brindle_status brindle__generator_step(brindle_generator_state *state) noexcept {
  const size_t at = state->frame_count - 1;
  Frame *frame = &state->frames[at];
  switch (frame->kind) {
    case BRINDLE__FRAME_RECORD:
      return record_step(state, at);
    case BRINDLE__FRAME_STRING:
      return string_step(state, at);
    case BRINDLE__FRAME_ARRAY:
    case BRINDLE__FRAME_OBJECT_ARRAY:
      return array_step(state, at);
    case BRINDLE__FRAME_TEXT_STREAM:
    case BRINDLE__FRAME_BASE64_STREAM:
      return brindle__generator_stream_step(state, frame);
    case BRINDLE__FRAME_JSON_VALUE:
      return brindle__generator_json_step(state, frame);
    default:
      return fail(state, BRINDLE_INTERNAL_ERROR, "unsupported generator frame kind");
  }
}
