// POST /v1/queue/watch: a text/event-stream answer with one event whenever the queue's head (its
// first available message, or the next one to become visible) or its availability changes. The
// first event describes the head as it is when the watch starts.
#include "queue_request.h"
#include "queue_store.h"
#include "stream_writer.h"

namespace stavo::devserver {

namespace {

json event_of(const std::string &ns, const std::string &name, const QueueHead &head, int64_t now_ms,
              const std::string &correlation_id) {
  json event = {{"namespace", ns}, {"queue", name}, {"available", head.available}};
  if (head.exists) event["head_message_id"] = head.message_id;
  event["changed_at_unix"] = unix_seconds(now_ms);
  event["correlation_id"] = correlation_id;
  return event;
}

bool watch_loop(QueueService &queues, const std::string &ns, const std::string &name,
                const std::string &correlation_id, StreamWriter &writer) {
  auto lock = queues.lock();
  QueueRecord &queue = queues.queue(lock, ns, name);
  ++queue.watchers;
  std::optional<QueueHead> last;
  bool ok = true;
  while (ok) {
    if (writer.client_gone() || !writer.server_running() || queues.stopping(lock)) {
      ok = false;
      break;
    }
    queues.refresh(lock, ns, name, queue);
    QueueHead head = queues.head(lock, queue);
    if (!last || !(head == *last)) {
      last = head;
      std::string text = "event: queue\ndata: " +
                         event_of(ns, name, head, queues.clock().now_ms(), correlation_id).dump() +
                         "\n\n";
      lock.unlock();
      ok = writer.write(text) && writer.end_part();
      lock.lock();
      continue;
    }
    if (!queues.wait(lock, queues.next_change_ms(queue))) ok = false;
  }
  --queue.watchers;
  queues.notify(lock);
  return ok;
}

Reply watch(QueueService &queues, Call &call) {
  json body;
  if (auto f = read_json_object(call, queues.options().json_body_limit, body)) return *f;
  std::string ns, name;
  if (auto f = queue_names(body, ns, name)) return *f;
  std::string cid = correlation_id_of(call);
  Reply reply;
  reply.set_header("Content-Type", "text/event-stream");
  reply.set_header("Cache-Control", "no-cache");
  reply.set_header("X-Correlation-Id", cid);
  reply.produce = [&queues, ns, name, cid](StreamWriter &writer) {
    return watch_loop(queues, ns, name, cid, writer);
  };
  return reply;
}

}  // namespace

void add_queue_watch_endpoint(Routes &routes, QueueService &queues) {
  routes.push_back(
      {"POST", "/v1/queue/watch", [&queues](Call &call) { return watch(queues, call); }});
}

}  // namespace stavo::devserver
