// The message handle against the dev server: handles built from real deliveries (the engine's
// synchronous dequeue) are acked, nacked with every intent and extended, their state leases
// commit on ack and roll back on nack, and their payload is read, rewound and copied. Failed
// settlements leave the handle usable; bad arguments fail before anything is sent.
#include <gtest/gtest.h>

#include <string>

#include "client/api/message_internal.h"
#include "queue_test_support.h"

namespace {

using api_test::CountingAllocator;
using api_test::Error;
using queue_test::MessagePtr;
using queue_test::QueueRig;
using queue_test::text_of;

class MessageHandle : public ::testing::Test {
 protected:
  // Dequeues one message through the engine and wraps it in a handle that takes the payload.
  MessagePtr deliver(const char *queue, bool with_state = false, int32_t *settled = nullptr) {
    sv_engine_dequeue_request request{};
    request.queue = queue;
    request.owner = "worker-1";
    request.page_size = 1;
    sv_engine_dequeue_response delivery{};
    sv_engine_error engine_error;
    sv_engine_error_init(&engine_error);
    const sv_engine_client *engine = sv_client_impl_of(rig_.client())->engine;
    const int status =
        with_state ? sv_engine_client_dequeue_with_state(engine, &request, &delivery, &engine_error)
                   : sv_engine_client_dequeue(engine, &request, &delivery, &engine_error);
    EXPECT_EQ(status, SV_OK) << text_of(engine_error.message);
    sv_engine_error_cleanup(&engine_error);
    if (delivery.message_id == nullptr) return nullptr;
    sv_source *payload = delivery.payload;
    delivery.payload = nullptr;
    sv_message *message = sv_message_new(rig_.client(), &delivery, payload, settled);
    sv_engine_dequeue_response_cleanup(&delivery);
    return MessagePtr(message);
  }

  std::string last_body(const std::string &path) {
    auto requests = rig_.server().requests_to("POST", path);
    if (requests.empty()) return "<none>";
    return std::string(requests.back().body.begin(), requests.back().body.end());
  }

  QueueRig rig_;
};

TEST_F(MessageHandle, ViewMirrorsTheDeliveryAndAckRemovesTheMessage) {
  const std::string id = rig_.enqueue("jobs", "hello");
  int32_t settled = 0;
  MessagePtr message = deliver("jobs", false, &settled);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(text_of(message->message_id), id);
  EXPECT_EQ(text_of(message->queue), "jobs");
  EXPECT_EQ(text_of(message->namespace_name), "default");
  EXPECT_EQ(message->attempts, 1);
  EXPECT_FALSE(text_of(message->lease_id).empty());
  EXPECT_FALSE(text_of(message->meta_etag).empty());
  EXPECT_GT(message->fencing_token, 0);
  EXPECT_EQ(text_of(message->payload_content_type), "application/octet-stream");
  EXPECT_EQ(sv_message_payload(message.get()), message->payload);
  EXPECT_EQ(sv_message_state(message.get()), nullptr);
  EXPECT_EQ(queue_test::payload_text(message.get()), "hello");

  Error error;
  ASSERT_EQ(sv_message_ack(message.get(), error.get()), SV_OK) << error.message();
  message.release();  // freed by the ack
  EXPECT_EQ(settled, 1);
  EXPECT_TRUE(rig_.server_message("jobs", id).is_null());
}

TEST_F(MessageHandle, FailedAckKeepsTheHandleAndTheFlag) {
  const std::string id = rig_.enqueue("jobs", "late");
  int32_t settled = 0;
  MessagePtr message = deliver("jobs", false, &settled);
  ASSERT_NE(message, nullptr);
  rig_.server().add_fault(
      stavo::test::Fault::error("POST", "/v1/queue/ack", 409, "lease_mismatch"));
  Error error;
  EXPECT_EQ(sv_message_ack(message.get(), error.get()), SV_ERR_SERVER);
  EXPECT_EQ(text_of(error.get()->server_error_code), "lease_mismatch");
  EXPECT_EQ(settled, 0);
  // Still usable: the payload reads and a second ack goes through.
  EXPECT_EQ(queue_test::payload_text(message.get()), "late");
  error.clear();
  ASSERT_EQ(sv_message_ack(message.get(), error.get()), SV_OK) << error.message();
  message.release();
  EXPECT_EQ(settled, 1);
}

TEST_F(MessageHandle, NackSendsIntentDelayAndLastError) {
  const std::string id = rig_.enqueue("jobs", "x", 5);
  MessagePtr message = deliver("jobs");
  ASSERT_NE(message, nullptr);
  sv_nack_req req;
  sv_nack_req_init(&req);
  req.delay_seconds = 30;
  req.last_error_json = R"({"reason":"disk full","retry":true})";
  Error error;
  ASSERT_EQ(sv_message_nack(message.get(), &req, error.get()), SV_OK) << error.message();
  message.release();
  const auto body = nlohmann::json::parse(last_body("/v1/queue/nack"));
  EXPECT_EQ(body["intent"], "failure");  // unspecified goes out as a failure
  EXPECT_EQ(body["delay_seconds"], 30);
  const auto held = rig_.server_message("jobs", id);
  ASSERT_FALSE(held.is_null());
  EXPECT_EQ(held["status"], "delayed");
  EXPECT_EQ(held["failure_attempts"], 1);
  EXPECT_EQ(held["last_error"]["reason"], "disk full");
  EXPECT_EQ(held["last_error"]["retry"], true);

  // After the delay it comes back; a deferral does not count as a failure.
  rig_.server().advance_clock(std::chrono::seconds(31));
  message = deliver("jobs");
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->attempts, 2);
  EXPECT_EQ(message->failure_attempts, 1);
  req = sv_nack_req{};
  req.intent = SV_NACK_INTENT_DEFER;
  ASSERT_EQ(sv_message_nack(message.get(), &req, error.get()), SV_OK) << error.message();
  message.release();
  EXPECT_EQ(nlohmann::json::parse(last_body("/v1/queue/nack"))["intent"], "defer");
  EXPECT_EQ(rig_.server_message("jobs", id)["failure_attempts"], 1);
}

