// dequeue, subscribe and their WithState forms: a multipart/related answer with a "meta" part
// and a "payload" part per delivered message. dequeue delivers what is there (waiting up to
// wait_seconds for the first message) and ends; subscribe keeps delivering, with at most
// page_size unsettled deliveries outstanding on the stream.
#include "queue_multipart.h"
#include "queue_request.h"
#include "queue_store.h"
#include "stream_writer.h"
#include "util.h"

namespace stavo::devserver {

namespace {

constexpr int64_t kMaxPageSize = 1000;
constexpr size_t kPayloadPiece = 64 * 1024;

struct StreamRequest {
  std::string ns, queue, owner, start_after;
  int64_t visibility_timeout_seconds = 0;
  int64_t wait_seconds = 0;
  int64_t page_size = 1;
  uint64_t after_seq = 0;
  bool subscribe = false;
  bool with_state = false;
  std::string correlation_id;
};

std::optional<Reply> parse_request(const json &body, StreamRequest &out) {
  if (auto f = queue_names(body, out.ns, out.queue)) return f;
  if (auto f = member_string(body, "owner", false, out.owner)) return f;
  if (auto f = member_duration(body, "visibility_timeout_seconds", false,
                               out.visibility_timeout_seconds))
    return f;
  if (auto f = member_duration(body, "wait_seconds", false, out.wait_seconds, -1)) return f;
  if (auto f = member_int(body, "page_size", false, out.page_size)) return f;
  if (out.page_size < 1 || out.page_size > kMaxPageSize) {
    return error_reply(400, "invalid_field",
                       "'page_size' must be from 1 to " + std::to_string(kMaxPageSize));
  }
  if (auto f = member_string(body, "start_after", false, out.start_after)) return f;
  if (!out.start_after.empty()) {
    auto seq = QueueService::seq_of(out.start_after);
    if (!seq) {
      return error_reply(400, "invalid_cursor",
                         "'start_after' must be a message id or a next_cursor of this server");
    }
    out.after_seq = *seq;
  }
  return std::nullopt;
}

// One delivery, taken under the lock and sent without it.
struct Outgoing {
  json meta;
  std::shared_ptr<const QueuePayload> payload;
  std::string content_type;
};

json meta_of(const StreamRequest &request, const QueueMessage &message, int64_t visibility) {
  const QueueDelivery &d = *message.delivery;
  json m = {{"namespace", request.ns},
            {"queue", request.queue},
            {"message_id", message.id},
            {"attempts", message.attempts},
            {"max_attempts", message.max_attempts},
            {"failure_attempts", message.failure_attempts},
            {"not_visible_until_unix", unix_seconds(message.not_visible_until_ms)},
            {"visibility_timeout_seconds", visibility},
            {"payload_content_type", message.content_type},
            {"payload_bytes", message.payload->size()},
            {"correlation_id", message.correlation_id},
            {"lease_id", d.lease_id},
            {"lease_expires_at_unix", unix_seconds(d.expires_ms)},
            {"fencing_token", d.fencing_token},
            {"txn_id", d.txn_id},
            {"meta_etag", message.meta_etag}};
  if (d.with_state) {
    if (!d.state_etag.empty()) m["state_etag"] = d.state_etag;
    m["state_lease_id"] = d.state_lease_id;
    m["state_lease_expires_at_unix"] = unix_seconds(d.expires_ms);
    m["state_fencing_token"] = d.state_fencing_token;
    m["state_txn_id"] = d.state_txn_id;
  }
  if (message.last_error) m["last_error"] = *message.last_error;
  return {{"message", m}, {"next_cursor", message.id}};
}

bool send_delivery(StreamWriter &writer, const std::string &boundary, const Outgoing &out) {
  std::string meta = out.meta.dump();
  std::string head = part_head(boundary, {{"Content-Type", "application/json"},
                                          {"Content-Disposition", "form-data; name=\"meta\""},
                                          {"Content-Length", std::to_string(meta.size())}});
  if (!writer.write(head) || !writer.write(meta) || !writer.write("\r\n") || !writer.end_part())
    return false;
  uint64_t size = out.payload->size();
  head = part_head(boundary, {{"Content-Disposition", "form-data; name=\"payload\""},
                              {"Content-Type", out.content_type},
                              {"Content-Length", std::to_string(size)}});
  if (!writer.write(head)) return false;
  std::string piece;
  for (uint64_t offset = 0; offset < size;) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(kPayloadPiece, size - offset));
    piece.resize(length);
    if (!out.payload->read(offset, piece.data(), length) || !writer.write(piece)) return false;
    offset += length;
  }
  return writer.write("\r\n") && writer.end_part();
}

class StreamProducer {
 public:
  StreamProducer(QueueService &queues, StreamRequest request, std::string boundary)
      : queues_(queues), request_(std::move(request)), boundary_(std::move(boundary)) {}

