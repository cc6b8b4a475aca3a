/*
 * Core of the protocol engine of libstavoc: plain functions (prefix sv_engine_) that turn one
 * client call into HTTP exchanges with a stavo server. This header holds what every engine
 * operation shares: the error record, allocator hooks, a growable buffer, string helpers, the
 * engine client with its configuration and TLS client bundle, and the typed HTTP JSON exchange with
 * endpoint failover.
 *
 * This header does not include libcurl or OpenSSL headers. Where libcurl or OpenSSL types appear
 * they are spelled as follows, and the functions are ABI-compatible with libcurl's callback
 * types:
 *   - a CURL * easy handle and an SSL_CTX * are passed as void *;
 *   - callbacks that libcurl types as returning CURLcode return int (0 is CURLE_OK);
 *   - X509 * and EVP_PKEY * are written as their OpenSSL structure tags (struct x509_st,
 *     struct evp_pkey_st), so C++ callers that include OpenSSL get the real types.
 *
 * Every function returns an SV_* status where it can fail and fills the caller's
 * sv_engine_error when one is given. An engine client is read-only after open and may be used
 * from several threads at once; every exchange builds its own libcurl handle.
 */
#ifndef STAVOC_ENGINE_CORE_H
#define STAVOC_ENGINE_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "brindle_core.h"
#include "brindle_curl.h"
#include "ember.h"
#include "stavoc_common.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct x509_st;     /* OpenSSL X509 */
struct evp_pkey_st; /* OpenSSL EVP_PKEY */

/* ---- Error record ------------------------------------------------------------------------ */

/* Caller-owned; every string is owned by the record and freed by sv_engine_error_reset. */
typedef struct sv_engine_error {
  int32_t code;                /* SV_* status; 0 after init and reset */
  int64_t http_status;         /* HTTP status of the failed exchange (server errors only) */
  char *message;               /* human-readable message */
  char *server_error_code;     /* "error" member of the server's JSON error body */
  char *detail;                /* "detail" member of the error body */
  char *leader_endpoint;       /* "leader_endpoint" member of the error body */
  char *current_etag;          /* "current_etag" member of the error body */
  int64_t current_version;     /* "current_version" member of the error body */
  int64_t retry_after_seconds; /* "retry_after_seconds" member of the error body */
  char *correlation_id;        /* X-Correlation-Id of the failed exchange */
  int32_t transport_cause;     /* sv_transport_cause of an SV_ERR_TRANSPORT, 0 otherwise */
} sv_engine_error;

/* Zeroes every member; returns error. */
SV_API sv_engine_error *sv_engine_error_init(sv_engine_error *error) SV_NOEXCEPT;
/* Free every owned string, then zero every member. NULL is ignored. */
SV_API void sv_engine_error_reset(sv_engine_error *error) SV_NOEXCEPT;
/* Free every owned string, then zero every member. NULL is ignored. */
SV_API void sv_engine_error_cleanup(sv_engine_error *error) SV_NOEXCEPT;

/* Setters: reset the record, store code and a copy of message, return code. When the copy
 * cannot be made the record keeps the code without a message and SV_ERR_NOMEM is returned. A
 * NULL record only returns the code. */
SV_API int sv_engine_set_client_error(sv_engine_error *error, int code, const char *message)
    SV_NOEXCEPT;
/* As sv_engine_set_client_error with SV_ERR_TRANSPORT. */
SV_API int sv_engine_set_transport_error(sv_engine_error *error, const char *message) SV_NOEXCEPT;
/* As sv_engine_set_client_error with SV_ERR_PROTOCOL. */
SV_API int sv_engine_set_protocol_error(sv_engine_error *error, const char *message) SV_NOEXCEPT;
/* sv_engine_set_transport_error for a failed libcurl transfer (curl_code is its CURLcode), with
 * transport_cause set from it. */
SV_API int sv_engine_set_curl_transport_error(sv_engine_error *error, int curl_code,
                                              const char *message) SV_NOEXCEPT;
