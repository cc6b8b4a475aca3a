// Line assembly shared by the multipart and server-sent-events readers. A line ends at LF, at
// CR LF, or at a lone CR; a lone CR is only known to be one when the next byte arrives, so the
// reader remembers a CR that ended a chunk.
#ifndef BRINDLE_STREAM_LINE_READER_H
#define BRINDLE_STREAM_LINE_READER_H

#include "framing_buffer.h"

struct brindle__line_reader {
  brindle__framing_buffer line;  // content of the current line, without its line break
  bool cr_pending;               // a CR ended the previous byte run
};

inline void brindle__line_reader_init(brindle__line_reader *reader, size_t limit) noexcept {
  brindle__framing_init(&reader->line, limit);
  reader->cr_pending = false;
}

// Takes bytes towards the current line and stops as soon as a line is complete: *used tells how
// many bytes were taken (the line break included), *complete whether the line in reader->line is
// complete. The caller processes a complete line and then empties it with brindle__line_done.
// Bytes beyond the line limit fail with "framing buffer limit exceeded".
brindle_status brindle__line_take(brindle__line_reader *reader, const brindle_allocator *allocator,
                                  const char *bytes, size_t length, size_t *used, bool *complete,
                                  brindle_error *error) noexcept;

inline void brindle__line_done(brindle__line_reader *reader) noexcept {
  brindle__framing_clear(&reader->line);
}

// Whether length bytes of text equal the lower-case ASCII text lower under ASCII case folding.
inline bool brindle__equals_folded(const char *text, size_t length, const char *lower) noexcept {
  size_t i = 0;
  for (; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower[i] == '\0' || c != lower[i]) return false;
  }
  return lower[i] == '\0';
}

// The index of the first CR or LF in bytes, or length when there is none.
size_t brindle__find_line_break(const char *bytes, size_t length) noexcept;

#endif  // BRINDLE_STREAM_LINE_READER_H
