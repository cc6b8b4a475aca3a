/*
 * queue_service: a producer and a consumer service. The producer enqueues a batch of jobs; the
 * consumer service then runs two workers, each with its own subscribe stream, and calls the
 * handler for every delivered message on a thread of its own while the message's visibility is
 * extended in the background. The handler reads the payload as it streams in and acknowledges
 * the message; after the last job it stops the service.
 *
 *   queue_service [--endpoint URL] [--bundle PATH] [--queue NAME] [--jobs N]
 *
 * Exits 0 when every job was handled exactly once and the sum of their amounts is right.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "example_common.h"

typedef struct jobs {
  const char *queue;
  int64_t count;
  /* Shared by the handler threads, so guarded by the mutex. */
  pthread_mutex_t mutex;
  int64_t handled;
  int64_t amount_sum;
  unsigned char *seen; /* count flags: job i was handled */
  int duplicates;
  int run_ended; /* sv_consumer_service_run returned */
  sv_consumer_service *service;
} jobs;

static int parse_arg(void *context, int argc, char **argv, int *index) {
  jobs *work = context;
  if (*index + 1 >= argc) return 1;
  if (strcmp(argv[*index], "--queue") == 0) {
    work->queue = argv[++*index];
    return 0;
  }
  if (strcmp(argv[*index], "--jobs") == 0) {
    return example_parse_count(argv[++*index], 1, 100000, &work->count);
  }
  return 1;
}

/* Runs on a thread of the service for each delivery. Returning non-zero would nack the message
 * for another attempt; here the handler settles the message itself. */
static int handle_job(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
  jobs *work = context;
  sv_source *payload = sv_message_payload(delivery->message);
  char text[128];
  size_t length = 0, count;
  long long index = -1, amount = 0;

  /* The payload arrives through a pipe from the worker's stream: read until the end. */
  while (payload != NULL &&
         (count = payload->read(payload, text + length, sizeof text - 1 - length, error)) > 0) {
    length += count;
    if (length == sizeof text - 1) break;
  }
  if (error->code != 0) return error->code;
  text[length] = '\0';
  if (sscanf(text, "job %lld amount %lld", &index, &amount) != 2 || index < 0 ||
      index >= work->count) {
    return sv_error_set(error, SV_ERR_INVALID, 0, "malformed job payload", text, NULL, NULL);
  }

  /* Acknowledge first, count after: a job counts once the server has forgotten it. */
  if (sv_message_ack(delivery->message, error) != SV_OK) return error->code;
  pthread_mutex_lock(&work->mutex);
  if (work->seen[index]) {
    ++work->duplicates;
  } else {
    work->seen[index] = 1;
    ++work->handled;
    work->amount_sum += amount;
  }
  const int finished = work->handled == work->count;
  pthread_mutex_unlock(&work->mutex);
  printf("%s handled job %lld (attempt %d)\n", delivery->consumer, index,
         (int)delivery->message->attempts);
  if (finished) sv_consumer_service_stop(work->service); /* run() returns in main */
  return SV_OK;
}

/* A safety net for the example: stop the service if the jobs do not finish in 60 s. */
static void *watchdog(void *context) {
  jobs *work = context;
  for (int i = 0; i < 600; ++i) {
    struct timespec tick = {0, 100 * 1000 * 1000};
    pthread_mutex_lock(&work->mutex);
    const int finished = work->handled == work->count || work->run_ended;
    pthread_mutex_unlock(&work->mutex);
    if (finished) return NULL;
    nanosleep(&tick, NULL);
  }
  fprintf(stderr, "queue_service: jobs did not finish in time, stopping\n");
  sv_consumer_service_stop(work->service);
  return NULL;
}

static int enqueue_jobs(sv_client *client, jobs *work, int64_t *expected_sum, sv_error *error) {
  for (int64_t i = 0; i < work->count; ++i) {
    char text[64];
    const int64_t amount = 100 + (i * 37) % 900;
    const int length =
        snprintf(text, sizeof text, "job %lld amount %lld", (long long)i, (long long)amount);
    sv_source *payload = NULL;
    sv_enqueue_req req;
    sv_enqueue_res res;
    int status;
    memset(&res, 0, sizeof res);
    sv_enqueue_req_init(&req);
    req.queue = work->queue;
    req.payload_content_type = "text/plain";
    req.visibility_timeout_seconds = 10; /* the service extends it while a handler runs */
    status = sv_source_from_memory(text, (size_t)length, &payload, error);
    if (status == SV_OK) status = sv_enqueue(client, &req, payload, &res, error);
    sv_source_close(payload);
    if (status != SV_OK) return status;
    if (i == 0) printf("enqueued %s ...\n", res.message_id);
    sv_enqueue_res_cleanup(&res);
    *expected_sum += amount;
  }
  printf("enqueued %lld jobs on %s\n", (long long)work->count, work->queue);
  return SV_OK;
}

int main(int argc, char **argv) {
  jobs work;
  example_options options;
  sv_client *client = NULL;
  sv_error error;
  int64_t expected_sum = 0;
  pthread_t watchdog_thread;
  int status;

  memset(&work, 0, sizeof work);
  work.queue = "examples-jobs";
  work.count = 20;
  status = example_parse_args(argc, argv, &options, parse_arg, &work, "[--queue NAME] [--jobs N]");
  if (status != 0) return status;
  work.seen = calloc((size_t)work.count, 1);
  if (work.seen == NULL) return 1;
  pthread_mutex_init(&work.mutex, NULL);
  sv_error_init(&error);
  if (example_open_client(&options, &client) != SV_OK) {
    status = SV_ERR_TRANSPORT;
    goto done;
  }

  status = enqueue_jobs(client, &work, &expected_sum, &error);
  if (status != SV_OK) goto done;

  /* One consumer with two workers; each worker opens its own client configured like ours. */
  sv_consumer_config consumer;
  sv_consumer_config_init(&consumer);
  consumer.name = "job-worker";
  consumer.request.queue = work.queue;
  consumer.request.wait_seconds = -1; /* keep the stream open on an empty queue */
  consumer.workers = 2;
  consumer.handle = handle_job;
  consumer.context = &work;
  sv_consumer_service_config config;
  sv_consumer_service_config_init(&config);
  config.consumers = &consumer;
  config.consumer_count = 1;
  status = sv_client_new_consumer_service(client, &config, &work.service, &error);
  if (status != SV_OK) goto done;
  pthread_create(&watchdog_thread, NULL, watchdog, &work);
  status = sv_consumer_service_run(work.service, &error); /* until the handler stops it */
  pthread_mutex_lock(&work.mutex);
  work.run_ended = 1;
  pthread_mutex_unlock(&work.mutex);
  pthread_join(watchdog_thread, NULL);
  sv_consumer_service_close(work.service);
  if (status != SV_OK) goto done;

  printf("handled %lld of %lld jobs, %d duplicate deliveries, amount %lld (expected %lld)\n",
         (long long)work.handled, (long long)work.count, work.duplicates,
         (long long)work.amount_sum, (long long)expected_sum);
  if (work.handled != work.count || work.amount_sum != expected_sum) status = SV_ERR_PROTOCOL;

done:
  if (status != SV_OK && error.code != 0) example_report("queue_service", &error);
  sv_client_close(client);
  sv_error_cleanup(&error);
  pthread_mutex_destroy(&work.mutex);
  free(work.seen);
  return status == SV_OK ? 0 : 1;
}