/* The sv_transport_cause of a CURLcode and libcurl's error text (which alone tells a connect
 * timeout, a whole-request timeout and a too-slow transfer apart). */
SV_API int32_t sv_engine_transport_cause_of(int curl_code, const char *message) SV_NOEXCEPT;

/* Turns a brindle status into an engine error: 0 stores nothing and returns 0; otherwise the
 * text is message, else the brindle error's message, else a default, and the code is
 * SV_ERR_INVALID (invalid argument), SV_ERR_NOMEM (allocation failed), SV_ERR_TRANSPORT
 * (callback, I/O and internal failures) or SV_ERR_PROTOCOL (everything else). */
SV_API int sv_engine_brindle_error_from_status(sv_engine_error *error, int status,
                                               const brindle_error *parse_error,
                                               const char *message) SV_NOEXCEPT;

/* ---- Allocator hooks --------------------------------------------------------------------- */

/* Memory hooks of an engine client; context is their first argument. */
typedef struct sv_engine_allocator {
  void *(*malloc_fn)(void *context, size_t size); /* allocates size bytes */
  /* Resizes pointer to size bytes; NULL: the system realloc. */
  void *(*realloc_fn)(void *context, void *pointer, size_t size);
  void (*free_fn)(void *context, void *pointer); /* frees pointer */
  void *context;                                 /* first argument of the three functions */
} sv_engine_allocator;

/* Zeroes the record: no hooks, the system allocator. */
SV_API void sv_engine_allocator_init(sv_engine_allocator *allocator) SV_NOEXCEPT;
/* The system allocator; the context is ignored. */
SV_API void *sv_engine_default_malloc(void *context, size_t size) SV_NOEXCEPT;
/* The system realloc; the context is ignored. */
SV_API void *sv_engine_default_realloc(void *context, void *pointer, size_t size) SV_NOEXCEPT;
/* The system free; the context is ignored. */
SV_API void sv_engine_default_free(void *context, void *pointer) SV_NOEXCEPT;

/* ---- Engine callbacks of streamed transfers ------------------------------------------------ */

/* Places up to capacity bytes; 0 ends the body (a failing reader records why in error). */
typedef size_t (*sv_engine_reader_fn)(void *context, char *buffer, size_t capacity,
                                      sv_engine_error *error);
/* Non-zero to continue, 0 to stop the transfer (the writer may record why in error). */
typedef int (*sv_engine_writer_fn)(void *context, const char *bytes, size_t length,
                                   sv_engine_error *error);
/* Rewinds the reader before a body is sent again; 0 on success. */
typedef int (*sv_engine_reset_fn)(void *context, sv_engine_error *error);

/* ---- Growable buffer --------------------------------------------------------------------- */

/* A growable byte buffer; growth starts at 256 bytes and doubles. */
typedef struct sv_engine_buffer {
  char *data;      /* owned bytes, NUL-terminated whenever non-NULL; NULL while empty */
  size_t length;   /* bytes in data, without the terminator */
  size_t capacity; /* bytes allocated for data */
} sv_engine_buffer;

/* Zeroes the buffer; nothing is allocated until the first append. */
SV_API void sv_engine_buffer_init(sv_engine_buffer *buffer) SV_NOEXCEPT;
/* Frees data and zeroes the buffer. */
SV_API void sv_engine_buffer_cleanup(sv_engine_buffer *buffer) SV_NOEXCEPT;
/* SV_ERR_INVALID for a NULL buffer or NULL bytes with length > 0; SV_ERR_NOMEM when growth
 * fails (the buffer is unchanged). */
SV_API int sv_engine_buffer_append(sv_engine_buffer *buffer, const char *bytes, size_t length)
    SV_NOEXCEPT;
/* A NULL string appends nothing and returns 0. */
SV_API int sv_engine_buffer_append_cstr(sv_engine_buffer *buffer, const char *text) SV_NOEXCEPT;
/* As above, but with limit != 0 nothing is appended and SV_ERR_NOMEM returned when the result
 * and its terminating NUL would exceed limit bytes. */
