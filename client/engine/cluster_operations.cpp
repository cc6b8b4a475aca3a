// Coordinator cluster membership (announce, leave, list) and resource managers that hold a
// backend (register, unregister, list).
#include <cstdlib>

#include "admin_internal.h"

namespace {

struct AnnounceBody {
  const char *self_endpoint;
};
const brindle_field announce_body_fields[] = {
    BRINDLE_DECL_STRING(AnnounceBody, self_endpoint, "self_endpoint", 0),
};
const brindle_map announce_body_map =
    BRINDLE_MAP("sv_engine_tc_cluster_announce_request", AnnounceBody, announce_body_fields);
const brindle_map leave_body_map =
    BRINDLE_MAP("sv_engine_tc_cluster_leave_request", AnnounceBody, announce_body_fields);

struct ClusterAnswer {
  brindle_array endpoints;
  int64_t updated_at_unix;
  int64_t expires_at_unix;
  int32_t left;
};
const brindle_field cluster_answer_fields[] = {
    BRINDLE_DECL_ARRAY(ClusterAnswer, endpoints, "endpoints", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_I64(ClusterAnswer, updated_at_unix, "updated_at_unix", 0),
    BRINDLE_DECL_I64(ClusterAnswer, expires_at_unix, "expires_at_unix", 0),
    BRINDLE_DECL_BOOL(ClusterAnswer, left, "left", 0),
};
const brindle_map cluster_answer_map =
    BRINDLE_MAP("sv_engine_tc_cluster_response_json", ClusterAnswer, cluster_answer_fields);

struct RmBody {
  const char *backend_hash;
  const char *endpoint;
};
const brindle_field rm_body_fields[] = {
    BRINDLE_DECL_STRING(RmBody, backend_hash, "backend_hash", 0),
    BRINDLE_DECL_STRING(RmBody, endpoint, "endpoint", 0),
};
const brindle_map rm_register_body_map =
    BRINDLE_MAP("sv_engine_tcrm_register_request", RmBody, rm_body_fields);
const brindle_map rm_unregister_body_map =
    BRINDLE_MAP("sv_engine_tcrm_unregister_request", RmBody, rm_body_fields);

// One backend: the answer of register and unregister, and an item of the list.
struct BackendAnswer {
  char *backend_hash;
  brindle_array endpoints;
  int64_t updated_at_unix;
};
const brindle_field backend_answer_fields[] = {
    BRINDLE_DECL_STRING(BackendAnswer, backend_hash, "backend_hash", 0),
    BRINDLE_DECL_ARRAY(BackendAnswer, endpoints, "endpoints", BRINDLE_FIELD_STRING_ARRAY, 0),
    BRINDLE_DECL_I64(BackendAnswer, updated_at_unix, "updated_at_unix", 0),
};
const brindle_map register_answer_map =
    BRINDLE_MAP("sv_engine_tcrm_register_response_json", BackendAnswer, backend_answer_fields);
const brindle_map backend_item_map =
    BRINDLE_MAP("sv_engine_tcrm_backend_json", BackendAnswer, backend_answer_fields);

struct ListAnswer {
  brindle_object_array backends;
  int64_t updated_at_unix;
};
const brindle_field list_answer_fields[] = {
    BRINDLE_DECL_OBJECT_ARRAY(ListAnswer, backends, "backends", 0, &backend_item_map,
                              BackendAnswer),
    BRINDLE_DECL_I64(ListAnswer, updated_at_unix, "updated_at_unix", 0),
};
const brindle_map list_answer_map =
    BRINDLE_MAP("sv_engine_tcrm_list_response_json", ListAnswer, list_answer_fields);

int cluster_exchange(const sv_engine_client *client, const char *method, const char *path,
                     const brindle_map *body_map, const AnnounceBody *body,
                     sv_engine_tc_cluster_response *response, sv_engine_error *error) {
  sv_engine_tc_cluster_response_cleanup(response);
  ClusterAnswer answer{};
  const sv_engine_admin_call call = {
      method, path, body != nullptr ? body_map : nullptr, body, &cluster_answer_map, &answer,
      false,  false};
  int status = sv_engine_admin_exchange(client, call, &response->correlation_id, error);
  if (status == SV_OK) {
    response->updated_at_unix = answer.updated_at_unix;
    response->expires_at_unix = answer.expires_at_unix;
    response->left = answer.left != 0 ? 1 : 0;
    status = sv_engine_admin_copy_strings(
        &response->endpoints, &response->endpoint_count, answer.endpoints,
        "failed to allocate tc cluster endpoints", "failed to allocate tc cluster endpoint", error);
  }
  brindle_cleanup(&cluster_answer_map, &answer);
  return status;
}

int rm_exchange(const sv_engine_client *client, const char *path, const brindle_map *body_map,
                const sv_engine_tcrm_request *request, sv_engine_tcrm_register_response *response,
                sv_engine_error *error) {
  sv_engine_tcrm_register_response_cleanup(response);
  const RmBody body{request->backend_hash, request->endpoint};
  BackendAnswer answer{};
  const sv_engine_admin_call call = {"POST",  path,  body_map, &body, &register_answer_map,
                                     &answer, false, false};
  int status = sv_engine_admin_exchange(client, call, &response->correlation_id, error);
  if (status == SV_OK) {
    response->updated_at_unix = answer.updated_at_unix;
    status = sv_engine_admin_copy(&response->backend_hash, answer.backend_hash)
                 ? SV_OK
                 : sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                              "failed to allocate tcrm register response");
  }
  if (status == SV_OK) {
    status =
        sv_engine_admin_copy_strings(&response->endpoints, &response->endpoint_count,
                                     answer.endpoints, "failed to allocate tcrm register endpoints",
                                     "failed to allocate tcrm register endpoint", error);
  }
  brindle_cleanup(&register_answer_map, &answer);
  return status;
}

int copy_backends(const ListAnswer &answer, sv_engine_tcrm_list_response *response,
                  sv_engine_error *error) {
  if (answer.backends.count == 0) return SV_OK;
  response->backends = static_cast<sv_engine_tcrm_backend *>(
      std::calloc(answer.backends.count, sizeof(sv_engine_tcrm_backend)));
  if (response->backends == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate tcrm backend list");
  }
  const auto *items = static_cast<const BackendAnswer *>(answer.backends.items);
  for (size_t i = 0; i < answer.backends.count; ++i) {
    sv_engine_tcrm_backend &backend = response->backends[i];
    response->backend_count = i + 1;
    backend.updated_at_unix = items[i].updated_at_unix;
    if (!sv_engine_admin_copy(&backend.backend_hash, items[i].backend_hash)) {
      return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                        "failed to allocate tcrm backend item");
    }
    const int status = sv_engine_admin_copy_strings(
        &backend.endpoints, &backend.endpoint_count, items[i].endpoints,
        "failed to allocate tcrm backend endpoints", "failed to allocate tcrm backend endpoint",
        error);
    if (status != SV_OK) return status;
  }
  return SV_OK;
}

}  // namespace

