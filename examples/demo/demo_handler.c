/* The packer: the consumer service's handler for one order. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>

#include "demo.h"

/* Reads the whole (small) payload into buffer; the payload streams in while we read. */
static int read_payload(sv_message *message, char *buffer, size_t capacity, size_t *length,
                        sv_error *error) {
  sv_source *payload = sv_message_payload(message);
  size_t count;
  *length = 0;
  if (payload == NULL)
    return sv_error_set(error, SV_ERR_PROTOCOL, 0, "order without payload", NULL, NULL, NULL);
  while ((count = payload->read(payload, buffer + *length, capacity - *length, error)) > 0) {
    *length += count;
    if (*length == capacity) {
      return sv_error_set(error, SV_ERR_PROTOCOL, 0, "order payload too large", NULL, NULL, NULL);
    }
  }
  return error->code;
}

static int fail_with(sv_error *error, int code, const char *message, const char *detail) {
  return sv_error_set(error, code, 0, message, detail, NULL, NULL);
}

/* Should the flaky packer fail this delivery? Only first deliveries, so that a redelivered
 * order always goes through (and no order reaches its attempt limit). */
static int flaky_fails(demo_consumer *consumer, const sv_message *message) {
  demo_run *run = consumer->run;
  int fails = 0;
  if (!consumer->flaky || message->attempts > 1) return 0;
  pthread_mutex_lock(&run->mutex);
  fails = ++run->flaky_seen % run->flaky_every == 0;
  pthread_mutex_unlock(&run->mutex);
  return fails;
}

/* The three writes of one order under the inventory lease. They are staged on the server and
 * committed together by the release; a rollback discards all three. */
static int stage_order(sv_lease *lease, demo_inventory *inventory, const demo_order *order,
                       const char *packer, sv_error *error) {
  char units[48], applied[64];
  const char *server_side[2];
  const char *local_side[1] = {"/orders++"};
  sv_mutate_req mutate;
  sv_mutate_local_req local;
  int status;

  /* 1. The mapped record: stock, who packed last and with which fencing token. The save sends
   *    the version we loaded as its precondition. */
  inventory->stock -= order->quantity;
  snprintf(inventory->last_order, sizeof inventory->last_order, "%s", order->order_id);
  snprintf(inventory->last_packer, sizeof inventory->last_packer, "%s", packer);
  inventory->fencing_token = lease->fencing_token;
  status = sv_lease_save(lease, &demo_inventory_map, inventory, NULL, error);
  if (status != SV_OK) return status;

  /* 2. On the server: a bare number adds ("/units_shipped=3" adds 3), and the order is marked
   *    as applied. */
  snprintf(units, sizeof units, "/units_shipped=%lld", (long long)order->quantity);
  snprintf(applied, sizeof applied, "/applied/%s=true", order->order_id);
  server_side[0] = units;
  server_side[1] = applied;
  sv_mutate_req_init(&mutate);
  mutate.mutations = server_side;
  mutate.mutation_count = 2;
  status = sv_lease_mutate(lease, &mutate, error);
  if (status != SV_OK) return status;

  /* 3. Locally: read the state, count the order, upload it with the ETag we read. */
  sv_mutate_local_req_init(&local);
  local.mutations = local_side;
  local.mutation_count = 1;
  return sv_lease_mutate_local(lease, &local, error);
}

