/*
 * Reading JSON into mapped records and writing records as JSON: one-shot parsing, the serializer
 * (compact, pretty, JSON Lines; buffers, sinks, files), the resumable pull generator, and the
 * object stream that reads a sequence of top-level objects.
 */
#ifndef BRINDLE_IO_H
#define BRINDLE_IO_H

#include "brindle_core.h"
#include "brindle_values.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Parsing ----------------------------------------------------------------------------- */

/* Each parses one JSON object into record. options and error may be NULL; error receives the
 * final code, position and message.
 * Limits: the parser works in a fixed 4096-byte workspace that holds the open containers and the
 * key, number or literal being read; one too long for it fails with BRINDLE_OVERFLOW "parser
 * workspace exhausted by token". Dynamic string members and string array elements have no
 * length limit of their own: past the workspace they continue in a block of the options'
 * allocator, which the member then owns. BRINDLE_ALLOCATION_FAILED means that allocator refused. */
BRINDLE_API brindle_status brindle_parse_buffer(const brindle_map *map, void *record,
                                                const char *bytes, size_t length,
                                                const brindle_parse_options *options,
                                                brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_parse_buffer, over a NUL-terminated text. */
BRINDLE_API brindle_status brindle_parse_cstr(const brindle_map *map, void *record,
                                              const char *text,
                                              const brindle_parse_options *options,
                                              brindle_error *error) BRINDLE_NOEXCEPT;
/* Calls reader with a 1024-byte buffer until a result has eof set. */
BRINDLE_API brindle_status brindle_parse_reader(const brindle_map *map, void *record,
                                                brindle_reader reader, void *user,
                                                const brindle_parse_options *options,
                                                brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_parse_reader, reading an open file (not closed). */
BRINDLE_API brindle_status brindle_parse_filep(const brindle_map *map, void *record, FILE *file,
                                               const brindle_parse_options *options,
                                               brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_parse_filep, over the file at path (opened and closed). */
BRINDLE_API brindle_status brindle_parse_path(const brindle_map *map, void *record,
                                              const char *path,
                                              const brindle_parse_options *options,
                                              brindle_error *error) BRINDLE_NOEXCEPT;

/* ---- Serializer -------------------------------------------------------------------------- */

/*
 * Every serializer writes one record as one JSON object (or, for the jsonl forms, count records
 * as JSON Lines: each object followed by "\n"). Fields appear in map order; a field that is not
 * BRINDLE_FIELD_REQUIRED is left out when its present flag is 0 or, with the omit flags, when it
 * holds no value (a NULL string, a source or JSON value of kind none; with
 * BRINDLE_FIELD_OMIT_EMPTY also empty arrays, empty spools and objects whose fields are all left
 * out). Strings are escaped ('"', '\\', \b \t \n \f \r, other control bytes as \u00xx;
 * everything else as it is), doubles are written as "%.17g" would write them (NaN and infinities
 * fail with BRINDLE_TYPE_MISMATCH), spooled and source members are streamed from their start as
 * text or base64, JSON value members are re-emitted. options->pretty gives 2-space indentation
 * and ": " after keys. options and error may be NULL; error is cleared first and receives the
 * failure. Output already handed out before a failure stays where it went. Kind-17 fields
 * (string streams) cannot be written.
 */

/* To a sink, one call per piece. A sink answering BRINDLE_TRUNCATED lets writing go on and the
 * result is BRINDLE_TRUNCATED; any other non-zero answer stops and is returned. */
BRINDLE_API brindle_status brindle_serialize_sink(const brindle_map *map, const void *record,
                                                  brindle_sink sink, void *sink_user,
                                                  const brindle_write_options *options,
                                                  brindle_error *error) BRINDLE_NOEXCEPT;
/* Into a caller's buffer, always NUL-terminated (one byte of capacity is kept for the NUL);
 * *length (optional) receives the bytes the whole output needs, without the NUL, even when it
 * did not fit. When it does not fit, options->overflow decides: 0 fails with BRINDLE_OVERFLOW
 * "output buffer too small", 1 keeps what fits and returns BRINDLE_TRUNCATED, 2 keeps what fits
 * and returns BRINDLE_OK (error->truncated is set in both cases). */
BRINDLE_API brindle_status brindle_serialize_buffer(const brindle_map *map, const void *record,
                                                    char *buffer, size_t capacity, size_t *length,
                                                    const brindle_write_options *options,
                                                    brindle_error *error) BRINDLE_NOEXCEPT;
/* Into a new NUL-terminated buffer allocated with options->allocator, grown by doubling from
 * 2048 bytes up to options->max_output_bytes (8 MiB when 0). The caller owns it and frees it with
 * brindle_owned_buffer_free; on failure *out is left at its defaults with nothing allocated. */
BRINDLE_API brindle_status brindle_serialize_owned(const brindle_map *map, const void *record,
                                                   brindle_owned_buffer *out,
                                                   const brindle_write_options *options,
                                                   brindle_error *error) BRINDLE_NOEXCEPT;
/* As brindle_serialize_owned, into a string from the system malloc (free it with free); NULL on
 * failure. Only the default allocator is accepted in options. */
BRINDLE_API char *brindle_serialize_alloc(const brindle_map *map, const void *record,
                                          size_t *length, const brindle_write_options *options,
                                          brindle_error *error) BRINDLE_NOEXCEPT;
/* fwrite to the stream, which is neither flushed nor closed; a short write fails with
 * BRINDLE_IO_ERROR "failed to write JSON output" and system_errno. */
BRINDLE_API brindle_status brindle_serialize_filep(const brindle_map *map, const void *record,
                                                   FILE *file, const brindle_write_options *options,
                                                   brindle_error *error) BRINDLE_NOEXCEPT;
/* Creates or truncates the file ("wb"), writes and closes it. */
BRINDLE_API brindle_status brindle_serialize_path(const brindle_map *map, const void *record,
                                                  const char *path,
                                                  const brindle_write_options *options,
                                                  brindle_error *error) BRINDLE_NOEXCEPT;

/* JSON Lines: count records at items + i * stride (stride 0: map->struct_size; a smaller
 * non-zero stride is rejected), each followed by a newline; count 0 writes nothing. Each form
 * behaves as its single-record twin above; the first failing record stops the output. */
BRINDLE_API brindle_status brindle_serialize_jsonl_sink(const brindle_map *map, const void *items,
                                                        size_t count, size_t stride,
                                                        brindle_sink sink, void *sink_user,
                                                        const brindle_write_options *options,
                                                        brindle_error *error) BRINDLE_NOEXCEPT;
/* JSON Lines into a caller's buffer, as brindle_serialize_buffer. */
BRINDLE_API brindle_status brindle_serialize_jsonl_buffer(const brindle_map *map, const void *items,
                                                          size_t count, size_t stride, char *buffer,
                                                          size_t capacity, size_t *length,
                                                          const brindle_write_options *options,
                                                          brindle_error *error) BRINDLE_NOEXCEPT;
/* JSON Lines into a new owned buffer, as brindle_serialize_owned. */
BRINDLE_API brindle_status brindle_serialize_jsonl_owned(const brindle_map *map, const void *items,
                                                         size_t count, size_t stride,
                                                         brindle_owned_buffer *out,
                                                         const brindle_write_options *options,
                                                         brindle_error *error) BRINDLE_NOEXCEPT;
/* JSON Lines into a malloc'd string, as brindle_serialize_alloc. */
BRINDLE_API char *brindle_serialize_jsonl_alloc(const brindle_map *map, const void *items,
                                                size_t count, size_t stride, size_t *length,
                                                const brindle_write_options *options,
                                                brindle_error *error) BRINDLE_NOEXCEPT;
/* JSON Lines to an open stream, as brindle_serialize_filep. */
BRINDLE_API brindle_status brindle_serialize_jsonl_filep(const brindle_map *map, const void *items,
                                                         size_t count, size_t stride, FILE *file,
                                                         const brindle_write_options *options,
                                                         brindle_error *error) BRINDLE_NOEXCEPT;
/* JSON Lines into the file at path, as brindle_serialize_path. */
BRINDLE_API brindle_status brindle_serialize_jsonl_path(const brindle_map *map, const void *items,
                                                        size_t count, size_t stride,
                                                        const char *path,
                                                        const brindle_write_options *options,
                                                        brindle_error *error) BRINDLE_NOEXCEPT;

/* ---- Generator --------------------------------------------------------------------------- */

/* Pull form of the serializer: exactly the serializer's text for the same map, record and
 * options, compact or pretty, handed out in pieces of any size. Memory does not grow with the
 * document: one frame per open container, one 4096-byte refill block for source and spooled
 * members, and a pull reader for raw JSON values. Sources and spools are read from their start
 * while the text is generated, so a non-rewindable source can be generated once. */
typedef struct brindle_generator {
  struct brindle_generator_state *state; /* private; NULL before init and after cleanup */
  int32_t done;                          /* the whole document has been handed out */
  brindle_error error;                   /* every generator failure is recorded here */
} brindle_generator;

/* Clears the record and prepares the document; the state comes from options->allocator. The
 * map and record must stay valid and unchanged until cleanup. */
BRINDLE_API brindle_status brindle_generator_init(brindle_generator *generator,
                                                  const brindle_map *map, const void *record,
                                                  const brindle_write_options *options)
    BRINDLE_NOEXCEPT;
/* Writes at most capacity bytes into buffer (a NULL buffer is allowed with capacity 0) and
 * returns as soon as the buffer is full or the document is complete; *out_length and *out_done
 * are optional and set to 0 first; *out_done is 1 once everything was handed out (later reads
 * give 0 bytes). A failure is recorded in generator->error and repeated by every later read;
 * the generator is then good only for cleanup. */
BRINDLE_API brindle_status brindle_generator_read(brindle_generator *generator, char *buffer,
                                                  size_t capacity, size_t *out_length,
                                                  int *out_done) BRINDLE_NOEXCEPT;
/* Closes files the generator opened and frees its state; NULL and repeated calls are fine. */
BRINDLE_API void brindle_generator_cleanup(brindle_generator *generator) BRINDLE_NOEXCEPT;
/* Length of the serialized text, computed in advance by running the serializer into a counter
 * (every source and JSON value that would be written must be rewindable, else
 * BRINDLE_INVALID_ARGUMENT "cannot measure non-rewindable JSON document"). */
BRINDLE_API brindle_status brindle_generator_measure(const brindle_map *map, const void *record,
                                                     const brindle_write_options *options,
                                                     size_t *out_length, brindle_error *error)
    BRINDLE_NOEXCEPT;

/* ---- Object stream ----------------------------------------------------------------------- */

/*
 * Reads a sequence of top-level objects (NDJSON, or objects simply concatenated, with or without
 * whitespace between them) one at a time into a caller's record with a map. Input is read in
 * blocks of 1024 bytes; bytes after an object stay buffered for the next call. Every open takes
 * the map, options (NULL: the defaults of brindle_default_parse_options; options->allocator is
 * used for the stream itself and for what the records receive) and an optional error record, and
 * returns NULL on failure: "map is required", "allocator must provide either all callbacks or
 * none" (BRINDLE_INVALID_ARGUMENT), "failed to allocate stream" (BRINDLE_ALLOCATION_FAILED).
 */
typedef struct brindle_stream brindle_stream;

/* Results of brindle_stream_next. */
enum {
  BRINDLE_STREAM_OBJECT = 0,      /* one object was stored */
  BRINDLE_STREAM_EOF = 1,         /* the input ended cleanly between objects */
  BRINDLE_STREAM_WOULD_BLOCK = 2, /* no input now: call again with the same destination */
  BRINDLE_STREAM_ERROR = 3        /* failure; see the error record */
};

/* Input from a reader callback; a result with would_block set makes brindle_stream_next return
 * BRINDLE_STREAM_WOULD_BLOCK, one with error set fails with BRINDLE_IO_ERROR "stream read failed"
 * (system_errno = the reader's error). NULL reader: "reader callback is required". */
BRINDLE_API brindle_stream *brindle_stream_open_reader(const brindle_map *map,
                                                       brindle_reader reader, void *user,
                                                       const brindle_parse_options *options,
                                                       brindle_error *error) BRINDLE_NOEXCEPT;
/* Input from fread. The stream does not own the FILE*; a non-blocking one that has no data gives
 * BRINDLE_STREAM_WOULD_BLOCK. NULL file: "file pointer is required". */
BRINDLE_API brindle_stream *brindle_stream_open_filep(const brindle_map *map, FILE *file,
                                                      const brindle_parse_options *options,
                                                      brindle_error *error) BRINDLE_NOEXCEPT;
/* Opens the path for binary reading; the stream closes it. NULL: "path is required"; open
 * failure: BRINDLE_IO_ERROR "failed to open '<path>'" with system_errno. */
BRINDLE_API brindle_stream *brindle_stream_open_path(const brindle_map *map, const char *path,
                                                     const brindle_parse_options *options,
                                                     brindle_error *error) BRINDLE_NOEXCEPT;
/* Input from read(). The stream does not own the descriptor, which may be non-blocking: EAGAIN
 * gives BRINDLE_STREAM_WOULD_BLOCK, 0 bytes the end of input. fd < 0: "fd must be
 * non-negative". */
BRINDLE_API brindle_stream *brindle_stream_open_fd(const brindle_map *map, int fd,
                                                   const brindle_parse_options *options,
                                                   brindle_error *error) BRINDLE_NOEXCEPT;
/*
 * Reads the next object into record; returns a BRINDLE_STREAM_* result and copies the stream's
 * error record into error (optional). Before a new object, with options->clear_destination, the
 * record is prepared: brindle_reset when it is the record prepared last time, brindle_init when
 * it is another one. Whitespace before an object is skipped; any other byte than '{' fails with
 * BRINDLE_INVALID_JSON "expected top-level object". Parser failures carry the parser's code,
 * message and position, counted from the object's '{' (line 1, column 1). After
 * BRINDLE_STREAM_WOULD_BLOCK inside an object the call must be repeated with the same record
 * (else BRINDLE_INVALID_ARGUMENT "resume the stream with the same destination", the object being
 * kept). After BRINDLE_STREAM_ERROR the next call starts a fresh object at the next unread
 * byte. An object cut off by the end of input fails with the parser's "incomplete JSON
 * document" or "incomplete JSON token at end of input". On BRINDLE_STREAM_OBJECT the error record
 * is the parser's, so its truncated flag tells whether a value was truncated. NULL stream or
 * record: "stream and destination are required".
 */
BRINDLE_API int brindle_stream_next(brindle_stream *stream, void *record, brindle_error *error)
    BRINDLE_NOEXCEPT;
/* The stream's error record as left by the last call; NULL for a NULL stream. */
BRINDLE_API const brindle_error *brindle_stream_error(const brindle_stream *stream)
    BRINDLE_NOEXCEPT;
/* Frees the stream (records stay with the caller) and closes a file it opened; NULL is
 * ignored. */
BRINDLE_API void brindle_stream_close(brindle_stream *stream) BRINDLE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* BRINDLE_IO_H */
