// The _init functions of the result records: each zeroes its record, so that callers need no
// memset and a record can be declared before the call that fills it.
#include "record_zero.h"
#include "stavoc.h"

using sv_records::zero;

extern "C" {

SV_API void sv_string_list_init(sv_string_list *record) noexcept {
  zero(record);
}
SV_API void sv_query_res_init(sv_query_res *record) noexcept {
  zero(record);
}
SV_API void sv_namespace_config_res_init(sv_namespace_config_res *record) noexcept {
  zero(record);
}
SV_API void sv_index_flush_res_init(sv_index_flush_res *record) noexcept {
  zero(record);
}
SV_API void sv_txn_replay_res_init(sv_txn_replay_res *record) noexcept {
  zero(record);
}
SV_API void sv_txn_decision_res_init(sv_txn_decision_res *record) noexcept {
  zero(record);
}
SV_API void sv_tc_lease_acquire_res_init(sv_tc_lease_acquire_res *record) noexcept {
  zero(record);
}
SV_API void sv_tc_lease_renew_res_init(sv_tc_lease_renew_res *record) noexcept {
  zero(record);
}
SV_API void sv_tc_lease_release_res_init(sv_tc_lease_release_res *record) noexcept {
  zero(record);
}
SV_API void sv_tc_leader_res_init(sv_tc_leader_res *record) noexcept {
  zero(record);
}
SV_API void sv_tc_cluster_res_init(sv_tc_cluster_res *record) noexcept {
  zero(record);
}
SV_API void sv_tc_rm_res_init(sv_tc_rm_res *record) noexcept {
  zero(record);
}
SV_API void sv_tc_rm_list_res_init(sv_tc_rm_list_res *record) noexcept {
  zero(record);
}
SV_API void sv_describe_res_init(sv_describe_res *record) noexcept {
  zero(record);
}
SV_API void sv_get_res_init(sv_get_res *record) noexcept {
  zero(record);
}
SV_API void sv_update_res_init(sv_update_res *record) noexcept {
  zero(record);
}
SV_API void sv_mutate_res_init(sv_mutate_res *record) noexcept {
  zero(record);
}
SV_API void sv_metadata_res_init(sv_metadata_res *record) noexcept {
  zero(record);
}
SV_API void sv_remove_res_init(sv_remove_res *record) noexcept {
  zero(record);
}
SV_API void sv_keepalive_res_init(sv_keepalive_res *record) noexcept {
  zero(record);
}
SV_API void sv_release_res_init(sv_release_res *record) noexcept {
  zero(record);
}
SV_API void sv_attach_res_init(sv_attach_res *record) noexcept {
  zero(record);
}
SV_API void sv_attachment_list_init(sv_attachment_list *record) noexcept {
  zero(record);
}
SV_API void sv_attachment_get_res_init(sv_attachment_get_res *record) noexcept {
  zero(record);
}
SV_API void sv_queue_stats_res_init(sv_queue_stats_res *record) noexcept {
  zero(record);
}
SV_API void sv_ack_res_init(sv_ack_res *record) noexcept {
  zero(record);
}
SV_API void sv_nack_res_init(sv_nack_res *record) noexcept {
  zero(record);
}
SV_API void sv_extend_res_init(sv_extend_res *record) noexcept {
  zero(record);
}
SV_API void sv_dequeue_batch_res_init(sv_dequeue_batch_res *record) noexcept {
  zero(record);
}
SV_API void sv_enqueue_res_init(sv_enqueue_res *record) noexcept {
  zero(record);
}

}  // extern "C"
