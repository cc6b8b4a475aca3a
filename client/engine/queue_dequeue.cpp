// The synchronous dequeue: at most one message, its payload captured into a spool (memory up to
// a threshold, then an anonymous temporary file) that the message's payload source reads back,
// so that a payload of any size is delivered without another thread draining it.
#include <cstdlib>
#include <cstring>
#include <new>

#include "brindle_values.h"
#include "queue_internal.h"

namespace {

// A rewindable source over a spool; close frees both.
struct SpoolSource {
  sv_source base;
  brindle_spooled spool;
};

void set_source_error(sv_error *error, const char *message) {
  if (error == nullptr) return;
  sv_engine_public_error_clear(error);
  error->code = SV_ERR_TRANSPORT;
  error->message = sv_engine_strdup_local(message);
}

size_t spool_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) {
  auto *self = reinterpret_cast<SpoolSource *>(source);
  if (buffer == nullptr || capacity == 0) return 0;
  const brindle_read_result result = brindle_spooled_read(&self->spool, buffer, capacity);
  if (result.error != 0) {
    set_source_error(error, "failed to read dequeue payload");
    return 0;
  }
  return result.bytes;
}

int spool_reset(sv_source *source, sv_error *error) {
  auto *self = reinterpret_cast<SpoolSource *>(source);
  if (brindle_spooled_rewind(&self->spool, nullptr) != BRINDLE_OK) {
    set_source_error(error, "failed to rewind dequeue payload");
    return SV_ERR_TRANSPORT;
  }
  return SV_OK;
}

void spool_close(sv_source *source) {
  if (source == nullptr) return;
  auto *self = reinterpret_cast<SpoolSource *>(source);
  brindle_spooled_cleanup(&self->spool);
  self->~SpoolSource();
  std::free(self);
}

SpoolSource *open_spool() {
  void *memory = std::malloc(sizeof(SpoolSource));
  if (memory == nullptr) return nullptr;
  auto *source = new (memory) SpoolSource{};
  source->base.read = spool_read;
  source->base.reset = spool_reset;
  source->base.close = spool_close;
  brindle_spool_options options{};
  options.memory_limit = SV_ENGINE_QUEUE_SPOOL_MEMORY_BYTES;
  options.max_bytes = 0;       // any size
  options.temp_dir = nullptr;  // anonymous temporary file
  brindle_spooled_init(&source->spool, &options);
  return source;
}

struct Capture {
  sv_engine_dequeue_response *message;
  SpoolSource *spool = nullptr;
  bool captured = false;
  int64_t bytes = 0;
};

bool copy_string(char **slot, const char *text) {
  return sv_engine_replace_string(slot, text);
}

int copy_message(const sv_engine_dequeue_response &from, sv_engine_dequeue_response *to) {
  sv_engine_dequeue_response_cleanup(to);
  *to = from;
  // The strings are the engine's: take copies of them.
  char **strings[] = {
      &to->namespace_name, &to->queue,          &to->message_id,   &to->payload_content_type,
      &to->correlation_id, &to->lease_id,       &to->txn_id,       &to->meta_etag,
      &to->state_etag,     &to->state_lease_id, &to->state_txn_id, &to->next_cursor};
  for (char **slot : strings)
    *slot = nullptr;
  to->payload = nullptr;
  const char *texts[] = {
      from.namespace_name, from.queue,          from.message_id,   from.payload_content_type,
      from.correlation_id, from.lease_id,       from.txn_id,       from.meta_etag,
      from.state_etag,     from.state_lease_id, from.state_txn_id, from.next_cursor};
  for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); ++i) {
    if (!copy_string(strings[i], texts[i])) return SV_ERR_NOMEM;
  }
  return SV_OK;
}

int capture_begin(void *context, const sv_engine_dequeue_response *message,
                  sv_engine_error *error) {
  auto *capture = static_cast<Capture *>(context);
  if (capture == nullptr || capture->message == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_INVALID, "missing dequeue capture state");
    return 0;
  }
  if (capture->captured) {
    // Only one message fits the record; a second delivery would be leased and never seen.
    sv_engine_set_protocol_error(error, "dequeue received more than one message");
    return 0;
  }
  if (copy_message(*message, capture->message) != SV_OK) {
    sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to capture dequeue metadata");
    return 0;
  }
  capture->spool = open_spool();
  if (capture->spool == nullptr) {
    sv_engine_set_transport_error(error, "failed to create dequeue payload stream");
    return 0;
  }
  capture->captured = true;
  capture->bytes = 0;
  return 1;
}

