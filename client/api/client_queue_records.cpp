// Init and cleanup functions of the queue operations' request and result records.
#include <cstdlib>
#include <cstring>

#include "message_internal.h"
#include "record_zero.h"

using sv_records::zero;

extern "C" {

SV_API void sv_queue_stats_req_init(sv_queue_stats_req *req) noexcept {
  zero(req);
}
SV_API void sv_enqueue_req_init(sv_enqueue_req *req) noexcept {
  zero(req);
}
SV_API void sv_message_ref_init(sv_message_ref *req) noexcept {
  zero(req);
}
SV_API void sv_nack_op_init(sv_nack_op *req) noexcept {
  zero(req);
}
SV_API void sv_extend_op_init(sv_extend_op *req) noexcept {
  zero(req);
}
SV_API void sv_watch_queue_req_init(sv_watch_queue_req *req) noexcept {
  zero(req);
}
SV_API void sv_watch_handler_init(sv_watch_handler *handler) noexcept {
  zero(handler);
}

SV_API void sv_queue_stats_res_cleanup(sv_queue_stats_res *res) noexcept {
  if (res == nullptr) return;
  std::free(res->namespace_name);
  std::free(res->queue);
  std::free(res->head_message_id);
  std::free(res->correlation_id);
  zero(res);
}

SV_API void sv_ack_res_cleanup(sv_ack_res *res) noexcept {
  if (res == nullptr) return;
  std::free(res->correlation_id);
  zero(res);
}

SV_API void sv_nack_res_cleanup(sv_nack_res *res) noexcept {
  if (res == nullptr) return;
  std::free(res->meta_etag);
  std::free(res->correlation_id);
  zero(res);
}

SV_API void sv_extend_res_cleanup(sv_extend_res *res) noexcept {
  if (res == nullptr) return;
  std::free(res->meta_etag);
  std::free(res->correlation_id);
  zero(res);
}

SV_API void sv_enqueue_res_cleanup(sv_enqueue_res *res) noexcept {
  if (res == nullptr) return;
  std::free(res->namespace_name);
  std::free(res->queue);
  std::free(res->message_id);
  std::free(res->correlation_id);
  zero(res);
}

SV_API void sv_watch_event_cleanup(sv_watch_event *event) noexcept {
  if (event == nullptr) return;
  std::free(event->namespace_name);
  std::free(event->queue);
  std::free(event->head_message_id);
  std::free(event->correlation_id);
  zero(event);
}

SV_API void sv_dequeue_batch_cleanup(sv_dequeue_batch_res *batch) noexcept {
  if (batch == nullptr) return;
  for (size_t i = 0; i < batch->count; ++i)
    sv_message_close(batch->items[i]);
  std::free(batch->items);
  zero(batch);
}

}  // extern "C"
