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

/* The request of sv_acquire and sv_acquire_for_update. */
struct sv_acquire_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the key to lease; required */
  const char *owner;          /* who holds the lease, as describe reports it; required */
  int64_t ttl_seconds;        /* how long the lease lives without a keepalive, in seconds */
  int64_t block_seconds;      /* wait this long for a held lease (0: do not wait) */
  int32_t if_not_exists;      /* only acquire a key that has no state yet */
  const char *txn_id;         /* join this transaction */
};

/* The request of sv_describe. */
struct sv_describe_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the key to describe; required */
};

/* Options of a state read (sv_get, sv_load, sv_lease_get, sv_lease_load). */
struct sv_get_opts {
  int32_t public_read; /* read the committed state without a lease */
};

/* The update options of a lease: explicit preconditions and the content type. */
typedef struct sv_update_opts {
  const char *if_state_etag; /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;        /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;    /* 1: if_version is given */
  const char *content_type;  /* NULL: "application/json" */
} sv_update_opts;

/* The request of sv_update: the leased key, its preconditions and content type. */
struct sv_update_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  const char *if_state_etag;  /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;         /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;     /* 1: if_version is given */
  const char *content_type;   /* the new state's content type; NULL: "application/json" */
};

/* Server-side mutation of a lease's key. */
typedef struct sv_mutate_req {
  const char *const *mutations; /* mutation expressions */
  size_t mutation_count;        /* expressions in mutations */
  const char *if_state_etag;    /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;     /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version; /* 1: if_version is given */
} sv_mutate_req;

/* The request of sv_mutate: the leased key, its preconditions and the expressions. */
struct sv_mutate_op {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  const char *if_state_etag;  /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;         /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;     /* 1: if_version is given */
  const char *const *mutations; /* the mutation expressions, mutation_count of them */
  size_t mutation_count;        /* expressions in mutations */
};

/* The local mutation request of a lease (defined with the local mutation support). */
typedef struct sv_mutate_local_req sv_mutate_local_req;

/* The arguments of sv_lease_metadata. */
typedef struct sv_metadata_req {
  int32_t has_query_hidden; /* send query_hidden */
  int32_t query_hidden;     /* 1: hide the key from queries (sent with has_query_hidden) */
  int64_t if_version;       /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;   /* 1: if_version is given */
} sv_metadata_req;

/* The request of sv_metadata: the leased key, its precondition and the metadata. */
struct sv_metadata_op {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  int64_t if_version;         /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;     /* 1: if_version is given */
  int32_t has_query_hidden;   /* 1: send query_hidden */
  int32_t query_hidden;       /* 1: hide the key from queries (sent with has_query_hidden) */
};

/* The arguments of sv_lease_remove: the preconditions. */
typedef struct sv_remove_req {
  const char *if_state_etag; /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;        /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;    /* 1: if_version is given */
} sv_remove_req;

/* The request of sv_remove. */
struct sv_remove_op {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  const char *if_state_etag;  /* write only when the state's ETag is this; NULL: not checked */
  int64_t if_version;         /* write only when the key's version is this (with has_if_version) */
  int32_t has_if_version;     /* 1: if_version is given */
};

/* The arguments of sv_lease_keepalive. */
typedef struct sv_keepalive_req {
  int64_t ttl_seconds; /* the lease's new time to live, in seconds */
} sv_keepalive_req;

/* The request of sv_keepalive. */
struct sv_keepalive_op {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t ttl_seconds;        /* the lease's new time to live, in seconds */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
};

/* The arguments of sv_lease_release. */
typedef struct sv_release_req {
  int32_t rollback; /* discard the lease's staged writes */
} sv_release_req;

/* The request of sv_release. */
struct sv_release_op {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  int32_t rollback;           /* 1: discard the lease's staged writes; 0: commit them */
};

/* The arguments of sv_lease_attach. */
typedef struct sv_attach_req {
  const char *name;          /* the attachment's name; required */
  const char *content_type;  /* NULL: "application/octet-stream" */
  int64_t max_bytes;         /* refuse a larger upload (0: the server's limit) */
  int32_t prevent_overwrite; /* 1: refuse to replace an attachment of the same name */
} sv_attach_req;

/* The request of sv_attach. */
struct sv_attach_op {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
  const char *name;           /* the attachment's name; required */
  const char *content_type;   /* NULL: "application/octet-stream" */
  int64_t max_bytes;          /* refuse a larger upload (0: the server's limit) */
  int32_t prevent_overwrite;  /* 1: refuse to replace an attachment of the same name */
};

