// POST /v1/queue/enqueue: a multipart/related upload (a "meta" JSON part, then a "payload" part),
// read as it arrives; the payload spills to a file past 1 MiB.
#include <limits>

#include "queue_multipart.h"
#include "queue_request.h"
#include "queue_store.h"
#include "util.h"

namespace stavo::devserver {

namespace {

constexpr size_t kPayloadMemoryLimit = 1 << 20;

struct EnqueueMeta {
  std::string ns;
  std::string queue;
  int64_t delay_seconds = 0;
  int64_t visibility_timeout_seconds = 0;
  int64_t ttl_seconds = 0;
  int64_t max_attempts = 0;
  std::string payload_content_type;
};

std::optional<Reply> parse_meta(const std::string &text, EnqueueMeta &meta) {
  json body = json::parse(text, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    return error_reply(400, "invalid_meta", "the meta part must be a JSON object");
  }
  if (auto f = queue_names(body, meta.ns, meta.queue)) return f;
  if (auto f = member_duration(body, "delay_seconds", false, meta.delay_seconds)) return f;
  if (auto f = member_duration(body, "visibility_timeout_seconds", false,
                               meta.visibility_timeout_seconds)) {
    return f;
  }
  if (auto f = member_duration(body, "ttl_seconds", false, meta.ttl_seconds)) return f;
  if (auto f = member_int(body, "max_attempts", false, meta.max_attempts)) return f;
  if (meta.max_attempts < 0 || meta.max_attempts > std::numeric_limits<int32_t>::max()) {
    return error_reply(400, "invalid_field", "'max_attempts' must be from 0 to 2147483647");
  }
  if (auto f = member_string(body, "payload_content_type", false, meta.payload_content_type)) {
    return f;
  }
  return std::nullopt;
}

Reply enqueue(QueueService &queues, Call &call) {
  std::string cid = correlation_id_of(call);
  auto boundary = multipart_related_boundary(call.header("Content-Type").value_or(""));
  if (!boundary) {
    return error_reply(400, "invalid_content_type",
                       "enqueue takes multipart/related with a boundary parameter");
  }
  size_t meta_limit = queues.options().json_body_limit;
  uint64_t payload_limit = queues.options().attachment_limit;
  int part_index = 0;
  bool in_meta = false, in_payload = false, meta_done = false, payload_done = false;
  std::string meta_text, payload_type;
  EnqueueMeta meta;
  auto payload = std::make_shared<QueuePayload>();
  std::string spill = queues.new_payload_file();
  std::optional<Reply> failure;

  MultipartReader::Callbacks callbacks;
  callbacks.begin = [&](const MultipartReader::Part &part) {
    ++part_index;
    std::string wanted = part_index == 1 ? "meta" : part_index == 2 ? "payload" : "";
    if (wanted.empty() || part.name != wanted) {
      failure =
          error_reply(400, "invalid_multipart",
                      part_index > 2 ? "only a meta part and a payload part are accepted"
                                     : "part " + std::to_string(part_index) + " must be named '" +
                                           wanted + "', got '" + part.name + "'");
      return false;
    }
    in_meta = part_index == 1;
    in_payload = part_index == 2;
    payload_type = in_payload ? part.content_type : payload_type;
    return true;
  };
  callbacks.data = [&](const char *data, size_t size) {
    if (in_meta) {
      if (meta_text.size() + size > meta_limit) {
        failure = error_reply(413, "meta_too_large",
                              "the meta part exceeds " + std::to_string(meta_limit) + " bytes");
        return false;
      }
      meta_text.append(data, size);
      return true;
    }
    if (payload->size() + size > payload_limit) {
      failure = error_reply(413, "payload_too_large",
                            "the payload exceeds " + std::to_string(payload_limit) + " bytes");
      return false;
    }
    if (!payload->append(data, size, spill, kPayloadMemoryLimit)) {
      failure = error_reply(500, "payload_store_failed", "the payload could not be stored");
      return false;
    }
    return true;
  };
  callbacks.end = [&] {
    if (in_meta) {
      meta_done = true;
      in_meta = false;
      failure = parse_meta(meta_text, meta);
      return !failure;
    }
    payload_done = true;
    in_payload = false;
    return true;
  };
  MultipartReader reader(*boundary, std::move(callbacks));
  bool stopped = false;
  // After a refusal the rest of the upload is read and dropped, so the client gets the answer.
  bool read = call.read_body([&](const char *data, size_t size) {
    if (!stopped && !reader.push(data, size)) stopped = true;
    return true;
  });
  if (!read) return error_reply(400, "body_read_failed", "the request body could not be read");
  if (failure) return *failure;
  if (!stopped && !reader.finish()) stopped = true;
  if (stopped) return error_reply(400, "invalid_multipart", reader.error());
  if (!meta_done) return error_reply(400, "missing_meta", "the upload has no meta part");
  if (!payload_done) return error_reply(400, "missing_payload", "the upload has no payload part");
  payload->finish();

  auto lock = queues.lock();
  QueueRecord &queue = queues.queue(lock, meta.ns, meta.queue);
  int64_t now = queues.clock().now_ms();
  QueueMessage message;
  message.seq = queues.next_seq(lock);
  message.id = QueueService::message_id_for(message.seq);
  message.payload = payload;
  message.content_type = !meta.payload_content_type.empty() ? meta.payload_content_type
                         : !payload_type.empty()            ? payload_type
                                                            : "application/octet-stream";
  message.correlation_id = cid;
  message.enqueued_ms = now;
  message.not_visible_until_ms = add_seconds(now, meta.delay_seconds);
  message.ttl_seconds = meta.ttl_seconds;
  message.expires_ms = meta.ttl_seconds > 0 ? add_seconds(now, meta.ttl_seconds) : 0;
  if (meta.visibility_timeout_seconds > 0) {
    message.visibility_timeout_seconds = meta.visibility_timeout_seconds;
  }
  if (meta.max_attempts > 0) message.max_attempts = meta.max_attempts;
  message.meta_etag = random_hex(16);
  json out = {{"namespace", meta.ns},
              {"queue", meta.queue},
              {"message_id", message.id},
              {"attempts", 0},
              {"max_attempts", message.max_attempts},
              {"failure_attempts", 0},
              {"not_visible_until_unix", unix_seconds(message.not_visible_until_ms)},
              {"visibility_timeout_seconds", message.visibility_timeout_seconds},
              {"payload_bytes", payload->size()}};
  queue.messages.emplace(message.seq, std::move(message));
  queues.notify(lock);
  Reply reply = json_reply(out);
  reply.set_header("X-Correlation-Id", cid);
  return reply;
}

}  // namespace

void add_queue_enqueue_endpoint(Routes &routes, QueueService &queues) {
  routes.push_back(
      {"POST", "/v1/queue/enqueue", [&queues](Call &call) { return enqueue(queues, call); }});
}

}  // namespace stavo::devserver
