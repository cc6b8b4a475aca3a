// The message handle: creation from a delivery (with the state lease of a with-state
// delivery), the public view that mirrors the private copies, payload access, closing, and the
// exported functions that dispatch through the handle's slots.
#include <cstdio>
#include <cstring>

#include "handle_check.h"
#include "lease_internal.h"
#include "message_internal.h"

namespace {

void fill_slots(sv_message *message) noexcept {
  message->ack = sv_message_ack_method;
  message->nack = sv_message_nack_method;
  message->extend = sv_message_extend_method;
  message->state = sv_message_state_method;
  message->payload_reader = sv_message_payload_method;
  message->rewind_payload = sv_message_rewind_payload_method;
  message->write_payload = sv_message_write_payload_method;
  message->close = sv_message_close_method;
}

// The state document of a message lives under "q/<queue>/state/<message id>"; without a queue
// or a message id there is no key.
sv_lease *make_state_lease(sv_message_impl *message) noexcept {
  sv_client *client = message->client;
  char *key = nullptr;
  if (message->queue != nullptr && message->queue[0] != '\0' && message->message_id != nullptr &&
      message->message_id[0] != '\0') {
    const size_t size = std::strlen(message->queue) + std::strlen(message->message_id) + 10;
    key = static_cast<char *>(sv_client_alloc(client, size));
    if (key == nullptr) return nullptr;
    std::snprintf(key, size, "q/%s/state/%s", message->queue, message->message_id);
  }
  sv_lease *lease =
      sv_lease_new(client, message->namespace_name, key, nullptr, message->state_lease_id,
                   message->state_txn_id, message->state_fencing_token, 0, nullptr);
  sv_client_free(client, key);
  return lease;
}

}  // namespace

void sv_message_sync_view(sv_message_impl *message) noexcept {
  sv_message &view = message->handle;
  view.namespace_name = message->namespace_name;
  view.queue = message->queue;
  view.message_id = message->message_id;
  view.attempts = message->attempts;
  view.max_attempts = message->max_attempts;
  view.failure_attempts = message->failure_attempts;
  view.not_visible_until_unix = message->not_visible_until_unix;
  view.visibility_timeout_seconds = message->visibility_timeout_seconds;
  view.payload_content_type = message->payload_content_type;
  view.correlation_id = message->correlation_id;
  view.lease_id = message->lease_id;
  view.lease_expires_at_unix = message->lease_expires_at_unix;
  view.fencing_token = message->fencing_token;
  view.txn_id = message->txn_id;
  view.meta_etag = message->meta_etag;
  view.next_cursor = message->next_cursor;
  view.payload = message->payload;
}

void sv_message_free(sv_message_impl *message) noexcept {
  if (message->holder != nullptr) *message->holder = nullptr;
  const sv_client *client = message->client;
  char *strings[] = {message->namespace_name, message->queue,
                     message->message_id,     message->payload_content_type,
                     message->correlation_id, message->lease_id,
                     message->txn_id,         message->meta_etag,
                     message->next_cursor,    message->state_etag,
                     message->state_lease_id, message->state_txn_id};
  for (char *text : strings)
    sv_client_free(client, text);
  sv_source_close(message->payload);
  if (message->state_lease != nullptr) sv_lease_close(message->state_lease);
  sv_client_free(client, message);
}

sv_message *sv_message_new(sv_client *client, const sv_engine_dequeue_response *delivery,
                           sv_source *payload_source, int32_t *settled_flag) noexcept {
  if (client == nullptr || delivery == nullptr) return nullptr;
  auto *message = static_cast<sv_message_impl *>(sv_client_alloc(client, sizeof(sv_message_impl)));
  if (message == nullptr) return nullptr;
  std::memset(static_cast<void *>(message), 0, sizeof(*message));
  fill_slots(&message->handle);
  message->client = client;
  // A handle missing its lease id or etag could not be settled: any failed copy fails it all.
  bool failed = false;
  auto copy = [&](const char *text) {
    char *copied = sv_client_strdup(client, text);
    if (text != nullptr && copied == nullptr) failed = true;
    return copied;
  };
  message->namespace_name = copy(delivery->namespace_name);
  message->queue = copy(delivery->queue);
  message->message_id = copy(delivery->message_id);
  message->attempts = delivery->attempts;
  message->max_attempts = delivery->max_attempts;
  message->failure_attempts = delivery->failure_attempts;
  message->not_visible_until_unix = delivery->not_visible_until_unix;
  message->visibility_timeout_seconds = delivery->visibility_timeout_seconds;
  message->payload_content_type = copy(delivery->payload_content_type);
  message->correlation_id = copy(delivery->correlation_id);
  message->lease_id = copy(delivery->lease_id);
  message->lease_expires_at_unix = delivery->lease_expires_at_unix;
  message->fencing_token = delivery->fencing_token;
  message->txn_id = copy(delivery->txn_id);
  message->meta_etag = copy(delivery->meta_etag);
  message->next_cursor = copy(delivery->next_cursor);
  message->settled = settled_flag;
  message->state_etag = copy(delivery->state_etag);
  message->state_lease_id = copy(delivery->state_lease_id);
  message->state_lease_expires_at_unix = delivery->state_lease_expires_at_unix;
  message->state_fencing_token = delivery->state_fencing_token;
  message->state_txn_id = copy(delivery->state_txn_id);
  if (!failed && delivery->state_lease_id != nullptr && delivery->state_lease_id[0] != '\0') {
    message->state_lease = make_state_lease(message);
    failed = message->state_lease == nullptr;
    // A handler may release or close the state lease: the message then forgets it.
    if (!failed) sv_lease_impl_of(message->state_lease)->holder = &message->state_lease;
  }
  if (failed) {
    sv_message_free(message);  // the payload is not the handle's yet: the caller keeps it
    return nullptr;
  }
  message->payload = payload_source;
  sv_message_sync_view(message);
  return &message->handle;
}

