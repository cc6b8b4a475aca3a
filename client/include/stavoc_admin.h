/*
 * Queries and administration in libstavoc: the request and result records of query and
 * query_keys, a namespace's query engine configuration, index flushes, distributed transactions
 * (replay, prepare, commit, rollback), the transaction coordinator's leader lease, coordinator
 * cluster membership and resource managers. The operations themselves (sv_query,
 * sv_query_keys, sv_get_namespace_config, ..., sv_tc_rm_list) are declared in stavoc_client.h.
 *
 *   sv_query_req req;
 *   sv_query_req_init(&req);
 *   req.selector_json = "{\"/status\":\"open\"}";
 *   req.limit = 100;
 *   char *cursor = NULL;
 *   for (;;) {
 *     sv_query_res page = {0};
 *     req.cursor = cursor;
 *     int status = sv_query(client, &req, rows, &page, &error);   (rows: any sv_sink)
 *     free(cursor);
 *     cursor = status == SV_OK ? page.cursor : NULL;               (taken over from page)
 *     page.cursor = NULL;
 *     sv_query_res_cleanup(&page);
 *     if (cursor == NULL || cursor[0] == '\0') break;
 *   }
 *   free(cursor);
 *
 * Request records are caller-owned; their init functions zero every member, and a zero member
 * is "not given" (a NULL namespace means the client's default namespace). Their strings are only
 * read during the call. Result records are caller-owned and filled with copies made by the
 * system allocator; their cleanup functions free every owned string and array, zero the record
 * and accept NULL. An operation overwrites its result without cleaning it, so clean up a
 * previous result before reusing its record. A failed operation leaves the result untouched,
 * except that a failed copy (SV_ERR_NOMEM) leaves it cleaned.
 */
/*
 * The operations (declared with the other client operations in stavoc_client.h) and what they
 * add to the rules above. Each checks its arguments first and fails with SV_ERR_INVALID "<name>
 * requires ..." before anything is sent or logged; a server answer outside 2xx gives
 * SV_ERR_SERVER with the server's status, error code, detail and correlation id in sv_error; an
 * unreachable server gives SV_ERR_TRANSPORT; an answer that cannot be decoded SV_ERR_PROTOCOL.
 * Every operation walks the configured endpoints, moving on after an endpoint answers 503
 * "node_passive" (and, except the two query forms, after a transport failure).
 *
 *   sv_query(client, req, dst, out, error)
 *       POST /v1/query; the answer body (newline-delimited JSON documents, passed through as
 *       the server wrote it) goes to dst as it arrives, so no page is held in memory; out
 *       receives the paging data. A sink that refuses a write ends the call with
 *       SV_ERR_TRANSPORT and the sink's message. "query requires self, req, dst, and out".
 *   sv_query_keys(client, req, handler, handler_context, out, error)
 *       As sv_query with the return mode "keys": each key goes to handler (see
 *       sv_query_key_handler) on the calling thread. "query_keys requires self, req, handler, and
 *       out".
 *   sv_get_namespace_config, sv_update_namespace_config (client, req, out, error)
 *       GET or PUT /v1/namespace; out receives the namespace's configuration after the call.
 *   sv_flush_index(client, req, out, error)
 *       POST /v1/index/flush; an accepted asynchronous flush (202) is a success.
 *   sv_txn_replay(client, req, out, error)
 *       POST /v1/txn/replay: the recorded state of a transaction.
 *   sv_txn_prepare, sv_txn_commit, sv_txn_rollback (client, req, out, error)
 *       POST /v1/txn/decide with the state "prepare", /v1/txn/commit or /v1/txn/rollback. The
 *       participant array is copied with the client's allocator first (SV_ERR_NOMEM "failed to
 *       allocate txn participants"); a positive participant_count without an array fails with
 *       SV_ERR_INVALID "txn decision participants require a non-null array".
 *   sv_tc_lease_acquire, sv_tc_lease_renew, sv_tc_lease_release (client, req, out, error)
 *       POST /v1/tc/lease/acquire, renew or release: a refused lease is a success with granted
 *       (or released) 0.
 *   sv_tc_leader(client, out, error)
 *       GET /v1/tc/leader.
 *   sv_tc_cluster_announce(client, req, out, error), sv_tc_cluster_leave(client, out, error),
 *   sv_tc_cluster_list(client, out, error)
 *       POST /v1/tc/cluster/announce, POST /v1/tc/cluster/leave (empty body: the node the
 *       request reaches leaves), GET /v1/tc/cluster/list; out receives the membership.
 *   sv_tc_rm_register, sv_tc_rm_unregister (client, req, out, error), sv_tc_rm_list(client,
 *   out, error)
 *       POST /v1/tc/rm/register or unregister, GET /v1/tc/rm/list.
 *
 * Events go to the client's logger: "client.<operation>.start" and ".success" at trace level,
 * ".transport_error" (error level) for a transport failure and ".error" (warn level) for any
 * other, with the operation's identifying fields and, on failure, code, http_status and error.
 * The operation names are query, query_keys, namespace.get, namespace.set, index.flush,
 * txn.replay, txn.prepare, txn.commit, txn.rollback, tc.lease.acquire, tc.lease.renew,
 * tc.lease.release, tc.leader, tc.cluster.announce, tc.cluster.leave, tc.cluster.list,
 * rm.register, rm.unregister and rm.list.
 */
