// The /v1/queue/ routes, and stats: what a queue holds and who is attached to it.
#include "queue_request.h"
#include "queue_store.h"

namespace stavo::devserver {

namespace {

Reply stats(QueueService &queues, Call &call) {
  json body;
  if (auto f = read_json_object(call, queues.options().json_body_limit, body)) return *f;
  std::string ns, name;
  if (auto f = queue_names(body, ns, name)) return *f;
  auto lock = queues.lock();
  // A queue nobody has used yet reads as an empty one.
  QueueRecord empty;
  QueueRecord *queue = queues.find(lock, ns, name);
  if (queue == nullptr) queue = &empty;
  QueueHead head = queues.head(lock, *queue);
  size_t in_flight = 0;
  for (const auto &[seq, message] : queue->messages) {
    if (message.delivery) ++in_flight;
  }
  json out = {{"namespace", ns},
              {"queue", name},
              {"waiting_consumers", queue->waiting},
              {"pending_candidates", head.visible},
              {"total_consumers", queue->consumers},
              {"has_active_watcher", queue->watchers > 0},
              {"available", head.available}};
  if (head.exists) {
    int64_t now = queues.clock().now_ms();
    out["head_message_id"] = head.message_id;
    out["head_enqueued_at_unix"] = unix_seconds(head.enqueued_ms);
    out["head_not_visible_until_unix"] = unix_seconds(head.not_visible_until_ms);
    out["head_age_seconds"] = now > head.enqueued_ms ? (now - head.enqueued_ms) / 1000 : 0;
  }
  out["messages"] = queue->messages.size();
  out["in_flight"] = in_flight;
  out["dead_letters"] = queue->dead_letters.size();
  return json_reply(out);
}

}  // namespace

void add_queue_endpoints(Routes &routes, QueueService &queues) {
  add_queue_enqueue_endpoint(routes, queues);
  add_queue_settle_endpoints(routes, queues);
  add_queue_stream_endpoints(routes, queues);
  add_queue_watch_endpoint(routes, queues);
  routes.push_back(
      {"POST", "/v1/queue/stats", [&queues](Call &call) { return stats(queues, call); }});
}

}  // namespace stavo::devserver
