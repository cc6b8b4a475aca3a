// A snapshot of one key, for assertions in tests and for the /_dev/state control.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stavo::devserver {

struct AttachmentState {
  std::string id;
  std::string name;
  std::string content_type;
  std::string sha256;  // hex
  uint64_t size = 0;
  int64_t created_at_unix = 0;
  int64_t updated_at_unix = 0;
};

struct LeaseState {
  std::string lease_id;
  std::string owner;
  std::string txn_id;
  int64_t fencing_token = 0;
  int64_t expires_at_ms = 0;
  bool has_staged_changes = false;
  // What the lease holder sees (staged writes applied).
  bool staged_has_state = false;
  std::string staged_state;
  bool staged_query_hidden = false;
};

struct KeyState {
  bool exists = false;  // the server knows the key (leased once, or has state or attachments)
  // Committed state.
  bool has_state = false;
  std::string state;
  std::string content_type;
  std::string state_etag;  // hex SHA-256 of the state bytes, empty without state
  int64_t version = 0;
  bool query_hidden = false;
  int64_t updated_at_unix = 0;
  int64_t fencing_counter = 0;  // the token the last grant handed out
  std::optional<LeaseState> lease;
  std::vector<AttachmentState> attachments;  // by name
};

}  // namespace stavo::devserver
