// Spooled and source members on output: their content is read from the start in blocks of 4096
// bytes and handed on as escaped text or as base64, never held whole.
#include "serializer_emit.h"

namespace {

constexpr size_t kBlock = 4096;

// Reads blocks through read(buffer, capacity, &length, &eof) and passes each to the sink: as it
// is (the sink escapes text) or base64-encoded with up to two bytes carried between blocks.
template <class Read>
brindle_status pump(Read read, bool base64, brindle_sink sink, void *user, brindle_error *error) {
  unsigned char block[kBlock + 2];
  size_t carried = 0;
  char encoded[(kBlock + 2) / 3 * 4 + 4];
  bool eof = false;
  while (!eof) {
    size_t length = 0;
    BRINDLE_TRY(read(reinterpret_cast<char *>(block) + carried, kBlock, &length, &eof));
    if (!base64) {
      if (length > 0) BRINDLE_TRY(sink(user, reinterpret_cast<char *>(block), length, error));
      continue;
    }
    const size_t available = carried + length;
    const size_t whole = available / 3 * 3;
    char *end = brindle__base64_groups(block, whole, encoded);
    carried = available - whole;
    if (eof && carried > 0) {
      brindle__base64_tail(block + whole, carried, end);
      end += 4;
      carried = 0;
    }
    if (end != encoded) {
      BRINDLE_TRY(sink(user, encoded, static_cast<size_t>(end - encoded), error));
    }
    std::memmove(block, block + whole, carried);
  }
  return BRINDLE_OK;
}

}  // namespace

brindle_status brindle__stream_spooled(brindle_spooled *spooled, bool base64, brindle_sink sink,
                                       void *user, brindle_error *error) noexcept {
  brindle__spool_cursor cursor{};
  BRINDLE_TRY(brindle__spool_cursor_open(&cursor, spooled, error));
  const char *message = base64 ? "failed to read spooled bytes" : "failed to read spooled text";
  return pump(
      [&](char *buffer, size_t capacity, size_t *length, bool *eof) {
        return brindle__spool_cursor_read(&cursor, buffer, capacity, length, eof, message, error);
      },
      base64, sink, user, error);
}

brindle_status brindle__stream_source(const brindle_source *source, bool base64, brindle_sink sink,
                                      void *user, brindle_error *error) noexcept {
  brindle__source_cursor cursor{};
  BRINDLE_TRY(brindle__source_cursor_open(&cursor, source, error));
  const char *message = base64 ? "failed to read source bytes" : "failed to read source text";
  const brindle_status status = pump(
      [&](char *buffer, size_t capacity, size_t *length, bool *eof) {
        return brindle__source_cursor_read(&cursor, buffer, capacity, length, eof, message, error);
      },
      base64, sink, user, error);
  brindle__source_cursor_close(&cursor);
  return status;
}
