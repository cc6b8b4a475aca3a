/*
 * Streaming readers for whole streams: JSON arrays read element by element, server-sent events,
 * and MIME multipart bodies. Each holds only the current element, line or delimiter prefix, so
 * input of any size passes through in bounded memory.
 */
#ifndef BRINDLE_STREAM_H
#define BRINDLE_STREAM_H

#include "brindle_core.h"
#include "brindle_values.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Array stream ------------------------------------------------------------------------ */

/*
 * Reads one JSON array element by element without holding the document: either the document is
 * the array, or it is an object and one of its top-level members (the selected field) holds it.
 * The rest of the document is checked for well-formedness but not kept. Input is pulled from a
 * reader, FILE*, path or descriptor in blocks of 1024 bytes, or pushed by the caller in slices of
 * any size (fed to the stream 1024 bytes at a time). Only the current root key and the current
 * element are held.
 *
 * Options (NULL: brindle_default_parse_options): reject_duplicates also refuses repeated keys of
 * the root object ("duplicate root object field", BRINDLE_DUPLICATE_FIELD) and inside raw
 * elements; max_depth bounds the nesting of each element; allocator serves the stream and what
 * mapped destinations receive.
 *
 * Document errors are BRINDLE_INVALID_JSON with offset, line and column in the whole document:
 * "expected object key", "expected ':' after object key", "expected ',' or '}' in object",
 * "expected JSON value in selected array" (']' after ','), "expected ',' or ']' in selected
 * array", "unexpected data after root array" / "unexpected data after root object", the root-key
 * messages ("unterminated JSON string", "control character in JSON string", "invalid JSON string
 * escape", "invalid unicode escape in JSON string", "invalid unicode surrogate pair", "unexpected
 * low surrogate"), and, when pulled input ends early, "incomplete JSON document", "unterminated
 * selected array" or "unterminated JSON value". The root must be '[' without a field ("selected
 * JSON value is not an array") and '{' with one ("array path requires a root object"), and the
 * selected member an array ("selected JSON value is not an array"), all BRINDLE_TYPE_MISMATCH; a
 * root object without the field fails at its '}' with BRINDLE_MISSING_REQUIRED_FIELD "selected
 * array field was not found". Root keys longer than 65536 decoded bytes fail with
 * BRINDLE_OVERFLOW "JSON object key exceeds maximum decoded byte limit". Failures of an element's
 * parser keep its code and message, their position moved into the document.
 *
 * An element is produced once the ',' or ']' after it has been read. Once failed, every call
 * returns the stored failure; argument failures (BRINDLE_INVALID_ARGUMENT) are reported but leave
 * the stream as it was. A push stream cannot be pulled ("push array stream cannot be pulled") and
 * a pull stream cannot be pushed ("array stream is not push-fed").
 */
typedef struct brindle_array_stream brindle_array_stream;

/* Results of brindle_array_stream_next and brindle_array_stream_next_value. */
enum {
  BRINDLE_ARRAY_STREAM_ITEM = 0,       /* an element was produced */
  BRINDLE_ARRAY_STREAM_END = 1,        /* the array and the document ended */
  BRINDLE_ARRAY_STREAM_NEED_INPUT = 2, /* more input is needed (a reader would block) */
  BRINDLE_ARRAY_STREAM_ERROR = 3       /* failure: see brindle_array_stream_error */
};

/* Called for every element of a push stream, with the filled destination. A non-zero result
 * fails the stream with that status ("array stream item callback failed"); results that are no
 * failure status, BRINDLE_TRUNCATED among them, fail it with BRINDLE_CALLBACK_FAILED. */
typedef int (*brindle_array_item_callback)(void *user_data, void *destination);

/* Receives string elements piecewise: item_begin (optional) at the opening quote, item_chunk
 * (required) with decoded bytes, item_end (optional) once the element is complete. BRINDLE_OK
 * and BRINDLE_TRUNCATED go on; any other status fails the stream with it ("array stream string
 * callback failed"). */
typedef struct brindle_array_string_handlers {
  /* The opening quote of an element; optional. */
  brindle_status (*item_begin)(void *context, brindle_error *error);
  /* Decoded bytes of the element; required. */
  brindle_status (*item_chunk)(void *context, const char *bytes, size_t length,
                               brindle_error *error);
  /* The element is complete; optional. */
  brindle_status (*item_end)(void *context, brindle_error *error);
} brindle_array_string_handlers;

