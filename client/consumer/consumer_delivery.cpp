// The delivery pipeline of a consumer worker: the three subscribe callbacks (begin, chunk, end)
// on the worker thread, the handler thread that runs the application's handler and settles the
// message from its outcome, and the extender thread that keeps the message invisible meanwhile.
#include <cstring>

#include "../api/client_internal.h"
#include "../api/message_internal.h"
#include "consumer_internal.h"

namespace {

constexpr size_t kPipeCapacity = 65536;
constexpr int64_t kMaxExtendIntervalMs = 30000;

void set_worker_error(DeliveryContext *c, int code, const char *message) {
  sv_error_set(c->error, code, 0, message, nullptr, nullptr, nullptr);
}

void free_meta(DeliveryContext *c) {
  const sv_allocator *allocator = c->worker->allocator;
  sv_free_with_allocator(allocator, c->meta.namespace_name);
  sv_free_with_allocator(allocator, c->meta.queue);
  sv_free_with_allocator(allocator, c->meta.message_id);
  sv_free_with_allocator(allocator, c->meta.correlation_id);
  c->meta = DeliveryMeta{};
  c->has_meta = false;
}

// False when a copy failed (the copies made are kept for free_meta).
bool copy_meta(DeliveryContext *c, const sv_engine_dequeue_response *message) {
  const sv_allocator *allocator = c->worker->allocator;
  bool copied = true;
  auto copy = [&](const char *text) {
    char *result = sv_strdup_with_allocator(allocator, text);
    if (text != nullptr && result == nullptr) copied = false;
    return result;
  };
  c->meta.namespace_name = copy(message->namespace_name);
  c->meta.queue = copy(message->queue);
  c->meta.message_id = copy(message->message_id);
  c->meta.correlation_id = copy(message->correlation_id);
  c->meta.attempts = message->attempts;
  c->meta.failure_attempts = message->failure_attempts;
  c->has_meta = true;
  return copied;
}

void destroy_sync(DeliveryContext *c) {
  if (c->has_action) pthread_mutex_destroy(&c->action);
  if (c->has_cond) pthread_cond_destroy(&c->cond);
  if (c->has_mutex) pthread_mutex_destroy(&c->mutex);
  c->has_action = c->has_cond = c->has_mutex = false;
}

void join_handler(DeliveryContext *c) {
  if (c->handler_started) {
    pthread_join(c->handler_thread, nullptr);
    c->handler_started = false;
  }
}

void close_managed(DeliveryContext *c) {
  if (c->managed != nullptr) sv_message_close(&c->managed->handle);
}

bool stopping(const DeliveryContext *c) {
  return sv_consumer_service_stopping(c->worker->service);
}

// ---- Extender ----

// A failed extend is tried again this soon while the lease is still valid.
constexpr int64_t kExtendRetryMs = 1000;

bool extender_should_end(DeliveryContext *c) {
  return c->done || c->terminal != kTerminalActive || c->managed == nullptr ||
         sv_consumer_drain_over(c->worker->service);
}

bool extender_wake(void *context) {
  return extender_should_end(static_cast<DeliveryContext *>(context));
}

// The server said the delivery lease is gone (the message is no longer ours): a retry cannot
// help and an ack would be refused.
bool lease_lost(const sv_error &failure) {
  if (failure.http_status == 404) return true;
  return failure.http_status == 409 && failure.server_error_code != nullptr &&
         std::strncmp(failure.server_error_code, "lease_", 6) == 0;
}

// The lease is lost: the handler's outcome becomes this failure (context mutex held).
void extender_lost(DeliveryContext *c, const sv_error &failure) {
  if (c->done || c->terminal != kTerminalActive) return;
  const int code = failure.code != 0 ? failure.code : SV_ERR_TRANSPORT;
  if (c->error->code == 0) {
    if (failure.code != 0) {
      sv_error_set(c->error, failure.code, failure.http_status, failure.message, failure.detail,
                   failure.server_error_code, failure.correlation_id);
    } else {
      set_worker_error(c, code, "consumer auto-extend failed");
    }
  }
  if (c->handler_rc == 0) c->handler_rc = code;
  pthread_cond_broadcast(&c->cond);
}

void *extender_main(void *argument) noexcept {
  auto *c = static_cast<DeliveryContext *>(argument);
  sv_consumer_service_impl *service = c->worker->service;
  pthread_mutex_lock(&c->mutex);
  int64_t interval =
      c->managed != nullptr ? c->managed->handle.visibility_timeout_seconds * 500 : 0;
  if (interval > kMaxExtendIntervalMs) interval = kMaxExtendIntervalMs;
  int64_t next_wait = interval;
  while (interval > 0 && !extender_should_end(c)) {
    const int64_t now = sv_consumer_clock_now_ms(service);
    if (now < 0) break;
    int64_t deadline = now + next_wait;
    const int64_t drain_end = sv_consumer_drain_deadline_ms(service);
    if (drain_end < deadline) deadline = drain_end;
    if (!sv_consumer_wait_until(service, &c->cond, &c->mutex, deadline, extender_wake, c)) break;
    if (extender_should_end(c)) break;
    if (sv_consumer_clock_now_ms(service) < now + next_wait) continue;  // a wake-up, not due
    pthread_mutex_unlock(&c->mutex);

    pthread_mutex_lock(&c->action);
    pthread_mutex_lock(&c->mutex);
    if (extender_should_end(c) || c->message == nullptr ||
        c->message->visibility_timeout_seconds <= 0) {
      pthread_mutex_unlock(&c->action);
      break;
    }
    sv_message *inner = c->message;
    sv_extend_req request{};
    request.extend_by_seconds = inner->visibility_timeout_seconds;
    pthread_mutex_unlock(&c->mutex);
    sv_error failure;
    sv_error_init(&failure);
    // The handler may be reading the state lease's view: its renewal waits for its next call.
    const int status = sv_message_extend_in_background(inner, &request, &failure);
    const int64_t answered = sv_consumer_clock_now_ms(service);
    pthread_mutex_unlock(&c->action);
    pthread_mutex_lock(&c->mutex);
    if (status == SV_OK) {
      c->lease_until_ms = answered + request.extend_by_seconds * 1000;
      next_wait = interval;
    } else if (lease_lost(failure)) {
      extender_lost(c, failure);
      sv_error_cleanup(&failure);
      break;
    } else {
      // Transient: try again while the lease still runs; past it the ack decides.
      const int64_t remaining = c->lease_until_ms - answered;
      if (remaining <= 0) {
        sv_error_cleanup(&failure);
        break;
      }
      next_wait = remaining / 2 < kExtendRetryMs ? remaining / 2 : kExtendRetryMs;
      if (next_wait < 1) next_wait = 1;
    }
    sv_error_cleanup(&failure);
  }
  pthread_mutex_unlock(&c->mutex);
  return nullptr;
}

// ---- Handler thread ----

// Capacity of the last-error document a failure nack carries.
constexpr size_t kLastErrorBytes = 2048;

// The failure path: nack an unsettled message for another attempt (deferred when its stream
// broke off, so that the client's own failure counts no attempt). Records whether the message
// is known to be back with the server.
int nack_after_failure(DeliveryContext *c, int failure_code, const sv_error &handler_error) {
  pthread_mutex_lock(&c->mutex);
  const bool closed = c->managed == nullptr;
  const bool cut = c->payload_cut;
  const int terminal = c->terminal;
  pthread_mutex_unlock(&c->mutex);
  if (closed || terminal == kTerminalSettled) {
    c->outcome_known = true;  // the handler closed or settled it: nothing is in flight
    return failure_code;
  }
  if (terminal == kTerminalFailed || sv_consumer_drain_over(c->worker->service)) {
    return failure_code;
  }
  sv_consumer_delivery_stop_extender(c);
  char last_error[kLastErrorBytes];
  sv_nack_req request{};
  request.delay_seconds = 0;
  request.intent = cut ? SV_NACK_INTENT_DEFER : SV_NACK_INTENT_FAILURE;
  request.last_error_json =
      sv_consumer_last_error_json(&handler_error, last_error, sizeof last_error);
  sv_error nack_error;
  sv_error_init(&nack_error);
  const int nacked = c->managed->handle.nack(&c->managed->handle, &request, &nack_error);
  int code = failure_code;
  if (nacked == SV_OK) {
    c->outcome_known = true;
  } else {
    code = nack_error.code != 0 ? nack_error.code : SV_ERR_TRANSPORT;
    pthread_mutex_lock(&c->mutex);
    if (c->error->code == 0) {
      if (nack_error.code != 0) {
        sv_error_set(c->error, nack_error.code, nack_error.http_status, nack_error.message,
                     nack_error.detail, nack_error.server_error_code, nack_error.correlation_id);
      } else {
        set_worker_error(c, SV_ERR_TRANSPORT, "consumer handler failed to nack delivery");
      }
    }
    pthread_mutex_unlock(&c->mutex);
  }
  sv_error_cleanup(&nack_error);
  return code;
}

void *handler_main(void *argument) noexcept {
  auto *c = static_cast<DeliveryContext *>(argument);
  const ConsumerWorker *worker = c->worker;
  sv_consumer_delivery delivery{};
  delivery.client = c->client;
  delivery.logger = sv_client_impl_of(c->client)->logger;
  delivery.consumer = worker->name;
  delivery.queue = worker->queue;
  delivery.with_state = worker->with_state;
  delivery.message = c->managed != nullptr ? &c->managed->handle : nullptr;
  delivery.state =
      delivery.message != nullptr ? delivery.message->state(delivery.message) : nullptr;
  sv_error handler_error;
  sv_error_init(&handler_error);
  const int returned = worker->handle(worker->context, &delivery, &handler_error);

  if (returned == 0 || sv_consumer_managed_settled(c)) sv_consumer_delivery_stop_extender(c);
  pthread_mutex_lock(&c->mutex);
  // Set only when the extender learnt that the lease is gone.
  const int lost = c->handler_rc;
  if (lost != 0 && returned == 0) {
    sv_error_set(&handler_error, c->error->code, c->error->http_status, c->error->message,
                 c->error->detail, c->error->server_error_code, c->error->correlation_id);
  }
  pthread_mutex_unlock(&c->mutex);
  int failure = 0;
  if (returned != 0) {
    if (handler_error.code == 0) {
      sv_error_set(&handler_error, SV_ERR_TRANSPORT, 0, "consumer handler failed", nullptr, nullptr,
                   nullptr);
    }
    failure = returned;
  } else if (lost != 0) {
    failure = lost;
  } else if (c->managed != nullptr && !sv_consumer_managed_settled(c) &&
             !sv_consumer_drain_over(worker->service)) {
    if (c->managed->handle.ack(&c->managed->handle, &handler_error) != SV_OK) {
      if (handler_error.code == 0) handler_error.code = SV_ERR_TRANSPORT;
      failure = handler_error.code;
    }
  }
  if (failure != 0 && lost != 0) {
    c->outcome_known = true;  // the server took the message back: neither ack nor nack
  } else if (failure != 0) {
    failure = nack_after_failure(c, failure, handler_error);
  }
  // The payload source goes with the message: a writer blocked on a full pipe must not wait
  // for a reader that will never come back.
  sv_consumer_delivery_stop_extender(c);
  close_managed(c);

  pthread_mutex_lock(&c->mutex);
  if (failure != 0 && c->error->code == 0) {
    if (handler_error.code != 0) {
      sv_error_set(c->error, handler_error.code, handler_error.http_status, handler_error.message,
                   handler_error.detail, handler_error.server_error_code,
                   handler_error.correlation_id);
    } else {
      set_worker_error(c, failure, "consumer handler failed");
    }
  }
  c->handler_rc = failure;
  c->done = true;
  pthread_cond_broadcast(&c->cond);
  pthread_mutex_unlock(&c->mutex);
  sv_error_cleanup(&handler_error);
  return nullptr;
}

// ---- Subscribe callbacks ----

// A delivery that arrived after stop never starts: it is handed back at once, without counting
// a failure attempt, and its payload is dropped.
void hand_back(DeliveryContext *c, const sv_engine_dequeue_response *meta) {
  c->draining = true;
  sv_message *message = sv_message_new(c->client, meta, nullptr, nullptr);
  if (message == nullptr) return;  // its visibility runs out instead
  sv_nack_req request{};
  request.intent = SV_NACK_INTENT_DEFER;
  sv_error error;
  sv_error_init(&error);
  if (sv_message_nack(message, &request, &error) != SV_OK) sv_message_close(message);
  sv_error_cleanup(&error);
}

int fail_begin(DeliveryContext *c, int code, const char *message) {
  if (c->error->code == 0) set_worker_error(c, code, message);
  c->runtime_failed = true;
  return 0;
}

int on_begin(void *context, const sv_engine_dequeue_response *message, sv_engine_error *) noexcept {
  auto *c = static_cast<DeliveryContext *>(context);
  sv_consumer_delivery_clean(c);
  sv_consumer_delivery_reset(c);
  if (stopping(c)) {
    hand_back(c, message);
    return 1;
  }
  if (!copy_meta(c, message)) {
    free_meta(c);
    return fail_begin(c, SV_ERR_NOMEM, "failed to copy consumer delivery meta");
  }
  sv_consumer_log_delivery(c, "client.queue.delivery.begin", false);

  c->has_mutex = pthread_mutex_init(&c->mutex, nullptr) == 0;
  c->has_cond = c->has_mutex && pthread_cond_init(&c->cond, nullptr) == 0;
  c->has_action = c->has_cond && pthread_mutex_init(&c->action, nullptr) == 0;
  if (!c->has_action) {
    destroy_sync(c);
    free_meta(c);
    return fail_begin(c, SV_ERR_TRANSPORT, "failed to initialize consumer delivery state");
  }
  sv_source *payload = nullptr;
  sv_error pipe_error;
  sv_error_init(&pipe_error);
  if (sv_stream_pipe_open(kPipeCapacity, c->worker->allocator, &payload, &c->pipe, &pipe_error) !=
      SV_OK) {
    if (c->error->code == 0) {
      sv_error_set(c->error, pipe_error.code, 0, pipe_error.message, nullptr, nullptr, nullptr);
    }
    sv_error_cleanup(&pipe_error);
    c->pipe = nullptr;
    destroy_sync(c);
    free_meta(c);
    return fail_begin(c, SV_ERR_NOMEM, "failed to open consumer payload pipe");
  }
  sv_error_cleanup(&pipe_error);
  sv_message *inner = sv_message_new(c->client, message, payload, nullptr);
  if (inner == nullptr) {
    sv_source_close(payload);
    sv_stream_pipe_fail(c->pipe, SV_ERR_NOMEM, "failed to allocate consumer message");
    c->pipe = nullptr;
    destroy_sync(c);
    free_meta(c);
    return fail_begin(c, SV_ERR_NOMEM, "failed to allocate consumer message");
  }
  sv_error wrap_error;
  sv_error_init(&wrap_error);
  c->managed = sv_consumer_managed_new(c, inner, &wrap_error);
  sv_error_cleanup(&wrap_error);
  if (c->managed == nullptr) {
    sv_message_close(inner);
    sv_stream_pipe_fail(c->pipe, SV_ERR_NOMEM, "failed to allocate consumer message");
    c->pipe = nullptr;
    destroy_sync(c);
    free_meta(c);
    return fail_begin(c, SV_ERR_NOMEM, "failed to allocate consumer message");
  }
  c->message = inner;
  c->in_delivery = true;
  const int64_t now = sv_consumer_clock_now_ms(c->worker->service);
  c->lease_until_ms = now + inner->visibility_timeout_seconds * 1000;
  if (pthread_create(&c->handler_thread, nullptr, handler_main, c) != 0) {
    close_managed(c);
    sv_stream_pipe_fail(c->pipe, SV_ERR_TRANSPORT, "failed to start consumer delivery thread");
    c->pipe = nullptr;
    destroy_sync(c);
    free_meta(c);
    return fail_begin(c, SV_ERR_TRANSPORT, "failed to start consumer delivery thread");
  }
  c->handler_started = true;
  pthread_mutex_lock(&c->mutex);
  const int extender = pthread_create(&c->extender_thread, nullptr, extender_main, c);
  c->extender_started = extender == 0;
  pthread_mutex_unlock(&c->mutex);
  if (extender != 0) {
    sv_stream_pipe_fail(c->pipe, SV_ERR_TRANSPORT, "failed to start consumer delivery extender");
    c->pipe = nullptr;
    join_handler(c);
    close_managed(c);
    destroy_sync(c);
    free_meta(c);
    return fail_begin(c, SV_ERR_TRANSPORT, "failed to start consumer delivery extender");
  }
  return 1;
}

int on_chunk(void *context, const char *bytes, size_t length, sv_engine_error *) noexcept {
  auto *c = static_cast<DeliveryContext *>(context);
  if (c->pipe == nullptr) return c->draining ? 1 : 0;
  sv_error write_error;
  sv_error_init(&write_error);
  const int written = sv_stream_pipe_write(c->pipe, bytes, length, &write_error);
  if (written != SV_OK) {
    // The handler let go of the payload (settled or closed its message, or failed): the rest of
    // this payload is dropped so that the stream goes on with the next message.
    sv_stream_pipe_fail(c->pipe, written, write_error.message);
    c->pipe = nullptr;
    c->draining = true;
  }
  sv_error_cleanup(&write_error);
  return 1;
}

int on_end(void *context, const sv_engine_dequeue_response *, sv_engine_error *error) noexcept {
  auto *c = static_cast<DeliveryContext *>(context);
  if (!c->has_action) return 1;  // begin failed or handed the delivery back
  // Even during a stop a payload that arrived whole goes to its handler whole.
  if (c->pipe != nullptr) sv_stream_pipe_finish(c->pipe);
  c->pipe = nullptr;
  join_handler(c);
  sv_consumer_delivery_stop_extender(c);
  close_managed(c);
  c->in_delivery = false;
  const int rc = c->handler_rc;
  sv_consumer_log_delivery(
      c, rc == 0 ? "client.queue.delivery.complete" : "client.queue.delivery.handler_error", true);
  if (rc == 0) return 1;
  if (c->outcome_known) {
    // The message is back with the server (a redelivery may already be on this stream): report
    // the failure and go on reading.
    c->handler_rc = 0;
    sv_consumer_report_delivery_failure(c);
    return 1;
  }
  if (error != nullptr && error->code == 0) {
    sv_engine_set_transport_error(
        error, c->error->message != nullptr ? c->error->message : "consumer handler failed");
  }
  return 0;
}

}  // namespace

const sv_engine_message_handler sv_consumer_delivery_handler = {on_begin, on_chunk, on_end};

void sv_consumer_delivery_reset(DeliveryContext *c) noexcept {
  c->handler_rc = 0;
  c->outcome_known = false;
  c->payload_cut = false;
  c->lease_until_ms = 0;
  c->runtime_failed = false;
  c->terminal = kTerminalActive;
  c->done = false;
  c->draining = false;
  c->in_delivery = false;
}

void sv_consumer_delivery_stop_extender(DeliveryContext *c) noexcept {
  if (!c->has_mutex) return;
  pthread_mutex_lock(&c->mutex);
  if (c->terminal == kTerminalActive) c->terminal = kTerminalStopRequested;
  pthread_cond_broadcast(&c->cond);
  const bool started = c->extender_started;
  c->extender_started = false;
  pthread_mutex_unlock(&c->mutex);
  if (started) pthread_join(c->extender_thread, nullptr);
}

void sv_consumer_delivery_clean(DeliveryContext *c) noexcept {
  join_handler(c);
  sv_consumer_delivery_stop_extender(c);
  close_managed(c);
  c->message = nullptr;
  free_meta(c);
  destroy_sync(c);
}
