// The transaction coordinator's leader lease: acquire, renew and release it, and ask who leads.
#include "admin_internal.h"

namespace {

struct AcquireBody {
  const char *candidate_id;
  const char *candidate_endpoint;
  int64_t term;
  int64_t ttl_ms;
};
const brindle_field acquire_body_fields[] = {
    BRINDLE_DECL_STRING(AcquireBody, candidate_id, "candidate_id", 0),
    BRINDLE_DECL_STRING(AcquireBody, candidate_endpoint, "candidate_endpoint", 0),
    BRINDLE_DECL_I64(AcquireBody, term, "term", 0),
    BRINDLE_DECL_I64(AcquireBody, ttl_ms, "ttl_ms", 0),
};
const brindle_map acquire_body_map =
    BRINDLE_MAP("sv_engine_tc_lease_acquire_request", AcquireBody, acquire_body_fields);

struct RenewBody {
  const char *leader_id;
  int64_t term;
  int64_t ttl_ms;
};
const brindle_field renew_body_fields[] = {
    BRINDLE_DECL_STRING(RenewBody, leader_id, "leader_id", 0),
    BRINDLE_DECL_I64(RenewBody, term, "term", 0),
    BRINDLE_DECL_I64(RenewBody, ttl_ms, "ttl_ms", 0),
};
const brindle_map renew_body_map =
    BRINDLE_MAP("sv_engine_tc_lease_renew_request", RenewBody, renew_body_fields);

struct ReleaseBody {
  const char *leader_id;
  int64_t term;
};
const brindle_field release_body_fields[] = {
    BRINDLE_DECL_STRING(ReleaseBody, leader_id, "leader_id", 0),
    BRINDLE_DECL_I64(ReleaseBody, term, "term", 0),
};
const brindle_map release_body_map =
    BRINDLE_MAP("sv_engine_tc_lease_release_request", ReleaseBody, release_body_fields);

struct LeaseAnswer {
  int32_t granted;
  char *leader_id;
  char *leader_endpoint;
  int64_t term;
  int64_t expires_at;
};
const brindle_field lease_answer_fields[] = {
    BRINDLE_DECL_BOOL(LeaseAnswer, granted, "granted", 0),
    BRINDLE_DECL_STRING(LeaseAnswer, leader_id, "leader_id", 0),
    BRINDLE_DECL_STRING(LeaseAnswer, leader_endpoint, "leader_endpoint", 0),
    BRINDLE_DECL_I64(LeaseAnswer, term, "term", 0),
    BRINDLE_DECL_I64(LeaseAnswer, expires_at, "expires_at", 0),
};
const brindle_map lease_answer_map =
    BRINDLE_MAP("sv_engine_tc_lease_response_json", LeaseAnswer, lease_answer_fields);

struct ReleaseAnswer {
  int32_t released;
  int64_t term;
};
const brindle_field release_answer_fields[] = {
    BRINDLE_DECL_BOOL(ReleaseAnswer, released, "released", 0),
    BRINDLE_DECL_I64(ReleaseAnswer, term, "term", 0),
};
const brindle_map release_answer_map =
    BRINDLE_MAP("sv_engine_tc_release_response_json", ReleaseAnswer, release_answer_fields);

// The lease answer of acquire, renew and tc_leader.
int lease_exchange(const sv_engine_client *client, const char *method, const char *path,
                   const brindle_map *body_map, const void *body, LeaseAnswer *answer,
                   char **correlation_id, sv_engine_error *error) {
  const sv_engine_admin_call call = {method, path,  body_map, body, &lease_answer_map,
                                     answer, false, false};
  return sv_engine_admin_exchange(client, call, correlation_id, error);
}

int fill_lease(int status, LeaseAnswer &answer, sv_engine_tc_lease_response *response,
               sv_engine_error *error) {
  if (status == SV_OK) {
    response->granted = answer.granted != 0 ? 1 : 0;
    response->term = answer.term;
    response->expires_at = answer.expires_at;
    if (!sv_engine_admin_copy(&response->leader_id, answer.leader_id) ||
        !sv_engine_admin_copy(&response->leader_endpoint, answer.leader_endpoint)) {
      status =
          sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate tc lease response");
    }
  }
  brindle_cleanup(&lease_answer_map, &answer);
  return status;
}

}  // namespace

