/*
 * The public client of libstavoc: allocators, the error record's functions, the client
 * configuration, the client handle with one method slot per server operation, and the exported
 * functions that dispatch through those slots.
 *
 *   sv_client_config config;
 *   sv_client_config_init(&config);
 *   const char *endpoints[] = {"https://stavo.example:9341"};
 *   config.endpoints = endpoints;
 *   config.endpoint_count = 1;
 *   config.client_bundle_path = "/etc/stavo/client.pem";
 *   sv_client *client = NULL;
 *   sv_error error;
 *   sv_error_init(&error);
 *   if (sv_client_open(&config, &client, &error) != SV_OK) {
 *     fprintf(stderr, "open failed: %s\n", error.message);
 *   }
 *   ...
 *   sv_client_close(client);
 *   sv_error_cleanup(&error);
 *
 * Every function that can fail returns an SV_* status and, when the caller passes one, fills an
 * sv_error with the reason. The caller owns every record it passes; strings in request records
 * are only read during the call.
 */
#ifndef STAVOC_CLIENT_H
#define STAVOC_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "brindle_core.h"
#include "ember.h"
#include "stavoc_common.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Allocators -------------------------------------------------------------------------- */

/* Memory functions for the client handle and the client's private copies. A NULL function means
 * the system one for that operation alone. */
typedef struct sv_allocator {
  void *(*malloc_fn)(void *context, size_t size); /* allocates size bytes; NULL: malloc */
  void *(*realloc_fn)(void *context, void *pointer, size_t size); /* resizes; NULL: realloc */
  void (*free_fn)(void *context, void *pointer);                  /* frees; NULL: free */
  void *context; /* handed to each function as its first argument */
} sv_allocator;

/* Zeroes the four members (the system allocator). NULL is ignored. */
SV_API void sv_allocator_init(sv_allocator *allocator) SV_NOEXCEPT;

/* Allocation helpers over an allocator; a NULL allocator means the system allocator. */
SV_API void *sv_alloc_with_allocator(const sv_allocator *allocator, size_t size) SV_NOEXCEPT;
/* count * size zeroed bytes (at least one byte is allocated); NULL when the product overflows.
 * Only malloc_fn is used. */
SV_API void *sv_calloc_with_allocator(const sv_allocator *allocator, size_t count, size_t size)
    SV_NOEXCEPT;
/* Resizes pointer to size bytes, as realloc does (through the allocator); NULL on failure. */
SV_API void *sv_realloc_with_allocator(const sv_allocator *allocator, void *pointer, size_t size)
    SV_NOEXCEPT;
/* A NULL pointer is ignored. */
SV_API void sv_free_with_allocator(const sv_allocator *allocator, void *pointer) SV_NOEXCEPT;
/* A copy of string; NULL in (or a failed allocation) gives NULL. */
SV_API char *sv_strdup_with_allocator(const sv_allocator *allocator, const char *string)
    SV_NOEXCEPT;
/* length + 1 bytes: the bytes followed by a NUL. NULL on failure or when bytes is NULL with a
 * non-zero length. */
SV_API char *sv_dup_bytes_with_allocator(const sv_allocator *allocator, const void *bytes,
                                         size_t length) SV_NOEXCEPT;
/* System-allocator copies (free with free()); the methods fill result records with them. */
SV_API char *sv_strdup_local(const char *string) SV_NOEXCEPT;
/* sv_dup_bytes_with_allocator with the system allocator. */
SV_API char *sv_dup_bytes_as_text(const void *bytes, size_t length) SV_NOEXCEPT;

/* ---- Error record ------------------------------------------------------------------------ */

/* Zeroes every member; returns error. NULL is ignored (and returned). */
SV_API sv_error *sv_error_init(sv_error *error) SV_NOEXCEPT;
/* Frees the six strings and zeroes the record. NULL is ignored. */
SV_API void sv_error_cleanup(sv_error *error) SV_NOEXCEPT;
/* Replaces the record's contents: copies each non-NULL string first (system allocator; a failed
 * copy leaves that member NULL), then frees the old strings and stores the new values, so an
 * argument may point into the record itself. Returns code, also for a NULL record. */
SV_API int sv_error_set(sv_error *error, int code, int64_t http_status, const char *message,
                        const char *detail, const char *server_error_code,
                        const char *correlation_id) SV_NOEXCEPT;

struct sv_engine_error;
/* Copies an engine error (code, HTTP status, message, detail, server error code, correlation
 * id) into error and returns the public code: engine codes 0 to 4 pass unchanged, every other
 * code becomes SV_ERR_SERVER. A NULL engine error gives SV_ERR_INVALID. */
SV_API int sv_error_from_engine(sv_error *error, const struct sv_engine_error *engine_error)
    SV_NOEXCEPT;

