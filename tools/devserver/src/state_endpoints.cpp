// get, update, mutate, metadata, remove: reading and writing a key's state under its lease.
#include "endpoints.h"
#include "lease_guard.h"
#include "mutation.h"

namespace stavo::devserver {

namespace {

bool is_json_type(const std::string &content_type) {
  std::string base = content_type.substr(0, content_type.find(';'));
  while (!base.empty() && base.back() == ' ')
    base.pop_back();
  return base == "application/json" ||
         (base.size() > 5 && base.compare(base.size() - 5, 5, "+json") == 0);
}

Reply update_reply(const KeyRecord &record) {
  const auto &state = record.view_state();
  json out = {{"new_version", record.view_version()}};
  if (state) out["new_state_etag"] = state->etag;
  out["bytes"] = state ? static_cast<int64_t>(state->bytes.size()) : 0;
  return json_reply(out);
}

Reply get(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  bool public_read = call.flag("public");
  Credentials credentials;
  if (!public_read) {
    if (auto f = read_credentials(call, false, credentials)) return *f;
  }
  auto lock = ctx.store.lock();
  KeyRecord *record = ctx.store.find(lock, ns, key);
  if (!public_read) {
    if (auto f = check_lease(record, credentials)) return *f;
  }
  Reply reply;
  const std::optional<Document> *state = nullptr;
  int64_t version = 0, token = 0;
  if (record != nullptr) {
    state = public_read ? &record->state : &record->view_state();
    version = public_read ? record->version : record->view_version();
    token = record->lease ? record->lease->fencing_token : record->fencing_counter;
  }
  if (state == nullptr || !state->has_value()) {
    reply.status = 204;
  } else {
    const Document &doc = **state;
    reply.body = doc.bytes;
    reply.set_header("Content-Type", doc.content_type);
    reply.set_header("ETag", "\"" + doc.etag + "\"");
  }
  reply.set_header("X-Key-Version", std::to_string(version));
  if (token > 0) reply.set_header("X-Fencing-Token", std::to_string(token));
  return reply;
}

// The lease and precondition checks shared by the writes, under the store lock.
std::optional<Reply> guard_write(EndpointContext &ctx, const Call &call, Store::Lock &lock,
                                 const std::string &ns, const std::string &key,
                                 const Credentials &credentials, KeyRecord *&record,
                                 bool with_etag = true) {
  record = ctx.store.find(lock, ns, key);
  if (auto f = check_lease(record, credentials)) return f;
  return check_preconditions(call, *record, with_etag);
}

Reply update(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  Credentials credentials;
  if (auto f = read_credentials(call, true, credentials)) return *f;
  {
    // Refuse early (before a possibly large upload) when the lease is not right.
    auto lock = ctx.store.lock();
    if (auto f = check_lease(ctx.store.find(lock, ns, key), credentials)) return *f;
  }
  std::string bytes;
  if (auto f = read_body_limited(call, ctx.options.state_limit, bytes, "state_too_large")) {
    return *f;
  }
  std::string content_type = call.header("Content-Type").value_or("application/octet-stream");
  if (is_json_type(content_type) && !json::accept(bytes)) {
    return error_reply(400, "invalid_json", "the state document is not valid JSON");
  }
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard_write(ctx, call, lock, ns, key, credentials, record)) return *f;
  Staged &staged = record->lease->staged;
  staged.state_changed = true;
  staged.state = make_document(std::move(bytes), content_type);
  record->stage_write();
  return update_reply(*record);
}

Reply mutate(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  Credentials credentials;
  if (auto f = read_credentials(call, true, credentials)) return *f;
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  auto list = body.find("mutations");
  if (list == body.end() || !list->is_array()) {
    return error_reply(400, "invalid_mutation", "'mutations' must be an array of strings");
  }
  std::vector<std::string> expressions;
  for (const auto &item : *list) {
    if (!item.is_string()) {
      return error_reply(400, "invalid_mutation", "'mutations' must be an array of strings");
    }
    expressions.push_back(item.get<std::string>());
  }
  std::vector<Mutation> mutations;
  if (auto f = parse_mutations(expressions, ctx.store.clock().now_ms(), mutations)) {
    return error_reply(400, "invalid_mutation", *f);
  }
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard_write(ctx, call, lock, ns, key, credentials, record)) return *f;
  json document = json::object();
  if (const auto &state = record->view_state()) {
    document = json::parse(state->bytes, nullptr, false);
    if (document.is_discarded()) {
      return error_reply(409, "state_not_json", "the key's state is not a JSON document");
    }
  }
  if (auto f = apply_mutations(document, mutations))
    return error_reply(400, "invalid_mutation", *f);
  Staged &staged = record->lease->staged;
  staged.state_changed = true;
  staged.state = make_document(document.dump(), "application/json");
  record->stage_write();
  return update_reply(*record);
}

Reply metadata(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  Credentials credentials;
  if (auto f = read_credentials(call, true, credentials)) return *f;
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  bool hidden = false;
  if (auto f = member_bool(body, "query_hidden", hidden)) return *f;
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard_write(ctx, call, lock, ns, key, credentials, record, false)) return *f;
  if (body.contains("query_hidden")) {
    Staged &staged = record->lease->staged;
    staged.meta_changed = true;
    staged.query_hidden = hidden;
    record->stage_write();
  }
  json out = {{"namespace", ns},
              {"key", key},
              {"version", record->view_version()},
              {"metadata", {{"query_hidden", record->view_query_hidden()}}}};
  return json_reply(out);
}

Reply remove(EndpointContext &ctx, Call &call) {
  std::string ns, key;
  if (auto f = key_from_query(call, ns, key)) return *f;
  Credentials credentials;
  if (auto f = read_credentials(call, true, credentials)) return *f;
  std::string ignored;
  if (auto f = read_body_limited(call, ctx.options.json_body_limit, ignored)) return *f;
  auto lock = ctx.store.lock();
  KeyRecord *record = nullptr;
  if (auto f = guard_write(ctx, call, lock, ns, key, credentials, record)) return *f;
  bool removed = record->view_state().has_value();
  if (removed) {
    Staged &staged = record->lease->staged;
    staged.state_changed = true;
    staged.state.reset();
    record->stage_write();
  }
  json out = {{"removed", removed}, {"new_version", record->view_version()}};
  return json_reply(out);
}

}  // namespace

void add_state_endpoints(Routes &routes, EndpointContext &ctx) {
  routes.push_back({"GET", "/v1/get", [&ctx](Call &call) { return get(ctx, call); }});
  routes.push_back({"POST", "/v1/update", [&ctx](Call &call) { return update(ctx, call); }});
  routes.push_back({"POST", "/v1/mutate", [&ctx](Call &call) { return mutate(ctx, call); }});
  routes.push_back({"POST", "/v1/metadata", [&ctx](Call &call) { return metadata(ctx, call); }});
  routes.push_back({"POST", "/v1/remove", [&ctx](Call &call) { return remove(ctx, call); }});
}

}  // namespace stavo::devserver
