#define _POSIX_C_SOURCE 200809L

#include "example_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *env_or(const char *name, const char *fallback) {
  const char *value = getenv(name);
  return value != NULL && value[0] != '\0' ? value : fallback;
}

int example_parse_args(int argc, char **argv, example_options *options, example_arg_fn extra,
                       void *extra_context, const char *usage) {
  memset(options, 0, sizeof *options);
  options->endpoint = env_or("STAVO_ENDPOINT", "http://127.0.0.1:7380");
  options->bundle = env_or("STAVO_CLIENT_BUNDLE", NULL);
  options->namespace_name = env_or("STAVO_NAMESPACE", NULL);
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    const int has_value = i + 1 < argc;
    if (strcmp(arg, "--endpoint") == 0 && has_value) {
      options->endpoint = argv[++i];
    } else if (strcmp(arg, "--bundle") == 0 && has_value) {
      options->bundle = argv[++i];
    } else if (strcmp(arg, "--namespace") == 0 && has_value) {
      options->namespace_name = argv[++i];
    } else if (strcmp(arg, "--reuse-connections") == 0) {
      options->reuse_connections = 1;
    } else if (extra == NULL || extra(extra_context, argc, argv, &i) != 0) {
      fprintf(stderr,
              "%s: bad argument '%s'\nusage: %s [--endpoint URL] [--bundle PATH] "
              "[--namespace NS] [--reuse-connections]%s%s\n",
              argv[0], arg, argv[0], usage != NULL ? " " : "", usage != NULL ? usage : "");
      return 2;
    }
  }
  return 0;
}

int example_open_client(const example_options *options, sv_client **out) {
  const char *endpoints[1];
  sv_client_config config;
  sv_error error;
  int status;

  endpoints[0] = options->endpoint;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.default_namespace = options->namespace_name;
  config.reuse_connections = options->reuse_connections;
  if (options->timeout_ms > 0) config.timeout_ms = options->timeout_ms;
  if (options->stream_idle_timeout_ms > 0) {
    config.stream_idle_timeout_ms = options->stream_idle_timeout_ms;
  }
  config.logger = options->logger;
  if (options->bundle != NULL) {
    /* The bundle holds our certificate, its key and the CA that signed the server. */
    config.client_bundle_path = options->bundle;
  } else {
    config.disable_mtls = 1;
  }
  sv_error_init(&error);
  status = sv_client_open(&config, out, &error);
  if (status != SV_OK) example_report("open client", &error);
  sv_error_cleanup(&error);
  return status;
}

int example_report(const char *what, const sv_error *error) {
  const int code = error != NULL && error->code != 0 ? error->code : SV_ERR_TRANSPORT;
  fflush(stdout); /* keep the transcript in order when both go to one terminal */
  fprintf(stderr, "%s failed: %s", what,
          error != NULL && error->message != NULL ? error->message : "unknown error");
  if (error != NULL && error->detail != NULL) fprintf(stderr, " (%s)", error->detail);
  if (error != NULL && error->server_error_code != NULL) {
    fprintf(stderr, " [%s, HTTP %lld]", error->server_error_code, (long long)error->http_status);
  }
  fputc('\n', stderr);
  return code;
}

int example_parse_count(const char *text, int64_t min, int64_t max, int64_t *out) {
  int64_t value = 0;
  if (text == NULL || !sv_i64_parse_base10(text, &value) || value < min || value > max) return 1;
  *out = value;
  return 0;
}
