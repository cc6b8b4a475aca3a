// Deliveries through the service: settlement from the handler's outcome, the managed message's
// refusals, early close and partial reads, and automatic extends on the virtual clock.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "consumer_fixture.h"

namespace {

using consumer_test::count_requests;
using consumer_test::Error;
using consumer_test::eventually;
using consumer_test::Latch;
using consumer_test::Rig;
using namespace std::chrono_literals;

// Records what each call saw; stops the service after `stop_after` successful handlings.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> payloads;
  std::vector<std::string> ids;
  std::vector<int32_t> attempts;  // failure_attempts of each handled message
  sv_consumer_service *service = nullptr;
  size_t stop_after = 0;
  int fail_first = 0;  // the first N calls fail
  std::vector<int32_t> error_attempts;
  std::vector<std::string> error_messages;
  int calls = 0;
  std::vector<std::chrono::steady_clock::time_point> call_times;
};

int record(void *context, const sv_consumer_delivery *delivery, sv_error *error) {
  auto *r = static_cast<Recorder *>(context);
  int status = 0;
  const std::string payload = consumer_test::read_payload(delivery->message, &status);
  EXPECT_EQ(status, 0);
  EXPECT_STREQ(delivery->queue, "jobs");
  EXPECT_STREQ(delivery->consumer, "jobs");
  EXPECT_NE(delivery->client, nullptr);
  EXPECT_EQ(delivery->state, nullptr);
  const std::lock_guard<std::mutex> lock(r->mutex);
  ++r->calls;
  r->call_times.push_back(std::chrono::steady_clock::now());
  if (r->calls <= r->fail_first) {
    sv_error_set(error, SV_ERR_SERVER, 0, "handler refused", nullptr, nullptr, nullptr);
    return 7;
  }
  r->payloads.push_back(payload);
  r->ids.push_back(delivery->message->message_id);
  r->attempts.push_back(delivery->message->failure_attempts);
  if (r->payloads.size() == r->stop_after) sv_consumer_service_stop(r->service);
  return 0;
}

int record_error(void *context, const sv_consumer_error_event *event, sv_error *) {
  auto *r = static_cast<Recorder *>(context);
  const std::lock_guard<std::mutex> lock(r->mutex);
  r->error_attempts.push_back(event->attempt);
  r->error_messages.push_back(event->error->message != nullptr ? event->error->message : "");
  return 0;
}

TEST(ConsumerDelivery, HandlerSuccessAcksEveryMessageOnOneStream) {
  Rig rig;
  for (int i = 0; i < 3; ++i)
    rig.enqueue("jobs", "payload-" + std::to_string(i));
  Recorder recorder;
  recorder.stop_after = 3;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", record, &recorder);
  consumer.on_error = record_error;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  recorder.service = service.get();
  Error error;
  ASSERT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(recorder.payloads, (std::vector<std::string>{"payload-0", "payload-1", "payload-2"}));
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 3u);
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u);
  EXPECT_EQ(count_requests(rig, "/v1/queue/subscribe"), 1u);
  EXPECT_TRUE(recorder.error_attempts.empty());
  EXPECT_EQ(rig.queue("jobs").messages, 0u);
}

// The server's clock stands still: a message whose visibility (30 s) had to run out would never
// come back, so every redelivery here is the nack's.
TEST(ConsumerDelivery, ANackedMessageComesBackPromptlyOnTheSameStream) {
  Rig rig;
  rig.enqueue("jobs", "retry-me", 30);
  rig.enqueue("jobs", "behind-it", 30);
  Recorder recorder;
  recorder.stop_after = 2;
  recorder.fail_first = 2;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", record, &recorder);
  consumer.on_error = record_error;
  consumer.request.visibility_timeout_seconds = 30;
  consumer.request.page_size = 2;  // a second delivery waits on the stream behind the first
  consumer.restart_policy.max_failures = 1;  // a counted restart failure would stop the service
  auto service = consumer_test::make_service(rig.client(), {consumer});
  recorder.service = service.get();
  Error error;
  ASSERT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  ASSERT_EQ(recorder.payloads.size(), 2u);
  EXPECT_EQ(std::set<std::string>(recorder.payloads.begin(), recorder.payloads.end()),
            (std::set<std::string>{"retry-me", "behind-it"}))
      << "nothing already sent on the stream was dropped";
  ASSERT_EQ(recorder.call_times.size(), 4u);
  EXPECT_LT(recorder.call_times.back() - recorder.call_times.front(), 1s)
      << "redelivered by the nack, not by an expired visibility";
  EXPECT_EQ(count_requests(rig, "/v1/queue/subscribe"), 1u) << "the stream went on";
  EXPECT_EQ(recorder.error_attempts, (std::vector<int32_t>{0, 0}))
      << "each failure reported as a delivery failure";
  EXPECT_EQ(recorder.error_messages, (std::vector<std::string>(2, "handler refused")));
  const auto nacks = rig.bodies("/v1/queue/nack");
  ASSERT_EQ(nacks.size(), 2u);
  for (const auto &text : nacks) {
    const auto body = nlohmann::json::parse(text);
    EXPECT_EQ(body.value("intent", ""), "failure");
    EXPECT_EQ(body.value("delay_seconds", int64_t{0}), 0);
    ASSERT_TRUE(body.contains("last_error")) << text;
    EXPECT_EQ(body["last_error"].value("message", ""), "handler refused");
    EXPECT_EQ(body["last_error"].value("code", 0), SV_ERR_SERVER);
  }
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 2u);
  EXPECT_EQ(rig.queue("jobs").messages, 0u);
}

