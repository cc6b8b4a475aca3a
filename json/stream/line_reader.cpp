// Line assembly for the framing readers.
#include "line_reader.h"

#include <cstring>

size_t brindle__find_line_break(const char *bytes, size_t length) noexcept {
  const void *lf = std::memchr(bytes, '\n', length);
  const size_t lf_at =
      lf != nullptr ? static_cast<size_t>(static_cast<const char *>(lf) - bytes) : length;
  const void *cr = std::memchr(bytes, '\r', lf_at);
  return cr != nullptr ? static_cast<size_t>(static_cast<const char *>(cr) - bytes) : lf_at;
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
