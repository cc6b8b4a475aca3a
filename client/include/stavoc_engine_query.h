/*
 * Engine operations that query the documents of a namespace: the keys whose state matches a
 * selector (a JSON document), optionally projected to some fields, page by page.
 *
 *   sv_engine_client_query       one typed exchange that returns only the paging data
 *   sv_engine_client_query_into  passes the answer body (newline-delimited JSON documents, or
 *                                whatever the server chose) to the caller's writer untouched
 *   sv_engine_client_query_keys  parses a JSON keys answer and hands each key to the caller's
 *                                handler piece by piece (begin, chunks, end)
 *
 * The two streaming forms buffer nothing proportional to the result: only an error body (at most
 * 8192 bytes) and the paging strings. Paging data arrives in the response headers
 * X-Stavo-Query-Cursor, X-Stavo-Query-Index-Seq, X-Stavo-Query-Metadata and
 * X-Stavo-Query-Return and, for query_keys, also in the body (a header wins over the body). They
 * walk the configured endpoints in order, but only an endpoint that answers 503 "node_passive"
 * hands the call to the next one; a transport failure ends the call (part of an answer may already
 * have reached the caller). Writers and handlers run on the calling thread.
 */
#ifndef STAVOC_ENGINE_QUERY_H
#define STAVOC_ENGINE_QUERY_H

#include "stavoc_engine_core.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Strings borrowed for the call. The plain query uses the first six members. */
typedef struct sv_engine_query_request {
  const char *namespace_name; /* empty: the client's default namespace */
  const char *selector_json;  /* the selector, JSON text; required */
  int64_t limit;              /* sent only when at least 1 */
  const char *cursor;         /* sent only when non-empty: continue after this page */
  const char *fields_json;    /* JSON text (an array of field paths); sent when non-empty */
  const char *return_mode;    /* "return" member when non-empty; query_keys always sends "keys" */
  const char *engine;         /* query string "engine" when non-empty (streaming forms) */
  const char *refresh;        /* query string "refresh" when non-empty (streaming forms) */
} sv_engine_query_request;

/* Answer of the plain query; owned strings, free with sv_engine_query_response_cleanup. */
typedef struct sv_engine_query_response {
  char *cursor;         /* the next page's cursor, or NULL */
  int64_t index_seq;    /* the index sequence the answer reflects */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_query_response;

/* Answer of the streaming forms. Strings are allocated with the client's allocator hooks and
 * freed by sv_engine_query_stream_response_cleanup with the same client. */
typedef struct sv_engine_query_stream_response {
  char *cursor;          /* next page, from X-Stavo-Query-Cursor (or the keys body) */
  char *correlation_id;  /* X-Correlation-Id */
  char *metadata;        /* raw JSON text, from X-Stavo-Query-Metadata (or the keys body) */
  char *return_mode;     /* X-Stavo-Query-Return */
  uint64_t index_seq;    /* X-Stavo-Query-Index-Seq (or the keys body) */
  int32_t has_index_seq; /* set when index_seq was given */
  int64_t status;        /* HTTP status of the answer */
} sv_engine_query_stream_response;

/* Receives each key of a query_keys answer: begin, then the key's decoded text in one or more
 * chunks, then end. Each returns non-zero to continue; 0 stops the transfer (the function may
 * record why in error). begin and end may be NULL; a NULL chunk drops the text. */
typedef struct sv_engine_query_key_handler {
  int (*begin)(void *context, sv_engine_error *error); /* a key starts; NULL: skipped */
  /* The next piece of the key's decoded text; NULL drops the text. */
  int (*chunk)(void *context, const char *bytes, size_t length, sv_engine_error *error);
  int (*end)(void *context, sv_engine_error *error); /* the key is complete; NULL: skipped */
} sv_engine_query_key_handler;

/* Frees every owned string and zeroes the record; NULL is ignored. */
SV_API void sv_engine_query_response_cleanup(sv_engine_query_response *response) SV_NOEXCEPT;
/* Frees the strings with client's allocator hooks and zeroes the record; NULL is ignored. */
SV_API void sv_engine_query_stream_response_cleanup(const sv_engine_client *client,
                                                    sv_engine_query_stream_response *response)
    SV_NOEXCEPT;

/* POST /v1/query through the typed exchange with the body {"namespace", "selector", "limit",
 * "cursor", "fields", "return"} (optional members left out). Success is 200 only; the cursor and
 * index_seq of the JSON answer are copied into response (which is cleaned first). A selector or
 * fields text that is not one JSON value fails before any request. */
SV_API int sv_engine_client_query(const sv_engine_client *client,
                                  const sv_engine_query_request *request,
                                  sv_engine_query_response *response, sv_engine_error *error)
    SV_NOEXCEPT;

/* POST /v1/query?engine=...&refresh=... (parameters present only when set) asking for
 * newline-delimited JSON; a 2xx body goes to writer(writer_context, bytes, length, error) as it
 * arrives. The paging headers and the status fill response (cleaned first; on failure it is left
 * empty). A writer that returns 0 stops the call with its own error, or SV_ERR_TRANSPORT "query
 * writer callback failed". A non-2xx answer is never passed to the writer: it gives SV_ERR_SERVER
 * with the server's error members. error is required and is reset by the call. */
SV_API int sv_engine_client_query_into(const sv_engine_client *client,
                                       const sv_engine_query_request *request,
                                       sv_engine_writer_fn writer, void *writer_context,
                                       sv_engine_query_stream_response *response,
                                       sv_engine_error *error) SV_NOEXCEPT;

/* As query_into with "return":"keys": the JSON answer {"keys":[...], "cursor", "index_seq",
 * "metadata"} is parsed as it arrives and each key is delivered to handler piece by piece, so a
 * key longer than a network chunk arrives as several chunks between one begin and one end. After
 * the body, cursor, index_seq and metadata fill whatever the headers did not give. A handler
 * function that returns 0 stops the call with its own error, or SV_ERR_TRANSPORT "query key
 * begin|chunk|end callback failed". */
SV_API int sv_engine_client_query_keys(const sv_engine_client *client,
                                       const sv_engine_query_request *request,
                                       const sv_engine_query_key_handler *handler,
                                       void *handler_context,
                                       sv_engine_query_stream_response *response,
                                       sv_engine_error *error) SV_NOEXCEPT;

/* The URL of a streaming query to endpoint: the endpoint with a scheme as every exchange gives it
 * (see sv_engine_build_url), "/v1/query", then "?engine=E" and "&refresh=R" (or "?refresh=R"
 * alone) with percent-encoded values. Owned (free with free()); NULL on a NULL argument or when
 * allocation fails. */
SV_API char *sv_engine_query_url(const sv_engine_client *client, const char *endpoint,
                                 const sv_engine_query_request *request) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_QUERY_H */
