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

typedef struct sv_engine_namespace_config_request {
  const char *namespace_name;   /* empty: the client's default namespace */
  const char *preferred_engine; /* "index" or "scan"; sent only when non-NULL */
  const char *fallback_engine;  /* sent only when non-NULL */
} sv_engine_namespace_config_request;

typedef struct sv_engine_namespace_config_response {
  char *namespace_name;
  char *preferred_engine;
  char *fallback_engine;
  char *correlation_id;
} sv_engine_namespace_config_response;

typedef struct sv_engine_index_flush_request {
  const char *namespace_name; /* empty: the client's default namespace */
  const char *mode;           /* "sync" or "async"; sent only when non-empty */
} sv_engine_index_flush_request;

typedef struct sv_engine_index_flush_response {
  char *namespace_name;
  char *mode;
  char *flush_id;
  int32_t accepted; /* flags: 0 or 1 */
  int32_t flushed;
  int32_t pending;
  int64_t index_seq;
  char *correlation_id;
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

SV_API void sv_engine_namespace_config_response_cleanup(
    sv_engine_namespace_config_response *response) SV_NOEXCEPT;
SV_API void sv_engine_index_flush_response_cleanup(sv_engine_index_flush_response *response)
    SV_NOEXCEPT;

/* ---- Transactions -------------------------------------------------------------------------- */

typedef struct sv_engine_txn_replay_request {
  const char *txn_id; /* required */
} sv_engine_txn_replay_request;

/* One key taking part in a transaction; NULL members are sent as null. */
typedef struct sv_engine_txn_participant {
  const char *namespace_name;
  const char *key;
  const char *backend_hash;
} sv_engine_txn_participant;

typedef struct sv_engine_txn_decision_request {
  const char *txn_id;                            /* required */
  const char *state;                             /* decide: required ("prepare", "commit", ...) */
  const sv_engine_txn_participant *participants; /* sent when participant_count > 0 */
  size_t participant_count;
  int64_t expires_at_unix;         /* sent only when above 0 */
  int64_t tc_term;                 /* sent only when above 0 */
  const char *target_backend_hash; /* sent only when non-empty */
} sv_engine_txn_decision_request;

/* One participant of a replay answer, every string owned (NULL when the answer had null). */
typedef struct sv_engine_txn_participant_answer {
  char *namespace_name;
  char *key;
  char *backend_hash;
} sv_engine_txn_participant_answer;

typedef struct sv_engine_txn_response {
  char *txn_id;
  char *state;
  char *correlation_id;
  /* "keys" of a decision answer: how many keys the decision committed or rolled back. */
  int64_t key_count;
  int32_t has_key_count;
  /* The recorded decision of a replay answer. */
  sv_engine_txn_participant_answer *participants; /* owned array, in answer order */
  size_t participant_count;
  int64_t expires_at_unix; /* 0 when the answer had none */
  int64_t tc_term;         /* 0 when the answer had none */
  char *target_backend_hash;
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

SV_API void sv_engine_txn_response_cleanup(sv_engine_txn_response *response) SV_NOEXCEPT;

/* ---- Coordinator leader lease -------------------------------------------------------------- */

/* Every member is sent whatever its value (NULL strings as null). */
typedef struct sv_engine_tc_lease_acquire_request {
  const char *candidate_id;
  const char *candidate_endpoint;
  int64_t term;
  int64_t ttl_ms;
} sv_engine_tc_lease_acquire_request;

typedef struct sv_engine_tc_lease_renew_request {
  const char *leader_id;
  int64_t term;
  int64_t ttl_ms;
} sv_engine_tc_lease_renew_request;

typedef struct sv_engine_tc_lease_release_request {
  const char *leader_id;
  int64_t term;
} sv_engine_tc_lease_release_request;

typedef struct sv_engine_tc_lease_response {
  int32_t granted; /* 0 or 1 */
  char *leader_id;
  char *leader_endpoint;
  int64_t term;
  int64_t expires_at;
  char *correlation_id;
} sv_engine_tc_lease_response;

typedef struct sv_engine_tc_leader_response {
  char *leader_id;
  char *leader_endpoint;
  int64_t term;
  int64_t expires_at;
  char *correlation_id;
} sv_engine_tc_leader_response;

typedef struct sv_engine_tc_release_response {
  int32_t released; /* 0 or 1 */
  char *correlation_id;
  int64_t term; /* the coordinator's term after the release (it stays) */
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

SV_API void sv_engine_tc_lease_response_cleanup(sv_engine_tc_lease_response *response) SV_NOEXCEPT;
SV_API void sv_engine_tc_leader_response_cleanup(sv_engine_tc_leader_response *response)
    SV_NOEXCEPT;
SV_API void sv_engine_tc_release_response_cleanup(sv_engine_tc_release_response *response)
    SV_NOEXCEPT;

/* ---- Coordinator cluster and resource managers --------------------------------------------- */

typedef struct sv_engine_tc_cluster_announce_request {
  const char *self_endpoint; /* required */
} sv_engine_tc_cluster_announce_request;

typedef struct sv_engine_tc_cluster_response {
  char **endpoints; /* owned array of owned strings, in answer order */
  size_t endpoint_count;
  int64_t updated_at_unix;
  int64_t expires_at_unix;
  char *correlation_id;
  int32_t left; /* leave: 1 when a member left, 0 when it was not in the cluster */
} sv_engine_tc_cluster_response;

typedef struct sv_engine_tc_cluster_leave_request {
  const char *self_endpoint; /* required: the member that leaves */
} sv_engine_tc_cluster_leave_request;

typedef struct sv_engine_tcrm_request {
  const char *backend_hash;
  const char *endpoint;
} sv_engine_tcrm_request;

typedef struct sv_engine_tcrm_register_response {
  char *backend_hash;
  char **endpoints; /* owned array of owned strings, in answer order */
  size_t endpoint_count;
  int64_t updated_at_unix;
  char *correlation_id;
} sv_engine_tcrm_register_response;

/* One backend of the resource manager list. */
typedef struct sv_engine_tcrm_backend {
  char *backend_hash;
  char **endpoints;
  size_t endpoint_count;
  int64_t updated_at_unix;
} sv_engine_tcrm_backend;

typedef struct sv_engine_tcrm_list_response {
  sv_engine_tcrm_backend *backends; /* owned array, in answer order */
  size_t backend_count;
  int64_t updated_at_unix;
  char *correlation_id;
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

SV_API void sv_engine_tc_cluster_response_cleanup(sv_engine_tc_cluster_response *response)
    SV_NOEXCEPT;
SV_API void sv_engine_tcrm_register_response_cleanup(sv_engine_tcrm_register_response *response)
    SV_NOEXCEPT;
SV_API void sv_engine_tcrm_list_response_cleanup(sv_engine_tcrm_list_response *response)
    SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_ADMIN_H */