sv_lease *sv_message_state_method(sv_message *self) noexcept {
  return self != nullptr ? sv_message_impl_of(self)->state_lease : nullptr;
}

sv_source *sv_message_payload_method(sv_message *self) noexcept {
  return self != nullptr ? sv_message_impl_of(self)->payload : nullptr;
}

int sv_message_rewind_payload_method(sv_message *self, sv_error *error) noexcept {
  if (self == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message rewind_payload requires self", nullptr,
                        nullptr, nullptr);
  }
  sv_source *payload = sv_message_impl_of(self)->payload;
  if (payload == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message has no payload", nullptr, nullptr,
                        nullptr);
  }
  if (payload->reset == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "source is not resettable", nullptr, nullptr,
                        nullptr);
  }
  return payload->reset(payload, error);
}

int sv_message_write_payload_method(sv_message *self, sv_sink *dst, uint64_t *out_written,
                                    sv_error *error) noexcept {
  if (self == nullptr || dst == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message write_payload requires self and dst",
                        nullptr, nullptr, nullptr);
  }
  sv_source *payload = sv_message_impl_of(self)->payload;
  if (payload == nullptr) {
    if (out_written != nullptr) *out_written = 0;
    return SV_OK;
  }
  // sv_copy reports a failed read through the error record, so it needs a cleared one even
  // when the caller passed none.
  sv_error local;
  sv_error_init(&local);
  const int status = sv_copy(payload, dst, out_written, &local);
  if (status != SV_OK) {
    sv_error_set(error, status, local.http_status, local.message, local.detail,
                 local.server_error_code, local.correlation_id);
  }
  sv_error_cleanup(&local);
  return status;
}

void sv_message_close_method(sv_message *self) noexcept {
  if (self != nullptr) sv_message_free(sv_message_impl_of(self));
}

extern "C" {

SV_API int sv_message_ack(sv_message *message, sv_error *error) noexcept {
  if (message == nullptr) return sv_refuse_missing_handle(error, "message ack requires message");
  return message->ack(message, error);
}

SV_API int sv_message_nack(sv_message *message, const sv_nack_req *req, sv_error *error) noexcept {
  if (message == nullptr) return sv_refuse_missing_handle(error, "message nack requires message");
  return message->nack(message, req, error);
}

SV_API int sv_message_extend(sv_message *message, const sv_extend_req *req,
                             sv_error *error) noexcept {
  if (message == nullptr) return sv_refuse_missing_handle(error, "message extend requires message");
  return message->extend(message, req, error);
}

SV_API sv_lease *sv_message_state(sv_message *message) noexcept {
  if (message == nullptr || message->state == nullptr) return nullptr;
  return message->state(message);
}

SV_API sv_source *sv_message_payload(sv_message *message) noexcept {
  if (message == nullptr || message->payload_reader == nullptr) return nullptr;
  return message->payload_reader(message);
}

SV_API int sv_message_rewind_payload(sv_message *message, sv_error *error) noexcept {
  if (message == nullptr || message->rewind_payload == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message rewind_payload requires message",
                        nullptr, nullptr, nullptr);
  }
  return message->rewind_payload(message, error);
}

SV_API int sv_message_write_payload(sv_message *message, sv_sink *dst, uint64_t *out_written,
                                    sv_error *error) noexcept {
  if (message == nullptr || dst == nullptr || message->write_payload == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "message write_payload requires message and dst",
                        nullptr, nullptr, nullptr);
  }
  return message->write_payload(message, dst, out_written, error);
}

SV_API void sv_message_close(sv_message *message) noexcept {
  if (message != nullptr) message->close(message);
}

}  // extern "C"
