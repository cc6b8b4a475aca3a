// Printing delivered messages, shared by queue dequeue and queue subscribe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli.h"

namespace stavoctl {

// The message's view as JSON (its state lease under "state" for deliveries with state).
JsonObject message_json(sv_message &message);
// Adds the payload as "payload" when it is valid UTF-8, else as "payload_base64".
void add_payload(JsonObject &out, std::string_view payload);
// Reads the rest of the payload into memory.
std::string read_payload(Context &ctx, sv_message &message);
// Base64 with padding (payloads), and the URL alphabet without padding (receipts).
std::string base64(std::string_view bytes);
std::string base64url(std::string_view bytes);
std::optional<std::string> base64url_decode(std::string_view text);

// What identifies one delivery, carried between commands as one "receipt" token.
struct Receipt {
  std::string namespace_name, queue, message_id, lease_id, txn_id, meta_etag;
  int64_t fencing_token = 0;
  std::string state_lease_id, state_etag;
  int64_t state_fencing_token = 0;
};
Receipt receipt_of(const sv_message &message);
std::string encode_receipt(const Receipt &receipt);
// Throws UsageError for anything but a token encode_receipt made.
Receipt decode_receipt(std::string_view token);
// The receipt in the "receipt" member of a dequeue's (or extend's) JSON output.
Receipt receipt_from_json(const std::string &text, std::string_view what);

// queue subscribe.
Command subscribe_command();

}  // namespace stavoctl
