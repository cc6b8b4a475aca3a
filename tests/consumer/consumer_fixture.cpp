#include "consumer_fixture.h"

#include <nlohmann/json.hpp>

#include <cstring>

#include "support/http_client.h"

namespace consumer_test {

namespace {

struct PayloadReader {
  const std::string *bytes;
  size_t position;
};

size_t read_bytes(void *context, char *buffer, size_t capacity, sv_engine_error *) {
  auto *reader = static_cast<PayloadReader *>(context);
  const size_t count = std::min(capacity, reader->bytes->size() - reader->position);
  std::memcpy(buffer, reader->bytes->data() + reader->position, count);
  reader->position += count;
  return count;
}

int64_t virtual_now(void *context) {
  return static_cast<stavo::test::DevServer *>(context)->now_ms();
}

}  // namespace

Rig::Rig(RigOptions options) {
  stavo::test::DevServerOptions server_options;
  server_options.tls = options.tls;
  server_ = std::make_unique<stavo::test::DevServer>(server_options);
  endpoint_ = options.tls ? server_->https_url() : server_->http_url();
  const char *endpoints[] = {endpoint_.c_str()};
  sv_client_config config;
  sv_client_config_init(&config);
  config.endpoints = endpoints;
  config.endpoint_count = 1;
  config.timeout_ms = options.timeout_ms;
  config.stream_idle_timeout_ms = options.stream_idle_timeout_ms;
  config.reuse_connections = options.reuse_connections ? 1 : 0;
  if (options.tls) {
    bundle_ = server_->client_bundle_path();
    config.client_bundle_path = bundle_.c_str();
    config.prefer_http_2 = 1;
  } else {
    config.disable_mtls = 1;
  }
  Error error;
  if (sv_client_open(&config, &client_, error.get()) != SV_OK) {
    throw std::runtime_error("client open failed: " + error.message());
  }
  const std::string plain = server_->http_url();
  const char *plain_endpoints[] = {plain.c_str()};
  sv_engine_client_config engine_config;
  sv_engine_client_config_init(&engine_config);
  engine_config.endpoints = plain_endpoints;
  engine_config.endpoint_count = 1;
  engine_config.disable_mtls = 1;
  sv_engine_error engine_error;
  sv_engine_error_init(&engine_error);
  if (sv_engine_client_open(&engine_config, &enqueuer_, &engine_error) != SV_OK) {
    sv_engine_error_reset(&engine_error);
    throw std::runtime_error("engine client open failed");
  }
}

Rig::~Rig() {
  sv_engine_client_close(enqueuer_);
  sv_client_close(client_);
}

std::string Rig::enqueue(const std::string &queue, const std::string &payload,
                         int64_t visibility_timeout_seconds, int32_t max_attempts) {
  sv_engine_enqueue_request request{};
  request.queue = queue.c_str();
  request.visibility_timeout_seconds = visibility_timeout_seconds;
  request.max_attempts = max_attempts;
  request.payload_content_type = "text/plain";
  PayloadReader reader{&payload, 0};
  sv_engine_enqueue_response response{};
  sv_engine_error error;
  sv_engine_error_init(&error);
  const int status =
      sv_engine_client_enqueue_from(enqueuer_, &request, read_bytes, &reader, &response, &error);
  std::string id = response.message_id != nullptr ? response.message_id : "";
  const std::string message = error.message != nullptr ? error.message : "";
  sv_engine_enqueue_response_cleanup(&response);
  sv_engine_error_reset(&error);
  if (status != SV_OK) throw std::runtime_error("enqueue failed: " + message);
  return id;
}

QueueView Rig::queue(const std::string &queue) {
  const auto reply = stavo::test::http_get(server_->http_url() + "/_dev/queue?queue=" + queue +
                                           "&namespace=default");
  QueueView view;
  if (reply.status != 200) return view;
  const auto body = nlohmann::json::parse(reply.body);
  for (const auto &message : body.value("messages", nlohmann::json::array())) {
    ++view.messages;
    if (message.value("status", "") == "delivered") ++view.delivered;
  }
  view.dead_letters = body.value("dead_letters", nlohmann::json::array()).size();
  return view;
}

std::vector<std::string> Rig::bodies(const std::string &path) {
  std::vector<std::string> out;
  for (const auto &request : server_->requests_to("POST", path))
    out.push_back(request.body);
  return out;
}

ConsumerClock Rig::virtual_clock() {
  return ConsumerClock{virtual_now, server_.get()};
}

ClockPump::ClockPump(stavo::test::DevServer &server, std::chrono::milliseconds step,
                     std::chrono::milliseconds period) {
  thread_ = std::thread([this, &server, step, period] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, period, [this] { return stop_; }))
      server.advance_clock(step);
  });
}

ClockPump::~ClockPump() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  thread_.join();
}

ServicePtr make_service(sv_client *client, std::vector<sv_consumer_config> consumers,
                        int64_t drain_timeout_ms) {
  sv_consumer_service_config config;
  sv_consumer_service_config_init(&config);
  config.drain_timeout_ms = drain_timeout_ms;
  config.consumers = consumers.data();
  config.consumer_count = consumers.size();
  sv_consumer_service *service = nullptr;
  Error error;
  const int status = sv_client_new_consumer_service(client, &config, &service, error.get());
  EXPECT_EQ(status, SV_OK) << error.message();
  return ServicePtr(service);
}

size_t count_requests(Rig &rig, const std::string &path) {
  return rig.server().requests_to("POST", path).size();
}

bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

sv_consumer_config consumer_for(const char *queue, sv_consumer_handle_fn handle, void *context) {
  sv_consumer_config config;
  sv_consumer_config_init(&config);
  config.request.queue = queue;
  config.handle = handle;
  config.context = context;
  return config;
}

std::string read_payload(sv_message *message, int *status, size_t limit) {
  std::string data;
  sv_source *source = sv_message_payload(message);
  if (status != nullptr) *status = 0;
  if (source == nullptr) return data;
  char buffer[8192];
  sv_error error;
  sv_error_init(&error);
  while (data.size() < limit) {
    const size_t want = std::min(sizeof buffer, limit - data.size());
    const size_t count = source->read(source, buffer, want, &error);
    if (count == 0) break;
    data.append(buffer, count);
  }
  if (status != nullptr) *status = error.code;
  sv_error_cleanup(&error);
  return data;
}

}  // namespace consumer_test