/* Turns a brindle status into a public error and returns its code: BRINDLE_OK gives SV_OK and
 * leaves error untouched; invalid argument gives SV_ERR_INVALID, allocation failure
 * SV_ERR_NOMEM, callback, I/O and internal failures SV_ERR_TRANSPORT, everything else
 * SV_ERR_PROTOCOL. message becomes the error's message and the brindle error's text, when it
 * has one, its detail. */
SV_API int sv_brindle_error_from_status(sv_error *error, int status,
                                        const brindle_error *brindle_error_record,
                                        const char *message) SV_NOEXCEPT;

/* The library's version, "0.7.0". */
SV_API const char *sv_version_string(void) SV_NOEXCEPT;

/* ---- Records of the operations ------------------------------------------------------------ */

/* Handles, and the request and result records of the operations that the slots below take.
 * Each is a complete record in the header of its operation group. */
typedef struct sv_client sv_client;
typedef struct sv_lease sv_lease;
typedef struct sv_message sv_message;
typedef struct sv_consumer_service sv_consumer_service;
typedef struct sv_consumer_service_config sv_consumer_service_config;
typedef struct sv_acquire_req sv_acquire_req;
typedef struct sv_describe_req sv_describe_req;
typedef struct sv_describe_res sv_describe_res;
typedef struct sv_get_opts sv_get_opts;
typedef struct sv_get_res sv_get_res;
typedef struct sv_update_req sv_update_req;
typedef struct sv_update_res sv_update_res;
typedef struct sv_mutate_op sv_mutate_op;
typedef struct sv_mutate_res sv_mutate_res;
typedef struct sv_metadata_op sv_metadata_op;
typedef struct sv_metadata_res sv_metadata_res;
typedef struct sv_remove_op sv_remove_op;
typedef struct sv_remove_res sv_remove_res;
typedef struct sv_keepalive_op sv_keepalive_op;
typedef struct sv_keepalive_res sv_keepalive_res;
typedef struct sv_release_op sv_release_op;
typedef struct sv_release_res sv_release_res;
typedef struct sv_attach_op sv_attach_op;
typedef struct sv_attach_res sv_attach_res;
typedef struct sv_attachment_list_req sv_attachment_list_req;
typedef struct sv_attachment_list sv_attachment_list;
typedef struct sv_attachment_get_op sv_attachment_get_op;
typedef struct sv_attachment_get_res sv_attachment_get_res;
typedef struct sv_attachment_delete_op sv_attachment_delete_op;
typedef struct sv_attachment_delete_all_op sv_attachment_delete_all_op;
typedef struct sv_queue_stats_req sv_queue_stats_req;
typedef struct sv_queue_stats_res sv_queue_stats_res;
typedef struct sv_message_ref sv_message_ref;
typedef struct sv_ack_res sv_ack_res;
typedef struct sv_nack_op sv_nack_op;
typedef struct sv_nack_res sv_nack_res;
typedef struct sv_extend_op sv_extend_op;
typedef struct sv_extend_res sv_extend_res;
typedef struct sv_query_req sv_query_req;
typedef struct sv_query_res sv_query_res;
typedef struct sv_query_key_handler sv_query_key_handler;
typedef struct sv_namespace_config_req sv_namespace_config_req;
typedef struct sv_namespace_config_res sv_namespace_config_res;
typedef struct sv_index_flush_req sv_index_flush_req;
typedef struct sv_index_flush_res sv_index_flush_res;
typedef struct sv_txn_replay_req sv_txn_replay_req;
typedef struct sv_txn_replay_res sv_txn_replay_res;
typedef struct sv_txn_decision_req sv_txn_decision_req;
typedef struct sv_txn_decision_res sv_txn_decision_res;
typedef struct sv_tc_lease_acquire_req sv_tc_lease_acquire_req;
typedef struct sv_tc_lease_acquire_res sv_tc_lease_acquire_res;
typedef struct sv_tc_lease_renew_req sv_tc_lease_renew_req;
typedef struct sv_tc_lease_renew_res sv_tc_lease_renew_res;
typedef struct sv_tc_lease_release_req sv_tc_lease_release_req;
typedef struct sv_tc_lease_release_res sv_tc_lease_release_res;
typedef struct sv_tc_leader_res sv_tc_leader_res;
typedef struct sv_tc_cluster_announce_req sv_tc_cluster_announce_req;
typedef struct sv_tc_cluster_leave_req sv_tc_cluster_leave_req;
typedef struct sv_tc_cluster_res sv_tc_cluster_res;
typedef struct sv_tc_rm_register_req sv_tc_rm_register_req;
typedef struct sv_tc_rm_unregister_req sv_tc_rm_unregister_req;
typedef struct sv_tc_rm_res sv_tc_rm_res;
typedef struct sv_tc_rm_list_res sv_tc_rm_list_res;
typedef struct sv_enqueue_req sv_enqueue_req;
typedef struct sv_enqueue_res sv_enqueue_res;
typedef struct sv_dequeue_req sv_dequeue_req;
/* The result of sv_dequeue_batch (named apart from the function). */
typedef struct sv_dequeue_batch_res sv_dequeue_batch_res;
typedef struct sv_consumer sv_consumer;
typedef struct sv_watch_queue_req sv_watch_queue_req;
typedef struct sv_watch_handler sv_watch_handler;
typedef struct sv_update_view sv_update_view;

