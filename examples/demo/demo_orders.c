/* The demo's records, the inventory keys before the run, and the order producer. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>

#include "demo.h"

const char *const demo_skus[DEMO_SKU_COUNT] = {"BOLT-M8",   "NUT-M8",   "WASHER-8", "HINGE-40",
                                               "BRACKET-L", "SCREW-4X", "RIVET-5",  "CLAMP-25"};

static const brindle_field order_fields[] = {
    BRINDLE_DECL_FIXED_STRING(demo_order, order_id, "order_id", BRINDLE_FIELD_REQUIRED,
                              BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_FIXED_STRING(demo_order, sku, "sku", BRINDLE_FIELD_REQUIRED,
                              BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_I64(demo_order, quantity, "quantity", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_FIXED_STRING(demo_order, customer, "customer", 0, BRINDLE_OVERFLOW_TRUNCATE),
};
const brindle_map demo_order_map = BRINDLE_MAP("demo_order_json", demo_order, order_fields);

static const brindle_field inventory_fields[] = {
    BRINDLE_DECL_FIXED_STRING(demo_inventory, kind, "kind", 0, BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_FIXED_STRING(demo_inventory, sku, "sku", BRINDLE_FIELD_REQUIRED,
                              BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_I64(demo_inventory, stock, "stock", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_I64(demo_inventory, units_shipped, "units_shipped", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_I64(demo_inventory, orders, "orders", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_FIXED_STRING(demo_inventory, last_order, "last_order", 0,
                              BRINDLE_OVERFLOW_TRUNCATE_SILENT),
    BRINDLE_DECL_FIXED_STRING(demo_inventory, last_packer, "last_packer", 0,
                              BRINDLE_OVERFLOW_TRUNCATE_SILENT),
    BRINDLE_DECL_I64(demo_inventory, fencing_token, "fencing_token", 0),
    BRINDLE_DECL_JSON_VALUE(demo_inventory, applied, "applied", BRINDLE_FIELD_REQUIRED),
};
const brindle_map demo_inventory_map =
    BRINDLE_MAP("demo_inventory_json", demo_inventory, inventory_fields);

int demo_inventory_prepare(demo_inventory *inventory) {
  brindle_init(&demo_inventory_map, inventory);
  return brindle_json_value_enable_parse_capture(&inventory->applied, NULL) == BRINDLE_OK ? 0 : 1;
}

/* The visitor walks the applied object: every key at depth 1 is one counted order. */
typedef struct applied_walk {
  int depth;
  const char *wanted;
  size_t wanted_length;
  size_t matched; /* bytes of the current key that matched wanted so far */
  int mismatch;
  size_t count;
  int found;
} applied_walk;

static brindle_status walk_open(void *user, brindle_error *error) {
  (void)error;
  ++((applied_walk *)user)->depth;
  return BRINDLE_OK;
}

static brindle_status walk_close(void *user, brindle_error *error) {
  (void)error;
  --((applied_walk *)user)->depth;
  return BRINDLE_OK;
}

static brindle_status walk_key_begin(void *user, brindle_error *error) {
  applied_walk *walk = user;
  (void)error;
  walk->matched = 0;
  walk->mismatch = 0;
  return BRINDLE_OK;
}

static brindle_status walk_key_chunk(void *user, const char *bytes, size_t length,
                                     brindle_error *error) {
  applied_walk *walk = user;
  (void)error;
  if (walk->mismatch || walk->wanted == NULL) return BRINDLE_OK;
  if (walk->matched + length > walk->wanted_length ||
      memcmp(walk->wanted + walk->matched, bytes, length) != 0) {
    walk->mismatch = 1;
  } else {
    walk->matched += length;
  }
  return BRINDLE_OK;
}

static brindle_status walk_key_end(void *user, brindle_error *error) {
  applied_walk *walk = user;
  (void)error;
  if (walk->depth != 1) return BRINDLE_OK;
  ++walk->count;
  if (walk->wanted != NULL && !walk->mismatch && walk->matched == walk->wanted_length) {
    walk->found = 1;
  }
  return BRINDLE_OK;
}

int demo_applied_scan(const brindle_json_value *applied, const char *order_id, size_t *count,
                      int *found) {
  applied_walk walk;
  brindle_value_visitor visitor = brindle_default_value_visitor();
  memset(&walk, 0, sizeof walk);
  walk.wanted = order_id;
  walk.wanted_length = order_id != NULL ? strlen(order_id) : 0;
  visitor.object_begin = walk_open;
  visitor.object_end = walk_close;
  visitor.array_begin = walk_open;
  visitor.array_end = walk_close;
  visitor.key_begin = walk_key_begin;
  visitor.key_chunk = walk_key_chunk;
  visitor.key_end = walk_key_end;
  if (applied->buffer == NULL ||
      brindle_visit_value_buffer(applied->buffer, applied->length, &visitor, &walk, NULL, NULL) !=
          BRINDLE_OK) {
    return 1;
  }
  if (count != NULL) *count = walk.count;
  if (found != NULL) *found = walk.found;
  return 0;
}

