/*
 * What every example shares: where the server is and how to reach it, and how to print a
 * failure. Each example takes
 *
 *   --endpoint URL    the server (env STAVO_ENDPOINT; default http://127.0.0.1:7380)
 *   --bundle PATH     the PEM client bundle for mutual TLS (env STAVO_CLIENT_BUNDLE); without
 *                     one the client connects without a certificate (plain HTTP)
 *   --namespace NS    the namespace to work in (env STAVO_NAMESPACE; default "default")
 *   --reuse-connections   keep one pool of connections and TLS sessions for all calls
 *
 * and passes any other argument to its own parser.
 */
#ifndef STAVO_EXAMPLE_COMMON_H
#define STAVO_EXAMPLE_COMMON_H

#include <stavoc.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct example_options {
  const char *endpoint;
  const char *bundle;
  const char *namespace_name;
  int reuse_connections;
  int64_t timeout_ms;             /* 0: the client's default */
  int64_t stream_idle_timeout_ms; /* 0: streams have no idle bound */
  ember_logger *logger;           /* NULL: the client logs nothing */
} example_options;

/* Called for every argument the common parser does not know; *index points at it and may be
 * advanced past a value. Returns 0 when the argument is accepted. */
typedef int (*example_arg_fn)(void *context, int argc, char **argv, int *index);

/* Fills options from the environment, then from argv. Returns 0, or 2 after printing a usage
 * line for a bad argument. */
int example_parse_args(int argc, char **argv, example_options *options, example_arg_fn extra,
                       void *extra_context, const char *usage);

/* Opens a client for the options (the caller closes it). Prints the error and returns its code
 * on failure. */
int example_open_client(const example_options *options, sv_client **out);

/* Prints "what: message (detail) [server code, HTTP status]" to stderr and returns the code
 * (SV_ERR_TRANSPORT when the record holds none). */
int example_report(const char *what, const sv_error *error);

/* Strict base-10 parse of an argument value; 0 on success. */
int example_parse_count(const char *text, int64_t min, int64_t max, int64_t *out);

#ifdef __cplusplus
}
#endif

#endif /* STAVO_EXAMPLE_COMMON_H */