/* The handler of sv_acquire_for_update: runs while the lease is held, with the state snapshot
 * in view; a non-zero status makes the release roll back. It may release or close view->lease
 * itself (see sv_update_view). */
typedef int (*sv_update_handler)(void *context, const sv_update_view *view, sv_error *error);

/* ---- Configuration ----------------------------------------------------------------------- */

/* Caller-owned; every string and the endpoint array are only read during sv_client_open. The
 * layout and defaults equal those of the engine client configuration. */
typedef struct sv_client_config {
  const char *const *endpoints;    /* base URLs of the server, tried in this order */
  size_t endpoint_count;           /* at least 1 */
  const char *unix_socket_path;    /* connect through this Unix domain socket instead of TCP */
  sv_source *client_bundle_source; /* yields the PEM client bundle; wins over the path */
  const char *client_bundle_path;  /* file holding the PEM client bundle */
  const char *default_namespace;   /* namespace of requests that name none; NULL: "default" */
  /* Whole-request deadline of every unary call, in milliseconds; below 1 means 30000. For
   * long-lived streams (subscribe, watch, dequeue with a wait, queries, streamed state and
   * attachment transfers) it bounds connecting and the wait for the answer's headers (plus a
   * dequeue's or subscribe's finite wait_seconds); once answered, a stream runs until the
   * server ends it or the caller stops it. */
  int64_t timeout_ms;
  int32_t disable_mtls;          /* no client certificate; the bundle is neither needed nor read */
  int32_t insecure_skip_verify;  /* do not verify the server certificate and host name */
  int32_t prefer_http_2;         /* 1: HTTP/2 over TLS; 0: HTTP/1.1 */
  uint64_t response_limit_bytes; /* limit of typed responses and mapped reads; 0 means 1 MiB */
  ember_logger *logger;          /* NULL: nothing is logged */
  int32_t disable_logger_sys_field; /* 0: log through a child of logger with sys="client.stavo" */
  sv_allocator allocator;           /* for the client handle and its private copies */
  /* 0 (default): every call opens and closes its own connection. 1: the client keeps a pool
   * of connections, TLS sessions and DNS answers shared by all its calls and threads, so a call
   * after the first usually skips the connect and the (mutual) TLS handshake, and reuses its
   * transfer handles. Endpoint failover is unchanged, and every new connection is verified as
   * before. An idle HTTP/1.1 connection on which bytes arrived that no request asked for is
   * closed instead of reused (over a Unix socket the pool cannot tell its connections apart,
   * so such bytes on any idle one send the call to a fresh connection). */
  int32_t reuse_connections;
  /* Bound of a connect (TCP and the TLS handshake), in milliseconds; a connect that does not
   * complete in time moves on to the next endpoint. Below 1: the default, 10000 (never more
   * than timeout_ms). */
  int64_t connect_timeout_ms;
  /* A transfer on which no byte moves for this long, in milliseconds, fails as a transport
   * failure with the cause SV_TRANSPORT_CAUSE_STREAM_IDLE: it tells a hung server from a slow
   * one. On a subscribe or watch stream the quiet time between messages counts too, so choose
   * it above the server's wait; time the caller's handler spends on a delivery does not. A
   * stream with a finite wait_seconds is bounded anyway by that wait plus a margin (timeout_ms,
   * at least 5 s). Below 1:
   * no idle bound (stream connections still use TCP keepalive to find a vanished peer). */
  int64_t stream_idle_timeout_ms;
  /* Separate PEM files, as mounted by orchestrators and secret stores (NULL: not used): the
   * client certificate, optionally followed by its chain. With client_key_path it replaces the
   * bundle (the bundle wins when both are given). */
  const char *client_cert_path;
  const char *client_key_path; /* the private key of client_cert_path (NULL: not used) */
  /* PEM CA certificates that verify the server, added with a bundle, with the two files, or
   * without mTLS (disable_mtls with an https:// endpoint). NULL: not used. */
  const char *ca_path;
  /* 1: trust only the CAs of the bundle, the certificate file and ca_path, not the system
   * store (which also saves loading it). 0 (default): both. */
  int32_t trust_bundle_ca_only;
} sv_client_config;