SV_API int sv_engine_buffer_append_limited(sv_engine_buffer *buffer, const char *bytes,
                                           size_t length, size_t limit) SV_NOEXCEPT;
/* sv_engine_buffer_append_limited for a NUL-terminated text. */
SV_API int sv_engine_buffer_append_cstr_limited(sv_engine_buffer *buffer, const char *text,
                                                size_t limit) SV_NOEXCEPT;

/* The memory cursor of sv_engine_json_memory_reader. */
typedef struct sv_engine_json_memory_cursor {
  const char *data; /* the next byte to hand out; borrowed */
  size_t remaining; /* bytes left from data on */
} sv_engine_json_memory_cursor;

/* A brindle reader over a memory cursor: copies min(remaining, capacity) bytes, advances the
 * cursor and reports eof with the last byte (and on any call with nothing left). */
SV_API brindle_read_result sv_engine_json_memory_reader(void *cursor, char *buffer, size_t capacity)
    SV_NOEXCEPT;

/* ---- Strings ----------------------------------------------------------------------------- */

/* The library's version, as sv_version_string gives it. */
SV_API const char *sv_engine_version_string(void) SV_NOEXCEPT;
/* Copies with the system allocator; NULL in (or end < start) gives NULL. */
SV_API char *sv_engine_strdup_local(const char *text) SV_NOEXCEPT;
/* A copy of [start, end) with a NUL, made with the system allocator. */
SV_API char *sv_engine_strdup_range(const char *start, const char *end) SV_NOEXCEPT;
/* Frees *text and sets it to NULL. */
SV_API void sv_engine_free_string(char **text) SV_NOEXCEPT;
/* Removes every trailing '/' in place; returns the new length. */
SV_API size_t sv_engine_trim_trailing_slash(char *text) SV_NOEXCEPT;
/* Percent-encodes with libcurl's escaping; NULL gives an owned empty string; NULL on allocation
 * failure. Free with free(). */
SV_API char *sv_engine_url_encode(const char *text) SV_NOEXCEPT;

/* ---- Client bundle ----------------------------------------------------------------------- */

/* Parsed PEM client bundle; each pointer holds one reference. */
typedef struct sv_engine_bundle {
  struct x509_st *certificate;     /* the client certificate */
  struct evp_pkey_st *private_key; /* its private key */
  struct x509_st **ca_certs;       /* CA certificates */
  size_t ca_count;                 /* entries in ca_certs */
  struct x509_st **chain_certs;    /* further non-CA certificates, in file order */
  size_t chain_count;              /* entries in chain_certs */
} sv_engine_bundle;

/* ---- Engine client ----------------------------------------------------------------------- */

/* Caller-owned; the engine copies what it keeps. */
typedef struct sv_engine_client_config {
  const char *const *endpoints;     /* base URLs, tried in this order */
  size_t endpoint_count;            /* at least 1 */
  const char *unix_socket_path;     /* non-empty: every request goes over this socket */
  sv_source *client_bundle_source;  /* yields the PEM bundle; wins over client_bundle_path */
  const char *client_bundle_path;   /* file holding the PEM bundle */
  const char *default_namespace;    /* NULL: "default" */
  int64_t timeout_ms;               /* unary deadline, a stream's bound until answered; below 1:
                                     * 30000 */
  int32_t disable_mtls;             /* no bundle, no TLS options; "http://" for bare hosts */
  int32_t insecure_skip_verify;     /* do not verify the server certificate or host name */
  int32_t prefer_http_2;            /* HTTP/2 over TLS (falling back to 1.1); 0: HTTP/1.1 */
  uint64_t response_limit_bytes;    /* typed JSON response limit; 0 means 1048576 */
  ember_logger *logger;             /* NULL: the shared no-op logger */
  int32_t disable_logger_sys_field; /* log through logger as given (no sys field) */
  sv_engine_allocator allocator;    /* for the layer above; open does not apply it */
  /* 1: the client keeps connections, TLS sessions and DNS answers in one pool that all its
   * exchanges and streams share (threads included), so calls after the first skip the connect
   * and the TLS handshake; every new connection is still verified. 0 (default): every exchange
   * opens and closes its own connection. */
  int32_t reuse_connections;
  int64_t connect_timeout_ms;     /* connect bound; below 1: 10000, at most timeout_ms */
  int64_t stream_idle_timeout_ms; /* no byte moved for this long (ms) ends a transfer as
                                   * SV_TRANSPORT_CAUSE_STREAM_IDLE; below 1: no bound */
  const char *client_cert_path;   /* PEM client certificate (and chain); with client_key_path
                                   * it replaces a bundle (a bundle wins) */
  const char *client_key_path;    /* PEM private key of client_cert_path */
  const char *ca_path;            /* PEM CA certificates that verify the server */
  int32_t trust_bundle_ca_only;   /* 1: trust the bundle's or ca_path's CAs alone */
} sv_engine_client_config;

