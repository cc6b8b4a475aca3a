// Init functions of the coordinator's request records and cleanup functions of its results.
#include <cstdlib>

#include "client_admin_internal.h"

using admin_detail::free_string;
using admin_detail::zero;

extern "C" {

SV_API void sv_tc_lease_acquire_req_init(sv_tc_lease_acquire_req *req) noexcept {
  zero(req);
}
SV_API void sv_tc_lease_renew_req_init(sv_tc_lease_renew_req *req) noexcept {
  zero(req);
}
SV_API void sv_tc_lease_release_req_init(sv_tc_lease_release_req *req) noexcept {
  zero(req);
}
SV_API void sv_tc_cluster_announce_req_init(sv_tc_cluster_announce_req *req) noexcept {
  zero(req);
}
SV_API void sv_tc_cluster_leave_req_init(sv_tc_cluster_leave_req *req) noexcept {
  zero(req);
}
SV_API void sv_tc_rm_register_req_init(sv_tc_rm_register_req *req) noexcept {
  zero(req);
}
SV_API void sv_tc_rm_unregister_req_init(sv_tc_rm_unregister_req *req) noexcept {
  zero(req);
}

SV_API void sv_tc_lease_acquire_res_cleanup(sv_tc_lease_acquire_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->leader_id);
  free_string(&res->leader_endpoint);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_tc_lease_renew_res_cleanup(sv_tc_lease_renew_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->leader_id);
  free_string(&res->leader_endpoint);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_tc_lease_release_res_cleanup(sv_tc_lease_release_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_tc_leader_res_cleanup(sv_tc_leader_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->leader_id);
  free_string(&res->leader_endpoint);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_tc_cluster_res_cleanup(sv_tc_cluster_res *res) noexcept {
  if (res == nullptr) return;
  sv_string_list_cleanup(&res->endpoints);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_tc_rm_res_cleanup(sv_tc_rm_res *res) noexcept {
  if (res == nullptr) return;
  free_string(&res->backend_hash);
  sv_string_list_cleanup(&res->endpoints);
  free_string(&res->correlation_id);
  zero(res);
}

SV_API void sv_tc_rm_list_res_cleanup(sv_tc_rm_list_res *res) noexcept {
  if (res == nullptr) return;
  for (size_t index = 0; res->backends != nullptr && index < res->backend_count; ++index) {
    free_string(&res->backends[index].backend_hash);
    sv_string_list_cleanup(&res->backends[index].endpoints);
  }
  std::free(res->backends);
  free_string(&res->correlation_id);
  zero(res);
}

}  // extern "C"
