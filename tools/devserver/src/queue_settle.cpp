// ack, nack, extend: settling a delivered message. Each names the delivery by message id and
// lease id, optionally pinned by fencing token, transaction id, meta ETag and the state lease.
#include <algorithm>

#include "queue_request.h"
#include "queue_store.h"
#include "util.h"

namespace stavo::devserver {

namespace {

struct SettleRequest {
  std::string ns, queue, message_id, lease_id, txn_id, meta_etag, state_etag, state_lease_id;
  int64_t fencing_token = 0, state_fencing_token = 0;
  bool has_fencing_token = false, has_state_fencing_token = false;
};

std::optional<Reply> parse_settle(const json &body, SettleRequest &out) {
  if (auto f = queue_names(body, out.ns, out.queue)) return f;
  if (auto f = member_string(body, "message_id", true, out.message_id)) return f;
  if (auto f = member_string(body, "lease_id", true, out.lease_id)) return f;
  if (auto f = member_string(body, "txn_id", false, out.txn_id)) return f;
  if (auto f = member_string(body, "meta_etag", false, out.meta_etag)) return f;
  if (auto f = member_string(body, "state_etag", false, out.state_etag)) return f;
  if (auto f = member_string(body, "state_lease_id", false, out.state_lease_id)) return f;
  if (auto f = member_int(body, "fencing_token", false, out.fencing_token)) return f;
  if (auto f = member_int(body, "state_fencing_token", false, out.state_fencing_token)) return f;
  out.has_fencing_token = body.contains("fencing_token") && !body["fencing_token"].is_null();
  out.has_state_fencing_token =
      body.contains("state_fencing_token") && !body["state_fencing_token"].is_null();
  return std::nullopt;
}

// The message under its current delivery, or the answer that refuses the request.
std::optional<Reply> locate(QueueService &queues, QueueService::Lock &lock,
                            const SettleRequest &request, QueueRecord *&queue,
                            QueueMessage *&message) {
  queue = queues.find(lock, request.ns, request.queue);
  message = nullptr;
  if (queue != nullptr) {
    auto seq = QueueService::seq_of(request.message_id);
    auto it = seq ? queue->messages.find(*seq) : queue->messages.end();
    if (it != queue->messages.end() && it->second.id == request.message_id) message = &it->second;
  }
  if (message == nullptr) {
    bool dead =
        queue != nullptr &&
        std::any_of(queue->dead_letters.begin(), queue->dead_letters.end(),
                    [&](const DeadLetter &d) { return d.message.id == request.message_id; });
    return error_reply(404, "message_not_found",
                       dead ? "the message was moved to the dead letters"
                            : "no such message in the queue (unknown, acknowledged or expired)");
  }
  const auto &delivery = message->delivery;
  if (!delivery || delivery->lease_id != request.lease_id) {
    bool expired = std::find(message->past_leases.begin(), message->past_leases.end(),
                             request.lease_id) != message->past_leases.end();
    if (expired) return error_reply(409, "lease_expired", "the delivery lease has ended");
    return error_reply(409, "lease_mismatch", "the message is not delivered under this lease id");
  }
  if (request.has_fencing_token && request.fencing_token != delivery->fencing_token) {
    return error_reply(409, "fencing_mismatch",
                       "fencing token " + std::to_string(request.fencing_token) +
                           " is not the delivery's " + std::to_string(delivery->fencing_token));
  }
  if (!request.txn_id.empty() && request.txn_id != delivery->txn_id) {
    return error_reply(409, "txn_mismatch", "the transaction id is not the delivery's");
  }
  if (!request.meta_etag.empty() && request.meta_etag != message->meta_etag) {
    return error_reply(409, "meta_etag_mismatch", "the message has changed since that meta_etag",
                       {{"current_etag", message->meta_etag}});
  }
  if (!request.state_lease_id.empty() &&
      (!delivery->with_state || request.state_lease_id != delivery->state_lease_id)) {
    return error_reply(409, "state_lease_mismatch",
                       "the state lease id is not the one granted with the delivery");
  }
  if (!request.state_lease_id.empty() && request.has_state_fencing_token &&
      request.state_fencing_token != delivery->state_fencing_token) {
    return error_reply(409, "state_fencing_mismatch",
                       "the state fencing token is not the one granted with the delivery");
  }
  if (!request.state_etag.empty() && request.state_etag != delivery->state_etag) {
    return error_reply(409, "state_etag_mismatch",
                       "the state ETag is not the one handed out with the delivery");
  }
  return std::nullopt;
}

Reply ack(QueueService &queues, Call &call) {
  json body;
  if (auto f = read_json_object(call, queues.options().json_body_limit, body)) return *f;
  SettleRequest request;
  if (auto f = parse_settle(body, request)) return *f;
  auto lock = queues.lock();
  QueueRecord *queue = nullptr;
  QueueMessage *message = nullptr;
  if (auto f = locate(queues, lock, request, queue, message)) return *f;
  uint64_t seq = message->seq;
  queues.end_delivery(lock, request.ns, *message, true);
  queue->messages.erase(seq);
  queues.notify(lock);
  return json_reply({{"acked", true}});
}

Reply nack(QueueService &queues, Call &call) {
  json body;
  if (auto f = read_json_object(call, queues.options().json_body_limit, body)) return *f;
  SettleRequest request;
  if (auto f = parse_settle(body, request)) return *f;
  int64_t delay = 0;
  if (auto f = member_duration(body, "delay_seconds", false, delay)) return *f;
  std::string intent = "failure";
  if (auto f = member_string(body, "intent", false, intent)) return *f;
  if (intent.empty()) intent = "failure";
  if (intent != "failure" && intent != "defer") {
    return error_reply(400, "invalid_field", "'intent' must be \"failure\" or \"defer\"");
  }
  std::optional<json> last_error;
  if (auto it = body.find("last_error"); it != body.end() && !it->is_null()) last_error = *it;

  auto lock = queues.lock();
  QueueRecord *queue = nullptr;
  QueueMessage *message = nullptr;
  if (auto f = locate(queues, lock, request, queue, message)) return *f;
  queues.end_delivery(lock, request.ns, *message, false);
  if (last_error) message->last_error = std::move(last_error);
  if (intent == "failure") ++message->failure_attempts;
  if (intent == "failure" && message->failure_attempts >= message->max_attempts) {
    queues.bury(lock, request.ns, *queue, message->seq, "max_attempts");
    std::string etag = queue->dead_letters.back().message.meta_etag;
    return json_reply({{"requeued", false}, {"meta_etag", etag}, {"dead_lettered", true}});
  }
  message->not_visible_until_ms = add_seconds(queues.clock().now_ms(), delay);
  message->meta_etag = random_hex(16);
  queues.notify(lock);
  return json_reply({{"requeued", true}, {"meta_etag", message->meta_etag}});
}

Reply extend(QueueService &queues, Call &call) {
  json body;
  if (auto f = read_json_object(call, queues.options().json_body_limit, body)) return *f;
  SettleRequest request;
  if (auto f = parse_settle(body, request)) return *f;
  int64_t by = 0;
  if (auto f = member_duration(body, "extend_by_seconds", false, by)) return *f;
  auto lock = queues.lock();
  QueueRecord *queue = nullptr;
  QueueMessage *message = nullptr;
  if (auto f = locate(queues, lock, request, queue, message)) return *f;
  if (by == 0) by = message->visibility_timeout_seconds;
  QueueDelivery &delivery = *message->delivery;
  delivery.expires_ms = add_seconds(queues.clock().now_ms(), by);
  message->not_visible_until_ms = delivery.expires_ms;
  message->meta_etag = random_hex(16);
  json out = {{"lease_expires_at_unix", unix_seconds(delivery.expires_ms)},
              {"visibility_timeout_seconds", by},
              {"meta_etag", message->meta_etag}};
  if (delivery.with_state) {
    KeyRecord *record = queues.store().find(lock, request.ns, delivery.state_key);
    if (record != nullptr && record->lease && record->lease->id == delivery.state_lease_id) {
      record->lease->expires_ms = delivery.expires_ms;
    }
    out["state_lease_expires_at_unix"] = unix_seconds(delivery.expires_ms);
  }
  queues.notify(lock);
  return json_reply(out);
}

}  // namespace

void add_queue_settle_endpoints(Routes &routes, QueueService &queues) {
  routes.push_back({"POST", "/v1/queue/ack", [&queues](Call &call) { return ack(queues, call); }});
  routes.push_back(
      {"POST", "/v1/queue/nack", [&queues](Call &call) { return nack(queues, call); }});
  routes.push_back(
      {"POST", "/v1/queue/extend", [&queues](Call &call) { return extend(queues, call); }});
}

}  // namespace stavo::devserver