/* An open engine client: made by sv_engine_client_open, read-only afterwards, freed by
 * sv_engine_client_close. */
typedef struct sv_engine_client {
  char **endpoints;        /* copies without trailing '/' */
  size_t endpoint_count;   /* entries in endpoints */
  char *unix_socket_path;  /* copy, or NULL */
  char *default_namespace; /* copy, or "default" */
  int64_t timeout_ms;   /* whole-request timeout in milliseconds (30000 when configured below 1) */
  int32_t disable_mtls; /* as configured */
  int32_t insecure_skip_verify;       /* as configured */
  int32_t prefer_http_2;              /* as configured */
  uint64_t response_limit_bytes;      /* as configured (0: 1048576) */
  int32_t disable_logger_sys_field;   /* as configured */
  ember_logger *base_logger;          /* caller's logger or the no-op logger; not owned */
  ember_logger *logger;               /* logger of every engine operation */
  int32_t owns_logger;                /* logger is a child made by open; close destroys it */
  int (*cancel_check)(void *context); /* polled by subscribe streams; NULL by default */
  void *cancel_context;               /* the argument of cancel_check */
  sv_engine_allocator allocator;      /* zero after open: the system allocator */
  sv_engine_bundle bundle;            /* empty when disable_mtls is set */
  int32_t reuse_connections;          /* 1 when connection_share is set */
  struct sv_engine_connection_share *connection_share; /* pool of reuse_connections, or NULL */
  struct sv_engine_trust_store *trust_store; /* CAs shared by every TLS context, or NULL */
  int64_t connect_timeout_ms;                /* as configured */
  int64_t stream_idle_timeout_ms;            /* as configured; below 1: no bound */
  int32_t trust_bundle_ca_only;              /* 1: no system CA store */
  char *ca_file;                             /* copy of ca_path, or NULL */
} sv_engine_client;

/* Zeroes the record; timeout_ms 30000, prefer_http_2 1. NULL is ignored. */
SV_API void sv_engine_client_config_init(sv_engine_client_config *config) SV_NOEXCEPT;
/* Validates the configuration, copies it, creates the client logger and (unless disable_mtls)
 * loads the client bundle. *out is written only on success. */
SV_API int sv_engine_client_open(const sv_engine_client_config *config, sv_engine_client **out,
                                 sv_engine_error *error) SV_NOEXCEPT;
/* Frees everything the client owns; NULL is ignored. */
SV_API void sv_engine_client_close(sv_engine_client *client) SV_NOEXCEPT;
/* The client's logger, or the shared no-op logger. */
SV_API ember_logger *sv_engine_client_logger(const sv_engine_client *client) SV_NOEXCEPT;
/* Installs the cancel check the streams poll (NULL: none) and its context. */
SV_API void sv_engine_client_set_cancel_check(sv_engine_client *client, int (*check)(void *context),
                                              void *context) SV_NOEXCEPT;