#ifndef STAVOC_ADMIN_H
#define STAVOC_ADMIN_H

#include <stddef.h>
#include <stdint.h>

#include "stavoc_client.h"
#include "stavoc_common.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Shared shapes ----------------------------------------------------------------------- */

/* An owned list of owned strings, in the order the server gave them. */
typedef struct sv_string_list {
  char **items; /* count strings */
  size_t count; /* strings in items */
} sv_string_list;

/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_string_list_init(sv_string_list *list) SV_NOEXCEPT;
/* Frees every string and the array and zeroes the list; NULL is ignored. */
SV_API void sv_string_list_cleanup(sv_string_list *list) SV_NOEXCEPT;

/* ---- Query ------------------------------------------------------------------------------- */

/* The request of sv_query and sv_query_keys. */
struct sv_query_req {
  const char *namespace_name; /* NULL or empty: the client's default namespace */
  const char *selector_json;  /* the selector, one JSON document; required */
  int64_t limit;              /* at most this many rows or keys per page (below 1: no limit) */
  const char *cursor;         /* continue after the page that returned this cursor */
  const char *fields_json;    /* JSON array of field pointers to project the documents to */
  const char *return_mode;    /* the server's answer form; query_keys always asks for "keys" */
  const char *engine;         /* "index" or "scan": the query engine to use */
  const char *refresh;        /* "true", "false" or "wait_for": how fresh the index must be */
};

/* The paging data of one answer. */
struct sv_query_res {
  char *cursor;          /* next page; NULL or empty when this was the last */
  char *return_mode;     /* the answer form the server chose */
  uint64_t index_seq;    /* the index sequence the answer reflects, when has_index_seq */
  int32_t has_index_seq; /* 1 when the server reported index_seq */
  char *metadata;        /* the server's query metadata as raw JSON text, or NULL */
  char *correlation_id;  /* the answer's correlation id, or NULL */
};

/* Receives the keys of sv_query_keys, each key as begin, its text in one or more chunks, then
 * end. Each function returns non-zero to go on; 0 stops the query, which then fails with
 * SV_ERR_TRANSPORT and the message the function put in error (or "query key
 * begin|chunk|end callback failed"). */
struct sv_query_key_handler {
  int (*begin)(void *context, sv_error *error); /* a key starts; NULL: skipped */
  /* The next piece of the key's text (not NUL-terminated); NULL drops the text. */
  int (*chunk)(void *context, const char *bytes, size_t length, sv_error *error);
  int (*end)(void *context, sv_error *error); /* the key is complete; NULL: skipped */
};

