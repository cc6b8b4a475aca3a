// Line assembly for the framing readers.
#include "line_reader.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Lines are short, so one pass that looks for both bytes 16 at a time beats two memchr calls.
size_t brindle__find_line_break(const char *bytes, size_t length) noexcept {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; i + 16 <= length; i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
    const int mask =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, lf), _mm_cmpeq_epi8(chunk, cr)));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < length; ++i) {
    if (bytes[i] == '\n' || bytes[i] == '\r') return i;
  }
  return length;
}

brindle_status brindle__line_take(brindle__line_reader *reader, const brindle_allocator *allocator,
                                  const char *bytes, size_t length, size_t *used, bool *complete,
                                  brindle_error *error) noexcept {
  *used = 0;
  *complete = false;
  if (length == 0) return BRINDLE_OK;
  if (reader->cr_pending) {
    // The line ended at the CR; an LF right after it belongs to the same line break.
    reader->cr_pending = false;
    *used = bytes[0] == '\n' ? 1 : 0;
    *complete = true;
    return BRINDLE_OK;
  }
  const size_t end = brindle__find_line_break(bytes, length);
  if (end != 0) {
    brindle_status status = brindle__framing_append(&reader->line, allocator, bytes, end, error);
    if (status != BRINDLE_OK) return status;
  }
  if (end == length) {
    *used = length;
    return BRINDLE_OK;
  }
  if (bytes[end] == '\n') {
    *used = end + 1;
    *complete = true;
    return BRINDLE_OK;
  }
  // A CR: complete when the next byte is here, otherwise remembered for the next chunk.
  if (end + 1 < length) {
    *used = end + 1 + (bytes[end + 1] == '\n' ? 1 : 0);
    *complete = true;
    return BRINDLE_OK;
  }
  reader->cr_pending = true;
  *used = length;
  return BRINDLE_OK;
}
