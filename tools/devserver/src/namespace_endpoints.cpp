// GET/PUT /v1/namespace (the query engines of a namespace) and POST /v1/index/flush.
#include "admin_state.h"
#include "lease_guard.h"

namespace stavo::devserver {

namespace {

json config_body(const std::string &ns, const NamespaceConfig &config) {
  return {{"namespace", ns},
          {"query",
           {{"preferred_engine", config.preferred_engine},
            {"fallback_engine", config.fallback_engine}}}};
}

Reply get_config(AdminState &state, Call &call) {
  std::string ns = effective_namespace(call.param("namespace").value_or(""));
  return json_reply(config_body(ns, namespace_config(state, ns)));
}

// An engine member: absent, null or "" leaves the value as it is.
std::optional<Reply> engine_member(const json &query, const char *name, std::string &out) {
  std::string value;
  if (auto f = member_string(query, name, false, value)) return f;
  if (value.empty()) return std::nullopt;
  if (value != "index" && value != "scan") {
    return error_reply(
        400, "invalid_engine",
        std::string("'query.") + name + "' must be \"index\" or \"scan\", got '" + value + "'");
  }
  out = value;
  return std::nullopt;
}

Reply put_config(EndpointContext &ctx, AdminState &state, Call &call) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string ns;
  if (auto f = member_string(body, "namespace", false, ns)) return *f;
  if (ns.empty()) ns = call.param("namespace").value_or("");
  ns = effective_namespace(ns);
  std::lock_guard<std::mutex> guard(state.mutex);
  auto it = state.namespaces.find(ns);
  NamespaceConfig config = it == state.namespaces.end() ? NamespaceConfig{} : it->second;
  auto query = body.find("query");
  if (query != body.end() && !query->is_null()) {
    if (!query->is_object()) return error_reply(400, "invalid_field", "'query' must be an object");
    if (auto f = engine_member(*query, "preferred_engine", config.preferred_engine)) return *f;
    if (auto f = engine_member(*query, "fallback_engine", config.fallback_engine)) return *f;
  }
  state.namespaces[ns] = config;
  return json_reply(config_body(ns, config));
}

Reply flush(EndpointContext &ctx, AdminState &state, Call &call) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string ns, mode;
  if (auto f = member_string(body, "namespace", false, ns)) return *f;
  if (auto f = member_string(body, "mode", false, mode)) return *f;
  ns = effective_namespace(ns);
  if (mode.empty()) mode = "sync";
  if (mode != "sync" && mode != "async") {
    return error_reply(400, "invalid_mode",
                       "'mode' must be \"sync\" or \"async\", got '" + mode + "'");
  }
  int64_t flush_number = 0;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    flush_number = ++state.flush_counter;
  }
  int64_t index_seq = 0;
  {
    auto lock = ctx.store.lock();
    index_seq = namespace_index_seq(ctx.store, lock, ns);
  }
  // The index is always current: a sync flush has nothing to wait for, an async one is
  // accepted and leaves nothing pending.
  bool sync = mode == "sync";
  json out = {{"namespace", ns},
              {"mode", mode},
              {"flush_id", "flush-" + std::to_string(flush_number)},
              {"accepted", true},
              {"flushed", sync},
              {"pending", false},
              {"index_seq", index_seq}};
  return json_reply(out, sync ? 200 : 202);
}

}  // namespace

void add_namespace_endpoints(Routes &routes, EndpointContext &ctx, AdminState &state) {
  routes.push_back(
      {"GET", "/v1/namespace", [&state](Call &call) { return get_config(state, call); }});
  routes.push_back({"PUT", "/v1/namespace",
                    [&ctx, &state](Call &call) { return put_config(ctx, state, call); }});
  routes.push_back(
      {"POST", "/v1/index/flush", [&ctx, &state](Call &call) { return flush(ctx, state, call); }});
}

}  // namespace stavo::devserver
