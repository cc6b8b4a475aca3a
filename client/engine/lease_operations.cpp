// The lease operations: acquire, keepalive and release a lease on one key, and describe the
// key. Each body is assembled per call from a template of every member the operation may send,
// so that optional members that do not apply are absent from the JSON rather than null.
#include <cstddef>
#include <cstdlib>

#include "state_internal.h"

namespace {

using sv_state::Answer;
using sv_state::copy_string;
using sv_state::is_empty;

// Members in the order they go out; the indexes below name them.
const brindle_field acquire_template[] = {
    BRINDLE_DECL_STRING(sv_engine_acquire_request, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(sv_engine_acquire_request, key, "key", 0),
    BRINDLE_DECL_I64(sv_engine_acquire_request, ttl_seconds, "ttl_seconds", 0),
    BRINDLE_DECL_STRING(sv_engine_acquire_request, owner, "owner", 0),
    BRINDLE_DECL_I64(sv_engine_acquire_request, block_seconds, "block_seconds", 0),
    BRINDLE_DECL_BOOL(sv_engine_acquire_request, if_not_exists, "if_not_exists", 0),
    BRINDLE_DECL_STRING(sv_engine_acquire_request, txn_id, "txn_id", 0),
};
enum { kAcquireAlways = 4, kAcquireBlock = 4, kAcquireIfNotExists = 5, kAcquireTxn = 6 };

const brindle_field keepalive_template[] = {
    BRINDLE_DECL_STRING(sv_engine_keepalive_request, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(sv_engine_keepalive_request, key, "key", 0),
    BRINDLE_DECL_STRING(sv_engine_keepalive_request, lease_id, "lease_id", 0),
    BRINDLE_DECL_I64(sv_engine_keepalive_request, ttl_seconds, "ttl_seconds", 0),
    BRINDLE_DECL_I64(sv_engine_keepalive_request, fencing_token, "fencing_token", 0),
    BRINDLE_DECL_STRING(sv_engine_keepalive_request, txn_id, "txn_id", 0),
};
enum { kKeepaliveAlways = 5, kKeepaliveTxn = 5 };

const brindle_field release_template[] = {
    BRINDLE_DECL_STRING(sv_engine_release_request, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(sv_engine_release_request, key, "key", 0),
    BRINDLE_DECL_STRING(sv_engine_release_request, lease_id, "lease_id", 0),
    BRINDLE_DECL_STRING(sv_engine_release_request, txn_id, "txn_id", 0),
    BRINDLE_DECL_BOOL(sv_engine_release_request, rollback, "rollback", 0),
};
enum { kReleaseAlways = 3, kReleaseTxn = 3, kReleaseRollback = 4 };

template <size_t N>
struct BodyFields {
  brindle_field fields[N];
  size_t count = 0;

  void take(const brindle_field &field) { fields[count++] = field; }
  brindle_map map(const char *name, size_t record_size) const {
    return brindle_map{name, record_size, fields, count};
  }
};

template <size_t N>
void take_first(BodyFields<N> &body, const brindle_field (&source)[N], size_t always) {
  for (size_t i = 0; i < always; ++i)
    body.take(source[i]);
}

const sv_engine_header kJsonContentType = {"Content-Type", "application/json"};

}  // namespace

extern "C" {

SV_API int sv_engine_client_acquire(const sv_engine_client *client,
                                    const sv_engine_acquire_request *request,
                                    sv_engine_acquire_response *response,
                                    sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  sv_engine_acquire_response_cleanup(response);
  sv_engine_acquire_request body = *request;
  body.namespace_name = sv_engine_effective_namespace(client, request->namespace_name);

  BodyFields<7> fields;
  take_first(fields, acquire_template, kAcquireAlways);
  if (body.block_seconds > 0) fields.take(acquire_template[kAcquireBlock]);
  if (body.if_not_exists != 0) fields.take(acquire_template[kAcquireIfNotExists]);
  if (!is_empty(body.txn_id)) fields.take(acquire_template[kAcquireTxn]);
  const brindle_map body_map = fields.map("sv_engine_acquire_request", sizeof(body));

  Answer<sv_state::AcquireJson> answer(sv_state::acquire_response_map);
  const int status =
      answer.accept(sv_engine_http_json_request_stream(
                        client, "POST", "/v1/acquire", &body_map, &body, nullptr, &kJsonContentType,
                        1, answer.map(), &answer.parsed, &answer.result, error),
                    error);
  if (status != SV_OK) return status;

  const sv_state::AcquireJson &parsed = answer.parsed;
  const bool copied = copy_string(&response->namespace_name, parsed.namespace_name) &&
                      copy_string(&response->key, parsed.key) &&
                      copy_string(&response->owner, parsed.owner) &&
                      copy_string(&response->lease_id, parsed.lease_id) &&
                      copy_string(&response->txn_id, parsed.txn_id) &&
                      copy_string(&response->state_etag, parsed.state_etag) &&
                      copy_string(&response->correlation_id, answer.result.correlation_id);
  if (!copied) {
    sv_engine_acquire_response_cleanup(response);
    return sv_engine_set_protocol_error(error, "failed to decode acquire response");
  }
  response->expires_at_unix = parsed.expires_at_unix;
  response->version = parsed.version;
  response->fencing_token = parsed.fencing_token;
  return SV_OK;
}

SV_API int sv_engine_client_keepalive(const sv_engine_client *client,
                                      const sv_engine_keepalive_request *request,
                                      sv_engine_keepalive_response *response,
                                      sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  sv_engine_keepalive_response_cleanup(response);
  sv_engine_keepalive_request body = *request;
  body.namespace_name = sv_engine_effective_namespace(client, request->namespace_name);

  BodyFields<6> fields;
  take_first(fields, keepalive_template, kKeepaliveAlways);
  if (!is_empty(body.txn_id)) fields.take(keepalive_template[kKeepaliveTxn]);
  const brindle_map body_map = fields.map("sv_engine_keepalive_request", sizeof(body));

  char token[SV_ENGINE_INT_TEXT_CAPACITY];
  sv_engine_header headers[2] = {kJsonContentType, {}};
  if (sv_engine_set_fencing_header(body.fencing_token, token, sizeof(token), &headers[1]) !=
      SV_OK) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to prepare keepalive headers");
  }

  Answer<sv_state::KeepaliveJson> answer(sv_state::keepalive_response_map);
  const int status =
      answer.accept(sv_engine_http_json_request_stream(client, "POST", "/v1/keepalive", &body_map,
                                                       &body, nullptr, headers, 2, answer.map(),
                                                       &answer.parsed, &answer.result, error),
                    error);
  if (status != SV_OK) return status;

  if (!copy_string(&response->state_etag, answer.parsed.state_etag) ||
      !copy_string(&response->correlation_id, answer.result.correlation_id)) {
    sv_engine_keepalive_response_cleanup(response);
    return sv_engine_set_protocol_error(error, "failed to decode keepalive response");
  }
  response->expires_at_unix = answer.parsed.expires_at_unix;
  response->version = answer.parsed.version;
  return SV_OK;
}

SV_API int sv_engine_client_release(const sv_engine_client *client,
                                    const sv_engine_release_request *request,
                                    sv_engine_release_response *response,
                                    sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  sv_engine_release_response_cleanup(response);
  sv_engine_release_request body = *request;
  body.namespace_name = sv_engine_effective_namespace(client, request->namespace_name);

  BodyFields<5> fields;
  take_first(fields, release_template, kReleaseAlways);
  if (!is_empty(body.txn_id)) fields.take(release_template[kReleaseTxn]);
  if (body.rollback != 0) fields.take(release_template[kReleaseRollback]);
  const brindle_map body_map = fields.map("sv_engine_release_request", sizeof(body));

  // The token travels only in the header.
  char token[SV_ENGINE_INT_TEXT_CAPACITY];
  sv_engine_header headers[2] = {kJsonContentType, {}};
  if (sv_engine_set_fencing_header(body.fencing_token, token, sizeof(token), &headers[1]) !=
      SV_OK) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to prepare release headers");
  }

  Answer<sv_state::ReleaseJson> answer(sv_state::release_response_map);
  const int status =
      answer.accept(sv_engine_http_json_request_stream(client, "POST", "/v1/release", &body_map,
                                                       &body, nullptr, headers, 2, answer.map(),
                                                       &answer.parsed, &answer.result, error),
                    error);
  if (status != SV_OK) return status;

  if (!copy_string(&response->correlation_id, answer.result.correlation_id)) {
    sv_engine_release_response_cleanup(response);
    return sv_engine_set_protocol_error(error, "failed to decode release response");
  }
  response->released = answer.parsed.released != 0 ? 1 : 0;
  return SV_OK;
}

SV_API int sv_engine_client_describe(const sv_engine_client *client,
                                     const sv_engine_describe_request *request,
                                     sv_engine_describe_response *response,
                                     sv_engine_error *error) noexcept {
  if (int status = sv_state::require_records(client, request, response, error)) return status;
  if (is_empty(request->key)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "describe.key is required");
  }
  sv_engine_describe_response_cleanup(response);
  sv_engine_buffer path{};
  if (sv_state::build_key_path(client, "/v1/describe", request->key, request->namespace_name,
                               &path) != SV_OK) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to build describe path");
  }

