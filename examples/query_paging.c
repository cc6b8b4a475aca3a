/*
 * query_paging: queries over the committed state of a namespace. Writes a few dozen part
 * documents, then pages through a selector's matches five at a time (each page's rows stream
 * into a sink of our own as newline-delimited JSON) and runs the same selector in keys mode.
 *
 *   query_paging [--endpoint URL] [--bundle PATH] [--parts N]
 *
 * Exits 0 when both forms find every matching part exactly once.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "example_common.h"

/* A sink of our own: the first members are the sink's operations, then our counters. It
 * counts rows (one per line) and prints the first bytes of each page. */
typedef struct row_sink {
  sv_sink base;
  size_t rows;
  int printed;
} row_sink;

static int row_sink_write(sv_sink *sink, const char *bytes, size_t length, sv_error *error) {
  row_sink *self = (row_sink *)sink;
  (void)error;
  for (size_t i = 0; i < length; ++i)
    self->rows += bytes[i] == '\n';
  if (!self->printed && length > 0) {
    const char *end = memchr(bytes, '\n', length);
    printf("  first row: %.*s\n", (int)(end != NULL ? (size_t)(end - bytes) : length), bytes);
    self->printed = 1;
  }
  return 1;
}

static void row_sink_close(sv_sink *sink) {
  (void)sink; /* lives on the caller's stack */
}

/* Counts the keys of sv_query_keys; a key may arrive in several chunks. */
typedef struct key_count {
  size_t keys;
} key_count;

static int key_end(void *context, sv_error *error) {
  (void)error;
  ++((key_count *)context)->keys;
  return 1;
}

static int parse_parts(void *context, int argc, char **argv, int *index) {
  if (strcmp(argv[*index], "--parts") != 0 || *index + 1 >= argc) return 1;
  return example_parse_count(argv[++*index], 1, 10000, (int64_t *)context);
}

static int write_part(sv_client *client, int64_t n, sv_error *error) {
  char key[64], state[160];
  sv_lease *lease = NULL;
  sv_source *source = NULL;
  int status;
  snprintf(key, sizeof key, "examples/parts/%04lld", (long long)n);
  /* Every third part is in bin 2; the query below leaves those out. */
  const int length =
      snprintf(state, sizeof state, "{\"kind\":\"part\",\"bin\":%lld,\"weight_g\":%lld}",
               (long long)(n % 3), (long long)(10 + n));
  sv_acquire_req acquire;
  sv_acquire_req_init(&acquire);
  acquire.key = key;
  acquire.owner = "query-paging-example";
  acquire.ttl_seconds = 30;
  status = sv_acquire(client, &acquire, &lease, error);
  if (status != SV_OK) return status;
  status = sv_source_from_memory(state, (size_t)length, &source, error);
  if (status == SV_OK) status = sv_lease_update(lease, source, NULL, error);
  sv_source_close(source);
  /* Queries see committed state only, so release (commit) every part. */
  if (status == SV_OK) status = sv_lease_release(lease, NULL, error);
  if (status != SV_OK) sv_lease_close(lease);
  return status;
}

int main(int argc, char **argv) {
  int64_t parts = 23, expected = 0;
  example_options options;
  sv_client *client = NULL;
  sv_error error;
  char *cursor = NULL;
  size_t rows = 0, pages = 0;
  int status = example_parse_args(argc, argv, &options, parse_parts, &parts, "[--parts N]");
  if (status != 0) return status;
  if (example_open_client(&options, &client) != SV_OK) return 1;
  sv_error_init(&error);

  for (int64_t n = 0; n < parts && status == SV_OK; ++n) {
    status = write_part(client, n, &error);
    expected += n % 3 != 2;
  }
  if (status != SV_OK) goto done;
  printf("wrote %lld parts, %lld of them in bins 0 and 1\n", (long long)parts, (long long)expected);

  /* Documents, five per page: each answer carries the cursor of the next page. */
  sv_query_req req;
  sv_query_req_init(&req);
  req.selector_json = "{\"/kind\":\"part\",\"/bin\":{\"$lt\":2}}";
  req.limit = 5;
  for (;;) {
    row_sink sink = {{row_sink_write, row_sink_close}, 0, 0};
    sv_query_res page;
    memset(&page, 0, sizeof page);
    req.cursor = cursor;
    status = sv_query(client, &req, &sink.base, &page, &error);
    free(cursor);
    cursor = NULL;
    if (status != SV_OK) goto done;
    ++pages;
    rows += sink.rows;
    printf("page %zu: %zu rows%s\n", pages, sink.rows,
           page.cursor != NULL && page.cursor[0] != '\0' ? ", more follow" : ", last page");
    cursor = page.cursor; /* taken over from the page */
    page.cursor = NULL;
    sv_query_res_cleanup(&page);
    if (cursor == NULL || cursor[0] == '\0') break;
  }

  /* The same selector in keys mode, without a limit: one answer with every key. */
  key_count counted = {0};
  sv_query_key_handler handler;
  sv_query_key_handler_init(&handler);
  handler.end = key_end;
  sv_query_res keys_page;
  memset(&keys_page, 0, sizeof keys_page);
  req.limit = 0;
  req.cursor = NULL;
  status = sv_query_keys(client, &req, &handler, &counted, &keys_page, &error);
  sv_query_res_cleanup(&keys_page);
  if (status != SV_OK) goto done;

  printf("documents: %zu rows in %zu pages; keys: %zu; expected %lld\n", rows, pages, counted.keys,
         (long long)expected);
  if (rows != (size_t)expected || counted.keys != (size_t)expected) status = SV_ERR_PROTOCOL;

done:
  if (status != SV_OK && error.code != 0) example_report("query_paging", &error);
  free(cursor);
  sv_client_close(client);
  sv_error_cleanup(&error);
  return status == SV_OK ? 0 : 1;
}
