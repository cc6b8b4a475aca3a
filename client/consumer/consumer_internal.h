// The private state of a consumer service, its workers and their deliveries, shared between the
// service, worker, delivery and managed-message source files.
#ifndef STAVOC_CONSUMER_INTERNAL_H
#define STAVOC_CONSUMER_INTERNAL_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "stavoc.h"
#include "stavoc_consumer.h"
#include "stavoc_engine.h"

struct sv_consumer_service_impl;
struct ConsumerWorker;
struct ManagedMessage;

// Time source of the service's timed waits (restart delays and auto-extend). The default reads
// the real-time clock; tests install one that follows a virtual clock.
struct ConsumerClock {
  int64_t (*now_ms)(void *context);  // NULL: the real-time clock
  void *context;
};

// How long running handlers may go on after a stop unless the configuration says otherwise.
constexpr int64_t kConsumerDefaultDrainTimeoutMs = 30000;

// Settlement state of a delivery.
enum : int {
  kTerminalActive = 0,
  kTerminalStopRequested = 1,  // the extender must end
  kTerminalInFlight = 2,       // an ack or nack is running
  kTerminalSettled = 3,
  kTerminalFailed = 4,  // the ack or nack failed; the outcome is unknown
};

// The delivered message's metadata that the service itself needs (copies).
struct DeliveryMeta {
  char *namespace_name;
  char *queue;
  char *message_id;
  char *correlation_id;
  int32_t attempts;
  int32_t failure_attempts;
};

// One per worker, reused for each message.
struct DeliveryContext {
  ConsumerWorker *worker;
  sv_client *client;
  sv_error *error;  // the worker's current error
  DeliveryMeta meta;
  bool has_meta;
  sv_stream_pipe *pipe;  // write end while the payload streams
  bool draining;         // the reader let go early: the rest of the payload is dropped
  bool in_delivery;      // begin ran, end has not
  pthread_t handler_thread;
  pthread_t extender_thread;
  bool handler_started;
  bool extender_started;
  bool has_mutex;
  bool has_cond;
  bool has_action;
  int handler_rc;
  bool outcome_known;      // a failed delivery's message is back with the server (confirmed nack,
                           // or a lease the server said was lost): the stream may go on
  bool payload_cut;        // the stream broke off in the payload: defer, never a failure nack
  int64_t lease_until_ms;  // service clock: when the delivery lease runs out unless extended
  bool runtime_failed;
  int terminal;
  bool done;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  pthread_mutex_t action;
  ManagedMessage *managed;
  sv_message *message;  // the underlying message (also referenced by the managed one)
};

struct ManagedMessage {
  sv_message handle;  // first: a managed message converts to and from sv_message
  DeliveryContext *context;
  sv_message *inner;  // NULL once settled or closed
  const sv_allocator *allocator;
  char *strings[10];  // owned copies behind the public view
};

struct ConsumerWorker {
  sv_consumer_service_impl *service;
  const sv_allocator *allocator;
  char *name;
  char *namespace_name;
  char *queue;
  char *owner;
  char *txn_id;
  char *start_after;
  int64_t visibility_timeout_seconds;
  int64_t wait_seconds;
  int32_t page_size;
  int32_t with_state;
  sv_consumer_handle_fn handle;
  sv_consumer_error_fn on_error;
  sv_consumer_event_fn on_start;
  sv_consumer_event_fn on_stop;
  void *context;
  sv_consumer_restart_policy policy;
  pthread_t thread;
  bool thread_started;
};

struct sv_consumer_service_impl {
  sv_consumer_service handle;  // first: the method table
  // Copies of the parent client's connection settings.
  char **endpoints;
  size_t endpoint_count;
  char *unix_socket_path;
  char *bundle_bytes;
  size_t bundle_length;
  char *client_bundle_path;
  char *default_namespace;
  int64_t timeout_ms;
  int32_t disable_mtls;
  int32_t insecure_skip_verify;
  int32_t prefer_http_2;
  uint64_t response_limit_bytes;
  int32_t disable_logger_sys_field;
  int32_t reuse_connections;  // each worker's client keeps its own pool, as the parent does
  char *client_cert_path;
  char *client_key_path;
  char *ca_path;
  int64_t connect_timeout_ms;
  int64_t stream_idle_timeout_ms;
  int32_t trust_bundle_ca_only;
  ember_logger *base_logger;  // not owned
  ember_logger *logger;
  bool owns_logger;
  sv_allocator allocator;
  ConsumerClock clock;
  int64_t drain_timeout_ms;  // normalised: 0 means no drain

  // Stop requests from a signal handler: the flag, and a pipe whose write wakes the watcher
  // thread, which then stops the service as sv_consumer_service_stop does.
  std::atomic<bool> stop_requested;
  std::atomic<bool> watcher_exit;
  int wake_pipe[2];
  pthread_t watcher;
  bool watcher_started;

  ConsumerWorker *workers;
  size_t worker_count;

  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool has_mutex;
  bool has_cond;
  size_t running;
  bool started;
  bool stopping;
  int64_t stopped_at_ms;  // service clock when stopping began (valid while stopping)
  bool joined;
  int failure_code;
  sv_error failure;
};

