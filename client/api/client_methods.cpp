// The client's method table. Operations that this build does not provide yet get a method that
// fails cleanly with SV_ERR_INVALID and names the operation, so every slot is always callable.
#include <cstdio>
#include <tuple>

#include "client_internal.h"
#include "client_queue_internal.h"
#include "lease_internal.h"

namespace {

template <typename Slot>
struct Unavailable;

// A method of the slot's exact type; its last argument is always the caller's error record.
template <typename... Args>
struct Unavailable<int (*)(Args...)> {
  template <const char *Operation>
  static int method(Args... args) noexcept {
    sv_error *error = std::get<sizeof...(Args) - 1>(std::forward_as_tuple(args...));
    char message[128];
    std::snprintf(message, sizeof(message), "%s is not available in this build", Operation);
    return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
  }
};

#define SV_UNAVAILABLE(client, slot)                                                 \
  do {                                                                               \
    static constexpr char operation_name[] = #slot;                                  \
    (client)->slot = Unavailable<decltype(sv_client::slot)>::method<operation_name>; \
  } while (0)

}  // namespace

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
  SV_UNAVAILABLE(client, queue_stats);
  SV_UNAVAILABLE(client, queue_ack);
  SV_UNAVAILABLE(client, queue_nack);
  SV_UNAVAILABLE(client, queue_extend);
  SV_UNAVAILABLE(client, query);
  SV_UNAVAILABLE(client, get_namespace_config);
  SV_UNAVAILABLE(client, update_namespace_config);
  SV_UNAVAILABLE(client, flush_index);
  SV_UNAVAILABLE(client, txn_replay);
  SV_UNAVAILABLE(client, txn_prepare);
  SV_UNAVAILABLE(client, txn_commit);
  SV_UNAVAILABLE(client, txn_rollback);
  SV_UNAVAILABLE(client, tc_lease_acquire);
  SV_UNAVAILABLE(client, tc_lease_renew);
  SV_UNAVAILABLE(client, tc_lease_release);
  SV_UNAVAILABLE(client, tc_leader);
  SV_UNAVAILABLE(client, tc_cluster_announce);
  SV_UNAVAILABLE(client, tc_cluster_leave);
  SV_UNAVAILABLE(client, tc_cluster_list);
  SV_UNAVAILABLE(client, tc_rm_register);
  SV_UNAVAILABLE(client, tc_rm_unregister);
  SV_UNAVAILABLE(client, tc_rm_list);
  client->enqueue = sv_client_enqueue_method;
  SV_UNAVAILABLE(client, dequeue);
  SV_UNAVAILABLE(client, dequeue_batch);
  SV_UNAVAILABLE(client, dequeue_with_state);
  SV_UNAVAILABLE(client, subscribe);
  SV_UNAVAILABLE(client, subscribe_with_state);
  int sv_client_new_consumer_service_method(sv_client *, const sv_consumer_service_config *,
                                            sv_consumer_service **,
                                            sv_error *) noexcept;  // client/consumer
  client->new_consumer_service = sv_client_new_consumer_service_method;
  SV_UNAVAILABLE(client, watch_queue);
  client->close = sv_client_close_method;
  client->acquire_for_update = sv_client_acquire_for_update_method;
  SV_UNAVAILABLE(client, query_keys);
}
