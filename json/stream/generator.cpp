// The pull generator's entry points: init pushes the root record, each read drains what is owed
// and steps the top frame until the caller's buffer is full or the document is complete, and
// measure counts the serializer's output in advance.
#include <new>

#include "generator_state.h"

namespace {

constexpr size_t kDefaultMaxOutput = 8388608;

void free_state(brindle_generator_state *state) {
  brindle__generator_close_streams(state);
  const brindle_allocator allocator = state->allocator;
  brindle__raw_free(&allocator, state->frames,
                    state->frame_capacity * sizeof(brindle__generator_frame));
  state->~brindle_generator_state();
  brindle__raw_free(&allocator, state, sizeof(brindle_generator_state));
}

}  // namespace

extern "C" {

BRINDLE_API brindle_status brindle_generator_init(brindle_generator *generator,
                                                  const brindle_map *map, const void *record,
                                                  const brindle_write_options *options) noexcept {
  if (generator == nullptr) return BRINDLE_INVALID_ARGUMENT;
  generator->state = nullptr;
  generator->done = 0;
  brindle_error_init(&generator->error);
  brindle_error *error = &generator->error;
  if (map == nullptr || record == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "map and source are required for generator init");
  }
  if (!brindle__map_layout_is_valid(map)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "invalid map layout");
  }
  const brindle_allocator *given = options != nullptr ? options->allocator : nullptr;
  if (!brindle__allocator_is_valid(given)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "allocator must provide either all callbacks or none");
  }
  const brindle_allocator allocator = brindle__allocator_resolve(given);
  void *memory = brindle__raw_alloc(&allocator, sizeof(brindle_generator_state));
  if (memory == nullptr) {
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate generator state");
  }
  auto *state = new (memory) brindle_generator_state{};
  state->allocator = allocator;
  if (options != nullptr) state->options = *options;
  if (state->options.max_output_bytes == 0) state->options.max_output_bytes = kDefaultMaxOutput;
  state->pretty = state->options.pretty != 0;
  state->error = error;
  state->frames = static_cast<brindle__generator_frame *>(
      brindle__raw_alloc(&allocator, BRINDLE__GENERATOR_FRAMES * sizeof(brindle__generator_frame)));
  if (state->frames == nullptr) {
    free_state(state);
    return brindle__fail(error, BRINDLE_ALLOCATION_FAILED, "failed to allocate generator state");
  }
  state->frame_capacity = BRINDLE__GENERATOR_FRAMES;
  brindle__generator_frame root{};
  root.kind = BRINDLE__FRAME_RECORD;
  root.map = map;
  root.base = static_cast<const char *>(record);
  state->frames[state->frame_count++] = root;
  generator->state = state;
  return BRINDLE_OK;
}

BRINDLE_API brindle_status brindle_generator_read(brindle_generator *generator, char *buffer,
                                                  size_t capacity, size_t *out_length,
                                                  int *out_done) noexcept {
  if (out_length != nullptr) *out_length = 0;
  if (out_done != nullptr) *out_done = 0;
  if (generator == nullptr) return BRINDLE_INVALID_ARGUMENT;
  brindle_generator_state *state = generator->state;
  if (state == nullptr) {
    return brindle__fail(&generator->error, BRINDLE_INVALID_ARGUMENT,
                         "generator is not initialized");
  }
  if (buffer == nullptr && capacity > 0) {
    return brindle__fail(&generator->error, BRINDLE_INVALID_ARGUMENT,
                         "generator read buffer is required");
  }
  if (state->failed) return static_cast<brindle_status>(generator->error.code);
  state->error = &generator->error;
  state->out.data = buffer;
  state->out.capacity = capacity;
  state->out.written = 0;
  state->container_missed = false;
  brindle_status status = BRINDLE_OK;
  for (;;) {
    if (!state->out.drain(state->pending)) break;
    if (state->frame_count == 0) {
      state->finished = true;
      break;
    }
    if (state->out.full()) break;
    status = brindle__generator_step(state);
    if (status != BRINDLE_OK) {
      state->failed = true;
      brindle__generator_close_streams(state);
      break;
    }
  }
  if (out_length != nullptr) *out_length = state->out.written;
  if (state->finished) {
    generator->done = 1;
    if (out_done != nullptr) *out_done = 1;
  }
  return status;
}

BRINDLE_API void brindle_generator_cleanup(brindle_generator *generator) noexcept {
  if (generator == nullptr || generator->state == nullptr) return;
  free_state(generator->state);
  generator->state = nullptr;
}

BRINDLE_API brindle_status brindle_generator_measure(const brindle_map *map, const void *record,
                                                     const brindle_write_options *options,
                                                     size_t *out_length,
                                                     brindle_error *error) noexcept {
  brindle_error_init(error);
  if (out_length != nullptr) *out_length = 0;
  if (map == nullptr || record == nullptr || out_length == nullptr) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "map, source, and output length are required");
  }
  if (!brindle__map_layout_is_valid(map)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT, "invalid map layout");
  }
  if (options != nullptr && !brindle__allocator_is_valid(options->allocator)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "allocator must provide either all callbacks or none");
  }
  if (!brindle__record_is_rewindable(map, record)) {
    return brindle__fail(error, BRINDLE_INVALID_ARGUMENT,
                         "cannot measure non-rewindable JSON document");
  }
  return brindle__serialize_count(map, record, options, out_length, error);
}

}  // extern "C"
