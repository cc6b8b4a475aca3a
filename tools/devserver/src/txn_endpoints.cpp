// POST /v1/txn/decide, /v1/txn/commit, /v1/txn/rollback and /v1/txn/replay. A lease acquired
// with a txn_id stages its writes in that transaction; commit applies the staged writes of every
// key leased under the id and releases those leases, rollback discards them, both at once.
#include <algorithm>
#include <optional>

#include "admin_state.h"

namespace stavo::devserver {

namespace {

constexpr size_t kMaxParticipants = 10000;

bool valid_state(const std::string &state) {
  return state == "prepare" || state == "commit" || state == "rollback";
}

std::optional<Reply> read_participants(const json &body, std::vector<TxnParticipant> &out) {
  auto it = body.find("participants");
  if (it == body.end() || it->is_null()) return std::nullopt;
  const char *shape =
      "'participants' must be an array of objects with string members 'namespace', 'key' and "
      "'backend_hash'";
  if (!it->is_array()) return error_reply(400, "invalid_participants", shape);
  if (it->size() > kMaxParticipants) {
    return error_reply(400, "invalid_participants",
                       "at most " + std::to_string(kMaxParticipants) + " participants");
  }
  for (const auto &item : *it) {
    if (!item.is_object()) return error_reply(400, "invalid_participants", shape);
    TxnParticipant participant;
    for (auto [name, slot] :
         {std::pair{"namespace", &participant.ns}, std::pair{"key", &participant.key},
          std::pair{"backend_hash", &participant.backend_hash}}) {
      auto member = item.find(name);
      if (member == item.end() || member->is_null()) continue;
      if (!member->is_string()) return error_reply(400, "invalid_participants", shape);
      *slot = member->get<std::string>();
    }
    out.push_back(std::move(participant));
  }
  return std::nullopt;
}

// A prepared transaction whose expiry has passed is rolled back when next looked at.
void expire_prepared(Store &store, Store::Lock &lock, const std::string &txn_id,
                     TxnRecord &record) {
  if (record.state != "prepare" || record.expires_at_unix <= 0 ||
      store.clock().now_unix() < record.expires_at_unix) {
    return;
  }
  for (KeyRecord *key : store.leased_in_txn(lock, txn_id))
    store.end_lease(lock, *key, false);
  record.state = "rollback";
  record.updated_ms = store.clock().now_ms();
}

Reply illegal_transition(const std::string &txn_id, const std::string &from,
                         const std::string &to) {
  std::string code = from == "commit" ? "txn_already_committed" : "txn_already_rolled_back";
  return error_reply(
      409, code,
      "transaction '" + txn_id + "' is decided \"" + from + "\" and cannot become \"" + to + "\"",
      {{"txn_id", txn_id}, {"state", from}});
}

Reply unknown_txn(const std::string &txn_id) {
  return error_reply(409, "txn_unknown",
                     "transaction '" + txn_id + "' has no decision and no leased keys",
                     {{"txn_id", txn_id}});
}

// decide (forced empty) records a decision; commit and rollback (forced to their state) record it
// and apply it to the keys leased under the transaction.
Reply decide(EndpointContext &ctx, AdminState &state, Call &call, const std::string &forced) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string txn_id, target, backend;
  int64_t expires_at = 0, tc_term = 0;
  std::vector<TxnParticipant> participants;
  if (auto f = member_string(body, "txn_id", true, txn_id)) return *f;
  if (auto f = member_string(body, "state", forced.empty(), target)) return *f;
  if (auto f = read_participants(body, participants)) return *f;
  if (auto f = member_count(body, "expires_at_unix", false, expires_at)) return *f;
  if (auto f = member_count(body, "tc_term", false, tc_term)) return *f;
  if (auto f = member_string(body, "target_backend_hash", false, backend)) return *f;
  if (!forced.empty()) {
    if (!target.empty() && target != forced) {
      return error_reply(400, "invalid_state",
                         "'state' must be \"" + forced + "\" here, got '" + target + "'");
    }
    target = forced;
  } else if (!valid_state(target)) {
    return error_reply(
        400, "invalid_state",
        "'state' must be \"prepare\", \"commit\" or \"rollback\", got '" + target + "'");
  }
  if (tc_term > 0) {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (tc_term < state.term) {
      return error_reply(409, "stale_tc_term",
                         "coordinator term " + std::to_string(tc_term) +
                             " is older than the current term " + std::to_string(state.term),
                         {{"txn_id", txn_id}, {"term", state.term}});
    }
  }

