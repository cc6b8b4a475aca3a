// The feeder's number scanner over the byte scanners of byte_scan.h (digit runs, runs of spaces,
// plain string runs). Each returns the first byte it does not take; all of them stop at the end
// of the chunk.
#ifndef BRINDLE_CORE_PARSER_SCAN_H
#define BRINDLE_CORE_PARSER_SCAN_H

#include "parser_state.h"

#include "byte_scan.h"

// Scans number bytes from p, running the grammar automaton; returns the first byte that is not
// part of the number (or end).
inline const unsigned char *brindle__scan_number(const unsigned char *p, const unsigned char *end,
                                                 uint8_t *state_io) noexcept {
  uint8_t state = *state_io;
  for (;;) {
    if (state == BRINDLE__NUM_INT || state == BRINDLE__NUM_FRACTION ||
        state == BRINDLE__NUM_EXPONENT) {
      p = brindle__skip_digits(p, end);
    }
    if (p == end) break;
    const uint8_t cls = brindle__number_class[*p];
    if (cls == BRINDLE__NUM_END_CLASS) break;
    state = brindle__number_next[state][cls];
    ++p;
  }
  *state_io = state;
  return p;
}

#endif  // BRINDLE_CORE_PARSER_SCAN_H
