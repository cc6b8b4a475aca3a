/* quickstart ENDPOINT BUNDLE [KEY]: takes a lease on KEY, writes a small JSON state under it and
 * releases the lease, which commits the write. Exits 0 when every step worked. */
#include <stavoc.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
  const char state[] = "{\"greeting\":\"hello from the quick start\",\"count\":1}";
  const char *step = "open the client";
  const char *endpoints[1];
  sv_client_config config;
  sv_acquire_req acquire;
  sv_client *client = NULL;
  sv_lease *lease = NULL;
  sv_source *source = NULL;
  sv_error error;
  int status;

  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: %s ENDPOINT BUNDLE [KEY]\n", argv[0]);
    return 2;
  }
  sv_error_init(&error);
  sv_client_config_init(&config);
  endpoints[0] = argv[1]; /* more endpoints would be tried in order */
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.client_bundle_path = argv[2]; /* client certificate, its key and the CA, in one PEM */
  status = sv_client_open(&config, &client, &error);
  if (status != SV_OK) goto done;

  step = "acquire";
  sv_acquire_req_init(&acquire);
  acquire.key = argc > 3 ? argv[3] : "quickstart/greeting";
  acquire.owner = "quickstart";
  acquire.ttl_seconds = 30;
  status = sv_acquire(client, &acquire, &lease, &error);
  if (status != SV_OK) goto done;
  printf("acquired %s: lease %s, fencing token %lld\n", lease->key, lease->lease_id,
         (long long)lease->fencing_token);

  step = "write the state";
  status = sv_source_from_memory(state, strlen(state), &source, &error);
  if (status == SV_OK) status = sv_lease_update(lease, source, NULL, &error);
  sv_source_close(source);
  if (status != SV_OK) goto done;
  printf("wrote %s (version %lld, staged until the release)\n", state, (long long)lease->version);

  step = "release";
  status = sv_lease_release(lease, NULL, &error); /* commits; frees the handle on success */
  if (status != SV_OK) goto done;
  lease = NULL;
  printf("released: the state is committed\n");

done:
  if (status != SV_OK) {
    fprintf(stderr, "quickstart: %s failed (status %d): %s", step, status,
            error.message != NULL ? error.message : "no message");
    if (error.detail != NULL) fprintf(stderr, " (%s)", error.detail);
    if (error.server_error_code != NULL) {
      fprintf(stderr, " [%s, HTTP %lld]", error.server_error_code, (long long)error.http_status);
    }
    fputc('\n', stderr);
  }
  sv_lease_close(lease); /* still set only after a failure: the lease then simply expires */
  sv_client_close(client);
  sv_error_cleanup(&error);
  return status == SV_OK ? 0 : 1;
}
