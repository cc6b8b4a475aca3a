// The input window of the value visitor and the value reader.
#include "value_input.h"

namespace {

brindle_status total_exceeded(brindle__value_input *input) {
  return brindle__fail(input->error, BRINDLE_OVERFLOW,
                       "JSON value exceeds maximum total byte limit");
}

// Sets the window to [start, start + length) and cuts it at the total limit.
void set_window(brindle__value_input *input, const char *start, size_t length) {
  input->window_start = start;
  input->pos = start;
  input->data_end = start + length;
  input->end = input->data_end;
  if (input->max_total != 0) {
    const size_t left = input->max_total - input->consumed_before;
    if (length > left) input->end = start + left;
  }
}

}  // namespace

void brindle__value_input_init(brindle__value_input *input, brindle__json_cursor *cursor,
                               char *block, size_t max_total, brindle_error *error) noexcept {
  input->consumed_before = 0;
  input->max_total = max_total;
  input->cursor = cursor;
  input->block = block;
  input->error = error;
  if (cursor->kind == BRINDLE_JSON_VALUE_BUFFER) {
    // Memory is scanned where it lies; chunks point into the caller's bytes.
    input->source_done = true;
    const char *start = cursor->memory != nullptr ? cursor->memory + cursor->memory_position : "";
    set_window(input, start, cursor->memory_length - cursor->memory_position);
  } else {
    input->source_done = cursor->eof;
    set_window(input, block, 0);
  }
}

brindle_status brindle__value_input_refill(brindle__value_input *input, bool *more) noexcept {
  *more = false;
  if (input->end < input->data_end) return total_exceeded(input);
  input->consumed_before += static_cast<size_t>(input->data_end - input->window_start);
  set_window(input, input->block, 0);
  if (input->source_done) return BRINDLE_OK;
  const bool at_limit = input->max_total != 0 && input->consumed_before >= input->max_total;
  for (;;) {
    size_t length = 0;
    bool eof = false;
    const brindle_status status = brindle__json_cursor_read(
        input->cursor, input->block, BRINDLE_VALUE_INPUT_BLOCK, &length, &eof, input->error);
    if (status != BRINDLE_OK) return status;
    if (eof) input->source_done = true;
    if (length > 0) {
      // At the limit, any further byte is one too many.
      if (at_limit) return total_exceeded(input);
      set_window(input, input->block, length);
      *more = true;
      return BRINDLE_OK;
    }
    if (eof) return BRINDLE_OK;
  }
}
