/*
 * mutate_local: mutation expressions applied on the client. A plan is built from expressions
 * once and applied to a JSON document while it streams from one file into another, so documents
 * of any size need little memory. Through a lease, mutate_local reads the key's state, applies
 * the plan and uploads the result with the read state's ETag and version as preconditions.
 * Values can come from files: textfile: stores a file's text, base64file: its bytes as base64.
 *
 *   mutate_local [--endpoint URL] [--bundle PATH] [--key KEY]
 *
 * Prints the document before and after, offline and through a lease.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "example_common.h"

static int parse_key(void *context, int argc, char **argv, int *index) {
  if (strcmp(argv[*index], "--key") != 0 || *index + 1 >= argc) return 1;
  *(const char **)context = argv[++*index];
  return 0;
}

static int write_file(const char *dir, const char *name, const void *bytes, size_t length) {
  char path[512];
  FILE *file;
  snprintf(path, sizeof path, "%s/%s", dir, name);
  file = fopen(path, "wb");
  if (file == NULL) return 1;
  const int failed = fwrite(bytes, 1, length, file) != length;
  return fclose(file) != 0 || failed;
}

static void remove_file(const char *dir, const char *name) {
  char path[512];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  unlink(path);
}

/* Offline: build a plan and apply it to a document in a temporary file. */
static int mutate_offline(sv_error *error) {
  const char document[] = "{\"sku\":\"BOLT-M8\",\"stock\":120,\"reserved\":7,\"draft\":true}";
  const char *expressions[] = {"/stock=-20", "/reserved++", "rm:/draft",
                               "/location/{aisle=4,shelf=\"B\"}"};
  sv_mutation_plan *plan = NULL;
  FILE *input = tmpfile(), *result = NULL;
  char output[512];
  size_t length;
  int status;

  if (input == NULL || fputs(document, input) < 0) {
    if (input != NULL) fclose(input);
    return sv_error_set(error, SV_ERR_TRANSPORT, 0, "cannot write a temporary file", NULL, NULL,
                        NULL);
  }
  status = sv_mutation_plan_build(expressions, 4, NULL, &plan, error);
  if (status == SV_OK) {
    printf("plan of %zu mutations (the braces expand into two)\n", sv_mutation_plan_count(plan));
    status = sv_mutation_plan_apply(plan, input, &result, error);
  }
  if (status == SV_OK) {
    length = fread(output, 1, sizeof output - 1, result);
    output[length] = '\0';
    printf("offline before: %s\noffline after:  %s\n", document, output);
    fclose(result);
  }
  sv_mutation_plan_close(plan);
  fclose(input);
  return status;
}

/* Through a lease: state in, plan applied locally, result uploaded under the lease. */
static int mutate_through_lease(sv_client *client, const char *key, const char *files_dir,
                                sv_error *error) {
  const char state[] = "{\"shipment\":\"S-77\",\"count\":1,\"draft\":true}";
  const char *expressions[] = {"/count++",
                               "/status=shipped",
                               "rm:/draft",
                               "time:/shipped_at=2026-12-09T10:30:00+01:00",
                               "textfile:/notes=notes.txt",
                               "base64file:/label=label.bin"};
  sv_lease *lease = NULL;
  sv_source *source = NULL;
  sv_sink *sink = NULL;
  sv_get_res got;
  int status;

  memset(&got, 0, sizeof got);
  sv_acquire_req acquire;
  sv_acquire_req_init(&acquire);
  acquire.key = key;
  acquire.owner = "mutate-local-example";
  acquire.ttl_seconds = 30;
  status = sv_acquire(client, &acquire, &lease, error);
  if (status != SV_OK) return status;
  status = sv_source_from_memory(state, strlen(state), &source, error);
  if (status == SV_OK) status = sv_lease_update(lease, source, NULL, error);
  sv_source_close(source);

  if (status == SV_OK) {
    sv_mutate_local_req req;
    sv_mutate_local_req_init(&req);
    req.mutations = expressions;
    req.mutation_count = sizeof expressions / sizeof expressions[0];
    req.file_value_base_dir = files_dir; /* relative file paths resolve here */
    status = sv_lease_mutate_local(lease, &req, error);
  }
  if (status == SV_OK) {
    printf("mutated locally and uploaded: version %lld\n", (long long)lease->version);
    status = sv_lease_release(lease, NULL, error);
    if (status == SV_OK) lease = NULL;
  }
  if (status == SV_OK) status = sv_sink_to_memory(&sink, error);
  if (status == SV_OK) {
    sv_get_opts opts;
    sv_get_opts_init(&opts);
    opts.public_read = 1;
    status = sv_get(client, key, &opts, sink, &got, error);
  }
  if (status == SV_OK) {
    const char *bytes = NULL;
    size_t length = 0;
    sv_sink_memory_bytes(sink, &bytes, &length);
    printf("lease before: %s\nlease after:  %.*s\n", state, (int)length, bytes ? bytes : "");
  }
  sv_get_res_cleanup(&got);
  sv_sink_close(sink);
  sv_lease_close(lease);
  return status;
}

int main(int argc, char **argv) {
  const char *key = "examples/shipments/S-77";
  const unsigned char label[] = {0x89, 'P', 'N', 'G', 0x00, 0xff};
  const char notes[] = "fragile: keep upright";
  char files_dir[] = "/tmp/stavo-mutate-example-XXXXXX";
  example_options options;
  sv_client *client = NULL;
  sv_error error;
  int status = example_parse_args(argc, argv, &options, parse_key, &key, "[--key KEY]");
  if (status != 0) return status;
  sv_error_init(&error);

  status = mutate_offline(&error);
  if (status == SV_OK && mkdtemp(files_dir) == NULL) {
    status = sv_error_set(&error, SV_ERR_TRANSPORT, 0, "mkdtemp failed", NULL, NULL, NULL);
  } else if (status == SV_OK) {
    if (write_file(files_dir, "notes.txt", notes, strlen(notes)) != 0 ||
        write_file(files_dir, "label.bin", label, sizeof label) != 0) {
      status =
          sv_error_set(&error, SV_ERR_TRANSPORT, 0, "cannot write value files", NULL, NULL, NULL);
    } else if (example_open_client(&options, &client) != SV_OK) {
      status = SV_ERR_TRANSPORT;
    } else {
      status = mutate_through_lease(client, key, files_dir, &error);
    }
    remove_file(files_dir, "notes.txt");
    remove_file(files_dir, "label.bin");
    rmdir(files_dir);
  }

  if (status != SV_OK && error.code != 0) example_report("mutate_local", &error);
  sv_client_close(client);
  sv_error_cleanup(&error);
  return status == SV_OK ? 0 : 1;
}
