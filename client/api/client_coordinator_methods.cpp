// The transaction coordinator: its leader lease (acquire, renew, release, the current leader),
// cluster membership (announce, leave, list) and resource managers (register, unregister,
// list).
#include <cstdlib>

#include "../engine/sv_log.h"
#include "client_admin_internal.h"

using admin_detail::copy_string;
using admin_detail::copy_string_list;
using admin_detail::EngineCall;

namespace {

constexpr FailureEvents kAcquireEvents{"client.tc.lease.acquire.error",
                                       "client.tc.lease.acquire.transport_error", false};
constexpr FailureEvents kRenewEvents{"client.tc.lease.renew.error",
                                     "client.tc.lease.renew.transport_error", false};
constexpr FailureEvents kReleaseEvents{"client.tc.lease.release.error",
                                       "client.tc.lease.release.transport_error", false};
constexpr FailureEvents kLeaderEvents{"client.tc.leader.error", "client.tc.leader.transport_error",
                                      false};
constexpr FailureEvents kAnnounceEvents{"client.tc.cluster.announce.error",
                                        "client.tc.cluster.announce.transport_error", false};
constexpr FailureEvents kLeaveEvents{"client.tc.cluster.leave.error",
                                     "client.tc.cluster.leave.transport_error", false};
constexpr FailureEvents kListEvents{"client.tc.cluster.list.error",
                                    "client.tc.cluster.list.transport_error", false};
constexpr FailureEvents kRegisterEvents{"client.rm.register.error",
                                        "client.rm.register.transport_error", false};
constexpr FailureEvents kUnregisterEvents{"client.rm.unregister.error",
                                          "client.rm.unregister.transport_error", false};
constexpr FailureEvents kRmListEvents{"client.rm.list.error", "client.rm.list.transport_error",
                                      false};

// Acquire and renew answer alike: granted, the leader, its term and expiry.
template <typename Result>
bool fill_lease(Result *out, const sv_engine_tc_lease_response &reply) noexcept {
  admin_detail::zero(out);
  out->granted = reply.granted;
  out->term = reply.term;
  out->expires_at = reply.expires_at;
  return copy_string(&out->leader_id, reply.leader_id) &&
         copy_string(&out->leader_endpoint, reply.leader_endpoint) &&
         copy_string(&out->correlation_id, reply.correlation_id);
}

template <typename Result>
void log_lease(ember_logger *logger, const char *event, const ember_field &id,
               const Result &out) noexcept {
  const ember_field fields[] = {
      id, sv_log_bool_field("granted", out.granted), sv_log_str_field("leader_id", out.leader_id),
      sv_log_i64_field("term", out.term), sv_log_str_field("cid", out.correlation_id)};
  sv_log_trace(logger, event, fields, 5);
}

// The cluster answer: endpoints, two times and the correlation id, all or nothing.
int finish_cluster(ember_logger *logger, const char *success_event, const FailureEvents &events,
                   const ember_field *ids, size_t id_count, sv_engine_tc_cluster_response *reply,
                   sv_tc_cluster_res *out, sv_error *error) noexcept {
  admin_detail::zero(out);
  out->updated_at_unix = reply->updated_at_unix;
  out->expires_at_unix = reply->expires_at_unix;
  out->left = reply->left;
  const bool copied = copy_string_list(&out->endpoints, reply->endpoints, reply->endpoint_count) &&
                      copy_string(&out->correlation_id, reply->correlation_id);
  if (!copied) {
    sv_tc_cluster_res_cleanup(out);
    sv_engine_tc_cluster_response_cleanup(reply);
    return sv_api_fail_local(logger, events, ids, id_count, SV_ERR_NOMEM,
                             "failed to allocate tc cluster response", error);
  }
  ember_field fields[3];
  size_t used = 0;
  if (id_count > 0) fields[used++] = ids[0];
  fields[used++] = sv_log_u64_field("endpoints", static_cast<uint64_t>(reply->endpoint_count));
  fields[used++] = sv_log_str_field("cid", reply->correlation_id);
  sv_log_trace(logger, success_event, fields, used);
  sv_engine_tc_cluster_response_cleanup(reply);
  return SV_OK;
}

using RmFn = int (*)(const sv_engine_client *, const sv_engine_tcrm_request *,
                     sv_engine_tcrm_register_response *, sv_engine_error *) noexcept;

int rm_change(sv_client *self, const char *backend_hash, const char *endpoint,
              const char *start_event, const char *success_event, const FailureEvents &events,
              const char *copy_message, RmFn call_engine, sv_tc_rm_res *out,
              sv_error *error) noexcept {
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("backend_hash", backend_hash),
                             sv_log_str_field("endpoint", endpoint)};
  sv_log_trace(logger, start_event, ids, 2);
  const sv_engine_tcrm_request request{backend_hash, endpoint};
  sv_engine_tcrm_register_response reply{};
  EngineCall call;
  if (call_engine(admin_detail::engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, events, ids, 2, &call.error, error);
  }
  admin_detail::zero(out);
  out->updated_at_unix = reply.updated_at_unix;
  const bool copied = copy_string(&out->backend_hash, reply.backend_hash) &&
                      copy_string_list(&out->endpoints, reply.endpoints, reply.endpoint_count) &&
                      copy_string(&out->correlation_id, reply.correlation_id);
  if (!copied) {
    sv_tc_rm_res_cleanup(out);
    sv_engine_tcrm_register_response_cleanup(&reply);
    return sv_api_fail_local(logger, events, ids, 2, SV_ERR_NOMEM, copy_message, error);
  }
  const ember_field fields[] = {
      ids[0], ids[1], sv_log_u64_field("endpoints", static_cast<uint64_t>(reply.endpoint_count)),
      sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, success_event, fields, 4);
  sv_engine_tcrm_register_response_cleanup(&reply);
  return SV_OK;
}

