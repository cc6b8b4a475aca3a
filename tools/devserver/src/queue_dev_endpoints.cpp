// GET /_dev/queue?queue=Q&namespace=N: everything the server holds for one queue (messages with
// their delivery leases, dead letters, attached streams); GET /_dev/queues lists the queues.
#include "queue_store.h"
#include "util.h"

namespace stavo::devserver {

namespace {

constexpr uint64_t kInlinePayloadBytes = 64 * 1024;

json message_json(const QueueMessage &message, int64_t now_ms) {
  json out = {{"message_id", message.id},
              {"seq", message.seq},
              {"payload_bytes", message.payload->size()},
              {"payload_content_type", message.content_type},
              {"correlation_id", message.correlation_id},
              {"enqueued_at_ms", message.enqueued_ms},
              {"not_visible_until_ms", message.not_visible_until_ms},
              {"expires_at_ms", message.expires_ms},
              {"visibility_timeout_seconds", message.visibility_timeout_seconds},
              {"attempts", message.attempts},
              {"max_attempts", message.max_attempts},
              {"failure_attempts", message.failure_attempts},
              {"meta_etag", message.meta_etag}};
  out["status"] = message.delivery                        ? "delivered"
                  : message.not_visible_until_ms > now_ms ? "delayed"
                                                          : "visible";
  if (message.payload->size() <= kInlinePayloadBytes) {
    std::string bytes(static_cast<size_t>(message.payload->size()), '\0');
    if (message.payload->read(0, bytes.data(), bytes.size()))
      out["payload_base64"] = base64_encode(bytes);
  }
  if (message.last_error) out["last_error"] = *message.last_error;
  if (message.delivery) {
    const QueueDelivery &d = *message.delivery;
    json lease = {{"lease_id", d.lease_id},
                  {"owner", d.owner},
                  {"txn_id", d.txn_id},
                  {"fencing_token", d.fencing_token},
                  {"expires_at_ms", d.expires_ms},
                  {"stream_id", d.stream_id}};
    if (d.with_state) {
      lease["state_key"] = d.state_key;
      lease["state_lease_id"] = d.state_lease_id;
      lease["state_fencing_token"] = d.state_fencing_token;
      lease["state_txn_id"] = d.state_txn_id;
    }
    out["lease"] = lease;
  }
  return out;
}

Reply inspect(QueueService &queues, Call &call) {
  std::string name = call.param("queue").value_or("");
  if (name.empty()) return error_reply(400, "missing_field", "query parameter 'queue' is required");
  std::string ns = call.param("namespace").value_or("");
  if (ns.empty()) ns = "default";
  auto lock = queues.lock();
  QueueRecord *queue = queues.find(lock, ns, name);
  if (queue == nullptr) return error_reply(404, "queue_not_found", "the queue was never used");
  int64_t now = queues.clock().now_ms();
  json messages = json::array();
  for (const auto &[seq, message] : queue->messages)
    messages.push_back(message_json(message, now));
  json dead = json::array();
  for (const auto &letter : queue->dead_letters) {
    json entry = message_json(letter.message, now);
    entry["dead_at_ms"] = letter.dead_at_ms;
    entry["reason"] = letter.reason;
    dead.push_back(entry);
  }
  return json_reply({{"namespace", ns},
                     {"queue", name},
                     {"messages", messages},
                     {"dead_letters", dead},
                     {"consumers", queue->consumers},
                     {"waiting_consumers", queue->waiting},
                     {"watchers", queue->watchers}});
}

}  // namespace

void add_queue_dev_endpoints(Routes &routes, QueueService &queues) {
  routes.push_back({"GET", "/_dev/queue", [&queues](Call &call) { return inspect(queues, call); }});
  routes.push_back({"GET", "/_dev/queues", [&queues](Call &) {
                      auto lock = queues.lock();
                      json list = json::array();
                      for (const auto &[key, queue] : queues.all(lock)) {
                        list.push_back({{"namespace", key.first},
                                        {"queue", key.second},
                                        {"messages", queue.messages.size()},
                                        {"dead_letters", queue.dead_letters.size()}});
                      }
                      return json_reply(list);
                    }});
}

}  // namespace stavo::devserver
