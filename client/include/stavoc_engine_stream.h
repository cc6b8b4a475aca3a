/*
 * Engine operations that move bytes whose size the library does not bound: reading a key's
 * state into a writer (get_into), writing it from a reader (update_from), enqueueing a message
 * whose payload comes from a reader (enqueue_from, a multipart/related upload), and the
 * attachments beside a key (upload, list, download, delete one, delete all).
 *
 * They share one transfer loop, sv_engine_perform_streaming: a success body goes to the
 * caller's writer chunk by chunk (raw mode) or through a parser into a typed record within the
 * client's response limit (typed mode); a body of status 400 and above is always parsed as the
 * server's error body. The request body is pulled from the caller's reader while libcurl sends
 * it (chunked, no length announced); before it is sent again to another endpoint it is rewound
 * through a reset callback. Only an answer whose error code is "node_passive" moves on to the
 * next endpoint; transport failures end the call. URLs follow sv_engine_build_url: bare
 * endpoints get "https://" (or "http://" with disable_mtls).
 *
 * The reader, writer and reset callback types are those of stavoc_engine_core.h. A reader that
 * must abort an upload returns libcurl's abort value (CURL_READFUNC_ABORT) after recording why
 * in the error record; returning 0 ends the body normally.
 *
 * Every operation takes the client first and an sv_engine_error last and returns an SV_*
 * status. Request strings are borrowed for the call; response records are cleaned by the
 * operation before it fills them and hold owned copies freed by their *_cleanup function.
 */
#ifndef STAVOC_ENGINE_STREAM_H
#define STAVOC_ENGINE_STREAM_H

#include "stavoc_engine_core.h"
#include "stavoc_engine_state.h"

