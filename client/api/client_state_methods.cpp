// The client's key operations: each checks its arguments, logs its start, copies the request
// into the engine's, calls the engine and copies the answer into the caller's result (or, for
// acquire, builds a lease handle), logging the outcome.
#include <cstring>

#include "../engine/sv_log.h"
#include "lease_internal.h"
#include "name_check.h"

namespace {

constexpr FailureEvents kAcquireEvents{"client.acquire.error", nullptr, true};
constexpr FailureEvents kDescribeEvents{"client.describe.error", nullptr, false};
constexpr FailureEvents kGetEvents{"client.get.error", "client.get.transport_error", false};
constexpr FailureEvents kUpdateEvents{"client.update.error", "client.update.transport_error",
                                      false};
constexpr FailureEvents kMutateEvents{"client.mutate.error", "client.mutate.transport_error",
                                      false};
constexpr FailureEvents kMetadataEvents{"client.metadata.error", "client.metadata.transport_error",
                                        false};
constexpr FailureEvents kRemoveEvents{"client.remove.error", "client.remove.transport_error",
                                      false};
constexpr FailureEvents kKeepaliveEvents{"client.keepalive.error", nullptr, true};
constexpr FailureEvents kReleaseEvents{"client.release.error", nullptr, true};

constexpr MappedLoadMessages kLoadMessages{
    "failed to initialize mapped load parser", "mapped load state is required",
    "failed to parse mapped state response", "failed to parse mapped state"};

int invalid(sv_error *error, const char *message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

const sv_engine_client *engine_of(const sv_client *client) noexcept {
  return sv_client_impl_of(client)->engine;
}

// A copy of an optional string; false when it fails.
bool copy(char **slot, const char *text) noexcept {
  *slot = nullptr;
  if (text == nullptr) return true;
  *slot = sv_strdup_local(text);
  return *slot != nullptr;
}

struct EngineCall {
  sv_engine_error error{};
  EngineCall() { sv_engine_error_init(&error); }
  ~EngineCall() { sv_engine_error_cleanup(&error); }
  EngineCall(const EngineCall &) = delete;
  EngineCall &operator=(const EngineCall &) = delete;
};

// get and load at client level: by key alone, in the client's default namespace.
int client_get(sv_client *self, const char *key, const sv_get_opts *opts,
               sv_engine_writer_fn writer, void *writer_context, MappedLoad *load, sv_get_res *out,
               sv_error *error) noexcept {
  ember_logger *logger = sv_api_logger(self);
  const int32_t public_read = opts != nullptr ? opts->public_read : 0;
  const ember_field ids[] = {sv_log_str_field("key", key),
                             sv_log_bool_field("public", public_read)};
  sv_log_trace(logger, "client.get.start", ids, 2);
  sv_engine_get_request request{};
  request.key = key;
  request.public_read = public_read;
  sv_engine_get_stream_response reply{};
  EngineCall call;
  if (sv_engine_client_get_into(engine_of(self), &request, writer, writer_context, &reply,
                                &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kGetEvents, ids, 2, &call.error, error);
  }
  if (load != nullptr && reply.no_content == 0) {
    sv_error parse_error;
    sv_error_init(&parse_error);
    const int status = sv_mapped_load_finish(load, &parse_error);
    if (status != SV_OK) {
      sv_api_log_failure(logger, kGetEvents, ids, 2, status, 0, parse_error.message);
      if (error != nullptr) {
        sv_error_cleanup(error);
        *error = parse_error;
      } else {
        sv_error_cleanup(&parse_error);
      }
      sv_engine_get_stream_response_cleanup(&reply);
      return status;
    }
  }
  if (!sv_get_res_fill(out, reply)) {
    sv_engine_get_stream_response_cleanup(&reply);
    return sv_api_fail_local(logger, kGetEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate mapped load metadata", error);
  }
  if (reply.no_content != 0) {
    const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("cid", reply.correlation_id)};
    sv_log_debug(logger, "client.get.empty", fields, 3);
  } else {
    const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("etag", reply.etag),
                                  sv_log_str_field("cid", reply.correlation_id)};
    sv_log_trace(logger, "client.get.success", fields, 4);
  }
  sv_engine_get_stream_response_cleanup(&reply);
  return SV_OK;
}

// Copies an update or mutate answer (same members) into a caller's result.
template <typename Result>
bool copy_update(Result *out, const sv_engine_update_response &reply) noexcept {
  std::memset(static_cast<void *>(out), 0, sizeof(*out));
  out->new_version = reply.new_version;
  out->bytes = reply.bytes;
  return copy(&out->new_state_etag, reply.new_state_etag) &&
         copy(&out->correlation_id, reply.correlation_id);
}

}  // namespace

