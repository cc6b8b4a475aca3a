// The input window of the value visitor and the re-emitting value reader: a range of bytes that
// the lexer scans in place (the whole buffer for memory input, else one block read from the
// cursor). The total byte limit is enforced by cutting the window short at the limit, so the hot
// loops never count bytes: asking for more at the cut is the overflow.
#ifndef BRINDLE_CORE_VALUE_INPUT_H
#define BRINDLE_CORE_VALUE_INPUT_H

#include "values_internal.h"

inline constexpr size_t BRINDLE_VALUE_INPUT_BLOCK = 4096;

struct brindle__value_input {
  const char *pos;           // next byte
  const char *end;           // end of what may be scanned (cut at the total limit)
  const char *data_end;      // end of the bytes in the window
  const char *window_start;  // first byte of the window
  size_t consumed_before;    // input bytes before the window
  size_t max_total;          // 0: no total limit
  bool source_done;          // the cursor has nothing more
  brindle__json_cursor *cursor;
  char *block;  // BRINDLE_VALUE_INPUT_BLOCK bytes for cursor reads (unused for memory input)
  brindle_error *error;
};

void brindle__value_input_init(brindle__value_input *input, brindle__json_cursor *cursor,
                               char *block, size_t max_total, brindle_error *error) noexcept;

// Called when pos == end: moves to the next block. *more is false at the end of input. Fails
// with the cursor's read failure, or BRINDLE_OVERFLOW "JSON value exceeds maximum total byte
// limit" when input goes on past the limit.
brindle_status brindle__value_input_refill(brindle__value_input *input, bool *more) noexcept;

#endif  // BRINDLE_CORE_VALUE_INPUT_H