inline sv_consumer_service_impl *sv_consumer_impl_of(sv_consumer_service *service) noexcept {
  return reinterpret_cast<sv_consumer_service_impl *>(service);
}

// ---- Policy (consumer_policy.cpp) ----
// Applies the normalisation rules to a copy of a caller's policy.
sv_consumer_restart_policy sv_consumer_policy_normalise(
    const sv_consumer_restart_policy &policy) noexcept;
// Whether a failed subscribe with this code and HTTP status is worth another attempt.
bool sv_consumer_retryable(int code, int64_t http_status) noexcept;
// The wait before the next attempt after `failures` earlier consecutive failures (normalised
// policy; the jitter uses rand()).
int64_t sv_consumer_restart_delay_ms(const sv_consumer_restart_policy &policy,
                                     int32_t failures) noexcept;

// ---- Owners (consumer_owner.cpp) ----
// Sanitises a token into out (capacity bytes, at least 1); returns its length (0: no token).
size_t sv_consumer_sanitize_token(const char *text, char *out, size_t capacity) noexcept;
// "consumer-<name>-<host>-<pid>-<sequence>" into out (capacity at least 512).
void sv_consumer_generate_owner(const char *name, const char *host, char *out,
                                size_t capacity) noexcept;
// The next value of the process-wide owner sequence (1 for the first).
int64_t sv_consumer_next_owner_sequence() noexcept;

// ---- Service (consumer_service.cpp) ----
int sv_client_new_consumer_service_method(sv_client *client,
                                          const sv_consumer_service_config *config,
                                          sv_consumer_service **out, sv_error *error) noexcept;
// Records the first fatal failure (error copied, or fallback with its code) and stops.
void sv_consumer_service_fail(sv_consumer_service_impl *service, const sv_error *error,
                              int fallback_code, const char *fallback_message) noexcept;
bool sv_consumer_service_stopping(sv_consumer_service_impl *service) noexcept;
// Stopping, and the drain time after the stop has run out.
bool sv_consumer_drain_over(sv_consumer_service_impl *service) noexcept;
// When the drain ends on the service clock (INT64_MAX while not stopping).
int64_t sv_consumer_drain_deadline_ms(sv_consumer_service_impl *service) noexcept;
int64_t sv_consumer_clock_now_ms(const sv_consumer_service_impl *service) noexcept;
// Waits on cond (mutex held) until the service clock reaches deadline_ms or the predicate
// holds; returns false when the clock cannot be read.
bool sv_consumer_wait_until(const sv_consumer_service_impl *service, pthread_cond_t *cond,
                            pthread_mutex_t *mutex, int64_t deadline_ms,
                            bool (*done)(void *context), void *context) noexcept;
// Waits delay_ms on the service clock or until stop; returns whether the service is stopping.
bool sv_consumer_restart_wait(sv_consumer_service_impl *service, int64_t delay_ms) noexcept;
// Test hook: installs a time source before start.
void sv_consumer_service_set_clock(sv_consumer_service *service, ConsumerClock clock) noexcept;

// ---- Worker (consumer_worker.cpp) ----
void *sv_consumer_worker_main(void *worker) noexcept;
// A failed delivery whose message is back with the server while its stream goes on: on_error
// (attempt 0) and "client.consumer.delivery.error", as after a stream that ended with it. Clears
// the worker's error; false when on_error stopped the service.
bool sv_consumer_report_delivery_failure(DeliveryContext *context) noexcept;

// ---- Last error (consumer_last_error.cpp) ----
// The handler's error as the JSON document a nack stores as the message's last error, written
// into buffer; NULL when the error has no message or does not fit.
const char *sv_consumer_last_error_json(const sv_error *error, char *buffer,
                                        size_t capacity) noexcept;

// ---- Delivery (consumer_delivery.cpp) ----
extern const sv_engine_message_handler sv_consumer_delivery_handler;
void sv_consumer_delivery_reset(DeliveryContext *context) noexcept;
void sv_consumer_delivery_clean(DeliveryContext *context) noexcept;
void sv_consumer_delivery_stop_extender(DeliveryContext *context) noexcept;

// ---- Managed message (consumer_message.cpp) ----
ManagedMessage *sv_consumer_managed_new(DeliveryContext *context, sv_message *inner,
                                        sv_error *error) noexcept;
// True when the managed message's settlement already happened (terminal 3 or 4).
bool sv_consumer_managed_settled(DeliveryContext *context) noexcept;

// ---- Events (consumer_events.cpp) ----
void sv_consumer_log_subscribe(const ConsumerWorker *worker, const char *event,
                               const sv_error *error) noexcept;
void sv_consumer_log_worker(const ConsumerWorker *worker, const char *event, int level,
                            int32_t attempt, const int64_t *restart_in_ms,
                            const sv_error *error) noexcept;
void sv_consumer_log_delivery(const DeliveryContext *context, const char *event,
                              bool with_result) noexcept;

#endif
