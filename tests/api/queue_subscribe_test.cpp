// subscribe and subscribe_with_state through the public API against the dev server: handlers
// that ack, nack, return SV_OK without settling, fail without an error, or ack without reading
// a 1 MiB payload (the stream drops the rest and goes on, while the handler thread settles);
// with-state deliveries; and a stream cut mid-payload, which fails the handler's read. The
// stream ends when its idle wait runs out on the server's virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "queue_test_support.h"

namespace {

using api_test::Error;
using queue_test::QueueRig;
using queue_test::text_of;

// What the handler saw of one delivery.
struct Seen {
  std::string message_id;
  std::string payload;
  int read_status = 0;
  std::string read_error;
};

// A consumer whose behaviour is a function; it records every delivery.
struct Consumer {
  std::function<int(sv_message *, sv_error *, Seen &)> behaviour;
  std::mutex mutex;
  std::vector<Seen> seen;
  std::atomic<size_t> handled{0};

  sv_consumer record() {
    sv_consumer consumer;
    sv_consumer_init(&consumer);
    consumer.context = this;
    consumer.handle = [](void *context, sv_message *message, sv_error *error) -> int {
      auto *self = static_cast<Consumer *>(context);
      Seen delivery;
      delivery.message_id = text_of(message->message_id);
      const int result = self->behaviour(message, error, delivery);
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.push_back(std::move(delivery));
      }
      ++self->handled;
      return result;
    };
    return consumer;
  }
};

// Reads the whole payload into seen, keeping the read's outcome.
void read_payload(sv_message *message, Seen &seen) {
  sv_error error;
  sv_error_init(&error);
  seen.payload = api_test::read_all(sv_message_payload(message), 8192, &seen.read_status, &error);
  seen.read_error = text_of(error.message);
  sv_error_cleanup(&error);
}

int ack(sv_message *message, sv_error *error) {
  return sv_message_ack(message, error);
}

class Subscribe : public ::testing::Test {
 protected:
  // Runs subscribe on a thread of its own; the stream ends once `handled` deliveries were
  // handled and the idle wait has run out.
  int run(Consumer &consumer, size_t handled, bool with_state = false, Error *error = nullptr,
          const char *queue = "work") {
    sv_dequeue_req req = queue_test::dequeue_request(queue);
    req.wait_seconds = 1;
    sv_consumer record = consumer.record();
    Error local;
    Error *used = error != nullptr ? error : &local;
    auto call = std::async(std::launch::async, [&] {
      return with_state ? sv_subscribe_with_state(rig_.client(), &req, &record, used->get())
                        : sv_subscribe(rig_.client(), &req, &record, used->get());
    });
    for (int i = 0; i < 3000 && consumer.handled.load() < handled; ++i) {
      if (call.wait_for(std::chrono::milliseconds(5)) == std::future_status::ready) break;
    }
    EXPECT_GE(consumer.handled.load(), handled);
    // Keep moving the clock until the stream's idle wait is over.
    while (call.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      rig_.server().advance_clock(std::chrono::seconds(2));
    }
    return call.get();
  }

  QueueRig rig_;
};

TEST_F(Subscribe, HandlerThatAcksReceivesEveryMessage) {
  std::vector<std::string> ids;
  std::vector<std::string> payloads;
  for (uint32_t i = 0; i < 3; ++i) {
    payloads.push_back(queue_test::payload_of(i == 1 ? 150000 : 5, i));
    ids.push_back(rig_.enqueue("work", payloads.back()));
  }
  Consumer consumer;
  consumer.behaviour = [](sv_message *message, sv_error *error, Seen &seen) {
    read_payload(message, seen);
    return ack(message, error);
  };
  Error error;
  EXPECT_EQ(run(consumer, 3, false, &error), SV_OK) << error.message();
  ASSERT_EQ(consumer.seen.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(consumer.seen[i].message_id, ids[i]);
    EXPECT_EQ(consumer.seen[i].read_status, 0);
    EXPECT_TRUE(consumer.seen[i].payload == payloads[i]) << "message " << i;
  }
  EXPECT_TRUE(rig_.inspect("work")["messages"].empty());
}

TEST_F(Subscribe, HandlerThatNacksHandsTheMessageBack) {
  const std::string id = rig_.enqueue("work", "again");
  Consumer consumer;
  consumer.behaviour = [](sv_message *message, sv_error *error, Seen &seen) {
    read_payload(message, seen);
    sv_nack_req req{};
    req.intent = SV_NACK_INTENT_DEFER;
    req.delay_seconds = 3600;
    return sv_message_nack(message, &req, error);
  };
  Error error;
  EXPECT_EQ(run(consumer, 1, false, &error), SV_OK) << error.message();
  ASSERT_EQ(consumer.seen.size(), 1u);
  EXPECT_EQ(consumer.seen[0].payload, "again");
  const auto held = rig_.server_message("work", id);
  ASSERT_FALSE(held.is_null());
  EXPECT_EQ(held["status"], "delayed");
  EXPECT_EQ(held["failure_attempts"], 0);
}

