#include "queue_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace queue_test {

namespace {

int record_begin(void *context, const sv_engine_dequeue_response *message, sv_engine_error *error) {
  auto *recorder = static_cast<Recorder *>(context);
  Delivered delivered;
  auto text = [](const char *value) { return std::string(value != nullptr ? value : "<null>"); };
  delivered.message_id = text(message->message_id);
  delivered.lease_id = text(message->lease_id);
  delivered.payload_content_type = text(message->payload_content_type);
  delivered.correlation_id = text(message->correlation_id);
  delivered.next_cursor = text(message->next_cursor);
  delivered.attempts = message->attempts;
  delivered.payload_bytes = message->payload_bytes;
  recorder->messages.push_back(delivered);
  if (recorder->refuse_at == 'B' && recorder->messages.size() == recorder->refuse_message) {
    if (recorder->own_error) sv_engine_set_client_error(error, SV_ERR_INVALID, "begin says no");
    return 0;
  }
  return 1;
}

int record_chunk(void *context, const char *bytes, size_t length, sv_engine_error *error) {
  auto *recorder = static_cast<Recorder *>(context);
  if (recorder->messages.empty() || length == 0) return 0;  // a fault of the engine
  Delivered &delivered = recorder->messages.back();
  if (recorder->keep_payload) delivered.payload.append(bytes, length);
  delivered.received += length;
  ++delivered.chunks;
  if (length > delivered.largest_chunk) delivered.largest_chunk = length;
  recorder->bytes += length;
  if (recorder->refuse_at == 'C' && recorder->messages.size() == recorder->refuse_message) {
    if (recorder->own_error) sv_engine_set_client_error(error, SV_ERR_INVALID, "chunk says no");
    return 0;
  }
  return 1;
}

int record_end(void *context, const sv_engine_dequeue_response *message, sv_engine_error *error) {
  auto *recorder = static_cast<Recorder *>(context);
  if (recorder->messages.empty() || message == nullptr) return 0;
  recorder->messages.back().ended = true;
  if (recorder->refuse_at == 'E' && recorder->messages.size() == recorder->refuse_message) {
    if (recorder->own_error) sv_engine_set_client_error(error, SV_ERR_INVALID, "end says no");
    return 0;
  }
  return 1;
}

}  // namespace

sv_engine_message_handler Recorder::table() const {
  return {record_begin, record_chunk, record_end};
}

Part meta_part(const std::string &message_json, const std::string &next_cursor) {
  std::string body = "{\"message\":" + message_json;
  if (!next_cursor.empty()) body += ",\"next_cursor\":\"" + next_cursor + "\"";
  body += "}";
  return Part{"meta", body, "application/json", std::nullopt};
}

Part payload_part(const std::string &bytes, const std::string &content_type) {
  return Part{"payload", bytes, content_type, bytes.size()};
}

std::string multipart(const std::vector<Part> &parts) {
  std::string body;
  for (const Part &part : parts) {
    body += std::string("--") + kBoundary + "\r\n";
    if (!part.name.empty()) {
      body += "Content-Disposition: form-data; name=\"" + part.name + "\"\r\n";
    }
    if (!part.content_type.empty()) body += "Content-Type: " + part.content_type + "\r\n";
    if (part.content_length) {
      body += "Content-Length: " + std::to_string(*part.content_length) + "\r\n";
    }
    body += "\r\n" + part.body + "\r\n";
  }
  body += std::string("--") + kBoundary + "--\r\n";
  return body;
}

std::string multipart_type() {
  return std::string("multipart/related; boundary=") + kBoundary;
}

std::string message_json(const std::string &id, const std::string &extra) {
  std::string json = "{\"namespace\":\"default\",\"queue\":\"jobs\",\"message_id\":\"" + id +
                     "\",\"attempts\":1,\"max_attempts\":5,\"lease_id\":\"lease-" + id +
                     "\",\"fencing_token\":7,\"meta_etag\":\"etag-" + id + "\"";
  if (!extra.empty()) json += "," + extra;
  return json + "}";
}

stavo::test::Fault stream_answer(const std::string &path, const std::string &body) {
  return stavo::test::Fault::respond("POST", path, 200, body, {{"Content-Type", multipart_type()}});
}

Rig::Rig(Transport transport) : transport_(transport) {
  stavo::test::DevServerOptions options;
  options.tls = transport == Transport::kHttp2Tls;
  options.unix_socket = transport == Transport::kUnixSocket;
  server_ = std::make_unique<stavo::test::DevServer>(options);
  if (transport == Transport::kHttp2Tls) {
    bundle_path_ = server_->client_bundle_path();
    client_.config.client_bundle_path = bundle_path_.c_str();
    client_.config.prefer_http_2 = 1;
  } else {
    client_.config.disable_mtls = 1;
  }
}

std::string Rig::endpoint() const {
  switch (transport_) {
    case Transport::kHttp2Tls:
      return server_->https_url();
    case Transport::kUnixSocket:
      return server_->unix_url();
    default:
      return server_->http_url();
  }
}

int Rig::open(std::vector<std::string> endpoints) {
  if (endpoints.empty()) endpoints.push_back(endpoint());
  if (transport_ == Transport::kUnixSocket) {
    static thread_local std::string path;
    path = server_->unix_socket_path();
    client_.config.unix_socket_path = path.c_str();
  }
  return client_.open(endpoints);
}

sv_engine_dequeue_request dequeue_request(const char *queue) {
  sv_engine_dequeue_request request{};
  request.queue = queue;
  request.owner = "worker-1";
  request.visibility_timeout_seconds = 30;
  request.wait_seconds = 5;
  request.page_size = 1;
  return request;
}

stavo::test::LoggedRequest request_to(stavo::test::DevServer &server, const std::string &path) {
  const auto requests = server.requests_to("POST", path);
  EXPECT_FALSE(requests.empty()) << path;
  return requests.empty() ? stavo::test::LoggedRequest{} : requests.front();
}

}  // namespace queue_test
