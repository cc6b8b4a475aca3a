// Receipts: everything that identifies one delivery (queue, message, lease, fencing token, meta
// ETag, transaction and state lease) as one opaque token, so that ack, nack and extend take a
// single value from dequeue's output instead of several.
#include <brindle.h>

#include <cstdio>
#include <vector>

#include "queue_message.h"

namespace stavoctl {

namespace {

constexpr std::string_view kPrefix = "sr1.";
constexpr size_t kFields = 10;

std::string text_or_empty(const char *text) {
  return text != nullptr ? text : "";
}

// The "receipt" member of a JSON object; other members are skipped.
struct ReceiptHolder {
  char *receipt;
};
const brindle_field holder_fields[] = {
    BRINDLE_DECL_STRING(ReceiptHolder, receipt, "receipt", 0),
};
const brindle_map holder_map = BRINDLE_MAP("stavoctl_receipt_json", ReceiptHolder, holder_fields);

}  // namespace

std::string encode_receipt(const Receipt &r) {
  // Newlines separate the fields: no id, ETag or name the server hands out holds one.
  const std::string joined = r.namespace_name + "\n" + r.queue + "\n" + r.message_id + "\n" +
                             r.lease_id + "\n" + std::to_string(r.fencing_token) + "\n" + r.txn_id +
                             "\n" + r.meta_etag + "\n" + r.state_lease_id + "\n" +
                             std::to_string(r.state_fencing_token) + "\n" + r.state_etag;
  return std::string(kPrefix) + base64url(joined);
}

Receipt receipt_of(const sv_message &message) {
  Receipt r;
  r.namespace_name = text_or_empty(message.namespace_name);
  r.queue = text_or_empty(message.queue);
  r.message_id = text_or_empty(message.message_id);
  r.lease_id = text_or_empty(message.lease_id);
  r.fencing_token = message.fencing_token;
  r.txn_id = text_or_empty(message.txn_id);
  r.meta_etag = text_or_empty(message.meta_etag);
  if (const sv_lease *state = sv_message_state(const_cast<sv_message *>(&message))) {
    r.state_lease_id = text_or_empty(state->lease_id);
    r.state_fencing_token = state->fencing_token;
    r.state_etag = text_or_empty(state->state_etag);
  }
  return r;
}

Receipt decode_receipt(std::string_view token) {
  const UsageError refused("--receipt is not a receipt printed by stavoctl");
  if (!token.starts_with(kPrefix)) throw refused;
  const std::optional<std::string> joined = base64url_decode(token.substr(kPrefix.size()));
  if (!joined) throw refused;
  std::vector<std::string> fields;
  size_t begin = 0;
  for (;;) {
    const size_t end = joined->find('\n', begin);
    fields.push_back(joined->substr(begin, end == std::string::npos ? end : end - begin));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (fields.size() != kFields || fields[2].empty() || fields[3].empty()) throw refused;
  Receipt r;
  r.namespace_name = fields[0];
  r.queue = fields[1];
  r.message_id = fields[2];
  r.lease_id = fields[3];
  r.txn_id = fields[5];
  r.meta_etag = fields[6];
  r.state_lease_id = fields[7];
  r.state_etag = fields[9];
  if (!sv_i64_parse_base10(fields[4].c_str(), &r.fencing_token) ||
      !sv_i64_parse_base10(fields[8].c_str(), &r.state_fencing_token)) {
    throw refused;
  }
  return r;
}

Receipt receipt_from_json(const std::string &text, std::string_view what) {
  ReceiptHolder holder{};
  brindle_error error;
  brindle_error_init(&error);
  const brindle_status status =
      brindle_parse_buffer(&holder_map, &holder, text.data(), text.size(), nullptr, &error);
  std::string token = holder.receipt != nullptr ? holder.receipt : "";
  brindle_cleanup(&holder_map, &holder);
  if (status != BRINDLE_OK) {
    throw UsageError(std::string(what) + " is not the JSON of a dequeue: " + error.message);
  }
  if (token.empty()) throw UsageError(std::string(what) + " holds no \"receipt\"");
  return decode_receipt(token);
}

}  // namespace stavoctl