/* Which attachment: by id, by name or both. */
typedef struct sv_attachment_selector {
  const char *id;   /* the attachment's id, or NULL */
  const char *name; /* the attachment's name, or NULL */
} sv_attachment_selector;

/* The arguments of sv_lease_get_attachment. */
typedef struct sv_attachment_get_req {
  const char *id;      /* the attachment's id, or NULL (then name is used) */
  const char *name;    /* the attachment's name, or NULL (then id is used) */
  int32_t public_read; /* 1: read without a lease */
} sv_attachment_get_req;

/* The request of sv_list_attachments. */
struct sv_attachment_list_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the key whose attachments are listed */
  const char *lease_id;       /* the lease's id (not needed with public_read) */
  const char *txn_id;         /* the lease's transaction id (not needed with public_read) */
  int64_t fencing_token;      /* the lease's fencing token */
  int32_t public_read;        /* list without a lease */
};

/* The request of sv_get_attachment. */
struct sv_attachment_get_op {
  const char *namespace_name;      /* NULL: the client's default namespace */
  const char *key;                 /* the leased key */
  const char *lease_id;            /* the lease's id, from the acquire */
  const char *txn_id;              /* the lease's transaction id, from the acquire */
  int64_t fencing_token;           /* the lease's fencing token, from the acquire */
  sv_attachment_selector selector; /* which attachment; an id or a name is required */
  int32_t public_read;             /* 1: read without a lease */
};

/* The request of sv_delete_attachment. */
struct sv_attachment_delete_op {
  const char *namespace_name;      /* NULL: the client's default namespace */
  const char *key;                 /* the leased key */
  const char *lease_id;            /* the lease's id, from the acquire */
  const char *txn_id;              /* the lease's transaction id, from the acquire */
  int64_t fencing_token;           /* the lease's fencing token, from the acquire */
  sv_attachment_selector selector; /* which attachment; an id or a name is required */
};

/* The request of sv_delete_all_attachments. */
struct sv_attachment_delete_all_op {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id, from the acquire */
  const char *txn_id;         /* the lease's transaction id, from the acquire */
  int64_t fencing_token;      /* the lease's fencing token, from the acquire */
};

/* The identity of a lease, for callers that keep one outside a handle. */
typedef struct sv_lease_ref {
  const char *namespace_name; /* the key's namespace (NULL: the client's default) */
  const char *key;            /* the leased key */
  const char *lease_id;       /* the lease's id */
  const char *txn_id;         /* the lease's transaction id */
  int64_t fencing_token;      /* the lease's fencing token */
} sv_lease_ref;

