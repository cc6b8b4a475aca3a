/*
 * Byte streams of libstavoc: ready-made sources and sinks (memory, files, descriptors,
 * callbacks), copying a source into a sink, the stream pipe that hands a payload from a
 * producer thread to a consumer thread, the bridges between sources and sinks and the engine's
 * callbacks, and the JSON file helpers over libbrindle.
 *
 *   sv_source *src = NULL;
 *   sv_sink *dst = NULL;
 *   sv_error error;
 *   uint64_t copied = 0;
 *   sv_error_init(&error);
 *   if (sv_source_from_file("state.json", &src, &error) == SV_OK &&
 *       sv_sink_to_memory(&dst, &error) == SV_OK &&
 *       sv_copy(src, dst, &copied, &error) == SV_OK) {
 *     const char *bytes;
 *     size_t length;
 *     sv_sink_memory_bytes(dst, &bytes, &length);
 *   }
 *   sv_sink_close(dst);
 *   sv_source_close(src);
 *   sv_error_cleanup(&error);
 *
 * Sources and sinks are not thread-safe; only the two sides of a stream pipe may run on two
 * threads. A source's read returns the number of bytes placed; 0 is the end of the data, or a
 * failure when the source has set a code in the error record.
 */
#ifndef STAVOC_IO_H
#define STAVOC_IO_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "brindle_core.h"
#include "stavoc_client.h"
#include "stavoc_common.h"
#include "stavoc_engine_core.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Sources ----------------------------------------------------------------------------- */

/* Closes a source through its close slot; NULL is ignored. */
SV_API void sv_source_close(sv_source *source) SV_NOEXCEPT;

/* A source over a private copy of length bytes (no copy for length 0); it can be reset.
 * "source_from_memory requires out" (SV_ERR_INVALID, also for NULL bytes with a non-zero
 * length); "failed to allocate memory source" or "failed to allocate memory source bytes"
 * (SV_ERR_NOMEM). */
SV_API int sv_source_from_memory(const void *bytes, size_t length, sv_source **out, sv_error *error)
    SV_NOEXCEPT;

/* A source over the file at path, opened for reading; reset rewinds it (a failure is
 * SV_ERR_TRANSPORT "failed to rewind file source"). A read error fails the read with
 * SV_ERR_TRANSPORT "failed to read file source" and the system's error text as detail.
 * "source_from_file requires path and out" (SV_ERR_INVALID); "failed to open file source"
 * (SV_ERR_TRANSPORT, system error text as detail); "failed to allocate file source"
 * (SV_ERR_NOMEM). */
SV_API int sv_source_from_file(const char *path, sv_source **out, sv_error *error) SV_NOEXCEPT;

/* A source over an open stdio file, read like sv_source_from_file. With take_ownership
 * non-zero the source closes the file when it is closed, and also when this call fails. NULL
 * for a NULL file or a failed allocation. */
SV_API sv_source *sv_source_from_open_file(FILE *file, int take_ownership) SV_NOEXCEPT;

/* A source over a descriptor, which stays open and the caller's. Each read is one read(2); a
 * failure is SV_ERR_TRANSPORT "failed to read from fd source". It cannot be reset.
 * "source_from_fd requires out" (SV_ERR_INVALID); "failed to allocate fd source"
 * (SV_ERR_NOMEM). */
SV_API int sv_source_from_fd(int fd, sv_source **out, sv_error *error) SV_NOEXCEPT;

/* The functions of a callback source, each given the context. */
typedef size_t (*sv_source_read_fn)(void *context, char *buffer, size_t capacity, sv_error *error);
/* Rewinds the callback source's data; returns an SV_* status. */
typedef int (*sv_source_reset_fn)(void *context, sv_error *error);
/* Releases what the context holds when the source is closed. */
typedef void (*sv_source_close_fn)(void *context);

/* A source that calls read_fn for data, reset_fn to rewind (without it the source cannot be
 * reset) and close_fn when it is closed. "source_from_callbacks requires read and out"
 * (SV_ERR_INVALID); "failed to allocate callback source" (SV_ERR_NOMEM). */
SV_API int sv_source_from_callbacks(sv_source_read_fn read_fn, sv_source_reset_fn reset_fn,
                                    sv_source_close_fn close_fn, void *context, sv_source **out,
                                    sv_error *error) SV_NOEXCEPT;

/* ---- Sinks ------------------------------------------------------------------------------- */

/* Closes a sink through its close slot; NULL is ignored. */
SV_API void sv_sink_close(sv_sink *sink) SV_NOEXCEPT;

/* A sink into the file at path (created or truncated, mode 0644), written like a descriptor
 * sink. "sink_to_file requires path" and "sink_to_file requires path and out" (SV_ERR_INVALID,
 * checked before the file is touched); "failed to open file sink" (SV_ERR_TRANSPORT, system
 * error text as detail); "failed to allocate fd sink" (SV_ERR_NOMEM). */
SV_API int sv_sink_to_file(const char *path, sv_sink **out, sv_error *error) SV_NOEXCEPT;

/* A sink into a descriptor, which stays open and the caller's. Each write is one write(2); a
 * failed or short write is SV_ERR_TRANSPORT "failed to write to fd sink" and is not retried.
 * "sink_to_fd requires out" (SV_ERR_INVALID); "failed to allocate fd sink" (SV_ERR_NOMEM). */
SV_API int sv_sink_to_fd(int fd, sv_sink **out, sv_error *error) SV_NOEXCEPT;

/* A sink that collects the bytes in memory (capacity 4096 first, doubling; a failed growth is
 * SV_ERR_NOMEM "failed to grow memory sink"). "sink_to_memory requires out" (SV_ERR_INVALID);
 * "failed to allocate memory sink" (SV_ERR_NOMEM). */