/* Creates "inventory/<sku>" for every SKU, committed, before any order arrives. */
int demo_seed_inventory(demo_run *run, sv_client *client, sv_error *error) {
  for (int i = 0; i < DEMO_SKU_COUNT; ++i) {
    char key[64];
    demo_inventory record;
    sv_lease *lease = NULL;
    sv_acquire_req acquire;
    int status;

    snprintf(key, sizeof key, "inventory/%s", demo_skus[i]);
    sv_acquire_req_init(&acquire);
    acquire.key = key;
    acquire.owner = "demo-seeder";
    acquire.ttl_seconds = 30;
    acquire.if_not_exists = 1; /* a fresh namespace: refuse to overwrite someone's stock */
    status = sv_acquire(client, &acquire, &lease, error);
    if (status != SV_OK) return status;

    brindle_init(&demo_inventory_map, &record);
    snprintf(record.kind, sizeof record.kind, "inventory");
    snprintf(record.sku, sizeof record.sku, "%s", demo_skus[i]);
    record.stock = DEMO_INITIAL_STOCK;
    if (brindle_json_value_set_buffer(&record.applied, "{}", 2, NULL) != BRINDLE_OK) {
      status =
          sv_error_set(error, SV_ERR_NOMEM, 0, "cannot set the applied object", NULL, NULL, NULL);
    } else {
      status = sv_lease_save(lease, &demo_inventory_map, &record, NULL, error);
    }
    brindle_cleanup(&demo_inventory_map, &record);
    if (status == SV_OK) status = sv_lease_release(lease, NULL, error);
    if (status != SV_OK) {
      sv_lease_close(lease);
      return status;
    }
  }
  printf("[%5.1fs] seeded %d inventory keys with %d units each\n", demo_elapsed(run),
         DEMO_SKU_COUNT, DEMO_INITIAL_STOCK);
  return SV_OK;
}

/* A small deterministic generator, so that a seed repeats a run. */
static uint64_t next_random(uint64_t *state) {
  *state = *state * 6364136223846793005ull + 1442695040888963407ull;
  return *state >> 33;
}

int demo_produce(demo_run *run, sv_client *client, sv_error *error) {
  static const char *const customers[] = {"Ackermann Hardware", "Birch & Sons", "Cobalt Works",
                                          "Delta Fixings", "Emery Supply"};
  uint64_t random = run->seed;
  for (int64_t n = 1; n <= run->order_count; ++n) {
    demo_order order;
    char payload[256];
    size_t length = 0;
    sv_source *source = NULL;
    sv_enqueue_req req;
    sv_enqueue_res res;
    int status;

    memset(&order, 0, sizeof order);
    const int sku = (int)(next_random(&random) % DEMO_SKU_COUNT);
    snprintf(order.order_id, sizeof order.order_id, "order-%05lld", (long long)n);
    snprintf(order.sku, sizeof order.sku, "%s", demo_skus[sku]);
    order.quantity = 1 + (int64_t)(next_random(&random) % 12);
    snprintf(order.customer, sizeof order.customer, "%s",
             customers[next_random(&random) % (sizeof customers / sizeof customers[0])]);
    if (brindle_serialize_buffer(&demo_order_map, &order, payload, sizeof payload, &length, NULL,
                                 NULL) != BRINDLE_OK) {
      return sv_error_set(error, SV_ERR_INVALID, 0, "cannot serialise an order", NULL, NULL, NULL);
    }

    sv_enqueue_req_init(&req);
    req.queue = run->queue;
    req.payload_content_type = "application/json";
    /* A few seconds: a packer that dies loses its orders only briefly. The consumer service
     * extends the visibility while a handler runs, so slow packing is not a loss. */
    req.visibility_timeout_seconds = run->visibility_seconds;
    req.max_attempts = 10;
    memset(&res, 0, sizeof res);
    status = sv_source_from_memory(payload, length, &source, error);
    if (status == SV_OK) status = sv_enqueue(client, &req, source, &res, error);
    sv_source_close(source);
    sv_enqueue_res_cleanup(&res);
    if (status != SV_OK) return status;

    pthread_mutex_lock(&run->mutex);
    run->expected_orders[sku] += 1;
    run->expected_units[sku] += order.quantity;
    pthread_mutex_unlock(&run->mutex);
    if (n % 100 == 0 || n == run->order_count) {
      printf("[%5.1fs] producer: enqueued %lld of %lld orders\n", demo_elapsed(run), (long long)n,
             (long long)run->order_count);
      fflush(stdout);
    }
  }
  return SV_OK;
}
