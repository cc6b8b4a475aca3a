// Steps of the generator's stream frames: sources and spools refilled block by block into one
// block allocated once, handed out escaped or as base64; raw JSON values through the pull
// reader, which writes straight into the caller's buffer.
#include <new>

#include "generator_state.h"

namespace {

using Frame = brindle__generator_frame;
using State = brindle_generator_state;

brindle_status open_stream(State *state, const Frame &frame) {
  brindle__generator_stream &stream = state->stream;
  if (stream.block == nullptr) {
    stream.block =
        static_cast<char *>(brindle__raw_alloc(&state->allocator, BRINDLE__GENERATOR_BLOCK + 2));
    if (stream.block == nullptr) {
      return brindle__fail(state->error, BRINDLE_ALLOCATION_FAILED,
                           "failed to allocate generator stream block");
    }
  }
  stream.position = 0;
  stream.length = 0;
  stream.eof = false;
  stream.spool = frame.element_kind == BRINDLE_FIELD_SPOOLED_TEXT ||
                 frame.element_kind == BRINDLE_FIELD_SPOOLED_BYTES;
  return BRINDLE_OK;
}

// Reads the next block after the kept bytes at the start of the block.
brindle_status refill(State *state, size_t kept) {
  brindle__generator_stream &stream = state->stream;
  size_t length = 0;
  bool eof = false;
  char *into = stream.block + kept;
  brindle_status status;
  if (stream.spool) {
    status = brindle__spool_cursor_read(&stream.spooled, into, BRINDLE__GENERATOR_BLOCK, &length,
                                        &eof, "failed to read spooled data", state->error);
  } else {
    status = brindle__source_cursor_read(&stream.source, into, BRINDLE__GENERATOR_BLOCK, &length,
                                         &eof, "failed to read source data", state->error);
  }
  if (status != BRINDLE_OK) return status;
  stream.position = 0;
  stream.length = kept + length;
  stream.eof = eof;
  return BRINDLE_OK;
}

void close_stream(State *state) {
  brindle__generator_stream &stream = state->stream;
  if (stream.open && !stream.spool) brindle__source_cursor_close(&stream.source);
  stream.open = false;
}

brindle_status text_body(State *state) {
  brindle__generator_stream &stream = state->stream;
  const char *begin = stream.block + stream.position;
  const char *end = stream.block + stream.length;
  const char *special = brindle__find_escape(begin, end);
  if (special > begin) {
    state->pending.set(begin, static_cast<size_t>(special - begin));
    stream.position += static_cast<size_t>(special - begin);
    return BRINDLE_OK;
  }
  const size_t n = brindle__escape_sequence(static_cast<unsigned char>(*special), state->scratch);
  state->pending.set(state->scratch, n);
  ++stream.position;
  return BRINDLE_OK;
}

// Whole groups go straight into the caller's buffer; a group that does not fit there, and the
// padded last group, go through the scratch area.
void base64_body(State *state) {
  brindle__generator_stream &stream = state->stream;
  const auto *bytes = reinterpret_cast<const unsigned char *>(stream.block + stream.position);
  const size_t available = stream.length - stream.position;
  if (available < 3) {
    brindle__base64_tail(bytes, available, state->scratch);
    state->pending.set(state->scratch, 4);
    stream.position = stream.length;
    return;
  }
  const size_t room_groups = state->out.room() / 4;
  if (room_groups == 0) {
    brindle__base64_groups(bytes, 3, state->scratch);
    state->pending.set(state->scratch, 4);
    stream.position += 3;
    return;
  }
  const size_t groups = available / 3 < room_groups ? available / 3 : room_groups;
  brindle__base64_groups(bytes, groups * 3, state->out.data + state->out.written);
  state->out.written += groups * 4;
  stream.position += groups * 3;
}

}  // namespace

brindle_status brindle__generator_stream_step(brindle_generator_state *state,
                                              brindle__generator_frame *frame) noexcept {
  brindle__generator_stream &stream = state->stream;
  const bool base64 = frame->kind == BRINDLE__FRAME_BASE64_STREAM;
  switch (frame->phase) {
    case BRINDLE__PHASE_OPEN: {
      BRINDLE_TRY(open_stream(state, *frame));
      brindle_status status;
      if (stream.spool) {
        status = brindle__spool_cursor_open(
            &stream.spooled, static_cast<brindle_spooled *>(const_cast<void *>(frame->member)),
            state->error);
      } else {
        status = brindle__source_cursor_open_once(
            &stream.source, static_cast<const brindle_source *>(frame->member), state->error);
      }
      if (status != BRINDLE_OK) return status;
      stream.open = true;
      state->pending.set("\"", 1);
      frame->phase = BRINDLE__PHASE_BODY;
      return BRINDLE_OK;
    }
    case BRINDLE__PHASE_BODY: {
      const size_t available = stream.length - stream.position;
      if (base64 ? available < 3 : available == 0) {
        if (!stream.eof) {
          // Keep the last one or two bytes of base64 input for the next group.
          std::memmove(stream.block, stream.block + stream.position, available);
          return refill(state, available);
        }
        frame->phase = BRINDLE__PHASE_CLOSE;
        if (!base64 || available == 0) return BRINDLE_OK;
      }
      if (base64) {
        base64_body(state);
        return BRINDLE_OK;
      }
      return text_body(state);
    }
    case BRINDLE__PHASE_CLOSE:
      close_stream(state);
      state->pending.set("\"", 1);
      --state->frame_count;
      return BRINDLE_OK;
    default:
      return brindle__fail(state->error, BRINDLE_INTERNAL_ERROR,
                           "unsupported generator frame kind");
  }
}

brindle_status brindle__generator_json_step(brindle_generator_state *state,
                                            brindle__generator_frame *frame) noexcept {
  if (frame->phase == BRINDLE__PHASE_OPEN) {
    void *memory = brindle__raw_alloc(&state->allocator, sizeof(brindle__json_pull));
    if (memory == nullptr) {
      return brindle__fail(state->error, BRINDLE_ALLOCATION_FAILED,
                           "failed to allocate JSON pull reader");
    }
    state->pull = new (memory) brindle__json_pull;
    frame->phase = BRINDLE__PHASE_BODY;
    const brindle_status status = brindle__json_pull_open(
        state->pull, static_cast<const brindle_json_value *>(frame->member), state->pretty,
        static_cast<size_t>(frame->depth), &state->allocator);
    if (status != BRINDLE_OK) {
      *state->error = state->pull->error;
      return status;
    }
    return BRINDLE_OK;
  }
  size_t written = 0;
  bool done = false;
  const brindle_status status = brindle__json_pull_read(
      state->pull, state->out.data + state->out.written, state->out.room(), &written, &done);
  state->out.written += written;
  if (status != BRINDLE_OK) {
    *state->error = state->pull->error;
    return status;
  }
  if (done) {
    brindle__json_pull_close(state->pull);
    brindle__raw_free(&state->allocator, state->pull, sizeof(brindle__json_pull));
    state->pull = nullptr;
    --state->frame_count;
  }
  return BRINDLE_OK;
}

void brindle__generator_close_streams(brindle_generator_state *state) noexcept {
  close_stream(state);
  if (state->pull != nullptr) {
    brindle__json_pull_close(state->pull);
    brindle__raw_free(&state->allocator, state->pull, sizeof(brindle__json_pull));
    state->pull = nullptr;
  }
  brindle__raw_free(&state->allocator, state->stream.block, BRINDLE__GENERATOR_BLOCK + 2);
  state->stream.block = nullptr;
}
