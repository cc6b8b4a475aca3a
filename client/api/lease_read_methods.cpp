// The lease's reads: describe, get into a sink and load into a mapped record. Each successful
// read brings the handle's view up to date; a failed one leaves it as it was.
#include "../engine/sv_log.h"
#include "lease_internal.h"

namespace {

constexpr FailureEvents kDescribeEvents{"client.describe.error", "client.describe.transport_error",
                                        false};
constexpr FailureEvents kGetEvents{"client.get.error", "client.get.transport_error", false};

constexpr MappedLoadMessages kLeaseLoadMessages{
    "failed to initialize mapped lease load parser", "mapped lease load state is required",
    "failed to parse mapped lease state response", "failed to parse mapped lease state"};

// The view after a get: ETag and version from the reply, the token only when the reply has one.
bool refresh_after_get(sv_lease_impl *lease, const sv_engine_get_stream_response &reply) noexcept {
  if (!sv_lease_replace_state_etag(lease, reply.etag)) return false;
  lease->version = reply.key_version;
  if (reply.fencing_token > 0) lease->fencing_token = reply.fencing_token;
  sv_lease_sync_view(lease);
  return true;
}

// The exchange shared by get and load; load is NULL for get.
int lease_get(sv_lease_impl *lease, sv_engine_writer_fn writer, void *writer_context,
              const sv_get_opts *opts, sv_get_res *out, MappedLoad *load,
              sv_error *error) noexcept {
  ember_logger *logger = sv_api_logger(lease->client);
  const int32_t public_read = opts != nullptr ? opts->public_read : 0;
  const ember_field ids[] = {
      sv_log_str_field("key", lease->key), sv_log_str_field("lease_id", lease->lease_id),
      sv_log_str_field("txn_id", lease->txn_id), sv_log_bool_field("public", public_read)};
  sv_log_trace(logger, "client.get.start", ids, 4);

  sv_engine_get_request request{};
  request.namespace_name = lease->namespace_name;
  request.key = lease->key;
  request.lease_id = lease->lease_id;
  request.fencing_token = lease->fencing_token;
  request.public_read = public_read;
  sv_engine_get_stream_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  const sv_client_impl *client = sv_client_impl_of(lease->client);
  if (sv_engine_client_get_into(client->engine, &request, writer, writer_context, &reply,
                                &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kGetEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  int status = SV_OK;
  const char *message = nullptr;
  if (load != nullptr && reply.no_content == 0) {
    sv_error parse_error;
    sv_error_init(&parse_error);
    status = sv_mapped_load_finish(load, &parse_error);
    if (status != SV_OK) {
      sv_api_log_failure(logger, kGetEvents, ids, 3, status, 0, parse_error.message);
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
    status = SV_ERR_NOMEM;
    message = "failed to allocate mapped load metadata";
  } else if (reply.no_content == 0 && !refresh_after_get(lease, reply)) {
    sv_get_res_cleanup(out);
    status = SV_ERR_NOMEM;
    message = "failed to allocate refreshed lease state etag";
  }
  if (status != SV_OK) {
    sv_engine_get_stream_response_cleanup(&reply);
    return sv_api_fail_local(logger, kGetEvents, ids, 3, status, message, error);
  }
  if (reply.no_content != 0) {
    const ember_field fields[] = {ids[0], ids[1], ids[3],
                                  sv_log_str_field("cid", reply.correlation_id)};
    sv_log_debug(logger, "client.get.empty", fields, 4);
  } else {
    const ember_field fields[] = {ids[0], ids[1], ids[3], sv_log_str_field("etag", reply.etag),
                                  sv_log_str_field("cid", reply.correlation_id)};
    sv_log_trace(logger, "client.get.success", fields, 5);
  }
  sv_engine_get_stream_response_cleanup(&reply);
  return SV_OK;
}

}  // namespace

int sv_lease_describe_method(sv_lease *self, sv_error *error) noexcept {
  if (self == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease describe requires self", nullptr, nullptr,
                        nullptr);
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  ember_logger *logger = sv_api_logger(lease->client);
  const ember_field ids[] = {sv_log_str_field("key", lease->key),
                             sv_log_str_field("lease_id", lease->lease_id),
                             sv_log_str_field("txn_id", lease->txn_id)};
  sv_log_trace(logger, "client.describe.start", ids, 3);
  sv_engine_describe_request request{lease->namespace_name, lease->key};
  sv_engine_describe_response reply{};
  sv_engine_error engine_error{};
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_describe(sv_client_impl_of(lease->client)->engine, &request, &reply,
                                &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kDescribeEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  // Owner and ETag are replaced as the reply gives them; a failed copy leaves them NULL.
  sv_client_free(lease->client, lease->owner);
  lease->owner = sv_client_strdup(lease->client, reply.owner);
  sv_client_free(lease->client, lease->state_etag);
  lease->state_etag = sv_client_strdup(lease->client, reply.state_etag);
  lease->expires_at_unix = reply.expires_at_unix;
  lease->version = reply.version;
  lease->has_metadata = 1;
  lease->query_hidden = reply.query_hidden;
  sv_lease_sync_view(lease);
  const ember_field fields[] = {ids[0], ids[1], sv_log_i64_field("version", reply.version),
                                sv_log_str_field("state_etag", reply.state_etag),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.describe.success", fields, 5);
  sv_engine_describe_response_cleanup(&reply);
  return SV_OK;
}

int sv_lease_get_method(sv_lease *self, sv_sink *dst, const sv_get_opts *opts, sv_get_res *out,
                        sv_error *error) noexcept {
  if (self == nullptr || dst == nullptr || out == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "lease get requires self, dst, and out", nullptr,
                        nullptr, nullptr);
  }
  struct {
    sv_sink *sink;
  } bridge{dst};
  return lease_get(sv_lease_impl_of(self), sv_engine_write_bridge, &bridge, opts, out, nullptr,
                   error);
}

int sv_lease_load_method(sv_lease *self, const brindle_map *map, void *destination,
                         const brindle_parse_options *parse_options, const sv_get_opts *opts,
                         sv_get_res *out, sv_error *error) noexcept {
  if (self == nullptr || map == nullptr || destination == nullptr || out == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0,
                        "lease load requires self, map, destination, and out", nullptr, nullptr,
                        nullptr);
  }
  sv_lease_impl *lease = sv_lease_impl_of(self);
  MappedLoad load;
  int status = sv_mapped_load_start(&load, lease->client, map, destination, parse_options,
                                    &kLeaseLoadMessages, error);
  if (status == SV_OK) {
    status = lease_get(lease, sv_mapped_load_write, &load, opts, out, &load, error);
  }
  sv_mapped_load_cleanup(&load);
  return status;
}