extern "C" {

SV_API void sv_engine_tc_cluster_response_cleanup(
    sv_engine_tc_cluster_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_admin_free_strings(&response->endpoints, &response->endpoint_count);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_tc_cluster_response{};
}

SV_API void sv_engine_tcrm_register_response_cleanup(
    sv_engine_tcrm_register_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->backend_hash);
  sv_engine_admin_free_strings(&response->endpoints, &response->endpoint_count);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_tcrm_register_response{};
}

SV_API void sv_engine_tcrm_list_response_cleanup(sv_engine_tcrm_list_response *response) noexcept {
  if (response == nullptr) return;
  for (size_t i = 0; i < response->backend_count && response->backends != nullptr; ++i) {
    sv_engine_free_string(&response->backends[i].backend_hash);
    sv_engine_admin_free_strings(&response->backends[i].endpoints,
                                 &response->backends[i].endpoint_count);
  }
  std::free(response->backends);
  sv_engine_free_string(&response->correlation_id);
  *response = sv_engine_tcrm_list_response{};
}

SV_API int sv_engine_client_tc_cluster_announce(
    const sv_engine_client *client, const sv_engine_tc_cluster_announce_request *request,
    sv_engine_tc_cluster_response *response, sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      request->self_endpoint == nullptr || request->self_endpoint[0] == '\0') {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "tc_cluster_announce requires client, request, response, error, and self_endpoint");
  }
  const AnnounceBody body{request->self_endpoint};
  return cluster_exchange(client, "POST", "/v1/tc/cluster/announce", &announce_body_map, &body,
                          response, error);
}

SV_API int sv_engine_client_tc_cluster_leave(const sv_engine_client *client,
                                             sv_engine_tc_cluster_response *response,
                                             sv_engine_error *error) noexcept {
  if (client == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "tc_cluster_leave requires client, response, and error");
  }
  return cluster_exchange(client, "POST", "/v1/tc/cluster/leave", nullptr, nullptr, response,
                          error);
}

SV_API int sv_engine_client_tc_cluster_leave_member(
    const sv_engine_client *client, const sv_engine_tc_cluster_leave_request *request,
    sv_engine_tc_cluster_response *response, sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr ||
      request->self_endpoint == nullptr || request->self_endpoint[0] == '\0') {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "tc_cluster_leave_member requires client, request, response, error, and self_endpoint");
  }
  const AnnounceBody body{request->self_endpoint};
  return cluster_exchange(client, "POST", "/v1/tc/cluster/leave", &leave_body_map, &body, response,
                          error);
}

SV_API int sv_engine_client_tc_cluster_list(const sv_engine_client *client,
                                            sv_engine_tc_cluster_response *response,
                                            sv_engine_error *error) noexcept {
  if (client == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "tc_cluster_list requires client, response, and error");
  }
  return cluster_exchange(client, "GET", "/v1/tc/cluster/list", nullptr, nullptr, response, error);
}

SV_API int sv_engine_client_tcrm_register(const sv_engine_client *client,
                                          const sv_engine_tcrm_request *request,
                                          sv_engine_tcrm_register_response *response,
                                          sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "tcrm_register requires client, request, response, and error");
  }
  return rm_exchange(client, "/v1/tc/rm/register", &rm_register_body_map, request, response, error);
}

SV_API int sv_engine_client_tcrm_unregister(const sv_engine_client *client,
                                            const sv_engine_tcrm_request *request,
                                            sv_engine_tcrm_register_response *response,
                                            sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "tcrm_unregister requires client, request, response, and error");
  }
  return rm_exchange(client, "/v1/tc/rm/unregister", &rm_unregister_body_map, request, response,
                     error);
}

SV_API int sv_engine_client_tcrm_list(const sv_engine_client *client,
                                      sv_engine_tcrm_list_response *response,
                                      sv_engine_error *error) noexcept {
  if (client == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "tcrm_list requires client, response, and error");
  }
  sv_engine_tcrm_list_response_cleanup(response);
  ListAnswer answer{};
  const sv_engine_admin_call call = {
      "GET", "/v1/tc/rm/list", nullptr, nullptr, &list_answer_map, &answer, false, false};
  int status = sv_engine_admin_exchange(client, call, &response->correlation_id, error);
  if (status == SV_OK) {
    response->updated_at_unix = answer.updated_at_unix;
    status = copy_backends(answer, response, error);
  }
  brindle_cleanup(&list_answer_map, &answer);
  return status;
}

}  // extern "C"