int sv_client_acquire_method(sv_client *self, const sv_acquire_req *req, sv_lease **out,
                             sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "acquire requires self, req, and out");
  }
  if (const int status = sv_names::check(
          error, "acquire",
          {sv_names::required("key", req->key),
           sv_names::optional("namespace_name", req->namespace_name),
           sv_names::optional("owner", req->owner), sv_names::optional("txn_id", req->txn_id)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_str_field("owner", req->owner),
                             sv_log_i64_field("ttl_seconds", req->ttl_seconds)};
  sv_log_trace(logger, "client.acquire.start", ids, 3);
  sv_engine_acquire_request request{req->namespace_name, req->key,           req->owner,
                                    req->ttl_seconds,    req->block_seconds, req->if_not_exists,
                                    req->txn_id};
  sv_engine_acquire_response reply{};
  EngineCall call;
  if (sv_engine_client_acquire(engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kAcquireEvents, ids, 2, &call.error, error);
  }
  sv_lease *lease =
      sv_lease_new(self, reply.namespace_name, reply.key, reply.owner, reply.lease_id, reply.txn_id,
                   reply.fencing_token, reply.version, reply.state_etag);
  if (lease == nullptr) {
    sv_engine_acquire_response_cleanup(&reply);
    return sv_api_fail_local(logger, kAcquireEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate lease handle", error);
  }
  *out = lease;
  const ember_field fields[] = {ids[0], sv_log_str_field("lease_id", reply.lease_id),
                                sv_log_str_field("txn_id", reply.txn_id),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_info(logger, "client.acquire.success", fields, 4);
  sv_engine_acquire_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_describe_method(sv_client *self, const sv_describe_req *req, sv_describe_res *out,
                              sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "describe requires self, req, and out");
  }
  if (const int status =
          sv_names::check(error, "describe",
                          {sv_names::required("key", req->key),
                           sv_names::optional("namespace_name", req->namespace_name)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key)};
  sv_log_trace(logger, "client.describe.start", ids, 1);
  sv_engine_describe_request request{req->namespace_name, req->key};
  sv_engine_describe_response reply{};
  EngineCall call;
  if (sv_engine_client_describe(engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kDescribeEvents, ids, 1, &call.error, error);
  }
  std::memset(static_cast<void *>(out), 0, sizeof(*out));
  out->version = reply.version;
  out->expires_at_unix = reply.expires_at_unix;
  out->has_metadata = reply.has_metadata;
  out->query_hidden = reply.query_hidden;
  const bool copied =
      copy(&out->namespace_name, reply.namespace_name) && copy(&out->key, reply.key) &&
      copy(&out->owner, reply.owner) && copy(&out->lease_id, reply.lease_id) &&
      copy(&out->state_etag, reply.state_etag) && copy(&out->correlation_id, reply.correlation_id);
  if (!copied) {
    sv_describe_res_cleanup(out);
    sv_engine_describe_response_cleanup(&reply);
    return sv_api_fail_local(logger, kDescribeEvents, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate describe response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_i64_field("version", reply.version),
                                sv_log_str_field("state_etag", reply.state_etag),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.describe.success", fields, 4);
  sv_engine_describe_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_get_method(sv_client *self, const char *key, const sv_get_opts *opts, sv_sink *dst,
                         sv_get_res *out, sv_error *error) noexcept {
  if (self == nullptr || key == nullptr || dst == nullptr || out == nullptr) {
    return invalid(error, "get requires self, key, dst, and out");
  }
  if (const int status = sv_names::check(error, "get", {sv_names::required("key", key)});
      status != SV_OK) {
    return status;
  }
  struct {
    sv_sink *sink;
  } bridge{dst};
  return client_get(self, key, opts, sv_engine_write_bridge, &bridge, nullptr, out, error);
}

int sv_client_load_method(sv_client *self, const char *key, const brindle_map *map,
                          void *destination, const brindle_parse_options *parse_options,
                          const sv_get_opts *opts, sv_get_res *out, sv_error *error) noexcept {
  if (self == nullptr || key == nullptr || map == nullptr || destination == nullptr ||
      out == nullptr) {
    return invalid(error, "load requires self, key, map, destination, and out");
  }
  if (const int status = sv_names::check(error, "load", {sv_names::required("key", key)});
      status != SV_OK) {
    return status;
  }
  MappedLoad load;
  int status =
      sv_mapped_load_start(&load, self, map, destination, parse_options, &kLoadMessages, error);
  if (status == SV_OK) {
    status = client_get(self, key, opts, sv_mapped_load_write, &load, &load, out, error);
  }
  sv_mapped_load_cleanup(&load);
  return status;
}

int sv_client_update_method(sv_client *self, const sv_update_req *req, sv_source *src,
                            sv_update_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || src == nullptr || out == nullptr) {
    return invalid(error, "update requires self, req, src, and out");
  }
  if (const int status = sv_names::check_key_request(error, "update", *req); status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_str_field("content_type", req->content_type)};
  sv_log_trace(logger, "client.update.start", ids, 2);
  sv_engine_update_request request{};
  request.namespace_name = req->namespace_name;
  request.key = req->key;
  request.lease_id = req->lease_id;
  request.txn_id = req->txn_id;
  request.fencing_token = req->fencing_token;
  request.if_state_etag = req->if_state_etag;
  request.if_version = req->if_version;
  request.has_if_version = req->has_if_version;
  request.content_type = req->content_type;
  struct {
    sv_source *source;
  } bridge{src};
  sv_engine_update_response reply{};
  EngineCall call;
  if (sv_engine_client_update_from(engine_of(self), &request, sv_engine_read_bridge, &bridge,
                                   &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kUpdateEvents, ids, 1, &call.error, error);
  }
  if (!copy_update(out, reply)) {
    sv_update_res_cleanup(out);
    sv_engine_update_response_cleanup(&reply);
    return sv_api_fail_local(logger, kUpdateEvents, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate update response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_str_field("new_etag", reply.new_state_etag),
                                sv_log_i64_field("version", reply.new_version),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.update.success", fields, 4);
  sv_engine_update_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_mutate_method(sv_client *self, const sv_mutate_op *req, sv_mutate_res *out,
                            sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "mutate requires self, req, and out");
  }
  if (const int status = sv_names::check_key_request(error, "mutate", *req); status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {
      sv_log_str_field("key", req->key),
      sv_log_u64_field("mutation_count", static_cast<uint64_t>(req->mutation_count))};
  sv_log_trace(logger, "client.mutate.start", ids, 2);
  sv_engine_mutate_request request{
      req->namespace_name, req->key,           req->lease_id,   req->txn_id,
      req->fencing_token,  req->if_state_etag, req->if_version, req->has_if_version,
      req->mutations,      req->mutation_count};
  sv_engine_update_response reply{};
  EngineCall call;
  if (sv_engine_client_mutate(engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kMutateEvents, ids, 1, &call.error, error);
  }
  if (!copy_update(out, reply)) {
    sv_mutate_res_cleanup(out);
    sv_engine_update_response_cleanup(&reply);
    return sv_api_fail_local(logger, kMutateEvents, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate mutate response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_i64_field("new_version", reply.new_version),
                                sv_log_str_field("new_etag", reply.new_state_etag),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.mutate.success", fields, 4);
  sv_engine_update_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_metadata_method(sv_client *self, const sv_metadata_op *req, sv_metadata_res *out,
                              sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "metadata requires self, req, and out");
  }
  if (const int status = sv_names::check_key_request(error, "metadata", *req); status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key)};
  sv_log_trace(logger, "client.metadata.start", ids, 1);
  sv_engine_metadata_request request{
      req->namespace_name, req->key,        req->lease_id,       req->txn_id,
      req->fencing_token,  req->if_version, req->has_if_version, req->has_query_hidden,
      req->query_hidden};
  sv_engine_metadata_response reply{};
  EngineCall call;
  if (sv_engine_client_update_metadata(engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kMetadataEvents, ids, 1, &call.error, error);
  }
  std::memset(static_cast<void *>(out), 0, sizeof(*out));
  out->version = reply.version;
  out->has_metadata = reply.has_metadata;
  out->query_hidden = reply.query_hidden;
  if (!copy(&out->namespace_name, reply.namespace_name) || !copy(&out->key, reply.key) ||
      !copy(&out->correlation_id, reply.correlation_id)) {
    sv_metadata_res_cleanup(out);
    sv_engine_metadata_response_cleanup(&reply);
    return sv_api_fail_local(logger, kMetadataEvents, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate metadata response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_i64_field("version", reply.version),
                                sv_log_bool_field("query_hidden", reply.query_hidden),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.metadata.success", fields, 4);
  sv_engine_metadata_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_remove_method(sv_client *self, const sv_remove_op *req, sv_remove_res *out,
                            sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "remove requires self, req, and out");
  }
  if (const int status = sv_names::check_key_request(error, "remove", *req); status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key)};
  sv_log_trace(logger, "client.remove.start", ids, 1);
  sv_engine_remove_request request{req->namespace_name, req->key,           req->lease_id,
                                   req->txn_id,         req->fencing_token, req->if_state_etag,
                                   req->if_version,     req->has_if_version};
  sv_engine_remove_response reply{};
  EngineCall call;
  if (sv_engine_client_remove(engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kRemoveEvents, ids, 1, &call.error, error);
  }
  std::memset(static_cast<void *>(out), 0, sizeof(*out));
  out->removed = reply.removed;
  out->new_version = reply.new_version;
  if (!copy(&out->correlation_id, reply.correlation_id)) {
    sv_remove_res_cleanup(out);
    sv_engine_remove_response_cleanup(&reply);
    return sv_api_fail_local(logger, kRemoveEvents, ids, 1, SV_ERR_NOMEM,
                             "failed to allocate remove response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_bool_field("removed", reply.removed),
                                sv_log_i64_field("new_version", reply.new_version),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.remove.success", fields, 4);
  sv_engine_remove_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_keepalive_method(sv_client *self, const sv_keepalive_op *req, sv_keepalive_res *out,
                               sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "keepalive requires self, req, and out");
  }
  if (const int status = sv_names::check_key_request(error, "keepalive", *req); status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_i64_field("ttl_seconds", req->ttl_seconds)};
  sv_log_trace(logger, "client.keepalive.start", ids, 2);
  sv_engine_keepalive_request request{req->namespace_name, req->key,         req->lease_id,
                                      req->txn_id,         req->ttl_seconds, req->fencing_token};
  sv_engine_keepalive_response reply{};
  EngineCall call;
  if (sv_engine_client_keepalive(engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kKeepaliveEvents, ids, 2, &call.error, error);
  }
  std::memset(static_cast<void *>(out), 0, sizeof(*out));
  out->expires_at_unix = reply.expires_at_unix;
  out->version = reply.version;
  if (!copy(&out->state_etag, reply.state_etag) ||
      !copy(&out->correlation_id, reply.correlation_id)) {
    sv_keepalive_res_cleanup(out);
    sv_engine_keepalive_response_cleanup(&reply);
    return sv_api_fail_local(logger, kKeepaliveEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate keepalive response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_i64_field("version", reply.version),
                                sv_log_i64_field("expires_at", reply.expires_at_unix),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.keepalive.success", fields, 4);
  sv_engine_keepalive_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_release_method(sv_client *self, const sv_release_op *req, sv_release_res *out,
                             sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "release requires self, req, and out");
  }
  if (const int status = sv_names::check_key_request(error, "release", *req); status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("key", req->key),
                             sv_log_bool_field("rollback", req->rollback)};
  sv_log_trace(logger, "client.release.start", ids, 2);
  sv_engine_release_request request{req->namespace_name, req->key,           req->lease_id,
                                    req->txn_id,         req->fencing_token, req->rollback};
  sv_engine_release_response reply{};
  EngineCall call;
  if (sv_engine_client_release(engine_of(self), &request, &reply, &call.error) != SV_OK) {
    return sv_api_fail_engine(logger, kReleaseEvents, ids, 2, &call.error, error);
  }
  std::memset(static_cast<void *>(out), 0, sizeof(*out));
  out->released = reply.released;
  if (!copy(&out->correlation_id, reply.correlation_id)) {
    sv_release_res_cleanup(out);
    sv_engine_release_response_cleanup(&reply);
    return sv_api_fail_local(logger, kReleaseEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate release response", error);
  }
  const ember_field fields[] = {ids[0], sv_log_bool_field("released", reply.released),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.release.success", fields, 3);
  sv_engine_release_response_cleanup(&reply);
  return SV_OK;
}
