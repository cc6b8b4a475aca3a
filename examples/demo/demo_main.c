/*
 * stavo_demo: an order-processing pipeline against a stavo server, over mutual TLS.
 *
 *   stavo_demo --endpoint https://localhost:7443 --bundle DIR/client-bundle.pem
 *              [--orders N] [--workers N] [--flaky-every N] [--seed N] [--visibility SECONDS]
 *              [--deadline SECONDS] [--namespace NS] [--reuse-connections] [--log-level LEVEL]
 *
 * Prints a transcript and a one-line summary; exits 0 when the inventory totals match the
 * enqueued orders, 1 when they do not or something failed. `make demo` runs it against a dev
 * server of its own (scripts/demo).
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "demo.h"

static int parse_demo_arg(void *context, int argc, char **argv, int *index) {
  demo_run *run = context;
  const char *arg = argv[*index];
  const char *value = *index + 1 < argc ? argv[*index + 1] : NULL;
  int64_t number = 0;
  if (value == NULL) return 1;
  ++*index;
  if (strcmp(arg, "--orders") == 0)
    return example_parse_count(value, 1, 1000000, &run->order_count);
  if (strcmp(arg, "--workers") == 0) return example_parse_count(value, 2, 64, &run->workers);
  if (strcmp(arg, "--flaky-every") == 0)
    return example_parse_count(value, 1, 1000, &run->flaky_every);
  if (strcmp(arg, "--visibility") == 0) {
    return example_parse_count(value, 1, 3600, &run->visibility_seconds);
  }
  if (strcmp(arg, "--deadline") == 0) {
    return example_parse_count(value, 1, 3600, &run->deadline_seconds);
  }
  if (strcmp(arg, "--seed") == 0) {
    if (example_parse_count(value, 0, INT64_MAX, &number) != 0) return 1;
    run->seed = (uint64_t)number;
    return 0;
  }
  if (strcmp(arg, "--log-level") == 0) {
    static const char *const levels[] = {"trace", "debug", "info", "warn", "error"};
    for (int level = 0; level < 5; ++level) {
      if (strcmp(value, levels[level]) == 0) {
        /* Client events as JSON Lines on stderr, through libember. */
        ember_config config;
        ember_default_config(&config);
        config.min_level = level;
        ember_destroy(run->options.logger);
        run->options.logger = ember_new(&config);
        return run->options.logger == NULL;
      }
    }
  }
  return 1;
}

/* Waits until every order is packed or the deadline passes, printing progress each second. */
static int wait_for_orders(demo_run *run) {
  const double deadline = (double)run->deadline_seconds;
  double printed = demo_elapsed(run);
  int done = 0;
  pthread_mutex_lock(&run->mutex);
  while (!done && demo_elapsed(run) < deadline) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 1;
    pthread_cond_timedwait(&run->changed, &run->mutex, &until);
    done = run->packed == run->order_count;
    if (!done && demo_elapsed(run) - printed >= 1.0) {
      printed = demo_elapsed(run);
      printf("[%5.1fs] packed %lld of %lld, %lld redelivered; watch: %s%s%s (%lld changes)\n",
             demo_elapsed(run), (long long)run->packed, (long long)run->order_count,
             (long long)run->redeliveries, run->watch_head[0] != '\0' ? "head " : "queue empty",
             run->watch_head, run->watch_head[0] != '\0' && run->watch_available ? " visible" : "",
             (long long)run->watch_events);
      fflush(stdout);
    }
  }
  pthread_mutex_unlock(&run->mutex);
  return done;
}

static int start_service(demo_run *run, sv_client *client, demo_consumer contexts[2],
                         sv_consumer_service **service, sv_error *error) {
  sv_consumer_config consumers[2];
  sv_consumer_service_config config;
  for (int i = 0; i < 2; ++i) {
    sv_consumer_config_init(&consumers[i]);
    contexts[i].run = run;
    contexts[i].flaky = i == 1;
    consumers[i].name = i == 0 ? "packer" : "flaky-packer";
    consumers[i].request.queue = run->queue;
    consumers[i].request.wait_seconds = -1; /* keep streams open while the queue is empty */
    consumers[i].request.page_size = 1;
    consumers[i].workers = i == 0 ? (size_t)run->workers - 1 : 1;
    consumers[i].handle = demo_handle_order;
    consumers[i].context = &contexts[i];
  }
  sv_consumer_service_config_init(&config);
  config.consumers = consumers;
  config.consumer_count = 2;
  int status = sv_client_new_consumer_service(client, &config, service, error);
  if (status == SV_OK) status = sv_consumer_service_start(*service, error);
  if (status == SV_OK) {
    printf(
        "[%5.1fs] consumer service: %lld packers and 1 flaky packer (fails every %lld%s "
        "first delivery it gets)\n",
        demo_elapsed(run), (long long)run->workers - 1, (long long)run->flaky_every,
        run->flaky_every == 1 ? "" : "th");
  }
  return status;
}