/* Zeroes the record, then sets timeout_ms = 30000 and prefer_http_2 = 1. Returns config (NULL
 * for NULL). */
SV_API sv_client_config *sv_client_config_init(sv_client_config *config) SV_NOEXCEPT;

/* ---- Client handle ----------------------------------------------------------------------- */

/* Library-owned; created by sv_client_open, freed by sv_client_close. The method slots are
 * what the exported functions below call; an application calls those functions rather than the
 * slots. A client may be used from several threads at once. */
struct sv_client {
  /* The method of sv_acquire. */
  int (*acquire)(sv_client *self, const sv_acquire_req *req, sv_lease **out, sv_error *error);
  /* The method of sv_describe. */
  int (*describe)(sv_client *self, const sv_describe_req *req, sv_describe_res *out,
                  sv_error *error);
  /* The method of sv_get. */
  int (*get)(sv_client *self, const char *key, const sv_get_opts *opts, sv_sink *dst,
             sv_get_res *out, sv_error *error);
  /* The method of sv_load. */
  int (*load)(sv_client *self, const char *key, const brindle_map *map, void *destination,
              const brindle_parse_options *parse_options, const sv_get_opts *opts, sv_get_res *out,
              sv_error *error);
  /* The method of sv_update. */
  int (*update)(sv_client *self, const sv_update_req *req, sv_source *src, sv_update_res *out,
                sv_error *error);
  /* The method of sv_mutate. */
  int (*mutate)(sv_client *self, const sv_mutate_op *req, sv_mutate_res *out, sv_error *error);
  /* The method of sv_metadata. */
  int (*metadata)(sv_client *self, const sv_metadata_op *req, sv_metadata_res *out,
                  sv_error *error);
  /* The method of sv_remove. */
  int (*remove)(sv_client *self, const sv_remove_op *req, sv_remove_res *out, sv_error *error);
  /* The method of sv_keepalive. */
  int (*keepalive)(sv_client *self, const sv_keepalive_op *req, sv_keepalive_res *out,
                   sv_error *error);
  /* The method of sv_release. */
  int (*release)(sv_client *self, const sv_release_op *req, sv_release_res *out, sv_error *error);
  /* The method of sv_attach. */
  int (*attach)(sv_client *self, const sv_attach_op *req, sv_source *src, sv_attach_res *out,
                sv_error *error);
  /* The method of sv_list_attachments. */
  int (*list_attachments)(sv_client *self, const sv_attachment_list_req *req,
                          sv_attachment_list *out, sv_error *error);
  /* The method of sv_get_attachment. */
  int (*get_attachment)(sv_client *self, const sv_attachment_get_op *req, sv_sink *dst,
                        sv_attachment_get_res *out, sv_error *error);
  /* The method of sv_delete_attachment. */
  int (*delete_attachment)(sv_client *self, const sv_attachment_delete_op *req, int32_t *deleted,
                           sv_error *error);
  /* The method of sv_delete_all_attachments. */
  int (*delete_all_attachments)(sv_client *self, const sv_attachment_delete_all_op *req,
                                int32_t *deleted_count, sv_error *error);
  /* The method of sv_queue_stats. */
  int (*queue_stats)(sv_client *self, const sv_queue_stats_req *req, sv_queue_stats_res *out,
                     sv_error *error);
  /* The method of sv_queue_ack. */
  int (*queue_ack)(sv_client *self, const sv_message_ref *req, sv_ack_res *out, sv_error *error);
  /* The method of sv_queue_nack. */
  int (*queue_nack)(sv_client *self, const sv_nack_op *req, sv_nack_res *out, sv_error *error);
  /* The method of sv_queue_extend. */
  int (*queue_extend)(sv_client *self, const sv_extend_op *req, sv_extend_res *out,
                      sv_error *error);
  /* The method of sv_query. */
  int (*query)(sv_client *self, const sv_query_req *req, sv_sink *dst, sv_query_res *out,
               sv_error *error);
  /* The method of sv_get_namespace_config. */
  int (*get_namespace_config)(sv_client *self, const sv_namespace_config_req *req,
                              sv_namespace_config_res *out, sv_error *error);
  /* The method of sv_update_namespace_config. */
  int (*update_namespace_config)(sv_client *self, const sv_namespace_config_req *req,
                                 sv_namespace_config_res *out, sv_error *error);
  /* The method of sv_flush_index. */
  int (*flush_index)(sv_client *self, const sv_index_flush_req *req, sv_index_flush_res *out,
                     sv_error *error);
  /* The method of sv_txn_replay. */
  int (*txn_replay)(sv_client *self, const sv_txn_replay_req *req, sv_txn_replay_res *out,
                    sv_error *error);
  /* The method of sv_txn_prepare. */
  int (*txn_prepare)(sv_client *self, const sv_txn_decision_req *req, sv_txn_decision_res *out,
                     sv_error *error);
  /* The method of sv_txn_commit. */
  int (*txn_commit)(sv_client *self, const sv_txn_decision_req *req, sv_txn_decision_res *out,
                    sv_error *error);
  /* The method of sv_txn_rollback. */
  int (*txn_rollback)(sv_client *self, const sv_txn_decision_req *req, sv_txn_decision_res *out,
                      sv_error *error);
  /* The method of sv_tc_lease_acquire. */
  int (*tc_lease_acquire)(sv_client *self, const sv_tc_lease_acquire_req *req,
                          sv_tc_lease_acquire_res *out, sv_error *error);
  /* The method of sv_tc_lease_renew. */
  int (*tc_lease_renew)(sv_client *self, const sv_tc_lease_renew_req *req,
                        sv_tc_lease_renew_res *out, sv_error *error);
  /* The method of sv_tc_lease_release. */
  int (*tc_lease_release)(sv_client *self, const sv_tc_lease_release_req *req,
                          sv_tc_lease_release_res *out, sv_error *error);
  /* The method of sv_tc_leader. */
  int (*tc_leader)(sv_client *self, sv_tc_leader_res *out, sv_error *error);
  /* The method of sv_tc_cluster_announce. */
  int (*tc_cluster_announce)(sv_client *self, const sv_tc_cluster_announce_req *req,
                             sv_tc_cluster_res *out, sv_error *error);
  /* The method of sv_tc_cluster_leave. */
  int (*tc_cluster_leave)(sv_client *self, sv_tc_cluster_res *out, sv_error *error);
  /* The method of sv_tc_cluster_list. */
  int (*tc_cluster_list)(sv_client *self, sv_tc_cluster_res *out, sv_error *error);
  /* The method of sv_tc_rm_register. */
  int (*tc_rm_register)(sv_client *self, const sv_tc_rm_register_req *req, sv_tc_rm_res *out,
                        sv_error *error);
  /* The method of sv_tc_rm_unregister. */
  int (*tc_rm_unregister)(sv_client *self, const sv_tc_rm_unregister_req *req, sv_tc_rm_res *out,
                          sv_error *error);
  /* The method of sv_tc_rm_list. */
  int (*tc_rm_list)(sv_client *self, sv_tc_rm_list_res *out, sv_error *error);
  /* The method of sv_enqueue. */
  int (*enqueue)(sv_client *self, const sv_enqueue_req *req, sv_source *payload,
                 sv_enqueue_res *out, sv_error *error);
  /* The method of sv_dequeue. */
  int (*dequeue)(sv_client *self, const sv_dequeue_req *req, sv_message **out, sv_error *error);
  /* The method of sv_dequeue_batch. */
  int (*dequeue_batch)(sv_client *self, const sv_dequeue_req *req, sv_dequeue_batch_res *out,
                       sv_error *error);
  /* The method of sv_dequeue_with_state. */
  int (*dequeue_with_state)(sv_client *self, const sv_dequeue_req *req, sv_message **out,
                            sv_error *error);
  /* The method of sv_subscribe. */
  int (*subscribe)(sv_client *self, const sv_dequeue_req *req, const sv_consumer *consumer,
                   sv_error *error);
  /* The method of sv_subscribe_with_state. */
  int (*subscribe_with_state)(sv_client *self, const sv_dequeue_req *req,
                              const sv_consumer *consumer, sv_error *error);
  /* The method of sv_client_new_consumer_service. */
  int (*new_consumer_service)(sv_client *self, const sv_consumer_service_config *config,
                              sv_consumer_service **out, sv_error *error);
  /* The method of sv_watch_queue. */
  int (*watch_queue)(sv_client *self, const sv_watch_queue_req *req,
                     const sv_watch_handler *handler, sv_error *error);
  void (*close)(sv_client *self); /* the method of sv_client_close */

