/*
 * Engine operations on one key: take a lease (acquire), keep it alive, release it, read the
 * key's JSON state (get), replace it (update, update_stream), apply mutation expressions on the
 * server (mutate), change the key's metadata, remove the key and describe it.
 *
 * Every operation takes (client, request, response, error) and returns an SV_* status. Request
 * records are caller-owned and their strings are borrowed for the call; an empty namespace means
 * the client's default. Response records are caller-owned, are cleaned by the operation before
 * it fills them, receive owned copies and are freed with their *_cleanup function. Success is
 * HTTP 200 only; any other answer gives SV_ERR_SERVER with the server's error members (for a
 * failed precondition: current_etag and current_version) and leaves the response empty.
 * correlation_id is the X-Correlation-Id header of the successful exchange, or NULL. A NULL
 * client, request or response gives SV_ERR_INVALID "client, request, and response are required".
 * K and N below are the key and the effective namespace, percent-encoded.
 */
#ifndef STAVOC_ENGINE_STATE_H
#define STAVOC_ENGINE_STATE_H

#include "stavoc_engine_core.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Requests (strings borrowed; flags are 0 or 1) ---------------------------------------- */

/* The request of sv_engine_client_acquire. */
typedef struct sv_engine_acquire_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *owner;          /* who holds the lease; required */
  int64_t ttl_seconds;        /* how long the lease lives without a keepalive, in seconds */
  int64_t block_seconds;      /* sent only when above 0 */
  int32_t if_not_exists;      /* sent only when set */
  const char *txn_id;         /* sent only when non-empty */
} sv_engine_acquire_request;

/* The request of sv_engine_client_keepalive. */
typedef struct sv_engine_keepalive_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t ttl_seconds;        /* the lease's new time to live, in seconds */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
} sv_engine_keepalive_request;

/* The request of sv_engine_client_release. */
typedef struct sv_engine_release_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  int32_t rollback;           /* discard the lease's staged writes */
} sv_engine_release_request;

/* The request of sv_engine_client_get and sv_engine_client_get_into. */
typedef struct sv_engine_get_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id (not needed with public_read) */
  int64_t fencing_token;      /* the lease's fencing token (X-Fencing-Token when above 0) */
  int32_t public_read;        /* read the committed state without a lease */
} sv_engine_get_request;

/* The request of the state writes (update, update_stream, update_from). */
typedef struct sv_engine_update_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  const char *if_state_etag;  /* X-If-State-ETag when non-empty */
  int64_t if_version;         /* X-If-Version when has_if_version */
  int32_t has_if_version;     /* 1: if_version is given */
  const char *body;           /* the new state document (update only) */
  size_t body_length;         /* bytes in body */
  /* Content-Type of the new state; NULL or empty: the operation's default. */
  const char *content_type;
} sv_engine_update_request;

/* The request of sv_engine_client_mutate. */
typedef struct sv_engine_mutate_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  const char *if_state_etag;  /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;         /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;     /* 1: if_version is given */
  const char *const *mutations; /* mutation expressions */
  size_t mutation_count;        /* expressions in mutations */
} sv_engine_mutate_request;

/* The request of sv_engine_client_update_metadata. */
typedef struct sv_engine_metadata_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  int64_t if_version;         /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;     /* 1: if_version is given */
  int32_t has_query_hidden;   /* send query_hidden */
  int32_t query_hidden;       /* 1: hide the key from queries (sent with has_query_hidden) */
} sv_engine_metadata_request;

/* The request of sv_engine_client_remove. */
typedef struct sv_engine_remove_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  const char *if_state_etag;  /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;         /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;     /* 1: if_version is given */
} sv_engine_remove_request;

/* The request of sv_engine_client_describe. */
typedef struct sv_engine_describe_request {
  const char *namespace_name; /* empty or NULL: the client's default namespace */
  const char *key;            /* the key; required */
} sv_engine_describe_request;

/* ---- Responses (owned copies) -------------------------------------------------------------- */

/* The answer of sv_engine_client_acquire: the granted lease. */
typedef struct sv_engine_acquire_response {
  char *namespace_name;    /* the namespace, as the server answered */
  char *key;               /* the key */
  char *owner;             /* the lease's owner */
  char *lease_id;          /* the new lease's id */
  char *txn_id;            /* the lease's transaction id */
  int64_t expires_at_unix; /* when the lease expires, in seconds since the epoch */
  int64_t version;         /* the key's version */
  char *state_etag;        /* the ETag of the key's state, or NULL when it has none */
  int64_t fencing_token;   /* the lease's fencing token, sent with every write */
  char *correlation_id;    /* X-Correlation-Id of the answer, or NULL */
} sv_engine_acquire_response;

