// The client's method table.
#include "client_admin_internal.h"
#include "client_internal.h"
#include "client_queue_internal.h"
#include "lease_internal.h"

void sv_client_fill_methods(sv_client *client) noexcept {
  client->acquire = sv_client_acquire_method;
  client->describe = sv_client_describe_method;
  client->get = sv_client_get_method;
  client->load = sv_client_load_method;
  client->update = sv_client_update_method;
  client->mutate = sv_client_mutate_method;
  client->metadata = sv_client_metadata_method;
  client->remove = sv_client_remove_method;
  client->keepalive = sv_client_keepalive_method;
  client->release = sv_client_release_method;
  client->attach = sv_client_attach_method;
  client->list_attachments = sv_client_list_attachments_method;
  client->get_attachment = sv_client_get_attachment_method;
  client->delete_attachment = sv_client_delete_attachment_method;
  client->delete_all_attachments = sv_client_delete_all_attachments_method;
  client->queue_stats = sv_client_queue_stats_method;
  client->queue_ack = sv_client_queue_ack_method;
  client->queue_nack = sv_client_queue_nack_method;
  client->queue_extend = sv_client_queue_extend_method;
  client->query = sv_client_query_method;
  client->get_namespace_config = sv_client_get_namespace_config_method;
  client->update_namespace_config = sv_client_update_namespace_config_method;
  client->flush_index = sv_client_flush_index_method;
  client->txn_replay = sv_client_txn_replay_method;
  client->txn_prepare = sv_client_txn_prepare_method;
  client->txn_commit = sv_client_txn_commit_method;
  client->txn_rollback = sv_client_txn_rollback_method;
  client->tc_lease_acquire = sv_client_tc_lease_acquire_method;
  client->tc_lease_renew = sv_client_tc_lease_renew_method;
  client->tc_lease_release = sv_client_tc_lease_release_method;
  client->tc_leader = sv_client_tc_leader_method;
  client->tc_cluster_announce = sv_client_tc_cluster_announce_method;
  client->tc_cluster_leave = sv_client_tc_cluster_leave_method;
  client->tc_cluster_leave_member = sv_client_tc_cluster_leave_member_method;
  client->tc_cluster_list = sv_client_tc_cluster_list_method;
  client->tc_rm_register = sv_client_tc_rm_register_method;
  client->tc_rm_unregister = sv_client_tc_rm_unregister_method;
  client->tc_rm_list = sv_client_tc_rm_list_method;
  client->enqueue = sv_client_enqueue_method;
  client->dequeue = sv_client_dequeue_method;
  client->dequeue_batch = sv_client_dequeue_batch_method;
  client->dequeue_with_state = sv_client_dequeue_with_state_method;
  client->subscribe = sv_client_subscribe_method;
  client->subscribe_with_state = sv_client_subscribe_with_state_method;
  client->new_consumer_service = sv_client_new_consumer_service_method;
  client->watch_queue = sv_client_watch_queue_method;
  client->close = sv_client_close_method;
  client->acquire_for_update = sv_client_acquire_for_update_method;
  client->query_keys = sv_client_query_keys_method;
}
