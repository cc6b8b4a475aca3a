/*
 * Adapters between libbrindle's incremental machinery and libcurl's transfer callbacks: a
 * response body is parsed while it arrives, a request body is generated while it is sent.
 *
 * Install a write function with CURLOPT_WRITEFUNCTION and the adapter as CURLOPT_WRITEDATA, a
 * read function with CURLOPT_READFUNCTION and the adapter as CURLOPT_READDATA. The adapters make
 * no libcurl calls and this header does not include curl/curl.h, so libbrindle has no libcurl
 * build dependency; BRINDLE_CURL_READFUNC_ABORT equals libcurl's CURL_READFUNC_ABORT.
 *
 * Every adapter keeps its first failure in its error record, where the caller reads it after
 * libcurl reports the aborted transfer. Write callbacks accept all bytes of a call or none.
 */
#ifndef BRINDLE_CURL_H
#define BRINDLE_CURL_H

#include "brindle_core.h"
#include "brindle_io.h"
#include "brindle_stream.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
/* The read callback's abort value (libcurl's CURL_READFUNC_ABORT). */
#define BRINDLE_CURL_READFUNC_ABORT (static_cast<size_t>(0x10000000))
#else
#define BRINDLE_CURL_READFUNC_ABORT ((size_t)0x10000000)
#endif

/* ---- Response body into one mapped record ------------------------------------------------ */

/* The adapter of a response body parsed into one mapped record. */
typedef struct brindle_curl_parse {
  struct brindle_parser *parser; /* owned push-parser state */
  brindle_error error;           /* the adapter's first failure */
} brindle_curl_parse;

/* Allocates the parser (through options->allocator) and starts a document for the map; with
 * options->clear_destination (the default) the destination is initialised first. Failures are
 * also recorded in adapter->error. */
BRINDLE_API brindle_status brindle_curl_parse_init(brindle_curl_parse *adapter,
                                                   const brindle_map *map, void *destination,
                                                   const brindle_parse_options *options)
    BRINDLE_NOEXCEPT;
/* libcurl write callback (CURLOPT_WRITEFUNCTION, the adapter as CURLOPT_WRITEDATA): returns
 * size * count when the parser accepted the bytes, else 0 with the parser's failure copied to
 * adapter->error (and 0 again for every later call). */
BRINDLE_API size_t brindle_curl_write_callback(char *bytes, size_t size, size_t count,
                                               void *adapter) BRINDLE_NOEXCEPT;
/* End of the body: the parser's finish status (an incomplete document fails), its error record
 * copied to adapter->error. */
BRINDLE_API brindle_status brindle_curl_parse_finish(brindle_curl_parse *adapter) BRINDLE_NOEXCEPT;
/* Frees the parser; the destination record stays with the caller (brindle_cleanup it). */
BRINDLE_API void brindle_curl_parse_cleanup(brindle_curl_parse *adapter) BRINDLE_NOEXCEPT;

/* ---- Request body generated from one mapped record --------------------------------------- */

/* The adapter of a request body generated from one mapped record. */
typedef struct brindle_curl_upload {
  brindle_generator generator; /* failures are in generator.error */
} brindle_curl_upload;

/* Clears the adapter and starts its generator; returns the code recorded in
 * adapter->generator.error. */
BRINDLE_API brindle_status brindle_curl_upload_init(brindle_curl_upload *adapter,
                                                    const brindle_map *map, const void *record,
                                                    const brindle_write_options *options)
    BRINDLE_NOEXCEPT;
/* libcurl read callback (CURLOPT_READFUNCTION, the adapter as CURLOPT_READDATA): the bytes
 * produced into buffer (up to size * count), 0 once the document is complete, and
 * BRINDLE_CURL_READFUNC_ABORT for a NULL buffer or adapter or when generation fails (the cause
 * stays in adapter->generator.error). */
BRINDLE_API size_t brindle_curl_read_callback(char *buffer, size_t size, size_t count,
                                              void *adapter) BRINDLE_NOEXCEPT;
/* Always -1: the length is not known in advance. Callers that need it for
 * CURLOPT_POSTFIELDSIZE_LARGE use brindle_generator_measure; otherwise libcurl sends the body
 * chunked. */
BRINDLE_API long brindle_curl_upload_size(const brindle_curl_upload *adapter) BRINDLE_NOEXCEPT;
/* Cleans up the generator; NULL is fine. */
BRINDLE_API void brindle_curl_upload_cleanup(brindle_curl_upload *adapter) BRINDLE_NOEXCEPT;

/* ---- Response bodies holding arrays ------------------------------------------------------ */

