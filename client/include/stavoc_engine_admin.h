/*
 * Engine management operations: a namespace's query engine configuration, index flushes,
 * distributed transactions (replay, decide, commit, rollback), the transaction coordinator's
 * leader lease ("tc"), coordinator cluster membership and resource managers ("rm") that hold a
 * backend.
 *
 * Each is one typed JSON exchange (sv_engine_http_json_request_stream) that walks the configured
 * endpoints, moving on after a transport failure or a 503 "node_passive". Every request sends
 * "Content-Type: application/json" then "Accept: application/json" (update_namespace_config only
 * the first). Success is any 2xx status (update_namespace_config: 200 only); any other status
 * gives SV_ERR_SERVER with the server's error members. Request records are caller-owned and their
 * strings borrowed for the call; optional body members are left out, not sent as null. Response
 * records are caller-owned, cleaned by the operation before it fills them, receive owned copies
 * and are freed with their *_cleanup function; correlation_id is the X-Correlation-Id header of
 * the answer. Argument errors (SV_ERR_INVALID) come before any request.
 */
#ifndef STAVOC_ENGINE_ADMIN_H
#define STAVOC_ENGINE_ADMIN_H

#include "stavoc_engine_core.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Namespace configuration and index ----------------------------------------------------- */

/* The request of sv_engine_client_update_namespace_config. */
typedef struct sv_engine_namespace_config_request {
  const char *namespace_name;   /* empty: the client's default namespace */
  const char *preferred_engine; /* "index" or "scan"; sent only when non-NULL */
  const char *fallback_engine;  /* sent only when non-NULL */
} sv_engine_namespace_config_request;

/* The answer of the namespace configuration operations. */
typedef struct sv_engine_namespace_config_response {
  char *namespace_name;   /* the namespace, as the server answered */
  char *preferred_engine; /* the preferred query engine: "index" or "scan" */
  char *fallback_engine;  /* the fallback query engine: "index" or "scan" */
  char *correlation_id;   /* X-Correlation-Id of the answer, or NULL */
} sv_engine_namespace_config_response;

/* The request of sv_engine_client_index_flush. */
typedef struct sv_engine_index_flush_request {
  const char *namespace_name; /* empty: the client's default namespace */
  const char *mode;           /* "sync" or "async"; sent only when non-empty */
} sv_engine_index_flush_request;

/* The answer of sv_engine_client_index_flush. */
typedef struct sv_engine_index_flush_response {
  char *namespace_name; /* the namespace, as the server answered */
  char *mode;           /* "sync" or "async", as the server ran it */
  char *flush_id;       /* the server's id of the flush */
  int32_t accepted;     /* flags: 0 or 1 */
  int32_t flushed;      /* the index is current (sync) */
  int32_t pending;      /* the flush still runs (async) */
  int64_t index_seq;    /* the index sequence the flush reached */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
} sv_engine_index_flush_response;

/* GET /v1/namespace[?namespace=NS]: namespace_name as given (NULL or empty: no query string, the
 * server's choice). */
SV_API int sv_engine_client_get_namespace_config(const sv_engine_client *client,
                                                 const char *namespace_name,
                                                 sv_engine_namespace_config_response *response,
                                                 sv_engine_error *error) SV_NOEXCEPT;
/* PUT /v1/namespace with {"namespace", "query":{"preferred_engine", "fallback_engine"}}. With
 * neither engine set nothing is changed: the call reads the configuration of the request's
 * namespace instead (get_namespace_config). */
