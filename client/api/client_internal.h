// The private state of a client handle and the pieces of the client shared between its source
// files. The handle a caller sees is the first member, so a client pointer converts both ways.
#ifndef STAVOC_API_CLIENT_INTERNAL_H
#define STAVOC_API_CLIENT_INTERNAL_H

#include "stavoc.h"
#include "stavoc_engine.h"

struct sv_client_impl {
  sv_client handle;  // method slots and the public view
  sv_engine_client *engine;
  char **endpoints;  // copies, endpoint_count entries
  size_t endpoint_count;
  char *unix_socket_path;
  char *bundle_bytes;  // the captured client bundle source, or NULL
  size_t bundle_length;
  char *client_bundle_path;
  char *default_namespace;  // handle.default_namespace points here
  int64_t timeout_ms;
  int32_t disable_mtls;
  int32_t insecure_skip_verify;
  int32_t prefer_http_2;
  uint64_t response_limit_bytes;
  int32_t disable_logger_sys_field;
  ember_logger *base_logger;  // the configured logger or the no-op logger; not owned
  ember_logger *logger;       // the engine client's logger; every client event goes here
  sv_allocator allocator;
  char *client_cert_path;
  char *client_key_path;
  char *ca_path;
  int64_t connect_timeout_ms;
  int64_t stream_idle_timeout_ms;
  int32_t trust_bundle_ca_only;
};

inline sv_client_impl *sv_client_impl_of(sv_client *client) noexcept {
  return reinterpret_cast<sv_client_impl *>(client);
}
inline const sv_client_impl *sv_client_impl_of(const sv_client *client) noexcept {
  return reinterpret_cast<const sv_client_impl *>(client);
}

// Refuses (SV_ERR_INVALID, naming the endpoint) an empty endpoint, one with a space or a control
// byte, a scheme other than http:// and https://, and text that is not a URL with a host. NULL
// endpoints are left to the engine.
int sv_check_client_endpoints(const char *const *endpoints, size_t count, sv_error *error) noexcept;

// Fills every method slot of a new client.
void sv_client_fill_methods(sv_client *client) noexcept;

// The consumer service's constructor slot (client/consumer).
int sv_client_new_consumer_service_method(sv_client *self, const sv_consumer_service_config *config,
                                          sv_consumer_service **out, sv_error *error) noexcept;

// The close method: closes the engine client and frees every copy and the handle.
void sv_client_close_method(sv_client *client) noexcept;

#endif