extern "C" {

SV_API void sv_engine_tc_lease_response_cleanup(sv_engine_tc_lease_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->leader_id);
  sv_engine_free_string(&response->leader_endpoint);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_tc_lease_response{};
}

SV_API void sv_engine_tc_leader_response_cleanup(sv_engine_tc_leader_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->leader_id);
  sv_engine_free_string(&response->leader_endpoint);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_tc_leader_response{};
}

SV_API void sv_engine_tc_release_response_cleanup(
    sv_engine_tc_release_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_tc_release_response{};
}

SV_API int sv_engine_client_tc_lease_acquire(const sv_engine_client *client,
                                             const sv_engine_tc_lease_acquire_request *request,
                                             sv_engine_tc_lease_response *response,
                                             sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "tc_lease_acquire requires client, request, response, and error");
  }
  sv_engine_tc_lease_response_cleanup(response);
  const AcquireBody body{request->candidate_id, request->candidate_endpoint, request->term,
                         request->ttl_ms};
  LeaseAnswer answer{};
  const int status = lease_exchange(client, "POST", "/v1/tc/lease/acquire", &acquire_body_map,
                                    &body, &answer, &response->correlation_id, error);
  return fill_lease(status, answer, response, error);
}

SV_API int sv_engine_client_tc_lease_renew(const sv_engine_client *client,
                                           const sv_engine_tc_lease_renew_request *request,
                                           sv_engine_tc_lease_response *response,
                                           sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "tc_lease_renew requires client, request, response, and error");
  }
  sv_engine_tc_lease_response_cleanup(response);
  const RenewBody body{request->leader_id, request->term, request->ttl_ms};
  LeaseAnswer answer{};
  const int status = lease_exchange(client, "POST", "/v1/tc/lease/renew", &renew_body_map, &body,
                                    &answer, &response->correlation_id, error);
  return fill_lease(status, answer, response, error);
}

SV_API int sv_engine_client_tc_lease_release(const sv_engine_client *client,
                                             const sv_engine_tc_lease_release_request *request,
                                             sv_engine_tc_release_response *response,
                                             sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "tc_lease_release requires client, request, response, and error");
  }
  sv_engine_tc_release_response_cleanup(response);
  const ReleaseBody body{request->leader_id, request->term};
  ReleaseAnswer answer{};
  const sv_engine_admin_call call = {
      "POST", "/v1/tc/lease/release", &release_body_map, &body, &release_answer_map, &answer, false,
      false};
  const int status = sv_engine_admin_exchange(client, call, &response->correlation_id, error);
  if (status == SV_OK) {
    response->released = answer.released != 0 ? 1 : 0;
    response->term = answer.term;
  }
  brindle_cleanup(&release_answer_map, &answer);
  return status;
}

SV_API int sv_engine_client_tc_leader(const sv_engine_client *client,
                                      sv_engine_tc_leader_response *response,
                                      sv_engine_error *error) noexcept {
  if (client == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "tc_leader requires client, response, and error");
  }
  sv_engine_tc_leader_response_cleanup(response);
  LeaseAnswer answer{};
  sv_engine_tc_lease_response lease{};
  int status = lease_exchange(client, "GET", "/v1/tc/leader", nullptr, nullptr, &answer,
                              &lease.correlation_id, error);
  status = fill_lease(status, answer, &lease, error);
  // Everything but granted moves over.
  response->leader_id = lease.leader_id;
  response->leader_endpoint = lease.leader_endpoint;
  response->term = lease.term;
  response->expires_at = lease.expires_at;
  response->correlation_id = lease.correlation_id;
  return status;
}

}  // extern "C"