struct Settler {
  sv_consumer_service *service = nullptr;
  std::vector<std::string> refusals;
  int second_ack = -1;
  int extend_after_ack = -1;
  int nack_after_ack = -1;
};

int ack_twice(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *s = static_cast<Settler *>(context);
  consumer_test::read_payload(delivery->message);
  Error first;
  EXPECT_EQ(sv_message_ack(delivery->message, first.get()), SV_OK) << first.message();
  Error again;
  s->second_ack = sv_message_ack(delivery->message, again.get());
  s->refusals.push_back(again.message());
  sv_extend_req extend{};
  extend.extend_by_seconds = 10;
  Error extended;
  s->extend_after_ack = sv_message_extend(delivery->message, &extend, extended.get());
  s->refusals.push_back(extended.message());
  sv_nack_req nack{};
  Error nacked;
  s->nack_after_ack = sv_message_nack(delivery->message, &nack, nacked.get());
  s->refusals.push_back(nacked.message());
  EXPECT_EQ(sv_message_payload(delivery->message), nullptr) << "the payload went with the ack";
  sv_consumer_service_stop(s->service);
  return 0;
}

TEST(ConsumerDelivery, ASettledMessageRefusesEverySecondSettlement) {
  Rig rig;
  rig.enqueue("jobs", "once");
  Settler settler;
  auto service = consumer_test::make_service(
      rig.client(), {consumer_test::consumer_for("jobs", ack_twice, &settler)});
  settler.service = service.get();
  Error error;
  ASSERT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(settler.second_ack, SV_ERR_INVALID);
  EXPECT_EQ(settler.extend_after_ack, SV_ERR_INVALID);
  EXPECT_EQ(settler.nack_after_ack, SV_ERR_INVALID);
  EXPECT_EQ(settler.refusals, std::vector<std::string>(3, "message is no longer available"));
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 1u) << "the service does not ack again";
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u);
}

int ack_fails(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *s = static_cast<Settler *>(context);
  consumer_test::read_payload(delivery->message);
  Error first;
  EXPECT_EQ(sv_message_ack(delivery->message, first.get()), SV_ERR_SERVER);
  Error again;
  s->second_ack = sv_message_ack(delivery->message, again.get());
  s->refusals.push_back(again.message());
  sv_nack_req nack{};
  Error nacked;
  s->nack_after_ack = sv_message_nack(delivery->message, &nack, nacked.get());
  s->refusals.push_back(nacked.message());
  sv_consumer_service_stop(s->service);
  return 0;
}

TEST(ConsumerDelivery, AFailedAckLeavesTheOutcomeIndeterminate) {
  Rig rig;
  rig.enqueue("jobs", "once");
  rig.server().add_fault(stavo::test::Fault::error("POST", "/v1/queue/ack", 500, "internal"));
  Settler settler;
  auto service = consumer_test::make_service(
      rig.client(), {consumer_test::consumer_for("jobs", ack_fails, &settler)});
  settler.service = service.get();
  Error error;
  ASSERT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(settler.second_ack, SV_ERR_INVALID);
  EXPECT_EQ(settler.nack_after_ack, SV_ERR_INVALID);
  EXPECT_EQ(settler.refusals,
            std::vector<std::string>(
                2,
                "message terminal outcome is indeterminate after terminal action failure; do "
                "not retry locally"));
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 1u);
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u) << "an indeterminate message is not nacked";
}