  bool operator()(StreamWriter &writer) {
    auto lock = queues_.lock();
    QueueRecord &queue = queues_.queue(lock, request_.ns, request_.queue);
    ++queue.consumers;
    uint64_t stream_id = queues_.next_stream_id(lock);
    bool ended_normally = run(lock, queue, writer, stream_id);
    --queue.consumers;
    queues_.notify(lock);
    lock.unlock();
    if (!ended_normally) return false;
    return writer.write(closing_delimiter(boundary_));
  }

 private:
  // The earliest undelivered visible message after the cursor that this stream may take.
  QueueMessage *candidate(QueueService::Lock &lock, QueueRecord &queue) {
    int64_t now = queues_.clock().now_ms();
    for (auto it = queue.messages.upper_bound(request_.after_seq); it != queue.messages.end();
         ++it) {
      QueueMessage &message = it->second;
      if (message.delivery || message.not_visible_until_ms > now) continue;
      if (request_.with_state) {
        KeyRecord *state =
            queues_.store().find(lock, request_.ns, state_key_for(request_.queue, message.id));
        if (state != nullptr && state->lease) continue;  // its state is leased elsewhere
      }
      return &message;
    }
    return nullptr;
  }

  static int64_t outstanding(const QueueRecord &queue, uint64_t stream_id) {
    int64_t count = 0;
    for (const auto &[seq, message] : queue.messages) {
      if (message.delivery && message.delivery->stream_id == stream_id) ++count;
    }
    return count;
  }

  // True when the stream ends normally (closing delimiter), false when it must be cut.
  bool run(QueueService::Lock &lock, QueueRecord &queue, StreamWriter &writer, uint64_t stream_id) {
    int64_t wait = request_.wait_seconds;
    auto idle_deadline = [&] {
      return wait > 0 ? add_seconds(queues_.clock().now_ms(), wait) : int64_t{0};
    };
    int64_t deadline = idle_deadline();
    int64_t delivered = 0;
    while (true) {
      if (writer.client_gone() || !writer.server_running() || queues_.stopping(lock)) return false;
      queues_.refresh(lock, request_.ns, request_.queue, queue);
      int64_t room = request_.subscribe ? request_.page_size - outstanding(queue, stream_id)
                                        : request_.page_size - delivered;
      if (room > 0) {
        if (QueueMessage *message = candidate(lock, queue)) {
          if (queues_.deliver(lock, request_.ns, request_.queue, *message, request_.owner,
                              request_.visibility_timeout_seconds, stream_id,
                              request_.with_state)) {
            int64_t visibility = request_.visibility_timeout_seconds > 0
                                     ? request_.visibility_timeout_seconds
                                     : message->visibility_timeout_seconds;
            Outgoing out{meta_of(request_, *message, visibility), message->payload,
                         message->content_type};
            ++delivered;
            // Idle time counts from the delivery, not from the end of its sending.
            if (request_.subscribe) deadline = idle_deadline();
            lock.unlock();
            bool sent = send_delivery(writer, boundary_, out);
            lock.lock();
            if (!sent) return false;
            continue;
          }
        }
      }
      if (!request_.subscribe && (delivered > 0 || wait == 0 || room <= 0)) return true;
      int64_t now = queues_.clock().now_ms();
      if (deadline != 0 && now >= deadline) return true;
      int64_t wake = queues_.next_change_ms(queue);
      if (deadline != 0 && (wake == 0 || deadline < wake)) wake = deadline;
      if (room > 0) ++queue.waiting;
      bool running = queues_.wait(lock, wake);
      if (room > 0) --queue.waiting;
      if (!running) return false;
    }
  }

  QueueService &queues_;
  StreamRequest request_;
  std::string boundary_;
};

Reply open_stream(QueueService &queues, Call &call, bool subscribe, bool with_state) {
  json body;
  if (auto f = read_json_object(call, queues.options().json_body_limit, body)) return *f;
  StreamRequest request;
  if (auto f = parse_request(body, request)) return *f;
  request.subscribe = subscribe;
  request.with_state = with_state;
  request.correlation_id = correlation_id_of(call);
  std::string boundary = "stavo-queue-" + random_hex(12);
  Reply reply;
  reply.set_header("Content-Type", "multipart/related; boundary=" + boundary);
  reply.set_header("X-Correlation-Id", request.correlation_id);
  auto producer = std::make_shared<StreamProducer>(queues, std::move(request), boundary);
  reply.produce = [producer](StreamWriter &writer) { return (*producer)(writer); };
  return reply;
}

}  // namespace

void add_queue_stream_endpoints(Routes &routes, QueueService &queues) {
  struct Form {
    const char *path;
    bool subscribe;
    bool with_state;
  };
  for (Form form :
       {Form{"/v1/queue/dequeue", false, false}, Form{"/v1/queue/dequeueWithState", false, true},
        Form{"/v1/queue/subscribe", true, false},
        Form{"/v1/queue/subscribeWithState", true, true}}) {
    routes.push_back({"POST", form.path, [&queues, form](Call &call) {
                        return open_stream(queues, call, form.subscribe, form.with_state);
                      }});
  }
}

}  // namespace stavo::devserver
