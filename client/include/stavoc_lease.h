/*
 * Leases and the key operations of libstavoc: the request and result records of acquire,
 * describe, get, load, update, mutate, metadata, remove, keepalive, release and the attachment
 * operations, and the lease handle through which an application works on one leased key.
 *
 *   sv_acquire_req req;
 *   sv_acquire_req_init(&req);
 *   req.key = "orders/42";
 *   req.owner = "worker-1";
 *   req.ttl_seconds = 30;
 *   sv_lease *lease = NULL;
 *   if (sv_acquire(client, &req, &lease, &error) == SV_OK) {
 *     sv_lease_save(lease, &order_map, &order, NULL, &error);   (if-version = lease->version)
 *     sv_lease_release(lease, NULL, &error);                    (frees the handle on success)
 *   }
 *
 * Request records are caller-owned; their init functions zero every member, and a zero member
 * is "not given". Result records are caller-owned, start zeroed (or cleaned), receive copies
 * made with the system allocator and are freed by their cleanup functions, which accept NULL
 * and leave the record zeroed. A result is overwritten, not cleaned, by the operation that fills
 * it, so clean up a previous result before reusing its record.
 */
#ifndef STAVOC_LEASE_H
#define STAVOC_LEASE_H

#include <stddef.h>
#include <stdint.h>

#include "brindle_core.h"
#include "stavoc_client.h"
#include "stavoc_common.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Requests of the client operations ---------------------------------------------------- */

struct sv_acquire_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;
  const char *owner;
  int64_t ttl_seconds;
  int64_t block_seconds; /* wait this long for a held lease (0: do not wait) */
  int32_t if_not_exists; /* only acquire a key that has no state yet */
  const char *txn_id;    /* join this transaction */
};

struct sv_describe_req {
  const char *namespace_name;
  const char *key;
};

struct sv_get_opts {
  int32_t public_read; /* read the committed state without a lease */
};

/* The update options of a lease: explicit preconditions and the content type. */
typedef struct sv_update_opts {
  const char *if_state_etag;
  int64_t if_version;
  int32_t has_if_version;
  const char *content_type; /* NULL: "application/json" */
} sv_update_opts;

struct sv_update_req {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  const char *if_state_etag;
  int64_t if_version;
  int32_t has_if_version;
  const char *content_type;
};

/* Server-side mutation of a lease's key. */
typedef struct sv_mutate_req {
  const char *const *mutations; /* mutation expressions */
  size_t mutation_count;
  const char *if_state_etag;
  int64_t if_version;
  int32_t has_if_version;
} sv_mutate_req;

struct sv_mutate_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  const char *if_state_etag;
  int64_t if_version;
  int32_t has_if_version;
  const char *const *mutations;
  size_t mutation_count;
};

/* The local mutation request of a lease (defined with the local mutation support). */
typedef struct sv_mutate_local_req sv_mutate_local_req;

typedef struct sv_metadata_req {
  int32_t has_query_hidden; /* send query_hidden */
  int32_t query_hidden;
  int64_t if_version;
  int32_t has_if_version;
} sv_metadata_req;

struct sv_metadata_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  int64_t if_version;
  int32_t has_if_version;
  int32_t has_query_hidden;
  int32_t query_hidden;
};

typedef struct sv_remove_req {
  const char *if_state_etag;
  int64_t if_version;
  int32_t has_if_version;
} sv_remove_req;

struct sv_remove_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  const char *if_state_etag;
  int64_t if_version;
  int32_t has_if_version;
};

typedef struct sv_keepalive_req {
  int64_t ttl_seconds;
} sv_keepalive_req;

struct sv_keepalive_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t ttl_seconds;
  int64_t fencing_token;
};

typedef struct sv_release_req {
  int32_t rollback; /* discard the lease's staged writes */
} sv_release_req;

struct sv_release_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  int32_t rollback;
};

typedef struct sv_attach_req {
  const char *name;
  const char *content_type; /* NULL: "application/octet-stream" */
  int64_t max_bytes;        /* refuse a larger upload (0: the server's limit) */
  int32_t prevent_overwrite;
} sv_attach_req;