SV_API int sv_engine_client_update_namespace_config(
    const sv_engine_client *client, const sv_engine_namespace_config_request *request,
    sv_engine_namespace_config_response *response, sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/index/flush with {"namespace", "mode"}. */
SV_API int sv_engine_client_index_flush(const sv_engine_client *client,
                                        const sv_engine_index_flush_request *request,
                                        sv_engine_index_flush_response *response,
                                        sv_engine_error *error) SV_NOEXCEPT;

/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_namespace_config_response_cleanup(
    sv_engine_namespace_config_response *response) SV_NOEXCEPT;
/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_index_flush_response_cleanup(sv_engine_index_flush_response *response)
    SV_NOEXCEPT;

/* ---- Transactions -------------------------------------------------------------------------- */

/* The request of sv_engine_client_txn_replay. */
typedef struct sv_engine_txn_replay_request {
  const char *txn_id; /* required */
} sv_engine_txn_replay_request;

/* One key taking part in a transaction; NULL members are sent as null. */
typedef struct sv_engine_txn_participant {
  const char *namespace_name; /* the key's namespace */
  const char *key;            /* the key */
  const char *backend_hash;   /* the backend that holds the key */
} sv_engine_txn_participant;

/* The request of the decision operations (decide, commit, rollback). */
typedef struct sv_engine_txn_decision_request {
  const char *txn_id;                            /* required */
  const char *state;                             /* decide: required ("prepare", "commit", ...) */
  const sv_engine_txn_participant *participants; /* sent when participant_count > 0 */
  size_t participant_count;                      /* records in participants */
  int64_t expires_at_unix;                       /* sent only when above 0 */
  int64_t tc_term;                               /* sent only when above 0 */
  const char *target_backend_hash;               /* sent only when non-empty */
} sv_engine_txn_decision_request;

/* One participant of a replay answer, every string owned (NULL when the answer had null). */
typedef struct sv_engine_txn_participant_answer {
  char *namespace_name; /* the key's namespace */
  char *key;            /* the key */
  char *backend_hash;   /* the backend that holds the key */
} sv_engine_txn_participant_answer;

/* The answer of the transaction operations. */
typedef struct sv_engine_txn_response {
  char *txn_id;         /* the transaction */
  char *state;          /* the transaction's state */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
  /* "keys" of a decision answer: how many keys the decision committed or rolled back. */
  int64_t key_count;
  int32_t has_key_count; /* 1 when the answer had "keys" */
  /* The recorded decision's participants of a replay answer: an owned array, in answer order. */
  sv_engine_txn_participant_answer *participants;
  size_t participant_count;  /* records in participants */
  int64_t expires_at_unix;   /* 0 when the answer had none */
  int64_t tc_term;           /* 0 when the answer had none */
  char *target_backend_hash; /* the recorded target backend of a replay answer, or NULL */
} sv_engine_txn_response;

/* POST /v1/txn/replay with {"txn_id"}: the recorded state of the transaction. */
SV_API int sv_engine_client_txn_replay(const sv_engine_client *client,
                                       const sv_engine_txn_replay_request *request,
                                       sv_engine_txn_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* POST /v1/txn/decide with {"txn_id", "state", "participants", "expires_at_unix", "tc_term",
 * "target_backend_hash"} (optional members left out as documented on the request). */
SV_API int sv_engine_client_txn_decide(const sv_engine_client *client,
                                       const sv_engine_txn_decision_request *request,
                                       sv_engine_txn_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* POST /v1/txn/commit: the decision body with "state":"commit" (the request's state is
 * ignored). */
SV_API int sv_engine_client_txn_commit(const sv_engine_client *client,
                                       const sv_engine_txn_decision_request *request,
                                       sv_engine_txn_response *response, sv_engine_error *error)
    SV_NOEXCEPT;
/* POST /v1/txn/rollback: the decision body with "state":"rollback". */
SV_API int sv_engine_client_txn_rollback(const sv_engine_client *client,
                                         const sv_engine_txn_decision_request *request,
                                         sv_engine_txn_response *response, sv_engine_error *error)
    SV_NOEXCEPT;

/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_txn_response_cleanup(sv_engine_txn_response *response) SV_NOEXCEPT;

/* ---- Coordinator leader lease -------------------------------------------------------------- */

/* Every member is sent whatever its value (NULL strings as null). */
typedef struct sv_engine_tc_lease_acquire_request {
  const char *candidate_id;       /* the id of the node asking to lead */
  const char *candidate_endpoint; /* the endpoint at which that node is reached */
  int64_t term;                   /* the term the candidate asks for */
  int64_t ttl_ms;                 /* how long the lease lives without a renewal, in milliseconds */
} sv_engine_tc_lease_acquire_request;

/* The request of sv_engine_client_tc_lease_renew. */
typedef struct sv_engine_tc_lease_renew_request {
  const char *leader_id; /* the id of the leader renewing its lease */
  int64_t term;          /* the term of its lease */
  int64_t ttl_ms;        /* how long the lease lives from now, in milliseconds */
} sv_engine_tc_lease_renew_request;

/* The request of sv_engine_client_tc_lease_release. */
typedef struct sv_engine_tc_lease_release_request {
  const char *leader_id; /* the id of the leader that lets go */
  int64_t term;          /* the term of its lease */
} sv_engine_tc_lease_release_request;

/* The answer of a coordinator lease acquire or renew. */
typedef struct sv_engine_tc_lease_response {
  int32_t granted;       /* 0 or 1 */
  char *leader_id;       /* the id of the node that leads now (empty: none) */
  char *leader_endpoint; /* the endpoint of that node */
  int64_t term;          /* the coordinator's current term */
  int64_t expires_at;    /* when the leader's lease expires, in milliseconds since the epoch */
  char *correlation_id;  /* X-Correlation-Id of the answer, or NULL */
} sv_engine_tc_lease_response;

/* The answer of sv_engine_client_tc_leader. */
typedef struct sv_engine_tc_leader_response {
  char *leader_id;       /* the id of the node that leads now (empty: none) */
  char *leader_endpoint; /* the endpoint of that node */
  int64_t term;          /* the coordinator's current term */
  int64_t expires_at;    /* when the leader's lease expires, in milliseconds since the epoch */
  char *correlation_id;  /* X-Correlation-Id of the answer, or NULL */
} sv_engine_tc_leader_response;

/* The answer of sv_engine_client_tc_lease_release. */
typedef struct sv_engine_tc_release_response {
  int32_t released;     /* 0 or 1 */
  char *correlation_id; /* X-Correlation-Id of the answer, or NULL */
  int64_t term;         /* the coordinator's term after the release (it stays) */
} sv_engine_tc_release_response;

/* POST /v1/tc/lease/acquire with {"candidate_id", "candidate_endpoint", "term", "ttl_ms"}. */
SV_API int sv_engine_client_tc_lease_acquire(const sv_engine_client *client,
                                             const sv_engine_tc_lease_acquire_request *request,
                                             sv_engine_tc_lease_response *response,
                                             sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/tc/lease/renew with {"leader_id", "term", "ttl_ms"}. */
SV_API int sv_engine_client_tc_lease_renew(const sv_engine_client *client,
                                           const sv_engine_tc_lease_renew_request *request,
                                           sv_engine_tc_lease_response *response,
                                           sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/tc/lease/release with {"leader_id", "term"}. */
SV_API int sv_engine_client_tc_lease_release(const sv_engine_client *client,
                                             const sv_engine_tc_lease_release_request *request,
                                             sv_engine_tc_release_response *response,
                                             sv_engine_error *error) SV_NOEXCEPT;
/* GET /v1/tc/leader: the current leader as the lease answer gives it. */
SV_API int sv_engine_client_tc_leader(const sv_engine_client *client,
                                      sv_engine_tc_leader_response *response,
                                      sv_engine_error *error) SV_NOEXCEPT;

/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_tc_lease_response_cleanup(sv_engine_tc_lease_response *response) SV_NOEXCEPT;
/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_tc_leader_response_cleanup(sv_engine_tc_leader_response *response)
    SV_NOEXCEPT;
/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_tc_release_response_cleanup(sv_engine_tc_release_response *response)
    SV_NOEXCEPT;

/* ---- Coordinator cluster and resource managers --------------------------------------------- */

/* The request of sv_engine_client_tc_cluster_announce. */
typedef struct sv_engine_tc_cluster_announce_request {
  const char *self_endpoint; /* required */
} sv_engine_tc_cluster_announce_request;

/* The cluster membership after an announce, a leave or a list. */
typedef struct sv_engine_tc_cluster_response {
  char **endpoints;        /* owned array of owned strings, in answer order */
  size_t endpoint_count;   /* entries in endpoints */
  int64_t updated_at_unix; /* when the membership last changed, in seconds since the epoch */
  int64_t expires_at_unix; /* announce: when this member drops out; else the first to drop */
  char *correlation_id;    /* X-Correlation-Id of the answer, or NULL */
  int32_t left;            /* leave: 1 when a member left, 0 when it was not in the cluster */
} sv_engine_tc_cluster_response;

/* The request of sv_engine_client_tc_cluster_leave_member. */
typedef struct sv_engine_tc_cluster_leave_request {
  const char *self_endpoint; /* required: the member that leaves */
} sv_engine_tc_cluster_leave_request;

/* The request of sv_engine_client_tcrm_register and sv_engine_client_tcrm_unregister. */
typedef struct sv_engine_tcrm_request {
  const char *backend_hash; /* the backend the resource manager holds */
  const char *endpoint;     /* the endpoint at which the resource manager is reached */
} sv_engine_tcrm_request;

/* The endpoints of one backend after a register or unregister. */
typedef struct sv_engine_tcrm_register_response {
  char *backend_hash;      /* the backend */
  char **endpoints;        /* owned array of owned strings, in answer order */
  size_t endpoint_count;   /* entries in endpoints */
  int64_t updated_at_unix; /* when its endpoints last changed, in seconds since the epoch */
  char *correlation_id;    /* X-Correlation-Id of the answer, or NULL */
} sv_engine_tcrm_register_response;

/* One backend of the resource manager list. */
typedef struct sv_engine_tcrm_backend {
  char *backend_hash; /* the backend */
  /* Owned array of owned strings: the endpoints registered for it, in answer order. */
  char **endpoints;
  size_t endpoint_count;   /* entries in endpoints */
  int64_t updated_at_unix; /* when its endpoints last changed, in seconds since the epoch */
} sv_engine_tcrm_backend;

/* The answer of sv_engine_client_tcrm_list. */
typedef struct sv_engine_tcrm_list_response {
  sv_engine_tcrm_backend *backends; /* owned array, in answer order */
  size_t backend_count;             /* records in backends */
  int64_t updated_at_unix;          /* when the list last changed, in seconds since the epoch */
  char *correlation_id;             /* X-Correlation-Id of the answer, or NULL */
} sv_engine_tcrm_list_response;

/* POST /v1/tc/cluster/announce with {"self_endpoint"}. */
SV_API int sv_engine_client_tc_cluster_announce(
    const sv_engine_client *client, const sv_engine_tc_cluster_announce_request *request,
    sv_engine_tc_cluster_response *response, sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/tc/cluster/leave with an empty body. */
SV_API int sv_engine_client_tc_cluster_leave(const sv_engine_client *client,
                                             sv_engine_tc_cluster_response *response,
                                             sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/tc/cluster/leave with {"self_endpoint"}: the named member leaves. */
SV_API int sv_engine_client_tc_cluster_leave_member(
    const sv_engine_client *client, const sv_engine_tc_cluster_leave_request *request,
    sv_engine_tc_cluster_response *response, sv_engine_error *error) SV_NOEXCEPT;
/* GET /v1/tc/cluster/list. */
SV_API int sv_engine_client_tc_cluster_list(const sv_engine_client *client,
                                            sv_engine_tc_cluster_response *response,
                                            sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/tc/rm/register with {"backend_hash", "endpoint"}. */
SV_API int sv_engine_client_tcrm_register(const sv_engine_client *client,
                                          const sv_engine_tcrm_request *request,
                                          sv_engine_tcrm_register_response *response,
                                          sv_engine_error *error) SV_NOEXCEPT;
/* POST /v1/tc/rm/unregister with {"backend_hash", "endpoint"}. */
SV_API int sv_engine_client_tcrm_unregister(const sv_engine_client *client,
                                            const sv_engine_tcrm_request *request,
                                            sv_engine_tcrm_register_response *response,
                                            sv_engine_error *error) SV_NOEXCEPT;
/* GET /v1/tc/rm/list. */
SV_API int sv_engine_client_tcrm_list(const sv_engine_client *client,
                                      sv_engine_tcrm_list_response *response,
                                      sv_engine_error *error) SV_NOEXCEPT;

/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_tc_cluster_response_cleanup(sv_engine_tc_cluster_response *response)
    SV_NOEXCEPT;
/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_tcrm_register_response_cleanup(sv_engine_tcrm_register_response *response)
    SV_NOEXCEPT;
/* Frees every owned member and zeroes the record; NULL is ignored. */
SV_API void sv_engine_tcrm_list_response_cleanup(sv_engine_tcrm_list_response *response)
    SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_ADMIN_H */
