// Queue statistics and settling a delivery by its members (without a message handle): ack,
// nack and extend take the message reference explicitly and fill result records.
#include "../engine/sv_log.h"
#include "client_queue_internal.h"
#include "name_check.h"

namespace {

constexpr FailureEvents kStatsEvents{"client.queue.stats.error", nullptr, false};
constexpr FailureEvents kAckEvents{"client.queue.ack.error", nullptr, false};
constexpr FailureEvents kNackEvents{"client.queue.nack.error", nullptr, false};
constexpr FailureEvents kExtendEvents{"client.queue.extend.error", nullptr, false};

constexpr size_t kRefFields = 5;

template <typename Ref>
void ref_fields(const Ref &req, ember_field *fields) noexcept {
  fields[0] = sv_log_str_field("queue", req.queue);
  fields[1] = sv_log_str_field("namespace", req.namespace_name);
  fields[2] = sv_log_str_field("message_id", req.message_id);
  fields[3] = sv_log_str_field("lease_id", req.lease_id);
  fields[4] = sv_log_str_field("txn_id", req.txn_id);
}

const sv_engine_client *engine_of(sv_client *client) noexcept {
  return sv_client_impl_of(client)->engine;
}

int invalid(sv_error *error, const char *message) noexcept {
  return sv_error_set(error, SV_ERR_INVALID, 0, message, nullptr, nullptr, nullptr);
}

}  // namespace