/* Zeroes every member; NULL is ignored. */
SV_API void sv_query_req_init(sv_query_req *req) SV_NOEXCEPT;
/* Zeroes the three functions; NULL is ignored. */
SV_API void sv_query_key_handler_init(sv_query_key_handler *handler) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_query_res_init(sv_query_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_query_res_cleanup(sv_query_res *res) SV_NOEXCEPT;

/* ---- Namespace configuration and index ---------------------------------------------------- */

/* The namespace whose query engines sv_get_namespace_config reads (only namespace_name is read)
 * or sv_update_namespace_config changes (with neither engine set it only reads). */
struct sv_namespace_config_req {
  const char *namespace_name;   /* NULL or empty: the server's default namespace */
  const char *preferred_engine; /* "index" or "scan"; NULL: left as it is */
  const char *fallback_engine;  /* "index" or "scan"; NULL: left as it is */
};

/* The answer of sv_get_namespace_config and sv_update_namespace_config. */
struct sv_namespace_config_res {
  char *namespace_name;   /* the namespace */
  char *preferred_engine; /* the preferred query engine: "index" or "scan" */
  char *fallback_engine;  /* the fallback query engine: "index" or "scan" */
  char *correlation_id;   /* the answer's correlation id, or NULL */
};

/* The request of sv_flush_index. */
struct sv_index_flush_req {
  const char *namespace_name; /* NULL: the client's default namespace */
  const char *mode;           /* "sync" or "async"; NULL: the server's default */
};

/* The answer of sv_flush_index. */
struct sv_index_flush_res {
  char *namespace_name; /* the namespace whose index was flushed */
  char *mode;           /* "sync" or "async", as the server ran it */
  char *flush_id;       /* the server's id of the flush */
  int32_t accepted;     /* 0 or 1 */
  int32_t flushed;      /* the index is current (sync) */
  int32_t pending;      /* the flush still runs (async) */
  int64_t index_seq;    /* the index sequence the flush reached */
  char *correlation_id; /* the answer's correlation id, or NULL */
};

/* Zeroes every member; NULL is ignored. */
SV_API void sv_namespace_config_req_init(sv_namespace_config_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_index_flush_req_init(sv_index_flush_req *req) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_namespace_config_res_init(sv_namespace_config_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_namespace_config_res_cleanup(sv_namespace_config_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_index_flush_res_init(sv_index_flush_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_index_flush_res_cleanup(sv_index_flush_res *res) SV_NOEXCEPT;

/* ---- Transactions ------------------------------------------------------------------------ */

/* The request of sv_txn_replay. */
struct sv_txn_replay_req {
  const char *txn_id; /* required */
};

/* One key taking part in a transaction; NULL members are sent as null. */
typedef struct sv_txn_participant {
  const char *namespace_name; /* the key's namespace */
  const char *key;            /* the key */
  const char *backend_hash;   /* the backend that holds the key */
} sv_txn_participant;

/* The decision of sv_txn_prepare, sv_txn_commit and sv_txn_rollback (the operation gives the
 * state). */
struct sv_txn_decision_req {
  const char *txn_id;                     /* required */
  const sv_txn_participant *participants; /* participant_count records */
  size_t participant_count;               /* 0: no participant list is sent */
  int64_t expires_at_unix;                /* a prepared decision rolls back after this */
  int64_t tc_term;                        /* the coordinator term deciding (0: not sent) */
  const char *target_backend_hash;        /* NULL: not sent */
};

/* One participant of a recorded decision; every string owned by the result (NULL when the
 * server had null). */
typedef struct sv_txn_replay_participant {
  char *namespace_name; /* the key's namespace */
  char *key;            /* the key */
  char *backend_hash;   /* the backend that holds the key */
} sv_txn_replay_participant;

/* The answer of sv_txn_replay: the recorded state of the transaction. */
struct sv_txn_replay_res {
  char *txn_id; /* the transaction */
  char *state;  /* "prepare", "commit" or "rollback" ("pending": keys leased, nothing decided) */
  char *correlation_id; /* the answer's correlation id, or NULL */
  /* The recorded decision's participants as the server holds them: participant_count records,
   * in answer order. */
  sv_txn_replay_participant *participants;
  size_t participant_count;  /* records in participants */
  int64_t expires_at_unix;   /* 0: none recorded */
  int64_t tc_term;           /* 0: none recorded */
  char *target_backend_hash; /* NULL: none recorded */
};

/* The answer of sv_txn_prepare, sv_txn_commit and sv_txn_rollback. */
struct sv_txn_decision_res {
  char *txn_id;         /* the transaction */
  char *state;          /* the transaction's state after the decision */
  char *correlation_id; /* the answer's correlation id, or NULL */
  /* How many keys the decision committed or rolled back (a prepare or decide: 0). */
  int64_t key_count;
  int32_t has_key_count; /* 1 when the server reported key_count, 0 when it did not say */
};

/* Zeroes every member; NULL is ignored. */
SV_API void sv_txn_replay_req_init(sv_txn_replay_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_txn_participant_init(sv_txn_participant *participant) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_txn_decision_req_init(sv_txn_decision_req *req) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_txn_replay_res_init(sv_txn_replay_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_txn_replay_res_cleanup(sv_txn_replay_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_txn_decision_res_init(sv_txn_decision_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_txn_decision_res_cleanup(sv_txn_decision_res *res) SV_NOEXCEPT;

/* ---- Coordinator leader lease ------------------------------------------------------------ */

/* Every member is sent as it is (NULL strings as null). */
struct sv_tc_lease_acquire_req {
  const char *candidate_id;       /* the id of the node asking to lead */
  const char *candidate_endpoint; /* the endpoint at which that node is reached */
  int64_t term;                   /* the term the candidate asks for */
  int64_t ttl_ms;                 /* how long the lease lives without a renewal, in milliseconds */
};

/* The request of sv_tc_lease_renew. */
struct sv_tc_lease_renew_req {
  const char *leader_id; /* the id of the leader renewing its lease */
  int64_t term;          /* the term of its lease */
  int64_t ttl_ms;        /* how long the lease lives from now, in milliseconds */
};

/* The request of sv_tc_lease_release. */
struct sv_tc_lease_release_req {
  const char *leader_id; /* the id of the leader that lets go */
  int64_t term;          /* the term of its lease */
};

/* The answer of an acquire or renew: whether it was granted and who leads now. */
struct sv_tc_lease_acquire_res {
  int32_t granted;       /* 0 or 1 */
  char *leader_id;       /* the id of the node that leads now */
  char *leader_endpoint; /* the endpoint of that node */
  int64_t term;          /* the coordinator's current term */
  int64_t expires_at;    /* milliseconds since the epoch */
  char *correlation_id;  /* the answer's correlation id, or NULL */
};

/* The answer of sv_tc_lease_renew: whether it was granted and who leads now. */
struct sv_tc_lease_renew_res {
  int32_t granted;       /* 0 or 1 */
  char *leader_id;       /* the id of the node that leads now */
  char *leader_endpoint; /* the endpoint of that node */
  int64_t term;          /* the coordinator's current term */
  int64_t expires_at;    /* milliseconds since the epoch */
  char *correlation_id;  /* the answer's correlation id, or NULL */
};

/* The answer of sv_tc_lease_release. */
struct sv_tc_lease_release_res {
  int32_t released;     /* 0 or 1 */
  char *correlation_id; /* the answer's correlation id, or NULL */
  int64_t term;         /* the coordinator's term after the release (a release keeps it) */
};

/* The answer of sv_tc_leader. */
struct sv_tc_leader_res {
  char *leader_id;       /* empty when no leader holds the lease */
  char *leader_endpoint; /* the endpoint of the leader, or empty */
  int64_t term;          /* the coordinator's current term */
  int64_t expires_at;    /* when the leader's lease expires, in milliseconds since the epoch */
  char *correlation_id;  /* the answer's correlation id, or NULL */
};

/* Zeroes every member; NULL is ignored. */
SV_API void sv_tc_lease_acquire_req_init(sv_tc_lease_acquire_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_tc_lease_renew_req_init(sv_tc_lease_renew_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_tc_lease_release_req_init(sv_tc_lease_release_req *req) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_tc_lease_acquire_res_init(sv_tc_lease_acquire_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_tc_lease_acquire_res_cleanup(sv_tc_lease_acquire_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_tc_lease_renew_res_init(sv_tc_lease_renew_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_tc_lease_renew_res_cleanup(sv_tc_lease_renew_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_tc_lease_release_res_init(sv_tc_lease_release_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_tc_lease_release_res_cleanup(sv_tc_lease_release_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_tc_leader_res_init(sv_tc_leader_res *res) SV_NOEXCEPT;
/* Frees the strings and zeroes the record; NULL is ignored. */
SV_API void sv_tc_leader_res_cleanup(sv_tc_leader_res *res) SV_NOEXCEPT;

/* ---- Coordinator cluster and resource managers ------------------------------------------- */

/* The request of sv_tc_cluster_announce. */
struct sv_tc_cluster_announce_req {
  const char *self_endpoint; /* required */
};

/* The member that leaves, by the endpoint it announced. */
struct sv_tc_cluster_leave_req {
  const char *self_endpoint; /* required */
};

/* The cluster after an announce, a leave or a list. */
struct sv_tc_cluster_res {
  sv_string_list endpoints; /* the members' endpoints */
  int64_t updated_at_unix;  /* when the membership last changed */
  int64_t expires_at_unix;  /* announce: when this member drops out; else the first to drop */
  char *correlation_id;     /* the answer's correlation id, or NULL */
  int32_t left;             /* a leave: 1 when the member was in the cluster and left, else 0 */
};

/* The request of sv_tc_rm_register. */
struct sv_tc_rm_register_req {
  const char *backend_hash; /* the backend the resource manager holds */
  const char *endpoint;     /* the endpoint at which the resource manager is reached */
};

/* The request of sv_tc_rm_unregister. */
struct sv_tc_rm_unregister_req {
  const char *backend_hash; /* the backend the resource manager holds */
  const char *endpoint;     /* the endpoint to remove */
};

/* The endpoints of one backend after a register or unregister. */
struct sv_tc_rm_res {
  char *backend_hash;       /* the backend */
  sv_string_list endpoints; /* the endpoints registered for it now */
  int64_t updated_at_unix;  /* when they last changed, in seconds since the epoch */
  char *correlation_id;     /* the answer's correlation id, or NULL */
};

/* One backend of sv_tc_rm_list. */
typedef struct sv_tc_rm_backend {
  char *backend_hash;       /* the backend's hash */
  sv_string_list endpoints; /* the endpoints registered for it */
  int64_t updated_at_unix;  /* when they last changed, in seconds since the epoch */
} sv_tc_rm_backend;

/* The answer of sv_tc_rm_list: every registered backend. */
struct sv_tc_rm_list_res {
  sv_tc_rm_backend *backends; /* backend_count records, in answer order */
  size_t backend_count;       /* records in backends */
  int64_t updated_at_unix;    /* when the list last changed, in seconds since the epoch */
  char *correlation_id;       /* the answer's correlation id, or NULL */
};

/* Zeroes every member; NULL is ignored. */
SV_API void sv_tc_cluster_announce_req_init(sv_tc_cluster_announce_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_tc_cluster_leave_req_init(sv_tc_cluster_leave_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_tc_rm_register_req_init(sv_tc_rm_register_req *req) SV_NOEXCEPT;
/* Zeroes every member; NULL is ignored. */
SV_API void sv_tc_rm_unregister_req_init(sv_tc_rm_unregister_req *req) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_tc_cluster_res_init(sv_tc_cluster_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_tc_cluster_res_cleanup(sv_tc_cluster_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_tc_rm_res_init(sv_tc_rm_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_tc_rm_res_cleanup(sv_tc_rm_res *res) SV_NOEXCEPT;
/* Zeroes the record, as a call expects to find it; NULL is ignored. */
SV_API void sv_tc_rm_list_res_init(sv_tc_rm_list_res *res) SV_NOEXCEPT;
/* Frees what the record owns and zeroes it; NULL is ignored. */
SV_API void sv_tc_rm_list_res_cleanup(sv_tc_rm_list_res *res) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ADMIN_H */
