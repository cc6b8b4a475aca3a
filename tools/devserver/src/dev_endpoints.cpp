// The /_dev/ control paths (program started with --dev-controls): the same controls the
// in-process fixture offers, for tests and people that drive the program over HTTP.
#include <algorithm>
#include <iterator>

#include "lease_guard.h"
#include "server_impl.h"
#include "util.h"

namespace stavo::devserver {

namespace {

json request_json(const LoggedRequest &entry) {
  json headers = json::array();
  for (const auto &[name, value] : entry.headers)
    headers.push_back(json::array({name, value}));
  return {{"seq", entry.seq},
          {"method", entry.method},
          {"target", entry.target},
          {"path", entry.path},
          {"query", entry.query},
          {"version", entry.version},
          {"headers", headers},
          {"body_base64", base64_encode(entry.body)},
          {"body_size", entry.body_size},
          {"body_truncated", entry.body_truncated},
          {"complete", entry.complete},
          {"status", entry.status},
          {"correlation_id", entry.correlation_id},
          {"faulted", entry.faulted},
          {"connection", entry.connection}};
}

// Every member a fault may have; anything else is refused rather than silently ignored.
constexpr const char *kFaultMembers[] = {"method",
                                         "path",
                                         "times",
                                         "status",
                                         "body",
                                         "headers",
                                         "delay_ms",
                                         "hold",
                                         "chunk_sizes",
                                         "chunk_pause_ms",
                                         "chunked_encoding",
                                         "close_after_bytes",
                                         "drop_connection",
                                         "cut_after_parts",
                                         "stall_after_parts",
                                         "stall_after_bytes"};

std::optional<Reply> unknown_member(const json &body) {
  for (const auto &[name, value] : body.items()) {
    bool known = std::find(std::begin(kFaultMembers), std::end(kFaultMembers), name) !=
                 std::end(kFaultMembers);
    if (!known) {
      return error_reply(400, "unknown_field",
                         "'" + name + "' is not a fault member (see the dev server's README)");
    }
  }
  return std::nullopt;
}

std::optional<Reply> fault_from_json(const json &body, Fault &fault) {
  if (auto f = unknown_member(body)) return f;
  if (auto f = member_string(body, "method", false, fault.method)) return f;
  if (auto f = member_string(body, "path", false, fault.path)) return f;
  int64_t number = 0;
  if (auto f = member_int(body, "times", false, number)) return f;
  if (body.contains("times")) {
    if (number < 1 || number > 1000000) {
      return error_reply(400, "invalid_field", "'times' must be from 1 to 1000000");
    }
    fault.times = static_cast<int>(number);
  }
  number = 0;
  if (auto f = member_int(body, "status", false, number)) return f;
  if (number != 0 && (number < 100 || number > 999)) {
    return error_reply(400, "invalid_field", "'status' must be an HTTP status");
  }
  fault.status = static_cast<int>(number);
  if (auto f = member_string(body, "body", false, fault.body)) return f;
  if (auto it = body.find("headers"); it != body.end()) {
    if (!it->is_array()) return error_reply(400, "invalid_field", "'headers' must be an array");
    for (const auto &pair : *it) {
      if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string()) {
        return error_reply(400, "invalid_field", "'headers' entries must be [name, value]");
      }
      fault.headers.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
    }
  }
  number = 0;
  if (auto f = member_duration_ms(body, "delay_ms", number)) return f;
  fault.delay = std::chrono::milliseconds(number);
  if (auto f = member_bool(body, "hold", fault.hold)) return f;
  if (auto it = body.find("chunk_sizes"); it != body.end()) {
    if (!it->is_array()) return error_reply(400, "invalid_field", "'chunk_sizes' must be an array");
    for (const auto &size : *it) {
      if (!size.is_number_unsigned() || size.get<uint64_t>() == 0) {
        return error_reply(400, "invalid_field", "'chunk_sizes' must hold positive integers");
      }
      fault.chunk_sizes.push_back(size.get<size_t>());
    }
  }
  number = 0;
  if (auto f = member_duration_ms(body, "chunk_pause_ms", number)) return f;
  fault.chunk_pause = std::chrono::milliseconds(number);
  if (auto f = member_bool(body, "chunked_encoding", fault.chunked_encoding)) return f;
  if (body.contains("close_after_bytes") && !body["close_after_bytes"].is_null()) {
    number = 0;
    if (auto f = member_int(body, "close_after_bytes", true, number)) return f;
    if (number < 0) {
      return error_reply(400, "invalid_field", "'close_after_bytes' must not be negative");
    }
    fault.close_after_bytes = static_cast<size_t>(number);
  }
  if (auto f = member_bool(body, "drop_connection", fault.drop_connection)) return f;
  // Streamed answers: cut or stall after a number of parts or bytes.
  for (auto [name, slot] : {std::pair{"cut_after_parts", &fault.cut_after_parts},
                            std::pair{"stall_after_parts", &fault.stall_after_parts},
                            std::pair{"stall_after_bytes", &fault.stall_after_bytes}}) {
    if (!body.contains(name)) continue;
    number = 0;
    if (auto f = member_int(body, name, true, number)) return f;
    *slot = static_cast<size_t>(std::max<int64_t>(number, 0));
  }
  return std::nullopt;
}

json key_state_json(const KeyState &state) {
  json out = {{"exists", state.exists},
              {"has_state", state.has_state},
              {"version", state.version},
              {"query_hidden", state.query_hidden},
              {"updated_at_unix", state.updated_at_unix},
              {"fencing_counter", state.fencing_counter}};
  if (state.has_state) {
    out["state_base64"] = base64_encode(state.state);
    out["content_type"] = state.content_type;
    out["state_etag"] = state.state_etag;
  }
  if (state.lease) {
    out["lease"] = {{"lease_id", state.lease->lease_id},
                    {"owner", state.lease->owner},
                    {"txn_id", state.lease->txn_id},
                    {"fencing_token", state.lease->fencing_token},
                    {"expires_at_ms", state.lease->expires_at_ms},
                    {"has_staged_changes", state.lease->has_staged_changes}};
  }
  json attachments = json::array();
  for (const auto &a : state.attachments) {
    attachments.push_back({{"id", a.id},
                           {"name", a.name},
                           {"size", a.size},
                           {"sha256", a.sha256},
                           {"content_type", a.content_type}});
  }
  out["attachments"] = attachments;
  return out;
}

json clock_json(VirtualClock &clock) {
  return {{"now_ms", clock.now_ms()}, {"now_unix", clock.now_unix()}, {"running", clock.running()}};
}

}  // namespace

