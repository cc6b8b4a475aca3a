#include "lease_guard.h"

#include <algorithm>

#include "util.h"

namespace stavo::devserver {

std::string effective_namespace(const std::string &ns) {
  return ns.empty() ? "default" : ns;
}

std::optional<Reply> key_from_query(const Call &call, std::string &ns, std::string &key) {
  key = call.param("key").value_or("");
  if (key.empty()) return error_reply(400, "missing_field", "query parameter 'key' is required");
  ns = effective_namespace(call.param("namespace").value_or(""));
  return std::nullopt;
}

std::optional<Reply> read_credentials(const Call &call, bool fencing_required, Credentials &out) {
  out.lease_id = call.header("X-Lease-ID").value_or("");
  if (auto txn = call.header("X-Txn-ID"); txn && !txn->empty()) out.txn_id = *txn;
  auto token = call.header("X-Fencing-Token");
  if (token) {
    auto value = parse_i64(*token);
    if (!value) {
      return error_reply(400, "invalid_fencing_token",
                         "X-Fencing-Token must be a base-10 integer, got '" + *token + "'");
    }
    out.fencing_token = *value;
  } else if (fencing_required) {
    return error_reply(400, "missing_fencing_token", "X-Fencing-Token header is required");
  }
  return std::nullopt;
}

std::optional<Reply> check_lease(const KeyRecord *record, const Credentials &credentials) {
  if (credentials.lease_id.empty()) {
    return error_reply(409, "lease_required", "this operation requires the key's lease id");
  }
  if (record == nullptr || !record->lease) {
    bool expired =
        record != nullptr && std::find(record->expired_leases.begin(), record->expired_leases.end(),
                                       credentials.lease_id) != record->expired_leases.end();
    if (expired) return error_reply(409, "lease_expired", "the lease has expired");
    return error_reply(409, "lease_mismatch", "the key has no active lease with this id");
  }
  const Lease &lease = *record->lease;
  if (lease.id != credentials.lease_id) {
    bool expired = std::find(record->expired_leases.begin(), record->expired_leases.end(),
                             credentials.lease_id) != record->expired_leases.end();
    if (expired) return error_reply(409, "lease_expired", "the lease has expired");
    return error_reply(409, "lease_mismatch", "the key is held by another lease");
  }
  if (credentials.fencing_token && *credentials.fencing_token != lease.fencing_token) {
    return error_reply(409, "fencing_mismatch",
                       "fencing token " + std::to_string(*credentials.fencing_token) +
                           " does not match the lease's token " +
                           std::to_string(lease.fencing_token));
  }
  if (credentials.txn_id && *credentials.txn_id != lease.txn_id) {
    return error_reply(409, "txn_mismatch",
                       "transaction id '" + *credentials.txn_id + "' is not the lease's");
  }
  return std::nullopt;
}

namespace {
json current_members(const KeyRecord &record) {
  json extra = {{"current_version", record.view_version()}};
  if (const auto &state = record.view_state()) extra["current_etag"] = state->etag;
  return extra;
}

std::string unquote_etag(std::string value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return value.substr(1, value.size() - 2);
  }
  return value;
}
}  // namespace

std::optional<Reply> check_preconditions(const Call &call, const KeyRecord &record,
                                         bool with_etag) {
  if (auto text = call.header("X-If-Version")) {
    auto wanted = parse_i64(*text);
    if (!wanted) {
      return error_reply(400, "invalid_if_version",
                         "X-If-Version must be a base-10 integer, got '" + *text + "'");
    }
    if (*wanted != record.view_version()) {
      return error_reply(409, "version_conflict",
                         "expected version " + std::to_string(*wanted) + ", key is at version " +
                             std::to_string(record.view_version()),
                         current_members(record));
    }
  }
  if (!with_etag) return std::nullopt;
  if (auto text = call.header("X-If-State-ETag"); text && !text->empty()) {
    const auto &state = record.view_state();
    if (!state || unquote_etag(*text) != state->etag) {
      return error_reply(409, "etag_mismatch",
                         state ? "the state's ETag is " + state->etag : "the key has no state",
                         current_members(record));
    }
  }
  return std::nullopt;
}

}  // namespace stavo::devserver
