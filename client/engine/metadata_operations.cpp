// update_metadata: changes a key's metadata (today the query_hidden flag) under its lease. The
// body carries only the members the caller set, so an unset flag sends "{}" and changes nothing.
#include <cstddef>

#include "state_internal.h"

namespace {

const brindle_field metadata_template[] = {
    BRINDLE_DECL_BOOL(sv_engine_metadata_request, query_hidden, "query_hidden", 0),
};

}  // namespace

extern "C" {

SV_API int sv_engine_client_update_metadata(const sv_engine_client *client,
                                            const sv_engine_metadata_request *request,
                                            sv_engine_metadata_response *response,
                                            sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  sv_engine_metadata_response_cleanup(response);

  sv_engine_buffer path{};
  const int built = sv_state::build_key_path(client, "/v1/metadata", request->key,
                                             request->namespace_name, &path);
  if (built != SV_OK) {
    return sv_engine_set_client_error(error, built, "failed to build metadata path");
  }
  sv_engine_header headers[6];
  size_t header_count = 0;
  char token[SV_ENGINE_INT_TEXT_CAPACITY];
  char version[SV_ENGINE_INT_TEXT_CAPACITY];
  // The common write headers without an ETag precondition: metadata is not the state.
  if (sv_engine_apply_common_mutation_headers(
          headers, 6, &header_count, "application/json", request->fencing_token, token,
          sizeof(token), request->lease_id, request->txn_id, nullptr) != SV_OK) {
    sv_engine_buffer_cleanup(&path);
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to prepare metadata headers");
  }
  if (request->has_if_version != 0) {
    if (!sv_state::set_version_header(request->if_version, version, sizeof(version),
                                      &headers[header_count])) {
      sv_engine_buffer_cleanup(&path);
      return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                        "failed to prepare metadata version header");
    }
    ++header_count;
  }
  const size_t field_count = request->has_query_hidden != 0 ? 1 : 0;
  const brindle_map body_map = {"sv_engine_metadata_request", sizeof(*request), metadata_template,
                                field_count};

  sv_state::Answer<sv_state::MetadataJson> answer(sv_state::metadata_response_map);
  const int status =
      answer.accept(sv_engine_http_json_request_stream(
                        client, "POST", path.data, &body_map, request, nullptr, headers,
                        header_count, answer.map(), &answer.parsed, &answer.result, error),
                    error);
  sv_engine_buffer_cleanup(&path);
  if (status != SV_OK) return status;

  const sv_state::MetadataJson &parsed = answer.parsed;
  if (!sv_state::copy_string(&response->namespace_name, parsed.namespace_name) ||
      !sv_state::copy_string(&response->key, parsed.key) ||
      !sv_state::copy_string(&response->correlation_id, answer.result.correlation_id)) {
    sv_engine_metadata_response_cleanup(response);
    return sv_engine_set_protocol_error(error, "failed to decode metadata response");
  }
  response->version = parsed.version;
  response->has_metadata = 1;
  response->query_hidden = parsed.metadata.query_hidden != 0 ? 1 : 0;
  return SV_OK;
}

}  // extern "C"