// Copies the backend list; the message names what could not be allocated (NULL: all copied).
const char *fill_rm_list(sv_tc_rm_list_res *out,
                         const sv_engine_tcrm_list_response &reply) noexcept {
  admin_detail::zero(out);
  out->updated_at_unix = reply.updated_at_unix;
  if (reply.backend_count > 0 && reply.backends != nullptr) {
    out->backends =
        static_cast<sv_tc_rm_backend *>(std::calloc(reply.backend_count, sizeof(sv_tc_rm_backend)));
    if (out->backends == nullptr) return "failed to allocate tc rm backend list";
    for (size_t index = 0; index < reply.backend_count; ++index) {
      const sv_engine_tcrm_backend &from = reply.backends[index];
      sv_tc_rm_backend &to = out->backends[index];
      out->backend_count = index + 1;  // counted before it is filled, so cleanup sees it
      to.updated_at_unix = from.updated_at_unix;
      if (!copy_string(&to.backend_hash, from.backend_hash) ||
          !copy_string_list(&to.endpoints, from.endpoints, from.endpoint_count)) {
        return "failed to allocate tc rm list backends";
      }
    }
  }
  if (!copy_string(&out->correlation_id, reply.correlation_id)) {
    return "failed to allocate tc rm list correlation_id";
  }
  return nullptr;
}

}  // namespace

int sv_client_tc_lease_acquire_method(sv_client *self, const sv_tc_lease_acquire_req *req,
                                      sv_tc_lease_acquire_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_lease_acquire requires self, req, and out");
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("candidate_id", req->candidate_id),
                             sv_log_i64_field("term", req->term),
                             sv_log_i64_field("ttl_ms", req->ttl_ms)};
  sv_log_trace(logger, "client.tc.lease.acquire.start", ids, 3);
  const sv_engine_tc_lease_acquire_request request{req->candidate_id, req->candidate_endpoint,
                                                   req->term, req->ttl_ms};
  sv_engine_tc_lease_response reply{};
  EngineCall call;
  if (sv_engine_client_tc_lease_acquire(admin_detail::engine_of(self), &request, &reply,
                                        &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kAcquireEvents, ids, 3, &call.error, error);
  }
  const bool copied = fill_lease(out, reply);
  sv_engine_tc_lease_response_cleanup(&reply);
  if (!copied) {
    sv_tc_lease_acquire_res_cleanup(out);
    return sv_api_fail_local(logger, kAcquireEvents, ids, 3, SV_ERR_NOMEM,
                             "failed to allocate tc lease acquire response", error);
  }
  log_lease(logger, "client.tc.lease.acquire.success", ids[0], *out);
  return SV_OK;
}

int sv_client_tc_lease_renew_method(sv_client *self, const sv_tc_lease_renew_req *req,
                                    sv_tc_lease_renew_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_lease_renew requires self, req, and out");
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("leader_id", req->leader_id),
                             sv_log_i64_field("term", req->term),
                             sv_log_i64_field("ttl_ms", req->ttl_ms)};
  sv_log_trace(logger, "client.tc.lease.renew.start", ids, 3);
  const sv_engine_tc_lease_renew_request request{req->leader_id, req->term, req->ttl_ms};
  sv_engine_tc_lease_response reply{};
  EngineCall call;
  if (sv_engine_client_tc_lease_renew(admin_detail::engine_of(self), &request, &reply,
                                      &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kRenewEvents, ids, 3, &call.error, error);
  }
  const bool copied = fill_lease(out, reply);
  sv_engine_tc_lease_response_cleanup(&reply);
  if (!copied) {
    sv_tc_lease_renew_res_cleanup(out);
    return sv_api_fail_local(logger, kRenewEvents, ids, 3, SV_ERR_NOMEM,
                             "failed to allocate tc lease renew response", error);
  }
  log_lease(logger, "client.tc.lease.renew.success", ids[0], *out);
  return SV_OK;
}

