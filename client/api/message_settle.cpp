// Settling a message through its handle: ack and nack end the delivery (and free the handle),
// extend keeps it invisible longer. Each sends the message's identity and the state lease that
// came with the delivery, so the server commits or rolls back the state writes with it.
#include "../engine/sv_log.h"
#include "lease_internal.h"
#include "message_internal.h"

namespace {

constexpr FailureEvents kAckEvents{"client.queue.ack.error", nullptr, false};
constexpr FailureEvents kNackEvents{"client.queue.nack.error", nullptr, false};
constexpr FailureEvents kExtendEvents{"client.queue.extend.error", nullptr, false};

// queue, namespace, message_id, lease_id, txn_id: the fields every message event starts with.
constexpr size_t kIdentityFields = 5;

void identity_fields(const sv_message_impl *message, ember_field *fields) noexcept {
  fields[0] = sv_log_str_field("queue", message->queue);
  fields[1] = sv_log_str_field("namespace", message->namespace_name);
  fields[2] = sv_log_str_field("message_id", message->message_id);
  fields[3] = sv_log_str_field("lease_id", message->lease_id);
  fields[4] = sv_log_str_field("txn_id", message->txn_id);
}

// A successful ack or nack ends the handle's life; the settled flag tells its creator.
void settle(sv_message_impl *message) noexcept {
  if (message->settled != nullptr) *message->settled = 1;
  sv_message_free(message);
}

}  // namespace

int sv_message_ack_method(sv_message *self, sv_error *error) noexcept {
  if (self == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message ack requires self", nullptr, nullptr,
                        nullptr);
  }
  sv_message_impl *message = sv_message_impl_of(self);
  ember_logger *logger = sv_api_logger(message->client);
  ember_field ids[kIdentityFields];
  identity_fields(message, ids);
  sv_log_trace(logger, "client.queue.ack.start", ids, kIdentityFields);
  sv_engine_queue_ack_request request{message->namespace_name, message->queue,
                                      message->message_id,     message->lease_id,
                                      message->txn_id,         message->fencing_token,
                                      message->meta_etag,      message->state_etag,
                                      message->state_lease_id, message->state_fencing_token};
  sv_engine_queue_ack_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_queue_ack(sv_client_impl_of(message->client)->engine, &request, &reply,
                                 &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kAckEvents, ids, kIdentityFields, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  const ember_field fields[] = {ids[0],
                                ids[1],
                                ids[2],
                                ids[3],
                                sv_log_bool_field("acked", reply.acked),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.queue.ack.success", fields, 6);
  sv_engine_queue_ack_response_cleanup(&reply);
  settle(message);
  return SV_OK;
}

int sv_message_nack_method(sv_message *self, const sv_nack_req *req, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message nack requires self and req", nullptr,
                        nullptr, nullptr);
  }
  const char *wire_intent = nullptr;
  const int mapped = sv_nack_intent_to_wire_string(req->intent, &wire_intent, error);
  if (mapped != SV_OK) return mapped;
  sv_message_impl *message = sv_message_impl_of(self);
  ember_logger *logger = sv_api_logger(message->client);
  ember_field ids[kIdentityFields + 2];
  identity_fields(message, ids);
  ids[kIdentityFields] = sv_log_i64_field("delay_seconds", req->delay_seconds);
  ids[kIdentityFields + 1] = sv_log_str_field("intent", sv_nack_intent_to_string(req->intent));
  sv_log_trace(logger, "client.queue.nack.start", ids, kIdentityFields + 2);
  sv_engine_queue_nack_request request{message->namespace_name,
                                       message->queue,
                                       message->message_id,
                                       message->lease_id,
                                       message->txn_id,
                                       message->fencing_token,
                                       message->meta_etag,
                                       message->state_etag,
                                       req->delay_seconds,
                                       wire_intent,
                                       req->last_error_json,
                                       message->state_lease_id,
                                       message->state_fencing_token};
  sv_engine_queue_nack_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_queue_nack(sv_client_impl_of(message->client)->engine, &request, &reply,
                                  &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kNackEvents, ids, kIdentityFields + 2, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  const ember_field fields[] = {ids[0],
                                ids[1],
                                ids[2],
                                ids[3],
                                sv_log_bool_field("requeued", reply.requeued),
                                sv_log_str_field("meta_etag", reply.meta_etag),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_trace(logger, "client.queue.nack.success", fields, 7);
  sv_engine_queue_nack_response_cleanup(&reply);
  settle(message);
  return SV_OK;
}

namespace {

int extend(sv_message *self, const sv_extend_req *req, sv_error *error, bool in_background) {
  if (self == nullptr || req == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message extend requires self and req", nullptr,
                        nullptr, nullptr);
  }
  sv_message_impl *message = sv_message_impl_of(self);
  ember_logger *logger = sv_api_logger(message->client);
  ember_field ids[kIdentityFields + 1];
  identity_fields(message, ids);
  ids[kIdentityFields] = sv_log_i64_field("extend_by_seconds", req->extend_by_seconds);
  sv_log_trace(logger, "client.queue.extend.start", ids, kIdentityFields + 1);
  sv_engine_queue_extend_request request{message->namespace_name, message->queue,
                                         message->message_id,     message->lease_id,
                                         message->txn_id,         message->fencing_token,
                                         message->meta_etag,      req->extend_by_seconds,
                                         message->state_lease_id, message->state_fencing_token};
  sv_engine_queue_extend_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_queue_extend(sv_client_impl_of(message->client)->engine, &request, &reply,
                                    &engine_error) != SV_OK) {
    return sv_api_fail_engine(logger, kExtendEvents, ids, kIdentityFields + 1, &engine_error,
                              error);
  }
  sv_engine_error_cleanup(&engine_error);
  // The server hands out a new meta ETag with every extension; the old one would be refused.
  sv_client_free(message->client, message->meta_etag);
  message->meta_etag = sv_client_strdup(message->client, reply.meta_etag);
  message->lease_expires_at_unix = reply.lease_expires_at_unix;
  message->visibility_timeout_seconds = reply.visibility_timeout_seconds;
  message->state_lease_expires_at_unix = reply.state_lease_expires_at_unix;
  if (message->state_lease != nullptr) {
    sv_lease_impl *lease = sv_lease_impl_of(message->state_lease);
    if (in_background) {
      sv_lease_note_renewal(lease, reply.state_lease_expires_at_unix);
    } else {
      lease->expires_at_unix = reply.state_lease_expires_at_unix;
      sv_lease_sync_view(lease);
    }
  }
  sv_message_sync_view(message);
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

}  // namespace

int sv_message_extend_method(sv_message *self, const sv_extend_req *req, sv_error *error) noexcept {
  return extend(self, req, error, false);
}

int sv_message_extend_in_background(sv_message *self, const sv_extend_req *req,
                                    sv_error *error) noexcept {
  return extend(self, req, error, true);
}
