// Namespace configuration: read (GET /v1/namespace) and change (PUT /v1/namespace) which query
// engine a namespace prefers and which it falls back to.
#include <cstdlib>
#include <cstring>

#include "admin_internal.h"

namespace {

struct NamespaceQuery {
  char *preferred_engine;
  char *fallback_engine;
};

// The answer, and the body of PUT with the same shape.
struct NamespaceConfig {
  char *namespace_name;
  NamespaceQuery query;
};

const brindle_field namespace_query_fields[] = {
    BRINDLE_DECL_STRING(NamespaceQuery, preferred_engine, "preferred_engine",
                        BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_STRING(NamespaceQuery, fallback_engine, "fallback_engine",
                        BRINDLE_FIELD_OMIT_NULL),
};
const brindle_map namespace_query_map =
    BRINDLE_MAP("sv_engine_namespace_query_json", NamespaceQuery, namespace_query_fields);

const brindle_field namespace_config_fields[] = {
    BRINDLE_DECL_STRING(NamespaceConfig, namespace_name, "namespace", BRINDLE_FIELD_OMIT_NULL),
    BRINDLE_DECL_OBJECT(NamespaceConfig, query, "query", 0, &namespace_query_map),
};
const brindle_map namespace_config_map = BRINDLE_MAP("sv_engine_namespace_config_response_json",
                                                     NamespaceConfig, namespace_config_fields);

int finish(const sv_engine_client *client, const sv_engine_admin_call &call,
           sv_engine_namespace_config_response *response, sv_engine_error *error) {
  const auto *answer = static_cast<NamespaceConfig *>(call.response_record);
  int status = sv_engine_admin_exchange(client, call, &response->correlation_id, error);
  if (status == SV_OK &&
      (!sv_engine_admin_copy(&response->namespace_name, answer->namespace_name) ||
       !sv_engine_admin_copy(&response->preferred_engine, answer->query.preferred_engine) ||
       !sv_engine_admin_copy(&response->fallback_engine, answer->query.fallback_engine))) {
    status =
        sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate namespace response");
  }
  brindle_cleanup(&namespace_config_map, call.response_record);
  return status;
}

}  // namespace

extern "C" {

SV_API void sv_engine_namespace_config_response_cleanup(
    sv_engine_namespace_config_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->preferred_engine);
  sv_engine_free_string(&response->fallback_engine);
  sv_engine_free_string(&response->correlation_id);
}

SV_API int sv_engine_client_get_namespace_config(const sv_engine_client *client,
                                                 const char *namespace_name,
                                                 sv_engine_namespace_config_response *response,
                                                 sv_engine_error *error) noexcept {
  if (client == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "get_namespace_config requires client, response, and error");
  }
  sv_engine_namespace_config_response_cleanup(response);
  sv_engine_buffer path{};
  int status = sv_engine_buffer_append_cstr(&path, "/v1/namespace");
  if (status == SV_OK && namespace_name != nullptr && namespace_name[0] != '\0') {
    char *encoded = sv_engine_url_encode(namespace_name);
    if (encoded == nullptr) {
      sv_engine_buffer_cleanup(&path);
      return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to encode namespace");
    }
    status = sv_engine_buffer_append_cstr(&path, "?namespace=");
    if (status == SV_OK) status = sv_engine_buffer_append_cstr(&path, encoded);
    std::free(encoded);
  }
  if (status != SV_OK) {
    sv_engine_buffer_cleanup(&path);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate namespace path");
  }
  NamespaceConfig answer{};
  const sv_engine_admin_call call = {"GET",   path.data, nullptr, nullptr, &namespace_config_map,
                                     &answer, false,     false};
  status = finish(client, call, response, error);
  sv_engine_buffer_cleanup(&path);
  return status;
}

SV_API int sv_engine_client_update_namespace_config(
    const sv_engine_client *client, const sv_engine_namespace_config_request *request,
    sv_engine_namespace_config_response *response, sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID,
        "update_namespace_config requires client, request, response, and error");
  }
  // Nothing to change: answer with the current configuration instead.
  if (request->preferred_engine == nullptr && request->fallback_engine == nullptr) {
    return sv_engine_client_get_namespace_config(client, request->namespace_name, response, error);
  }
  sv_engine_namespace_config_response_cleanup(response);
  NamespaceConfig body{};
  body.namespace_name =
      const_cast<char *>(sv_engine_effective_namespace(client, request->namespace_name));
  body.query.preferred_engine = const_cast<char *>(request->preferred_engine);
  body.query.fallback_engine = const_cast<char *>(request->fallback_engine);
  NamespaceConfig answer{};
  const sv_engine_admin_call call = {
      "PUT", "/v1/namespace", &namespace_config_map, &body, &namespace_config_map, &answer, true,
      true};
  return finish(client, call, response, error);
}

}  // extern "C"