/*
 * Each adapter owns a push array stream (brindle_stream.h) fed from libcurl's write callback, so
 * that every element is handled as soon as it is complete. field selects a member of a root
 * object, or is NULL/"" for a root array. The write callbacks return size * count when the
 * stream accepted the bytes (BRINDLE_OK or BRINDLE_TRUNCATED) and 0 otherwise: for a NULL adapter
 * or stream, NULL bytes with a non-zero length, a size * count that overflows, or a failure of
 * the stream, whose error record then goes to adapter->error. The first failure stays there
 * (later calls fail too); while none happened, adapter->error mirrors the stream's record, its
 * truncated flag kept once set. The finish functions return the stream's finish status (an
 * incomplete body: BRINDLE_INTERNAL_ERROR "push array stream blocked at EOF"); the cleanup
 * functions close the stream and clear the pointer (NULL adapters are ignored). The init
 * functions clear the adapter first and return the code left in adapter->error on failure (a
 * NULL adapter: BRINDLE_INVALID_ARGUMENT with no message); the array stream's open failures are
 * theirs too.
 */

/* Each element is parsed into destination, handed to item_callback and reset. */
typedef struct brindle_curl_array_parse {
  brindle_array_stream *stream;              /* owned push stream */
  const brindle_map *map;                    /* the element records' map */
  void *destination;                         /* the record each element is parsed into */
  brindle_array_item_callback item_callback; /* receives each parsed element */
  void *user_data;                           /* the first argument of item_callback */
  brindle_error error; /* the adapter's first failure, else the stream's record */
} brindle_curl_array_parse;

/* "map, destination, and callback are required". */
BRINDLE_API brindle_status brindle_curl_array_parse_init(brindle_curl_array_parse *adapter,
                                                         const char *field, const brindle_map *map,
                                                         void *destination,
                                                         const brindle_parse_options *options,
                                                         brindle_array_item_callback item_callback,
                                                         void *user_data) BRINDLE_NOEXCEPT;
/* The libcurl write callback of brindle_curl_array_parse. */
BRINDLE_API size_t brindle_curl_array_write_callback(char *bytes, size_t size, size_t count,
                                                     void *adapter) BRINDLE_NOEXCEPT;
/* End of the body: the stream's finish status. */
BRINDLE_API brindle_status brindle_curl_array_parse_finish(brindle_curl_array_parse *adapter)
    BRINDLE_NOEXCEPT;
/* Closes the stream and clears the pointer. */
BRINDLE_API void brindle_curl_array_parse_cleanup(brindle_curl_array_parse *adapter)
    BRINDLE_NOEXCEPT;

/* Each string element is delivered as begin, chunks, end. */
typedef struct brindle_curl_string_array_parse {
  brindle_array_stream *stream;           /* owned push stream */
  brindle_array_string_handlers handlers; /* the copied handler record */
  void *handler_context;                  /* the handlers' context */
  brindle_error error; /* the adapter's first failure, else the stream's record */
} brindle_curl_string_array_parse;

/* The handler record is copied; "string chunk handler is required" without it or its
 * item_chunk. */
BRINDLE_API brindle_status brindle_curl_string_array_parse_init(
    brindle_curl_string_array_parse *adapter, const char *field,
    const brindle_parse_options *options, const brindle_array_string_handlers *handlers,
    void *handler_context) BRINDLE_NOEXCEPT;
/* The libcurl write callback of brindle_curl_string_array_parse. */
BRINDLE_API size_t brindle_curl_string_array_write_callback(char *bytes, size_t size, size_t count,
                                                            void *adapter) BRINDLE_NOEXCEPT;
BRINDLE_API brindle_status
/* End of the body: the stream's finish status. */
brindle_curl_string_array_parse_finish(brindle_curl_string_array_parse *adapter) BRINDLE_NOEXCEPT;
/* Closes the stream and clears the pointer. */
BRINDLE_API void brindle_curl_string_array_parse_cleanup(brindle_curl_string_array_parse *adapter)
    BRINDLE_NOEXCEPT;

/* Each string element is collected whole (up to 1048576 bytes) and handed to item_callback. */
typedef struct brindle_curl_string_items_parse {
  brindle_array_stream *stream;                     /* owned push stream */
  brindle_array_string_item_callback item_callback; /* receives each whole string element */
  void *user_data;                                  /* the first argument of item_callback */
  brindle_error error; /* the adapter's first failure, else the stream's record */
} brindle_curl_string_items_parse;

/* "string item callback is required"; a callback cleared later fails the write and finish calls
 * with "array stream and string item callback are required". */
BRINDLE_API brindle_status brindle_curl_string_items_parse_init(
    brindle_curl_string_items_parse *adapter, const char *field,
    const brindle_parse_options *options, brindle_array_string_item_callback item_callback,
    void *user_data) BRINDLE_NOEXCEPT;
/* The libcurl write callback of brindle_curl_string_items_parse. */
BRINDLE_API size_t brindle_curl_string_items_write_callback(char *bytes, size_t size, size_t count,
                                                            void *adapter) BRINDLE_NOEXCEPT;
BRINDLE_API brindle_status
/* End of the body: the stream's finish status. */
brindle_curl_string_items_parse_finish(brindle_curl_string_items_parse *adapter) BRINDLE_NOEXCEPT;
/* Closes the stream and clears the pointer. */
BRINDLE_API void brindle_curl_string_items_parse_cleanup(brindle_curl_string_items_parse *adapter)
    BRINDLE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* BRINDLE_CURL_H */