  /* Read-only: the client's copy of the configured default namespace, or NULL. */
  const char *default_namespace;
  void *reserved; /* always NULL */

  /* The method of sv_acquire_for_update. */
  int (*acquire_for_update)(sv_client *self, const sv_acquire_req *req, sv_update_handler handler,
                            void *handler_context, sv_error *error);
  /* The method of sv_query_keys. */
  int (*query_keys)(sv_client *self, const sv_query_req *req, const sv_query_key_handler *handler,
                    void *handler_context, sv_query_res *out, sv_error *error);
  /* The method of sv_tc_cluster_leave_member. */
  int (*tc_cluster_leave_member)(sv_client *self, const sv_tc_cluster_leave_req *req,
                                 sv_tc_cluster_res *out, sv_error *error);
};

/* Opens a client: checks and copies the configuration, reads the client bundle (from
 * client_bundle_source when set, else from client_bundle_path; neither with disable_mtls) and
 * prepares the connection settings; no request is sent. *out_client is written only on
 * success; nothing stays allocated after a failure. Failures: SV_ERR_INVALID for missing
 * arguments or endpoints and for an endpoint that cannot work, with a message that quotes it:
 * an empty one ("invalid endpoint 1: it is empty"), a scheme other than http:// and https://
 * ("invalid endpoint \"htps://h\": unknown scheme \"htps\" (use http:// or https://)"), a space
 * or a control byte, no host, or text that is not a URL (a bare host[:port] is accepted),
 * SV_ERR_NOMEM when an allocation fails (also when the bundle source cannot be retained),
 * SV_ERR_TRANSPORT when the bundle cannot be read, SV_ERR_PROTOCOL when it cannot be parsed. */
