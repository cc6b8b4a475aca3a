/*
 * The queue consumer service: worker threads that keep subscribe streams open on their queues,
 * run the application's handler for every delivered message on a thread of its own, extend the
 * message's visibility while the handler runs, settle the message from the handler's outcome
 * and re-subscribe after failures with capped exponential backoff.
 *
 *   static int handle(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
 *     ... read sv_message_payload(delivery->message) ...
 *     return SV_OK;  (the service acks; a non-zero status nacks)
 *   }
 *
 *   sv_consumer_config consumer;
 *   sv_consumer_config_init(&consumer);
 *   consumer.request.queue = "jobs";
 *   consumer.workers = 4;
 *   consumer.handle = handle;
 *   sv_consumer_service_config config;
 *   sv_consumer_service_config_init(&config);
 *   config.consumers = &consumer;
 *   config.consumer_count = 1;
 *   sv_consumer_service *service = NULL;
 *   if (sv_client_new_consumer_service(client, &config, &service, &error) == SV_OK) {
 *     sv_consumer_service_run(service, &error);  (until sv_consumer_service_stop or a failure)
 *     sv_consumer_service_close(service);
 *   }
 */
#ifndef STAVOC_CONSUMER_H
#define STAVOC_CONSUMER_H

#include <stddef.h>
#include <stdint.h>

#include "ember.h"
#include "stavoc_client.h"
#include "stavoc_common.h"
#include "stavoc_lease.h"
#include "stavoc_queue.h"
#include "stavoc_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the service hands a handler for one message; valid during the handler call only.
 * Handles a handler may close or settle itself:
 * - message: sv_message_ack, sv_message_nack (settle it; the service then does neither) and
 *   sv_message_close (the service neither acks nor nacks it; it comes back when its visibility
 *   runs out). The record itself stays valid until the handler returns and is freed by the
 *   service; after a settle or close every further call on it is refused.
 * - state: sv_lease_release or sv_lease_close; the service then never frees it again and
 *   sv_message_state(message) returns NULL.
 * client and logger belong to the worker: never close them. The automatic extend never writes
 * the views the handler reads (message and state lease): a renewal of the state lease reaches
 * its expires_at_unix on the handler's next call on that lease. */
typedef struct sv_consumer_delivery {
  sv_client *client;    /* the worker's own client */
  ember_logger *logger; /* that client's logger */
  const char *consumer; /* consumer name */
  const char *queue;    /* queue name */
  int32_t with_state;   /* the consumer subscribed with state */
  sv_message *message;  /* the managed message: ack, nack, extend, payload */
  sv_lease *state;      /* the lease on the message's state (with_state), else NULL */
} sv_consumer_delivery;

/* Passed to on_start (before every subscribe attempt) and on_stop (after it ended). */
typedef struct sv_consumer_event {
  const char *consumer; /* the consumer's name */
  const char *queue;    /* its queue */
  int32_t with_state;   /* 1 when it subscribes with state */
  int32_t attempt;      /* the worker's subscribe attempt, 1 for the first */
  sv_error *error;      /* why the attempt ended, NULL when it ended without failure */
} sv_consumer_event;

/* Passed to on_error after a failed subscribe attempt or delivery. */
typedef struct sv_consumer_error_event {
  const char *consumer;  /* the consumer's name */
  const char *queue;     /* its queue */
  int32_t with_state;    /* 1 when it subscribes with state */
  int32_t attempt;       /* consecutive failures including this one; 0 for a delivery failure */
  int64_t restart_in_ms; /* the delay before the next attempt; 0 when there is no wait */
  sv_error *error;       /* what failed; valid during the call only */
} sv_consumer_error_event;

/* Handler of one delivery: 0 acks the message (unless the handler settled or closed it),
 * non-zero nacks it for another attempt, with the handler's error (code, message, detail) as
 * the message's last error. After a confirmed nack the stream goes on with the next delivery (so
 * the nacked message may come straight back); only a nack with an unknown outcome or a broken
 * stream makes the worker subscribe again. A payload whose stream broke off (or was cut by a
 * stop) is read as SV_ERR_TRANSPORT; when the handler then fails, the service nacks the message
 * with intent defer (no failure attempt is counted), and the broken stream is restarted under
 * the restart policy. A delivery lease the server reports lost while the handler runs (an
 * automatic extend answered 404 or 409 lease_*) is neither acked nor nacked. */
typedef int (*sv_consumer_handle_fn)(void *context, const sv_consumer_delivery *delivery,
                                     sv_error *error);
/* Consulted after every failed attempt or delivery; non-zero stops the service. */
typedef int (*sv_consumer_error_fn)(void *context, const sv_consumer_error_event *event,
                                    sv_error *error);
/* Receives on_start and on_stop events. */
typedef void (*sv_consumer_event_fn)(void *context, const sv_consumer_event *event);

/* Restart behaviour after failed subscribe attempts. Out-of-range values are normalised when
 * the service is created (see sv_consumer_restart_policy_init for the defaults). */
typedef struct sv_consumer_restart_policy {
  int32_t immediate_retries; /* failures restarted at once before backoff starts; 3 */
  int64_t initial_delay_ms;  /* first backoff delay; 250 */
  int64_t max_delay_ms;      /* cap of every delay; 300000 */
  double multiplier;         /* growth of the delay per failure; 2.0 */
  int64_t jitter_ms;         /* random spread of +/- this much around each delay; 100 */
  int32_t max_failures;      /* consecutive failures that stop the service; 0: unlimited */
} sv_consumer_restart_policy;

