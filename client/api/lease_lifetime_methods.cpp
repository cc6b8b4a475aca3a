// The lease's lifetime: keepalive extends it (and reports the key's current version and ETag),
// release ends it and frees the handle.
#include "../engine/sv_log.h"
#include "lease_internal.h"

namespace {

constexpr FailureEvents kKeepaliveEvents{"client.keepalive.error", nullptr, true};
constexpr FailureEvents kReleaseEvents{"client.release.error", nullptr, true};

}  // namespace

int sv_lease_keepalive_method(sv_lease *self, const sv_keepalive_req *req,
                              sv_error *error) noexcept {
  if (self == nullptr || req == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease keepalive requires self and req", nullptr,
                        nullptr, nullptr);
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id), sv_log_i64_field("ttl_seconds", req->ttl_seconds)};
  sv_log_trace(logger, "client.keepalive.start", ids, 4);
  sv_engine_keepalive_request request{lease->namespace_name, lease->key,
                                      lease->lease_id,       lease->txn_id,
                                      req->ttl_seconds,      lease->fencing_token};
  sv_engine_keepalive_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_keepalive(sv_client_impl_of(lease->client)->engine, &request, &reply,
                                 &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kKeepaliveEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  if (!sv_lease_replace_state_etag(lease, reply.state_etag)) {
    sv_engine_keepalive_response_cleanup(&reply);
    return sv_api_fail_local(logger, kKeepaliveEvents, ids, 3, SV_ERR_NOMEM,
                             "failed to allocate refreshed lease state etag", error);
  }
  lease->version = reply.version;
  if (reply.expires_at_unix > 0) lease->expires_at_unix = reply.expires_at_unix;
  sv_lease_sync_view(lease);
  const ember_field fields[] = {ids[0], ids[1], sv_log_i64_field("version", reply.version),
                                sv_log_i64_field("expires_at", reply.expires_at_unix),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.keepalive.success", fields, 5);
  sv_engine_keepalive_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_release_method(sv_lease *self, const sv_release_req *req, sv_error *error) noexcept {
  if (self == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease release requires self", nullptr, nullptr,
                        nullptr);
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const int32_t rollback = req != nullptr ? req->rollback : 0;
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id), sv_log_bool_field("rollback", rollback)};
  sv_log_trace(logger, "client.release.start", ids, 4);
  sv_engine_release_request request{lease->namespace_name, lease->key,           lease->lease_id,
                                    lease->txn_id,         lease->fencing_token, rollback};
  sv_engine_release_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_release(sv_client_impl_of(lease->client)->engine, &request, &reply,
                               &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kReleaseEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  const ember_field fields[] = {ids[0], ids[1], sv_log_bool_field("released", reply.released),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.release.success", fields, 4);
  sv_engine_release_response_cleanup(&reply);
  sv_lease_free(lease);
  return SV_OK;
}
