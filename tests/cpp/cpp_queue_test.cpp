// stavo::Message, subscriptions, queue watches and the consumer service through the C++
// interface against the dev server: settling empties the object, the destructor frees an
// unsettled message, handlers are lambdas with captures, and a throwing handler nacks.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cpp_fixture.h"

namespace {

using cpp_test::CppFixture;

stavo::DequeueOptions consumer_named(const char *owner, int64_t wait_seconds = 0) {
  stavo::DequeueOptions options;
  options.owner = owner;
  options.wait_seconds = wait_seconds;
  return options;
}

class CppQueue : public CppFixture {};

TEST_F(CppQueue, AMessageIsReadAndSettledThroughItsObject) {
  const stavo::EnqueueResult sent = client_.enqueue("jobs", "payload-1");
  EXPECT_FALSE(sent.message_id.empty());
  EXPECT_EQ(sent.payload_bytes, 9);

  std::optional<stavo::Message> message = client_.dequeue("jobs", consumer_named("w"));
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->id(), sent.message_id);
  EXPECT_EQ(message->queue(), "jobs");
  EXPECT_EQ(message->attempts(), 1);
  EXPECT_EQ(message->payload(), "payload-1");
  EXPECT_EQ(client_.queue_stats("jobs").in_flight, 1);
  message->extend(120);
  EXPECT_EQ(message->lease_expires_at_unix(), server_->now_unix() + 120);
  message->ack();
  EXPECT_FALSE(*message);
  const stavo::QueueStats stats = client_.queue_stats("jobs");
  EXPECT_EQ(stats.messages, 0);
  EXPECT_FALSE(stats.available);

  // Nothing left: an empty optional, not an error.
  EXPECT_FALSE(client_.dequeue("jobs", consumer_named("w")).has_value());
}

TEST_F(CppQueue, NackReturnsTheMessageAndTheDestructorLeavesItInFlight) {
  client_.enqueue("retry", "again");
  {
    std::optional<stavo::Message> first = client_.dequeue("retry", consumer_named("w"));
    ASSERT_TRUE(first.has_value());
    first->nack(SV_NACK_INTENT_DEFER, 0);
    EXPECT_FALSE(*first);
  }
  EXPECT_TRUE(client_.queue_stats("retry").available);
  {
    std::optional<stavo::Message> second = client_.dequeue("retry", consumer_named("w"));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->attempts(), 2);
    stavo::Message moved = std::move(*second);
    EXPECT_FALSE(*second);
    EXPECT_TRUE(moved);
  }  // freed without a settle: still delivered, so not available
  const stavo::QueueStats stats = client_.queue_stats("retry");
  EXPECT_EQ(stats.in_flight, 1);
  EXPECT_FALSE(stats.available);

  stavo::Status status;
  std::optional<stavo::Message> none = client_.dequeue("retry", stavo::DequeueOptions{}, status);
  EXPECT_FALSE(none.has_value());
  EXPECT_EQ(status.code(), SV_ERR_INVALID);
}

TEST_F(CppQueue, AMessageWithStateHandsOutItsLease) {
  server_->seed_state("jobs-state-key", "{}");
  client_.enqueue("stateful", "s");
  std::optional<stavo::Message> message =
      client_.dequeue("stateful", consumer_named("w"), /*with_state=*/true);
  ASSERT_TRUE(message.has_value());
  std::optional<stavo::LeaseRef> state = message->state();
  ASSERT_TRUE(state.has_value());
  state->update(R"({"seen":true})");
  message->ack();
  EXPECT_FALSE(*message);
}