/* One consumer: a queue, its handler and how many workers serve it. Caller-owned; everything is
 * copied when the service is created. */
typedef struct sv_consumer_config {
  const char *name;              /* for logs, events and generated owners; NULL or "": the queue */
  sv_dequeue_req request;        /* the subscribe request; request.queue is required */
  size_t workers;                /* worker threads; 0 and 1 both mean one */
  int32_t with_state;            /* each delivery also leases the message's state */
  sv_consumer_handle_fn handle;  /* required */
  sv_consumer_error_fn on_error; /* optional */
  sv_consumer_event_fn on_start; /* optional */
  sv_consumer_event_fn on_stop;  /* optional */
  void *context;                 /* first argument of the four functions */
  sv_consumer_restart_policy restart_policy; /* what happens after failed subscribe attempts */
} sv_consumer_config;

/* The configuration of sv_client_new_consumer_service: the consumers to run. Caller-owned;
 * copied when the service is created. */
typedef struct sv_consumer_service_config {
  const sv_consumer_config *consumers; /* consumer_count consumer configurations */
  size_t consumer_count;               /* records in consumers */
  /* How long handlers that run when the service is stopped may go on: they keep their
   * automatic extends and may settle until then (the service acks or nacks from their outcome
   * as usual); afterwards their messages are neither extended nor settled. 0 means the default,
   * 30000 (so a record zeroed without sv_consumer_service_config_init drains too); negative: no
   * drain. */
  int64_t drain_timeout_ms;
} sv_consumer_service_config;

/* The service handle: library-owned, created by sv_client_new_consumer_service and freed by
 * sv_consumer_service_close. The slots are what the exported functions below call. */
struct sv_consumer_service {
  /* The method of sv_consumer_service_run. */
  int (*run)(sv_consumer_service *self, sv_error *error);
  /* The method of sv_consumer_service_start. */
  int (*start)(sv_consumer_service *self, sv_error *error);
  int (*stop)(sv_consumer_service *self); /* the method of sv_consumer_service_stop */
  /* The method of sv_consumer_service_wait. */
  int (*wait)(sv_consumer_service *self, sv_error *error);
  void (*close)(sv_consumer_service *self); /* the method of sv_consumer_service_close */
};

/* Zeroes the policy and sets the defaults: immediate_retries 3, initial_delay_ms 250,
 * max_delay_ms 300000, multiplier 2.0, jitter_ms 100 (so that workers do not retry in
 * lockstep), max_failures 0. Returns policy (NULL for NULL). */
SV_API sv_consumer_restart_policy *sv_consumer_restart_policy_init(
    sv_consumer_restart_policy *policy) SV_NOEXCEPT;
/* Zeroes the record, sets workers to 1 and the policy defaults. Returns config (NULL for NULL). */
SV_API sv_consumer_config *sv_consumer_config_init(sv_consumer_config *config) SV_NOEXCEPT;
/* Zeroes the record and sets drain_timeout_ms to 30000. Returns config (NULL for NULL). */
SV_API sv_consumer_service_config *sv_consumer_service_config_init(
    sv_consumer_service_config *config) SV_NOEXCEPT;

/* Starts every worker thread. SV_ERR_INVALID "consumer service start requires service" or
 * "consumer service can only be started once"; SV_ERR_TRANSPORT "failed to start consumer
 * worker thread" (the workers already started are stopped and joined). */
SV_API int sv_consumer_service_start(sv_consumer_service *service, sv_error *error) SV_NOEXCEPT;
/* Waits until every worker has ended and joins them. Returns SV_OK, or the first fatal failure
 * of any worker with its error. SV_ERR_INVALID "consumer service wait requires service" or
 * "consumer service has not been started". */
SV_API int sv_consumer_service_wait(sv_consumer_service *service, sv_error *error) SV_NOEXCEPT;
/* Start, then wait. */
SV_API int sv_consumer_service_run(sv_consumer_service *service, sv_error *error) SV_NOEXCEPT;
/* Asks every worker to end; returns at once (0; 1 for a NULL service). Safe from any thread,
 * including a handler, but not from a signal handler (it takes a lock): use
 * sv_consumer_service_signal_stop there. A stop before start or run is remembered: run then
 * returns SV_OK at once. After a stop no new delivery starts; a delivery whose metadata arrives
 * afterwards is handed back at once (nack with intent defer, no failure attempt counted);
 * handlers already running drain (see drain_timeout_ms) and wait returns when they are done. */
SV_API int sv_consumer_service_stop(sv_consumer_service *service) SV_NOEXCEPT;
/* The same request as sv_consumer_service_stop, and async-signal-safe: it only sets an atomic
 * flag and writes one byte to the service's wake-up pipe, so it may be called from a signal
 * handler (for instance on SIGINT or SIGTERM). Returns 0; 1 for a NULL service. It must not
 * race with sv_consumer_service_close. */
SV_API int sv_consumer_service_signal_stop(sv_consumer_service *service) SV_NOEXCEPT;
/* Stops and joins a running service, then frees it. NULL is ignored. */
SV_API void sv_consumer_service_close(sv_consumer_service *service) SV_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_CONSUMER_H */