/* namespace_name when non-empty, else the client's default when non-empty, else "default". */
SV_API const char *sv_engine_effective_namespace(const sv_engine_client *client,
                                                 const char *namespace_name) SV_NOEXCEPT;

/* The client's allocator hooks (used by the four functions below). set requires malloc_fn and
 * free_fn (realloc_fn defaults to the system realloc); get returns the system functions when
 * none are set. Neither may run while other threads use the client. */
SV_API int sv_engine_client_set_allocator(sv_engine_client *client,
                                          const sv_engine_allocator *allocator,
                                          sv_engine_error *error) SV_NOEXCEPT;
/* Copies the client's allocator hooks into *out. */
SV_API int sv_engine_client_get_allocator(const sv_engine_client *client, sv_engine_allocator *out,
                                          sv_engine_error *error) SV_NOEXCEPT;
/* Allocates size bytes with the client's allocator hooks; NULL on failure. */
SV_API void *sv_engine_client_alloc(const sv_engine_client *client, size_t size) SV_NOEXCEPT;
/* Frees pointer with the client's allocator hooks. */
SV_API void sv_engine_client_free_alloc(const sv_engine_client *client, void *pointer) SV_NOEXCEPT;
/* A copy of text made with the client's allocator hooks; NULL for NULL or on failure. */
SV_API char *sv_engine_client_strdup(const sv_engine_client *client, const char *text) SV_NOEXCEPT;
/* A copy of [start, end) with a NUL, made with the client's allocator hooks. */
SV_API char *sv_engine_client_strdup_range(const sv_engine_client *client, const char *start,
                                           const char *end) SV_NOEXCEPT;

/* Loads the bundle from source (preferred) or path into client->bundle. A failure's detail
 * names the file (or "client_bundle_source") and the reason: the system's error for a file
 * that cannot be opened, "not PEM", or the missing certificate, matching key or CA. */
SV_API int sv_engine_load_bundle(sv_engine_client *client, sv_source *source, const char *path,
                                 sv_engine_error *error) SV_NOEXCEPT;
/* Loads the client certificate (with its chain; CA certificates in it are kept as CAs) and its
 * private key from two PEM files into client->bundle; errors as for sv_engine_load_bundle. */
SV_API int sv_engine_load_identity_files(sv_engine_client *client, const char *cert_path,
                                         const char *key_path, sv_engine_error *error) SV_NOEXCEPT;
/* Adds every certificate of a PEM file to client->bundle's CA certificates. */
SV_API int sv_engine_load_ca_file(sv_engine_client *client, const char *path,
                                  sv_engine_error *error) SV_NOEXCEPT;
/* Parses PEM from an OpenSSL BIO (passed as void *) into client->bundle. */
SV_API int sv_engine_load_bundle_from_bio(sv_engine_client *client, void *bio,
                                          sv_engine_error *error) SV_NOEXCEPT;
/* Drops every reference and zeroes the record; safe on an empty record. */
SV_API void sv_engine_free_bundle(sv_engine_bundle *bundle) SV_NOEXCEPT;

/* libcurl TLS-context callbacks (CURLOPT_SSL_CTX_FUNCTION, with the client as
 * CURLOPT_SSL_CTX_DATA): curl is the CURL *, ssl_ctx the SSL_CTX *, the result a CURLcode.
 * sv_engine_ssl_ctx_callback installs the bundle for JSON exchanges; the other three install it
 * for streamed transfers. */
SV_API int sv_engine_ssl_ctx_callback(void *curl, void *ssl_ctx, void *client) SV_NOEXCEPT;
/* The TLS-context callback of streamed state transfers. */
SV_API int sv_engine_stream_ssl_ctx(void *curl, void *ssl_ctx, void *client) SV_NOEXCEPT;
/* The TLS-context callback of attachment transfers. */
SV_API int sv_engine_attachment_ssl_ctx(void *curl, void *ssl_ctx, void *client) SV_NOEXCEPT;
/* The TLS-context callback of the queue streams. */
SV_API int sv_engine_queue_stream_ssl_ctx(void *curl, void *ssl_ctx, void *client) SV_NOEXCEPT;

