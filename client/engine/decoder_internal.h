// The answer decoders of the streamed operations without a transfer: header lines and body bytes
// go through the very callbacks a libcurl transfer drives, so fuzz targets and tests can feed
// them bytes of their own. Nothing here is exported.
#ifndef STAVOC_ENGINE_DECODER_INTERNAL_H
#define STAVOC_ENGINE_DECODER_INTERNAL_H

#include "query_internal.h"
#include "queue_internal.h"
#include "stream_internal.h"

// Subscribe and dequeue streams (multipart meta and payload parts to a message handler).
struct sv_engine_queue_stream_decoder;
// NULL when out of memory. client supplies the byte limits; error receives failures.
sv_engine_queue_stream_decoder *sv_engine_queue_stream_decoder_open(
    const sv_engine_client *client, const sv_engine_message_handler *handler, void *context,
    sv_engine_error *error) noexcept;
// One header line or body chunk, as libcurl hands them over: returns length, or anything else
// when the transfer would stop here.
size_t sv_engine_queue_stream_decoder_header(sv_engine_queue_stream_decoder *decoder, char *line,
                                             size_t length) noexcept;
size_t sv_engine_queue_stream_decoder_body(sv_engine_queue_stream_decoder *decoder, char *bytes,
                                           size_t length) noexcept;
// After the last byte (or a refused one): the status the operation's attempt ends with.
int sv_engine_queue_stream_decoder_finish(sv_engine_queue_stream_decoder *decoder) noexcept;
void sv_engine_queue_stream_decoder_close(sv_engine_queue_stream_decoder *decoder) noexcept;

// The queue watch (server-sent events to a watch handler); the same protocol as above.
struct sv_engine_queue_watch_decoder;
sv_engine_queue_watch_decoder *sv_engine_queue_watch_decoder_open(
    sv_engine_queue_watch_handler handler, void *context, sv_engine_error *error) noexcept;
size_t sv_engine_queue_watch_decoder_header(sv_engine_queue_watch_decoder *decoder, char *line,
                                            size_t length) noexcept;
size_t sv_engine_queue_watch_decoder_body(sv_engine_queue_watch_decoder *decoder, char *bytes,
                                          size_t length) noexcept;
int sv_engine_queue_watch_decoder_finish(sv_engine_queue_watch_decoder *decoder) noexcept;
void sv_engine_queue_watch_decoder_close(sv_engine_queue_watch_decoder *decoder) noexcept;

// The body consumer of query_keys (keys to a key handler); free with delete. NULL when out of
// memory.
QueryBodyConsumer *sv_engine_query_keys_consumer_new(const sv_engine_client *client,
                                                     const sv_engine_query_key_handler *handler,
                                                     void *context,
                                                     sv_engine_error *error) noexcept;

#endif
