// Failed subscribes and the restart policy, stopping, the first failure of several, the quiet
// stream that outlives the client's timeout or that an idle bound ends, and a delivery whose
// visibility is zero.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <mutex>
#include <thread>

#include "consumer_fixture.h"

namespace {

using consumer_test::Error;
using consumer_test::Latch;
using consumer_test::Rig;
using stavo::test::Fault;
using namespace std::chrono_literals;

constexpr const char *kSubscribe = "/v1/queue/subscribe";

int unexpected(void *, const sv_consumer_delivery *, sv_error *) {
  ADD_FAILURE() << "no delivery expected";
  return 1;
}

// A test clock that moves 50 ms on every reading, so backoff takes next to no real time.
struct Backoff {
  std::mutex mutex;
  std::atomic<int64_t> now{1000};
  std::vector<int64_t> delays;
  std::vector<int32_t> attempts;
  std::vector<int64_t> statuses;
  std::vector<std::string> messages;
  size_t stop_after = SIZE_MAX;  // on_error asks to stop at this call (1-based)
  Latch first_error;
  std::atomic<int> starts{0};
};

int64_t backoff_now(void *context) {
  return static_cast<Backoff *>(context)->now.fetch_add(50);
}

Backoff *current_backoff = nullptr;

int note_failure(void *context, const sv_consumer_error_event *event, sv_error *) {
  auto *b = static_cast<Backoff *>(context);
  const std::lock_guard<std::mutex> lock(b->mutex);
  b->delays.push_back(event->restart_in_ms);
  b->attempts.push_back(event->attempt);
  b->statuses.push_back(event->error->http_status);
  b->messages.push_back(event->error->message != nullptr ? event->error->message : "");
  b->first_error.open();
  return b->delays.size() >= b->stop_after ? 1 : 0;
}

void count_start(void *context, const sv_consumer_event *event) {
  auto *b = static_cast<Backoff *>(context);
  EXPECT_EQ(event->attempt, ++b->starts);
}

sv_consumer_config failing_consumer(Backoff *b) {
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", unexpected, b);
  consumer.on_error = note_failure;
  consumer.on_start = count_start;
  consumer.restart_policy.jitter_ms = 0;  // exact delays
  return consumer;
}

TEST(ConsumerRestart, DefaultPolicyRetriesThreeTimesAtOnceThenBacksOff) {
  Rig rig;
  rig.server().add_fault(Fault::error("POST", kSubscribe, 503, "internal").repeat(7));
  Backoff backoff;
  backoff.stop_after = 7;
  auto service = consumer_test::make_service(rig.client(), {failing_consumer(&backoff)});
  sv_consumer_service_set_clock(service.get(), ConsumerClock{backoff_now, &backoff});
  Error error;
  EXPECT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 503) << "on_error's stop keeps the worker's error";
  EXPECT_EQ(backoff.delays, (std::vector<int64_t>{0, 0, 0, 250, 500, 1000, 2000}));
  EXPECT_EQ(backoff.attempts, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(backoff.starts.load(), 7);
  EXPECT_GE(backoff.now.load() - 1000, 250 + 500 + 1000)
      << "the service waited out every delay before the last failure";
}

TEST(ConsumerRestart, MaxFailuresStopsTheServiceAndACompletionResetsTheCount) {
  Rig rig;
  // Two failures, a stream that ends normally, then three more failures.
  rig.server().add_fault(Fault::error("POST", kSubscribe, 503, "internal").repeat(2));
  rig.server().add_fault(Fault::respond("POST", kSubscribe, 200, "--b--\r\n",
                                        {{"Content-Type", "multipart/related; boundary=b"}}));
  rig.server().add_fault(Fault::error("POST", kSubscribe, 429, "busy").repeat(3));
  Backoff backoff;
  sv_consumer_config consumer = failing_consumer(&backoff);
  consumer.restart_policy.max_failures = 2;
  consumer.restart_policy.immediate_retries = 0;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  sv_consumer_service_set_clock(service.get(), ConsumerClock{backoff_now, &backoff});
  Error error;
  EXPECT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.message(), "consumer exceeded max failures");
  EXPECT_EQ(error.record.http_status, 429);
  EXPECT_EQ(backoff.attempts, (std::vector<int32_t>{1, 2, 1, 2}))
      << "on_error is not consulted for the failure that reaches the limit";
  EXPECT_EQ(backoff.delays, (std::vector<int64_t>{250, 500, 250, 500}));
  EXPECT_EQ(rig.server().requests_to("POST", kSubscribe).size(), 6u);
}

