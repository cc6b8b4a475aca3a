// The meta part of a delivery: {"message": {...}, "next_cursor": "..."} parsed into the message
// record that the payload's handler calls receive.
#include <climits>

#include "brindle_io.h"
#include "queue_internal.h"

namespace {

struct MessageWire {
  char *namespace_name;
  char *queue;
  char *message_id;
  int64_t attempts;
  int64_t max_attempts;
  int64_t failure_attempts;
  int64_t not_visible_until_unix;
  int64_t visibility_timeout_seconds;
  char *payload_content_type;
  int64_t payload_bytes;
  char *correlation_id;
  char *lease_id;
  int64_t lease_expires_at_unix;
  int64_t fencing_token;
  char *txn_id;
  char *meta_etag;
  char *state_etag;
  char *state_lease_id;
  int64_t state_lease_expires_at_unix;
  int64_t state_fencing_token;
  char *state_txn_id;
};

struct MetaWire {
  MessageWire message;
  char *next_cursor;
};

const brindle_field message_fields[] = {
    BRINDLE_DECL_STRING(MessageWire, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(MessageWire, queue, "queue", 0),
    BRINDLE_DECL_STRING(MessageWire, message_id, "message_id", 0),
    BRINDLE_DECL_I64(MessageWire, attempts, "attempts", 0),
    BRINDLE_DECL_I64(MessageWire, max_attempts, "max_attempts", 0),
    BRINDLE_DECL_I64(MessageWire, failure_attempts, "failure_attempts", 0),
    BRINDLE_DECL_I64(MessageWire, not_visible_until_unix, "not_visible_until_unix", 0),
    BRINDLE_DECL_I64(MessageWire, visibility_timeout_seconds, "visibility_timeout_seconds", 0),
    BRINDLE_DECL_STRING(MessageWire, payload_content_type, "payload_content_type", 0),
    BRINDLE_DECL_I64(MessageWire, payload_bytes, "payload_bytes", 0),
    BRINDLE_DECL_STRING(MessageWire, correlation_id, "correlation_id", 0),
    BRINDLE_DECL_STRING(MessageWire, lease_id, "lease_id", 0),
    BRINDLE_DECL_I64(MessageWire, lease_expires_at_unix, "lease_expires_at_unix", 0),
    BRINDLE_DECL_I64(MessageWire, fencing_token, "fencing_token", 0),
    BRINDLE_DECL_STRING(MessageWire, txn_id, "txn_id", 0),
    BRINDLE_DECL_STRING(MessageWire, meta_etag, "meta_etag", 0),
    BRINDLE_DECL_STRING(MessageWire, state_etag, "state_etag", 0),
    BRINDLE_DECL_STRING(MessageWire, state_lease_id, "state_lease_id", 0),
    BRINDLE_DECL_I64(MessageWire, state_lease_expires_at_unix, "state_lease_expires_at_unix", 0),
    BRINDLE_DECL_I64(MessageWire, state_fencing_token, "state_fencing_token", 0),
    BRINDLE_DECL_STRING(MessageWire, state_txn_id, "state_txn_id", 0),
};
const brindle_map message_map =
    BRINDLE_MAP("sv_engine_subscribe_message_json", MessageWire, message_fields);

const brindle_field meta_fields[] = {
    BRINDLE_DECL_OBJECT(MetaWire, message, "message", BRINDLE_FIELD_REQUIRED, &message_map),
    BRINDLE_DECL_STRING(MetaWire, next_cursor, "next_cursor", 0),
};
const brindle_map meta_map = BRINDLE_MAP("sv_engine_subscribe_meta_json", MetaWire, meta_fields);

int copy_counts(const MessageWire &wire, sv_engine_dequeue_response *message,
                sv_engine_error *error) {
  const struct {
    int64_t value;
    int32_t *slot;
    const char *message;
  } counts[] = {
      {wire.attempts, &message->attempts, "queue attempts is out of range"},
      {wire.max_attempts, &message->max_attempts, "queue max_attempts is out of range"},
      {wire.failure_attempts, &message->failure_attempts, "queue failure_attempts is out of range"},
  };
  for (const auto &count : counts) {
    if (count.value < INT32_MIN || count.value > INT32_MAX) {
      return sv_engine_set_protocol_error(error, count.message);
    }
    *count.slot = static_cast<int32_t>(count.value);
  }
  if (wire.payload_bytes < 0) {
    return sv_engine_set_protocol_error(error, "queue payload_bytes is out of range");
  }
  return SV_OK;
}

int copy_message(const MetaWire &wire, const char *correlation_id,
                 sv_engine_dequeue_response *message, sv_engine_error *error) {
  const MessageWire &in = wire.message;
  const struct {
    char **slot;
    const char *text;
  } strings[] = {
      {&message->namespace_name, in.namespace_name},
      {&message->queue, in.queue},
      {&message->message_id, in.message_id},
      {&message->payload_content_type, in.payload_content_type},
      {&message->lease_id, in.lease_id},
      {&message->txn_id, in.txn_id},
      {&message->meta_etag, in.meta_etag},
      {&message->state_etag, in.state_etag},
      {&message->state_lease_id, in.state_lease_id},
      {&message->state_txn_id, in.state_txn_id},
      {&message->next_cursor, wire.next_cursor},
  };
  for (const auto &string : strings) {
    if (!sv_engine_replace_string(string.slot, string.text)) {
      return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                        "failed to copy subscribe meta response");
    }
  }
  const int status = copy_counts(in, message, error);
  if (status != SV_OK) return status;
  message->not_visible_until_unix = in.not_visible_until_unix;
  message->visibility_timeout_seconds = in.visibility_timeout_seconds;
  message->payload_bytes = in.payload_bytes;
  message->lease_expires_at_unix = in.lease_expires_at_unix;
  message->fencing_token = in.fencing_token;
  message->state_lease_expires_at_unix = in.state_lease_expires_at_unix;
  message->state_fencing_token = in.state_fencing_token;
  const char *cid = in.correlation_id != nullptr ? in.correlation_id : correlation_id;
  if (!sv_engine_replace_string(&message->correlation_id, cid)) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM,
                                      "failed to allocate subscribe correlation id");
  }
  return SV_OK;
}

}  // namespace

extern "C" {

SV_API int sv_engine_parse_subscribe_meta_json(const char *json, const char *correlation_id,
                                               sv_engine_dequeue_response *message,
                                               sv_engine_error *error) noexcept {
  if (json == nullptr || message == nullptr || error == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "parse_subscribe_meta_json requires json, response, and error");
  }
  sv_engine_dequeue_response_cleanup(message);
  MetaWire wire{};
  brindle_error parse_error;
  brindle_error_init(&parse_error);
  const brindle_status parsed = brindle_parse_cstr(&meta_map, &wire, json, nullptr, &parse_error);
  int status = SV_OK;
  if (parsed != BRINDLE_OK && parsed != BRINDLE_TRUNCATED) {
    status = sv_engine_brindle_error_from_status(error, parsed, &parse_error,
                                                 "failed to parse subscribe meta body");
  } else {
    status = copy_message(wire, correlation_id, message, error);
  }
  brindle_cleanup(&meta_map, &wire);
  if (status != SV_OK) sv_engine_dequeue_response_cleanup(message);
  return status;
}

}  // extern "C"
