// The lease's writes: save (a mapped record), update (a source), server-side mutate, metadata
// and remove. Each sends the handle's version as its if-version precondition unless the caller
// gives one, and takes the new version (and ETag) from the reply.
#include "../engine/sv_log.h"
#include "lease_internal.h"

namespace {

constexpr FailureEvents kUpdateEvents{"client.update.error", "client.update.transport_error",
                                      false};
constexpr FailureEvents kUpdateStreamEvents{"client.update.error", nullptr, false};
constexpr FailureEvents kMutateEvents{"client.mutate.error", "client.mutate.transport_error",
                                      false};
constexpr FailureEvents kMetadataEvents{"client.metadata.error", "client.metadata.transport_error",
                                        false};
constexpr FailureEvents kRemoveEvents{"client.remove.error", "client.remove.transport_error",
                                      false};

int invalid(sv_error *error, const char *message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

sv_engine_update_request update_request(const sv_lease_impl *lease, const char *if_state_etag,
                                        VersionPrecondition version,
                                        const char *content_type) noexcept {
  sv_engine_update_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.txn_id = lease->txn_id;
  request.fencing_token = lease->fencing_token;
  request.if_state_etag = if_state_etag;
  request.if_version = version.if_version;
  request.has_if_version = version.has_if_version;
  request.content_type = content_type;
  return request;
}

// Takes the new ETag and version of a write's reply into the view; false (view kept) when the
// ETag cannot be copied.
bool refresh_after_write(sv_lease_impl *lease, const sv_engine_update_response &reply) noexcept {
  if (!sv_lease_replace_state_etag(lease, reply.new_state_etag)) return false;
  lease->version = reply.new_version;
  sv_lease_sync_view(lease);
  return true;
}

// Finishes a write: refreshes the view or reports the failed copy.
int finish_write(sv_lease_impl *lease, ember_logger *logger, const FailureEvents &events,
                 const ember_field *ids, sv_engine_update_response *reply,
                 sv_error *error) noexcept {
  if (refresh_after_write(lease, *reply)) return SV_OK;
  sv_engine_update_response_cleanup(reply);
  return sv_api_fail_local(logger, events, ids, 3, SV_ERR_NOMEM,
                           "failed to allocate refreshed lease state etag", error);
}

}  // namespace

int sv_lease_save_method(sv_lease *self, const brindle_map *map, const void *source,
                         const brindle_write_options *write_options, sv_error *error) noexcept {
  if (self == nullptr || map == nullptr || source == nullptr) {
    return invalid(error, "lease save requires self, map, and source");
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {sv_log_str_field("key", lease->key),
                             sv_log_str_field("lease_id", lease->lease_id),
                             sv_log_str_field("txn_id", lease->txn_id)};
  const char *content_type = "application/json";
  const sv_engine_update_request request =
      update_request(lease, nullptr, sv_lease_version_precondition(lease, 0, 0), content_type);
  sv_engine_update_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_update_stream(sv_client_impl_of(lease->client)->engine, &request, map,
                                     source, write_options, &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kUpdateEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  const int status = finish_write(lease, logger, kUpdateEvents, ids, &reply, error);
  if (status != SV_OK) return status;
  const ember_field fields[] = {ids[0],
                                ids[1],
                                sv_log_i64_field("version", reply.new_version),
                                sv_log_str_field("state_etag", reply.new_state_etag),
                                sv_log_str_field("cid", reply.correlation_id),
                                sv_log_str_field("content_type", content_type)};
  sv_log_trace(logger, "client.update.success", fields, 6);
  sv_engine_update_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_update_method(sv_lease *self, sv_source *src, const sv_update_opts *opts,
                           sv_error *error) noexcept {
  if (self == nullptr || src == nullptr)
    return invalid(error, "lease update requires self and src");
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const char *content_type =
      opts != nullptr && opts->content_type != nullptr ? opts->content_type : "application/json";
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id), sv_log_str_field("content_type", content_type)};
  sv_log_trace(logger, "client.update.start", ids, 4);
  const VersionPrecondition version =
      opts != nullptr ? sv_lease_version_precondition(lease, opts->has_if_version, opts->if_version)
                      : sv_lease_version_precondition(lease, 0, 0);
  const sv_engine_update_request request =
      update_request(lease, opts != nullptr ? opts->if_state_etag : nullptr, version, content_type);
  // The read bridge lets the engine rewind src before sending it to another endpoint.
  struct {
    sv_source *source;
  } bridge{src};
  sv_engine_update_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_update_from(sv_client_impl_of(lease->client)->engine, &request,
                                   sv_engine_read_bridge, &bridge, &reply,
                                   &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kUpdateStreamEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  const int status = finish_write(lease, logger, kUpdateStreamEvents, ids, &reply, error);
  if (status != SV_OK) return status;
  const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("new_etag", reply.new_state_etag),
                                sv_log_i64_field("version", reply.new_version),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.update.success", fields, 5);
  sv_engine_update_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_mutate_method(sv_lease *self, const sv_mutate_req *req, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr)
    return invalid(error, "lease mutate requires self and req");
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id),
      sv_log_u64_field("mutation_count", static_cast<uint64_t>(req->mutation_count))};
  sv_log_trace(logger, "client.mutate.start", ids, 4);
  const VersionPrecondition version =
      sv_lease_version_precondition(lease, req->has_if_version, req->if_version);
  sv_engine_mutate_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.txn_id = lease->txn_id;
  request.fencing_token = lease->fencing_token;
  request.if_state_etag = req->if_state_etag;
  request.if_version = version.if_version;
  request.has_if_version = version.has_if_version;
  request.mutations = req->mutations;
  request.mutation_count = req->mutation_count;
  sv_engine_update_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_mutate(sv_client_impl_of(lease->client)->engine, &request, &reply,
                              &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kMutateEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  const int status = finish_write(lease, logger, kMutateEvents, ids, &reply, error);
  if (status != SV_OK) return status;
  const ember_field fields[] = {ids[0], ids[1], sv_log_i64_field("new_version", reply.new_version),
                                sv_log_str_field("new_etag", reply.new_state_etag),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.mutate.success", fields, 5);
  sv_engine_update_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_metadata_method(sv_lease *self, const sv_metadata_req *req, sv_error *error) noexcept {
  if (self == nullptr) return invalid(error, "lease metadata requires self");
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {sv_log_str_field("key", lease->key),
                             sv_log_str_field("lease_id", lease->lease_id),
                             sv_log_str_field("txn_id", lease->txn_id)};
  sv_log_trace(logger, "client.metadata.start", ids, 3);
  const VersionPrecondition version =
      req != nullptr ? sv_lease_version_precondition(lease, req->has_if_version, req->if_version)
                     : sv_lease_version_precondition(lease, 0, 0);
  sv_engine_metadata_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.txn_id = lease->txn_id;
  request.fencing_token = lease->fencing_token;
  request.if_version = version.if_version;
  request.has_if_version = version.has_if_version;
  request.has_query_hidden = req != nullptr ? req->has_query_hidden : 0;
  request.query_hidden = req != nullptr ? req->query_hidden : 0;
  sv_engine_metadata_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_update_metadata(sv_client_impl_of(lease->client)->engine, &request, &reply,
                                       &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kMetadataEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  lease->version = reply.version;
  lease->has_metadata = 1;
  lease->query_hidden = reply.query_hidden;
  sv_lease_sync_view(lease);
  const ember_field fields[] = {ids[0], ids[1], sv_log_i64_field("version", reply.version),
                                sv_log_bool_field("query_hidden", reply.query_hidden),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.metadata.success", fields, 5);
  sv_engine_metadata_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_remove_method(sv_lease *self, const sv_remove_req *req, sv_error *error) noexcept {
  if (self == nullptr) return invalid(error, "lease remove requires self");
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {sv_log_str_field("key", lease->key),
                             sv_log_str_field("lease_id", lease->lease_id),
                             sv_log_str_field("txn_id", lease->txn_id)};
  sv_log_trace(logger, "client.remove.start", ids, 3);
  const VersionPrecondition version =
      req != nullptr ? sv_lease_version_precondition(lease, req->has_if_version, req->if_version)
                     : sv_lease_version_precondition(lease, 0, 0);
  sv_engine_remove_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.txn_id = lease->txn_id;
  request.fencing_token = lease->fencing_token;
  request.if_state_etag = req != nullptr ? req->if_state_etag : nullptr;
  request.if_version = version.if_version;
  request.has_if_version = version.has_if_version;
  sv_engine_remove_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_remove(sv_client_impl_of(lease->client)->engine, &request, &reply,
                              &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kRemoveEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  if (reply.removed != 0) {
    sv_lease_replace_state_etag(lease, nullptr);
    lease->version = reply.new_version;
    sv_lease_sync_view(lease);
  }
  const ember_field fields[] = {ids[0], ids[1], sv_log_bool_field("removed", reply.removed),
                                sv_log_i64_field("new_version", reply.new_version),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.remove.success", fields, 5);
  sv_engine_remove_response_cleanup(&reply);
  return SV_OK;
}
