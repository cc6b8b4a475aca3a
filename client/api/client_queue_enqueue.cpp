// The enqueue method: the payload source streams into the upload as the message body.
#include "../engine/sv_log.h"
#include "client_queue_internal.h"
#include "name_check.h"

namespace {

constexpr FailureEvents kEnqueueEvents{"client.queue.enqueue.error",
                                       "client.queue.enqueue.transport_error", false};

// Copies the engine's answer; false (out cleaned) when a copy fails.
bool fill(sv_enqueue_res *out, const sv_engine_enqueue_response &reply) noexcept {
  *out = sv_enqueue_res{};
  out->namespace_name = sv_strdup_local(reply.namespace_name);
  out->queue = sv_strdup_local(reply.queue);
  out->message_id = sv_strdup_local(reply.message_id);
  out->attempts = reply.attempts;
  out->max_attempts = reply.max_attempts;
  out->failure_attempts = reply.failure_attempts;
  out->not_visible_until_unix = reply.not_visible_until_unix;
  out->visibility_timeout_seconds = reply.visibility_timeout_seconds;
  out->payload_bytes = reply.payload_bytes;
  out->correlation_id = sv_strdup_local(reply.correlation_id);
  const bool complete = sv_queue_copied(reply.namespace_name, out->namespace_name) &&
                        sv_queue_copied(reply.queue, out->queue) &&
                        sv_queue_copied(reply.message_id, out->message_id) &&
                        sv_queue_copied(reply.correlation_id, out->correlation_id);
  if (!complete) sv_enqueue_res_cleanup(out);
  return complete;
}

}  // namespace

int sv_client_enqueue_method(sv_client *self, const sv_enqueue_req *req, sv_source *payload,
                             sv_enqueue_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "enqueue requires self, req, and out", nullptr,
                        nullptr, nullptr);
  }
  if (const int status =
          sv_names::check(error, "enqueue",
                          {sv_names::required("queue", req->queue),
                           sv_names::optional("namespace_name", req->namespace_name)});
      status != SV_OK) {
    return status;
  }
  ember_logger *logger = sv_api_logger(self);
  const ember_field ids[] = {sv_log_str_field("queue", req->queue),
                             sv_log_str_field("namespace", req->namespace_name),
                             sv_log_str_field("content_type", req->payload_content_type)};
  sv_log_info(logger, "client.queue.enqueue.begin", ids, 3);
  const sv_engine_enqueue_request request{req->namespace_name,      req->queue,
                                          req->delay_seconds,       req->visibility_timeout_seconds,
                                          req->ttl_seconds,         req->max_attempts,
                                          req->payload_content_type};
  // The read bridge takes a record whose first member is the source.
  struct {
    sv_source *source;
  } bridge{payload};
  sv_engine_enqueue_response reply{};
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  const int status =
      sv_engine_client_enqueue_from(sv_client_impl_of(self)->engine, &request,
                                    payload != nullptr ? sv_engine_read_bridge : nullptr,
                                    payload != nullptr ? &bridge : nullptr, &reply, &engine_error);
  if (status != SV_OK) {
    return sv_api_fail_engine(logger, kEnqueueEvents, ids, 3, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  if (!fill(out, reply)) {
    sv_engine_enqueue_response_cleanup(&reply);
    return sv_api_fail_local(logger, kEnqueueEvents, ids, 3, SV_ERR_NOMEM,
                             "failed to allocate enqueue response", error);
  }
  const ember_field fields[] = {ids[0], ids[1], sv_log_str_field("message_id", reply.message_id),
                                sv_log_i64_field("payload_bytes", reply.payload_bytes),
                                sv_log_str_field("cid", reply.correlation_id)};
  sv_log_info(logger, "client.queue.enqueue.success", fields, 5);
  sv_engine_enqueue_response_cleanup(&reply);
  return SV_OK;
}