SV_API int sv_client_open(const sv_client_config *config, sv_client **out_client, sv_error *error)
    SV_NOEXCEPT;
/* Closes the client and frees everything it owns (not the configured logger). Lease, message
 * and consumer-service handles made from it must be closed first. NULL is ignored. */
SV_API void sv_client_close(sv_client *client) SV_NOEXCEPT;

/* The same helpers as above, over the allocator the client was opened with; a NULL client means
 * the system allocator. */
SV_API void *sv_client_alloc(const sv_client *client, size_t size) SV_NOEXCEPT;
/* sv_calloc_with_allocator over the client's allocator. */
SV_API void *sv_client_calloc(const sv_client *client, size_t count, size_t size) SV_NOEXCEPT;
/* sv_realloc_with_allocator over the client's allocator. */
SV_API void *sv_client_realloc(const sv_client *client, void *pointer, size_t size) SV_NOEXCEPT;
/* sv_free_with_allocator over the client's allocator; a NULL pointer is ignored. */
SV_API void sv_client_free(const sv_client *client, void *pointer) SV_NOEXCEPT;
/* sv_strdup_with_allocator over the client's allocator. */
SV_API char *sv_client_strdup(const sv_client *client, const char *string) SV_NOEXCEPT;

/* ---- Operations -------------------------------------------------------------------------- */

/* Each function calls the client's method slot of the same name with its arguments unchanged
 * and returns the method's status. A NULL client is SV_ERR_INVALID ("<operation> requires
 * client", e.g. "acquire requires client"), nothing sent. Every operation checks its own arguments
 * first and fails with SV_ERR_INVALID and a message naming the operation and what it requires. */

/* Acquires a lease on req's key; *out receives the lease handle. */
SV_API int sv_acquire(sv_client *client, const sv_acquire_req *req, sv_lease **out, sv_error *error)
    SV_NOEXCEPT;
/* Acquires a lease, snapshots the key's state, runs handler with it and releases the lease
 * (rolling back when the handler fails). */
SV_API int sv_acquire_for_update(sv_client *client, const sv_acquire_req *req,
                                 sv_update_handler handler, void *handler_context, sv_error *error)
    SV_NOEXCEPT;
/* Describes a key: owner, lease, version, state ETag and metadata. */
SV_API int sv_describe(sv_client *client, const sv_describe_req *req, sv_describe_res *out,
                       sv_error *error) SV_NOEXCEPT;
/* Streams the state of key into dst (a lease-less read needs opts->public_read). */
SV_API int sv_get(sv_client *client, const char *key, const sv_get_opts *opts, sv_sink *dst,
                  sv_get_res *out, sv_error *error) SV_NOEXCEPT;
/* Reads the state of key and parses it into destination, a record described by map. */
SV_API int sv_load(sv_client *client, const char *key, const brindle_map *map, void *destination,
                   const brindle_parse_options *parse_options, const sv_get_opts *opts,
                   sv_get_res *out, sv_error *error) SV_NOEXCEPT;
/* Replaces the state of a leased key with the bytes of src. */
SV_API int sv_update(sv_client *client, const sv_update_req *req, sv_source *src,
                     sv_update_res *out, sv_error *error) SV_NOEXCEPT;
/* Applies mutation expressions to the state of a leased key on the server. */
SV_API int sv_mutate(sv_client *client, const sv_mutate_op *req, sv_mutate_res *out,
                     sv_error *error) SV_NOEXCEPT;
/* Changes the metadata of a leased key. */
SV_API int sv_metadata(sv_client *client, const sv_metadata_op *req, sv_metadata_res *out,
                       sv_error *error) SV_NOEXCEPT;
/* Removes the state of a leased key. */
SV_API int sv_remove(sv_client *client, const sv_remove_op *req, sv_remove_res *out,
                     sv_error *error) SV_NOEXCEPT;