int capture_chunk(void *context, const char *bytes, size_t length, sv_engine_error *error) {
  auto *capture = static_cast<Capture *>(context);
  if (capture == nullptr || capture->spool == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_INVALID, "missing dequeue capture state");
    return 0;
  }
  if (length > static_cast<uint64_t>(INT64_MAX - capture->bytes)) {
    sv_engine_set_protocol_error(error, "dequeue payload is too large");
    return 0;
  }
  brindle_error spool_error;
  brindle_error_init(&spool_error);
  if (brindle_spooled_append(&capture->spool->spool, bytes, length, &spool_error) != BRINDLE_OK) {
    sv_engine_set_transport_error(error, spool_error.message[0] != '\0'
                                             ? spool_error.message
                                             : "failed to stream dequeue payload");
    return 0;
  }
  capture->bytes += static_cast<int64_t>(length);
  return 1;
}

int capture_end(void *context, const sv_engine_dequeue_response *, sv_engine_error *error) {
  auto *capture = static_cast<Capture *>(context);
  if (capture == nullptr || capture->spool == nullptr || capture->message == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_INVALID, "missing dequeue capture state");
    return 0;
  }
  brindle_error spool_error;
  brindle_error_init(&spool_error);
  if (brindle_spooled_rewind(&capture->spool->spool, &spool_error) != BRINDLE_OK) {
    sv_engine_set_transport_error(error, "failed to stream dequeue payload");
    return 0;
  }
  capture->message->payload = &capture->spool->base;
  capture->spool = nullptr;  // the record owns it now
  capture->message->payload_bytes = capture->bytes;
  return 1;
}

const sv_engine_message_handler capture_handler = {capture_begin, capture_chunk, capture_end};

int dequeue(const sv_engine_client *client, const sv_engine_dequeue_request *request,
            const char *path, sv_engine_dequeue_response *message, sv_engine_error *error) {
  if (client == nullptr || request == nullptr || message == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "client, request, and response are required");
  }
  if (request->queue == nullptr || request->queue[0] == '\0') {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "dequeue.queue is required");
  }
  sv_engine_dequeue_response_cleanup(message);
  sv_engine_error local;
  sv_engine_error_init(&local);
  sv_engine_error *used = error != nullptr ? error : &local;
  sv_engine_dequeue_request one = *request;
  one.page_size = 1;  // the record holds one message
  Capture capture;
  capture.message = message;
  int status = SV_OK;
  if (one.owner == nullptr || one.owner[0] == '\0') {
    status = sv_engine_set_client_error(
        used, SV_ERR_INVALID,
        "subscribe requires client, request, chunk handler, error, queue, and owner");
  } else {
    status = sv_engine_queue_run_stream(client, &one, path, &capture_handler, &capture, used);
  }
  if (capture.spool != nullptr) spool_close(&capture.spool->base);
  // A failure, or a stop in the middle of the payload, leaves no half-captured message.
  if (status != SV_OK || message->payload == nullptr) sv_engine_dequeue_response_cleanup(message);
  sv_engine_error_cleanup(&local);
  return status;
}

}  // namespace

extern "C" {

SV_API int sv_engine_client_dequeue(const sv_engine_client *client,
                                    const sv_engine_dequeue_request *request,
                                    sv_engine_dequeue_response *message,
                                    sv_engine_error *error) noexcept {
  return dequeue(client, request, "/v1/queue/dequeue", message, error);
}

SV_API int sv_engine_client_dequeue_with_state(const sv_engine_client *client,
                                               const sv_engine_dequeue_request *request,
                                               sv_engine_dequeue_response *message,
                                               sv_engine_error *error) noexcept {
  return dequeue(client, request, "/v1/queue/dequeueWithState", message, error);
}

}  // extern "C"