TEST_F(CppQueue, SubscribeRunsACapturingLambdaUntilItThrows) {
  client_.enqueue("stream", "a");
  client_.enqueue("stream", "b");
  std::vector<std::string> payloads;
  try {
    client_.subscribe("stream", consumer_named("sub", 5), [&](stavo::MessageRef &message) {
      payloads.push_back(message.payload());
      message.ack();
      if (payloads.size() == 2) throw std::runtime_error("enough");
    });
    FAIL() << "the subscription ended without the handler's failure";
  } catch (const stavo::Error &error) {
    EXPECT_NE(error.message().find("enough"), std::string::npos) << error.message();
  }
  EXPECT_EQ(payloads, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(client_.queue_stats("stream").messages, 0);
}

TEST_F(CppQueue, WatchQueueStopsWhenTheCallableReturnsFalse) {
  client_.enqueue("watched", "x");
  int events = 0;
  bool saw_available = false;
  client_.watch_queue("watched", [&](const stavo::WatchEvent &event) {
    ++events;
    saw_available = saw_available || event.available;
    EXPECT_EQ(event.queue, "watched");
    return false;
  });
  EXPECT_EQ(events, 1);
  EXPECT_TRUE(saw_available);
}

class CppConsumerService : public CppFixture {};

TEST_F(CppConsumerService, LambdasHandleDeliveriesAndAThrowNacks) {
  client_.enqueue("work", "ok-1");
  client_.enqueue("work", "ok-2");
  client_.enqueue("work", "fail");

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> handled;
  int failures = 0;
  stavo::ConsumerOptions consumer;
  consumer.queue = "work";
  consumer.request.owner = "svc";
  consumer.request.wait_seconds = 1;
  consumer.handler = [&](stavo::Delivery &delivery) {
    EXPECT_EQ(delivery.queue, "work");
    EXPECT_FALSE(delivery.state.has_value());
    const std::string payload = delivery.message.payload();
    std::lock_guard<std::mutex> lock(mutex);
    if (payload == "fail") {
      ++failures;
      changed.notify_all();
      throw std::runtime_error("this one fails");
    }
    handled.push_back(payload);
    changed.notify_all();
  };
  stavo::ConsumerService service = client_.consumer_service({consumer});
  service.start();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return handled.size() == 2 && failures >= 1; }))
        << handled.size() << " handled, " << failures << " failed";
  }
  // The failed delivery goes back to the queue as a failure.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server_->requests_to("POST", "/v1/queue/nack").empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto nacks = server_->requests_to("POST", "/v1/queue/nack");
  ASSERT_FALSE(nacks.empty());
  EXPECT_NE(nacks[0].body.find("\"failure\""), std::string::npos) << nacks[0].body;

  stavo::ConsumerService moved = std::move(service);
  EXPECT_EQ(service.handle(), nullptr);
  EXPECT_NE(moved.handle(), nullptr);
  moved = stavo::ConsumerService();  // the destructor stops, drains and closes
  EXPECT_EQ(handled, (std::vector<std::string>{"ok-1", "ok-2"}));
  // The failed message came back on the same stream at once and failed again until it ran out
  // of attempts: it is the only one left, held or dead-lettered.
  const stavo::QueueStats stats = client_.queue_stats("work");
  EXPECT_EQ(stats.messages + stats.dead_letters, 1) << "only the failed message is left";
}

// A handler still running when the service is stopped (through the async-signal-safe stop)
// settles within the drain; with no drain its message is neither acked nor extended.
TEST_F(CppConsumerService, TheDrainOptionDecidesWhetherAHandlerRunningAtStopSettles) {
  for (const int64_t drain : {int64_t{30000}, int64_t{-1}}) {
    SCOPED_TRACE("drain " + std::to_string(drain));
    const std::string queue = drain > 0 ? "drained" : "undrained";
    server_->clear_requests();
    client_.enqueue(queue, "slow");
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool released = false;
    stavo::ConsumerOptions consumer;
    consumer.queue = queue;
    consumer.request.owner = "svc";
    consumer.handler = [&](stavo::Delivery &) {
      std::unique_lock<std::mutex> lock(mutex);
      started = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
    };
    stavo::ConsumerServiceOptions service_options;
    service_options.drain_timeout_ms = drain;
    stavo::ConsumerService service = client_.consumer_service({consumer}, service_options);
    service.start();
    {
      std::unique_lock<std::mutex> lock(mutex);
      ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return started; }));
    }
    service.signal_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
      const std::lock_guard<std::mutex> lock(mutex);
      released = true;
    }
    changed.notify_all();
    service.wait();
    EXPECT_EQ(server_->requests_to("POST", "/v1/queue/ack").size(), drain > 0 ? 1u : 0u);
    EXPECT_EQ(client_.queue_stats(queue).messages, drain > 0 ? 0 : 1);
  }
}

TEST_F(CppConsumerService, AMissingQueueIsRefusedWhenTheServiceIsCreated) {
  stavo::ConsumerOptions consumer;
  consumer.handler = [](stavo::Delivery &) {};
  stavo::Status status;
  stavo::ConsumerService service = client_.consumer_service({consumer}, status);
  EXPECT_EQ(status.code(), SV_ERR_INVALID);
  EXPECT_EQ(service.handle(), nullptr);
}

}  // namespace