/* The answer of sv_engine_client_keepalive. */
typedef struct sv_engine_keepalive_response {
  int64_t expires_at_unix; /* the lease's new expiry, in seconds since the epoch */
  int64_t version;         /* the key's version */
  char *state_etag;        /* the ETag of the key's state, or NULL */
  char *correlation_id;    /* X-Correlation-Id of the answer, or NULL */
} sv_engine_keepalive_response;

/* The answer of sv_engine_client_release. */
typedef struct sv_engine_release_response {
  int32_t released;     /* 1 on success */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_release_response;

/* The answer of sv_engine_client_get, with the state's bytes. */
typedef struct sv_engine_get_response {
  char *body;            /* owned bytes, NULL when empty */
  size_t body_length;    /* bytes in body */
  char *content_type;    /* Content-Type, or "application/octet-stream" */
  char *etag;            /* the state's ETag without surrounding double quotes */
  int64_t key_version;   /* X-Key-Version: the key's version */
  int64_t fencing_token; /* X-Fencing-Token: the fencing token of the lease */
  char *correlation_id;  /* X-Correlation-Id of the answer, or NULL */
} sv_engine_get_response;

/* The answer of update, update_stream, mutate and update_from. */
typedef struct sv_engine_update_response {
  int64_t new_version;  /* the key's version after the write */
  char *new_state_etag; /* the ETag of the written state */
  int64_t bytes;        /* bytes of the written state */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_update_response;

/* The answer of sv_engine_client_update_metadata. */
typedef struct sv_engine_metadata_response {
  char *namespace_name; /* the namespace, as the server answered */
  char *key;            /* the key */
  int64_t version;      /* the key's version after the change */
  int32_t has_metadata; /* 1 on success */
  int32_t query_hidden; /* 1: the key is hidden from queries */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_metadata_response;

/* The answer of sv_engine_client_remove. */
typedef struct sv_engine_remove_response {
  int32_t removed;      /* 1 when the server removed the key's state */
  int64_t new_version;  /* the key's version after the removal */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_remove_response;

/* The answer of sv_engine_client_describe. */
typedef struct sv_engine_describe_response {
  char *namespace_name;    /* the namespace, as the server answered */
  char *key;               /* the key */
  char *owner;             /* the owner of the lease that holds the key, or NULL */
  char *lease_id;          /* the id of that lease, or NULL */
  int64_t expires_at_unix; /* when that lease expires, in seconds since the epoch */
  int64_t version;         /* the key's version */
  char *state_etag;        /* the ETag of the key's state, or NULL */
  int64_t updated_at_unix; /* the key's last commit, in seconds since the epoch */
  int32_t has_metadata;    /* 1 on success */
  int32_t query_hidden;    /* 1: the key is hidden from queries */
  char *correlation_id;    /* X-Correlation-Id of the answer, or NULL */
} sv_engine_describe_response;

/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_acquire_response_cleanup(sv_engine_acquire_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_keepalive_response_cleanup(sv_engine_keepalive_response *response)
    SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_release_response_cleanup(sv_engine_release_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_get_response_cleanup(sv_engine_get_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_update_response_cleanup(sv_engine_update_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_metadata_response_cleanup(sv_engine_metadata_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_remove_response_cleanup(sv_engine_remove_response *response) SV_NOEXCEPT;
/* Free every owned member and zero the record; NULL is ignored. */
SV_API void sv_engine_describe_response_cleanup(sv_engine_describe_response *response) SV_NOEXCEPT;

/* ---- Request headers of the writes ------------------------------------------------------------
 */

/* Bytes that hold any int64 in decimal with its sign and NUL. */
#define SV_ENGINE_INT_TEXT_CAPACITY 24

/* Formats token in decimal into buffer (capacity bytes; SV_ENGINE_INT_TEXT_CAPACITY always
 * suffices) and points header at ("X-Fencing-Token", buffer); the pair borrows buffer.
 * SV_ERR_INVALID for a NULL buffer or header, SV_ERR_NOMEM when capacity is too small. */
SV_API int sv_engine_set_fencing_header(int64_t token, char *buffer, size_t capacity,
                                        sv_engine_header *header) SV_NOEXCEPT;

/* Appends the headers every state write carries to headers[*count ...], in this order:
 * Content-Type (content_type); X-Fencing-Token (fencing_token in decimal, formatted into
 * token_buffer as by sv_engine_set_fencing_header); X-Lease-ID only when lease_id is non-empty;
 * X-Txn-ID (always listed: a NULL or empty txn_id leaves the line without a value, which libcurl
 * does not send); X-If-State-ETag only when if_state_etag is non-empty. The pairs borrow every
 * string. *count is advanced on success only. SV_ERR_INVALID for NULL headers or count or
 * *count above capacity; SV_ERR_NOMEM when fewer than 5 slots are free or token_buffer is too
 * small. The caller appends X-If-Version itself. */
SV_API int sv_engine_apply_common_mutation_headers(sv_engine_header *headers, size_t capacity,
                                                   size_t *count, const char *content_type,
                                                   int64_t fencing_token, char *token_buffer,
                                                   size_t token_capacity, const char *lease_id,
                                                   const char *txn_id, const char *if_state_etag)
    SV_NOEXCEPT;

/* ---- Operations ----------------------------------------------------------------------------- */

/* POST /v1/acquire with {namespace, key, ttl_seconds, owner} and, only when they apply,
 * block_seconds (above 0), if_not_exists (set) and txn_id (non-empty). */
SV_API int sv_engine_client_acquire(const sv_engine_client *client,
                                    const sv_engine_acquire_request *request,
                                    sv_engine_acquire_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* POST /v1/keepalive with {namespace, key, lease_id, ttl_seconds, fencing_token} and txn_id when
 * non-empty; the fencing token travels in the body and in X-Fencing-Token. */
SV_API int sv_engine_client_keepalive(const sv_engine_client *client,
                                      const sv_engine_keepalive_request *request,
                                      sv_engine_keepalive_response *response,
                                      sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/release with {namespace, key, lease_id}, then txn_id when non-empty and rollback
 * when set; the fencing token travels only in X-Fencing-Token. released is 1 on success. */
SV_API int sv_engine_client_release(const sv_engine_client *client,
                                    const sv_engine_release_request *request,
                                    sv_engine_release_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* GET /v1/get into memory (through sv_engine_client_get_into); a 204 answer gives an empty
 * body. */
SV_API int sv_engine_client_get(const sv_engine_client *client,
                                const sv_engine_get_request *request,
                                sv_engine_get_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* POST /v1/update?key=K&namespace=N with the request's body bytes (NULL: an empty body) and the
 * common write headers (Content-Type = content_type or "application/octet-stream"), then
 * X-If-Version when has_if_version. SV_ERR_INVALID "update requires key, txn_id, and
 * fencing_token" unless key and txn_id are non-empty and fencing_token is above 0. */
SV_API int sv_engine_client_update(const sv_engine_client *client,
                                   const sv_engine_update_request *request,
                                   sv_engine_update_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* As update, with body_record serialised by body_map while it uploads (body_options: NULL for
 * the defaults); the request's body and body_length are ignored. SV_ERR_INVALID "update_stream
 * requires body map and source" when either is NULL. */
SV_API int sv_engine_client_update_stream(const sv_engine_client *client,
                                          const sv_engine_update_request *request,
                                          const brindle_map *body_map, const void *body_record,
                                          const brindle_write_options *body_options,
                                          sv_engine_update_response *response,
                                          sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/mutate?key=K&namespace=N with {"namespace":N, "mutations":[...]} (mutation_count
 * expressions) and the common write headers (Content-Type "application/json"), then
 * X-If-Version when has_if_version. */
SV_API int sv_engine_client_mutate(const sv_engine_client *client,
                                   const sv_engine_mutate_request *request,
                                   sv_engine_update_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* POST /v1/metadata?key=K&namespace=N with {"query_hidden":...} when has_query_hidden, else
 * {}; headers Content-Type, X-Fencing-Token, X-Lease-ID (when non-empty), X-Txn-ID, then
 * X-If-Version when has_if_version. has_metadata is 1 on success. */
SV_API int sv_engine_client_update_metadata(const sv_engine_client *client,
                                            const sv_engine_metadata_request *request,
                                            sv_engine_metadata_response *response,
                                            sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/remove?key=K&namespace=N with an empty body and the common write headers
 * (Content-Type "application/json"), then X-If-Version when has_if_version. SV_ERR_INVALID
 * "remove requires key, txn_id, and fencing_token" as for update. */
SV_API int sv_engine_client_remove(const sv_engine_client *client,
                                   const sv_engine_remove_request *request,
                                   sv_engine_remove_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* GET /v1/describe?key=K&namespace=N; SV_ERR_INVALID "describe.key is required" for an empty
 * key. has_metadata is 1 on success. */
SV_API int sv_engine_client_describe(const sv_engine_client *client,
                                     const sv_engine_describe_request *request,
                                     sv_engine_describe_response *response, sv_engine_error *error)
    SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_STATE_H */