int sv_client_tc_lease_release_method(sv_client *self, const sv_tc_lease_release_req *req,
                                      sv_tc_lease_release_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_lease_release requires self, req, and out");
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("leader_id", req->leader_id),
                             sv_log_i64_field("term", req->term)};
  sv_log_trace(logger, "client.tc.lease.release.start", ids, 2);
  const sv_engine_tc_lease_release_request request{req->leader_id, req->term};
  sv_engine_tc_release_response reply{};
  EngineCall call;
  if (sv_engine_client_tc_lease_release(admin_detail::engine_of(self), &request, &reply,
                                        &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kReleaseEvents, ids, 2, &call.error, error);
  }
  admin_detail::zero(out);
  out->released = reply.released;
  out->term = reply.term;
  const bool copied = copy_string(&out->correlation_id, reply.correlation_id);
  if (!copied) {
    sv_tc_lease_release_res_cleanup(out);
    sv_engine_tc_release_response_cleanup(&reply);
    return sv_api_fail_local(logger, kReleaseEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate tc lease release response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_bool_field("released", reply.released),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.tc.lease.release.success", fields, 3);
  sv_engine_tc_release_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_tc_leader_method(sv_client *self, sv_tc_leader_res *out, sv_error *error) noexcept {
  if (self == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_leader requires self and out");
  }
  ember_logger *logger = sv_api_logger(self);
  sv_log_trace(logger, "client.tc.leader.start", nullptr, 0);
  sv_engine_tc_leader_response reply{};
  EngineCall call;
  if (sv_engine_client_tc_leader(admin_detail::engine_of(self), &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kLeaderEvents, nullptr, 0, &call.error, error);
  }
  admin_detail::zero(out);
  out->term = reply.term;
  out->expires_at = reply.expires_at;
  const bool copied = copy_string(&out->leader_id, reply.leader_id) &&
                      copy_string(&out->leader_endpoint, reply.leader_endpoint) &&
                      copy_string(&out->correlation_id, reply.correlation_id);
  sv_engine_tc_leader_response_cleanup(&reply);
  if (!copied) {
    sv_tc_leader_res_cleanup(out);
    return sv_api_fail_local(logger, kLeaderEvents, nullptr, 0, SV_ERR_NOMEM,
                             "failed to allocate tc leader response", error);
  }
  const ember_field fields[] = {sv_log_str_field("leader_id", out->leader_id),
                                sv_log_i64_field("term", out->term),
                                sv_log_str_field("cid", out->correlation_id)};
  sv_log_trace(logger, "client.tc.leader.success", fields, 3);
  return SV_OK;
}

namespace {

// An announce or a named leave: one member's endpoint changes the cluster.
struct MemberChange {
  const char *argument_message;
  const char *endpoint_message;
  const char *start_event;
  const char *success_event;
  const FailureEvents &events;
  int (*call)(const sv_engine_client *, const char *, sv_engine_tc_cluster_response *,
              sv_engine_error *) noexcept;
};

int change_member(sv_client *self, const char *self_endpoint, const MemberChange &change,
                  sv_tc_cluster_res *out, sv_error *error) noexcept {
  if (!admin_detail::has_text(self_endpoint)) {
    return admin_detail::invalid(error, change.endpoint_message);
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("self_endpoint", self_endpoint)};
  sv_log_trace(logger, change.start_event, ids, 1);
  sv_engine_tc_cluster_response reply{};
  EngineCall call;
  if (change.call(admin_detail::engine_of(self), self_endpoint, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, change.events, ids, 1, &call.error, error);
  }
  return finish_cluster(logger, change.success_event, change.events, ids, 1, &reply, out, error);
}

const MemberChange kAnnounce{
    "tc_cluster_announce requires self, req, and out",
    "tc_cluster_announce requires self_endpoint",
    "client.tc.cluster.announce.start",
    "client.tc.cluster.announce.success",
    kAnnounceEvents,
    [](const sv_engine_client *engine, const char *endpoint, sv_engine_tc_cluster_response *reply,
       sv_engine_error *engine_error) noexcept {
      const sv_engine_tc_cluster_announce_request request{endpoint};
      return sv_engine_client_tc_cluster_announce(engine, &request, reply, engine_error);
    }};

const MemberChange kLeaveMember{
    "tc_cluster_leave_member requires self, req, and out",
    "tc_cluster_leave_member requires self_endpoint",
    "client.tc.cluster.leave.start",
    "client.tc.cluster.leave.success",
    kLeaveEvents,
    [](const sv_engine_client *engine, const char *endpoint, sv_engine_tc_cluster_response *reply,
       sv_engine_error *engine_error) noexcept {
      const sv_engine_tc_cluster_leave_request request{endpoint};
      return sv_engine_client_tc_cluster_leave_member(engine, &request, reply, engine_error);
    }};

}  // namespace

int sv_client_tc_cluster_announce_method(sv_client *self, const sv_tc_cluster_announce_req *req,
                                         sv_tc_cluster_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, kAnnounce.argument_message);
  }
  return change_member(self, req->self_endpoint, kAnnounce, out, error);
}