/* Extends a lease. */
SV_API int sv_keepalive(sv_client *client, const sv_keepalive_op *req, sv_keepalive_res *out,
                        sv_error *error) SV_NOEXCEPT;
/* Releases a lease, committing or rolling back its staged writes. */
SV_API int sv_release(sv_client *client, const sv_release_op *req, sv_release_res *out,
                      sv_error *error) SV_NOEXCEPT;
/* Stores the bytes of src as an attachment of a leased key. */
SV_API int sv_attach(sv_client *client, const sv_attach_op *req, sv_source *src, sv_attach_res *out,
                     sv_error *error) SV_NOEXCEPT;
/* Lists the attachments of a key. */
SV_API int sv_list_attachments(sv_client *client, const sv_attachment_list_req *req,
                               sv_attachment_list *out, sv_error *error) SV_NOEXCEPT;
/* Streams one attachment into dst. */
SV_API int sv_get_attachment(sv_client *client, const sv_attachment_get_op *req, sv_sink *dst,
                             sv_attachment_get_res *out, sv_error *error) SV_NOEXCEPT;
/* Deletes one attachment; *deleted tells whether it existed. */
SV_API int sv_delete_attachment(sv_client *client, const sv_attachment_delete_op *req,
                                int32_t *deleted, sv_error *error) SV_NOEXCEPT;
/* Deletes every attachment of a key; *deleted_count receives how many. */
SV_API int sv_delete_all_attachments(sv_client *client, const sv_attachment_delete_all_op *req,
                                     int32_t *deleted_count, sv_error *error) SV_NOEXCEPT;
/* Reads the statistics of a queue. */
SV_API int sv_queue_stats(sv_client *client, const sv_queue_stats_req *req, sv_queue_stats_res *out,
                          sv_error *error) SV_NOEXCEPT;
/* Acknowledges a delivered message. */
SV_API int sv_queue_ack(sv_client *client, const sv_message_ref *req, sv_ack_res *out,
                        sv_error *error) SV_NOEXCEPT;
/* Returns a delivered message to its queue. */
SV_API int sv_queue_nack(sv_client *client, const sv_nack_op *req, sv_nack_res *out,
                         sv_error *error) SV_NOEXCEPT;
/* Extends the visibility timeout of a delivered message. */
SV_API int sv_queue_extend(sv_client *client, const sv_extend_op *req, sv_extend_res *out,
                           sv_error *error) SV_NOEXCEPT;
/* Runs a query and streams its rows into dst. selector_json is required ("query requires
 * selector_json"); a selector_json or fields_json that is not one JSON value is refused before
 * anything is sent: SV_ERR_INVALID "failed to configure query selector" (or "failed to configure
 * query fields"), detail "offset <bytes before the fault>: <reason>". sv_query_keys checks the
 * same ("query_keys requires selector_json"). */
SV_API int sv_query(sv_client *client, const sv_query_req *req, sv_sink *dst, sv_query_res *out,
                    sv_error *error) SV_NOEXCEPT;
/* Runs a query in keys mode and hands the keys to handler. */
SV_API int sv_query_keys(sv_client *client, const sv_query_req *req,
                         const sv_query_key_handler *handler, void *handler_context,
                         sv_query_res *out, sv_error *error) SV_NOEXCEPT;
/* Reads the configuration of a namespace. */
SV_API int sv_get_namespace_config(sv_client *client, const sv_namespace_config_req *req,
                                   sv_namespace_config_res *out, sv_error *error) SV_NOEXCEPT;
/* Changes the configuration of a namespace. */
SV_API int sv_update_namespace_config(sv_client *client, const sv_namespace_config_req *req,
                                      sv_namespace_config_res *out, sv_error *error) SV_NOEXCEPT;
/* Flushes the query index of a namespace. */
SV_API int sv_flush_index(sv_client *client, const sv_index_flush_req *req, sv_index_flush_res *out,
                          sv_error *error) SV_NOEXCEPT;
/* Replays the decision of a transaction. */
SV_API int sv_txn_replay(sv_client *client, const sv_txn_replay_req *req, sv_txn_replay_res *out,
                         sv_error *error) SV_NOEXCEPT;
/* Records a prepare decision for a transaction. */
SV_API int sv_txn_prepare(sv_client *client, const sv_txn_decision_req *req,
                          sv_txn_decision_res *out, sv_error *error) SV_NOEXCEPT;
/* Commits a transaction. */
SV_API int sv_txn_commit(sv_client *client, const sv_txn_decision_req *req,
                         sv_txn_decision_res *out, sv_error *error) SV_NOEXCEPT;
/* Rolls a transaction back. */
SV_API int sv_txn_rollback(sv_client *client, const sv_txn_decision_req *req,
                           sv_txn_decision_res *out, sv_error *error) SV_NOEXCEPT;
