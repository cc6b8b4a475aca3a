// The state writes: update (a byte body), update_stream (a body generated from a record while
// it uploads), mutate (expressions applied by the server) and remove. Each goes to
// "<path>?key=K&namespace=N" with the common write headers and, when asked, X-If-Version.
#include <cstddef>

#include "state_internal.h"

namespace {

using sv_state::Answer;
using sv_state::copy_string;
using sv_state::is_empty;

// What a write needs besides its body: the path and the header list with the storage the
// formatted numbers live in.
struct WriteRequest {
  sv_engine_buffer path{};
  sv_engine_header headers[6]{};
  size_t header_count = 0;
  char token[SV_ENGINE_INT_TEXT_CAPACITY]{};
  char version[SV_ENGINE_INT_TEXT_CAPACITY]{};

  WriteRequest() = default;
  WriteRequest(const WriteRequest &) = delete;
  WriteRequest &operator=(const WriteRequest &) = delete;
  ~WriteRequest() { sv_engine_buffer_cleanup(&path); }
};

// The messages of one operation's preparation steps.
struct PrepareMessages {
  const char *path;
  const char *headers;
  const char *version;
};

// The fields of the write requests that shape the path and headers.
struct WriteTarget {
  const char *namespace_name;
  const char *key;
  const char *lease_id;
  const char *txn_id;
  int64_t fencing_token;
  const char *if_state_etag;
  int64_t if_version;
  int32_t has_if_version;
};

int prepare(const sv_engine_client *client, const char *base, const WriteTarget &target,
            const char *content_type, const PrepareMessages &messages, WriteRequest &out,
            sv_engine_error *error) {
  const int built =
      sv_state::build_key_path(client, base, target.key, target.namespace_name, &out.path);
  if (built != SV_OK) return sv_engine_set_client_error(error, built, messages.path);
  if (sv_engine_apply_common_mutation_headers(
          out.headers, sizeof(out.headers) / sizeof(out.headers[0]), &out.header_count,
          content_type, target.fencing_token, out.token, sizeof(out.token), target.lease_id,
          target.txn_id, target.if_state_etag) != SV_OK) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, messages.headers);
  }
  if (target.has_if_version != 0) {
    if (!sv_state::set_version_header(target.if_version, out.version, sizeof(out.version),
                                      &out.headers[out.header_count])) {
      return sv_engine_set_client_error(error, SV_ERR_NOMEM, messages.version);
    }
    ++out.header_count;
  }
  return SV_OK;
}

WriteTarget target_of(const sv_engine_update_request &request) {
  return {request.namespace_name, request.key,           request.lease_id,
          request.txn_id,         request.fencing_token, request.if_state_etag,
          request.if_version,     request.has_if_version};
}

// update and remove refuse to send a write that cannot carry the lease's credentials.
bool has_write_credentials(const char *key, const char *txn_id, int64_t fencing_token) {
  return !is_empty(key) && !is_empty(txn_id) && fencing_token > 0;
}

const char *update_content_type(const sv_engine_update_request &request) {
  return is_empty(request.content_type) ? "application/octet-stream" : request.content_type;
}

const PrepareMessages kUpdateMessages = {"failed to build update path",
                                         "failed to prepare update headers",
                                         "failed to prepare update version header"};

// Copies the parsed answer of update, update_stream and mutate.
int take_update_answer(Answer<sv_state::UpdateJson> &answer, sv_engine_update_response *response,
                       const char *decode_message, sv_engine_error *error) {
  if (!copy_string(&response->new_state_etag, answer.parsed.new_state_etag) ||
      !copy_string(&response->correlation_id, answer.result.correlation_id)) {
    sv_engine_update_response_cleanup(response);
    return sv_engine_set_protocol_error(error, decode_message);
  }
  response->new_version = answer.parsed.new_version;
  response->bytes = answer.parsed.bytes;
  return SV_OK;
}

// The body of mutate: the effective namespace and the expressions.
struct MutateBody {
  const char *namespace_name;
  brindle_array mutations;
};
const brindle_field mutate_body_fields[] = {
    BRINDLE_DECL_STRING(MutateBody, namespace_name, "namespace", 0),
    BRINDLE_DECL_ARRAY(MutateBody, mutations, "mutations", BRINDLE_FIELD_STRING_ARRAY, 0),
};
const brindle_map mutate_body_map =
    BRINDLE_MAP("sv_engine_mutate_body_json", MutateBody, mutate_body_fields);

}  // namespace