struct sv_attach_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  const char *name;
  const char *content_type;
  int64_t max_bytes;
  int32_t prevent_overwrite;
};

/* Which attachment: by id, by name or both. */
typedef struct sv_attachment_selector {
  const char *id;
  const char *name;
} sv_attachment_selector;

typedef struct sv_attachment_get_req {
  const char *id;
  const char *name;
  int32_t public_read;
} sv_attachment_get_req;

struct sv_attachment_list_req {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  int32_t public_read; /* list without a lease */
};

struct sv_attachment_get_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  sv_attachment_selector selector;
  int32_t public_read;
};

struct sv_attachment_delete_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  sv_attachment_selector selector;
};

struct sv_attachment_delete_all_op {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
};

/* The identity of a lease, for callers that keep one outside a handle. */
typedef struct sv_lease_ref {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
} sv_lease_ref;

/* Each zeroes every member of its record; NULL is ignored. */
SV_API void sv_acquire_req_init(sv_acquire_req *req) SV_NOEXCEPT;
SV_API void sv_describe_req_init(sv_describe_req *req) SV_NOEXCEPT;
SV_API void sv_get_opts_init(sv_get_opts *opts) SV_NOEXCEPT;
SV_API void sv_update_opts_init(sv_update_opts *opts) SV_NOEXCEPT;
SV_API void sv_update_req_init(sv_update_req *req) SV_NOEXCEPT;
SV_API void sv_mutate_req_init(sv_mutate_req *req) SV_NOEXCEPT;
SV_API void sv_mutate_op_init(sv_mutate_op *req) SV_NOEXCEPT;
SV_API void sv_metadata_req_init(sv_metadata_req *req) SV_NOEXCEPT;
SV_API void sv_metadata_op_init(sv_metadata_op *req) SV_NOEXCEPT;
SV_API void sv_remove_req_init(sv_remove_req *req) SV_NOEXCEPT;
SV_API void sv_remove_op_init(sv_remove_op *req) SV_NOEXCEPT;
SV_API void sv_keepalive_req_init(sv_keepalive_req *req) SV_NOEXCEPT;
SV_API void sv_keepalive_op_init(sv_keepalive_op *req) SV_NOEXCEPT;
SV_API void sv_release_req_init(sv_release_req *req) SV_NOEXCEPT;
SV_API void sv_release_op_init(sv_release_op *req) SV_NOEXCEPT;
SV_API void sv_attach_req_init(sv_attach_req *req) SV_NOEXCEPT;
SV_API void sv_attach_op_init(sv_attach_op *req) SV_NOEXCEPT;
SV_API void sv_attachment_selector_init(sv_attachment_selector *selector) SV_NOEXCEPT;
SV_API void sv_attachment_get_req_init(sv_attachment_get_req *req) SV_NOEXCEPT;
SV_API void sv_attachment_get_op_init(sv_attachment_get_op *req) SV_NOEXCEPT;
SV_API void sv_attachment_list_req_init(sv_attachment_list_req *req) SV_NOEXCEPT;
SV_API void sv_attachment_delete_op_init(sv_attachment_delete_op *req) SV_NOEXCEPT;
SV_API void sv_attachment_delete_all_op_init(sv_attachment_delete_all_op *req) SV_NOEXCEPT;
SV_API void sv_lease_ref_init(sv_lease_ref *ref) SV_NOEXCEPT;

/* ---- Results ------------------------------------------------------------------------------ */

struct sv_describe_res {
  char *namespace_name;
  char *key;
  char *owner;
  int64_t version;
  char *lease_id;
  int64_t expires_at_unix;
  char *state_etag;
  int32_t has_metadata;
  int32_t query_hidden;
  char *correlation_id;
};

struct sv_get_res {
  int32_t no_content; /* 1: the key has no state (nothing was written to the sink) */
  char *content_type;
  char *etag;
  int64_t version;
  int64_t fencing_token;
  char *correlation_id;
};

struct sv_update_res {
  int64_t new_version;
  char *new_state_etag;
  int64_t bytes;
  char *correlation_id;
};