SV_API int sv_sink_to_memory(sv_sink **out, sv_error *error) SV_NOEXCEPT;

/* The bytes collected by a memory sink, still owned by it and valid until its next write or
 * close (*out_bytes is NULL while nothing was written). Returns 0, or 1 without touching the
 * outputs when an argument is NULL or the sink is not a memory sink. */
SV_API int sv_sink_memory_bytes(sv_sink *sink, const char **out_bytes, size_t *out_length)
    SV_NOEXCEPT;

/* Copies src into dst in chunks of 8192 bytes until src ends. *out_total (when given) receives
 * the bytes the sink accepted, also after a failure. Returns SV_OK, the code of a failed read,
 * or the code of a failed write (SV_ERR_TRANSPORT when the sink set none).
 * "sv_copy requires src and dst" (SV_ERR_INVALID). */
SV_API int sv_copy(sv_source *src, sv_sink *dst, uint64_t *out_total, sv_error *error) SV_NOEXCEPT;

/* ---- Stream pipe ------------------------------------------------------------------------- */

/* A bounded ring between one producer thread (write, then finish or fail) and one consumer
 * thread (reads the source returned by open, then closes it). Whichever side lets go last
 * frees the pipe; neither side may touch it afterwards. */
typedef struct sv_stream_pipe sv_stream_pipe;

/* Opens a pipe with a ring of buffer_size bytes (0 means 65536), allocated through allocator
 * (NULL: the system allocator). *out_source is the consumer's side: its read blocks until
 * bytes arrive or the producer finishes, it cannot be reset ("streamed payloads are not
 * rewindable"), and closing it releases the consumer's side. "stream pipe requires out and
 * pipe" (SV_ERR_INVALID); "failed to allocate stream pipe", "failed to allocate stream buffer"
 * or "failed to allocate stream source" (SV_ERR_NOMEM). */
SV_API int sv_stream_pipe_open(size_t buffer_size, const sv_allocator *allocator,
                               sv_source **out_source, sv_stream_pipe **out_pipe, sv_error *error)
    SV_NOEXCEPT;
/* Producer: places all bytes into the ring, waiting while it is full. Fails with
 * SV_ERR_TRANSPORT "stream consumer closed payload early" once the consumer has closed, and
 * SV_ERR_INVALID "stream pipe write requires pipe" without a pipe. */
SV_API int sv_stream_pipe_write(sv_stream_pipe *pipe, const char *bytes, size_t length,
                                sv_error *error) SV_NOEXCEPT;
/* Producer: the payload is complete; the consumer reads what is buffered, then the end.
 * Releases the producer's side. NULL is ignored. */
SV_API void sv_stream_pipe_finish(sv_stream_pipe *pipe) SV_NOEXCEPT;
/* Producer: the payload failed with code (0 means SV_ERR_TRANSPORT) and message (NULL means
 * "stream delivery failed"); the consumer reads what is buffered, then the failure. Releases
 * the producer's side. NULL is ignored. */
SV_API void sv_stream_pipe_fail(sv_stream_pipe *pipe, int code, const char *message) SV_NOEXCEPT;

/* ---- Engine bridges ---------------------------------------------------------------------- */

/* Engine callbacks over a public source or sink. context points at a record whose first member
 * is the sv_source * (read, reset) or sv_sink * (write). A source or sink failure becomes an
 * engine error SV_ERR_TRANSPORT with the source's or sink's message. The reset bridge fails with
 * SV_ERR_INVALID "payload reset requires source" without a source and "payload source is not
 * rewindable" for a source without a reset slot. */
SV_API size_t sv_engine_read_bridge(void *context, char *buffer, size_t capacity,
                                    sv_engine_error *engine_error) SV_NOEXCEPT;
/* The engine writer over a public sink: writes the bytes to it; non-zero when it took them all. */
SV_API int sv_engine_write_bridge(void *context, const char *bytes, size_t length,
                                  sv_engine_error *engine_error) SV_NOEXCEPT;
/* The engine reset over a public source: rewinds it through its reset slot; 0 on success. */
SV_API int sv_engine_reset_bridge(void *context, sv_engine_error *engine_error) SV_NOEXCEPT;

/* ---- JSON files -------------------------------------------------------------------------- */

/* An engine writer that appends to an open stdio file (context is the FILE *). Returns 1 when
 * the chunk was written whole. "file write callback requires file and bytes" (SV_ERR_INVALID);
 * a short write is SV_ERR_TRANSPORT with the system's error text, or "failed to write temporary
 * JSON file". */
SV_API int sv_engine_file_write_callback(void *file, const char *bytes, size_t length,
                                         sv_engine_error *engine_error) SV_NOEXCEPT;

/* Parses the JSON of an open file into destination, a record described by map. A brindle
 * failure is mapped as by sv_brindle_error_from_status with message as the message. A NULL
 * file, map or destination fails with SV_ERR_INVALID and message, or "brindle parse requires
 * file, map, and destination" when message is NULL. */
SV_API int sv_brindle_parse_file(FILE *file, const brindle_map *map, void *destination,
                                 const brindle_parse_options *options, sv_error *error,
                                 const char *message) SV_NOEXCEPT;
/* Serializes source, a record described by map, into an open file (not flushed); failures as
 * above, "brindle serialize requires file, map, and source" for missing arguments. */
SV_API int sv_brindle_serialize_file(FILE *file, const brindle_map *map, const void *source,
                                     const brindle_write_options *options, sv_error *error,
                                     const char *message) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_IO_H */