int main(int argc, char **argv) {
  demo_run run;
  demo_consumer contexts[2];
  sv_client *client = NULL;
  sv_consumer_service *service = NULL;
  sv_error error;
  pthread_t watch_thread;
  int watching = 0, status, exit_code = 1;

  memset(&run, 0, sizeof run);
  run.order_count = 300;
  run.workers = 4;
  run.flaky_every = 6;
  run.deadline_seconds = 50;
  run.visibility_seconds = 3;
  run.seed = 42;
  clock_gettime(CLOCK_MONOTONIC, &run.started);
  status = example_parse_args(argc, argv, &run.options, parse_demo_arg, &run,
                              "[--orders N] [--workers N] [--flaky-every N] [--seed N] "
                              "[--visibility SECONDS] [--deadline SECONDS] [--log-level LEVEL]");
  if (status != 0) {
    ember_destroy(run.options.logger);
    return status;
  }
  /* A namespace of its own unless one is given: queries then see only this run's keys. */
  if (run.options.namespace_name == NULL) {
    snprintf(run.namespace_name, sizeof run.namespace_name, "orders-demo-%lld-%ld",
             (long long)time(NULL), (long)getpid());
    run.options.namespace_name = run.namespace_name;
  }
  snprintf(run.queue, sizeof run.queue, "orders");
  pthread_mutex_init(&run.mutex, NULL);
  pthread_cond_init(&run.changed, NULL);
  sv_error_init(&error);

  printf("stavo demo: %lld orders through queue '%s' in namespace '%s'\n",
         (long long)run.order_count, run.queue, run.options.namespace_name);
  printf("  server %s, %s, connection reuse %s\n", run.options.endpoint,
         run.options.bundle != NULL ? "mutual TLS" : "no client certificate",
         run.options.reuse_connections ? "on" : "off");
  if (example_open_client(&run.options, &client) != SV_OK) goto done;

  status = demo_seed_inventory(&run, client, &error);
  if (status != SV_OK) goto failed;
  watching = pthread_create(&watch_thread, NULL, demo_watch_main, &run) == 0;
  status = start_service(&run, client, contexts, &service, &error);
  if (status != SV_OK) goto failed;
  status = demo_produce(&run, client, &error);
  if (status != SV_OK) goto failed;

  if (!wait_for_orders(&run)) {
    printf("[%5.1fs] deadline: only %lld of %lld orders packed\n", demo_elapsed(&run),
           (long long)run.packed, (long long)run.order_count);
    sv_error_set(&error, SV_ERR_TRANSPORT, 0, "orders not packed before the deadline", NULL, NULL,
                 NULL);
    status = SV_ERR_TRANSPORT;
    goto failed;
  }
  printf("[%5.1fs] all %lld orders packed; stopping the service\n", demo_elapsed(&run),
         (long long)run.order_count);
  sv_consumer_service_close(service); /* stops and joins the workers */
  service = NULL;

  sv_queue_stats_req stats_req;
  sv_queue_stats_res stats;
  sv_queue_stats_req_init(&stats_req);
  stats_req.queue = run.queue;
  memset(&stats, 0, sizeof stats);
  status = sv_queue_stats(client, &stats_req, &stats, &error);
  if (status != SV_OK) goto failed;
  printf("[%5.1fs] queue '%s': %s\n", demo_elapsed(&run), run.queue,
         stats.head_message_id == NULL ? "empty" : "NOT EMPTY");
  const int queue_empty = stats.head_message_id == NULL && !stats.available;
  sv_queue_stats_res_cleanup(&stats);

  printf("[%5.1fs] inventory after the run:\n", demo_elapsed(&run));
  status = demo_check_totals(&run, client, &error);
  if (status == SV_OK && !queue_empty) {
    status = sv_error_set(&error, SV_ERR_PROTOCOL, 0, "orders left in the queue", NULL, NULL, NULL);
  }

failed:
  if (status != SV_OK) example_report("demo", &error);
  exit_code = status == SV_OK ? 0 : 1;
done:
  sv_consumer_service_close(service);
  if (watching) {
    pthread_mutex_lock(&run.mutex);
    run.watch_stop = 1;
    pthread_mutex_unlock(&run.mutex);
    pthread_join(watch_thread, NULL);
  }
  printf(
      "%s: %lld orders, %lld messages acked, %lld redeliveries, %lld failed deliveries, "
      "%lld duplicates skipped, %lld watch events, %.1f s\n",
      exit_code == 0 ? "demo ok" : "demo FAILED", (long long)run.order_count, (long long)run.packed,
      (long long)run.redeliveries, (long long)run.failures, (long long)run.duplicates,
      (long long)run.watch_events, demo_elapsed(&run));
  sv_client_close(client);
  sv_error_cleanup(&error);
  ember_destroy(run.options.logger);
  pthread_cond_destroy(&run.changed);
  pthread_mutex_destroy(&run.mutex);
  return exit_code;
}
