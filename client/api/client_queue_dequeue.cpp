// The synchronous dequeues: dequeue, dequeue_with_state and dequeue_batch. Each payload is
// captured into a spool (memory up to 64 KiB, beyond that an anonymous temporary file) while
// the stream arrives, and the message handle's payload source reads it back after the call, so
// payloads of any size arrive whole and a batch never waits for its caller to drain a payload.
#include <cstdlib>
#include <cstring>
#include <new>

#include "../engine/sv_log.h"
#include "brindle_values.h"
#include "client_queue_internal.h"
#include "name_check.h"

namespace {

constexpr size_t kSpoolMemoryBytes = 65536;
constexpr FailureEvents kDequeueEvents{"client.queue.dequeue.error", nullptr, false};

// A rewindable payload source over a spool; close frees both.
struct SpoolSource {
  sv_source base;
  brindle_spooled spool;
  sv_allocator allocator;
};

size_t spool_read(sv_source *source, char *buffer, size_t capacity, sv_error *error) noexcept {
  auto *self = reinterpret_cast<SpoolSource *>(source);
  if (buffer == nullptr || capacity == 0) return 0;
  const brindle_read_result result = brindle_spooled_read(&self->spool, buffer, capacity);
  if (result.error != 0) {
    sv_error_set(error, SV_ERR_TRANSPORT, 0, "failed to read dequeue payload", nullptr, nullptr,
                 nullptr);
    return 0;
  }
  return result.bytes;
}

int spool_reset(sv_source *source, sv_error *error) noexcept {
  auto *self = reinterpret_cast<SpoolSource *>(source);
  if (brindle_spooled_rewind(&self->spool, nullptr) != BRINDLE_OK) {
    return sv_error_set(error, SV_ERR_TRANSPORT, 0, "failed to rewind dequeue payload", nullptr,
                        nullptr, nullptr);
  }
  return SV_OK;
}

void spool_close(sv_source *source) noexcept {
  if (source == nullptr) return;
  auto *self = reinterpret_cast<SpoolSource *>(source);
  brindle_spooled_cleanup(&self->spool);
  const sv_allocator allocator = self->allocator;
  self->~SpoolSource();
  sv_free_with_allocator(&allocator, self);
}

SpoolSource *open_spool(const sv_client *client) noexcept {
  const sv_allocator &allocator = sv_client_impl_of(client)->allocator;
  void *memory = sv_alloc_with_allocator(&allocator, sizeof(SpoolSource));
  if (memory == nullptr) return nullptr;
  auto *source = new (memory) SpoolSource{};
  source->base.read = spool_read;
  source->base.reset = spool_reset;
  source->base.close = spool_close;
  source->allocator = allocator;
  brindle_spool_options options{};
  options.memory_limit = kSpoolMemoryBytes;
  options.max_bytes = 0;       // any size
  options.temp_dir = nullptr;  // anonymous temporary file
  brindle_spooled_init(&source->spool, &options);
  return source;
}

// Where the deliveries of one call go: one message (dequeue) or a growing batch.
struct Delivery {
  sv_client *client;
  size_t limit;          // most messages the call accepts
  size_t delivered = 0;  // messages built so far
  sv_message **single = nullptr;
  sv_dequeue_batch_res *batch = nullptr;
  SpoolSource *spool = nullptr;  // the payload in progress
};

int on_begin(void *context, const sv_engine_dequeue_response *, sv_engine_error *error) noexcept {
  auto *delivery = static_cast<Delivery *>(context);
  if (delivery->spool != nullptr) {
    sv_engine_set_protocol_error(error, "dequeue payload ended early");
    return 0;
  }
  if (delivery->delivered >= delivery->limit) {
    // A message beyond what was asked for could not be handed to the caller.
    sv_engine_set_protocol_error(error, "dequeue received more messages than requested");
    return 0;
  }
  delivery->spool = open_spool(delivery->client);
  if (delivery->spool == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate dequeue payload");
    return 0;
  }
  return 1;
}

int on_chunk(void *context, const char *bytes, size_t length, sv_engine_error *error) noexcept {
  auto *delivery = static_cast<Delivery *>(context);
  if (delivery->spool == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_INVALID, "missing dequeue payload stream");
    return 0;
  }
  brindle_error spool_error;
  brindle_error_init(&spool_error);
  if (brindle_spooled_append(&delivery->spool->spool, bytes, length, &spool_error) != BRINDLE_OK) {
    sv_engine_set_transport_error(error, spool_error.message[0] != '\0'
                                             ? spool_error.message
                                             : "failed to store dequeue payload");
    return 0;
  }
  return 1;
}

bool append_to_batch(sv_dequeue_batch_res *batch, sv_message *message) noexcept {
  auto *grown = static_cast<sv_message **>(
      std::realloc(batch->items, (batch->count + 1) * sizeof(sv_message *)));
  if (grown == nullptr) return false;
  batch->items = grown;
  batch->items[batch->count++] = message;
  return true;
}

