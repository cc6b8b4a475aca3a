// Helpers of the queue tests: multipart/related answers built by hand (the wire form of the
// dequeue and subscribe streams), a handler that records every delivery, and a dev server with
// an engine client on one of the three transports.
#ifndef STAVO_TESTS_ENGINE_QUEUE_FIXTURE_H
#define STAVO_TESTS_ENGINE_QUEUE_FIXTURE_H

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exchange_fixture.h"
#include "stavoc_engine.h"

namespace queue_test {

constexpr const char *kBoundary = "q-b0und4ry";

// One part of a multipart answer.
struct Part {
  std::string name;  // empty: no Content-Disposition
  std::string body;
  std::string content_type;              // empty: none
  std::optional<size_t> content_length;  // none: no Content-Length header
};

Part meta_part(const std::string &message_json, const std::string &next_cursor = "");
Part payload_part(const std::string &bytes, const std::string &content_type = "text/plain");

// The body of a multipart/related answer with kBoundary, closing delimiter and line break.
std::string multipart(const std::vector<Part> &parts);
std::string multipart_type();

// A message member of a meta part with the given id and a lease.
std::string message_json(const std::string &id, const std::string &extra = "");

// A canned 200 answer of path with the multipart body.
stavo::test::Fault stream_answer(const std::string &path, const std::string &body);

// What a handler saw of one message.
struct Delivered {
  std::string message_id;
  std::string lease_id;
  std::string payload_content_type;
  std::string correlation_id;
  std::string next_cursor;
  int32_t attempts = 0;
  int64_t payload_bytes = 0;
  std::string payload;  // kept unless Recorder::keep_payload is false
  uint64_t received = 0;
  size_t chunks = 0;
  size_t largest_chunk = 0;
  bool ended = false;
};

// A handler table that records deliveries and can refuse at a chosen point.
struct Recorder {
  std::vector<Delivered> messages;
  bool keep_payload = true;
  // Refusals: 'B' begin, 'C' chunk, 'E' end, on the nth message (1-based); with own_error the
  // handler fills the error record itself.
  char refuse_at = 0;
  size_t refuse_message = 1;
  bool own_error = false;
  std::atomic<uint64_t> bytes{0};

  sv_engine_message_handler table() const;
};

// A finished stream call.
struct Outcome {
  int status = -1;
  sv_engine_error error{};
  Outcome() { sv_engine_error_init(&error); }
  ~Outcome() { sv_engine_error_reset(&error); }
  Outcome(const Outcome &) = delete;
  Outcome &operator=(const Outcome &) = delete;
  std::string message() const { return error.message != nullptr ? error.message : "<null>"; }
  std::string server_code() const {
    return error.server_error_code != nullptr ? error.server_error_code : "<null>";
  }
};

enum class Transport { kHttp1, kHttp2Tls, kUnixSocket };

// A dev server and an engine client on one transport.
class Rig {
 public:
  explicit Rig(Transport transport);
  // Opens the client; endpoints default to the server's own.
  int open(std::vector<std::string> endpoints = {});
  stavo::test::DevServer &server() { return *server_; }
  const sv_engine_client *client() const { return client_.client; }
  engine_test::Client &client_record() { return client_; }
  std::string endpoint() const;

 private:
  Transport transport_;
  std::unique_ptr<stavo::test::DevServer> server_;
  std::string bundle_path_;
  engine_test::Client client_;
};

// A dequeue request for queue "jobs", owner "worker-1".
sv_engine_dequeue_request dequeue_request(const char *queue = "jobs");

// The first request the server logged on path.
stavo::test::LoggedRequest request_to(stavo::test::DevServer &server, const std::string &path);

}  // namespace queue_test

#endif
