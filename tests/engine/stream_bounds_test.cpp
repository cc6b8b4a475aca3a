// The client's timeout against long-lived streams: an idle subscribe, watch and long dequeue
// outlive it many times over and still deliver; the timeout bounds only the wait for an answer
// (a server that never answers is found), and a stream silent past its idle bound is reported as
// such. A unary call keeps its whole-request deadline.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "stavoc.h"
#include "stream_fixture.h"

namespace {

using engine_test::Error;
using engine_test::StreamTest;
using engine_test::StringReader;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int64_t kTimeoutMs = 400;

// What a stream saw; the cancel check ends the call once the wanted event has come.
struct Seen {
  std::atomic<int> deliveries{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> producing{false};  // the late enqueue is on its way
  static int cancel(void *context) { return static_cast<Seen *>(context)->stop.load() ? 1 : 0; }
};

int count_payload(void *, const char *, size_t, sv_engine_error *) {
  return 1;
}
int count_end(void *context, const sv_engine_dequeue_response *, sv_engine_error *) {
  auto *seen = static_cast<Seen *>(context);
  ++seen->deliveries;
  seen->stop = true;
  return 1;
}
int count_event(void *context, const sv_engine_queue_watch_event *, sv_engine_error *) {
  auto *seen = static_cast<Seen *>(context);
  // The events of the watch's start do not count; only what came after the late enqueue.
  if (!seen->producing) return 1;
  ++seen->deliveries;
  seen->stop = true;
  return 1;
}

class StreamBounds : public StreamTest {
 protected:
  void open_with(int64_t idle_ms = 0) {
    client_.config.timeout_ms = kTimeoutMs;
    client_.config.stream_idle_timeout_ms = idle_ms;
    open();
    sv_engine_client_set_cancel_check(client_.client, Seen::cancel, &seen_);
  }
  // Enqueues one message on queue after delay, through a client of its own.
  std::thread enqueue_later(const std::string &queue, std::chrono::milliseconds delay) {
    return std::thread([this, queue, delay] {
      std::this_thread::sleep_for(delay);
      seen_.producing = true;
      engine_test::Client other;
      other.config.disable_mtls = 1;
      if (other.open({server_->http_url()}) != SV_OK) return;
      sv_engine_enqueue_request request{};
      request.queue = queue.c_str();
      request.visibility_timeout_seconds = 30;
      request.max_attempts = 5;
      StringReader reader("late message");
      sv_engine_enqueue_response response{};
      Error error;
      enqueued_ = sv_engine_client_enqueue_from(other.client, &request, StringReader::read, &reader,
                                                &response, &error) == SV_OK;
      sv_engine_enqueue_response_cleanup(&response);
    });
  }
  sv_engine_dequeue_request dequeue_request(const char *queue, int64_t wait_seconds) {
    sv_engine_dequeue_request request{};
    request.queue = queue;
    request.owner = "bounds";
    request.visibility_timeout_seconds = 30;
    request.wait_seconds = wait_seconds;
    return request;
  }
  Seen seen_;
  std::atomic<bool> enqueued_{false};
  const sv_engine_message_handler handler_ = {nullptr, count_payload, count_end};
};

TEST_F(StreamBounds, AnIdleSubscribeOutlivesTheTimeoutAndStillDelivers) {
  open_with();
  std::thread producer =
      enqueue_later("bounds-subscribe", std::chrono::milliseconds(3 * kTimeoutMs + 300));
  const sv_engine_dequeue_request request = dequeue_request("bounds-subscribe", -1);
  Error error;
  const auto started = Clock::now();
  const int status =
      sv_engine_client_subscribe(client_.client, &request, &handler_, &seen_, &error);
  const auto elapsed = Clock::now() - started;
  producer.join();
  EXPECT_EQ(status, SV_OK) << error.message();
  EXPECT_TRUE(enqueued_);
  EXPECT_EQ(seen_.deliveries, 1);
  EXPECT_GE(elapsed, std::chrono::milliseconds(3 * kTimeoutMs));
}

TEST_F(StreamBounds, AnIdleWatchOutlivesTheTimeoutAndStillReports) {
  open_with();
  std::thread producer =
      enqueue_later("bounds-watch", std::chrono::milliseconds(3 * kTimeoutMs + 300));
  sv_engine_watch_queue_request request{nullptr, "bounds-watch"};
  Error error;
  const auto started = Clock::now();
  const int status =
      sv_engine_client_watch_queue(client_.client, &request, count_event, &seen_, &error);
  const auto elapsed = Clock::now() - started;
  producer.join();
  EXPECT_EQ(status, SV_OK) << error.message();
  EXPECT_GE(seen_.deliveries, 1);
  EXPECT_GE(elapsed, std::chrono::milliseconds(3 * kTimeoutMs));
}

TEST_F(StreamBounds, ADequeueWaitsLongerThanTheTimeoutWhenAsked) {
  open_with();
  std::thread producer = enqueue_later("bounds-dequeue", std::chrono::milliseconds(3 * kTimeoutMs));
  const sv_engine_dequeue_request request = dequeue_request("bounds-dequeue", 5);
  Error error;
  const int status =
      sv_engine_client_dequeue_into(client_.client, &request, &handler_, &seen_, &error);
  producer.join();
  EXPECT_EQ(status, SV_OK) << error.message();
  EXPECT_EQ(seen_.deliveries, 1);

  // With nothing to deliver it ends when its wait is over (the server's clock moves on after
  // three timeouts), quietly.
  seen_.stop = false;
  const sv_engine_dequeue_request empty = dequeue_request("bounds-dequeue-empty", 2);
  std::thread clock([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * kTimeoutMs));
    server_->advance_clock(std::chrono::seconds(3));
  });
  const auto started = Clock::now();
  EXPECT_EQ(sv_engine_client_dequeue_into(client_.client, &empty, &handler_, &seen_, &error), SV_OK)
      << error.message();
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(3 * kTimeoutMs));
  clock.join();
  EXPECT_EQ(seen_.deliveries, 1);
}

