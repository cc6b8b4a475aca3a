#include "admin_state.h"

#include <memory>

namespace stavo::devserver {

NamespaceConfig namespace_config(AdminState &state, const std::string &ns) {
  std::lock_guard<std::mutex> guard(state.mutex);
  auto it = state.namespaces.find(ns);
  return it == state.namespaces.end() ? NamespaceConfig{} : it->second;
}

int64_t namespace_index_seq(Store &store, Store::Lock &lock, const std::string &ns) {
  int64_t sum = 0;
  store.for_each_key(lock, ns, "", [&sum](const std::string &, const KeyRecord &record) {
    if (__builtin_add_overflow(sum, record.commits, &sum)) sum = INT64_MAX;
    return true;
  });
  return sum;
}

std::optional<Reply> member_count(const json &body, const char *name, bool required, int64_t &out) {
  if (auto f = member_int(body, name, required, out)) return f;
  if (out < 0) {
    return error_reply(400, "invalid_field", std::string("'") + name + "' must not be negative");
  }
  return std::nullopt;
}

void add_admin_endpoints(Routes &routes, EndpointContext &context) {
  // Owned by the route handlers, which live as long as the server.
  auto state = std::make_shared<AdminState>();
  size_t first = routes.size();
  add_query_endpoints(routes, context, *state);
  add_namespace_endpoints(routes, context, *state);
  add_txn_endpoints(routes, context, *state);
  add_coordinator_endpoints(routes, context, *state);
  for (size_t i = first; i < routes.size(); ++i) {
    routes[i].handler = [state, inner = std::move(routes[i].handler)](Call &call) {
      return inner(call);
    };
  }
}

}  // namespace stavo::devserver
