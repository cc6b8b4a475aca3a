// One consumer worker thread: opens its own client, keeps a subscribe stream open on its queue
// and decides after every stream whether to subscribe again at once, after a delay, or to stop
// the service.
#include <cstring>
#include <ctime>

#include "../api/client_internal.h"
#include "../engine/sv_log.h"
#include "consumer_internal.h"

namespace {

// Polled by the stream. A stop ends the stream at once, also in the middle of a payload: that
// payload's handler reads a transport error and its message is deferred (payloads that arrived
// whole still go to their handlers whole).
int cancel_check(void *context) {
  return sv_consumer_service_stopping(static_cast<sv_consumer_service_impl *>(context)) ? 1 : 0;
}

void end_thread(sv_consumer_service_impl *service) {
  pthread_mutex_lock(&service->mutex);
  --service->running;
  pthread_cond_broadcast(&service->cond);
  pthread_mutex_unlock(&service->mutex);
}

int open_worker_client(const sv_consumer_service_impl *service, sv_client **out, sv_error *error) {
  const sv_allocator *allocator = &service->allocator;
  const char **endpoints = nullptr;
  if (service->endpoint_count > 0) {
    endpoints = static_cast<const char **>(
        sv_calloc_with_allocator(allocator, service->endpoint_count, sizeof(char *)));
    if (endpoints == nullptr) {
      return sv_error_set(error, SV_ERR_NOMEM, 0, "failed to allocate consumer endpoint array",
                          nullptr, nullptr, nullptr);
    }
    for (size_t i = 0; i < service->endpoint_count; ++i)
      endpoints[i] = service->endpoints[i];
  }
  sv_source *bundle = nullptr;
  if (service->bundle_bytes != nullptr) {
    const int status =
        sv_source_from_memory(service->bundle_bytes, service->bundle_length, &bundle, error);
    if (status != SV_OK) {
      sv_free_with_allocator(allocator, static_cast<void *>(endpoints));
      return status;
    }
  }
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = service->endpoint_count;
  config.unix_socket_path = service->unix_socket_path;
  config.client_bundle_source = bundle;
  config.client_bundle_path = service->client_bundle_path;
  config.default_namespace = service->default_namespace;
  config.timeout_ms = service->timeout_ms;
  config.disable_mtls = service->disable_mtls;
  config.insecure_skip_verify = service->insecure_skip_verify;
  config.prefer_http_2 = service->prefer_http_2;
  config.response_limit_bytes = service->response_limit_bytes;
  config.logger = service->base_logger == sv_log_noop_logger() ? nullptr : service->base_logger;
  config.disable_logger_sys_field = service->disable_logger_sys_field;
  config.allocator = service->allocator;
  config.reuse_connections = service->reuse_connections;
  config.client_cert_path = service->client_cert_path;
  config.client_key_path = service->client_key_path;
  config.ca_path = service->ca_path;
  config.connect_timeout_ms = service->connect_timeout_ms;
  config.stream_idle_timeout_ms = service->stream_idle_timeout_ms;
  config.trust_bundle_ca_only = service->trust_bundle_ca_only;
  const int status = sv_client_open(&config, out, error);
  sv_source_close(bundle);
  sv_free_with_allocator(allocator, static_cast<void *>(endpoints));
  return status;
}

struct Worker {
  ConsumerWorker *config;
  sv_consumer_service_impl *service;
  sv_client *client;
  sv_error error;
  sv_engine_error engine_error;
  DeliveryContext delivery;
};

void notify(const Worker &w, sv_consumer_event_fn fn, int32_t attempt, sv_error *error) {
  if (fn == nullptr) return;
  sv_consumer_event event{};
  event.consumer = w.config->name;
  event.queue = w.config->queue;
  event.with_state = w.config->with_state;
  event.attempt = attempt;
  event.error = error;
  fn(w.config->context, &event);
}

// Non-zero when on_error asks for the service to stop.
int ask_on_error(const ConsumerWorker *config, sv_error *error, int32_t attempt,
                 int64_t restart_in_ms) {
  if (config->on_error == nullptr) return 0;
  sv_consumer_error_event event{};
  event.consumer = config->name;
  event.queue = config->queue;
  event.with_state = config->with_state;
  event.attempt = attempt;
  event.restart_in_ms = restart_in_ms;
  event.error = error;
  sv_error handler_error;
  sv_error_init(&handler_error);
  const int verdict = config->on_error(config->context, &event, &handler_error);
  sv_error_cleanup(&handler_error);
  return verdict;
}

int ask_on_error(Worker &w, int32_t attempt, int64_t restart_in_ms) {
  return ask_on_error(w.config, &w.error, attempt, restart_in_ms);
}

void stop_on_request(sv_consumer_service_impl *service, const sv_error *error) {
  sv_consumer_service_fail(service, error, SV_ERR_TRANSPORT,
                           "consumer error handler stopped service");
}

void stop_on_request(Worker &w) {
  stop_on_request(w.service, &w.error);
}

// The idle bound ended an answered stream while no message was in flight: on a quiet queue
// that is the normal end of a long poll, not a failure (a server that never answers fails with
// another cause).
bool quiet_end(const Worker &w, int status) {
  if (status != SV_ERR_TRANSPORT || w.delivery.in_delivery) return false;
  if (w.engine_error.http_status != 0 || w.engine_error.message == nullptr) return false;
  return w.engine_error.transport_cause == SV_TRANSPORT_CAUSE_STREAM_IDLE;
}

enum class Next { kAgain, kEnd };

// A failed subscribe (not a delivery): the restart policy decides.
Next after_subscribe_failure(Worker &w, int32_t *failures) {
  const int32_t n = *failures;
  const sv_consumer_restart_policy &policy = w.config->policy;
  if (policy.max_failures >= 1 && n >= policy.max_failures) {
    sv_consumer_log_worker(w.config, "client.consumer.stop", 4, n + 1, nullptr, &w.error);
    sv_error limit;
    sv_error_init(&limit);
    sv_error_set(&limit, w.error.code != 0 ? w.error.code : SV_ERR_TRANSPORT, w.error.http_status,
                 "consumer exceeded max failures", w.error.message, w.error.server_error_code,
                 w.error.correlation_id);
    sv_consumer_service_fail(w.service, &limit, SV_ERR_TRANSPORT, nullptr);
    sv_error_cleanup(&limit);
    return Next::kEnd;
  }
  const bool retryable = sv_consumer_retryable(w.error.code, w.error.http_status);
  const int64_t delay = retryable ? sv_consumer_restart_delay_ms(policy, n) : 0;
  if (w.config->on_error != nullptr) {
    if (ask_on_error(w, n + 1, delay) != 0) {
      stop_on_request(w);
      return Next::kEnd;
    }
  } else if (!retryable) {
    sv_consumer_log_worker(w.config, "client.consumer.stop", 4, n + 1, nullptr, &w.error);
  } else {
    sv_consumer_log_worker(w.config, "client.consumer.restart", 3, n + 1, &delay, &w.error);
  }
  if (!retryable) {
    sv_consumer_service_fail(w.service, &w.error, SV_ERR_TRANSPORT,
                             "consumer encountered non-retryable error");
    return Next::kEnd;
  }
  if (delay > 0 && sv_consumer_restart_wait(w.service, delay)) return Next::kEnd;
  *failures = n + 1;
  return sv_consumer_service_stopping(w.service) ? Next::kEnd : Next::kAgain;
}

// One subscribe attempt and what follows it.
Next run_attempt(Worker &w, const sv_engine_dequeue_request &request, int32_t attempt,
                 int32_t *failures) {
  notify(w, w.config->on_start, attempt, nullptr);
  sv_consumer_log_subscribe(w.config, "client.queue.subscribe.begin", nullptr);
  sv_error_cleanup(&w.error);
  sv_engine_error_cleanup(&w.engine_error);
  sv_consumer_delivery_reset(&w.delivery);

  const sv_engine_client *engine = sv_client_impl_of(w.client)->engine;
  const int status =
      w.config->with_state != 0
          ? sv_engine_client_subscribe_with_state(engine, &request, &sv_consumer_delivery_handler,
                                                  &w.delivery, &w.engine_error)
          : sv_engine_client_subscribe(engine, &request, &sv_consumer_delivery_handler, &w.delivery,
                                       &w.engine_error);
  const bool was_in_delivery = w.delivery.in_delivery;
  const bool cut = w.delivery.pipe != nullptr;
  if (cut) {
    // The stream broke off in a payload: the handler reads a transport error and its message
    // is deferred, never failed; the stream's failure goes to the restart policy.
    pthread_mutex_lock(&w.delivery.mutex);
    w.delivery.payload_cut = true;
    pthread_mutex_unlock(&w.delivery.mutex);
    sv_stream_pipe_fail(w.delivery.pipe, SV_ERR_TRANSPORT, "consumer subscribe aborted");
    w.delivery.pipe = nullptr;
  }
  sv_consumer_delivery_clean(&w.delivery);
  w.delivery.in_delivery = was_in_delivery;
  if (cut && !w.delivery.runtime_failed) {
    sv_error_cleanup(&w.error);
    w.delivery.handler_rc = 0;
    if (w.engine_error.code == 0) {
      sv_engine_set_protocol_error(&w.engine_error, "subscribe payload ended early");
    }
  }

  const bool delivery_failed = w.delivery.handler_rc != 0 || w.error.code != 0;
  if (w.delivery.runtime_failed) {
    if (w.error.code == 0 && w.engine_error.code != 0)
      sv_error_from_engine(&w.error, &w.engine_error);
    sv_consumer_log_subscribe(w.config, "client.queue.subscribe.error", &w.error);
    notify(w, w.config->on_stop, attempt, &w.error);
    if (ask_on_error(w, 1, 0) != 0) {
      stop_on_request(w);
    } else {
      sv_consumer_log_worker(w.config, "client.consumer.stop", 4, 1, nullptr, &w.error);
      sv_consumer_service_fail(w.service, &w.error, SV_ERR_TRANSPORT,
                               "consumer service delivery runtime failed");
    }
    return Next::kEnd;
  }
  if ((status == SV_OK && !delivery_failed && !cut) || (!delivery_failed && quiet_end(w, status))) {
    sv_consumer_log_subscribe(w.config, "client.queue.subscribe.complete", nullptr);
    notify(w, w.config->on_stop, attempt, nullptr);
    if (sv_consumer_service_stopping(w.service)) return Next::kEnd;
    *failures = 0;
    return Next::kAgain;
  }
  if (sv_consumer_service_stopping(w.service)) {
    notify(w, w.config->on_stop, attempt, nullptr);
    return Next::kEnd;
  }
  if (delivery_failed) {
    if (w.error.code == 0) {
      sv_error_set(&w.error, w.delivery.handler_rc, 0, "consumer handler failed", nullptr, nullptr,
                   nullptr);
    }
    sv_consumer_log_subscribe(w.config, "client.queue.subscribe.error", &w.error);
    notify(w, w.config->on_stop, attempt, &w.error);
    if (sv_consumer_service_stopping(w.service)) return Next::kEnd;
    if (ask_on_error(w, 0, 0) != 0) {
      stop_on_request(w);
      return Next::kEnd;
    }
    sv_consumer_log_worker(w.config, "client.consumer.delivery.error", 3, 0, nullptr, &w.error);
    return Next::kAgain;
  }
  sv_error_from_engine(&w.error, &w.engine_error);
  if (w.error.code == 0) {
    sv_error_set(&w.error, status != SV_OK ? status : SV_ERR_TRANSPORT, 0,
                 "consumer subscribe failed", nullptr, nullptr, nullptr);
  }
  sv_consumer_log_subscribe(w.config, "client.queue.subscribe.error", &w.error);
  notify(w, w.config->on_stop, attempt, &w.error);
  if (sv_consumer_service_stopping(w.service)) return Next::kEnd;
  return after_subscribe_failure(w, failures);
}

}  // namespace