#ifdef __cplusplus
extern "C" {
#endif

struct curl_slist; /* libcurl header list */

/* ---- Stream state -------------------------------------------------------------------------- */

/* One per call; the caller zeroes it, sets writer, writer_context and error, and runs
 * sv_engine_stream_state_cleanup after the call whatever its result. The transfer loop resets
 * the per-attempt members before each attempt. */
typedef struct sv_engine_stream_state {
  sv_engine_writer_fn writer;      /* receives raw success bodies; NULL drops them */
  void *writer_context;            /* the first argument of writer */
  sv_engine_error *error;          /* the call's error record (required) */
  int64_t status;                  /* HTTP status of the final response */
  char *correlation_id;            /* X-Correlation-Id */
  char *content_type;              /* Content-Type */
  char *etag;                      /* ETag without surrounding double quotes */
  int64_t key_version;             /* X-Key-Version */
  int64_t fencing_token;           /* X-Fencing-Token */
  char *attachment_id;             /* X-Attachment-ID */
  char *attachment_name;           /* X-Attachment-Name */
  char *attachment_sha256;         /* X-Attachment-SHA256 */
  int64_t attachment_size;         /* X-Attachment-Size */
  int64_t attachment_created_at;   /* X-Attachment-Created-At */
  int64_t attachment_updated_at;   /* X-Attachment-Updated-At */
  const brindle_map *response_map; /* typed success body (optional) */
  void *response_record; /* the record the typed success body is parsed into, with response_map */
  brindle_curl_parse parse;             /* the body parser and its brindle error */
  sv_engine_http_error_body error_body; /* "sv_engine_http_error_json" */
  uint64_t bytes_received;              /* typed body bytes so far */
  uint64_t byte_limit;                  /* response_limit_bytes, 1048576 when 0 */
  int32_t parser_started;               /* 1 once the body parser was started for this attempt */
  int32_t error_mode;                   /* the body is the server's error body */
  int32_t aborted; /* a callback stopped the transfer and stored why in error */
  /* As in the JSON exchange: an error body that is not the server's JSON error, or too long. */
  sv_engine_error_excerpt error_excerpt;
  /* 1 when the error body is not the server's JSON error or too long; error_excerpt is then the
   * detail. */
  int32_t error_unreadable;
} sv_engine_stream_state;

/* Frees the parser, the error body record and every captured string; writer, writer_context
 * and error stay. NULL is ignored. */
SV_API void sv_engine_stream_state_cleanup(sv_engine_stream_state *state) SV_NOEXCEPT;

/* ---- Transfer loop and helpers --------------------------------------------------------------- */

/* Runs one streamed request: method and path (with its query) on each endpoint in turn until
 * one answers with something other than error code "node_passive"; a transport failure before
 * any answer began (a refused or failed connect, a reset before the status line) also moves on
 * to the next endpoint. header_list is built by the
 * caller (sv_engine_build_stream_headers) and always freed by this function. With a reader the
 * body is uploaded chunked; before every attempt but the first, reset(reset_context, error) is
 * called when given, and a reader that already delivered bytes without a reset fails the call
 * (SV_ERR_INVALID "payload source is not rewindable") instead of sending a truncated body. With
 * response_map and response_record a 2xx body is parsed into the record (brindle_init first;
 * free it with brindle_cleanup), else it goes to state->writer. Returns 0 for a 2xx answer,
 * SV_ERR_SERVER with the error body members for other answers, SV_ERR_TRANSPORT for transport
 * failures and for "all endpoints rejected the request" (every endpoint passive), or the code a
 * callback stored. */
SV_API int sv_engine_perform_streaming(const sv_engine_client *client, const char *method,
                                       const char *path, struct curl_slist *header_list,
                                       sv_engine_reader_fn reader, void *reader_context,
                                       sv_engine_reset_fn reset, void *reset_context,
                                       const brindle_map *response_map, void *response_record,
                                       sv_engine_stream_state *state) SV_NOEXCEPT;

/* A reader that always returns 0: an empty body. */
SV_API size_t sv_engine_empty_reader(void *context, char *buffer, size_t capacity,
                                     sv_engine_error *error) SV_NOEXCEPT;

/* Header list with, in this order and each only when non-empty: Accept, Content-Type,
 * X-Lease-ID, X-Txn-ID, X-Fencing-Token (only when above 0). NULL when nothing was added or
 * on allocation failure (check with a non-NULL expectation only when a header is expected).
 * Free with curl_slist_free_all or hand it to sv_engine_perform_streaming. Values holding CR or
 * LF are refused (NULL), so a value cannot add header lines. */
SV_API struct curl_slist *sv_engine_build_stream_headers(const char *content_type,
                                                         const char *accept, const char *lease_id,
                                                         const char *txn_id, int64_t fencing_token)
    SV_NOEXCEPT;
/* Appends "name: value" to *list; 1 on success, 0 on allocation failure or when name or value
 * is NULL or holds CR or LF (the list is then unchanged). */
SV_API int sv_engine_append_header(struct curl_slist **list, const char *name, const char *value)
    SV_NOEXCEPT;
/* 1 when the length bytes equal name in ASCII letter case insensitively (lengths must match). */
SV_API int sv_engine_header_name_equals(const char *bytes, size_t length, const char *name)
    SV_NOEXCEPT;
/* Replaces *slot (freeing it) with a copy of [start, end); SV_ERR_NOMEM when the copy fails
 * (*slot then keeps its value), SV_ERR_INVALID for NULL arguments or end < start. */
SV_API int sv_engine_set_header_value(char **slot, const char *start, const char *end) SV_NOEXCEPT;

/* ---- Attachments: records ------------------------------------------------------------------- */

/* Which attachment: by id, by name or both (empty members are left out). */
typedef struct sv_engine_attachment_selector {
  const char *id;   /* the attachment's id; empty or NULL: not sent */
  const char *name; /* the attachment's name; empty or NULL: not sent */
} sv_engine_attachment_selector;

/* Appends to buffer: base_path, "?key=" key, then only when present and non-empty
 * "&namespace=", "&name=" name, "&name=" selector name, "&id=" selector id, "&content_type=",
 * "&prevent_overwrite=1" when set, "&max_bytes=" when has_max_bytes, "&public=1" when set.
 * Every value is percent-encoded. SV_ERR_NOMEM with the failing step's message. */
SV_API int sv_engine_attachment_build_query(sv_engine_buffer *buffer, const char *base_path,
                                            const char *namespace_name, const char *key,
                                            const sv_engine_attachment_selector *selector,
                                            int32_t public_flag, const char *name,
                                            const char *content_type, int32_t prevent_overwrite,
                                            int64_t max_bytes, int32_t has_max_bytes,
                                            sv_engine_error *error) SV_NOEXCEPT;

/* Attachment description; wire map "sv_engine_attachment_info_json" with the same keys. */
typedef struct sv_engine_attachment_info {
  char *id;                /* the attachment's id */
  char *name;              /* the attachment's name */
  int64_t size;            /* the attachment's size in bytes */
  char *plaintext_sha256;  /* hex SHA-256 of the attachment's bytes */
  char *content_type;      /* the attachment's content type */
  int64_t created_at_unix; /* when the attachment was first stored, in seconds since the epoch */
  int64_t updated_at_unix; /* when the attachment was last stored, in seconds since the epoch */
} sv_engine_attachment_info;

/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_engine_attachment_info_cleanup(sv_engine_attachment_info *info) SV_NOEXCEPT;

/* The request of sv_engine_client_attach_from. */
typedef struct sv_engine_attach_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* X-Fencing-Token when above 0 */
  const char *name;           /* the attachment's name; required */
  const char *content_type;   /* sent as query and Content-Type ("application/octet-stream") */
  int64_t max_bytes;          /* sent when has_max_bytes */
  int32_t has_max_bytes;      /* 1: send max_bytes */
  int32_t prevent_overwrite;  /* refuse to replace an attachment of the same name */
} sv_engine_attach_request;