void add_dev_endpoints(Routes &routes, Server::Impl &server) {
  Server::Impl *s = &server;
  routes.push_back({"GET", "/_dev/requests", [s](Call &) {
                      json list = json::array();
                      for (const auto &entry : s->log.snapshot())
                        list.push_back(request_json(entry));
                      return json_reply(list);
                    }});
  routes.push_back({"DELETE", "/_dev/requests", [s](Call &) {
                      s->log.clear();
                      return json_reply({{"cleared", true}});
                    }});
  routes.push_back({"POST", "/_dev/faults", [s](Call &call) {
                      json body;
                      if (auto f = read_json_object(call, 1 << 20, body)) return *f;
                      Fault fault;
                      if (auto f = fault_from_json(body, fault)) return *f;
                      return json_reply({{"id", s->faults.add(std::move(fault))}});
                    }});
  routes.push_back(
      {"GET", "/_dev/faults", [s](Call &) {
         return json_reply({{"pending", s->faults.pending()}, {"held", s->faults.held_count()}});
       }});
  routes.push_back({"DELETE", "/_dev/faults", [s](Call &) {
                      s->faults.clear();
                      return json_reply({{"cleared", true}});
                    }});
  routes.push_back({"POST", "/_dev/holds/release", [s](Call &) {
                      s->faults.release_holds();
                      return json_reply({{"released", true}});
                    }});
  routes.push_back(
      {"GET", "/_dev/clock", [s](Call &) { return json_reply(clock_json(s->clock)); }});
  routes.push_back({"POST", "/_dev/clock/advance", [s](Call &call) {
                      json body;
                      if (auto f = read_json_object(call, 4096, body)) return *f;
                      int64_t ms = 0, seconds = 0;
                      if (auto f = member_duration_ms(body, "ms", ms)) return *f;
                      if (auto f = member_duration(body, "seconds", false, seconds)) return *f;
                      s->clock.advance(std::chrono::milliseconds(ms + seconds * 1000));
                      return json_reply(clock_json(s->clock));
                    }});
  routes.push_back({"GET", "/_dev/state", [s](Call &call) {
                      std::string ns, key;
                      if (auto f = key_from_query(call, ns, key)) return *f;
                      return json_reply(key_state_json(s->store->inspect(ns, key)));
                    }});
  routes.push_back({"POST", "/_dev/passive", [s](Call &call) {
                      json body;
                      if (auto f = read_json_object(call, 4096, body)) return *f;
                      bool passive = false;
                      if (auto f = member_bool(body, "passive", passive)) return *f;
                      s->passive = passive;
                      return json_reply({{"passive", passive}});
                    }});
}

}  // namespace stavo::devserver
