/*
 * The order pipeline demo: shared records, maps and run state.
 *
 * A producer enqueues orders; a consumer service packs them. Packing an order takes a lease on
 * the inventory key of its SKU and, under the lease's fencing token, saves the mapped inventory
 * record (stock and who packed last), adds the units on the server (mutate) and counts the order
 * locally (mutate_local), then releases the lease, which commits the three writes together.
 * One packer fails now and then after its writes; the lease is rolled back, the message nacked
 * and delivered again. At the end a query reads every inventory key and the totals are checked
 * against what was enqueued.
 */
#ifndef STAVO_DEMO_H
#define STAVO_DEMO_H

#include <brindle.h>
#include <pthread.h>
#include <stavoc.h>
#include <time.h>

#include "../example_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DEMO_SKU_COUNT 8
#define DEMO_INITIAL_STOCK 100000

extern const char *const demo_skus[DEMO_SKU_COUNT];

/* An order, as the JSON payload of one queue message. */
typedef struct demo_order {
  char order_id[32];
  char sku[16];
  int64_t quantity;
  char customer[32];
} demo_order;
extern const brindle_map demo_order_map;

/* The state document of "inventory/<sku>". applied holds {"<order id>": true, ...}: the orders
 * already counted, so that a redelivered order is never counted twice. */
typedef struct demo_inventory {
  char kind[16]; /* "inventory", what the final query selects */
  char sku[16];
  int64_t stock;         /* lowered by the packer in the saved record */
  int64_t units_shipped; /* raised by a server-side mutation */
  int64_t orders;        /* raised by a local mutation */
  char last_order[32];   /* the last order packed */
  char last_packer[32];  /* and who packed it */
  int64_t fencing_token; /* of the lease that packed it */
  brindle_json_value applied;
} demo_inventory;
extern const brindle_map demo_inventory_map;

/* Prepares a record for a load: brindle_init, and the applied member captures its JSON text. */
int demo_inventory_prepare(demo_inventory *inventory);

/* Counts the members of an applied object and tells whether order_id is one of them. */
int demo_applied_scan(const brindle_json_value *applied, const char *order_id, size_t *count,
                      int *found);

/* What the whole run shares; the counters are guarded by mutex. */
typedef struct demo_run {
  example_options options;
  int64_t order_count;
  int64_t workers;
  int64_t flaky_every; /* the flaky packer fails every Nth first delivery it sees */
  int64_t deadline_seconds;
  int64_t visibility_seconds; /* of every order message */
  uint64_t seed;
  char namespace_name[64];
  char queue[32];
  struct timespec started;

  pthread_mutex_t mutex;
  pthread_cond_t changed;
  int64_t expected_orders[DEMO_SKU_COUNT];
  int64_t expected_units[DEMO_SKU_COUNT];
  int64_t packed;       /* orders acked */
  int64_t redeliveries; /* deliveries with attempts > 1 */
  int64_t failures;     /* handler failures (nacked by the service) */
  int64_t duplicates;   /* deliveries of orders already counted */
  int64_t flaky_seen;
  int watch_stop;
  int64_t watch_events;
  int watch_available;
  char watch_head[48];
} demo_run;

/* Each consumer of the service gets one of these as its context. */
typedef struct demo_consumer {
  demo_run *run;
  int flaky;
} demo_consumer;

/* Seconds since the run started. */
double demo_elapsed(const demo_run *run);

/* demo_orders.c: the inventory keys before the first order, and the producer. */
int demo_seed_inventory(demo_run *run, sv_client *client, sv_error *error);
int demo_produce(demo_run *run, sv_client *client, sv_error *error);

/* demo_handler.c: the consumer service's handler. */
int demo_handle_order(void *context, const sv_consumer_delivery *delivery, sv_error *error);

/* demo_report.c: the queue watch thread, and the final query and check (0 when the totals
 * agree). */
void *demo_watch_main(void *run);
int demo_check_totals(demo_run *run, sv_client *client, sv_error *error);

#ifdef __cplusplus
}
#endif

#endif /* STAVO_DEMO_H */