/* The answer of an attachment upload: the stored attachment. */
typedef struct sv_engine_attach_response {
  char *id;                /* the attachment's id */
  char *name;              /* the attachment's name */
  int64_t size;            /* the attachment's size in bytes */
  char *plaintext_sha256;  /* hex SHA-256 of the attachment's bytes */
  char *content_type;      /* the attachment's content type */
  int64_t created_at_unix; /* when the attachment was first stored, in seconds since the epoch */
  int64_t updated_at_unix; /* when the attachment was last stored, in seconds since the epoch */
  int32_t noop;            /* the same bytes were already stored under this name */
  int64_t version;         /* the key's version after the upload */
  char *correlation_id;    /* X-Correlation-Id of the answer, or NULL */
} sv_engine_attach_response;

/* The request of sv_engine_client_list_attachments. */
typedef struct sv_engine_list_attachments_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id (not needed with public_read) */
  const char *txn_id;         /* the lease's transaction id (not needed with public_read) */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  int32_t public_read;        /* list without a lease */
} sv_engine_list_attachments_request;

/* The answer of sv_engine_client_list_attachments. */
typedef struct sv_engine_list_attachments_response {
  char *namespace_name;                   /* the namespace, as the server answered */
  char *key;                              /* the key */
  sv_engine_attachment_info *attachments; /* owned array of count records */
  size_t count;                           /* records in attachments */
  char *correlation_id;                   /* X-Correlation-Id of the answer, or NULL */
} sv_engine_list_attachments_response;

/* The request of sv_engine_client_get_attachment_into. */
typedef struct sv_engine_get_attachment_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id (not needed with public_read) */
  const char *txn_id;         /* the lease's transaction id (not needed with public_read) */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  int32_t public_read;        /* 1: read without a lease */
  sv_engine_attachment_selector selector; /* id or name is required */
} sv_engine_get_attachment_request;

