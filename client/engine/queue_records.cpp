// Cleanup of the queue response records, the delivered message and the watch event: every
// owned string is freed and the record zeroed, so a cleaned record can be filled again or
// cleaned twice.
#include <cstring>

#include "queue_internal.h"

namespace {

template <typename Record>
void zero(Record *record) noexcept {
  std::memset(static_cast<void *>(record), 0, sizeof(*record));
}

}  // namespace

extern "C" {

SV_API void sv_engine_queue_stats_response_cleanup(
    sv_engine_queue_stats_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->namespace_name);
  sv_engine_free_string(&response->queue);
  sv_engine_free_string(&response->head_message_id);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

SV_API void sv_engine_queue_ack_response_cleanup(sv_engine_queue_ack_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

SV_API void sv_engine_queue_nack_response_cleanup(
    sv_engine_queue_nack_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->meta_etag);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

SV_API void sv_engine_queue_extend_response_cleanup(
    sv_engine_queue_extend_response *response) noexcept {
  if (response == nullptr) return;
  sv_engine_free_string(&response->meta_etag);
  sv_engine_free_string(&response->correlation_id);
  zero(response);
}

SV_API void sv_engine_dequeue_response_cleanup(sv_engine_dequeue_response *response) noexcept {
  if (response == nullptr) return;
  char **strings[] = {&response->namespace_name, &response->queue,
                      &response->message_id,     &response->payload_content_type,
                      &response->correlation_id, &response->lease_id,
                      &response->txn_id,         &response->meta_etag,
                      &response->state_etag,     &response->state_lease_id,
                      &response->state_txn_id,   &response->next_cursor};
  for (char **slot : strings)
    sv_engine_free_string(slot);
  if (response->payload != nullptr && response->payload->close != nullptr) {
    response->payload->close(response->payload);
  }
  zero(response);
}

SV_API void sv_engine_queue_watch_event_cleanup(sv_engine_queue_watch_event *event) noexcept {
  if (event == nullptr) return;
  sv_engine_free_string(&event->namespace_name);
  sv_engine_free_string(&event->queue);
  sv_engine_free_string(&event->head_message_id);
  sv_engine_free_string(&event->correlation_id);
  zero(event);
}

}  // extern "C"
