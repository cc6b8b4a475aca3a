// Request URLs (endpoint plus path, with a scheme for bare host:port endpoints) and the joined
// endpoint list used in logs (and the log line of the order a call walks them in).
#include <cstdlib>
#include <cstring>

#include "engine_internal.h"
#include "sv_log.h"
#include "transfer_core.h"

extern "C" {

SV_API int sv_engine_build_url(const sv_engine_client *client, const char *endpoint,
                               const char *path, sv_engine_buffer *buffer) noexcept {
  if (client == nullptr || endpoint == nullptr || path == nullptr || buffer == nullptr) {
    return SV_ERR_INVALID;
  }
  buffer->length = 0;
  if (buffer->data != nullptr) buffer->data[0] = '\0';
  int status = SV_OK;
  if (std::strstr(endpoint, "://") == nullptr) {
    status =
        sv_engine_buffer_append_cstr(buffer, client->disable_mtls != 0 ? "http://" : "https://");
  }
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(buffer, endpoint);
  if (status == SV_OK) status = sv_engine_buffer_append_cstr(buffer, path);
  return status;
}

SV_API char *sv_engine_join_endpoints(const sv_engine_client *client) noexcept {
  if (client == nullptr || client->endpoints == nullptr || client->endpoint_count == 0) {
    return nullptr;
  }
  size_t total = 0;
  for (size_t i = 0; i < client->endpoint_count; ++i) {
    const char *endpoint = client->endpoints[i] != nullptr ? client->endpoints[i] : "";
    total += std::strlen(endpoint) + 1;  // the separator, or the terminator after the last
  }
  auto *joined = static_cast<char *>(std::malloc(total));
  if (joined == nullptr) return nullptr;
  size_t position = 0;
  for (size_t i = 0; i < client->endpoint_count; ++i) {
    const char *endpoint = client->endpoints[i] != nullptr ? client->endpoints[i] : "";
    const size_t length = std::strlen(endpoint);
    if (i > 0) joined[position++] = ',';
    std::memcpy(joined + position, endpoint, length);
    position += length;
  }
  joined[position] = '\0';
  return joined;
}

}  // extern "C"

void sv_engine_transfer_log_order(const sv_engine_client *client, const char *method,
                                  const char *path) noexcept {
  char *joined = sv_engine_join_endpoints(client);
  const ember_field order[] = {
      sv_log_str_field("method", method),
      sv_log_str_field("path", path),
      sv_log_str_field("endpoints", joined),
  };
  sv_log_trace(sv_engine_client_logger(client), "client.http.order", order, 3);
  std::free(joined);
}
