// Queue statistics and the settling of a delivered message (ack, nack, extend): one typed JSON
// exchange each, with a body map assembled per call so that absent optional members are left
// out of the JSON.
#include <climits>
#include <cstring>

#include "brindle_io.h"
#include "queue_internal.h"

namespace {

// The wire record of every settling body; each call sends only some of its members.
struct SettleBody {
  char *namespace_name;
  char *queue;
  char *message_id;
  char *lease_id;
  char *txn_id;
  int64_t fencing_token;
  char *meta_etag;
  char *state_etag;
  int64_t delay_seconds;
  brindle_json_value last_error;
  char *intent;
  int64_t extend_by_seconds;
  char *state_lease_id;
  int64_t state_fencing_token;
};

constexpr uint32_t kRequired = BRINDLE_FIELD_REQUIRED;

const brindle_field kNamespace =
    BRINDLE_DECL_STRING(SettleBody, namespace_name, "namespace", kRequired);
const brindle_field kQueue = BRINDLE_DECL_STRING(SettleBody, queue, "queue", kRequired);
const brindle_field kMessageId =
    BRINDLE_DECL_STRING(SettleBody, message_id, "message_id", kRequired);
const brindle_field kLeaseId = BRINDLE_DECL_STRING(SettleBody, lease_id, "lease_id", kRequired);
const brindle_field kTxnId = BRINDLE_DECL_STRING(SettleBody, txn_id, "txn_id", kRequired);
const brindle_field kFencingToken =
    BRINDLE_DECL_I64(SettleBody, fencing_token, "fencing_token", kRequired);
const brindle_field kMetaEtag = BRINDLE_DECL_STRING(SettleBody, meta_etag, "meta_etag", kRequired);
const brindle_field kStateEtag =
    BRINDLE_DECL_STRING(SettleBody, state_etag, "state_etag", kRequired);
const brindle_field kDelaySeconds =
    BRINDLE_DECL_I64(SettleBody, delay_seconds, "delay_seconds", kRequired);
const brindle_field kLastError =
    BRINDLE_DECL_JSON_VALUE(SettleBody, last_error, "last_error", kRequired);
const brindle_field kIntent = BRINDLE_DECL_STRING(SettleBody, intent, "intent", kRequired);
const brindle_field kExtendBy =
    BRINDLE_DECL_I64(SettleBody, extend_by_seconds, "extend_by_seconds", kRequired);
const brindle_field kStateLeaseId =
    BRINDLE_DECL_STRING(SettleBody, state_lease_id, "state_lease_id", kRequired);
const brindle_field kStateFencingToken =
    BRINDLE_DECL_I64(SettleBody, state_fencing_token, "state_fencing_token", kRequired);

using BodyMap = sv_engine_queue_body_map<16>;

bool present(const char *text) {
  return text != nullptr && text[0] != '\0';
}
char *borrow(const char *text) {
  return const_cast<char *>(text);
}

// The members every settling body starts with.
void add_delivery(BodyMap &map, SettleBody &body, const sv_engine_client *client,
                  const char *namespace_name, const char *queue, const char *message_id,
                  const char *lease_id, const char *txn_id, int64_t fencing_token) {
  body.namespace_name = borrow(sv_engine_effective_namespace(client, namespace_name));
  body.queue = borrow(queue);
  body.message_id = borrow(message_id);
  body.lease_id = borrow(lease_id);
  map.add(kNamespace);
  map.add(kQueue);
  map.add(kMessageId);
  map.add(kLeaseId);
  if (present(txn_id)) {
    body.txn_id = borrow(txn_id);
    map.add(kTxnId);
  }
  if (fencing_token > 0) {
    body.fencing_token = fencing_token;
    map.add(kFencingToken);
  }
}

void add_string(BodyMap &map, const brindle_field &field, char **slot, const char *text) {
  if (!present(text)) return;
  *slot = borrow(text);
  map.add(field);
}

// The state lease pair: the token only travels with its lease id.
void add_state_lease(BodyMap &map, SettleBody &body, const char *state_lease_id,
                     int64_t state_fencing_token) {
  if (!present(state_lease_id)) return;
  body.state_lease_id = borrow(state_lease_id);
  map.add(kStateLeaseId);
  if (state_fencing_token > 0) {
    body.state_fencing_token = state_fencing_token;
    map.add(kStateFencingToken);
  }
}

const sv_engine_header kHeaders[] = {{"Content-Type", "application/json"},
                                     {"Accept", "application/json"}};

// Runs the exchange; a non-2xx answer becomes the server error. The parsed record is left for
// the caller to copy and clean.
int post(const sv_engine_client *client, const char *path, const brindle_map *body_map,
         const void *body, const brindle_map *response_map, void *parsed,
         sv_engine_http_result *result, sv_engine_error *error) {
  int status = sv_engine_http_json_request_stream(client, "POST", path, body_map, body, nullptr,
                                                  kHeaders, 2, response_map, parsed, result, error);
  if (status == SV_OK && (result->status < 200 || result->status > 299)) {
    status = sv_engine_set_server_error_from_result(error, result);
  }
  return status;
}

// Copies the exchange's correlation id into an empty slot.
int copy_correlation(char **slot, const sv_engine_http_result *result, sv_engine_error *error,
                     const char *message) {
  if (*slot != nullptr || result->correlation_id == nullptr) return SV_OK;
  if (!sv_engine_replace_string(slot, result->correlation_id)) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, message);
  }
  return SV_OK;
}