/* Acquires the coordinator lease. */
SV_API int sv_tc_lease_acquire(sv_client *client, const sv_tc_lease_acquire_req *req,
                               sv_tc_lease_acquire_res *out, sv_error *error) SV_NOEXCEPT;
/* Renews the coordinator lease. */
SV_API int sv_tc_lease_renew(sv_client *client, const sv_tc_lease_renew_req *req,
                             sv_tc_lease_renew_res *out, sv_error *error) SV_NOEXCEPT;
/* Releases the coordinator lease. */
SV_API int sv_tc_lease_release(sv_client *client, const sv_tc_lease_release_req *req,
                               sv_tc_lease_release_res *out, sv_error *error) SV_NOEXCEPT;
/* Reads the current coordinator leader. */
SV_API int sv_tc_leader(sv_client *client, sv_tc_leader_res *out, sv_error *error) SV_NOEXCEPT;
/* Announces this node to the coordinator cluster. */
SV_API int sv_tc_cluster_announce(sv_client *client, const sv_tc_cluster_announce_req *req,
                                  sv_tc_cluster_res *out, sv_error *error) SV_NOEXCEPT;
/* Leaves the coordinator cluster: the server removes the member it is reached as (its host and
 * port). out->left says whether it was a member. */
SV_API int sv_tc_cluster_leave(sv_client *client, sv_tc_cluster_res *out, sv_error *error)
    SV_NOEXCEPT;
/* Removes the member named by req->self_endpoint from the coordinator cluster
 * ("tc_cluster_leave_member requires self_endpoint" without it, nothing sent). out->left says
 * whether it was a member. */
SV_API int sv_tc_cluster_leave_member(sv_client *client, const sv_tc_cluster_leave_req *req,
                                      sv_tc_cluster_res *out, sv_error *error) SV_NOEXCEPT;
/* Lists the members of the coordinator cluster. */
SV_API int sv_tc_cluster_list(sv_client *client, sv_tc_cluster_res *out, sv_error *error)
    SV_NOEXCEPT;
/* Registers a resource manager with the coordinator. */
SV_API int sv_tc_rm_register(sv_client *client, const sv_tc_rm_register_req *req, sv_tc_rm_res *out,
                             sv_error *error) SV_NOEXCEPT;
/* Unregisters a resource manager. */
SV_API int sv_tc_rm_unregister(sv_client *client, const sv_tc_rm_unregister_req *req,
                               sv_tc_rm_res *out, sv_error *error) SV_NOEXCEPT;
/* Lists the registered resource managers. */
SV_API int sv_tc_rm_list(sv_client *client, sv_tc_rm_list_res *out, sv_error *error) SV_NOEXCEPT;
/* Enqueues a message whose body is the bytes of payload (pass an empty memory source for an
 * empty body). */
SV_API int sv_enqueue(sv_client *client, const sv_enqueue_req *req, sv_source *payload,
                      sv_enqueue_res *out, sv_error *error) SV_NOEXCEPT;
/* Dequeues one message; *out stays NULL when none arrived within the wait. */
SV_API int sv_dequeue(sv_client *client, const sv_dequeue_req *req, sv_message **out,
                      sv_error *error) SV_NOEXCEPT;
/* Dequeues up to req->page_size messages into out. */
SV_API int sv_dequeue_batch(sv_client *client, const sv_dequeue_req *req, sv_dequeue_batch_res *out,
                            sv_error *error) SV_NOEXCEPT;
/* Dequeues one message together with a lease on its state. */
SV_API int sv_dequeue_with_state(sv_client *client, const sv_dequeue_req *req, sv_message **out,
                                 sv_error *error) SV_NOEXCEPT;
/* Keeps a subscribe stream open and hands every delivery to consumer on a thread of its own. */
SV_API int sv_subscribe(sv_client *client, const sv_dequeue_req *req, const sv_consumer *consumer,
                        sv_error *error) SV_NOEXCEPT;
/* As sv_subscribe, with a lease on each message's state. */
SV_API int sv_subscribe_with_state(sv_client *client, const sv_dequeue_req *req,
                                   const sv_consumer *consumer, sv_error *error) SV_NOEXCEPT;
/* Creates a multi-threaded consumer service that uses clients configured like this one. */
SV_API int sv_client_new_consumer_service(sv_client *client,
                                          const sv_consumer_service_config *config,
                                          sv_consumer_service **out, sv_error *error) SV_NOEXCEPT;
/* Watches a queue and calls handler for every change until it returns 0. */
SV_API int sv_watch_queue(sv_client *client, const sv_watch_queue_req *req,
                          const sv_watch_handler *handler, sv_error *error) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_CLIENT_H */
