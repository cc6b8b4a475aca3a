// Internal interface of sources, spooled values and raw JSON values: cursors that read their
// content from the start (serializer, generator), the re-emission of JSON values, and the hooks
// the parser calls while a JSON value member is being parsed. Implemented in source*.cpp,
// spooled*.cpp, json_value*.cpp and value_reader*.cpp.
#ifndef BRINDLE_CORE_VALUES_INTERNAL_H
#define BRINDLE_CORE_VALUES_INTERNAL_H

#include "internal.h"

// ---- Sources -----------------------------------------------------------------------------------

// Reads a source from its first byte: FILE* and descriptors are rewound, paths opened for this
// one pass. A source of kind none has nothing to read (eof at once).
struct brindle__source_cursor {
  int32_t kind;
  FILE *file;
  int fd;
  bool owns_file;
};

// Failures: "failed to rewind source FILE*; non-seekable sources are unsupported", "failed to
// rewind source fd; non-seekable sources are unsupported", "failed to open source path '%s'".
brindle_status brindle__source_cursor_open(brindle__source_cursor *cursor,
                                           const brindle_source *source,
                                           brindle_error *error) noexcept;
// Up to capacity bytes; *eof once the source is exhausted. A read error fails with
// BRINDLE_IO_ERROR and failure_message (each caller names its own).
brindle_status brindle__source_cursor_read(brindle__source_cursor *cursor, char *buffer,
                                           size_t capacity, size_t *length, bool *eof,
                                           const char *failure_message,
                                           brindle_error *error) noexcept;
void brindle__source_cursor_close(brindle__source_cursor *cursor) noexcept;

// ---- Spooled values ----------------------------------------------------------------------------

// Reads a spooled value from its first byte (prefix, then the spill file, rewound first:
// "failed to rewind spool file") without moving its read cursor.
struct brindle__spool_cursor {
  brindle_spooled *spooled;
  size_t position;
};

brindle_status brindle__spool_cursor_open(brindle__spool_cursor *cursor, brindle_spooled *spooled,
                                          brindle_error *error) noexcept;
brindle_status brindle__spool_cursor_read(brindle__spool_cursor *cursor, char *buffer,
                                          size_t capacity, size_t *length, bool *eof,
                                          const char *failure_message,
                                          brindle_error *error) noexcept;

bool brindle__spooled_marker_ok(const brindle_spooled *spooled) noexcept;
// Frees the prefix, closes the spill file and unlinks a named one; options, allocator and
// marker untouched. For records whose marker matches.
void brindle__spooled_release(brindle_spooled *spooled) noexcept;
// Sets the allocator used for the prefix from now on (the parser's, at the opening quote).
void brindle__spooled_set_allocator(brindle_spooled *spooled,
                                    const brindle_allocator *allocator) noexcept;

// ---- Raw JSON values ---------------------------------------------------------------------------

bool brindle__json_value_marker_ok(const brindle_json_value *value) noexcept;
// Frees the two owned buffers (text and path) of a record whose marker matches.
void brindle__json_value_release(brindle_json_value *value) noexcept;

// A cursor on a JSON value's content, read in blocks: memory, the reader as it stands, FILE*
// and descriptors rewound, paths opened for this pass.
struct brindle__json_cursor {
  int32_t kind;
  const char *memory;
  size_t memory_length;
  size_t memory_position;
  brindle_reader reader;
  void *reader_user;
  FILE *file;
  int fd;
  bool owns_file;
  bool eof;
};

// Kind none is the caller's to handle (it writes null). Failures: "failed to rewind JSON value
// FILE*", "failed to rewind JSON value fd", "failed to open JSON value path '%s'",
// "unsupported JSON value kind".
brindle_status brindle__json_cursor_open(brindle__json_cursor *cursor,
                                         const brindle_json_value *value,
                                         brindle_error *error) noexcept;
// Up to capacity bytes. Failures: BRINDLE_CALLBACK_FAILED "reader callback failed"
// (system_errno = the reader's error), BRINDLE_IO_ERROR "failed to read JSON value fd" /
// "failed to read JSON value stream".
brindle_status brindle__json_cursor_read(brindle__json_cursor *cursor, char *buffer,
                                         size_t capacity, size_t *length, bool *eof,
                                         brindle_error *error) noexcept;
void brindle__json_cursor_close(brindle__json_cursor *cursor) noexcept;

// Writes the value as JSON text to the sink: kind none as null; a compact buffer as stored;
// anything else re-parsed from its start and re-emitted, compact or pretty (indentation
// continuing at depth).
brindle_status brindle__json_transcode(const brindle_json_value *value, brindle_sink sink,
                                       void *user, int pretty, size_t depth,
                                       brindle_error *error) noexcept;

// Parse-time hooks, called by the parser when a JSON value member's value starts, for each
// piece of re-emitted compact text (sink and capture modes), and when the value ends.
// Begin: "JSON value parse requires a configured parse sink, parse visitor, or parse capture"
// unless a parse mode is set; frees the content, kind none, mode kept.
brindle_status brindle__json_value_parse_begin(brindle_json_value *value,
                                               brindle_error *error) noexcept;
// Text: NULL value → BRINDLE_INTERNAL_ERROR "JSON value stream has no destination"; sink mode →
// the sink; capture → appended to the buffer ("failed to grow captured JSON value"); otherwise
// BRINDLE_INVALID_ARGUMENT "JSON value field has no configured parse sink or capture mode".
brindle_status brindle__json_value_parse_text(brindle_json_value *value, const char *bytes,
                                              size_t length, brindle_error *error) noexcept;
// End: a capture becomes kind buffer.
brindle_status brindle__json_value_parse_end(brindle_json_value *value,
                                             brindle_error *error) noexcept;

#endif  // BRINDLE_CORE_VALUES_INTERNAL_H