/* Packs one order: 0 when it is counted (now or by an earlier delivery). */
static int pack_order(demo_consumer *consumer, const sv_consumer_delivery *delivery,
                      const demo_order *order, int *duplicate, sv_error *error) {
  char key[64];
  sv_lease *lease = NULL;
  sv_acquire_req acquire;
  demo_inventory inventory;
  sv_get_res got;
  brindle_parse_options parse = brindle_default_parse_options();
  sv_release_req release;
  int found = 0, status;

  snprintf(key, sizeof key, "inventory/%s", order->sku);
  sv_acquire_req_init(&acquire);
  acquire.key = key;
  acquire.owner = delivery->consumer;
  acquire.ttl_seconds = 20;
  acquire.block_seconds = 20; /* other packers hold the key for milliseconds at a time */
  status = sv_acquire(delivery->client, &acquire, &lease, error);
  if (status != SV_OK) return status;

  memset(&got, 0, sizeof got);
  parse.clear_destination = 0; /* keep the capture set up by demo_inventory_prepare */
  if (demo_inventory_prepare(&inventory) != 0) {
    status = fail_with(error, SV_ERR_NOMEM, "cannot prepare the inventory record", NULL);
  } else {
    status = sv_lease_load(lease, &demo_inventory_map, &inventory, &parse, NULL, &got, error);
  }
  if (status == SV_OK && demo_applied_scan(&inventory.applied, order->order_id, NULL, &found)) {
    status = fail_with(error, SV_ERR_PROTOCOL, "unreadable applied orders", key);
  }
  if (status == SV_OK && found) {
    *duplicate = 1; /* counted by an earlier delivery whose ack was lost: nothing to write */
  } else if (status == SV_OK) {
    status = stage_order(lease, &inventory, order, delivery->consumer, error);
    if (status == SV_OK && flaky_fails(consumer, delivery->message)) {
      status = fail_with(error, SV_ERR_TRANSPORT, "label printer jammed", order->order_id);
    }
  }
  sv_get_res_cleanup(&got);
  brindle_cleanup(&demo_inventory_map, &inventory);

  /* Commit on success; on failure discard whatever was staged. */
  sv_release_req_init(&release);
  release.rollback = status != SV_OK || *duplicate;
  if (status == SV_OK) {
    status = sv_lease_release(lease, &release, error);
    if (status == SV_OK) lease = NULL;
  } else if (sv_lease_release(lease, &release, NULL) == SV_OK) {
    lease = NULL;
  }
  sv_lease_close(lease); /* after a failed release; the lease then expires */
  return status;
}

int demo_handle_order(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
  demo_consumer *consumer = context;
  demo_run *run = consumer->run;
  sv_message *message = delivery->message;
  char payload[512];
  size_t length = 0;
  demo_order order;
  brindle_error parse_error;
  int duplicate = 0, status;

  status = read_payload(message, payload, sizeof payload, &length, error);
  if (status != SV_OK) return status;
  memset(&order, 0, sizeof order);
  if (brindle_parse_buffer(&demo_order_map, &order, payload, length, NULL, &parse_error) !=
      BRINDLE_OK) {
    return fail_with(error, SV_ERR_PROTOCOL, "malformed order", parse_error.message);
  }
  if (message->attempts > 1) {
    pthread_mutex_lock(&run->mutex);
    ++run->redeliveries;
    pthread_mutex_unlock(&run->mutex);
    printf("[%5.1fs] %s: %s delivered again (attempt %d)\n", demo_elapsed(run), delivery->consumer,
           order.order_id, (int)message->attempts);
  }

  status = pack_order(consumer, delivery, &order, &duplicate, error);
  if (status != SV_OK) {
    pthread_mutex_lock(&run->mutex);
    ++run->failures;
    pthread_mutex_unlock(&run->mutex);
    printf("[%5.1fs] %s: %s failed (%s), rolled back; the service nacks it\n", demo_elapsed(run),
           delivery->consumer, order.order_id,
           error->message != NULL ? error->message : "unknown error");
    return status; /* non-zero: the service nacks the message for another attempt */
  }

  /* Settle here rather than leaving it to the service, so that the count below only ever
   * includes orders the server has let go of. */
  status = sv_message_ack(message, error);
  if (status != SV_OK) {
    pthread_mutex_lock(&run->mutex);
    ++run->failures;
    pthread_mutex_unlock(&run->mutex);
    printf("[%5.1fs] %s: %s packed but not acknowledged (%s); a redelivery will skip it\n",
           demo_elapsed(run), delivery->consumer, order.order_id,
           error->message != NULL ? error->message : "unknown error");
    return status;
  }
  pthread_mutex_lock(&run->mutex);
  ++run->packed;
  run->duplicates += duplicate;
  pthread_cond_broadcast(&run->changed);
  pthread_mutex_unlock(&run->mutex);
  return SV_OK;
}