/* The answer of sv_engine_client_get_attachment_into, from the answer's headers. */
typedef struct sv_engine_get_attachment_response {
  char *id;                /* the attachment's id */
  char *name;              /* the attachment's name */
  int64_t size;            /* the attachment's size in bytes */
  char *plaintext_sha256;  /* hex SHA-256 of the attachment's bytes */
  char *content_type;      /* the attachment's content type */
  int64_t created_at_unix; /* when the attachment was first stored, in seconds since the epoch */
  int64_t updated_at_unix; /* when the attachment was last stored, in seconds since the epoch */
  char *correlation_id;    /* X-Correlation-Id of the answer, or NULL */
} sv_engine_get_attachment_response;

/* The request of sv_engine_client_delete_attachment. */
typedef struct sv_engine_delete_attachment_request {
  const char *namespace_name;             /* empty or NULL: the client's default namespace */
  const char *key;                        /* the key; required */
  const char *lease_id;                   /* the lease's id, from the acquire */
  const char *txn_id;                     /* the lease's transaction id, from the acquire */
  int64_t fencing_token;                  /* the lease's fencing token, from the acquire */
  sv_engine_attachment_selector selector; /* which attachment; an id or a name is required */
} sv_engine_delete_attachment_request;

/* The answer of sv_engine_client_delete_attachment. */
typedef struct sv_engine_delete_attachment_response {
  int32_t deleted;      /* 1 when the attachment existed and was deleted */
  int64_t version;      /* the key's version after the deletion */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_delete_attachment_response;

/* The request of sv_engine_client_delete_all_attachments. */
typedef struct sv_engine_delete_all_attachments_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
} sv_engine_delete_all_attachments_request;

