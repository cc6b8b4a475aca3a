// Pieces shared by the query and administration methods of the client: the engine call frame,
// all-or-nothing string copies into result records, and the methods the method table installs.
#ifndef STAVOC_API_CLIENT_ADMIN_INTERNAL_H
#define STAVOC_API_CLIENT_ADMIN_INTERNAL_H

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "lease_internal.h"
#include "record_zero.h"
#include "stavoc_admin.h"

namespace admin_detail {

// An engine error that is initialised and cleaned up with the call's frame.
struct EngineCall {
  sv_engine_error error{};
  EngineCall() noexcept { sv_engine_error_init(&error); }
  ~EngineCall() { sv_engine_error_cleanup(&error); }
  EngineCall(const EngineCall &) = delete;
  EngineCall &operator=(const EngineCall &) = delete;
};

inline int invalid(sv_error *error, const char *message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

inline const sv_engine_client *engine_of(const sv_client *client) noexcept {
  return sv_client_impl_of(client)->engine;
}

using sv_records::zero;

inline void free_string(char **text) noexcept {
  std::free(*text);
  *text = nullptr;
}

// A system-allocator copy of an optional string: NULL stays NULL, a failed copy is false.
// A required text member: present and not empty.
inline bool has_text(const char *text) noexcept {
  return text != nullptr && text[0] != '\0';
}

inline bool copy_string(char **slot, const char *text) noexcept {
  *slot = nullptr;
  if (text == nullptr) return true;
  *slot = sv_strdup_local(text);
  return *slot != nullptr;
}

// Copies count engine strings into list; false when an allocation fails (the list then holds
// what was copied and is left to sv_string_list_cleanup).
bool copy_string_list(sv_string_list *list, char *const *items, size_t count) noexcept;

}  // namespace admin_detail

// Methods installed by the method table.
int sv_client_query_method(sv_client *self, const sv_query_req *req, sv_sink *dst,
                           sv_query_res *out, sv_error *error) noexcept;
int sv_client_query_keys_method(sv_client *self, const sv_query_req *req,
                                const sv_query_key_handler *handler, void *handler_context,
                                sv_query_res *out, sv_error *error) noexcept;
int sv_client_get_namespace_config_method(sv_client *self, const sv_namespace_config_req *req,
                                          sv_namespace_config_res *out, sv_error *error) noexcept;
int sv_client_update_namespace_config_method(sv_client *self, const sv_namespace_config_req *req,
                                             sv_namespace_config_res *out,
                                             sv_error *error) noexcept;
int sv_client_flush_index_method(sv_client *self, const sv_index_flush_req *req,
                                 sv_index_flush_res *out, sv_error *error) noexcept;
int sv_client_txn_replay_method(sv_client *self, const sv_txn_replay_req *req,
                                sv_txn_replay_res *out, sv_error *error) noexcept;
int sv_client_txn_prepare_method(sv_client *self, const sv_txn_decision_req *req,
                                 sv_txn_decision_res *out, sv_error *error) noexcept;
int sv_client_txn_commit_method(sv_client *self, const sv_txn_decision_req *req,
                                sv_txn_decision_res *out, sv_error *error) noexcept;
int sv_client_txn_rollback_method(sv_client *self, const sv_txn_decision_req *req,
                                  sv_txn_decision_res *out, sv_error *error) noexcept;
int sv_client_tc_lease_acquire_method(sv_client *self, const sv_tc_lease_acquire_req *req,
                                      sv_tc_lease_acquire_res *out, sv_error *error) noexcept;
int sv_client_tc_lease_renew_method(sv_client *self, const sv_tc_lease_renew_req *req,
                                    sv_tc_lease_renew_res *out, sv_error *error) noexcept;
int sv_client_tc_lease_release_method(sv_client *self, const sv_tc_lease_release_req *req,
                                      sv_tc_lease_release_res *out, sv_error *error) noexcept;
int sv_client_tc_leader_method(sv_client *self, sv_tc_leader_res *out, sv_error *error) noexcept;
int sv_client_tc_cluster_announce_method(sv_client *self, const sv_tc_cluster_announce_req *req,
                                         sv_tc_cluster_res *out, sv_error *error) noexcept;
int sv_client_tc_cluster_leave_member_method(sv_client *self, const sv_tc_cluster_leave_req *req,
                                             sv_tc_cluster_res *out, sv_error *error) noexcept;
int sv_client_tc_cluster_leave_method(sv_client *self, sv_tc_cluster_res *out,
                                      sv_error *error) noexcept;
int sv_client_tc_cluster_list_method(sv_client *self, sv_tc_cluster_res *out,
                                     sv_error *error) noexcept;
int sv_client_tc_rm_register_method(sv_client *self, const sv_tc_rm_register_req *req,
                                    sv_tc_rm_res *out, sv_error *error) noexcept;
int sv_client_tc_rm_unregister_method(sv_client *self, const sv_tc_rm_unregister_req *req,
                                      sv_tc_rm_res *out, sv_error *error) noexcept;
int sv_client_tc_rm_list_method(sv_client *self, sv_tc_rm_list_res *out, sv_error *error) noexcept;

#endif
