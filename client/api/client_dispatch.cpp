// The exported operation functions: each refuses a NULL client (SV_ERR_INVALID, "<operation>
// requires client", nothing sent), then calls the client's method slot of the same name with its
// arguments unchanged.
#include "handle_check.h"
#include "stavoc.h"

extern "C" {

SV_API int sv_acquire(sv_client *client, const sv_acquire_req *req, sv_lease **out,
                      sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "acquire requires client");
  return client->acquire(client, req, out, error);
}

SV_API int sv_acquire_for_update(sv_client *client, const sv_acquire_req *req,
                                 sv_update_handler handler, void *handler_context,
                                 sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "acquire_for_update requires client");
  return client->acquire_for_update(client, req, handler, handler_context, error);
}

SV_API int sv_describe(sv_client *client, const sv_describe_req *req, sv_describe_res *out,
                       sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "describe requires client");
  return client->describe(client, req, out, error);
}

SV_API int sv_get(sv_client *client, const char *key, const sv_get_opts *opts, sv_sink *dst,
                  sv_get_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "get requires client");
  return client->get(client, key, opts, dst, out, error);
}

SV_API int sv_load(sv_client *client, const char *key, const brindle_map *map, void *destination,
                   const brindle_parse_options *parse_options, const sv_get_opts *opts,
                   sv_get_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "load requires client");
  return client->load(client, key, map, destination, parse_options, opts, out, error);
}

SV_API int sv_update(sv_client *client, const sv_update_req *req, sv_source *src,
                     sv_update_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "update requires client");
  return client->update(client, req, src, out, error);
}

SV_API int sv_mutate(sv_client *client, const sv_mutate_op *req, sv_mutate_res *out,
                     sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "mutate requires client");
  return client->mutate(client, req, out, error);
}

SV_API int sv_metadata(sv_client *client, const sv_metadata_op *req, sv_metadata_res *out,
                       sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "metadata requires client");
  return client->metadata(client, req, out, error);
}

SV_API int sv_remove(sv_client *client, const sv_remove_op *req, sv_remove_res *out,
                     sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "remove requires client");
  return client->remove(client, req, out, error);
}

SV_API int sv_keepalive(sv_client *client, const sv_keepalive_op *req, sv_keepalive_res *out,
                        sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "keepalive requires client");
  return client->keepalive(client, req, out, error);
}

SV_API int sv_release(sv_client *client, const sv_release_op *req, sv_release_res *out,
                      sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "release requires client");
  return client->release(client, req, out, error);
}

SV_API int sv_attach(sv_client *client, const sv_attach_op *req, sv_source *src, sv_attach_res *out,
                     sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "attach requires client");
  return client->attach(client, req, src, out, error);
}

SV_API int sv_list_attachments(sv_client *client, const sv_attachment_list_req *req,
                               sv_attachment_list *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "list_attachments requires client");
  return client->list_attachments(client, req, out, error);
}

SV_API int sv_get_attachment(sv_client *client, const sv_attachment_get_op *req, sv_sink *dst,
                             sv_attachment_get_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "get_attachment requires client");
  return client->get_attachment(client, req, dst, out, error);
}

SV_API int sv_delete_attachment(sv_client *client, const sv_attachment_delete_op *req,
                                int32_t *deleted, sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "delete_attachment requires client");
  return client->delete_attachment(client, req, deleted, error);
}

SV_API int sv_delete_all_attachments(sv_client *client, const sv_attachment_delete_all_op *req,
                                     int32_t *deleted_count, sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "delete_all_attachments requires client");
  return client->delete_all_attachments(client, req, deleted_count, error);
}

SV_API int sv_queue_stats(sv_client *client, const sv_queue_stats_req *req, sv_queue_stats_res *out,
                          sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "queue_stats requires client");
  return client->queue_stats(client, req, out, error);
}

SV_API int sv_queue_ack(sv_client *client, const sv_message_ref *req, sv_ack_res *out,
                        sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "queue_ack requires client");
  return client->queue_ack(client, req, out, error);
}

SV_API int sv_queue_nack(sv_client *client, const sv_nack_op *req, sv_nack_res *out,
                         sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "queue_nack requires client");
  return client->queue_nack(client, req, out, error);
}

SV_API int sv_queue_extend(sv_client *client, const sv_extend_op *req, sv_extend_res *out,
                           sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "queue_extend requires client");
  return client->queue_extend(client, req, out, error);
}

SV_API int sv_query(sv_client *client, const sv_query_req *req, sv_sink *dst, sv_query_res *out,
                    sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "query requires client");
  return client->query(client, req, dst, out, error);
}

SV_API int sv_query_keys(sv_client *client, const sv_query_req *req,
                         const sv_query_key_handler *handler, void *handler_context,
                         sv_query_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "query_keys requires client");
  return client->query_keys(client, req, handler, handler_context, out, error);
}

SV_API int sv_get_namespace_config(sv_client *client, const sv_namespace_config_req *req,
                                   sv_namespace_config_res *out, sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "get_namespace_config requires client");
  return client->get_namespace_config(client, req, out, error);
}

SV_API int sv_update_namespace_config(sv_client *client, const sv_namespace_config_req *req,
                                      sv_namespace_config_res *out, sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "update_namespace_config requires client");
  return client->update_namespace_config(client, req, out, error);
}

SV_API int sv_flush_index(sv_client *client, const sv_index_flush_req *req, sv_index_flush_res *out,
                          sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "flush_index requires client");
  return client->flush_index(client, req, out, error);
}