TEST_F(StreamBounds, AServerThatNeverAnswersAStreamIsFoundAtTheTimeout) {
  // Listening without ever accepting: the connect completes, no answer ever comes.
  engine_test::SilentListener silent;
  ASSERT_GT(silent.port(), 0);
  client_.config.timeout_ms = kTimeoutMs;
  open_on({silent.url()});
  const sv_engine_dequeue_request request = dequeue_request("bounds-hung", -1);
  Error error;
  const auto started = Clock::now();
  EXPECT_EQ(sv_engine_client_subscribe(client_.client, &request, &handler_, &seen_, &error),
            SV_ERR_TRANSPORT);
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(kTimeoutMs + 2000));
  EXPECT_EQ(error.record.transport_cause, SV_TRANSPORT_CAUSE_TIMEOUT) << error.message();
}

TEST_F(StreamBounds, AStreamSilentPastItsIdleBoundIsReportedAsSuch) {
  open_with(3 * kTimeoutMs);
  const sv_engine_dequeue_request request = dequeue_request("bounds-idle", -1);
  Error error;
  const auto started = Clock::now();
  EXPECT_EQ(sv_engine_client_subscribe(client_.client, &request, &handler_, &seen_, &error),
            SV_ERR_TRANSPORT);
  const auto elapsed = Clock::now() - started;
  EXPECT_EQ(error.record.transport_cause, SV_TRANSPORT_CAUSE_STREAM_IDLE) << error.message();
  EXPECT_GE(elapsed, std::chrono::milliseconds(3 * kTimeoutMs));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3 * kTimeoutMs + 3000));
}

TEST_F(StreamBounds, AStreamEndsPromptlyWhenCancelledWhileSilent) {
  open_with();
  const sv_engine_dequeue_request request = dequeue_request("bounds-cancel", -1);
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kTimeoutMs));
    seen_.stop = true;
  });
  Error error;
  const auto started = Clock::now();
  const int status =
      sv_engine_client_subscribe(client_.client, &request, &handler_, &seen_, &error);
  const auto elapsed = Clock::now() - started;
  stopper.join();
  EXPECT_EQ(status, SV_OK) << error.message();
  EXPECT_EQ(seen_.deliveries, 0);
  EXPECT_LT(elapsed, std::chrono::milliseconds(2 * kTimeoutMs + 1500));
}

// The same idle subscribe through the TLS front (mutual TLS, HTTP/2) and through a Unix socket,
// with the connections pooled: the front does not end a quiet stream either.
class StreamBoundsTransports : public ::testing::TestWithParam<bool> {};

TEST_P(StreamBoundsTransports, AnIdleSubscribeOutlivesTheTimeout) {
  const bool tls = GetParam();
  stavo::test::DevServer server(
      tls ? stavo::test::DevServerOptions{.tls = true}
          : stavo::test::DevServerOptions{.tls = false, .unix_socket = true});
  engine_test::Client client;
  const std::string bundle = tls ? server.client_bundle_path() : "";
  const std::string socket_path = tls ? "" : server.unix_socket_path();
  client.config.timeout_ms = kTimeoutMs;
  client.config.reuse_connections = 1;
  if (tls) {
    client.config.client_bundle_path = bundle.c_str();
  } else {
    client.config.disable_mtls = 1;
    client.config.unix_socket_path = socket_path.c_str();
  }
  ASSERT_EQ(client.open({tls ? server.https_url() : server.unix_url()}), SV_OK)
      << client.open_message;
  Seen seen;
  sv_engine_client_set_cancel_check(client.client, Seen::cancel, &seen);
  std::thread stopper([&seen] {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * kTimeoutMs));
    seen.stop = true;
  });
  sv_engine_dequeue_request request{};
  request.queue = "bounds-transport";
  request.owner = "bounds";
  request.visibility_timeout_seconds = 30;
  request.wait_seconds = -1;
  const sv_engine_message_handler handler = {nullptr, count_payload, count_end};
  Error error;
  const auto started = Clock::now();
  const int status = sv_engine_client_subscribe(client.client, &request, &handler, &seen, &error);
  const auto elapsed = Clock::now() - started;
  stopper.join();
  // Ended by the stop after three timeouts, not by a transport failure at the first.
  EXPECT_EQ(status, SV_OK) << error.message();
  EXPECT_GE(elapsed, std::chrono::milliseconds(3 * kTimeoutMs));
}

INSTANTIATE_TEST_SUITE_P(Fronts, StreamBoundsTransports, ::testing::Values(true, false),
                         [](const auto &param_info) {
                           return param_info.param ? "MtlsHttp2" : "UnixSocket";
                         });

}  // namespace
