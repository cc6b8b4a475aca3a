/*
 * lease_state: the life of one lease. Acquire a lease on a key, write the key's JSON state
 * under it, read it back, extend the lease, release it (which commits the write), and read the
 * committed state without a lease.
 *
 *   lease_state [--endpoint URL] [--bundle PATH] [--key KEY]
 *
 * Prints the state it read back and exits 0 when every step worked.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>

#include "example_common.h"

static int parse_key(void *context, int argc, char **argv, int *index) {
  if (strcmp(argv[*index], "--key") != 0 || *index + 1 >= argc) return 1;
  *(const char **)context = argv[++*index];
  return 0;
}

/* Streams the key's state into a memory sink and prints it. A lease read (lease != NULL) sees
 * the lease's own staged writes; a public read sees only what was committed. */
static int print_state(sv_client *client, sv_lease *lease, const char *key, const char *label) {
  sv_sink *sink = NULL;
  sv_get_res got;
  sv_error error;
  int status;

  memset(&got, 0, sizeof got);
  sv_error_init(&error);
  status = sv_sink_to_memory(&sink, &error);
  if (status == SV_OK) {
    if (lease != NULL) {
      status = sv_lease_get(lease, sink, NULL, &got, &error);
    } else {
      sv_get_opts opts;
      sv_get_opts_init(&opts);
      opts.public_read = 1;
      status = sv_get(client, key, &opts, sink, &got, &error);
    }
  }
  if (status == SV_OK) {
    const char *bytes = NULL;
    size_t length = 0;
    sv_sink_memory_bytes(sink, &bytes, &length);
    printf("%s: version %lld, %s\n  %.*s\n", label, (long long)got.version,
           got.no_content ? "no state" : got.etag, (int)length, bytes != NULL ? bytes : "");
  } else {
    example_report(label, &error);
  }
  sv_get_res_cleanup(&got);
  sv_sink_close(sink);
  sv_error_cleanup(&error);
  return status;
}

int main(int argc, char **argv) {
  const char *key = "examples/lease-state";
  const char state[] = "{\"status\":\"packing\",\"items\":3,\"carrier\":\"rail\"}";
  example_options options;
  sv_client *client = NULL;
  sv_lease *lease = NULL;
  sv_source *source = NULL;
  sv_error error;
  int status = example_parse_args(argc, argv, &options, parse_key, &key, "[--key KEY]");
  if (status != 0) return status;
  if (example_open_client(&options, &client) != SV_OK) return 1;
  sv_error_init(&error);

  /* 1. Acquire: the lease is ours for ttl_seconds; the fencing token grows with every lease on
   *    the key, so a server can refuse writes from an older holder. */
  sv_acquire_req acquire;
  sv_acquire_req_init(&acquire);
  acquire.key = key;
  acquire.owner = "lease-state-example";
  acquire.ttl_seconds = 30;
  acquire.block_seconds = 10; /* wait up to 10 s if someone else holds it */
  status = sv_acquire(client, &acquire, &lease, &error);
  if (status != SV_OK) goto done;
  printf("acquired %s: lease %s, fencing token %lld, version %lld\n", lease->key, lease->lease_id,
         (long long)lease->fencing_token, (long long)lease->version);

  /* 2. Write the state from a memory source. The write is staged until the release. */
  status = sv_source_from_memory(state, strlen(state), &source, &error);
  if (status == SV_OK) status = sv_lease_update(lease, source, NULL, &error);
  sv_source_close(source);
  if (status != SV_OK) goto done;
  printf("updated: version %lld, etag %s\n", (long long)lease->version, lease->state_etag);

  /* 3. Read it back through the lease, and extend the lease by another 30 s. */
  status = print_state(client, lease, key, "lease read");
  if (status != SV_OK) goto done;
  sv_keepalive_req keepalive;
  sv_keepalive_req_init(&keepalive);
  keepalive.ttl_seconds = 30;
  status = sv_lease_keepalive(lease, &keepalive, &error);
  if (status != SV_OK) goto done;
  printf("keepalive: lease now ends at %lld\n", (long long)lease->expires_at_unix);

  /* 4. Release commits the staged write. On success the handle is gone. */
  status = sv_lease_release(lease, NULL, &error);
  if (status != SV_OK) goto done;
  lease = NULL;
  printf("released\n");

  /* 5. Anyone can now read the committed state without a lease. */
  status = print_state(client, NULL, key, "public read");

done:
  if (status != SV_OK && error.code != 0) example_report("lease_state", &error);
  sv_lease_close(lease); /* only still set after a failure; the lease then simply expires */
  sv_client_close(client);
  sv_error_cleanup(&error);
  return status == SV_OK ? 0 : 1;
}