// ---- Response wire records ---------------------------------------------------------------

struct StatsWire {
  char *namespace_name;
  char *queue;
  int64_t waiting_consumers;
  int64_t pending_candidates;
  int64_t total_consumers;
  int32_t has_active_watcher;
  int32_t available;
  char *head_message_id;
  int64_t head_enqueued_at_unix;
  int64_t head_not_visible_until_unix;
  int64_t head_age_seconds;
  int64_t messages;
  int64_t in_flight;
  int64_t dead_letters;
};

const brindle_field stats_fields[] = {
    BRINDLE_DECL_STRING(StatsWire, namespace_name, "namespace", 0),
    BRINDLE_DECL_STRING(StatsWire, queue, "queue", 0),
    BRINDLE_DECL_I64(StatsWire, waiting_consumers, "waiting_consumers", 0),
    BRINDLE_DECL_I64(StatsWire, pending_candidates, "pending_candidates", 0),
    BRINDLE_DECL_I64(StatsWire, total_consumers, "total_consumers", 0),
    BRINDLE_DECL_BOOL(StatsWire, has_active_watcher, "has_active_watcher", 0),
    BRINDLE_DECL_BOOL(StatsWire, available, "available", 0),
    BRINDLE_DECL_STRING(StatsWire, head_message_id, "head_message_id", 0),
    BRINDLE_DECL_I64(StatsWire, head_enqueued_at_unix, "head_enqueued_at_unix", 0),
    BRINDLE_DECL_I64(StatsWire, head_not_visible_until_unix, "head_not_visible_until_unix", 0),
    BRINDLE_DECL_I64(StatsWire, head_age_seconds, "head_age_seconds", 0),
    BRINDLE_DECL_I64(StatsWire, messages, "messages", 0),
    BRINDLE_DECL_I64(StatsWire, in_flight, "in_flight", 0),
    BRINDLE_DECL_I64(StatsWire, dead_letters, "dead_letters", 0),
};
const brindle_map stats_map =
    BRINDLE_MAP("sv_engine_queue_stats_response_json", StatsWire, stats_fields);

struct AckWire {
  int32_t acked;
};
const brindle_field ack_fields[] = {BRINDLE_DECL_BOOL(AckWire, acked, "acked", 0)};
const brindle_map ack_map = BRINDLE_MAP("sv_engine_queue_ack_response_json", AckWire, ack_fields);

struct NackWire {
  int32_t requeued;
  char *meta_etag;
};
const brindle_field nack_fields[] = {
    BRINDLE_DECL_BOOL(NackWire, requeued, "requeued", 0),
    BRINDLE_DECL_STRING(NackWire, meta_etag, "meta_etag", 0),
};
const brindle_map nack_map =
    BRINDLE_MAP("sv_engine_queue_nack_response_json", NackWire, nack_fields);

struct ExtendWire {
  int64_t lease_expires_at_unix;
  int64_t visibility_timeout_seconds;
  char *meta_etag;
  int64_t state_lease_expires_at_unix;
};
const brindle_field extend_fields[] = {
    BRINDLE_DECL_I64(ExtendWire, lease_expires_at_unix, "lease_expires_at_unix", 0),
    BRINDLE_DECL_I64(ExtendWire, visibility_timeout_seconds, "visibility_timeout_seconds", 0),
    BRINDLE_DECL_STRING(ExtendWire, meta_etag, "meta_etag", 0),
    BRINDLE_DECL_I64(ExtendWire, state_lease_expires_at_unix, "state_lease_expires_at_unix", 0),
};
const brindle_map extend_map =
    BRINDLE_MAP("sv_engine_queue_extend_response_json", ExtendWire, extend_fields);

bool fits_int32(int64_t value) {
  return value >= INT32_MIN && value <= INT32_MAX;
}

