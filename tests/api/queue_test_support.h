// Helpers of the queue and message tests: a dev server with a public client, payloads that
// differ byte by byte, what the server holds for a queue (its inspection endpoint), and
// message handles that close with their scope.
#ifndef STAVO_TESTS_API_QUEUE_TEST_SUPPORT_H
#define STAVO_TESTS_API_QUEUE_TEST_SUPPORT_H

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "api_test_support.h"
#include "lease_test_support.h"
#include "stavoc.h"
#include "support/dev_server.h"

namespace queue_test {

struct MessageCloser {
  void operator()(sv_message *message) const { sv_message_close(message); }
};
using MessagePtr = std::unique_ptr<sv_message, MessageCloser>;

// size bytes in a pattern that does not repeat at any power-of-two stride, so that a lost,
// doubled or reordered block shows.
inline std::string payload_of(size_t size, uint32_t seed = 7) {
  std::string bytes(size, '\0');
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 16);
  }
  return bytes;
}

inline std::string text_of(const char *text) {
  return text != nullptr ? text : "";
}

// A dev server (plain HTTP, or HTTP/2 with mutual TLS) and a public client on it.
class QueueRig {
 public:
  explicit QueueRig(bool tls = false, sv_allocator *allocator = nullptr)
      : server_(
            std::make_unique<stavo::test::DevServer>(stavo::test::DevServerOptions{.tls = tls})) {
    lease_test::ClientConfig config(*server_, tls);
    if (allocator != nullptr) config.config.allocator = *allocator;
    sv_client *raw = nullptr;
    api_test::Error error;
    if (sv_client_open(&config.config, &raw, error.get()) != SV_OK) {
      ADD_FAILURE() << "client open failed: " << error.message();
    }
    client_.reset(raw);
  }
  ~QueueRig() {
    client_.reset();
    server_.reset();
  }
  QueueRig(const QueueRig &) = delete;
  QueueRig &operator=(const QueueRig &) = delete;

  stavo::test::DevServer &server() { return *server_; }
  sv_client *client() { return client_.get(); }

  // Enqueues bytes on queue; returns the message id ("" after a failure, which is reported).
  std::string enqueue(const std::string &queue, const std::string &bytes,
                      int32_t max_attempts = 0) {
    sv_enqueue_req req;
    sv_enqueue_req_init(&req);
    req.queue = queue.c_str();
    req.max_attempts = max_attempts;
    req.payload_content_type = "application/octet-stream";
    auto source = lease_test::memory_source(bytes);
    sv_enqueue_res res{};
    api_test::Error error;
    const int status = sv_enqueue(client(), &req, source.get(), &res, error.get());
    EXPECT_EQ(status, SV_OK) << error.message();
    std::string id = text_of(res.message_id);
    sv_enqueue_res_cleanup(&res);
    return id;
  }

  // Everything the server holds for queue ("messages", "dead_letters", ...), or null.
  nlohmann::json inspect(const std::string &queue) {
    CURL *curl = curl_easy_init();
    std::string body;
    const std::string url = server_->http_url() + "/_dev/queue?queue=" + queue;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char *bytes, size_t size, size_t count, void *user) -> size_t {
          static_cast<std::string *>(user)->append(bytes, size * count);
          return size * count;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK || status != 200) return nullptr;
    return nlohmann::json::parse(body, nullptr, false);
  }

  // The server's record of one message (searched in messages, then dead letters), or null.
  nlohmann::json server_message(const std::string &queue, const std::string &id) {
    const nlohmann::json all = inspect(queue);
    if (all.is_null()) return nullptr;
    for (const char *list : {"messages", "dead_letters"}) {
      for (const auto &entry : all[list]) {
        if (entry.value("message_id", "") == id) return entry;
      }
    }
    return nullptr;
  }

 private:
  std::unique_ptr<stavo::test::DevServer> server_;
  lease_test::ClientPtr client_;
};

inline sv_dequeue_req dequeue_request(const char *queue, const char *owner = "worker-1") {
  sv_dequeue_req req;
  sv_dequeue_req_init(&req);
  req.queue = queue;
  req.owner = owner;
  req.wait_seconds = 0;
  return req;
}

// The whole payload of a message through sv_message_write_payload.
inline std::string payload_text(sv_message *message, int *status = nullptr) {
  auto sink = lease_test::memory_sink();
  uint64_t written = 0;
  api_test::Error error;
  const int code = sv_message_write_payload(message, sink.get(), &written, error.get());
  if (status != nullptr) *status = code;
  const std::string text = lease_test::sink_text(sink.get());
  if (code == SV_OK) {
    EXPECT_EQ(written, text.size());
  }
  return text;
}

}  // namespace queue_test

#endif
