// The transaction coordinator: the leader lease with terms (/v1/tc/lease/*, /v1/tc/leader),
// cluster membership (/v1/tc/cluster/*) and resource managers (/v1/tc/rm/*). Times come from the
// virtual clock.
#include <algorithm>
#include <cctype>

#include "admin_state.h"

namespace stavo::devserver {

namespace {

// Members leave the cluster this long after their last announce.
constexpr int64_t kMemberTtlMs = 30000;

bool leader_live(const AdminState &state, int64_t now_ms) {
  return state.leader && now_ms < state.leader->expires_ms;
}

json lease_body(const AdminState &state, int64_t now_ms, std::optional<bool> granted) {
  json out = json::object();
  if (granted) out["granted"] = *granted;
  bool live = leader_live(state, now_ms);
  out["leader_id"] = live ? state.leader->leader_id : "";
  out["leader_endpoint"] = live ? state.leader->leader_endpoint : "";
  out["term"] = state.term;
  out["expires_at"] = live ? state.leader->expires_ms : 0;
  return out;
}

// Adds a duration to a time without overflow (durations are at most a year).
int64_t later(int64_t now_ms, int64_t ttl_ms) {
  int64_t out = 0;
  return __builtin_add_overflow(now_ms, ttl_ms, &out) ? INT64_MAX : out;
}

Reply lease_acquire(EndpointContext &ctx, AdminState &state, Call &call) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string candidate, endpoint;
  int64_t term = 0, ttl_ms = 0;
  if (auto f = member_string(body, "candidate_id", true, candidate)) return *f;
  if (auto f = member_string(body, "candidate_endpoint", false, endpoint)) return *f;
  if (auto f = member_count(body, "term", true, term)) return *f;
  if (auto f = member_duration_ms(body, "ttl_ms", ttl_ms, true)) return *f;
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  bool live = leader_live(state, now);
  bool same_leader = live && state.leader->leader_id == candidate && term == state.term;
  if (term < state.term || (live && !same_leader)) {
    return json_reply(lease_body(state, now, false));
  }
  // A new leadership always starts a new term: the candidate's, or the next one.
  if (!same_leader) state.term = term > state.term ? term : state.term + 1;
  state.leader = LeaderLease{candidate, endpoint, later(now, ttl_ms)};
  return json_reply(lease_body(state, now, true));
}

Reply lease_renew(EndpointContext &ctx, AdminState &state, Call &call) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string leader;
  int64_t term = 0, ttl_ms = 0;
  if (auto f = member_string(body, "leader_id", true, leader)) return *f;
  if (auto f = member_count(body, "term", true, term)) return *f;
  if (auto f = member_duration_ms(body, "ttl_ms", ttl_ms, true)) return *f;
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!leader_live(state, now) || state.leader->leader_id != leader || term != state.term) {
    return json_reply(lease_body(state, now, false));
  }
  state.leader->expires_ms = later(now, ttl_ms);
  return json_reply(lease_body(state, now, true));
}

Reply lease_release(EndpointContext &ctx, AdminState &state, Call &call) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string leader;
  int64_t term = 0;
  if (auto f = member_string(body, "leader_id", true, leader)) return *f;
  if (auto f = member_count(body, "term", true, term)) return *f;
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  bool released =
      leader_live(state, now) && state.leader->leader_id == leader && term == state.term;
  if (released) state.leader.reset();
  return json_reply({{"released", released}, {"term", state.term}});
}

Reply leader(EndpointContext &ctx, AdminState &state) {
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  return json_reply(lease_body(state, now, std::nullopt));
}

// Drops the members whose announce ran out; the membership changed when the last one did.
void expire_members(AdminState &state, int64_t now_ms) {
  for (auto it = state.members.begin(); it != state.members.end();) {
    if (now_ms < it->second.expires_ms) {
      ++it;
      continue;
    }
    state.members_updated_ms = std::max(state.members_updated_ms, it->second.expires_ms);
    it = state.members.erase(it);
  }
}

json cluster_body(const AdminState &state, int64_t expires_ms) {
  json endpoints = json::array();
  for (const auto &[endpoint, member] : state.members)
    endpoints.push_back(endpoint);
  return {{"endpoints", endpoints},
          {"updated_at_unix", unix_seconds(state.members_updated_ms)},
          {"expires_at_unix", expires_ms > 0 ? unix_seconds(expires_ms) : 0}};
}

// The earliest time at which the membership changes on its own (0 when empty).
int64_t first_expiry(const AdminState &state) {
  int64_t first = 0;
  for (const auto &[endpoint, member] : state.members)
    if (first == 0 || member.expires_ms < first) first = member.expires_ms;
  return first;
}

Reply announce(EndpointContext &ctx, AdminState &state, Call &call) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string endpoint;
  if (auto f = member_string(body, "self_endpoint", true, endpoint)) return *f;
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  expire_members(state, now);
  state.members[endpoint].expires_ms = later(now, kMemberTtlMs);
  state.members_updated_ms = now;
  return json_reply(cluster_body(state, state.members[endpoint].expires_ms));
}