  Answer<sv_state::DescribeJson> answer(sv_state::describe_response_map);
  const int status = answer.accept(
      sv_engine_http_json_request(client, "GET", path.data, nullptr, 0, nullptr, 0, answer.map(),
                                  &answer.parsed, &answer.result, error),
      error);
  sv_engine_buffer_cleanup(&path);
  if (status != SV_OK) return status;

  const sv_state::DescribeJson &parsed = answer.parsed;
  const bool copied = copy_string(&response->namespace_name, parsed.namespace_name) &&
                      copy_string(&response->key, parsed.key) &&
                      copy_string(&response->owner, parsed.owner) &&
                      copy_string(&response->lease_id, parsed.lease_id) &&
                      copy_string(&response->state_etag, parsed.state_etag) &&
                      copy_string(&response->correlation_id, answer.result.correlation_id);
  if (!copied) {
    sv_engine_describe_response_cleanup(response);
    return sv_engine_set_protocol_error(error, "failed to decode describe response");
  }
  response->expires_at_unix = parsed.expires_at_unix;
  response->version = parsed.version;
  response->updated_at_unix = parsed.updated_at_unix;
  response->has_metadata = 1;
  response->query_hidden = parsed.metadata.query_hidden != 0 ? 1 : 0;
  return SV_OK;
}

}  // extern "C"