struct Partial {
  sv_consumer_service *service = nullptr;
  std::mutex mutex;
  std::vector<std::string> seen;  // message payload prefixes
  int calls = 0;
  // The server hands a nacked message straight back to the stream that the worker is about to
  // end; on_error lets its visibility run out before the next subscribe.
  stavo::test::DevServer *server = nullptr;
};

// The first message is read for 1000 bytes and closed, the second read for 10 bytes and left
// to the service, the third read whole.
int partial(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *p = static_cast<Partial *>(context);
  const int call = ++p->calls;
  if (call == 1) {
    p->seen.push_back(consumer_test::read_payload(delivery->message, nullptr, 1000).substr(0, 3));
    sv_message_close(delivery->message);
    return 0;
  }
  if (call == 2) {
    p->seen.push_back(consumer_test::read_payload(delivery->message, nullptr, 10).substr(0, 3));
    return 0;
  }
  p->seen.push_back(consumer_test::read_payload(delivery->message).substr(0, 3));
  sv_consumer_service_stop(p->service);
  return 0;
}

TEST(ConsumerDelivery, EarlyCloseAndPartialReadsKeepTheStreamGoing) {
  Rig rig;
  // Several times the pipe's size, so the worker is still writing when the handler lets go.
  rig.enqueue("jobs", "one" + std::string(600000, 'x'));
  rig.enqueue("jobs", "two" + std::string(600000, 'y'));
  rig.enqueue("jobs", "six" + std::string(1000, 'z'));
  Partial p;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", partial, &p);
  consumer.request.page_size = 3;  // the closed message stays outstanding on the stream
  auto service = consumer_test::make_service(rig.client(), {consumer});
  p.service = service.get();
  Error error;
  ASSERT_EQ(sv_consumer_service_run(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(p.seen, (std::vector<std::string>{"one", "two", "six"}));
  EXPECT_EQ(count_requests(rig, "/v1/queue/subscribe"), 1u) << "no stream was cut";
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 2u) << "the closed message is neither acked";
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u) << "nor nacked";
  const auto view = rig.queue("jobs");
  EXPECT_EQ(view.messages, 1u);
  EXPECT_EQ(view.delivered, 1u) << "it comes back when its visibility runs out";
}

// A handler that waits for the test to let it finish.
struct Holder {
  Latch started;
  Latch release;
  std::atomic<int> read_status{0};
  bool read = false;
};

int hold(void *context, const sv_consumer_delivery *delivery, sv_error *) {
  auto *h = static_cast<Holder *>(context);
  h->started.open();
  if (h->read) {
    int status = 0;
    consumer_test::read_payload(delivery->message, &status);
    h->read_status = status;
    return status;
  }
  EXPECT_TRUE(h->release.wait(30s));
  return 0;
}

// Counts the extends logged on the server and what they asked for.
std::vector<int64_t> extends(Rig &rig) {
  std::vector<int64_t> out;
  for (const auto &text : rig.bodies("/v1/queue/extend")) {
    const auto body = nlohmann::json::parse(text, nullptr, false);  // may still be arriving
    out.push_back(body.is_object() ? body.value("extend_by_seconds", int64_t{-1}) : -1);
  }
  return out;
}

void expect_extend_interval(int64_t visibility, int64_t interval_seconds) {
  SCOPED_TRACE("visibility " + std::to_string(visibility));
  Rig rig;
  rig.enqueue("jobs", "slow", visibility);
  Holder holder;
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", hold, &holder);
  consumer.request.visibility_timeout_seconds = visibility;
  auto service = consumer_test::make_service(rig.client(), {consumer});
  sv_consumer_service_set_clock(service.get(), rig.virtual_clock());
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service.get(), error.get()), SV_OK);
  ASSERT_TRUE(holder.started.wait());
  std::this_thread::sleep_for(250ms);  // the extender starts beside the handler
  for (int round = 1; round <= 3; ++round) {
    rig.server().advance_clock(std::chrono::seconds(interval_seconds - 1));
    std::this_thread::sleep_for(100ms);  // the extender would have had time to act
    EXPECT_EQ(extends(rig).size(), static_cast<size_t>(round - 1))
        << "too early in round " << round;
    rig.server().advance_clock(1s);
    ASSERT_TRUE(eventually([&] { return extends(rig).size() == static_cast<size_t>(round); }))
        << "round " << round;
    std::this_thread::sleep_for(250ms);  // the extender takes in the answer and starts again
  }
  EXPECT_EQ(extends(rig), std::vector<int64_t>(3, visibility));
  holder.release.open();
  ASSERT_TRUE(eventually([&] { return count_requests(rig, "/v1/queue/ack") == 1; }));
  sv_consumer_service_stop(service.get());
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(rig.queue("jobs").messages, 0u) << "the extended lease was still valid for the ack";
}