SV_API int sv_txn_replay(sv_client *client, const sv_txn_replay_req *req, sv_txn_replay_res *out,
                         sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "txn_replay requires client");
  return client->txn_replay(client, req, out, error);
}

SV_API int sv_txn_prepare(sv_client *client, const sv_txn_decision_req *req,
                          sv_txn_decision_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "txn_prepare requires client");
  return client->txn_prepare(client, req, out, error);
}

SV_API int sv_txn_commit(sv_client *client, const sv_txn_decision_req *req,
                         sv_txn_decision_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "txn_commit requires client");
  return client->txn_commit(client, req, out, error);
}

SV_API int sv_txn_rollback(sv_client *client, const sv_txn_decision_req *req,
                           sv_txn_decision_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "txn_rollback requires client");
  return client->txn_rollback(client, req, out, error);
}

SV_API int sv_tc_lease_acquire(sv_client *client, const sv_tc_lease_acquire_req *req,
                               sv_tc_lease_acquire_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_lease_acquire requires client");
  return client->tc_lease_acquire(client, req, out, error);
}

SV_API int sv_tc_lease_renew(sv_client *client, const sv_tc_lease_renew_req *req,
                             sv_tc_lease_renew_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_lease_renew requires client");
  return client->tc_lease_renew(client, req, out, error);
}

SV_API int sv_tc_lease_release(sv_client *client, const sv_tc_lease_release_req *req,
                               sv_tc_lease_release_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_lease_release requires client");
  return client->tc_lease_release(client, req, out, error);
}

SV_API int sv_tc_leader(sv_client *client, sv_tc_leader_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_leader requires client");
  return client->tc_leader(client, out, error);
}

SV_API int sv_tc_cluster_announce(sv_client *client, const sv_tc_cluster_announce_req *req,
                                  sv_tc_cluster_res *out, sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "tc_cluster_announce requires client");
  return client->tc_cluster_announce(client, req, out, error);
}

SV_API int sv_tc_cluster_leave(sv_client *client, sv_tc_cluster_res *out,
                               sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_cluster_leave requires client");
  return client->tc_cluster_leave(client, out, error);
}

SV_API int sv_tc_cluster_leave_member(sv_client *client, const sv_tc_cluster_leave_req *req,
                                      sv_tc_cluster_res *out, sv_error *error) noexcept {
  if (client == nullptr) {
    return sv_refuse_missing_handle(error, "tc_cluster_leave_member requires client");
  }
  return client->tc_cluster_leave_member(client, req, out, error);
}

SV_API int sv_tc_cluster_list(sv_client *client, sv_tc_cluster_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_cluster_list requires client");
  return client->tc_cluster_list(client, out, error);
}

SV_API int sv_tc_rm_register(sv_client *client, const sv_tc_rm_register_req *req, sv_tc_rm_res *out,
                             sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_rm_register requires client");
  return client->tc_rm_register(client, req, out, error);
}

SV_API int sv_tc_rm_unregister(sv_client *client, const sv_tc_rm_unregister_req *req,
                               sv_tc_rm_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_rm_unregister requires client");
  return client->tc_rm_unregister(client, req, out, error);
}

SV_API int sv_tc_rm_list(sv_client *client, sv_tc_rm_list_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "tc_rm_list requires client");
  return client->tc_rm_list(client, out, error);
}

SV_API int sv_enqueue(sv_client *client, const sv_enqueue_req *req, sv_source *payload,
                      sv_enqueue_res *out, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "enqueue requires client");
  return client->enqueue(client, req, payload, out, error);
}

SV_API int sv_dequeue(sv_client *client, const sv_dequeue_req *req, sv_message **out,
                      sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "dequeue requires client");
  return client->dequeue(client, req, out, error);
}

SV_API int sv_dequeue_batch(sv_client *client, const sv_dequeue_req *req, sv_dequeue_batch_res *out,
                            sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "dequeue_batch requires client");
  return client->dequeue_batch(client, req, out, error);
}

SV_API int sv_dequeue_with_state(sv_client *client, const sv_dequeue_req *req, sv_message **out,
                                 sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "dequeue_with_state requires client");
  return client->dequeue_with_state(client, req, out, error);
}

SV_API int sv_subscribe(sv_client *client, const sv_dequeue_req *req, const sv_consumer *consumer,
                        sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "subscribe requires client");
  return client->subscribe(client, req, consumer, error);
}

SV_API int sv_subscribe_with_state(sv_client *client, const sv_dequeue_req *req,
                                   const sv_consumer *consumer, sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "subscribe_with_state requires client");
  return client->subscribe_with_state(client, req, consumer, error);
}

SV_API int sv_client_new_consumer_service(sv_client *client,
                                          const sv_consumer_service_config *config,
                                          sv_consumer_service **out, sv_error *error) noexcept {
  if (client == nullptr)
    return sv_refuse_missing_handle(error, "client new_consumer_service requires client");
  return client->new_consumer_service(client, config, out, error);
}

SV_API int sv_watch_queue(sv_client *client, const sv_watch_queue_req *req,
                          const sv_watch_handler *handler, sv_error *error) noexcept {
  if (client == nullptr) return sv_refuse_missing_handle(error, "watch_queue requires client");
  return client->watch_queue(client, req, handler, error);
}

SV_API void sv_client_close(sv_client *client) noexcept {
  if (client != nullptr) client->close(client);
}

}  // extern "C"