struct sv_mutate_res {
  int64_t new_version;
  char *new_state_etag;
  int64_t bytes;
  char *correlation_id;
};

struct sv_metadata_res {
  char *namespace_name;
  char *key;
  int64_t version;
  int32_t has_metadata;
  int32_t query_hidden;
  char *correlation_id;
};

struct sv_remove_res {
  int32_t removed;
  int64_t new_version;
  char *correlation_id;
};

struct sv_keepalive_res {
  int64_t expires_at_unix;
  int64_t version;
  char *state_etag;
  char *correlation_id;
};

struct sv_release_res {
  int32_t released;
  char *correlation_id;
};

/* The description of one attachment. */
typedef struct sv_attachment_info {
  char *id;
  char *name;
  int64_t size;
  char *plaintext_sha256;
  char *content_type;
  int64_t created_at_unix;
  int64_t updated_at_unix;
} sv_attachment_info;

struct sv_attach_res {
  sv_attachment_info info;
  int32_t noop; /* the same bytes were already stored under this name */
  int64_t version;
  char *correlation_id;
};

struct sv_attachment_list {
  sv_attachment_info *items; /* count records */
  size_t count;
  char *correlation_id;
};

struct sv_attachment_get_res {
  sv_attachment_info info;
  char *correlation_id;
};

