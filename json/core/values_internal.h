// Internal interface of sources, spooled values and raw JSON values: cursors that read their
// content from the start (serializer, generator), the re-emission of JSON values, and the hooks
// the parser calls while a JSON value member is being parsed, the value visitor and the
// re-emitting value reader. Implemented in source.cpp, spool*.cpp, json_*.cpp and value_*.cpp.
#ifndef BRINDLE_CORE_VALUES_INTERNAL_H
#define BRINDLE_CORE_VALUES_INTERNAL_H

#include "internal.h"

// ---- Callback results --------------------------------------------------------------------------

// A callback (sink, reader, visitor) stopped the operation with status: when it left no failure
// in the error record, the status is recorded there with message, so that code and result agree.
brindle_status brindle__callback_failed(brindle_error *error, brindle_status status,
                                        const char *message) noexcept;
// The end of an operation that went on after a BRINDLE_TRUNCATED: the error record is marked
// truncated with code BRINDLE_TRUNCATED (message kept) and BRINDLE_TRUNCATED is returned.
brindle_status brindle__finish(brindle_error *error, bool truncated) noexcept;

// ---- Files and descriptors ---------------------------------------------------------------------

// 1 when the position can be read and both a seek to 0 and back succeed (the position is kept).
int brindle__file_is_rewindable(FILE *file) noexcept;
int brindle__fd_is_rewindable(int fd) noexcept;
// read() retried on EINTR: bytes read, 0 at end of file, -1 with errno on failure.
long brindle__fd_read(int fd, char *buffer, size_t capacity) noexcept;
// errno after a failed call, or EIO when the failing call left none.
int brindle__errno_or_eio() noexcept;

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
// As brindle__source_cursor_open, except that a FILE* or descriptor that cannot seek at all (a
// pipe, a socket) is read from where it stands: a one-pass reader such as the generator can
// stream it once.
brindle_status brindle__source_cursor_open_once(brindle__source_cursor *cursor,
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

// Reads a spooled value from its first byte (prefix, then the spill file) without moving its
// read cursor. The spill file is read at explicit offsets, so neither brindle_spooled_read nor a
// later append is disturbed; only the spool functions may touch spooled->file. Opening flushes
// pending spill data ("failed to write spool file").
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
// The record was moved (not copied) by its owner from old_address, as when an object array
// grows: a record that was valid there takes over its content at its new address (its marker is
// stamped again). Without this, cleanup would ignore the moved record and leak its content.
void brindle__spooled_moved(brindle_spooled *spooled, const void *old_address) noexcept;
// The append of brindle_spooled_append; the error record is written only on failure.
brindle_status brindle__spooled_append(brindle_spooled *spooled, const char *bytes, size_t length,
                                       brindle_error *error) noexcept;

// ---- Raw JSON values ---------------------------------------------------------------------------

bool brindle__json_value_marker_ok(const brindle_json_value *value) noexcept;
// Frees the two owned buffers (text and path) of a record whose marker matches.
void brindle__json_value_release(brindle_json_value *value) noexcept;
// As brindle__spooled_moved, for a JSON value member.
void brindle__json_value_moved(brindle_json_value *value, const void *old_address) noexcept;

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

// The three cursor kinds that read from where the caller left the input (no rewind): the visitor
// reads a FILE* or descriptor from its current position. Memory input is delivered in place.
void brindle__json_cursor_init_memory(brindle__json_cursor *cursor, const char *bytes,
                                      size_t length) noexcept;
void brindle__json_cursor_init_reader(brindle__json_cursor *cursor, brindle_reader reader,
                                      void *user) noexcept;
void brindle__json_cursor_init_file(brindle__json_cursor *cursor, FILE *file) noexcept;
void brindle__json_cursor_init_fd(brindle__json_cursor *cursor, int fd) noexcept;

// ---- Value limits ------------------------------------------------------------------------------

inline constexpr size_t BRINDLE_DEFAULT_VALUE_MAX_DEPTH = 64;
inline constexpr size_t BRINDLE_DEFAULT_VALUE_MAX_STRING = 1048576;
inline constexpr size_t BRINDLE_DEFAULT_VALUE_MAX_NUMBER = 256;
inline constexpr size_t BRINDLE_DEFAULT_VALUE_MAX_KEY = 65536;

// A zero in one of the first four members means its default; max_total_bytes is kept (0 = no
// total limit). NULL gives all the defaults.
inline brindle_value_limits brindle__value_limits_normalize(
    const brindle_value_limits *limits) noexcept {
  brindle_value_limits out{BRINDLE_DEFAULT_VALUE_MAX_DEPTH, BRINDLE_DEFAULT_VALUE_MAX_STRING,
                           BRINDLE_DEFAULT_VALUE_MAX_NUMBER, BRINDLE_DEFAULT_VALUE_MAX_KEY, 0};
  if (limits == nullptr) return out;
  if (limits->max_depth != 0) out.max_depth = limits->max_depth;
  if (limits->max_string_bytes != 0) out.max_string_bytes = limits->max_string_bytes;
  if (limits->max_number_bytes != 0) out.max_number_bytes = limits->max_number_bytes;
  if (limits->max_key_bytes != 0) out.max_key_bytes = limits->max_key_bytes;
  out.max_total_bytes = limits->max_total_bytes;
  return out;
}

// ---- Value visitor and re-emitting value reader ------------------------------------------------

// Walks exactly one JSON value read from the cursor (whitespace around it allowed) and reports
// it to the visitor under the limits (normalised by the caller). Nesting is kept on an explicit
// stack, so deep input ends in "JSON value nesting exceeds maximum depth", never in a stack
// overflow. allocator (NULL: default) is used only for numbers that straddle a read block and
// are longer than 256 bytes, and for nesting deeper than 512 levels. No position is reported.
brindle_status brindle__json_visit_value(brindle__json_cursor *cursor,
                                         const brindle_value_visitor *visitor, void *user,
                                         const brindle_value_limits *limits,
                                         const brindle_allocator *allocator,
                                         brindle_error *error) noexcept;

// Reads exactly one JSON value from the cursor and writes it to the sink as JSON text: compact
// (no whitespace) or pretty (2 spaces per level, ": " after keys), the indentation continuing at
// depth, the nesting depth of the value itself (0 for a document root). Strings are decoded and
// re-escaped; numbers are copied as written. Limits: max_total_bytes of input (0: none) and
// max_depth open containers (0: the default 64), so deep input fails cleanly. trailing_message
// is reported when anything but whitespace follows the value. A sink's BRINDLE_TRUNCATED goes on
// and is returned at the end.
brindle_status brindle__json_parse_value(brindle__json_cursor *cursor, brindle_sink sink,
                                         void *user, int pretty, size_t depth,
                                         size_t max_total_bytes, size_t max_depth,
                                         const brindle_allocator *allocator,
                                         const char *trailing_message,
                                         brindle_error *error) noexcept;

// Appends to a growing NUL-terminated text held in a library block (64 bytes first, doubling;
// the block's size is its capacity). BRINDLE_ALLOCATION_FAILED leaves the text as it was; no
// error record is written.
brindle_status brindle__text_buffer_append(const brindle_allocator *allocator, char **buffer,
                                           size_t *length, const char *bytes,
                                           size_t count) noexcept;

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