int copy_stats(const StatsWire &wire, sv_engine_queue_stats_response *response,
               sv_engine_error *error) {
  const struct {
    int64_t value;
    int32_t *slot;
    const char *message;
  } counts[] = {
      {wire.waiting_consumers, &response->waiting_consumers,
       "queue_stats waiting_consumers is out of range"},
      {wire.pending_candidates, &response->pending_candidates,
       "queue_stats pending_candidates is out of range"},
      {wire.total_consumers, &response->total_consumers,
       "queue_stats total_consumers is out of range"},
  };
  for (const auto &count : counts) {
    if (!fits_int32(count.value)) return sv_engine_set_protocol_error(error, count.message);
    *count.slot = static_cast<int32_t>(count.value);
  }
  response->has_active_watcher = wire.has_active_watcher != 0 ? 1 : 0;
  response->available = wire.available != 0 ? 1 : 0;
  response->head_enqueued_at_unix = wire.head_enqueued_at_unix;
  response->head_not_visible_until_unix = wire.head_not_visible_until_unix;
  response->head_age_seconds = wire.head_age_seconds;
  response->messages = wire.messages;
  response->in_flight = wire.in_flight;
  response->dead_letters = wire.dead_letters;
  if (!sv_engine_replace_string(&response->namespace_name, wire.namespace_name) ||
      !sv_engine_replace_string(&response->queue, wire.queue) ||
      !sv_engine_replace_string(&response->head_message_id, wire.head_message_id)) {
    return sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy queue_stats response");
  }
  return SV_OK;
}

}  // namespace

extern "C" {

SV_API int sv_engine_client_queue_stats(const sv_engine_client *client,
                                        const sv_engine_queue_stats_request *request,
                                        sv_engine_queue_stats_response *response,
                                        sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "queue_stats requires client, request, response, and error");
  }
  if (!present(request->queue)) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID, "queue_stats requires queue");
  }
  sv_engine_queue_stats_response_cleanup(response);
  SettleBody body{};
  BodyMap map;
  body.namespace_name = borrow(sv_engine_effective_namespace(client, request->namespace_name));
  body.queue = borrow(request->queue);
  map.add(kNamespace);
  map.add(kQueue);
  const brindle_map body_map = map.map("sv_engine_queue_stats_request", sizeof(SettleBody));
  StatsWire wire{};
  sv_engine_http_result result{};
  int status = post(client, "/v1/queue/stats", &body_map, &body, &stats_map, &wire, &result, error);
  if (status == SV_OK) status = copy_stats(wire, response, error);
  if (status == SV_OK) {
    status = copy_correlation(&response->correlation_id, &result, error,
                              "failed to copy queue_stats correlation_id");
  }
  brindle_cleanup(&stats_map, &wire);
  sv_engine_http_result_cleanup(&result);
  return status;
}

SV_API int sv_engine_client_queue_ack(const sv_engine_client *client,
                                      const sv_engine_queue_ack_request *request,
                                      sv_engine_queue_ack_response *response,
                                      sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "queue_ack requires client, request, response, and error");
  }
  if (!present(request->queue) || request->message_id == nullptr || request->lease_id == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "queue_ack requires queue, message_id, and lease_id");
  }
  sv_engine_queue_ack_response_cleanup(response);
  SettleBody body{};
  BodyMap map;
  add_delivery(map, body, client, request->namespace_name, request->queue, request->message_id,
               request->lease_id, request->txn_id, request->fencing_token);
  add_string(map, kMetaEtag, &body.meta_etag, request->meta_etag);
  add_string(map, kStateEtag, &body.state_etag, request->state_etag);
  add_state_lease(map, body, request->state_lease_id, request->state_fencing_token);
  const brindle_map body_map = map.map("sv_engine_queue_ack_request", sizeof(SettleBody));
  AckWire wire{};
  sv_engine_http_result result{};
  int status = post(client, "/v1/queue/ack", &body_map, &body, &ack_map, &wire, &result, error);
  if (status == SV_OK) {
    response->acked = wire.acked != 0 ? 1 : 0;
    status = copy_correlation(&response->correlation_id, &result, error,
                              "failed to copy queue_ack correlation_id");
  }
  brindle_cleanup(&ack_map, &wire);
  sv_engine_http_result_cleanup(&result);
  return status;
}