/* ---- HTTP JSON exchange ------------------------------------------------------------------ */

/* One request header line: "name: value". */
typedef struct sv_engine_header {
  const char *name;  /* the header's name */
  const char *value; /* its value */
} sv_engine_header;

/* What one exchange returns. Caller-owned; strings are owned; free with
 * sv_engine_http_result_cleanup. The exchange overwrites the record without freeing it. */
typedef struct sv_engine_http_result {
  int64_t status;              /* HTTP status of the final response */
  char *correlation_id;        /* X-Correlation-Id */
  char *etag;                  /* ETag without surrounding double quotes */
  int64_t key_version;         /* X-Key-Version */
  int64_t fencing_token;       /* X-Fencing-Token */
  char *content_type;          /* Content-Type */
  char *header_error;          /* why a numeric header was rejected */
  char *server_error_code;     /* "error" of the JSON error body */
  char *detail;                /* "detail" of the error body */
  char *leader_endpoint;       /* "leader_endpoint" of the error body */
  char *current_etag;          /* "current_etag" of the error body */
  int64_t current_version;     /* "current_version" of the error body */
  int64_t retry_after_seconds; /* "retry_after_seconds" of the error body */
  int32_t header_invalid;      /* set with header_error */
} sv_engine_http_result;

/* Zeroes the record. */
SV_API void sv_engine_http_result_init(sv_engine_http_result *result) SV_NOEXCEPT;
/* Frees the strings and zeroes the record. */
SV_API void sv_engine_http_result_cleanup(sv_engine_http_result *result) SV_NOEXCEPT;

/* The server's JSON error body, map "sv_engine_http_error_json"; every member optional. */
typedef struct sv_engine_http_error_body {
  char *error;                 /* "error": the server's error code */
  char *detail;                /* "detail": the server's detail text */
  char *leader_endpoint;       /* "leader_endpoint": the leader to talk to */
  char *current_etag;          /* "current_etag": the ETag of a conflicting state */
  int64_t current_version;     /* "current_version": the version of a conflicting state */
  int64_t retry_after_seconds; /* "retry_after_seconds": how long to wait before a retry */
} sv_engine_http_error_body;

/* The field map of the error body ("sv_engine_http_error_json"). A function rather than an
 * exported object, so the library exports no data. */
SV_API const brindle_map *sv_engine_http_error_body_map(void) SV_NOEXCEPT;

/* Server errors: code SV_ERR_SERVER with "stavo returned a non-success status", the HTTP status,
 * the correlation id and the error body members. Returns SV_ERR_SERVER, or SV_ERR_NOMEM when a
 * copy fails. */
SV_API int sv_engine_set_server_error_from_result(sv_engine_error *error,
                                                  const sv_engine_http_result *result) SV_NOEXCEPT;
/* The same from a buffered error body; an undecodable body gives the brindle mapping with
 * "failed to decode error response body". */
SV_API int sv_engine_set_server_error_from_json(sv_engine_error *error, int64_t http_status,
                                                const char *correlation_id, const char *body)
    SV_NOEXCEPT;

/* The first bytes of an error answer, kept as text: the detail of the error when the body is not
 * the server's JSON error (a proxy's HTML page) or is too long to read whole. */
typedef struct sv_engine_error_excerpt {
  char text[512];    /* NUL-terminated; NUL bytes of the body become '?' */
  size_t length;     /* bytes in text */
  int32_t truncated; /* the body went on past the excerpt */
} sv_engine_error_excerpt;