int sv_client_queue_stats_method(sv_client *self, const sv_queue_stats_req *req,
                                 sv_queue_stats_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "queue_stats requires self, req, and out");
  }
  if (const int status =
          sv_names::check(error, "queue_stats",
                          {sv_names::required("queue", req->queue),
                           sv_names::optional("namespace_name", req->namespace_name)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("queue", req->queue),
                             sv_log_str_field("namespace", req->namespace_name)};
  sv_log_trace(logger, "client.queue.stats.start", ids, 2);
  const sv_engine_queue_stats_request request{req->namespace_name, req->queue};
  sv_engine_queue_stats_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_queue_stats(engine_of(self), &request, &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kStatsEvents, ids, 2, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *out = sv_queue_stats_res{};
  out->namespace_name = sv_strdup_local(reply.namespace_name);
  out->queue = sv_strdup_local(reply.queue);
  out->waiting_consumers = reply.waiting_consumers;
  out->pending_candidates = reply.pending_candidates;
  out->total_consumers = reply.total_consumers;
  out->has_active_watcher = reply.has_active_watcher;
  out->available = reply.available;
  out->head_message_id = sv_strdup_local(reply.head_message_id);
  out->head_enqueued_at_unix = reply.head_enqueued_at_unix;
  out->head_not_visible_until_unix = reply.head_not_visible_until_unix;
  out->head_age_seconds = reply.head_age_seconds;
  out->messages = reply.messages;
  out->in_flight = reply.in_flight;
  out->dead_letters = reply.dead_letters;
  out->correlation_id = sv_strdup_local(reply.correlation_id);
  const bool complete = sv_queue_copied(reply.namespace_name, out->namespace_name) &&
                        sv_queue_copied(reply.queue, out->queue) &&
                        sv_queue_copied(reply.head_message_id, out->head_message_id) &&
                        sv_queue_copied(reply.correlation_id, out->correlation_id);
  if (!complete) {
    sv_queue_stats_res_cleanup(out);
    sv_engine_queue_stats_response_cleanup(&reply);
    return sv_api_fail_local(logger, kStatsEvents, ids, 2, SV_ERR_NOMEM,
                             "failed to allocate queue stats response", error);
  }
  const ember_field fields[] = {ids[0], ids[1], sv_log_bool_field("available", reply.available),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.queue.stats.success", fields, 4);
  sv_engine_queue_stats_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_queue_ack_method(sv_client *self, const sv_message_ref *req, sv_ack_res *out,
                               sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "queue_ack requires self, req, and out");
  }
  if (const int status = sv_names::check_message_request(error, "queue_ack", *req);
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  ember_field ids[kRefFields];
  ref_fields(*req, ids);
  sv_log_trace(logger, "client.queue.ack.start", ids, kRefFields);
  const sv_engine_queue_ack_request request{req->namespace_name, req->queue,
                                            req->message_id,     req->lease_id,
                                            req->txn_id,         req->fencing_token,
                                            req->meta_etag,      req->state_etag,
                                            req->state_lease_id, req->state_fencing_token};
  sv_engine_queue_ack_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_queue_ack(engine_of(self), &request, &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kAckEvents, ids, kRefFields, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *out = sv_ack_res{reply.acked, sv_strdup_local(reply.correlation_id)};
  if (!sv_queue_copied(reply.correlation_id, out->correlation_id)) {
    sv_ack_res_cleanup(out);
    sv_engine_queue_ack_response_cleanup(&reply);
    return sv_api_fail_local(logger, kAckEvents, ids, kRefFields, SV_ERR_NOMEM,
                             "failed to allocate queue ack response", error);
  }
  const ember_field fields[] = {ids[0],
                                ids[1],
                                ids[2],
                                ids[3],
                                sv_log_bool_field("acked", reply.acked),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.queue.ack.success", fields, 6);
  sv_engine_queue_ack_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_queue_nack_method(sv_client *self, const sv_nack_op *req, sv_nack_res *out,
                                sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "queue_nack requires self, req, and out");
  }
  if (const int status = sv_names::check_message_request(error, "queue_nack", *req);
      status != SV_OK) {
    return status;
  }
  const char *wire_intent = nullptr;
  const int mapped = sv_nack_intent_to_wire_string(req->intent, &wire_intent, error);
  if (mapped != SV_OK) return mapped;
  ember_logger *logger = sv_api_logger(self);
  ember_field ids[kRefFields + 2];
  ref_fields(*req, ids);
  ids[kRefFields] = sv_log_i64_field("delay_seconds", req->delay_seconds);
  ids[kRefFields + 1] = sv_log_str_field("intent", sv_nack_intent_to_string(req->intent));
  sv_log_trace(logger, "client.queue.nack.start", ids, kRefFields + 2);
  const sv_engine_queue_nack_request request{req->namespace_name,
                                             req->queue,
                                             req->message_id,
                                             req->lease_id,
                                             req->txn_id,
                                             req->fencing_token,
                                             req->meta_etag,
                                             req->state_etag,
                                             req->delay_seconds,
                                             wire_intent,
                                             req->last_error_json,
                                             req->state_lease_id,
                                             req->state_fencing_token};
  sv_engine_queue_nack_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_queue_nack(engine_of(self), &request, &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kNackEvents, ids, kRefFields + 2, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *out = sv_nack_res{reply.requeued, sv_strdup_local(reply.meta_etag),
                     sv_strdup_local(reply.correlation_id)};
  if (!sv_queue_copied(reply.meta_etag, out->meta_etag) ||
      !sv_queue_copied(reply.correlation_id, out->correlation_id)) {
    sv_nack_res_cleanup(out);
    sv_engine_queue_nack_response_cleanup(&reply);
    return sv_api_fail_local(logger, kNackEvents, ids, kRefFields + 2, SV_ERR_NOMEM,
                             "failed to allocate queue nack response", error);
  }
  const ember_field fields[] = {ids[0],
                                ids[1],
                                ids[2],
                                ids[3],
                                sv_log_bool_field("requeued", reply.requeued),
                                sv_log_str_field("meta_etag", reply.meta_etag),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.queue.nack.success", fields, 7);
  sv_engine_queue_nack_response_cleanup(&reply);
  return SV_OK;
}

int sv_client_queue_extend_method(sv_client *self, const sv_extend_op *req, sv_extend_res *out,
                                  sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return invalid(error, "queue_extend requires self, req, and out");
  }
  if (const int status = sv_names::check_message_request(error, "queue_extend", *req);
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  ember_field ids[kRefFields + 1];
  ref_fields(*req, ids);
  ids[kRefFields] = sv_log_i64_field("extend_by_seconds", req->extend_by_seconds);
  sv_log_trace(logger, "client.queue.extend.start", ids, kRefFields + 1);
  const sv_engine_queue_extend_request request{req->namespace_name, req->queue,
                                               req->message_id,     req->lease_id,
                                               req->txn_id,         req->fencing_token,
                                               req->meta_etag,      req->extend_by_seconds,
                                               req->state_lease_id, req->state_fencing_token};
  sv_engine_queue_extend_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_queue_extend(engine_of(self), &request, &reply, &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kExtendEvents, ids, kRefFields + 1, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  *out = sv_extend_res{reply.lease_expires_at_unix, reply.visibility_timeout_seconds,
                       sv_strdup_local(reply.meta_etag), reply.state_lease_expires_at_unix,
                       sv_strdup_local(reply.correlation_id)};
  if (!sv_queue_copied(reply.meta_etag, out->meta_etag) ||
      !sv_queue_copied(reply.correlation_id, out->correlation_id)) {
    sv_extend_res_cleanup(out);
    sv_engine_queue_extend_response_cleanup(&reply);
    return sv_api_fail_local(logger, kExtendEvents, ids, kRefFields + 1, SV_ERR_NOMEM,
                             "failed to allocate queue extend response", error);
  }
  const ember_field fields[] = {
      ids[0],
      ids[1],
      ids[2],
      ids[3],
      sv_log_i64_field("lease_expires_at", reply.lease_expires_at_unix),
      sv_log_i64_field("visibility_timeout_seconds", reply.visibility_timeout_seconds),
      sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.queue.extend.success", fields, 7);
  sv_engine_queue_extend_response_cleanup(&reply);
  return SV_OK;
}