// "https://host:port/path" -> "host:port", lower case.
std::string authority(const std::string &endpoint) {
  size_t start = endpoint.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  std::string out = endpoint.substr(start, endpoint.find('/', start) - start);
  for (auto &c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// With a body naming `self_endpoint` that member leaves; with an empty body the node the
// request was sent to leaves (every member whose host and port are the request's Host).
Reply leave(EndpointContext &ctx, AdminState &state, Call &call) {
  std::string text;
  if (auto f = read_body_limited(call, ctx.options.json_body_limit, text)) return *f;
  std::string endpoint, host;
  if (!text.empty()) {
    json body = json::parse(text, nullptr, false);
    if (!body.is_object()) {
      return error_reply(400, "invalid_json", "request body must be empty or a JSON object");
    }
    if (auto f = member_string(body, "self_endpoint", false, endpoint)) return *f;
  }
  if (endpoint.empty()) host = authority(call.header("Host").value_or(""));
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  expire_members(state, now);
  size_t before = state.members.size();
  std::erase_if(state.members, [&](const auto &entry) {
    return endpoint.empty() ? authority(entry.first) == host : entry.first == endpoint;
  });
  if (state.members.size() != before) state.members_updated_ms = now;
  json out = cluster_body(state, first_expiry(state));
  out["left"] = state.members.size() != before;
  return json_reply(out);
}

Reply list_members(EndpointContext &ctx, AdminState &state) {
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  expire_members(state, now);
  return json_reply(cluster_body(state, first_expiry(state)));
}

std::optional<Reply> rm_request(EndpointContext &ctx, Call &call, std::string &backend,
                                std::string &endpoint) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return f;
  if (auto f = member_string(body, "backend_hash", true, backend)) return f;
  return member_string(body, "endpoint", true, endpoint);
}

json manager_body(const std::string &backend, const ResourceManager &manager) {
  return {{"backend_hash", backend},
          {"endpoints", manager.endpoints},
          {"updated_at_unix", unix_seconds(manager.updated_ms)}};
}

Reply rm_register(EndpointContext &ctx, AdminState &state, Call &call) {
  std::string backend, endpoint;
  if (auto f = rm_request(ctx, call, backend, endpoint)) return *f;
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  ResourceManager &manager = state.managers[backend];
  auto &endpoints = manager.endpoints;
  if (std::find(endpoints.begin(), endpoints.end(), endpoint) == endpoints.end()) {
    endpoints.push_back(endpoint);
  }
  manager.updated_ms = now;
  state.managers_updated_ms = now;
  return json_reply(manager_body(backend, manager));
}

Reply rm_unregister(EndpointContext &ctx, AdminState &state, Call &call) {
  std::string backend, endpoint;
  if (auto f = rm_request(ctx, call, backend, endpoint)) return *f;
  int64_t now = ctx.store.clock().now_ms();
  std::lock_guard<std::mutex> guard(state.mutex);
  auto it = state.managers.find(backend);
  if (it == state.managers.end()) return json_reply(manager_body(backend, ResourceManager{}));
  auto &endpoints = it->second.endpoints;
  auto removed = std::remove(endpoints.begin(), endpoints.end(), endpoint);
  if (removed != endpoints.end()) {
    endpoints.erase(removed, endpoints.end());
    it->second.updated_ms = now;
    state.managers_updated_ms = now;
  }
  json out = manager_body(backend, it->second);
  if (endpoints.empty()) state.managers.erase(it);
  return json_reply(out);
}

Reply rm_list(AdminState &state) {
  std::lock_guard<std::mutex> guard(state.mutex);
  json backends = json::array();
  for (const auto &[backend, manager] : state.managers)
    backends.push_back(manager_body(backend, manager));
  return json_reply(
      {{"backends", backends}, {"updated_at_unix", unix_seconds(state.managers_updated_ms)}});
}

}  // namespace

void add_coordinator_endpoints(Routes &routes, EndpointContext &ctx, AdminState &state) {
  auto post = [&](const char *path, Reply (*handler)(EndpointContext &, AdminState &, Call &)) {
    routes.push_back(
        {"POST", path, [&ctx, &state, handler](Call &call) { return handler(ctx, state, call); }});
  };
  post("/v1/tc/lease/acquire", lease_acquire);
  post("/v1/tc/lease/renew", lease_renew);
  post("/v1/tc/lease/release", lease_release);
  post("/v1/tc/cluster/announce", announce);
  post("/v1/tc/cluster/leave", leave);
  post("/v1/tc/rm/register", rm_register);
  post("/v1/tc/rm/unregister", rm_unregister);
  routes.push_back({"GET", "/v1/tc/leader", [&ctx, &state](Call &) { return leader(ctx, state); }});
  routes.push_back(
      {"GET", "/v1/tc/cluster/list", [&ctx, &state](Call &) { return list_members(ctx, state); }});
  routes.push_back({"GET", "/v1/tc/rm/list", [&state](Call &) { return rm_list(state); }});
}

}  // namespace stavo::devserver