TEST(ConsumerRestart, NotFoundStopsAtOnceWhileTooManyRequestsAndUnavailableRestart) {
  Rig rig;
  rig.server().add_fault(Fault::error("POST", kSubscribe, 429, "busy"));
  rig.server().add_fault(Fault::error("POST", kSubscribe, 503, "internal"));
  rig.server().add_fault(Fault::error("POST", kSubscribe, 404, "queue_not_found", "no such queue"));
  Backoff backoff;
  sv_consumer_config consumer = failing_consumer(&backoff);
  consumer.restart_policy.immediate_retries = 5;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  sv_consumer_service_set_clock(service.get(), ConsumerClock{backoff_now, &backoff});
  Error error;
  EXPECT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 404);
  EXPECT_EQ(error.detail(), "no such queue");
  EXPECT_EQ(backoff.statuses, (std::vector<int64_t>{429, 503, 404}));
  EXPECT_EQ(backoff.delays, (std::vector<int64_t>{0, 0, 0}));
  EXPECT_EQ(rig.server().requests_to("POST", kSubscribe).size(), 3u);
}

TEST(ConsumerRestart, StopEndsARestartDelayAtOnce) {
  Rig rig;
  rig.server().add_fault(Fault::error("POST", kSubscribe, 503, "internal").repeat(5));
  Backoff backoff;
  sv_consumer_config consumer = failing_consumer(&backoff);
  consumer.restart_policy.immediate_retries = 0;
  consumer.restart_policy.initial_delay_ms = 3600000;
  consumer.restart_policy.max_delay_ms = 3600000;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(backoff.first_error.wait());
  sv_consumer_service_stop(service.get());
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK);
  EXPECT_EQ(backoff.delays, (std::vector<int64_t>{3600000}));
  EXPECT_EQ(rig.server().requests_to("POST", kSubscribe).size(), 1u);
}

struct Pair {
  std::mutex mutex;
  std::string first_queue;
  std::string first_detail;
  Latch first;
  std::atomic<int> calls{0};
};

int stop_on_error(void *context, const sv_consumer_error_event *event, sv_error *) {
  auto *p = static_cast<Pair *>(context);
  {
    const std::lock_guard<std::mutex> lock(p->mutex);
    if (p->first_queue.empty()) {
      p->first_queue = event->queue;
      p->first_detail = event->error->detail != nullptr ? event->error->detail : "";
      ++p->calls;
      p->first.open();
      return 1;
    }
  }
  ++p->calls;
  EXPECT_TRUE(p->first.wait());
  std::this_thread::sleep_for(100ms);  // let the first one's stop land before this one's
  return 1;
}

TEST(ConsumerRestart, TwoFailingConsumersReportTheFirstFailure) {
  Rig rig;
  // Whichever worker asks first gets the first answer; the other one's comes a little later.
  rig.server().add_fault(Fault::error("POST", kSubscribe, 409, "conflict", "first"));
  Fault second = Fault::error("POST", kSubscribe, 409, "conflict", "second");
  second.delay = 50ms;
  rig.server().add_fault(second);
  Pair pair;
  sv_consumer_config a = consumer_test::consumer_for("alpha", unexpected, &pair);
  sv_consumer_config b = consumer_test::consumer_for("beta", unexpected, &pair);
  a.on_error = b.on_error = stop_on_error;
  auto service = consumer_test::make_service(rig.client(), {a, b});
  Error error;
  EXPECT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.detail(), pair.first_detail);
  EXPECT_EQ(error.detail(), "first");
}

// Runs a consumer on the quiet queue until `until` holds (or 20 s pass), then stops it; its
// restart notes land in backoff, and none of them may be a failure.
template <typename Until>
void run_quiet(consumer_test::RigOptions options, Backoff &backoff, Until until) {
  Rig rig(options);
  sv_consumer_config consumer = failing_consumer(&backoff);
  consumer.restart_policy.max_failures = 1;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!until() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  sv_consumer_service_stop(service.get());
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_TRUE(backoff.delays.empty()) << "a quiet stream counted as a failure: "
                                      << (backoff.messages.empty() ? "" : backoff.messages[0]);
}

