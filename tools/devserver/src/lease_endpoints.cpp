// acquire, keepalive, release, describe.
#include <algorithm>

#include "endpoints.h"
#include "lease_guard.h"
#include "util.h"

namespace stavo::devserver {

namespace {

json lease_held_members(const KeyRecord &record, int64_t now_ms) {
  int64_t remaining = std::max<int64_t>(record.lease->expires_ms - now_ms, 0);
  return {{"retry_after_seconds", (remaining + 999) / 1000}};
}

Reply acquire(EndpointContext &ctx, Call &call) {
  json body;
  if (auto failure = read_json_object(call, ctx.options.json_body_limit, body)) return *failure;
  std::string ns, key, owner, txn_id;
  int64_t ttl = 0, block = 0;
  bool if_not_exists = false;
  if (auto f = member_string(body, "namespace", false, ns)) return *f;
  if (auto f = member_string(body, "key", true, key)) return *f;
  if (auto f = member_string(body, "owner", false, owner)) return *f;
  if (auto f = member_duration(body, "ttl_seconds", true, ttl, 1)) return *f;
  if (auto f = member_duration(body, "block_seconds", false, block, -1)) return *f;
  if (auto f = member_bool(body, "if_not_exists", if_not_exists)) return *f;
  if (auto f = member_string(body, "txn_id", false, txn_id)) return *f;
  ns = effective_namespace(ns);

  Store &store = ctx.store;
  auto lock = store.lock();
  int64_t deadline = store.clock().now_ms() + std::max<int64_t>(block, 0) * 1000;
  while (true) {
    KeyRecord &record = store.get_or_create(lock, ns, key);
    if (if_not_exists && record.state) {
      return error_reply(409, "already_exists", "the key already has state");
    }
    int64_t now = store.clock().now_ms();
    if (!record.lease) {
      Lease lease;
      lease.id = random_hex(16);
      lease.owner = owner;
      lease.txn_id = txn_id.empty() ? "txn-" + random_hex(12) : txn_id;
      lease.fencing_token = ++record.fencing_counter;
      lease.expires_ms = now + ttl * 1000;
      record.lease = lease;
      json out = {{"namespace", ns},          {"key", key},
                  {"owner", owner},           {"lease_id", lease.id},
                  {"txn_id", lease.txn_id},   {"expires_at_unix", unix_seconds(lease.expires_ms)},
                  {"version", record.version}};
      if (record.state) out["state_etag"] = record.state->etag;
      out["fencing_token"] = lease.fencing_token;
      return json_reply(out);
    }
    if (now >= deadline) {
      return error_reply(409, "lease_held", "the key is leased by '" + record.lease->owner + "'",
                         lease_held_members(record, now));
    }
    // Wake when the wait ends or the lease runs out, whichever comes first; releases notify.
    if (!store.wait(lock, std::min(deadline, record.lease->expires_ms))) {
      return error_reply(503, "server_stopping", "the server is shutting down");
    }
  }
}

// Lease id from the body, token from the header (and, for keepalive, the body too).
std::optional<Reply> body_credentials(const Call &call, const json &body, Credentials &out) {
  if (auto f = read_credentials(call, true, out)) return f;
  if (auto f = member_string(body, "lease_id", true, out.lease_id)) return f;
  std::string txn;
  if (auto f = member_string(body, "txn_id", false, txn)) return f;
  out.txn_id.reset();
  if (!txn.empty()) out.txn_id = txn;
  return std::nullopt;
}

Reply keepalive(EndpointContext &ctx, Call &call) {
  json body;
  if (auto failure = read_json_object(call, ctx.options.json_body_limit, body)) return *failure;
  std::string ns, key;
  int64_t ttl = 0, body_token = 0;
  if (auto f = member_string(body, "namespace", false, ns)) return *f;
  if (auto f = member_string(body, "key", true, key)) return *f;
  if (auto f = member_duration(body, "ttl_seconds", true, ttl, 1)) return *f;
  if (auto f = member_int(body, "fencing_token", false, body_token)) return *f;
  Credentials credentials;
  if (auto f = body_credentials(call, body, credentials)) return *f;
  if (body.contains("fencing_token") && body_token != *credentials.fencing_token) {
    return error_reply(400, "invalid_field",
                       "'fencing_token' in the body differs from X-Fencing-Token");
  }
  auto lock = ctx.store.lock();
  KeyRecord *record = ctx.store.find(lock, effective_namespace(ns), key);
  if (auto f = check_lease(record, credentials)) return *f;
  record->lease->expires_ms = ctx.store.clock().now_ms() + ttl * 1000;
  json out = {{"expires_at_unix", unix_seconds(record->lease->expires_ms)},
              {"version", record->view_version()}};
  if (const auto &state = record->view_state()) out["state_etag"] = state->etag;
  return json_reply(out);
}

Reply release(EndpointContext &ctx, Call &call) {
  json body;
  if (auto failure = read_json_object(call, ctx.options.json_body_limit, body)) return *failure;
  std::string ns, key;
  bool rollback = false;
  if (auto f = member_string(body, "namespace", false, ns)) return *f;
  if (auto f = member_string(body, "key", true, key)) return *f;
  if (auto f = member_bool(body, "rollback", rollback)) return *f;
  Credentials credentials;
  if (auto f = body_credentials(call, body, credentials)) return *f;
  auto lock = ctx.store.lock();
  KeyRecord *record = ctx.store.find(lock, effective_namespace(ns), key);
  if (auto f = check_lease(record, credentials)) return *f;
  ctx.store.end_lease(lock, *record, !rollback);
  json out = {{"released", true}, {"version", record->version}};
  if (record->state) out["state_etag"] = record->state->etag;
  return json_reply(out);
}

Reply describe(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  auto lock = ctx.store.lock();
  KeyRecord *record = ctx.store.find(lock, ns, key);
  if (record == nullptr) return error_reply(404, "not_found", "the key is unknown");
  json out = {{"namespace", ns}, {"key", key}};
  if (record->lease) {
    out["owner"] = record->lease->owner;
    out["lease_id"] = record->lease->id;
    out["expires_at_unix"] = unix_seconds(record->lease->expires_ms);
  }
  // The latest state, the current lease's staged writes included (see store.h).
  out["version"] = record->view_version();
  if (const auto &state = record->view_state()) out["state_etag"] = state->etag;
  out["updated_at_unix"] = unix_seconds(record->updated_ms);
  out["metadata"] = {{"query_hidden", record->view_query_hidden()}};
  return json_reply(out);
}

}  // namespace

void add_lease_endpoints(Routes &routes, EndpointContext &ctx) {
  routes.push_back({"POST", "/v1/acquire", [&ctx](Call &call) { return acquire(ctx, call); }});
  routes.push_back({"POST", "/v1/keepalive", [&ctx](Call &call) { return keepalive(ctx, call); }});
  routes.push_back({"POST", "/v1/release", [&ctx](Call &call) { return release(ctx, call); }});
  routes.push_back({"GET", "/v1/describe", [&ctx](Call &call) { return describe(ctx, call); }});
}

}  // namespace stavo::devserver
