// The endpoint groups of the /v1/ API. Each group registers its routes; later groups (queues,
// query, administration) add a file and a line in http_server.cpp.
#pragma once

#include <string>
#include <vector>

#include "devserver/server.h"
#include "exchange.h"
#include "store.h"

namespace stavo::devserver {

struct EndpointContext {
  Store &store;
  const ServerOptions &options;
};

struct Route {
  std::string method;
  std::string path;
  Handler handler;
};
using Routes = std::vector<Route>;

void add_lease_endpoints(Routes &routes, EndpointContext &context);  // acquire, keepalive, ...
void add_state_endpoints(Routes &routes, EndpointContext &context);  // get, update, mutate, ...
void add_attachment_endpoints(Routes &routes, EndpointContext &context);  // attachments
// query, namespace configuration, index flush, transactions, coordinator (admin_state.h)
void add_admin_endpoints(Routes &routes, EndpointContext &context);

// Seconds since the epoch for a millisecond time (rounded down).
inline int64_t unix_seconds(int64_t ms) {
  return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

}  // namespace stavo::devserver
