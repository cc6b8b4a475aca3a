// Helpers of the consumer service tests: a dev server (HTTP/2 over mutual TLS through nghttpx by
// default), a parent client on it, an engine client that enqueues over plain HTTP, a view of
// the server's queue, and a service built from consumer records that is closed with its scope.
#ifndef STAVO_TESTS_CONSUMER_CONSUMER_FIXTURE_H
#define STAVO_TESTS_CONSUMER_CONSUMER_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/consumer/consumer_internal.h"
#include "stavoc.h"
#include "stavoc_engine.h"
#include "support/dev_server.h"

namespace consumer_test {

using namespace std::chrono_literals;

// An sv_error cleaned up with its scope.
struct Error {
  sv_error record{};
  Error() { sv_error_init(&record); }
  ~Error() { sv_error_cleanup(&record); }
  Error(const Error &) = delete;
  Error &operator=(const Error &) = delete;
  sv_error *get() { return &record; }
  std::string message() const { return record.message != nullptr ? record.message : "<null>"; }
  std::string detail() const { return record.detail != nullptr ? record.detail : "<null>"; }
};

// What the server holds for one queue (from /_dev/queue).
struct QueueView {
  size_t messages = 0;
  size_t delivered = 0;
  size_t dead_letters = 0;
};

struct RigOptions {
  bool tls = true;
  int64_t timeout_ms = 60000;
  bool reuse_connections = false;
  int64_t stream_idle_timeout_ms = 0;
};

class Rig {
 public:
  explicit Rig(RigOptions options = {});
  ~Rig();
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  stavo::test::DevServer &server() { return *server_; }
  sv_client *client() { return client_; }

  // Enqueues payload on queue; returns the message id.
  std::string enqueue(const std::string &queue, const std::string &payload,
                      int64_t visibility_timeout_seconds = 30, int32_t max_attempts = 100);
  QueueView queue(const std::string &queue);
  // Request bodies (JSON) the server logged on path.
  std::vector<std::string> bodies(const std::string &path);

  // A service clock that follows the dev server's virtual clock.
  ConsumerClock virtual_clock();

 private:
  std::unique_ptr<stavo::test::DevServer> server_;
  std::string bundle_;
  std::string endpoint_;
  sv_client *client_ = nullptr;
  sv_engine_client *enqueuer_ = nullptr;
};

struct ServiceCloser {
  void operator()(sv_consumer_service *service) const { sv_consumer_service_close(service); }
};
using ServicePtr = std::unique_ptr<sv_consumer_service, ServiceCloser>;

// Creates a service from the consumers; fails the test when creation fails.
ServicePtr make_service(sv_client *client, std::vector<sv_consumer_config> consumers,
                        int64_t drain_timeout_ms = 30000);

// POST requests the server logged on path.
size_t count_requests(Rig &rig, const std::string &path);
// Polls condition every few milliseconds until it holds or timeout passes; its last answer.
bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds timeout = 10s);

// A consumer record for queue with handle and context.
sv_consumer_config consumer_for(const char *queue, sv_consumer_handle_fn handle, void *context);

// Reads a message's payload to its end; *status gets the failing read's code (0 at the end).
std::string read_payload(sv_message *message, int *status = nullptr, size_t limit = SIZE_MAX);

// Moves the dev server's virtual clock forward by `step` every `period` until destroyed, so
// that deliveries stranded on a stream the client gave up come back.
class ClockPump {
 public:
  ClockPump(stavo::test::DevServer &server, std::chrono::milliseconds step,
            std::chrono::milliseconds period);
  ~ClockPump();
  ClockPump(const ClockPump &) = delete;
  ClockPump &operator=(const ClockPump &) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::thread thread_;
};

// A one-shot latch with a bounded wait.
class Latch {
 public:
  void open() {
    const std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool wait(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace consumer_test

#endif