bool sv_consumer_report_delivery_failure(DeliveryContext *c) noexcept {
  const ConsumerWorker *config = c->worker;
  if (c->error->code == 0) {
    sv_error_set(c->error, SV_ERR_TRANSPORT, 0, "consumer handler failed", nullptr, nullptr,
                 nullptr);
  }
  bool going_on = true;
  if (ask_on_error(config, c->error, 0, 0) != 0) {
    stop_on_request(config->service, c->error);
    going_on = false;
  } else {
    sv_consumer_log_worker(config, "client.consumer.delivery.error", 3, 0, nullptr, c->error);
  }
  sv_error_cleanup(c->error);
  return going_on;
}

void *sv_consumer_worker_main(void *argument) noexcept {
  auto *config = static_cast<ConsumerWorker *>(argument);
  sv_consumer_service_impl *service = config->service;
  Worker w{};
  w.config = config;
  w.service = service;
  sv_error_init(&w.error);
  sv_engine_error_init(&w.engine_error);

  const int opened = open_worker_client(service, &w.client, &w.error);
  if (opened != SV_OK) {
    sv_consumer_service_fail(service, &w.error, opened, "failed to open consumer worker client");
    sv_error_cleanup(&w.error);
    end_thread(service);
    return nullptr;
  }
  sv_engine_client_set_cancel_check(sv_client_impl_of(w.client)->engine, cancel_check, service);
  w.delivery.worker = config;
  w.delivery.client = w.client;
  w.delivery.error = &w.error;

  sv_engine_dequeue_request request{};
  request.namespace_name = config->namespace_name;
  request.queue = config->queue;
  request.owner = config->owner;
  request.visibility_timeout_seconds = config->visibility_timeout_seconds;
  request.wait_seconds = config->wait_seconds;
  request.page_size = config->page_size;
  request.start_after = config->start_after;

  int32_t failures = 0;
  for (int32_t attempt = 1; !sv_consumer_service_stopping(service); ++attempt) {
    if (run_attempt(w, request, attempt, &failures) == Next::kEnd) break;
  }
  sv_consumer_delivery_clean(&w.delivery);
  sv_client_close(w.client);
  sv_error_cleanup(&w.error);
  sv_engine_error_cleanup(&w.engine_error);
  end_thread(service);
  return nullptr;
}