TEST_F(MessageHandle, FailureNackAtMaxAttemptsDeadLetters) {
  const std::string id = rig_.enqueue("jobs", "poison", 1);
  int32_t settled = 0;
  MessagePtr message = deliver("jobs", false, &settled);
  ASSERT_NE(message, nullptr);
  sv_nack_req req{};
  req.intent = SV_NACK_INTENT_FAILURE;
  Error error;
  ASSERT_EQ(sv_message_nack(message.get(), &req, error.get()), SV_OK) << error.message();
  message.release();
  EXPECT_EQ(settled, 1);
  const auto all = rig_.inspect("jobs");
  ASSERT_EQ(all["dead_letters"].size(), 1u);
  EXPECT_EQ(all["dead_letters"][0]["message_id"], id);
}

TEST_F(MessageHandle, InvalidNackIsRefusedBeforeAnythingIsSent) {
  rig_.enqueue("jobs", "x");
  int32_t settled = 0;
  MessagePtr message = deliver("jobs", false, &settled);
  ASSERT_NE(message, nullptr);
  sv_nack_req req{};
  req.intent = 3;
  Error error;
  EXPECT_EQ(sv_message_nack(message.get(), &req, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "invalid nack intent");
  EXPECT_EQ(sv_message_nack(message.get(), nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "message nack requires self and req");
  EXPECT_EQ(sv_message_extend(message.get(), nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "message extend requires self and req");
  EXPECT_TRUE(rig_.server().requests_to("POST", "/v1/queue/nack").empty());
  EXPECT_TRUE(rig_.server().requests_to("POST", "/v1/queue/extend").empty());
  EXPECT_EQ(settled, 0);
}

TEST_F(MessageHandle, ExtendMovesTheLeaseAndRenewsTheMetaEtag) {
  const std::string id = rig_.enqueue("jobs", "slow");
  MessagePtr message = deliver("jobs");
  ASSERT_NE(message, nullptr);
  const std::string old_etag = text_of(message->meta_etag);
  const int64_t now = rig_.server().now_unix();
  sv_extend_req req;
  sv_extend_req_init(&req);
  req.extend_by_seconds = 600;
  Error error;
  ASSERT_EQ(sv_message_extend(message.get(), &req, error.get()), SV_OK) << error.message();
  EXPECT_EQ(message->lease_expires_at_unix, now + 600);
  EXPECT_EQ(message->visibility_timeout_seconds, 600);
  EXPECT_NE(text_of(message->meta_etag), old_etag);
  EXPECT_EQ(rig_.server_message("jobs", id)["lease"]["expires_at_ms"], (now + 600) * 1000);
  // The lease outlives the queue's visibility timeout now, and the new ETag settles it.
  rig_.server().advance_clock(std::chrono::seconds(300));
  ASSERT_EQ(sv_message_ack(message.get(), error.get()), SV_OK) << error.message();
  message.release();
}

TEST_F(MessageHandle, StateLeaseCommitsOnAckAndRollsBackOnNack) {
  for (const bool ack : {true, false}) {
    SCOPED_TRACE(ack ? "ack" : "nack");
    const std::string id = rig_.enqueue("orders", "o");
    MessagePtr message = deliver("orders", true);
    ASSERT_NE(message, nullptr);
    sv_lease *state = sv_message_state(message.get());
    ASSERT_NE(state, nullptr);
    const std::string key = "q/orders/state/" + id;
    EXPECT_EQ(text_of(state->key), key);
    EXPECT_FALSE(text_of(state->lease_id).empty());
    auto source = lease_test::memory_source(R"({"step":2})");
    Error error;
    ASSERT_EQ(sv_lease_update(state, source.get(), nullptr, error.get()), SV_OK) << error.message();
    ASSERT_TRUE(rig_.server().state(key).lease.has_value());
    EXPECT_TRUE(rig_.server().state(key).lease->has_staged_changes);

    // Extending the delivery extends the state lease too.
    sv_extend_req extend{60};
    ASSERT_EQ(sv_message_extend(message.get(), &extend, error.get()), SV_OK) << error.message();
    EXPECT_EQ(state->expires_at_unix, rig_.server().now_unix() + 60);

    if (ack) {
      ASSERT_EQ(sv_message_ack(message.get(), error.get()), SV_OK) << error.message();
      message.release();
      EXPECT_EQ(rig_.server().state(key).state, R"({"step":2})");
    } else {
      sv_nack_req req{};
      req.intent = SV_NACK_INTENT_DEFER;
      ASSERT_EQ(sv_message_nack(message.get(), &req, error.get()), SV_OK) << error.message();
      message.release();
      EXPECT_EQ(rig_.server().state(key).state, "");
      EXPECT_FALSE(rig_.server().state(key).lease.has_value());
    }
  }
}

TEST_F(MessageHandle, PayloadRewindsAndCopies) {
  const std::string bytes = queue_test::payload_of(100000);
  rig_.enqueue("jobs", bytes);
  MessagePtr message = deliver("jobs");
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(queue_test::payload_text(message.get()), bytes);
  // Read to the end: a second copy writes nothing until the payload is rewound.
  EXPECT_EQ(queue_test::payload_text(message.get()), "");
  Error error;
  ASSERT_EQ(sv_message_rewind_payload(message.get(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(api_test::read_all(sv_message_payload(message.get()), 999), bytes);
}

TEST_F(MessageHandle, MessageWithoutPayloadOrArguments) {
  sv_engine_dequeue_response delivery{};
  char queue[] = "jobs";
  char id[] = "m-1";
  delivery.queue = queue;
  delivery.message_id = id;
  MessagePtr message(sv_message_new(rig_.client(), &delivery, nullptr, nullptr));
  ASSERT_NE(message, nullptr);
  Error error;
  auto sink = lease_test::memory_sink();
  uint64_t written = 99;
  EXPECT_EQ(sv_message_write_payload(message.get(), sink.get(), &written, error.get()), SV_OK);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(sv_message_rewind_payload(message.get(), error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "message has no payload");
  EXPECT_EQ(sv_message_write_payload(message.get(), nullptr, &written, error.get()),
            SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "message write_payload requires message and dst");
  EXPECT_EQ(sv_message_write_payload(nullptr, sink.get(), &written, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(sv_message_rewind_payload(nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "message rewind_payload requires message");
  EXPECT_EQ(sv_message_payload(nullptr), nullptr);
  EXPECT_EQ(sv_message_state(nullptr), nullptr);
  EXPECT_EQ(message->ack(nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "message ack requires self");
  sv_message_close(nullptr);
}

TEST_F(MessageHandle, StateLeaseKeyNeedsQueueAndMessageId) {
  char lease_id[] = "state-lease";
  char queue[] = "jobs";
  char empty[] = "";
  char id[] = "m-7";
  sv_engine_dequeue_response delivery{};
  delivery.state_lease_id = lease_id;
  delivery.state_fencing_token = 4;
  delivery.queue = empty;
  delivery.message_id = id;
  MessagePtr unnamed(sv_message_new(rig_.client(), &delivery, nullptr, nullptr));
  ASSERT_NE(unnamed, nullptr);
  sv_lease *state = sv_message_state(unnamed.get());
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->key, nullptr);
  EXPECT_EQ(text_of(state->lease_id), "state-lease");
  EXPECT_EQ(state->fencing_token, 4);

  delivery.queue = queue;
  MessagePtr named(sv_message_new(rig_.client(), &delivery, nullptr, nullptr));
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(text_of(sv_message_state(named.get())->key), "q/jobs/state/m-7");

  delivery.state_lease_id = empty;
  MessagePtr stateless(sv_message_new(rig_.client(), &delivery, nullptr, nullptr));
  ASSERT_NE(stateless, nullptr);
  EXPECT_EQ(sv_message_state(stateless.get()), nullptr);
}

TEST(MessageAllocation, HandleUsesTheClientAllocatorAndFreesEverything) {
  CountingAllocator counting;
  QueueRig rig(false, &counting.allocator);
  const size_t base = counting.live.load();
  char text[] = "x";
  sv_engine_dequeue_response delivery{};
  delivery.queue = text;
  delivery.message_id = text;
  delivery.lease_id = text;
  delivery.state_lease_id = text;
  sv_message *message = sv_message_new(rig.client(), &delivery, nullptr, nullptr);
  ASSERT_NE(message, nullptr);
  EXPECT_GT(counting.live.load(), base + 4);  // handle, copies and the state lease
  sv_message_close(message);
  EXPECT_EQ(counting.live.load(), base);

  counting.fail_at = counting.allocations.load() + 1;  // the handle itself
  EXPECT_EQ(sv_message_new(rig.client(), &delivery, nullptr, nullptr), nullptr);
  EXPECT_EQ(counting.live.load(), base);
}

TEST(NackIntent, NamesAndWireStrings) {
  EXPECT_STREQ(sv_nack_intent_to_string(SV_NACK_INTENT_UNSPECIFIED), "unspecified");
  EXPECT_STREQ(sv_nack_intent_to_string(SV_NACK_INTENT_FAILURE), "failure");
  EXPECT_STREQ(sv_nack_intent_to_string(SV_NACK_INTENT_DEFER), "defer");
  EXPECT_STREQ(sv_nack_intent_to_string(7), "invalid");
  EXPECT_STREQ(sv_nack_intent_to_string(-1), "invalid");
  const char *wire = "unset";
  Error error;
  ASSERT_EQ(sv_nack_intent_to_wire_string(SV_NACK_INTENT_UNSPECIFIED, &wire, error.get()), SV_OK);
  EXPECT_STREQ(wire, "failure");
  ASSERT_EQ(sv_nack_intent_to_wire_string(SV_NACK_INTENT_DEFER, &wire, error.get()), SV_OK);
  EXPECT_STREQ(wire, "defer");
  EXPECT_EQ(sv_nack_intent_to_wire_string(3, &wire, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(wire, nullptr);
  EXPECT_EQ(error.message(), "invalid nack intent");
  EXPECT_EQ(sv_nack_intent_to_wire_string(1, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "nack intent mapping requires output");
}

}  // namespace
