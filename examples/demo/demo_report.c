/* What the demo reports: the queue's head while it runs, and the totals at the end. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "demo.h"

double demo_elapsed(const demo_run *run) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)(now.tv_sec - run->started.tv_sec) +
         (double)(now.tv_nsec - run->started.tv_nsec) / 1e9;
}

/* ---- Queue watch ------------------------------------------------------------------------- */

/* Every change of the queue's head arrives here; main prints the latest with its progress. */
static int on_watch_event(void *context, const sv_watch_event *event, sv_error *error) {
  demo_run *run = context;
  int go_on;
  (void)error;
  pthread_mutex_lock(&run->mutex);
  ++run->watch_events;
  run->watch_available = event->available;
  snprintf(run->watch_head, sizeof run->watch_head, "%s",
           event->head_message_id != NULL ? event->head_message_id : "");
  go_on = !run->watch_stop;
  pthread_mutex_unlock(&run->mutex);
  return go_on; /* 0 ends the watch */
}

/* The watch has its own client with a short idle bound: a watch stream runs until the server
 * ends it, so on a quiet queue the bound ends it after a couple of seconds of silence, and the
 * thread re-opens it and can notice the end of the run in between. */
void *demo_watch_main(void *argument) {
  demo_run *run = argument;
  example_options options = run->options;
  sv_client *client = NULL;
  sv_watch_queue_req req;
  sv_watch_handler handler;
  options.stream_idle_timeout_ms = 2000;
  if (example_open_client(&options, &client) != SV_OK) return NULL;
  sv_watch_queue_req_init(&req);
  req.queue = run->queue;
  sv_watch_handler_init(&handler);
  handler.handle = on_watch_event;
  handler.context = run;
  for (;;) {
    sv_error error;
    pthread_mutex_lock(&run->mutex);
    const int stop = run->watch_stop;
    pthread_mutex_unlock(&run->mutex);
    if (stop) break;
    sv_error_init(&error);
    /* Ends with a transport error when the idle bound cuts the stream: expected, go again. */
    if (sv_watch_queue(client, &req, &handler, &error) != SV_OK && error.code != SV_ERR_TRANSPORT) {
      example_report("watch queue", &error);
      sv_error_cleanup(&error);
      break;
    }
    sv_error_cleanup(&error);
    struct timespec pause = {0, 100 * 1000 * 1000}; /* no busy loop while the server is away */
    nanosleep(&pause, NULL);
  }
  sv_client_close(client);
  return NULL;
}

/* ---- The final check ------------------------------------------------------------------- */

/* One line of the query's newline-delimited answer. The document is kept as JSON text and
 * parsed into a demo_inventory afterwards: a nested record member is initialised afresh when its
 * object opens, which would drop the capture set up on its applied member. */
typedef struct inventory_row {
  char key[64];
  int64_t version;
  brindle_json_value document;
} inventory_row;

static const brindle_field row_fields[] = {
    BRINDLE_DECL_FIXED_STRING(inventory_row, key, "key", BRINDLE_FIELD_REQUIRED,
                              BRINDLE_OVERFLOW_FAIL),
    BRINDLE_DECL_I64(inventory_row, version, "version", 0),
    BRINDLE_DECL_JSON_VALUE(inventory_row, document, "document", BRINDLE_FIELD_REQUIRED),
};
static const brindle_map row_map =
    BRINDLE_MAP("demo_inventory_row_json", inventory_row, row_fields);

typedef struct totals {
  int rows;
  int mismatches;
  int64_t orders, units;
  int seen[DEMO_SKU_COUNT];
} totals;

static int sku_index(const char *sku) {
  for (int i = 0; i < DEMO_SKU_COUNT; ++i) {
    if (strcmp(demo_skus[i], sku) == 0) return i;
  }
  return -1;
}