int sv_client_tc_cluster_leave_method(sv_client *self, sv_tc_cluster_res *out,
                                      sv_error *error) noexcept {
  if (self == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_cluster_leave requires self and out");
  }
  ember_logger *logger = sv_api_logger(self);
  sv_log_trace(logger, "client.tc.cluster.leave.start", nullptr, 0);
  sv_engine_tc_cluster_response reply{};
  EngineCall call;
  if (sv_engine_client_tc_cluster_leave(admin_detail::engine_of(self), &reply, &call.error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kLeaveEvents, nullptr, 0, &call.error, error);
  }
  return finish_cluster(logger, "client.tc.cluster.leave.success", kLeaveEvents, nullptr, 0, &reply,
                        out, error);
}

int sv_client_tc_cluster_leave_member_method(sv_client *self, const sv_tc_cluster_leave_req *req,
                                             sv_tc_cluster_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, kLeaveMember.argument_message);
  }
  return change_member(self, req->self_endpoint, kLeaveMember, out, error);
}

int sv_client_tc_cluster_list_method(sv_client *self, sv_tc_cluster_res *out,
                                     sv_error *error) noexcept {
  if (self == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_cluster_list requires self and out");
  }
  ember_logger *logger = sv_api_logger(self);
  sv_log_trace(logger, "client.tc.cluster.list.start", nullptr, 0);
  sv_engine_tc_cluster_response reply{};
  EngineCall call;
  if (sv_engine_client_tc_cluster_list(admin_detail::engine_of(self), &reply, &call.error) !=
      SV_OK) {
    return sv_api_fail_engine(logger, kListEvents, nullptr, 0, &call.error, error);
  }
  return finish_cluster(logger, "client.tc.cluster.list.success", kListEvents, nullptr, 0, &reply,
                        out, error);
}

int sv_client_tc_rm_register_method(sv_client *self, const sv_tc_rm_register_req *req,
                                    sv_tc_rm_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_rm_register requires self, req, and out");
  }
  if (!admin_detail::has_text(req->backend_hash) || !admin_detail::has_text(req->endpoint)) {
    return admin_detail::invalid(error, "tc_rm_register requires backend_hash and endpoint");
  }
  return rm_change(self, req->backend_hash, req->endpoint, "client.rm.register.start",
                   "client.rm.register.success", kRegisterEvents,
                   "failed to allocate tc rm register response", sv_engine_client_tcrm_register,
                   out, error);
}

int sv_client_tc_rm_unregister_method(sv_client *self, const sv_tc_rm_unregister_req *req,
                                      sv_tc_rm_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_rm_unregister requires self, req, and out");
  }
  if (!admin_detail::has_text(req->backend_hash) || !admin_detail::has_text(req->endpoint)) {
    return admin_detail::invalid(error, "tc_rm_unregister requires backend_hash and endpoint");
  }
  return rm_change(self, req->backend_hash, req->endpoint, "client.rm.unregister.start",
                   "client.rm.unregister.success", kUnregisterEvents,
                   "failed to allocate tc rm unregister response", sv_engine_client_tcrm_unregister,
                   out, error);
}

int sv_client_tc_rm_list_method(sv_client *self, sv_tc_rm_list_res *out, sv_error *error) noexcept {
  if (self == nullptr || out == nullptr) {
    return admin_detail::invalid(error, "tc_rm_list requires self and out");
  }
  ember_logger *logger = sv_api_logger(self);
  sv_log_trace(logger, "client.rm.list.start", nullptr, 0);
  sv_engine_tcrm_list_response reply{};
  EngineCall call;
  if (sv_engine_client_tcrm_list(admin_detail::engine_of(self), &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kRmListEvents, nullptr, 0, &call.error, error);
  }
  const char *failure = fill_rm_list(out, reply);
  if (failure != nullptr) {
    sv_tc_rm_list_res_cleanup(out);
    sv_engine_tcrm_list_response_cleanup(&reply);
    return sv_api_fail_local(logger, kRmListEvents, nullptr, 0, SV_ERR_NOMEM, failure, error);
  }
  const ember_field fields[] = {
      sv_log_u64_field("backends", static_cast<uint64_t>(reply.backend_count)),
      sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.rm.list.success", fields, 2);
  sv_engine_tcrm_list_response_cleanup(&reply);
  return SV_OK;
}