SV_API int sv_engine_client_queue_nack(const sv_engine_client *client,
                                       const sv_engine_queue_nack_request *request,
                                       sv_engine_queue_nack_response *response,
                                       sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "queue_nack requires client, request, response, and error");
  }
  if (!present(request->queue) || request->message_id == nullptr || request->lease_id == nullptr ||
      request->meta_etag == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "queue_nack requires queue, message_id, lease_id, and meta_etag");
  }
  sv_engine_queue_nack_response_cleanup(response);
  SettleBody body{};
  brindle_json_value_init(&body.last_error);
  BodyMap map;
  add_delivery(map, body, client, request->namespace_name, request->queue, request->message_id,
               request->lease_id, request->txn_id, request->fencing_token);
  add_string(map, kMetaEtag, &body.meta_etag, request->meta_etag);
  add_string(map, kStateEtag, &body.state_etag, request->state_etag);
  if (request->delay_seconds > 0) {
    body.delay_seconds = request->delay_seconds;
    map.add(kDelaySeconds);
  }
  // The error document is embedded as JSON. It is parsed into a compact copy up front: the
  // exchange measures the body before sending it and may send it to several endpoints, so a
  // one-pass reader over the text would be used up after the first pass.
  if (present(request->last_error)) {
    brindle_error attach_error;
    brindle_error_init(&attach_error);
    const brindle_status attached = brindle_json_value_set_buffer(
        &body.last_error, request->last_error, std::strlen(request->last_error), &attach_error);
    if (attached != BRINDLE_OK) {
      brindle_json_value_cleanup(&body.last_error);
      return sv_engine_brindle_error_from_status(error, attached, &attach_error,
                                                 "failed to configure queue_nack last_error");
    }
    map.add(kLastError);
  }
  add_string(map, kIntent, &body.intent, request->intent);
  add_state_lease(map, body, request->state_lease_id, request->state_fencing_token);
  const brindle_map body_map = map.map("sv_engine_queue_nack_body_json", sizeof(SettleBody));
  NackWire wire{};
  sv_engine_http_result result{};
  int status = post(client, "/v1/queue/nack", &body_map, &body, &nack_map, &wire, &result, error);
  if (status == SV_OK) {
    response->requeued = wire.requeued != 0 ? 1 : 0;
    if (!sv_engine_replace_string(&response->meta_etag, wire.meta_etag)) {
      status =
          sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy queue_nack response");
    }
  }
  if (status == SV_OK) {
    status = copy_correlation(&response->correlation_id, &result, error,
                              "failed to copy queue_nack correlation_id");
  }
  brindle_json_value_cleanup(&body.last_error);
  brindle_cleanup(&nack_map, &wire);
  sv_engine_http_result_cleanup(&result);
  return status;
}

SV_API int sv_engine_client_queue_extend(const sv_engine_client *client,
                                         const sv_engine_queue_extend_request *request,
                                         sv_engine_queue_extend_response *response,
                                         sv_engine_error *error) noexcept {
  if (client == nullptr || request == nullptr || response == nullptr || error == nullptr) {
    return sv_engine_set_client_error(error, SV_ERR_INVALID,
                                      "queue_extend requires client, request, response, and error");
  }
  if (!present(request->queue) || request->message_id == nullptr || request->lease_id == nullptr ||
      request->meta_etag == nullptr) {
    return sv_engine_set_client_error(
        error, SV_ERR_INVALID, "queue_extend requires queue, message_id, lease_id, and meta_etag");
  }
  sv_engine_queue_extend_response_cleanup(response);
  SettleBody body{};
  BodyMap map;
  add_delivery(map, body, client, request->namespace_name, request->queue, request->message_id,
               request->lease_id, request->txn_id, request->fencing_token);
  add_string(map, kMetaEtag, &body.meta_etag, request->meta_etag);
  if (request->extend_by_seconds > 0) {
    body.extend_by_seconds = request->extend_by_seconds;
    map.add(kExtendBy);
  }
  add_state_lease(map, body, request->state_lease_id, request->state_fencing_token);
  const brindle_map body_map = map.map("sv_engine_queue_extend_request", sizeof(SettleBody));
  ExtendWire wire{};
  sv_engine_http_result result{};
  int status =
      post(client, "/v1/queue/extend", &body_map, &body, &extend_map, &wire, &result, error);
  if (status == SV_OK) {
    response->lease_expires_at_unix = wire.lease_expires_at_unix;
    response->visibility_timeout_seconds = wire.visibility_timeout_seconds;
    response->state_lease_expires_at_unix = wire.state_lease_expires_at_unix;
    if (!sv_engine_replace_string(&response->meta_etag, wire.meta_etag)) {
      status =
          sv_engine_set_client_error(error, SV_ERR_NOMEM, "failed to copy queue_extend response");
    }
  }
  if (status == SV_OK) {
    status = copy_correlation(&response->correlation_id, &result, error,
                              "failed to copy queue_extend correlation_id");
  }
  brindle_cleanup(&extend_map, &wire);
  sv_engine_http_result_cleanup(&result);
  return status;
}

}  // extern "C"
