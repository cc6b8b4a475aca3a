/* A program built against the installed libraries as a user builds it, through the public header
 * and calling libstavoc only: linked with --as-needed it records libstavoc alone, so it runs only
 * when the installed libstavoc finds its own libbrindle and libember. */
#include <stavoc.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char text[32];
  int64_t value = 0;
  sv_error error;
  sv_source *source = NULL;
  sv_sink *sink = NULL;
  const char *bytes = NULL;
  size_t length = 0;
  uint64_t copied = 0;
  const char *endpoints[] = {"http://127.0.0.1:1"};
  sv_client_config config;
  sv_client *client = NULL;

  if (strcmp(sv_version_string(), "0.7.0") != 0) return 1;
  if (sv_i64_format_base10(-42, text, sizeof(text)) != 3) return 2;
  if (!sv_i64_parse_base10(text, &value) || value != -42) return 3;
  sv_error_init(&error);
  if (sv_source_from_memory("consumer", 8, &source, &error) != SV_OK) return 4;
  if (sv_sink_to_memory(&sink, &error) != SV_OK) return 5;
  if (sv_copy(source, sink, &copied, &error) != SV_OK || copied != 8) return 6;
  if (sv_sink_memory_bytes(sink, &bytes, &length) != SV_OK || length != 8) return 7;
  if (memcmp(bytes, "consumer", 8) != 0) return 8;
  source->close(source);
  sink->close(sink);
  /* Opening a client contacts no server. */
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.disable_mtls = 1;
  if (sv_client_open(&config, &client, &error) != SV_OK) return 9;
  sv_client_close(client);
  sv_error_cleanup(&error);
  printf("consumer ok: libstavoc %s\n", sv_version_string());
  return 0;
}