/* Checks one inventory document against what the producer enqueued. */
static int check_row(demo_run *run, const char *line, size_t length, totals *sum) {
  inventory_row row;
  demo_inventory document;
  brindle_parse_options parse = brindle_default_parse_options();
  brindle_error parse_error;
  size_t applied = 0;
  int ok = 1, index;

  brindle_error_init(&parse_error);
  brindle_init(&row_map, &row);
  parse.clear_destination = 0; /* keep the captures set up before the parse */
  if (brindle_json_value_enable_parse_capture(&row.document, NULL) != BRINDLE_OK ||
      demo_inventory_prepare(&document) != 0 ||
      brindle_parse_buffer(&row_map, &row, line, length, &parse, &parse_error) != BRINDLE_OK ||
      brindle_parse_buffer(&demo_inventory_map, &document, row.document.buffer, row.document.length,
                           &parse, &parse_error) != BRINDLE_OK ||
      demo_applied_scan(&document.applied, NULL, &applied, NULL) != 0) {
    printf("  unreadable row (%s): %.*s\n", parse_error.message, (int)length, line);
    brindle_cleanup(&row_map, &row);
    brindle_cleanup(&demo_inventory_map, &document);
    return 1;
  }
  index = sku_index(document.sku);
  const int64_t want_orders = index >= 0 ? run->expected_orders[index] : -1;
  const int64_t want_units = index >= 0 ? run->expected_units[index] : -1;
  ok = index >= 0 && !sum->seen[index] && document.orders == want_orders &&
       document.units_shipped == want_units && document.stock == DEMO_INITIAL_STOCK - want_units &&
       (int64_t)applied == want_orders;
  if (index >= 0) sum->seen[index] = 1;
  printf("  %-10s %7lld %7lld %8lld %8zu %8lld  %-12s %s\n", document.sku,
         (long long)document.orders, (long long)document.units_shipped, (long long)document.stock,
         applied, (long long)row.version, document.last_packer, ok ? "ok" : "MISMATCH");
  if (!ok) {
    printf("    expected %lld orders, %lld units, stock %lld\n", (long long)want_orders,
           (long long)want_units, (long long)(DEMO_INITIAL_STOCK - want_units));
  }
  sum->rows += 1;
  sum->orders += document.orders;
  sum->units += document.units_shipped;
  brindle_cleanup(&row_map, &row);
  brindle_cleanup(&demo_inventory_map, &document);
  return ok ? 0 : 1;
}

/* Queries every inventory key, five rows per page, and checks each against the producer's
 * counts. Returns SV_OK when they all agree, SV_ERR_PROTOCOL when they do not. */
int demo_check_totals(demo_run *run, sv_client *client, sv_error *error) {
  sv_query_req req;
  char *cursor = NULL;
  totals sum;
  int pages = 0, status = SV_OK;
  int64_t want_units = 0;

  memset(&sum, 0, sizeof sum);
  sv_query_req_init(&req);
  req.selector_json = "{\"/kind\":\"inventory\"}";
  req.limit = 5;
  printf("  %-10s %7s %7s %8s %8s %8s  %-12s %s\n", "sku", "orders", "units", "stock", "applied",
         "version", "last packer", "check");
  do {
    sv_sink *rows = NULL;
    sv_query_res page;
    const char *bytes = NULL;
    size_t length = 0;
    memset(&page, 0, sizeof page);
    req.cursor = cursor;
    status = sv_sink_to_memory(&rows, error);
    if (status == SV_OK) status = sv_query(client, &req, rows, &page, error);
    free(cursor);
    cursor = NULL;
    if (status == SV_OK) {
      ++pages;
      sv_sink_memory_bytes(rows, &bytes, &length);
      while (length > 0) {
        const char *end = memchr(bytes, '\n', length);
        const size_t line = end != NULL ? (size_t)(end - bytes) : length;
        if (line > 0) sum.mismatches += check_row(run, bytes, line, &sum);
        bytes += line + (end != NULL);
        length -= line + (end != NULL);
      }
      if (page.cursor != NULL && page.cursor[0] != '\0') {
        cursor = page.cursor; /* the next page starts after this one */
        page.cursor = NULL;
      }
    }
    sv_query_res_cleanup(&page);
    sv_sink_close(rows);
  } while (status == SV_OK && cursor != NULL);
  free(cursor);
  if (status != SV_OK) return status;

  for (int i = 0; i < DEMO_SKU_COUNT; ++i)
    want_units += run->expected_units[i];
  printf(
      "  query: %d inventory keys in %d pages; %lld orders and %lld units counted, "
      "%lld and %lld enqueued\n",
      sum.rows, pages, (long long)sum.orders, (long long)sum.units, (long long)run->order_count,
      (long long)want_units);
  if (sum.mismatches != 0 || sum.rows != DEMO_SKU_COUNT || sum.orders != run->order_count ||
      sum.units != want_units) {
    return sv_error_set(error, SV_ERR_PROTOCOL, 0, "inventory totals disagree with the orders",
                        NULL, NULL, NULL);
  }
  return SV_OK;
}