/* Receives each whole decoded string element (at most 1048576 bytes, NUL-terminated; length
 * counts embedded NUL bytes); a non-zero result fails as for brindle_array_item_callback. */
typedef int (*brindle_array_string_item_callback)(void *user_data, const char *text, size_t length);

/*
 * Opening. field: the member of the root object that holds the array (one key, byte for byte
 * after decoding; a name containing '.' is refused with "array stream v1 supports only one
 * direct path segment"), or NULL/"" for a root array. Failures return NULL: "allocator must
 * provide either all callbacks or none" (BRINDLE_INVALID_ARGUMENT), "failed to allocate array
 * stream" (BRINDLE_ALLOCATION_FAILED).
 */
/* Pulls from a reader; a result with would_block makes next return
 * BRINDLE_ARRAY_STREAM_NEED_INPUT (call again later, with the same destination), one with error
 * fails with BRINDLE_IO_ERROR "array stream read failed". "reader callback is required". */
BRINDLE_API brindle_array_stream *brindle_array_stream_open_reader(
    const char *field, brindle_reader reader, void *context, const brindle_parse_options *options,
    brindle_error *error) BRINDLE_NOEXCEPT;
/* Pulls with fread; the FILE* stays the caller's. "file pointer is required". */
BRINDLE_API brindle_array_stream *brindle_array_stream_open_filep(
    const char *field, FILE *file, const brindle_parse_options *options, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Opens the path ("rb") and closes it at close. "path is required"; BRINDLE_IO_ERROR "failed to
 * open '<path>'" with system_errno. */
BRINDLE_API brindle_array_stream *brindle_array_stream_open_path(
    const char *field, const char *path, const brindle_parse_options *options, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Pulls with read(); the descriptor stays the caller's. A non-blocking descriptor is waited for
 * (poll) when it has no data. "fd must be non-negative". */
BRINDLE_API brindle_array_stream *brindle_array_stream_open_fd(const char *field, int fd,
                                                               const brindle_parse_options *options,
                                                               brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Fed by the push functions below. */
BRINDLE_API brindle_array_stream *brindle_array_stream_open_push(
    const char *field, const brindle_parse_options *options, brindle_error *error) BRINDLE_NOEXCEPT;

/*
 * Pull: the next element parsed into destination with map (with options->clear_destination the
 * destination is prepared first: brindle_reset when it is the one prepared last, brindle_init
 * otherwise). Returns a BRINDLE_ARRAY_STREAM_* result and copies the stream's error record into
 * error; an element with a truncated value gives ITEM with code BRINDLE_TRUNCATED and the
 * truncated flag set. An element left half-read by NEED_INPUT must be resumed with the same map
 * and destination ("resume array stream item with the same destination"). "array stream, map,
 * and destination are required".
 */
BRINDLE_API int brindle_array_stream_next(brindle_array_stream *stream, const brindle_map *map,
                                          void *destination, brindle_error *error) BRINDLE_NOEXCEPT;
/* Pull: the next element, whatever its type, as compact JSON text set into value with
 * brindle_json_value_set_buffer (value becomes a buffer value). With reject_duplicates a
 * repeated key in any object of the element fails with BRINDLE_DUPLICATE_FIELD "duplicate object
 * field". "JSON value destination is required". */
BRINDLE_API int brindle_array_stream_next_value(brindle_array_stream *stream,
                                                brindle_json_value *value, brindle_error *error)
    BRINDLE_NOEXCEPT;

/*
 * Push. Every element completed by the bytes is handled before the call returns; an element may
 * span calls, and must then be resumed with the same function, map and destination ("resume array
 * stream item with the same destination"). The finish functions mark the end of input: the
 * document must then be complete, else BRINDLE_INTERNAL_ERROR "push array stream blocked at
 * EOF". Results: BRINDLE_OK; BRINDLE_TRUNCATED when an element handed out by this call had a
 * truncated value; or the failure. Pushing after finish: "array stream is already finished";
 * NULL bytes with a non-zero length: "input bytes are required".
 */
/* Mapped elements: each is parsed into destination, handed to item_callback with user_data, and
 * the destination is reset (brindle_reset) for the next. "array stream, map, destination, and
 * callback are required". */
BRINDLE_API brindle_status brindle_array_stream_push(brindle_array_stream *stream,
                                                     const brindle_map *map, void *destination,
                                                     const char *bytes, size_t length,
                                                     brindle_array_item_callback item_callback,
                                                     void *user_data, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* End of input of a mapped array stream (the arguments of the push); returns the finish status. */
BRINDLE_API brindle_status brindle_array_stream_finish(brindle_array_stream *stream,
                                                       const brindle_map *map, void *destination,
                                                       brindle_array_item_callback item_callback,
                                                       void *user_data, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Arrays of strings delivered as begin, decoded chunks, end, whatever their length; any other
 * element fails with BRINDLE_TYPE_MISMATCH "selected array item is not a string". "array stream
 * and string chunk handler are required". */
BRINDLE_API brindle_status
brindle_array_stream_push_string(brindle_array_stream *stream, const char *bytes, size_t length,
                                 const brindle_array_string_handlers *handlers,
                                 void *handler_context, brindle_error *error) BRINDLE_NOEXCEPT;
/* End of input of a string array stream delivered piecewise. */
BRINDLE_API brindle_status brindle_array_stream_finish_string(
    brindle_array_stream *stream, const brindle_array_string_handlers *handlers,
    void *handler_context, brindle_error *error) BRINDLE_NOEXCEPT;
/* Arrays of strings delivered whole; a longer string fails with BRINDLE_OVERFLOW "array stream
 * string item exceeds 1048576 bytes". "array stream and string item callback are required". */
BRINDLE_API brindle_status brindle_array_stream_push_string_items(
    brindle_array_stream *stream, const char *bytes, size_t length,
    brindle_array_string_item_callback item_callback, void *user_data, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* End of input of a string array stream delivered whole. */
BRINDLE_API brindle_status brindle_array_stream_finish_string_items(
    brindle_array_stream *stream, brindle_array_string_item_callback item_callback, void *user_data,
    brindle_error *error) BRINDLE_NOEXCEPT;

/* The stream's error record as left by the last call; NULL for a NULL stream. */
BRINDLE_API const brindle_error *brindle_array_stream_error(const brindle_array_stream *stream)
    BRINDLE_NOEXCEPT;
/* Frees the stream and closes a file it opened; destinations stay with the caller. NULL is
 * ignored. */
BRINDLE_API void brindle_array_stream_close(brindle_array_stream *stream) BRINDLE_NOEXCEPT;

/* ---- Server-sent events ------------------------------------------------------------------ */

/* Limits of an SSE parser; a zero member takes its default. Lines end at LF, CR LF or a lone CR;
 * longer lines, names, ids and event data fail with BRINDLE_OVERFLOW. */
typedef struct brindle_sse_options {
  size_t max_line_bytes;              /* 65536 */
  size_t max_data_bytes;              /* 1048576: data of one event, joining line feeds included */
  size_t max_field_bytes;             /* 1048576: event name and id */
  const brindle_allocator *allocator; /* NULL: default; all memory of the parser */
} brindle_sse_options;

/* The defaults above, with a NULL allocator. */
BRINDLE_API brindle_sse_options brindle_default_sse_options(void) BRINDLE_NOEXCEPT;

/* Handed to callbacks; valid during the call. */
typedef struct brindle_sse_event {
  const char *event;  /* "" when the event has no name */
  const char *id;     /* NULL when the event has no id line */
  size_t data_length; /* data bytes delivered so far, joining line feeds included */
  uint64_t retry;     /* milliseconds; 0 when absent */
  int32_t has_retry;  /* 1 when the event had a retry line */
} brindle_sse_event;

/* Plain flavour; any member may be NULL. Non-zero returns are failures: a callback that fills
 * the error record with a code has that code returned, otherwise BRINDLE_CALLBACK_FAILED. */
typedef struct brindle_sse_callbacks {
  /* Before the first data of an event, or before end_event of an event without data. */
  int (*begin_event)(void *user_data, const brindle_sse_event *event, brindle_error *error);
  /* Data bytes of the event: each data line's value, and a line feed between two lines. */
  int (*data_chunk)(void *user_data, const char *bytes, size_t length, brindle_error *error);
  /* At the empty line that ends an event with any content (data, name, id or retry). */
  int (*end_event)(void *user_data, const brindle_sse_event *event, brindle_error *error);
} brindle_sse_callbacks;

/* JSON flavour: an optional event-name filter and parse options. */
typedef struct brindle_sse_json_options {
  const char *const *event_names; /* NULL or empty: every event; "" names unnamed events */
  size_t event_name_count;        /* entries in event_names */
  const brindle_parse_options *parse_options; /* NULL: defaults */
} brindle_sse_json_options;

/* Called once per accepted event with data, after its JSON was parsed into destination;
 * non-zero fails as for the plain callbacks. With clear_destination (the default) the record is
 * initialised for its first event and reset (brindle_reset, which frees what the previous event
 * stored) before every later event into the same record: a callback that keeps a string takes it
 * and sets the member to NULL. brindle_cleanup the record after the last event. */
typedef int (*brindle_sse_json_callback)(void *user_data, const brindle_sse_event *event,
                                         void *destination, brindle_error *error);

/* An incremental parser for text/event-stream bodies. It holds one line at a time; event data
 * goes to the caller (plain flavour) or into the push parser (JSON flavour) as it arrives. A
 * stream is read with one flavour throughout; callbacks and arguments are passed on every call. */
typedef struct brindle_sse brindle_sse;

/* Opens a parser (NULL options: defaults). Fails with BRINDLE_INVALID_ARGUMENT for an allocator
 * that gives only some of its callbacks, BRINDLE_ALLOCATION_FAILED "failed to allocate SSE
 * parser"; returns NULL then. Clears the error record on success. */
BRINDLE_API brindle_sse *brindle_sse_open(const brindle_sse_options *options, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Plain flavour: feeds the next bytes of the stream (any slicing gives the same events) and
 * calls the callbacks (NULL: data is only counted). A NULL parser, or NULL bytes with a
 * non-zero length, fails with "SSE parser and bytes are required"; a push after finish with
 * "SSE parser is already finished". After a failed push the parser is only fit for close. */
BRINDLE_API brindle_status brindle_sse_push(brindle_sse *parser, const char *bytes, size_t length,
                                            const brindle_sse_callbacks *callbacks, void *user_data,
                                            brindle_error *error) BRINDLE_NOEXCEPT;
/* Plain flavour: the end of the stream. Processes an unterminated last line, dispatches an event
 * that no empty line ended, and marks the parser finished; once finished it succeeds at once. */
BRINDLE_API brindle_status brindle_sse_finish(brindle_sse *parser,
                                              const brindle_sse_callbacks *callbacks,
                                              void *user_data, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* JSON flavour of brindle_sse_push: the data lines of every accepted event are parsed as one
 * JSON document into destination (map and destination are required; the same ones, and the
 * same parse options, throughout an event), then callback is called. With a filter, an event's
 * name must come before its data. Parser failures are returned with the parser's error record. */
BRINDLE_API brindle_status brindle_sse_push_json(
    brindle_sse *parser, const brindle_map *map, void *destination, const char *bytes,
    size_t length, const brindle_sse_json_options *json_options, brindle_sse_json_callback callback,
    void *user_data, brindle_error *error) BRINDLE_NOEXCEPT;
/* JSON flavour of brindle_sse_finish. */
BRINDLE_API brindle_status brindle_sse_finish_json(brindle_sse *parser, const brindle_map *map,
                                                   void *destination,
                                                   const brindle_sse_json_options *json_options,
                                                   brindle_sse_json_callback callback,
                                                   void *user_data, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* Frees the parser and everything it holds; NULL is accepted; no callback is called. */
BRINDLE_API void brindle_sse_close(brindle_sse *parser) BRINDLE_NOEXCEPT;

/* ---- Multipart --------------------------------------------------------------------------- */

/* Limits of a multipart parser; a zero member takes its default. */
typedef struct brindle_multipart_options {
  size_t max_boundary_bytes; /* 200 */
  size_t max_line_bytes;     /* 65536: header, boundary and epilogue lines */
  size_t max_headers;        /* 64 per part */
  size_t max_buffered_bytes; /* 1048576: body bytes held while a delimiter may be forming */
  const brindle_allocator *allocator; /* NULL: default; all memory of the parser */
} brindle_multipart_options;

/* The defaults above, with a NULL allocator. */
BRINDLE_API brindle_multipart_options brindle_default_multipart_options(void) BRINDLE_NOEXCEPT;

/* One header line of a part: name as received, value trimmed of spaces and tabs. */
typedef struct brindle_multipart_header {
  char *name;  /* the header's name as received */
  char *value; /* its value, trimmed of spaces and tabs */
} brindle_multipart_header;

/* The current part; valid during the callback only. */
typedef struct brindle_multipart_part {
  const char *name;                        /* Content-Disposition name parameter, or NULL */
  const char *content_type;                /* Content-Type value, or NULL */
  int64_t content_length;                  /* Content-Length, or -1 */
  const brindle_multipart_header *headers; /* in arrival order */
  size_t header_count;                     /* entries in headers */
} brindle_multipart_part;

/* Any member may be NULL, and so may the record: the body is then only checked. Non-zero returns
 * are failures: a callback that fills the error record with a code has that code returned,
 * otherwise BRINDLE_CALLBACK_FAILED. */
typedef struct brindle_multipart_callbacks {
  /* The part's headers are complete. */
  int (*begin_part)(void *user_data, const brindle_multipart_part *part, brindle_error *error);
  /* The next run of the part's body bytes (never empty). A body with Content-Length is handed
   * over straight from the pushed bytes; other bodies as soon as the bytes cannot belong to a
   * delimiter. The line break before a delimiter is framing, not data. */
  int (*part_data)(void *user_data, const char *bytes, size_t length, brindle_error *error);
  /* The part's body is complete. */
  int (*end_part)(void *user_data, const brindle_multipart_part *part, brindle_error *error);
} brindle_multipart_callbacks;

/* An incremental parser for MIME multipart bodies: open with the response's Content-Type, push
 * the body in chunks of any size, finish, close. Only the current line, the current part's
 * headers and a possible delimiter prefix are held, so parts of any size stream through. */
typedef struct brindle_multipart brindle_multipart;

/* content_type: the whole Content-Type header value, which names the boundary (quoted or not;
 * the first boundary parameter wins). Fails with "multipart Content-Type is required", "multipart
 * Content-Type missing boundary", "multipart boundary is invalid" (empty), "multipart boundary
 * quote is unterminated", "multipart boundary length limit exceeded", a bad allocator or an
 * allocation failure; returns NULL then. Clears the error record on success. */
BRINDLE_API brindle_multipart *brindle_multipart_open(const char *content_type,
                                                      const brindle_multipart_options *options,
                                                      brindle_error *error) BRINDLE_NOEXCEPT;
/* Feeds the next bytes of the body (any slicing gives the same parts and bytes) and calls the
 * callbacks. The body starts with the first delimiter (empty lines before it are skipped); lines
 * after the closing delimiter are ignored epilogue, in the same push or a later one (each still
 * bounded by max_line_bytes). Pushes after a successful finish fail with "multipart parser is
 * already finished". A NULL parser, or NULL bytes with a non-zero length, fails with
 * "multipart parser and bytes are required". Malformed bodies fail with BRINDLE_INVALID_JSON,
 * exceeded limits with BRINDLE_OVERFLOW. After a failed push the parser is only fit for close. */
BRINDLE_API brindle_status brindle_multipart_push(brindle_multipart *parser, const char *bytes,
                                                  size_t length,
                                                  const brindle_multipart_callbacks *callbacks,
                                                  void *user_data, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* The end of the body: succeeds only when the closing delimiter has been seen ("multipart stream
 * ended before closing boundary" otherwise), also when called again. The line break after the
 * closing delimiter is optional: a body that ends with it is complete. Calls no callback, so a
 * part without Content-Length that the closing delimiter ends at the very end of the body gets no
 * end_part; use brindle_multipart_finish_with to receive it. */
BRINDLE_API brindle_status brindle_multipart_finish(brindle_multipart *parser, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* brindle_multipart_finish with the callbacks of the pushes: when the body ended with a closing
 * delimiter that had no line break after it and that ended a part without Content-Length, that
 * part's end_part is called here (its failure is reported like a push's, "multipart end_part
 * callback failed"). NULL callbacks deliver nothing. */
BRINDLE_API brindle_status brindle_multipart_finish_with(
    brindle_multipart *parser, const brindle_multipart_callbacks *callbacks, void *user_data,
    brindle_error *error) BRINDLE_NOEXCEPT;
/* Frees the parser and everything it holds; NULL is accepted; no callback is called, not even
 * end_part for a part left open. */
BRINDLE_API void brindle_multipart_close(brindle_multipart *parser) BRINDLE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* BRINDLE_STREAM_H */