extern "C" {

SV_API int sv_engine_client_update(const sv_engine_client *client,
                                   const sv_engine_update_request *request,
                                   sv_engine_update_response *response,
                                   sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  if (!has_write_credentials(request->key, request->txn_id, request->fencing_token)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "update requires key, txn_id, and fencing_token");
  }
  sv_engine_update_response_cleanup(response);
  WriteRequest write;
  if (int status = prepare(client, "/v1/update", target_of(*request), update_content_type(*request),
                           kUpdateMessages, write, error)) {
    return status;
  }
  Answer<sv_state::UpdateJson> answer(sv_state::update_response_map);
  const int status =
      answer.accept(sv_engine_http_json_request(client, "POST", write.path.data, request->body,
                                                request->body != nullptr ? request->body_length : 0,
                                                write.headers, write.header_count, answer.map(),
                                                &answer.parsed, &answer.result, error),
                    error);
  if (status != SV_OK) return status;
  return take_update_answer(answer, response, "failed to decode update response", error);
}

SV_API int sv_engine_client_update_stream(const sv_engine_client *client,
                                          const sv_engine_update_request *request,
                                          const brindle_map *body_map, const void *body_record,
                                          const brindle_write_options *body_options,
                                          sv_engine_update_response *response,
                                          sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  if (body_map == nullptr || body_record == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "update_stream requires body map and source");
  }
  if (!has_write_credentials(request->key, request->txn_id, request->fencing_token)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "update requires key, txn_id, and fencing_token");
  }
  sv_engine_update_response_cleanup(response);
  WriteRequest write;
  if (int status = prepare(client, "/v1/update", target_of(*request), update_content_type(*request),
                           kUpdateMessages, write, error)) {
    return status;
  }
  Answer<sv_state::UpdateJson> answer(sv_state::update_response_map);
  const int status = answer.accept(
      sv_engine_http_json_request_stream(client, "POST", write.path.data, body_map, body_record,
                                         body_options, write.headers, write.header_count,
                                         answer.map(), &answer.parsed, &answer.result, error),
      error);
  if (status != SV_OK) return status;
  return take_update_answer(answer, response, "failed to decode update response", error);
}

SV_API int sv_engine_client_mutate(const sv_engine_client *client,
                                   const sv_engine_mutate_request *request,
                                   sv_engine_update_response *response,
                                   sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  sv_engine_update_response_cleanup(response);
  const WriteTarget target = {request->namespace_name, request->key,
                              request->lease_id,       request->txn_id,
                              request->fencing_token,  request->if_state_etag,
                              request->if_version,     request->has_if_version};
  const PrepareMessages messages = {"failed to build mutate path",
                                    "failed to prepare mutate headers",
                                    "failed to prepare mutate version header"};
  WriteRequest write;
  if (int status =
          prepare(client, "/v1/mutate", target, "application/json", messages, write, error)) {
    return status;
  }
  // The body borrows the caller's expressions; fixed storage keeps brindle from owning them.
  MutateBody body{};
  body.namespace_name = sv_engine_effective_namespace(client, request->namespace_name);
  body.mutations.items = const_cast<char **>(request->mutations);
  body.mutations.count = request->mutation_count;
  body.mutations.capacity = request->mutation_count;
  body.mutations.flags = BRINDLE_ARRAY_FIXED;

  Answer<sv_state::UpdateJson> answer(sv_state::update_response_map);
  const int status = answer.accept(
      sv_engine_http_json_request_stream(client, "POST", write.path.data, &mutate_body_map, &body,
                                         nullptr, write.headers, write.header_count, answer.map(),
                                         &answer.parsed, &answer.result, error),
      error);
  if (status != SV_OK) return status;
  return take_update_answer(answer, response, "failed to decode mutate response", error);
}

SV_API int sv_engine_client_remove(const sv_engine_client *client,
                                   const sv_engine_remove_request *request,
                                   sv_engine_remove_response *response,
                                   sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  if (!has_write_credentials(request->key, request->txn_id, request->fencing_token)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "remove requires key, txn_id, and fencing_token");
  }
  sv_engine_remove_response_cleanup(response);
  const WriteTarget target = {request->namespace_name, request->key,
                              request->lease_id,       request->txn_id,
                              request->fencing_token,  request->if_state_etag,
                              request->if_version,     request->has_if_version};
  const PrepareMessages messages = {"failed to build remove path",
                                    "failed to prepare remove headers",
                                    "failed to prepare remove version header"};
  WriteRequest write;
  if (int status =
          prepare(client, "/v1/remove", target, "application/json", messages, write, error)) {
    return status;
  }
  Answer<sv_state::RemoveJson> answer(sv_state::remove_response_map);
  const int status =
      answer.accept(sv_engine_http_json_request(client, "POST", write.path.data, nullptr, 0,
                                                write.headers, write.header_count, answer.map(),
                                                &answer.parsed, &answer.result, error),
                    error);
  if (status != SV_OK) return status;
  if (!copy_string(&response->correlation_id, answer.result.correlation_id)) {
    sv_engine_remove_response_cleanup(response);
    return sv_engine_set_protocol_error(error, "failed to decode remove response");
  }
  response->removed = answer.parsed.removed != 0 ? 1 : 0;
  response->new_version = answer.parsed.new_version;
  return SV_OK;
}

}  // extern "C"