TEST_F(Subscribe, UnsettledOrFailedHandlersEndTheStreamAndNackAsFailure) {
  struct Case {
    const char *name;
    int result;
    const char *message;
  };
  for (const Case &c :
       {Case{"ok without settling", SV_OK,
             "consumer callback must ack() or nack() before returning SV_OK"},
        Case{"failure without error", SV_ERR_PROTOCOL, "consumer callback failed"}}) {
    SCOPED_TRACE(c.name);
    const std::string queue = std::string("work-") + std::to_string(c.result);
    const std::string id = rig_.enqueue(queue, "x");
    Consumer consumer;
    const int result = c.result;
    consumer.behaviour = [result](sv_message *, sv_error *, Seen &) { return result; };
    Error error;
    EXPECT_EQ(run(consumer, 1, false, &error, queue.c_str()), SV_ERR_TRANSPORT);
    EXPECT_EQ(error.message(), c.message);
    EXPECT_EQ(consumer.handled.load(), 1u);
    // The message was handed back as a failure (the server may have offered it to the stream
    // again before the stream closed).
    const auto nacks = rig_.server().requests_to("POST", "/v1/queue/nack");
    ASSERT_FALSE(nacks.empty());
    const auto body = nlohmann::json::parse(nacks.back().body);
    EXPECT_EQ(body["intent"], "failure");
    EXPECT_EQ(body["message_id"], id);
    EXPECT_EQ(rig_.server_message(queue, id)["failure_attempts"], 1);
  }
}

TEST_F(Subscribe, HandlerErrorIsReportedAsGiven) {
  rig_.enqueue("work", "x");
  Consumer consumer;
  consumer.behaviour = [](sv_message *message, sv_error *error, Seen &) {
    sv_message_ack(message, nullptr);
    return sv_error_set(error, SV_ERR_INVALID, 0, "bad order", "order 7", nullptr, nullptr);
  };
  Error error;
  EXPECT_EQ(run(consumer, 1, false, &error), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "bad order");
  EXPECT_EQ(error.detail(), "order 7");
  // The handler had acked: nothing is nacked on top of that.
  EXPECT_TRUE(rig_.inspect("work")["messages"].empty());
  EXPECT_TRUE(rig_.server().requests_to("POST", "/v1/queue/nack").empty());
}

TEST_F(Subscribe, AckWithoutReadingALargePayloadKeepsTheStreamGoing) {
  const std::string big = rig_.enqueue("work", queue_test::payload_of(1 << 20));
  const std::string small = rig_.enqueue("work", "next");
  Consumer consumer;
  std::atomic<int> calls{0};
  consumer.behaviour = [&calls](sv_message *message, sv_error *error, Seen &seen) {
    // The first one is acked untouched while its payload still arrives; the second is read.
    if (calls++ > 0) read_payload(message, seen);
    return ack(message, error);
  };
  Error error;
  EXPECT_EQ(run(consumer, 2, false, &error), SV_OK) << error.message();
  ASSERT_EQ(consumer.seen.size(), 2u);
  EXPECT_EQ(consumer.seen[0].message_id, big);
  EXPECT_EQ(consumer.seen[1].message_id, small);
  EXPECT_EQ(consumer.seen[1].payload, "next");
  EXPECT_TRUE(rig_.inspect("work")["messages"].empty());
}

TEST_F(Subscribe, WithStateCommitsOnAck) {
  const std::string id = rig_.enqueue("work", "s");
  Consumer consumer;
  consumer.behaviour = [](sv_message *message, sv_error *error, Seen &seen) {
    sv_lease *state = sv_message_state(message);
    if (state == nullptr)
      return sv_error_set(error, SV_ERR_INVALID, 0, "no state", nullptr, nullptr, nullptr);
    seen.payload = text_of(state->key);
    sv_source *source = nullptr;
    sv_source_from_memory("{\"n\":1}", 7, &source, nullptr);
    const int status = sv_lease_update(state, source, nullptr, error);
    sv_source_close(source);
    if (status != SV_OK) return status;
    return ack(message, error);
  };
  Error error;
  EXPECT_EQ(run(consumer, 1, true, &error), SV_OK) << error.message();
  ASSERT_EQ(consumer.seen.size(), 1u);
  EXPECT_EQ(consumer.seen[0].payload, "q/work/state/" + id);
  EXPECT_EQ(rig_.server().state("q/work/state/" + id).state, "{\"n\":1}");
}

TEST_F(Subscribe, StreamCutMidPayloadFailsTheHandlersRead) {
  const std::string payload = queue_test::payload_of(400000);
  rig_.enqueue("work", payload);
  stavo::test::Fault cut;
  cut.method = "POST";
  cut.path = "/v1/queue/subscribe";
  cut.close_after_bytes = 100000;
  rig_.server().add_fault(cut);
  Consumer consumer;
  consumer.behaviour = [](sv_message *message, sv_error *error, Seen &seen) {
    read_payload(message, seen);
    if (seen.read_status != 0) {
      return sv_error_set(error, seen.read_status, 0, seen.read_error.c_str(), nullptr, nullptr,
                          nullptr);
    }
    return ack(message, error);
  };
  Error error;
  EXPECT_NE(run(consumer, 1, false, &error), SV_OK);
  ASSERT_EQ(consumer.seen.size(), 1u);
  EXPECT_NE(consumer.seen[0].read_status, 0);
  EXPECT_FALSE(consumer.seen[0].read_error.empty());
  EXPECT_LT(consumer.seen[0].payload.size(), payload.size());
  // The payload read so far is a true prefix, never filled with anything else.
  EXPECT_TRUE(payload.compare(0, consumer.seen[0].payload.size(), consumer.seen[0].payload) == 0);
}

}  // namespace