int on_end(void *context, const sv_engine_dequeue_response *meta, sv_engine_error *error) noexcept {
  auto *delivery = static_cast<Delivery *>(context);
  SpoolSource *spool = delivery->spool;
  delivery->spool = nullptr;
  if (spool == nullptr) {
    sv_engine_set_client_error(error, SV_ERR_INVALID, "missing dequeue payload stream");
    return 0;
  }
  if (brindle_spooled_rewind(&spool->spool, nullptr) != BRINDLE_OK) {
    spool_close(&spool->base);
    sv_engine_set_transport_error(error, "failed to dequeue payload");
    return 0;
  }
  sv_message *message = sv_message_new(delivery->client, meta, &spool->base, nullptr);
  if (message == nullptr) {
    spool_close(&spool->base);
    sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to allocate message handle");
    return 0;
  }
  if (delivery->single != nullptr) {
    *delivery->single = message;
  } else if (!append_to_batch(delivery->batch, message)) {
    sv_message_close(message);
    sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to grow dequeue batch");
    return 0;
  }
  ++delivery->delivered;
  return 1;
}

const sv_engine_message_handler kHandler = {on_begin, on_chunk, on_end};

enum class Form { kPlain, kWithState, kBatch };

int run(sv_client *self, const sv_dequeue_req *req, Form form, Delivery *delivery,
        sv_error *error) noexcept {
  ember_logger *logger = sv_api_logger(self);
  const bool with_state = form == Form::kWithState;
  const ember_field ids[] = {
      sv_log_str_field("queue", req->queue), sv_log_str_field("namespace", req->namespace_name),
      sv_log_str_field("owner", req->owner), sv_log_bool_field("with_state", with_state)};
  sv_log_info(logger, "client.queue.dequeue.begin", ids, 4);
  sv_engine_dequeue_request request{
      req->namespace_name, req->queue, req->owner,      req->visibility_timeout_seconds,
      req->wait_seconds,   1,          req->start_after};
  if (form == Form::kBatch) request.page_size = req->page_size > 1 ? req->page_size : 1;
  delivery->limit = static_cast<size_t>(request.page_size);
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  const sv_engine_client *engine = sv_client_impl_of(self)->engine;
  const int status = with_state ? sv_engine_client_dequeue_with_state_into(
                                      engine, &request, &kHandler, delivery, &engine_error)
                                : sv_engine_client_dequeue_into(engine, &request, &kHandler,
                                                                delivery, &engine_error);
  if (delivery->spool != nullptr) {  // a payload cut short
    spool_close(&delivery->spool->base);
    delivery->spool = nullptr;
  }
  if (status != SV_OK) {
    return sv_api_fail_engine(logger, kDequeueEvents, ids, 4, &engine_error, error);
  }
  sv_engine_error_cleanup(&engine_error);
  if (form == Form::kBatch) {
    const ember_field fields[] = {ids[0], ids[1], ids[2],
                                  sv_log_u64_field("count", delivery->batch->count)};
    sv_log_info(logger, "client.queue.dequeue.success", fields, 4);
  } else if (*delivery->single != nullptr) {
    const sv_message *message = *delivery->single;
    const ember_field fields[] = {ids[0],
                                  ids[1],
                                  ids[2],
                                  sv_log_str_field("message_id", message->message_id),
                                  sv_log_i64_field("fencing_token", message->fencing_token),
                                  sv_log_str_field("cid", message->correlation_id)};
    sv_log_info(logger, "client.queue.dequeue.success", fields, 6);
  }
  return SV_OK;
}

// The names of a dequeue, checked by the call's name before anything is sent.
int check_request(const sv_dequeue_req *req, const char *operation, sv_error *error) noexcept {
  return sv_names::check(
      error, operation,
      {sv_names::required("queue", req->queue), sv_names::required("owner", req->owner),
       sv_names::optional("namespace_name", req->namespace_name),
       sv_names::optional("txn_id", req->txn_id)});
}

int dequeue_one(sv_client *self, const sv_dequeue_req *req, sv_message **out, Form form,
                sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    // The with-state form shares the plain form's messages.
    return sv_error_set(error, SV_ERR_INVALID, 0, "dequeue requires self, req, and out", nullptr,
                        nullptr, nullptr);
  }
  if (const int status = check_request(req, "dequeue", error); status != SV_OK) {
    return status;
  }
  *out = nullptr;
  Delivery delivery{self, 1};
  delivery.single = out;
  const int status = run(self, req, form, &delivery, error);
  if (status != SV_OK && *out != nullptr) {
    sv_message_close(*out);
    *out = nullptr;
  }
  return status;
}

}  // namespace

int sv_client_dequeue_method(sv_client *self, const sv_dequeue_req *req, sv_message **out,
                             sv_error *error) noexcept {
  return dequeue_one(self, req, out, Form::kPlain, error);
}

int sv_client_dequeue_with_state_method(sv_client *self, const sv_dequeue_req *req,
                                        sv_message **out, sv_error *error) noexcept {
  return dequeue_one(self, req, out, Form::kWithState, error);
}

int sv_client_dequeue_batch_method(sv_client *self, const sv_dequeue_req *req,
                                   sv_dequeue_batch_res *out, sv_error *error) noexcept {
  if (self == nullptr || req == nullptr || out == nullptr) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "dequeue_batch requires self, req, and out",
                        nullptr, nullptr, nullptr);
  }
  if (const int status = check_request(req, "dequeue_batch", error); status != SV_OK) {
    return status;
  }
  *out = sv_dequeue_batch_res{};
  Delivery delivery{self, 1};
  delivery.batch = out;
  const int status = run(self, req, Form::kBatch, &delivery, error);
  if (status != SV_OK) sv_dequeue_batch_cleanup(out);
  return status;
}