/* Per-attempt state of one JSON exchange, shared by its write and header callbacks. */
typedef struct sv_engine_json_exchange_state {
  sv_engine_http_result *result;   /* the caller's result record */
  sv_engine_error *error;          /* the caller's error record */
  const brindle_map *response_map; /* success map and record (may be NULL) */
  void *response_record; /* the record the success body is parsed into, with response_map */
  sv_engine_http_error_body error_body; /* the parsed error body */
  brindle_curl_parse parse;             /* the response parser and its brindle error */
  uint64_t bytes_received;              /* body bytes received so far */
  uint64_t success_limit;               /* client's response_limit_bytes (1048576 when 0) */
  uint64_t error_limit;                 /* 8192 */
  int32_t parser_started;               /* 1 once the body parser was started for this attempt */
  int32_t error_mode;                   /* the final status is not 2xx */
  int32_t aborted;                      /* the write callback refused the body */
  int32_t discard_body; /* a 2xx body that nobody parses (204, 205, no response map) */
  char curl_error[256]; /* CURLOPT_ERRORBUFFER */
  /* A non-2xx body that is not the server's JSON error, or is longer than error_limit: the
   * answer keeps its status, with the excerpt as its detail. */
  sv_engine_error_excerpt error_excerpt;
  /* 1 when the error body is not the server's JSON error or too long; error_excerpt is then the
   * detail. */
  int32_t error_unreadable;
} sv_engine_json_exchange_state;

/* Prepares a state for one attempt; client may be NULL (default limits). */
SV_API void sv_engine_json_exchange_state_init(sv_engine_json_exchange_state *state,
                                               const sv_engine_client *client,
                                               sv_engine_http_result *result,
                                               sv_engine_error *error,
                                               const brindle_map *response_map,
                                               void *response_record) SV_NOEXCEPT;
/* Frees the parser and the error body record (not the caller's response record). */
SV_API void sv_engine_json_exchange_state_cleanup(sv_engine_json_exchange_state *state) SV_NOEXCEPT;

/* libcurl write and header callbacks of the JSON exchange; userdata is the exchange state. */
SV_API size_t sv_engine_json_http_write_callback(char *bytes, size_t size, size_t count,
                                                 void *state) SV_NOEXCEPT;
/* The libcurl header callback of the JSON exchange (state is the exchange state). */
SV_API size_t sv_engine_json_http_header_callback(char *line, size_t size, size_t count,
                                                  void *state) SV_NOEXCEPT;

/* The endpoint as is when it contains "://", else with "https://" (or "http://" when
 * disable_mtls is set) in front, then path. */
SV_API int sv_engine_build_url(const sv_engine_client *client, const char *endpoint,
                               const char *path, sv_engine_buffer *buffer) SV_NOEXCEPT;
/* The endpoints joined by ","; NULL when there are none. Free with free(). */
SV_API char *sv_engine_join_endpoints(const sv_engine_client *client) SV_NOEXCEPT;

/* One typed JSON exchange with a byte body (body may be NULL). Walks the endpoints in order,
 * moving on after a transport failure or a 503 "node_passive"; returns 0 when some endpoint
 * answered, whatever its status (see result->status). A 2xx body is parsed into
 * response_record with response_map (the record is initialised by the call, so
 * brindle_cleanup is always safe on it afterwards); a body of status 400 and above is parsed
 * into the result's server error members. */
SV_API int sv_engine_http_json_request(const sv_engine_client *client, const char *method,
                                       const char *path, const char *body, size_t body_length,
                                       const sv_engine_header *headers, size_t header_count,
                                       const brindle_map *response_map, void *response_record,
                                       sv_engine_http_result *result, sv_engine_error *error)
    SV_NOEXCEPT;
/* The same with a body generated from body_record by body_map while it uploads (both NULL: no
 * body). body_options are the generator's write options (NULL: defaults). */
SV_API int sv_engine_http_json_request_stream(
    const sv_engine_client *client, const char *method, const char *path,
    const brindle_map *body_map, const void *body_record, const brindle_write_options *body_options,
    const sv_engine_header *headers, size_t header_count, const brindle_map *response_map,
    void *response_record, sv_engine_http_result *result, sv_engine_error *error) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_CORE_H */
