// The feeder's bulk scanners: digit runs, number tokens and runs of spaces (plain string runs
// use brindle__find_escape). Each returns the first byte it does not take; all of them stop at the
// end of the chunk.
#ifndef BRINDLE_CORE_PARSER_SCAN_H
#define BRINDLE_CORE_PARSER_SCAN_H

#include "parser_state.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The first byte at or after p that is not a decimal digit.
inline const unsigned char *brindle__skip_digits(const unsigned char *p,
                                                 const unsigned char *end) noexcept {
#if defined(__SSE2__)
  // Short runs (integer parts) end sooner byte by byte than through a block's masks.
  for (int i = 0; i < 2; ++i) {
    if (p == end || static_cast<unsigned>(*p - '0') >= 10u) return p;
    ++p;
  }
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i offset = _mm_sub_epi8(bytes, zero);
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(offset, nine), offset);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(digit));
    if (mask != 0xFFFFu) return p + __builtin_ctz(~mask);
    p += 16;
  }
#endif
  while (p < end && static_cast<unsigned>(*p - '0') < 10u)
    ++p;
  return p;
}

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

// After a space, the rest of a run of spaces (indentation) in blocks.
inline const unsigned char *brindle__skip_spaces(const unsigned char *p,
                                                 const unsigned char *end) noexcept {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, space)));
    if (mask != 0xFFFFu) return p + __builtin_ctz(~mask);
    p += 16;
  }
#endif
  while (p < end && *p == ' ')
    ++p;
  return p;
}

#endif  // BRINDLE_CORE_PARSER_SCAN_H