/* Each frees what the record owns and zeroes it; NULL is ignored. */
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_describe_res_init(sv_describe_res *res) SV_NOEXCEPT;
SV_API void sv_describe_res_cleanup(sv_describe_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_get_res_init(sv_get_res *res) SV_NOEXCEPT;
SV_API void sv_get_res_cleanup(sv_get_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_update_res_init(sv_update_res *res) SV_NOEXCEPT;
SV_API void sv_update_res_cleanup(sv_update_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_mutate_res_init(sv_mutate_res *res) SV_NOEXCEPT;
SV_API void sv_mutate_res_cleanup(sv_mutate_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_metadata_res_init(sv_metadata_res *res) SV_NOEXCEPT;
SV_API void sv_metadata_res_cleanup(sv_metadata_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_remove_res_init(sv_remove_res *res) SV_NOEXCEPT;
SV_API void sv_remove_res_cleanup(sv_remove_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_keepalive_res_init(sv_keepalive_res *res) SV_NOEXCEPT;
SV_API void sv_keepalive_res_cleanup(sv_keepalive_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_release_res_init(sv_release_res *res) SV_NOEXCEPT;
SV_API void sv_release_res_cleanup(sv_release_res *res) SV_NOEXCEPT;
SV_API void sv_attachment_info_cleanup(sv_attachment_info *info) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_attach_res_init(sv_attach_res *res) SV_NOEXCEPT;
SV_API void sv_attach_res_cleanup(sv_attach_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_attachment_list_init(sv_attachment_list *list) SV_NOEXCEPT;
SV_API void sv_attachment_list_cleanup(sv_attachment_list *list) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_attachment_get_res_init(sv_attachment_get_res *res) SV_NOEXCEPT;
SV_API void sv_attachment_get_res_cleanup(sv_attachment_get_res *res) SV_NOEXCEPT;
/* Zeroes dst, then copies every member of src (strings duplicated with the system allocator; a
 * failed copy leaves that member NULL). A NULL src leaves dst zeroed; a NULL dst is ignored. */
SV_API void sv_attachment_info_copy(sv_attachment_info *dst, const sv_attachment_info *src)
    SV_NOEXCEPT;

/* ---- Lease handle ------------------------------------------------------------------------- */

/* One lease on one key, created by sv_acquire (or with a message's state lease). The slots are
 * called through the sv_lease_* functions below. The view after the slots is read-only: it is
 * brought up to date by every successful operation, its strings belong to the handle and stay
 * valid until the next operation on it. Writes (save, update, mutate, metadata, remove) send
 * the view's version as their if-version precondition unless the caller gives one, as long as
 * the version is above 0. A failed operation leaves the view as it was. */
struct sv_lease {
  int (*describe)(sv_lease *self, sv_error *error);
  int (*get)(sv_lease *self, sv_sink *dst, const sv_get_opts *opts, sv_get_res *out,
             sv_error *error);
  int (*load)(sv_lease *self, const brindle_map *map, void *destination,
              const brindle_parse_options *parse_options, const sv_get_opts *opts, sv_get_res *out,
              sv_error *error);
  int (*save)(sv_lease *self, const brindle_map *map, const void *source,
              const brindle_write_options *write_options, sv_error *error);
  int (*update)(sv_lease *self, sv_source *src, const sv_update_opts *opts, sv_error *error);
  int (*mutate)(sv_lease *self, const sv_mutate_req *req, sv_error *error);
  int (*mutate_local)(sv_lease *self, const sv_mutate_local_req *req, sv_error *error);
  int (*metadata)(sv_lease *self, const sv_metadata_req *req, sv_error *error);
  int (*remove)(sv_lease *self, const sv_remove_req *req, sv_error *error);
  int (*keepalive)(sv_lease *self, const sv_keepalive_req *req, sv_error *error);
  int (*release)(sv_lease *self, const sv_release_req *req, sv_error *error);
  int (*attach)(sv_lease *self, const sv_attach_req *req, sv_source *src, sv_attach_res *out,
                sv_error *error);
  int (*list_attachments)(sv_lease *self, sv_attachment_list *out, sv_error *error);
  int (*get_attachment)(sv_lease *self, const sv_attachment_get_req *req, sv_sink *dst,
                        sv_attachment_get_res *out, sv_error *error);
  int (*delete_attachment)(sv_lease *self, const sv_attachment_selector *selector, int32_t *deleted,
                           sv_error *error);
  int (*delete_all_attachments)(sv_lease *self, int32_t *deleted_count, sv_error *error);
  void (*close)(sv_lease *self);

  const char *namespace_name;
  const char *key;
  const char *owner;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  int64_t version;
  int64_t expires_at_unix; /* 0 until describe or keepalive reports an expiry */
  const char *state_etag;
  int32_t has_metadata; /* query_hidden below is known */
  int32_t query_hidden;
};

/* Creates a handle for a lease the server granted, through the client's allocator, copying each
 * non-NULL string. NULL when client is NULL or the handle or one of the copies cannot be
 * allocated (nothing stays allocated then). */
SV_API sv_lease *sv_lease_new(sv_client *client, const char *namespace_name, const char *key,
                              const char *owner, const char *lease_id, const char *txn_id,
                              int64_t fencing_token, int64_t version, const char *state_etag)
    SV_NOEXCEPT;

/* The functions below call the lease's method slots. A NULL lease is SV_ERR_INVALID
 * ("<operation> requires lease", e.g. "lease keepalive requires lease"), nothing sent. */

/* Refreshes the view from the server: owner, state ETag, expiry, version and metadata. */
SV_API int sv_lease_describe(sv_lease *lease, sv_error *error) SV_NOEXCEPT;
/* Streams the key's state into dst and fills out; no_content = 1 when the key has no state.
 * "lease get requires self, dst, and out". */
SV_API int sv_lease_get(sv_lease *lease, sv_sink *dst, const sv_get_opts *opts, sv_get_res *out,
                        sv_error *error) SV_NOEXCEPT;
/* Parses the key's state into destination, a record described by map, while it arrives; a state
 * above the client's response limit (1 MiB when 0) fails with SV_ERR_PROTOCOL "mapped state
 * response exceeds configured byte limit". The destination is left to the caller's
 * brindle_cleanup also after a failure. "lease load requires self, map, destination, and out". */
SV_API int sv_lease_load(sv_lease *lease, const brindle_map *map, void *destination,
                         const brindle_parse_options *parse_options, const sv_get_opts *opts,
                         sv_get_res *out, sv_error *error) SV_NOEXCEPT;
/* Replaces the key's state with source, a record described by map, serialised while it
 * uploads (write_options NULL: the defaults). "lease save requires self, map, and source". */
SV_API int sv_lease_save(sv_lease *lease, const brindle_map *map, const void *source,
                         const brindle_write_options *write_options, sv_error *error) SV_NOEXCEPT;
/* Replaces the key's state with the bytes of src (rewound before a resend to another endpoint;
 * with two or more endpoints src must be rewindable). opts may be NULL.
 * "lease update requires self and src". */
SV_API int sv_lease_update(sv_lease *lease, sv_source *src, const sv_update_opts *opts,
                           sv_error *error) SV_NOEXCEPT;
/* Applies mutation expressions on the server. "lease mutate requires self and req". */
SV_API int sv_lease_mutate(sv_lease *lease, const sv_mutate_req *req, sv_error *error) SV_NOEXCEPT;
/* Applies mutation expressions locally and uploads the result (stavoc_mutate.h).
 * "lease mutate_local requires self and mutations". */
SV_API int sv_lease_mutate_local(sv_lease *lease, const sv_mutate_local_req *req, sv_error *error)
    SV_NOEXCEPT;
/* Changes the key's metadata (req may be NULL: nothing but the precondition is sent). */
SV_API int sv_lease_metadata(sv_lease *lease, const sv_metadata_req *req, sv_error *error)
    SV_NOEXCEPT;
/* Removes the key's state (req may be NULL); when removed, the view's state_etag becomes NULL. */
SV_API int sv_lease_remove(sv_lease *lease, const sv_remove_req *req, sv_error *error) SV_NOEXCEPT;
/* Extends the lease by req->ttl_seconds. "lease keepalive requires self and req". */
SV_API int sv_lease_keepalive(sv_lease *lease, const sv_keepalive_req *req, sv_error *error)
    SV_NOEXCEPT;
/* Releases the lease (req NULL: commit; req->rollback: discard the staged writes). On success
 * the handle is freed and must not be used or closed again; on failure it stays open. */
SV_API int sv_lease_release(sv_lease *lease, const sv_release_req *req, sv_error *error)
    SV_NOEXCEPT;
/* Stores the bytes of src as an attachment. "lease attach requires self, req, src, and out". */
SV_API int sv_lease_attach(sv_lease *lease, const sv_attach_req *req, sv_source *src,
                           sv_attach_res *out, sv_error *error) SV_NOEXCEPT;
/* Lists the key's attachments. "list_attachments requires self and out". */
SV_API int sv_lease_list_attachments(sv_lease *lease, sv_attachment_list *out, sv_error *error)
    SV_NOEXCEPT;
/* Streams one attachment into dst. "get_attachment requires self, req, dst, and out". */
SV_API int sv_lease_get_attachment(sv_lease *lease, const sv_attachment_get_req *req, sv_sink *dst,
                                   sv_attachment_get_res *out, sv_error *error) SV_NOEXCEPT;
/* Deletes one attachment; *deleted tells whether it existed.
 * "delete_attachment requires self, selector, and deleted". */
SV_API int sv_lease_delete_attachment(sv_lease *lease, const sv_attachment_selector *selector,
                                      int32_t *deleted, sv_error *error) SV_NOEXCEPT;
/* Deletes every attachment; *deleted_count receives how many.
 * "delete_all_attachments requires self and deleted_count". */
SV_API int sv_lease_delete_all_attachments(sv_lease *lease, int32_t *deleted_count, sv_error *error)
    SV_NOEXCEPT;
/* Frees the handle without a server call (the lease stays held until it expires). NULL is
 * ignored. */
SV_API void sv_lease_close(sv_lease *lease) SV_NOEXCEPT;

/* ---- acquire_for_update ------------------------------------------------------------------- */

/* What the handler of sv_acquire_for_update sees: the lease, and the key's state as it was read
 * right after the acquire. state is NULL when the key has no state (has_state = 0); it is
 * closed by the library after the handler returns and the handler must not close it. The
 * handler may release or close lease itself (sv_lease_release, sv_lease_close); the library then
 * neither releases nor frees it again. */
struct sv_update_view {
  sv_lease *lease;
  sv_source *state;
  int32_t has_state;
  const char *content_type;
  const char *etag;
  int64_t version;
  int64_t fencing_token;
  const char *correlation_id;
};

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_LEASE_H */