/* The answer of sv_engine_client_delete_all_attachments. */
typedef struct sv_engine_delete_all_attachments_response {
  int32_t deleted;      /* how many were deleted */
  int64_t version;      /* the key's version after the deletion */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_delete_all_attachments_response;

/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_attach_response_cleanup(sv_engine_attach_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_list_attachments_response_cleanup(
    sv_engine_list_attachments_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_get_attachment_response_cleanup(sv_engine_get_attachment_response *response)
    SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_delete_attachment_response_cleanup(
    sv_engine_delete_attachment_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_delete_all_attachments_response_cleanup(
    sv_engine_delete_all_attachments_response *response) SV_NOEXCEPT;

/* ---- State and queue records ------------------------------------------------------------------
 */

/* The answer of get_into (the body went to the writer). */
typedef struct sv_engine_get_stream_response {
  int32_t no_content;    /* the answer was 204: the key has no state */
  char *content_type;    /* Content-Type of the state */
  char *etag;            /* ETag without surrounding double quotes, as every answer gives it */
  int64_t key_version;   /* X-Key-Version: the key's version */
  int64_t fencing_token; /* X-Fencing-Token: the fencing token of the lease */
  char *correlation_id;  /* X-Correlation-Id of the answer, or NULL */
} sv_engine_get_stream_response;

/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_get_stream_response_cleanup(sv_engine_get_stream_response *response)
    SV_NOEXCEPT;

/* The request of sv_engine_client_enqueue_from: the message's meta part. */
typedef struct sv_engine_enqueue_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *queue;          /* the queue; required */
  int64_t delay_seconds;      /* the message stays invisible this long after the enqueue */
  /* How long a delivery stays invisible to others (0: the server's default). */
  int64_t visibility_timeout_seconds;
  int64_t ttl_seconds; /* the message's time to live, in seconds (0: no expiry) */
  /* Failed attempts before the message may go to the dead letters (0: the server's default). */
  int32_t max_attempts;
  const char *payload_content_type; /* empty: "application/octet-stream" */
} sv_engine_enqueue_request;

/* The answer of an enqueue: the stored message. */
typedef struct sv_engine_enqueue_response {
  char *namespace_name; /* the namespace, as the server answered */
  char *queue;          /* the queue */
  char *message_id;     /* the new message's id */
  int32_t attempts;     /* delivery attempts of the message, as the server counts them */
  int32_t max_attempts; /* failed attempts after which the message may go to the dead letters */
  /* Attempts that ended as a failure (these count towards max_attempts). */
  int32_t failure_attempts;
  int64_t not_visible_until_unix; /* when the message becomes visible, in seconds since the epoch */
  /* How long a delivery stays invisible to others, in seconds. */
  int64_t visibility_timeout_seconds;
  int64_t payload_bytes; /* bytes of the payload */
  char *correlation_id;  /* X-Correlation-Id of the answer, or NULL */
} sv_engine_enqueue_response;

/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_enqueue_response_cleanup(sv_engine_enqueue_response *response) SV_NOEXCEPT;

/* The boundary of enqueue uploads. */
#define SV_ENGINE_MULTIPART_BOUNDARY "stavoc-stream-boundary-7e4dbe2f"

/* The multipart body of enqueue_from, produced piece by piece: prefix (meta part and payload
 * part head), the payload reader's bytes, suffix (closing boundary). */
typedef struct sv_engine_multipart_upload {
  const char *prefix;                 /* borrowed for the call */
  size_t prefix_length;               /* bytes in prefix */
  size_t prefix_position;             /* bytes of prefix already sent */
  const char *suffix;                 /* the closing boundary; borrowed for the call */
  size_t suffix_length;               /* bytes in suffix */
  size_t suffix_position;             /* bytes of suffix already sent */
  sv_engine_reader_fn payload_reader; /* NULL: empty payload */
  void *payload_context;              /* the first argument of payload_reader */
  sv_engine_reset_fn payload_reset;   /* NULL: the payload cannot be rewound */
  void *payload_reset_context;        /* the first argument of payload_reset */
  int32_t payload_finished;           /* 1 once payload_reader returned 0 */
  int32_t payload_started;            /* the payload reader delivered bytes */
} sv_engine_multipart_upload;

/* Reader over an sv_engine_multipart_upload (the context): fills buffer from the rest of the
 * prefix, the payload and the suffix; 0 once everything was sent. A payload reader's abort value
 * is passed on unchanged. */
SV_API size_t sv_engine_multipart_upload_read(void *context, char *buffer, size_t capacity,
                                              sv_engine_error *error) SV_NOEXCEPT;
/* Rewinds the upload to its first byte, rewinding the payload through payload_reset.
 * SV_ERR_INVALID "multipart upload reset requires state" without a context, and "payload source
 * is not rewindable" when payload bytes went out and there is no payload_reset. */
SV_API int sv_engine_multipart_upload_reset(void *context, sv_engine_error *error) SV_NOEXCEPT;

/* ---- Operations -------------------------------------------------------------------------------
 */

/* GET /v1/get: the state's bytes go to writer as they arrive. no_content is set for a 204 (the
 * writer is not called). Requires key, and lease_id unless public_read. */
SV_API int sv_engine_client_get_into(const sv_engine_client *client,
                                     const sv_engine_get_request *request,
                                     sv_engine_writer_fn writer, void *writer_context,
                                     sv_engine_get_stream_response *response,
                                     sv_engine_error *error) SV_NOEXCEPT;

/* POST /v1/update with the reader's bytes (reader NULL: an empty body), Content-Type
 * content_type or "application/json", the lease headers and the preconditions X-If-State-ETag
 * and X-If-Version. Requires key, lease_id and fencing_token above 0. With two or more
 * endpoints the reader must be the public layer's source read bridge, whose source is rewound
 * through the source's reset before a resend ("multi-endpoint updates require sv_source-backed
 * rewindable payloads" otherwise). */
SV_API int sv_engine_client_update_from(const sv_engine_client *client,
                                        const sv_engine_update_request *request,
                                        sv_engine_reader_fn reader, void *reader_context,
                                        sv_engine_update_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* As update_from with the caller's own reset callback, for readers that rewind themselves.
 * With two or more endpoints and a reader, reset is required (same refusal message). */
SV_API int sv_engine_client_update_from_with_reset(const sv_engine_client *client,
                                                   const sv_engine_update_request *request,
                                                   sv_engine_reader_fn reader, void *reader_context,
                                                   sv_engine_reset_fn reset, void *reset_context,
                                                   sv_engine_update_response *response,
                                                   sv_engine_error *error) SV_NOEXCEPT;

/* POST /v1/queue/enqueue as multipart/related: a "meta" part with the request as JSON, then a
 * "payload" part with the reader's bytes (reader NULL: empty). Requires queue. The payload is
 * rewound before a resend when the reader is the public source read bridge. */
SV_API int sv_engine_client_enqueue_from(const sv_engine_client *client,
                                         const sv_engine_enqueue_request *request,
                                         sv_engine_reader_fn reader, void *reader_context,
                                         sv_engine_enqueue_response *response,
                                         sv_engine_error *error) SV_NOEXCEPT;
/* As enqueue_from with the caller's own payload reset (may be NULL). */
SV_API int sv_engine_client_enqueue_from_with_reset(
    const sv_engine_client *client, const sv_engine_enqueue_request *request,
    sv_engine_reader_fn reader, void *reader_context, sv_engine_reset_fn reset, void *reset_context,
    sv_engine_enqueue_response *response, sv_engine_error *error) SV_NOEXCEPT;

/* POST /v1/attachments with the reader's bytes. Requires reader, key, name, lease_id and
 * txn_id. */
SV_API int sv_engine_client_attach_from(const sv_engine_client *client,
                                        const sv_engine_attach_request *request,
                                        sv_engine_reader_fn reader, void *reader_context,
                                        sv_engine_attach_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* GET /v1/attachments. Requires key, and lease_id and txn_id unless public_read. */
SV_API int sv_engine_client_list_attachments(const sv_engine_client *client,
                                             const sv_engine_list_attachments_request *request,
                                             sv_engine_list_attachments_response *response,
                                             sv_engine_error *error) SV_NOEXCEPT;
/* GET /v1/attachment: the bytes go to writer; the description comes from the answer's
 * headers. Requires key, a selector id or name, and lease_id and txn_id unless public_read. */
SV_API int sv_engine_client_get_attachment_into(const sv_engine_client *client,
                                                const sv_engine_get_attachment_request *request,
                                                sv_engine_writer_fn writer, void *writer_context,
                                                sv_engine_get_attachment_response *response,
                                                sv_engine_error *error) SV_NOEXCEPT;
/* DELETE /v1/attachment. Requires key, lease_id and txn_id. */
SV_API int sv_engine_client_delete_attachment(const sv_engine_client *client,
                                              const sv_engine_delete_attachment_request *request,
                                              sv_engine_delete_attachment_response *response,
                                              sv_engine_error *error) SV_NOEXCEPT;
/* DELETE /v1/attachments. Requires key, lease_id and txn_id. */
SV_API int sv_engine_client_delete_all_attachments(
    const sv_engine_client *client, const sv_engine_delete_all_attachments_request *request,
    sv_engine_delete_all_attachments_response *response, sv_engine_error *error) SV_NOEXCEPT;

/* Parse an attach or list answer already in memory (json NUL-terminated); correlation_id may
 * be NULL. */
SV_API int sv_engine_parse_attach_response_json(const char *json, const char *correlation_id,
                                                sv_engine_attach_response *response,
                                                sv_engine_error *error) SV_NOEXCEPT;
/* Parses a list answer already in memory, as sv_engine_parse_attach_response_json does an attach
 * answer. */
SV_API int sv_engine_parse_list_attachments_response_json(
    const char *json, const char *correlation_id, sv_engine_list_attachments_response *response,
    sv_engine_error *error) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_STREAM_H */