TEST(ConsumerRestart, AQuietStreamOutlivesTheClientTimeout) {
  // Plain HTTP: a mutual-TLS handshake on a loaded machine can itself outlast so short a
  // timeout, and a connect that times out is a real failure.
  Backoff backoff;
  const auto quiet_until = std::chrono::steady_clock::now() + 2000ms;
  run_quiet(consumer_test::RigOptions{.tls = false, .timeout_ms = 500}, backoff,
            [&] { return std::chrono::steady_clock::now() >= quiet_until; });
  EXPECT_EQ(backoff.starts.load(), 1) << "one stream for the whole quiet time";
}

TEST(ConsumerRestart, TheIdleBoundOnAQuietStreamIsACompletion) {
  Backoff backoff;
  run_quiet(consumer_test::RigOptions{.tls = false,
                                      .timeout_ms = 5000,
                                      .reuse_connections = false,
                                      .stream_idle_timeout_ms = 400},
            backoff, [&] { return backoff.starts.load() >= 3; });
  EXPECT_GE(backoff.starts.load(), 3) << "re-subscribed after every quiet spell";
}

struct Stall {
  Latch reading;
  std::atomic<int> read_status{-1};
  std::atomic<size_t> bytes{0};
};

int read_stalled(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *s = static_cast<Stall *>(context);
  sv_source *payload = sv_message_payload(delivery->message);
  char buffer[4096];
  Error error;
  for (;;) {
    const size_t count = payload->read(payload, buffer, sizeof buffer, error.get());
    if (count == 0) break;
    s->bytes += count;
    s->reading.open();
  }
  s->read_status = error.record.code;
  return error.record.code;
}

TEST(ConsumerRestart, StopEndsHandlersBlockedOnAStalledPayload) {
  Rig rig;
  rig.enqueue("jobs", std::string(200000, 'p'));
  rig.enqueue("jobs", std::string(200000, 'q'));
  Fault stall;
  stall.method = "POST";
  stall.path = kSubscribe;
  stall.stall_after_bytes = 50000;
  stall.times = 2;
  rig.server().add_fault(stall);
  Stall s;
  sv_consumer_config one = consumer_test::consumer_for("jobs", read_stalled, &s);
  one.workers = 2;
  auto service = consumer_test::make_service(rig.client(), {one});
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(s.reading.wait());
  // The handler has read what came before the stall and now waits for more.
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  while (s.bytes.load() < 45000 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(5ms);
  ASSERT_GE(s.bytes.load(), 45000u);
  const auto stopped = std::chrono::steady_clock::now();
  sv_consumer_service_stop(service.get());
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  // The service answers a stop within a second even while its streams are silent (sanitizer
  // builds get three): a silent stream must not wait out the transfer library's idle poll.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr auto kStopBound = 3s;
#else
  constexpr auto kStopBound = 1s;
#endif
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, kStopBound);
  EXPECT_NE(s.read_status.load(), 0) << "the handler saw its payload fail";
  EXPECT_LT(s.bytes.load(), 200000u);
  EXPECT_EQ(rig.server().requests_to("POST", "/v1/queue/ack").size(), 0u);
}

std::string canned_delivery(int64_t visibility) {
  const std::string meta =
      "{\"message\":{\"namespace\":\"default\",\"queue\":\"jobs\",\"message_id\":\"m-0\","
      "\"attempts\":1,\"max_attempts\":5,\"lease_id\":\"lease-0\",\"fencing_token\":3,"
      "\"meta_etag\":\"e0\",\"visibility_timeout_seconds\":" +
      std::to_string(visibility) + "}}";
  return "--b\r\nContent-Disposition: form-data; name=\"meta\"\r\nContent-Type: "
         "application/json\r\n\r\n" +
         meta +
         "\r\n--b\r\nContent-Disposition: form-data; name=\"payload\"\r\nContent-Type: "
         "text/plain\r\nContent-Length: 2\r\n\r\nhi\r\n--b--\r\n";
}

