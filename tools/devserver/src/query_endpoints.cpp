// POST /v1/query: the committed JSON documents of a namespace that match a selector, in key
// order, as newline-delimited JSON documents or as a JSON list of keys, with cursor paging.
#include "admin_state.h"
#include "lease_guard.h"
#include "query_selector.h"
#include "util.h"

namespace stavo::devserver {

namespace {

std::string dump(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Cursors are opaque to callers: the namespace and the last key answered, in base64.
std::string make_cursor(const std::string &ns, const std::string &last_key) {
  return base64_encode(dump(json{{"n", ns}, {"k", last_key}}));
}

std::optional<std::string> read_cursor(const std::string &cursor, const std::string &ns) {
  auto text = base64_decode(cursor);
  if (!text) return std::nullopt;
  json parsed = json::parse(*text, nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  auto n = parsed.find("n"), k = parsed.find("k");
  if (n == parsed.end() || k == parsed.end() || !n->is_string() || !k->is_string() || *n != ns) {
    return std::nullopt;
  }
  return k->get<std::string>();
}

bool valid_engine(const std::string &engine) {
  return engine == "index" || engine == "scan";
}

struct QueryRequest {
  std::string ns;
  std::optional<Selector> selector;
  int64_t limit = 0;  // 0: no limit
  std::string after;  // from the cursor
  bool has_fields = false;
  std::vector<Pointer> fields;
  bool keys = false;
  std::string engine;
};

std::optional<Reply> read_fields(const json &body, QueryRequest &out) {
  auto it = body.find("fields");
  if (it == body.end() || it->is_null()) return std::nullopt;
  if (!it->is_array()) {
    return error_reply(400, "invalid_fields", "'fields' must be an array of JSON pointers");
  }
  out.has_fields = true;
  for (const auto &item : *it) {
    if (!item.is_string()) {
      return error_reply(400, "invalid_fields", "'fields' must be an array of JSON pointers");
    }
    std::string error;
    auto pointer = parse_pointer(item.get<std::string>(), error);
    if (!pointer) return error_reply(400, "invalid_fields", error);
    out.fields.push_back(std::move(*pointer));
  }
  return std::nullopt;
}

std::optional<Reply> read_request(Call &call, EndpointContext &ctx, AdminState &state,
                                  QueryRequest &out) {
  auto engine = call.param("engine");
  if (engine && !valid_engine(*engine)) {
    return error_reply(
        400, "invalid_engine",
        "query parameter 'engine' must be \"index\" or \"scan\", got '" + *engine + "'");
  }
  if (auto refresh = call.param("refresh");
      refresh && *refresh != "true" && *refresh != "false" && *refresh != "wait_for") {
    return error_reply(400, "invalid_refresh",
                       "query parameter 'refresh' must be \"true\", \"false\" or \"wait_for\", "
                       "got '" +
                           *refresh + "'");
  }
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return f;
  std::string cursor, return_mode;
  if (auto f = member_string(body, "namespace", false, out.ns)) return f;
  out.ns = effective_namespace(out.ns);
  auto selector = body.find("selector");
  if (selector == body.end() || selector->is_null()) {
    return error_reply(400, "missing_field", "'selector' is required");
  }
  std::string error;
  out.selector = Selector::compile(*selector, error);
  if (!out.selector) return error_reply(400, "invalid_selector", error);
  if (body.contains("limit")) {
    if (auto f = member_int(body, "limit", false, out.limit)) return f;
    if (out.limit < 1) return error_reply(400, "invalid_limit", "'limit' must be at least 1");
  }
  if (auto f = member_string(body, "cursor", false, cursor)) return f;
  if (!cursor.empty()) {
    auto after = read_cursor(cursor, out.ns);
    if (!after) {
      return error_reply(400, "invalid_cursor",
                         "'cursor' is not a cursor of namespace '" + out.ns + "'");
    }
    out.after = std::move(*after);
  }
  if (auto f = read_fields(body, out)) return f;
  if (auto f = member_string(body, "return", false, return_mode)) return f;
  if (!return_mode.empty() && return_mode != "keys" && return_mode != "documents") {
    return error_reply(400, "invalid_return",
                       "'return' must be \"keys\" or \"documents\", got '" + return_mode + "'");
  }
  out.keys = return_mode == "keys";
  out.engine = engine ? *engine : namespace_config(state, out.ns).preferred_engine;
  return std::nullopt;
}

struct Match {
  std::string key;
  int64_t version = 0;
  json document;
};

Reply query(EndpointContext &ctx, AdminState &state, Call &call) {
  QueryRequest request;
  if (auto f = read_request(call, ctx, state, request)) return *f;

  std::vector<Match> matches;
  bool more = false;
  int64_t index_seq = 0;
  {
    Store &store = ctx.store;
    auto lock = store.lock();
    store.for_each_key(
        lock, request.ns, request.after, [&](const std::string &key, const KeyRecord &record) {
          if (!record.state || record.query_hidden) return true;
          json document = json::parse(record.state->bytes, nullptr, false);
          if (document.is_discarded() || !request.selector->matches(document)) {
            return true;
          }
          if (request.limit > 0 && matches.size() >= static_cast<uint64_t>(request.limit)) {
            more = true;
            return false;
          }
          Match match{key, record.version, json()};
          if (!request.keys) match.document = std::move(document);
          matches.push_back(std::move(match));
          return true;
        });
    index_seq = namespace_index_seq(store, lock, request.ns);
  }

  std::string cursor = more ? make_cursor(request.ns, matches.back().key) : "";
  json metadata = {{"namespace", request.ns},
                   {"engine", request.engine},
                   {"returned", matches.size()},
                   {"has_more", more}};
  Reply reply;
  if (request.keys) {
    json keys = json::array();
    for (const auto &match : matches)
      keys.push_back(match.key);
    reply.body = dump(
        json{{"keys", keys}, {"cursor", cursor}, {"index_seq", index_seq}, {"metadata", metadata}});
    reply.set_header("Content-Type", "application/json");
  } else {
    for (auto &match : matches) {
      json line = {{"key", match.key}, {"version", match.version}};
      line["document"] =
          request.has_fields ? project(match.document, request.fields) : std::move(match.document);
      reply.body += dump(line);
      reply.body += '\n';
    }
    reply.set_header("Content-Type", "application/x-ndjson");
  }
  if (more) reply.set_header("X-Stavo-Query-Cursor", cursor);
  reply.set_header("X-Stavo-Query-Return", request.keys ? "keys" : "documents");
  reply.set_header("X-Stavo-Query-Metadata", dump(metadata));
  reply.set_header("X-Stavo-Query-Index-Seq", std::to_string(index_seq));
  return reply;
}

}  // namespace

void add_query_endpoints(Routes &routes, EndpointContext &ctx, AdminState &state) {
  routes.push_back(
      {"POST", "/v1/query", [&ctx, &state](Call &call) { return query(ctx, state, call); }});
}

}  // namespace stavo::devserver
