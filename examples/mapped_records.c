/*
 * mapped_records: a key's state as a C record. libbrindle describes the record once, as a
 * constant field map; the lease then saves the record as JSON (serialised while it uploads) and
 * loads the JSON straight back into a record, without a document tree in between.
 *
 *   mapped_records [--endpoint URL] [--bundle PATH] [--key KEY]
 *
 * Saves an order, loads it back, changes it, saves again, and prints the committed record.
 */
#define _POSIX_C_SOURCE 200809L

#include <brindle.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "example_common.h"

/* The record and its map. Strings declared char * are allocated by the parser and freed by
 * brindle_cleanup; char[N] members are filled in place. */
typedef struct order_line {
  char sku[16];
  int64_t quantity;
} order_line;

typedef struct order {
  char *order_id;
  char customer[32];
  int64_t total_cents;
  int32_t paid;
  brindle_object_array lines; /* of order_line */
  brindle_array tags;         /* of char * */
} order;

static const brindle_field order_line_fields[] = {
    BRINDLE_DECL_FIXED_STRING(order_line, sku, "sku", BRINDLE_FIELD_REQUIRED,
                              BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_I64(order_line, quantity, "quantity", BRINDLE_FIELD_REQUIRED),
};
static const brindle_map order_line_map =
    BRINDLE_MAP("order_line_json", order_line, order_line_fields);

static const brindle_field order_fields[] = {
    BRINDLE_DECL_STRING(order, order_id, "order_id", BRINDLE_FIELD_REQUIRED),
    BRINDLE_DECL_FIXED_STRING(order, customer, "customer", 0, BRINDLE_OVERFLOW_TRUNCATE),
    BRINDLE_DECL_I64(order, total_cents, "total_cents", 0),
    BRINDLE_DECL_BOOL(order, paid, "paid", 0),
    BRINDLE_DECL_OBJECT_ARRAY(order, lines, "lines", 0, &order_line_map, order_line),
    BRINDLE_DECL_ARRAY(order, tags, "tags", BRINDLE_FIELD_STRING_ARRAY, BRINDLE_FIELD_OMIT_EMPTY),
};
static const brindle_map order_map = BRINDLE_MAP("order_json", order, order_fields);

static int parse_key(void *context, int argc, char **argv, int *index) {
  if (strcmp(argv[*index], "--key") != 0 || *index + 1 >= argc) return 1;
  *(const char **)context = argv[++*index];
  return 0;
}

static void print_order(const char *label, const order *record) {
  brindle_write_options pretty = brindle_default_write_options();
  char *json;
  pretty.pretty = 1;
  json = brindle_serialize_alloc(&order_map, record, NULL, &pretty, NULL);
  printf("%s:\n%s\n", label, json != NULL ? json : "(could not serialise)");
  free(json);
}

int main(int argc, char **argv) {
  const char *key = "examples/orders/1001";
  static order_line lines[2] = {{"BOLT-M8", 40}, {"NUT-M8", 40}};
  example_options options;
  sv_client *client = NULL;
  sv_lease *lease = NULL;
  sv_error error;
  order draft, loaded, committed;
  sv_get_res got;
  int status = example_parse_args(argc, argv, &options, parse_key, &key, "[--key KEY]");
  if (status != 0) return status;
  if (example_open_client(&options, &client) != SV_OK) return 1;
  sv_error_init(&error);
  memset(&got, 0, sizeof got);
  brindle_init(&order_map, &loaded);
  brindle_init(&order_map, &committed);

  /* A record to save. Arrays can point at caller storage: ours are fixed (never grown or freed
   * by the library). */
  brindle_init(&order_map, &draft);
  draft.order_id = "1001";
  snprintf(draft.customer, sizeof draft.customer, "%s", "Ackermann Hardware");
  draft.total_cents = 1960;
  draft.lines.items = lines;
  draft.lines.count = draft.lines.capacity = 2;
  draft.lines.flags = BRINDLE_ARRAY_FIXED;

  sv_acquire_req acquire;
  sv_acquire_req_init(&acquire);
  acquire.key = key;
  acquire.owner = "mapped-records-example";
  acquire.ttl_seconds = 30;
  status = sv_acquire(client, &acquire, &lease, &error);
  if (status != SV_OK) goto done;

  /* Save: the record is serialised while it uploads; the lease sends its version as the
   * if-version precondition and then shows the new version. */
  status = sv_lease_save(lease, &order_map, &draft, NULL, &error);
  if (status != SV_OK) goto done;
  printf("saved order %s as version %lld\n", draft.order_id, (long long)lease->version);

  /* Load: the JSON is parsed into the record as it arrives. */
  status = sv_lease_load(lease, &order_map, &loaded, NULL, NULL, &got, &error);
  if (status != SV_OK) goto done;
  printf("loaded order %s for %s: %zu lines, paid %d\n", loaded.order_id, loaded.customer,
         loaded.lines.count, (int)loaded.paid);

  /* Change the loaded record and save it again: the library owns its strings and arrays. */
  loaded.paid = 1;
  ((order_line *)loaded.lines.items)[0].quantity = 50;
  loaded.total_cents += 240;
  status = sv_lease_save(lease, &order_map, &loaded, NULL, &error);
  if (status != SV_OK) goto done;
  status = sv_lease_release(lease, NULL, &error);
  if (status != SV_OK) goto done;
  lease = NULL;

  /* A public load sees the committed record. */
  sv_get_opts public_read;
  sv_get_opts_init(&public_read);
  public_read.public_read = 1;
  sv_get_res_cleanup(&got);
  status = sv_load(client, key, &order_map, &committed, NULL, &public_read, &got, &error);
  if (status != SV_OK) goto done;
  printf("committed version %lld\n", (long long)got.version);
  print_order("committed order", &committed);
  if (!committed.paid || committed.total_cents != 2200 || committed.lines.count != 2 ||
      ((order_line *)committed.lines.items)[0].quantity != 50) {
    fprintf(stderr, "mapped_records: the committed order differs from the saved one\n");
    status = SV_ERR_PROTOCOL;
  }

done:
  if (status != SV_OK && error.code != 0) example_report("mapped_records", &error);
  sv_lease_close(lease);
  sv_get_res_cleanup(&got);
  brindle_cleanup(&order_map, &loaded);
  brindle_cleanup(&order_map, &committed);
  sv_client_close(client);
  sv_error_cleanup(&error);
  return status == SV_OK ? 0 : 1;
}