TEST(ConsumerDelivery, AutoExtendRunsAtHalfTheVisibilityCappedAtThirtySeconds) {
  expect_extend_interval(30, 15);
  expect_extend_interval(120, 30);
}

struct ExtendFaultRun {
  std::vector<int64_t> error_statuses;
  std::mutex mutex;
};

ExtendFaultRun *current_run = nullptr;

int note_delivery_error(void *, const sv_consumer_error_event *event, sv_error *) {
  const std::lock_guard<std::mutex> lock(current_run->mutex);
  current_run->error_statuses.push_back(event->error->http_status);
  return 0;
}

// One delivery with a 4 s visibility on the virtual clock, whose first extend (due after 2 s)
// meets the fault; then the clock moves one more second, while the lease (until 4 s) still runs.
void start_with_extend_fault(Rig &rig, Holder &holder, const stavo::test::Fault &fault,
                             consumer_test::ServicePtr *service) {
  rig.enqueue("jobs", "slow", 4);
  rig.server().add_fault(fault);
  sv_consumer_config consumer = consumer_test::consumer_for("jobs", hold, &holder);
  consumer.request.visibility_timeout_seconds = 4;
  consumer.on_error = note_delivery_error;
  *service = consumer_test::make_service(rig.client(), {consumer});
  sv_consumer_service_set_clock(service->get(), rig.virtual_clock());
  Error error;
  ASSERT_EQ(sv_consumer_service_start(service->get(), error.get()), SV_OK);
  ASSERT_TRUE(holder.started.wait());
  std::this_thread::sleep_for(250ms);  // the extender starts beside the handler
  rig.server().advance_clock(2s);
  ASSERT_TRUE(eventually([&] { return extends(rig).size() == 1; }));
  std::this_thread::sleep_for(250ms);
  rig.server().advance_clock(1s);
}

TEST(ConsumerDelivery, ATransientExtendFailureIsRetriedAndTheSuccessStillAcked) {
  Rig rig;
  Holder holder;
  ExtendFaultRun run;
  current_run = &run;
  consumer_test::ServicePtr service;
  start_with_extend_fault(rig, holder,
                          stavo::test::Fault::error("POST", "/v1/queue/extend", 503, "internal"),
                          &service);
  ASSERT_TRUE(service);
  ASSERT_TRUE(eventually([&] { return extends(rig).size() == 2; })) << "the extend is retried";
  std::this_thread::sleep_for(100ms);
  rig.server().advance_clock(2s);  // past the first lease: only the retried extend keeps it
  holder.release.open();
  ASSERT_TRUE(eventually([&] { return count_requests(rig, "/v1/queue/ack") == 1; }));
  sv_consumer_service_stop(service.get());
  Error error;
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u) << "a success is not turned into a nack";
  EXPECT_TRUE(run.error_statuses.empty()) << "a retried extend is no delivery failure";
  EXPECT_EQ(rig.queue("jobs").messages, 0u);
  current_run = nullptr;
}

TEST(ConsumerDelivery, ALeaseTheServerCallsLostIsNeitherAckedNorNacked) {
  Rig rig;
  Holder holder;
  ExtendFaultRun run;
  current_run = &run;
  consumer_test::ServicePtr service;
  start_with_extend_fault(
      rig, holder,
      stavo::test::Fault::error("POST", "/v1/queue/extend", 409, "lease_expired", "too late"),
      &service);
  ASSERT_TRUE(service);
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(extends(rig).size(), 1u) << "a lost lease is not extended again";
  holder.release.open();
  ASSERT_TRUE(eventually([&] {
    const std::lock_guard<std::mutex> lock(run.mutex);
    return !run.error_statuses.empty();
  }));
  sv_consumer_service_stop(service.get());
  Error error;
  EXPECT_EQ(sv_consumer_service_wait(service.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(run.error_statuses, (std::vector<int64_t>{409})) << "reported as a delivery failure";
  EXPECT_EQ(count_requests(rig, "/v1/queue/ack"), 0u);
  EXPECT_EQ(count_requests(rig, "/v1/queue/nack"), 0u);
  EXPECT_EQ(count_requests(rig, "/v1/queue/subscribe"), 1u) << "the stream went on";
  current_run = nullptr;
}

}  // namespace