  Store &store = ctx.store;
  auto lock = store.lock();
  auto found = state.txns.find(txn_id);
  if (found != state.txns.end()) expire_prepared(store, lock, txn_id, found->second);
  std::vector<KeyRecord *> leased = store.leased_in_txn(lock, txn_id);
  if (!forced.empty() && found == state.txns.end() && leased.empty()) return unknown_txn(txn_id);
  std::string from = found == state.txns.end() ? "" : found->second.state;
  if (!from.empty() && from != "prepare" && from != target) {
    return illegal_transition(txn_id, from, target);
  }

  // A commit must not leave out a key that was staged when the transaction was prepared.
  if (target == "commit" && from == "prepare" && !forced.empty()) {
    const auto &prepared = found->second.prepared_leases;
    for (const auto &lease_id : prepared) {
      bool held = std::any_of(leased.begin(), leased.end(),
                              [&](const KeyRecord *key) { return key->lease->id == lease_id; });
      if (held) continue;
      for (KeyRecord *key : leased)
        store.end_lease(lock, *key, false);
      found->second.state = "rollback";
      found->second.updated_ms = store.clock().now_ms();
      return error_reply(409, "txn_participant_lost",
                         "a key leased under transaction '" + txn_id +
                             "' when it was prepared lost its lease; the transaction is rolled "
                             "back",
                         {{"txn_id", txn_id}, {"state", "rollback"}});
    }
  }

  TxnRecord &record = state.txns[txn_id];
  if (target == "prepare") {
    // A repeated prepare adds keys; it never forgets one that has lost its lease since.
    auto &prepared = record.prepared_leases;
    for (const KeyRecord *key : leased) {
      if (std::find(prepared.begin(), prepared.end(), key->lease->id) == prepared.end()) {
        prepared.push_back(key->lease->id);
      }
    }
  }
  record.state = target;
  if (!participants.empty()) record.participants = std::move(participants);
  if (body.contains("expires_at_unix")) record.expires_at_unix = expires_at;
  if (tc_term > 0) record.tc_term = tc_term;
  if (!backend.empty()) record.target_backend_hash = backend;
  record.updated_ms = store.clock().now_ms();
  size_t applied = 0;
  if (!forced.empty()) {
    for (KeyRecord *key : leased)
      store.end_lease(lock, *key, target == "commit");
    applied = leased.size();
  }
  json out = {{"txn_id", txn_id}, {"state", target}, {"keys", applied}};
  return json_reply(out);
}

Reply replay(EndpointContext &ctx, AdminState &state, Call &call) {
  json body;
  if (auto f = read_json_object(call, ctx.options.json_body_limit, body)) return *f;
  std::string txn_id;
  if (auto f = member_string(body, "txn_id", true, txn_id)) return *f;
  Store &store = ctx.store;
  auto lock = store.lock();
  auto found = state.txns.find(txn_id);
  if (found != state.txns.end()) expire_prepared(store, lock, txn_id, found->second);
  size_t leased = store.leased_in_txn(lock, txn_id).size();
  if (found == state.txns.end()) {
    if (leased == 0) return unknown_txn(txn_id);
    return json_reply({{"txn_id", txn_id}, {"state", "pending"}, {"keys", leased}});
  }
  const TxnRecord &record = found->second;
  json participants = json::array();
  for (const auto &p : record.participants) {
    participants.push_back({{"namespace", p.ns ? json(*p.ns) : json()},
                            {"key", p.key ? json(*p.key) : json()},
                            {"backend_hash", p.backend_hash ? json(*p.backend_hash) : json()}});
  }
  json out = {{"txn_id", txn_id},
              {"state", record.state},
              {"keys", leased},
              {"participants", participants},
              {"expires_at_unix", record.expires_at_unix},
              {"tc_term", record.tc_term},
              {"target_backend_hash", record.target_backend_hash}};
  return json_reply(out);
}

}  // namespace

void add_txn_endpoints(Routes &routes, EndpointContext &ctx, AdminState &state) {
  routes.push_back({"POST", "/v1/txn/decide",
                    [&ctx, &state](Call &call) { return decide(ctx, state, call, ""); }});
  routes.push_back({"POST", "/v1/txn/commit",
                    [&ctx, &state](Call &call) { return decide(ctx, state, call, "commit"); }});
  routes.push_back({"POST", "/v1/txn/rollback",
                    [&ctx, &state](Call &call) { return decide(ctx, state, call, "rollback"); }});
  routes.push_back(
      {"POST", "/v1/txn/replay", [&ctx, &state](Call &call) { return replay(ctx, state, call); }});
}

}  // namespace stavo::devserver