struct ZeroHolder {
  Latch started;
  Latch release;
  sv_consumer_service *service = nullptr;
};

int hold_then_close(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *h = static_cast<ZeroHolder *>(context);
  EXPECT_EQ(delivery->message->visibility_timeout_seconds, 0);
  h->started.open();
  EXPECT_TRUE(h->release.wait(30s));
  sv_message_close(delivery->message);  // the message is not known to this server
  sv_consumer_service_stop(h->service);
  return 0;
}

TEST(ConsumerRestart, AZeroVisibilityIsNeverExtended) {
  Rig rig;
  rig.server().add_fault(Fault::respond("POST", kSubscribe, 200, canned_delivery(0),
                                        {{"Content-Type", "multipart/related; boundary=b"}}));
  ZeroHolder holder;
  auto service = consumer_test::make_service(
      rig.client(), {consumer_test::consumer_for("jobs", hold_then_close, &holder)});
  holder.service = service.get();
  sv_consumer_service_set_clock(service.get(), rig.virtual_clock());
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(holder.started.wait());
  for (int i = 0; i < 8; ++i) {
    rig.server().advance_clock(30s);
    std::this_thread::sleep_for(10ms);
  }
  holder.release.open();
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_TRUE(rig.server().requests_to("POST", "/v1/queue/extend").empty());
}

struct CutReader {
  std::mutex mutex;
  std::vector<int> read_statuses;
  std::vector<int32_t> failure_attempts;
  sv_consumer_service *service = nullptr;
};

int read_through_cut(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
  auto *r = static_cast<CutReader *>(context);
  int status = 0;
  consumer_test::read_payload(delivery->message, &status);
  const std::lock_guard<std::mutex> lock(r->mutex);
  r->read_statuses.push_back(status);
  r->failure_attempts.push_back(delivery->message->failure_attempts);
  if (status != 0) {
    return sv_error_set(error, status, 0, "payload broke off", nullptr, nullptr, nullptr);
  }
  sv_consumer_service_stop(r->service);
  return 0;
}

TEST(ConsumerRestart, AStreamCutInAPayloadBacksOffAndCountsNoFailureAttempt) {
  // Straight to the server: a proxy in between may drop what it buffered when the server cuts,
  // and this test needs the handler to have begun reading.
  consumer_test::RigOptions plain;
  plain.tls = false;
  Rig rig(plain);
  rig.enqueue("jobs", std::string(300000, 'c'));
  rig.server().add_fault(Fault::cut_after("POST", kSubscribe, 100000));
  CutReader reader;
  Backoff backoff;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", read_through_cut, &reader);
  // The handler's context is the reader; on_error records into the backoff.
  consumer.on_error = [](void *, const sv_consumer_error_event *event, sv_error *error) {
    return note_failure(current_backoff, event, error);
  };
  consumer.restart_policy.immediate_retries = 0;
  consumer.restart_policy.initial_delay_ms = 400;
  consumer.restart_policy.jitter_ms = 0;
  current_backoff = &backoff;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  reader.service = service.get();
  sv_consumer_service_set_clock(service.get(), ConsumerClock{backoff_now, &backoff});
  Error error;
  ASSERT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  current_backoff = nullptr;
  ASSERT_EQ(reader.read_statuses.size(), 2u);
  EXPECT_EQ(reader.read_statuses[0], SV_ERR_TRANSPORT) << "the handler read a transport error";
  EXPECT_EQ(reader.read_statuses[1], 0);
  EXPECT_EQ(reader.failure_attempts, (std::vector<int32_t>{0, 0}))
      << "the cut counted no failure attempt";
  EXPECT_EQ(backoff.attempts, (std::vector<int32_t>{1})) << "a stream failure, not a delivery one";
  EXPECT_EQ(backoff.delays, (std::vector<int64_t>{400})) << "the restart policy's backoff applies";
  const auto nacks = rig.server().requests_to("POST", "/v1/queue/nack");
  ASSERT_EQ(nacks.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(nacks[0].body).value("intent", ""), "defer");
  EXPECT_EQ(rig.server().requests_to("POST", kSubscribe).size(), 2u);
  EXPECT_EQ(rig.queue("jobs").messages, 0u);
}

}  // namespace