/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_acquire_req_init(sv_acquire_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_describe_req_init(sv_describe_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_get_opts_init(sv_get_opts *opts) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_update_opts_init(sv_update_opts *opts) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_update_req_init(sv_update_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_mutate_req_init(sv_mutate_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_mutate_op_init(sv_mutate_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_metadata_req_init(sv_metadata_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_metadata_op_init(sv_metadata_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_remove_req_init(sv_remove_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_remove_op_init(sv_remove_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_keepalive_req_init(sv_keepalive_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_keepalive_op_init(sv_keepalive_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_release_req_init(sv_release_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_release_op_init(sv_release_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attach_req_init(sv_attach_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attach_op_init(sv_attach_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attachment_selector_init(sv_attachment_selector *selector) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attachment_get_req_init(sv_attachment_get_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attachment_get_op_init(sv_attachment_get_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attachment_list_req_init(sv_attachment_list_req *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attachment_delete_op_init(sv_attachment_delete_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_attachment_delete_all_op_init(sv_attachment_delete_all_op *req) SV_NOEXCEPT;
/* Zeroes every member of the record; NULL is ignored. */
SV_API void sv_lease_ref_init(sv_lease_ref *ref) SV_NOEXCEPT;

/* ---- Results ------------------------------------------------------------------------------ */

/* The answer of sv_describe. */
struct sv_describe_res {
  char *namespace_name;    /* the key's namespace */
  char *key;               /* the key */
  char *owner;             /* the owner of the lease that holds the key, or NULL when none does */
  int64_t version;         /* the key's version */
  char *lease_id;          /* the id of the lease that holds the key, or NULL */
  int64_t expires_at_unix; /* when that lease expires, in seconds since the epoch (0: none) */
  char *state_etag;        /* the ETag of the key's state, or NULL when it has none */
  int32_t has_metadata;    /* 1 when query_hidden is known */
  int32_t query_hidden;    /* 1: the key is hidden from queries */
  char *correlation_id;    /* the answer's correlation id, or NULL */
};

/* The answer of a state read; the state itself went to the sink or the destination. */
struct sv_get_res {
  int32_t no_content;    /* 1: the key has no state (nothing was written to the sink) */
  char *content_type;    /* the state's content type, or NULL */
  char *etag;            /* the state's ETag, or NULL */
  int64_t version;       /* the key's version */
  int64_t fencing_token; /* the fencing token of the lease the read was made under (0: none) */
  char *correlation_id;  /* the answer's correlation id, or NULL */
};

/* The answer of sv_update. */
struct sv_update_res {
  int64_t new_version;  /* the key's version after the write */
  char *new_state_etag; /* the ETag of the written state */
  int64_t bytes;        /* bytes of the written state */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* The answer of sv_mutate. */
struct sv_mutate_res {
  int64_t new_version;  /* the key's version after the mutation */
  char *new_state_etag; /* the ETag of the mutated state */
  int64_t bytes;        /* bytes of the mutated state */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* The answer of sv_metadata. */
struct sv_metadata_res {
  char *namespace_name; /* the key's namespace */
  char *key;            /* the key */
  int64_t version;      /* the key's version after the change */
  int32_t has_metadata; /* 1 when query_hidden is known */
  int32_t query_hidden; /* 1: the key is hidden from queries */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* The answer of sv_remove. */
struct sv_remove_res {
  int32_t removed;      /* 1 when the key had state and it was removed */
  int64_t new_version;  /* the key's version after the removal */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* The answer of sv_keepalive. */
struct sv_keepalive_res {
  int64_t expires_at_unix; /* the lease's new expiry, in seconds since the epoch */
  int64_t version;         /* the key's version */
  char *state_etag;        /* the ETag of the key's state, or NULL */
  char *correlation_id;    /* the answer's correlation id, or NULL */
};

/* The answer of sv_release. */
struct sv_release_res {
  int32_t released;     /* 1 when the server released the lease */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* The description of one attachment. */
typedef struct sv_attachment_info {
  char *id;                /* the attachment's id */
  char *name;              /* the attachment's name */
  int64_t size;            /* its size in bytes */
  char *plaintext_sha256;  /* hex SHA-256 of its bytes */
  char *content_type;      /* its content type */
  int64_t created_at_unix; /* when it was first stored, in seconds since the epoch */
  int64_t updated_at_unix; /* when it was last stored, in seconds since the epoch */
} sv_attachment_info;

/* The answer of sv_attach and sv_lease_attach. */
struct sv_attach_res {
  sv_attachment_info info; /* the stored attachment */
  int32_t noop;            /* the same bytes were already stored under this name */
  int64_t version;         /* the key's version after the upload */
  char *correlation_id;    /* the answer's correlation id, or NULL */
};

/* The answer of sv_list_attachments and sv_lease_list_attachments. */
struct sv_attachment_list {
  sv_attachment_info *items; /* count records */
  size_t count;              /* records in items */
  char *correlation_id;      /* the answer's correlation id, or NULL */
};

/* The answer of sv_get_attachment and sv_lease_get_attachment; the bytes went to the sink. */
struct sv_attachment_get_res {
  sv_attachment_info info; /* the attachment's description, from the answer's headers */
  char *correlation_id;    /* the answer's correlation id, or NULL */
};

/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_describe_res_init(sv_describe_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_describe_res_cleanup(sv_describe_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_get_res_init(sv_get_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_get_res_cleanup(sv_get_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_update_res_init(sv_update_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_update_res_cleanup(sv_update_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_mutate_res_init(sv_mutate_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_mutate_res_cleanup(sv_mutate_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_metadata_res_init(sv_metadata_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_metadata_res_cleanup(sv_metadata_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_remove_res_init(sv_remove_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_remove_res_cleanup(sv_remove_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_keepalive_res_init(sv_keepalive_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_keepalive_res_cleanup(sv_keepalive_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_release_res_init(sv_release_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_release_res_cleanup(sv_release_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_attachment_info_cleanup(sv_attachment_info *info) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_attach_res_init(sv_attach_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_attach_res_cleanup(sv_attach_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_attachment_list_init(sv_attachment_list *list) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_attachment_list_cleanup(sv_attachment_list *list) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_attachment_get_res_init(sv_attachment_get_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
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
  int (*describe)(sv_lease *self, sv_error *error); /* the method of sv_lease_describe */
  /* The method of sv_lease_get. */
  int (*get)(sv_lease *self, sv_sink *dst, const sv_get_opts *opts, sv_get_res *out,
             sv_error *error);
  /* The method of sv_lease_load. */
  int (*load)(sv_lease *self, const brindle_map *map, void *destination,
              const brindle_parse_options *parse_options, const sv_get_opts *opts, sv_get_res *out,
              sv_error *error);
  /* The method of sv_lease_save. */
  int (*save)(sv_lease *self, const brindle_map *map, const void *source,
              const brindle_write_options *write_options, sv_error *error);
  /* The method of sv_lease_update. */
  int (*update)(sv_lease *self, sv_source *src, const sv_update_opts *opts, sv_error *error);
  /* The method of sv_lease_mutate. */
  int (*mutate)(sv_lease *self, const sv_mutate_req *req, sv_error *error);
  /* The method of sv_lease_mutate_local. */
  int (*mutate_local)(sv_lease *self, const sv_mutate_local_req *req, sv_error *error);
  /* The method of sv_lease_metadata. */
  int (*metadata)(sv_lease *self, const sv_metadata_req *req, sv_error *error);
  /* The method of sv_lease_remove. */
  int (*remove)(sv_lease *self, const sv_remove_req *req, sv_error *error);
  /* The method of sv_lease_keepalive. */
  int (*keepalive)(sv_lease *self, const sv_keepalive_req *req, sv_error *error);
  /* The method of sv_lease_release. */
  int (*release)(sv_lease *self, const sv_release_req *req, sv_error *error);
  /* The method of sv_lease_attach. */
  int (*attach)(sv_lease *self, const sv_attach_req *req, sv_source *src, sv_attach_res *out,
                sv_error *error);
  /* The method of sv_lease_list_attachments. */
  int (*list_attachments)(sv_lease *self, sv_attachment_list *out, sv_error *error);
  /* The method of sv_lease_get_attachment. */
  int (*get_attachment)(sv_lease *self, const sv_attachment_get_req *req, sv_sink *dst,
                        sv_attachment_get_res *out, sv_error *error);
  /* The method of sv_lease_delete_attachment. */
  int (*delete_attachment)(sv_lease *self, const sv_attachment_selector *selector, int32_t *deleted,
                           sv_error *error);
  /* The method of sv_lease_delete_all_attachments. */
  int (*delete_all_attachments)(sv_lease *self, int32_t *deleted_count, sv_error *error);
  void (*close)(sv_lease *self); /* the method of sv_lease_close */

  const char *namespace_name; /* the key's namespace */
  const char *key;            /* the leased key */
  const char *owner;          /* the lease's owner */
  const char *lease_id;       /* the lease's id */
  const char *txn_id;         /* the lease's transaction id */
  int64_t fencing_token;      /* the lease's fencing token, sent with every write */
  int64_t version; /* the key's version as last seen (the if-version of writes when above 0) */
  int64_t expires_at_unix; /* 0 until describe or keepalive reports an expiry */
  const char *state_etag;  /* the ETag of the key's state as last seen, or NULL */
  int32_t has_metadata;    /* query_hidden below is known */
  int32_t query_hidden;    /* 1: the key is hidden from queries (valid when has_metadata) */
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
 * right after the acquire. The handler must not close state. The handler may release or close
 * lease itself (sv_lease_release, sv_lease_close); the library then neither releases nor frees it
 * again. */
struct sv_update_view {
  sv_lease *lease; /* the held lease, owned by the library; released after the handler unless
                    * the handler released or closed it */
  /* The state's bytes, or NULL when the key has no state; closed by the library after the
   * handler returns. */
  sv_source *state;
  int32_t has_state;          /* 1 when the key has state, 0 when state is NULL */
  const char *content_type;   /* the state's content type, or NULL */
  const char *etag;           /* the state's ETag, or NULL */
  int64_t version;            /* the key's version when it was read */
  int64_t fencing_token;      /* the lease's fencing token */
  const char *correlation_id; /* correlation id of the read, or NULL */
};

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_LEASE_H */
