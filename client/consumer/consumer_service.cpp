// The consumer service handle: creation from a client and a configuration, start, stop, wait,
// run and close, the first-failure record and the service clock.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "../api/client_internal.h"
#include "../api/name_check.h"
#include "../engine/sv_log.h"
#include "consumer_internal.h"

namespace {

constexpr size_t kOwnerCapacity = 512;

// Under the service mutex: the first stop records when it began (the drain runs from then).
void mark_stopping(sv_consumer_service_impl *service) {
  if (!service->stopping) {
    service->stopping = true;
    service->stopped_at_ms = sv_consumer_clock_now_ms(service);
  }
  pthread_cond_broadcast(&service->cond);
}

// A pipe whose read end wakes the watcher; the write end never blocks (a signal handler
// writes to it).
bool open_wake_pipe(int fds[2]) {
  if (pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    const int flags = fcntl(fds[i], F_GETFL);
    if (flags < 0 || fcntl(fds[i], F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0) {
      return false;
    }
  }
  return true;
}

void wake(const sv_consumer_service_impl *service) {
  if (service->wake_pipe[1] < 0) return;
  const int saved = errno;  // a signal handler's caller must not see errno change
  const char byte = 1;
  // A full pipe already holds a wake-up: the result does not matter.
  [[maybe_unused]] const ssize_t written = write(service->wake_pipe[1], &byte, 1);
  errno = saved;
}

// Turns a signal stop into a regular one (which takes the service mutex) and ends with the
// workers.
void *watcher_main(void *argument) noexcept {
  auto *service = static_cast<sv_consumer_service_impl *>(argument);
  for (;;) {
    pollfd fd{service->wake_pipe[0], POLLIN, 0};
    const int ready = poll(&fd, 1, -1);
    if (ready < 0 && errno != EINTR) break;
    char drained[64];
    while (read(service->wake_pipe[0], drained, sizeof drained) > 0) {
    }
    if (service->stop_requested.load()) sv_consumer_service_stopping(service);
    if (service->watcher_exit.load()) break;
  }
  return nullptr;
}

void stop_watcher(sv_consumer_service_impl *service) {
  if (!service->watcher_started) return;
  service->watcher_exit.store(true);
  wake(service);
  pthread_join(service->watcher, nullptr);
  service->watcher_started = false;
}

int fail_with(sv_error *error, int code, const char *message) {
  return sv_error_set(error, code, 0, message, nullptr, nullptr, nullptr);
}

char *copy_text(const sv_allocator *allocator, const char *text, bool *failed) {
  if (text == nullptr) return nullptr;
  char *copy = sv_strdup_with_allocator(allocator, text);
  if (copy == nullptr) *failed = true;
  return copy;
}

bool is_empty(const char *text) {
  return text == nullptr || text[0] == '\0';
}

int copy_settings(sv_consumer_service_impl *service, const sv_client_impl *parent,
                  sv_error *error) {
  const sv_allocator *allocator = &service->allocator;
  if (parent->endpoint_count > 0) {
    service->endpoints = static_cast<char **>(
        sv_calloc_with_allocator(allocator, parent->endpoint_count, sizeof(char *)));
    if (service->endpoints == nullptr) {
      return fail_with(error, SV_ERR_NOMEM, "failed to allocate consumer service endpoints");
    }
    service->endpoint_count = parent->endpoint_count;
    for (size_t i = 0; i < parent->endpoint_count; ++i) {
      bool failed = false;
      service->endpoints[i] = copy_text(allocator, parent->endpoints[i], &failed);
      if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer service endpoint");
    }
  }
  bool failed = false;
  service->unix_socket_path = copy_text(allocator, parent->unix_socket_path, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer unix socket path");
  service->client_bundle_path = copy_text(allocator, parent->client_bundle_path, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer client bundle path");
  if (parent->bundle_bytes != nullptr) {
    service->bundle_bytes =
        sv_dup_bytes_with_allocator(allocator, parent->bundle_bytes, parent->bundle_length);
    if (service->bundle_bytes == nullptr) {
      return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer client bundle source");
    }
    service->bundle_length = parent->bundle_length;
  }
  service->default_namespace = copy_text(allocator, parent->default_namespace, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer default namespace");
  service->client_cert_path = copy_text(allocator, parent->client_cert_path, &failed);
  if (!failed) service->client_key_path = copy_text(allocator, parent->client_key_path, &failed);
  if (!failed) service->ca_path = copy_text(allocator, parent->ca_path, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer TLS file paths");
  service->connect_timeout_ms = parent->connect_timeout_ms;
  service->stream_idle_timeout_ms = parent->stream_idle_timeout_ms;
  service->trust_bundle_ca_only = parent->trust_bundle_ca_only;
  service->timeout_ms = parent->timeout_ms;
  service->disable_mtls = parent->disable_mtls;
  service->insecure_skip_verify = parent->insecure_skip_verify;
  service->prefer_http_2 = parent->prefer_http_2;
  service->response_limit_bytes = parent->response_limit_bytes;
  service->disable_logger_sys_field = parent->disable_logger_sys_field;
  service->reuse_connections = parent->engine != nullptr ? parent->engine->reuse_connections : 0;

  service->base_logger =
      parent->base_logger != nullptr ? parent->base_logger : sv_log_noop_logger();
  service->logger = sv_log_client_logger(service->base_logger, parent->disable_logger_sys_field);
  if (service->logger == nullptr) {
    return fail_with(error, SV_ERR_NOMEM, "failed to allocate consumer service logger");
  }
  service->owns_logger = sv_log_logger_is_owned(service->logger, service->base_logger);
  return SV_OK;
}

int fill_worker(sv_consumer_service_impl *service, ConsumerWorker *worker,
                const sv_consumer_config &config, const char *host, sv_error *error) {
  const sv_allocator *allocator = &service->allocator;
  worker->service = service;
  worker->allocator = allocator;
  if (config.handle == nullptr) {
    return fail_with(error, SV_ERR_INVALID, "consumer config requires handle");
  }
  const sv_dequeue_req &request = config.request;
  if (const int status =
          sv_names::check(error, "consumer config",
                          {sv_names::required("request.queue", request.queue),
                           sv_names::optional("request.namespace_name", request.namespace_name),
                           sv_names::optional("request.owner", request.owner),
                           sv_names::optional("name", config.name)});
      status != SV_OK) {
    return status;
  }
  bool failed = false;
  worker->name = copy_text(allocator, is_empty(config.name) ? request.queue : config.name, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer name");
  if (!is_empty(request.namespace_name)) {
    worker->namespace_name = copy_text(allocator, request.namespace_name, &failed);
    if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer namespace");
  } else if (!is_empty(service->default_namespace)) {
    worker->namespace_name = copy_text(allocator, service->default_namespace, &failed);
    if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to default consumer namespace");
  }
  worker->queue = copy_text(allocator, request.queue, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer queue");
  if (!is_empty(request.owner)) {
    worker->owner = copy_text(allocator, request.owner, &failed);
  } else {
    char owner[kOwnerCapacity];
    sv_consumer_generate_owner(worker->name, host, owner, sizeof owner);
    worker->owner = copy_text(allocator, owner, &failed);
  }
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer owner");
  worker->txn_id = copy_text(allocator, request.txn_id, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer txn_id");
  worker->start_after = copy_text(allocator, request.start_after, &failed);
  if (failed) return fail_with(error, SV_ERR_NOMEM, "failed to copy consumer start_after");
  worker->visibility_timeout_seconds = request.visibility_timeout_seconds;
  worker->wait_seconds = request.wait_seconds;
  worker->page_size = request.page_size < 1 ? 1 : request.page_size;
  worker->with_state = config.with_state != 0 ? 1 : 0;
  worker->handle = config.handle;
  worker->on_error = config.on_error;
  worker->on_start = config.on_start;
  worker->on_stop = config.on_stop;
  worker->context = config.context;
  worker->policy = sv_consumer_policy_normalise(config.restart_policy);
  return SV_OK;
}

void free_worker(const sv_allocator *allocator, ConsumerWorker *worker) {
  char *strings[] = {worker->name,  worker->namespace_name, worker->queue,
                     worker->owner, worker->txn_id,         worker->start_after};
  for (char *text : strings)
    sv_free_with_allocator(allocator, text);
}

void join_workers(sv_consumer_service_impl *service) {
  for (size_t i = 0; i < service->worker_count; ++i) {
    ConsumerWorker *worker = &service->workers[i];
    if (worker->thread_started) {
      pthread_join(worker->thread, nullptr);
      worker->thread_started = false;
    }
  }
}

// Waits for every worker to end and joins them once; the caller then reads the failure.
void wait_for_workers(sv_consumer_service_impl *service) {
  pthread_mutex_lock(&service->mutex);
  while (service->running > 0)
    pthread_cond_wait(&service->cond, &service->mutex);
  const bool join = !service->joined;
  service->joined = true;
  pthread_mutex_unlock(&service->mutex);
  if (join) {
    join_workers(service);
    stop_watcher(service);
  }
}

int service_wait(sv_consumer_service *handle, sv_error *error) noexcept {
  if (handle == nullptr) {
    return fail_with(error, SV_ERR_INVALID, "consumer service wait requires service");
  }
  sv_consumer_service_impl *service = sv_consumer_impl_of(handle);
  pthread_mutex_lock(&service->mutex);
  const bool started = service->started;
  pthread_mutex_unlock(&service->mutex);
  if (!started) return fail_with(error, SV_ERR_INVALID, "consumer service has not been started");
  wait_for_workers(service);
  pthread_mutex_lock(&service->mutex);
  const int code = service->failure_code;
  if (code != 0 && error != nullptr) {
    if (service->failure.code != 0) {
      sv_error_set(error, service->failure.code, service->failure.http_status,
                   service->failure.message, service->failure.detail,
                   service->failure.server_error_code, service->failure.correlation_id);
    } else {
      fail_with(error, code, "consumer service failed");
    }
  }
  pthread_mutex_unlock(&service->mutex);
  return code;
}

int service_stop(sv_consumer_service *handle) noexcept {
  if (handle == nullptr) return 1;
  sv_consumer_service_impl *service = sv_consumer_impl_of(handle);
  service->stop_requested.store(true);
  pthread_mutex_lock(&service->mutex);
  mark_stopping(service);
  pthread_mutex_unlock(&service->mutex);
  return 0;
}

int service_start(sv_consumer_service *handle, sv_error *error) noexcept {
  if (handle == nullptr) {
    return fail_with(error, SV_ERR_INVALID, "consumer service start requires service");
  }
  sv_consumer_service_impl *service = sv_consumer_impl_of(handle);
  pthread_mutex_lock(&service->mutex);
  if (service->started) {
    pthread_mutex_unlock(&service->mutex);
    return fail_with(error, SV_ERR_INVALID, "consumer service can only be started once");
  }
  service->started = true;
  service->joined = false;
  service->failure_code = 0;
  sv_error_cleanup(&service->failure);
  // A stop that came first is remembered: nothing starts and wait returns at once.
  if (service->stop_requested.load()) mark_stopping(service);
  const bool stopped_early = service->stopping;
  pthread_mutex_unlock(&service->mutex);
  if (stopped_early) return SV_OK;
  service->watcher_started = pthread_create(&service->watcher, nullptr, watcher_main, service) == 0;
  if (!service->watcher_started) {
    sv_error failure;
    sv_error_init(&failure);
    sv_error_set(&failure, SV_ERR_TRANSPORT, 0, "failed to start consumer worker thread",
                 "the stop watcher could not start", nullptr, nullptr);
    sv_consumer_service_fail(service, &failure, SV_ERR_TRANSPORT, nullptr);
    if (error != nullptr) {
      sv_error_set(error, failure.code, 0, failure.message, failure.detail, nullptr, nullptr);
    }
    sv_error_cleanup(&failure);
    return SV_ERR_TRANSPORT;
  }

  for (size_t i = 0; i < service->worker_count; ++i) {
    ConsumerWorker *worker = &service->workers[i];
    pthread_mutex_lock(&service->mutex);
    ++service->running;
    pthread_mutex_unlock(&service->mutex);
    const int created = pthread_create(&worker->thread, nullptr, sv_consumer_worker_main, worker);
    if (created != 0) {
      pthread_mutex_lock(&service->mutex);
      --service->running;
      pthread_mutex_unlock(&service->mutex);
      sv_error failure;
      sv_error_init(&failure);
      sv_error_set(&failure, SV_ERR_TRANSPORT, 0, "failed to start consumer worker thread",
                   std::strerror(created), nullptr, nullptr);
      sv_consumer_service_fail(service, &failure, SV_ERR_TRANSPORT, nullptr);
      if (error != nullptr) {
        sv_error_set(error, failure.code, 0, failure.message, failure.detail, nullptr, nullptr);
      }
      sv_error_cleanup(&failure);
      wait_for_workers(service);
      return SV_ERR_TRANSPORT;
    }
    // Only the starting thread writes this flag; the workers never read it.
    worker->thread_started = true;
  }
  return SV_OK;
}

int service_run(sv_consumer_service *handle, sv_error *error) noexcept {
  const int started = service_start(handle, error);
  if (started != SV_OK) return started;
  return service_wait(handle, error);
}

void service_close(sv_consumer_service *handle) noexcept {
  if (handle == nullptr) return;
  sv_consumer_service_impl *service = sv_consumer_impl_of(handle);
  if (service->has_mutex) {
    pthread_mutex_lock(&service->mutex);
    const bool needs_join = service->started && !service->joined;
    pthread_mutex_unlock(&service->mutex);
    if (needs_join) {
      service_stop(handle);
      service_wait(handle, nullptr);
    }
  }
  const sv_allocator allocator = service->allocator;
  for (size_t i = 0; i < service->worker_count; ++i)
    free_worker(&allocator, &service->workers[i]);
  sv_free_with_allocator(&allocator, service->workers);
  for (size_t i = 0; i < service->endpoint_count; ++i) {
    sv_free_with_allocator(&allocator, service->endpoints[i]);
  }
  sv_free_with_allocator(&allocator, service->endpoints);
  sv_free_with_allocator(&allocator, service->unix_socket_path);
  sv_free_with_allocator(&allocator, service->bundle_bytes);
  sv_free_with_allocator(&allocator, service->client_bundle_path);
  sv_free_with_allocator(&allocator, service->client_cert_path);
  sv_free_with_allocator(&allocator, service->client_key_path);
  sv_free_with_allocator(&allocator, service->ca_path);
  sv_free_with_allocator(&allocator, service->default_namespace);
  sv_error_cleanup(&service->failure);
  stop_watcher(service);
  for (const int fd : service->wake_pipe) {
    if (fd >= 0) ::close(fd);
  }
  if (service->has_cond) pthread_cond_destroy(&service->cond);
  if (service->has_mutex) pthread_mutex_destroy(&service->mutex);
  if (service->owns_logger && service->logger != nullptr &&
      service->logger != sv_log_noop_logger()) {
    service->logger->destroy(service->logger);
  }
  sv_free_with_allocator(&allocator, service);
}

size_t total_workers(const sv_consumer_service_config *config) {
  size_t total = 0;
  for (size_t i = 0; i < config->consumer_count; ++i) {
    const size_t workers = config->consumers[i].workers;
    total += workers > 1 ? workers : 1;
  }
  return total;
}

bool stopping_predicate(void *service) {
  return static_cast<sv_consumer_service_impl *>(service)->stopping;
}

}  // namespace

int sv_client_new_consumer_service_method(sv_client *client,
                                          const sv_consumer_service_config *config,
                                          sv_consumer_service **out, sv_error *error) noexcept {
  if (client == nullptr || config == nullptr || out == nullptr) {
    return fail_with(error, SV_ERR_INVALID,
                     "new_consumer_service requires client, config, and out");
  }
  if (config->consumers == nullptr || config->consumer_count == 0) {
    return fail_with(error, SV_ERR_INVALID,
                     "new_consumer_service requires at least one consumer (consumers and "
                     "consumer_count)");
  }
  const sv_client_impl *parent = sv_client_impl_of(client);
  auto *service = static_cast<sv_consumer_service_impl *>(
      sv_calloc_with_allocator(&parent->allocator, 1, sizeof(sv_consumer_service_impl)));
  if (service == nullptr) {
    return fail_with(error, SV_ERR_NOMEM, "failed to allocate consumer service");
  }
  service->allocator = parent->allocator;
  service->wake_pipe[0] = service->wake_pipe[1] = -1;
  service->drain_timeout_ms = config->drain_timeout_ms == 0  ? kConsumerDefaultDrainTimeoutMs
                              : config->drain_timeout_ms < 0 ? 0
                                                             : config->drain_timeout_ms;
  sv_error_init(&service->failure);
  if (pthread_mutex_init(&service->mutex, nullptr) != 0) {
    service_close(&service->handle);
    return fail_with(error, SV_ERR_NOMEM, "failed to allocate consumer service");
  }
  service->has_mutex = true;
  if (pthread_cond_init(&service->cond, nullptr) != 0) {
    service_close(&service->handle);
    return fail_with(error, SV_ERR_NOMEM, "failed to allocate consumer service");
  }
  service->has_cond = true;
  if (!open_wake_pipe(service->wake_pipe)) {
    const int system_errno = errno;
    service_close(&service->handle);
    return sv_error_set(error, SV_ERR_TRANSPORT, 0,
                        "failed to create consumer service wake-up pipe",
                        std::strerror(system_errno), nullptr, nullptr);
  }

  int status = copy_settings(service, parent, error);
  if (status == SV_OK) {
    const size_t count = total_workers(config);
    service->workers = static_cast<ConsumerWorker *>(
        sv_calloc_with_allocator(&service->allocator, count, sizeof(ConsumerWorker)));
    if (service->workers == nullptr) {
      status = fail_with(error, SV_ERR_NOMEM, "failed to allocate consumer service workers");
    } else {
      service->worker_count = count;
    }
  }
  char host[256];
  if (gethostname(host, sizeof host) != 0) host[0] = '\0';
  host[sizeof host - 1] = '\0';
  size_t next = 0;
  for (size_t i = 0; status == SV_OK && i < config->consumer_count; ++i) {
    const sv_consumer_config &consumer = config->consumers[i];
    const size_t workers = consumer.workers > 1 ? consumer.workers : 1;
    for (size_t w = 0; status == SV_OK && w < workers; ++w) {
      status = fill_worker(service, &service->workers[next++], consumer, host, error);
    }
  }
  if (status != SV_OK) {
    service_close(&service->handle);
    return status;
  }
  service->handle.run = service_run;
  service->handle.start = service_start;
  service->handle.stop = service_stop;
  service->handle.wait = service_wait;
  service->handle.close = service_close;
  *out = &service->handle;
  return SV_OK;
}

void sv_consumer_service_fail(sv_consumer_service_impl *service, const sv_error *error,
                              int fallback_code, const char *fallback_message) noexcept {
  pthread_mutex_lock(&service->mutex);
  if (service->failure_code == 0) {
    if (error != nullptr && error->code != 0) {
      service->failure_code = error->code;
      sv_error_set(&service->failure, error->code, error->http_status, error->message,
                   error->detail, error->server_error_code, error->correlation_id);
    } else {
      const int code = fallback_code != 0 ? fallback_code : SV_ERR_TRANSPORT;
      service->failure_code = code;
      sv_error_set(
          &service->failure, code, 0,
          fallback_message != nullptr ? fallback_message : "consumer service stopped after failure",
          nullptr, nullptr, nullptr);
    }
  }
  mark_stopping(service);
  pthread_mutex_unlock(&service->mutex);
}

bool sv_consumer_service_stopping(sv_consumer_service_impl *service) noexcept {
  pthread_mutex_lock(&service->mutex);
  if (service->stop_requested.load() && !service->stopping) mark_stopping(service);
  const bool stopping = service->stopping;
  pthread_mutex_unlock(&service->mutex);
  return stopping;
}

int64_t sv_consumer_drain_deadline_ms(sv_consumer_service_impl *service) noexcept {
  pthread_mutex_lock(&service->mutex);
  if (service->stop_requested.load() && !service->stopping) mark_stopping(service);
  const int64_t deadline =
      service->stopping ? service->stopped_at_ms + service->drain_timeout_ms : INT64_MAX;
  pthread_mutex_unlock(&service->mutex);
  return deadline;
}

bool sv_consumer_drain_over(sv_consumer_service_impl *service) noexcept {
  const int64_t deadline = sv_consumer_drain_deadline_ms(service);
  return deadline != INT64_MAX && sv_consumer_clock_now_ms(service) >= deadline;
}

int64_t sv_consumer_clock_now_ms(const sv_consumer_service_impl *service) noexcept {
  if (service->clock.now_ms != nullptr) return service->clock.now_ms(service->clock.context);
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool sv_consumer_wait_until(const sv_consumer_service_impl *service, pthread_cond_t *cond,
                            pthread_mutex_t *mutex, int64_t deadline_ms,
                            bool (*done)(void *context), void *context) noexcept {
  for (;;) {
    if (done(context)) return true;
    const int64_t now = sv_consumer_clock_now_ms(service);
    if (now < 0) return false;
    if (now >= deadline_ms) return true;
    // A test clock only moves when the test says so: look again every few milliseconds.
    int64_t until = deadline_ms;
    if (service->clock.now_ms != nullptr) {
      timespec real{};
      if (clock_gettime(CLOCK_REALTIME, &real) != 0) return false;
      until = static_cast<int64_t>(real.tv_sec) * 1000 + real.tv_nsec / 1000000 + 2;
    }
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(until / 1000);
    deadline.tv_nsec = static_cast<long>((until % 1000) * 1000000);
    pthread_cond_timedwait(cond, mutex, &deadline);
  }
}

void sv_consumer_service_set_clock(sv_consumer_service *service, ConsumerClock clock) noexcept {
  if (service != nullptr) sv_consumer_impl_of(service)->clock = clock;
}

bool sv_consumer_restart_wait(sv_consumer_service_impl *service, int64_t delay_ms) noexcept {
  pthread_mutex_lock(&service->mutex);
  const int64_t now = sv_consumer_clock_now_ms(service);
  if (now >= 0) {
    sv_consumer_wait_until(service, &service->cond, &service->mutex, now + delay_ms,
                           stopping_predicate, service);
  }
  const bool stopping = service->stopping;
  pthread_mutex_unlock(&service->mutex);
  return stopping;
}

extern "C" {

SV_API int sv_consumer_service_start(sv_consumer_service *service, sv_error *error) noexcept {
  if (service == nullptr) {
    return fail_with(error, SV_ERR_INVALID, "consumer service start requires service");
  }
  return service->start(service, error);
}

SV_API int sv_consumer_service_wait(sv_consumer_service *service, sv_error *error) noexcept {
  if (service == nullptr) {
    return fail_with(error, SV_ERR_INVALID, "consumer service wait requires service");
  }
  return service->wait(service, error);
}

SV_API int sv_consumer_service_run(sv_consumer_service *service, sv_error *error) noexcept {
  if (service == nullptr) {
    return fail_with(error, SV_ERR_INVALID, "consumer service start requires service");
  }
  return service->run(service, error);
}

SV_API int sv_consumer_service_stop(sv_consumer_service *service) noexcept {
  if (service == nullptr) return 1;
  return service->stop(service);
}

SV_API int sv_consumer_service_signal_stop(sv_consumer_service *service) noexcept {
  if (service == nullptr) return 1;
  // Only an atomic store and a write(2): both async-signal-safe.
  sv_consumer_service_impl *impl = sv_consumer_impl_of(service);
  impl->stop_requested.store(true);
  wake(impl);
  return 0;
}

SV_API void sv_consumer_service_close(sv_consumer_service *service) noexcept {
  if (service != nullptr) service->close(service);
}

}  // extern "C"
