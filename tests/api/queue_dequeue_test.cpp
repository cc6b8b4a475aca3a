// Enqueue and the synchronous dequeues through the public API against the dev server: payloads
// of every size round-trip byte for byte (also over HTTP/2 with mutual TLS), an empty queue
// gives a null message after the wait, batches keep arrival order, with-state deliveries carry a
// working state lease, and a stream cut mid-payload leaves nothing half-delivered.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "queue_test_support.h"

namespace {

using api_test::Error;
using queue_test::MessagePtr;
using queue_test::QueueRig;
using queue_test::text_of;

std::string body_of(const stavo::test::LoggedRequest &request) {
  return std::string(request.body.begin(), request.body.end());
}

class PayloadRoundTrip : public ::testing::TestWithParam<size_t> {};

TEST_P(PayloadRoundTrip, DequeueReturnsEveryByte) {
  QueueRig rig;
  const std::string bytes = queue_test::payload_of(GetParam());
  sv_enqueue_req req;
  sv_enqueue_req_init(&req);
  req.queue = "blobs";
  req.payload_content_type = "application/x-test";
  auto source = lease_test::memory_source(bytes);
  sv_enqueue_res enqueued{};
  Error error;
  ASSERT_EQ(sv_enqueue(rig.client(), &req, source.get(), &enqueued, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(enqueued.payload_bytes, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(text_of(enqueued.queue), "blobs");
  EXPECT_FALSE(text_of(enqueued.correlation_id).empty());
  const std::string id = text_of(enqueued.message_id);
  sv_enqueue_res_cleanup(&enqueued);
  EXPECT_EQ(enqueued.message_id, nullptr);

  sv_dequeue_req dq = queue_test::dequeue_request("blobs");
  sv_message *raw = nullptr;
  ASSERT_EQ(sv_dequeue(rig.client(), &dq, &raw, error.get()), SV_OK) << error.message();
  MessagePtr message(raw);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(text_of(message->message_id), id);
  EXPECT_EQ(text_of(message->payload_content_type), "application/x-test");
  // The payload is read only now, after the call: all of it must still be there.
  const std::string received = queue_test::payload_text(message.get());
  ASSERT_EQ(received.size(), bytes.size());
  EXPECT_TRUE(received == bytes) << "payload differs";
  ASSERT_EQ(sv_message_ack(message.release(), error.get()), SV_OK) << error.message();
}

INSTANTIATE_TEST_SUITE_P(Sizes, PayloadRoundTrip,
                         ::testing::Values(size_t{0}, size_t{1}, size_t{65537}, size_t{32} << 20));

TEST(QueueDequeue, TlsRoundTripOfALargePayload) {
  QueueRig rig(true);
  const std::string bytes = queue_test::payload_of(300000, 11);
  rig.enqueue("tls", bytes);
  sv_dequeue_req dq = queue_test::dequeue_request("tls");
  sv_message *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_dequeue(rig.client(), &dq, &raw, error.get()), SV_OK) << error.message();
  MessagePtr message(raw);
  ASSERT_NE(message, nullptr);
  EXPECT_TRUE(queue_test::payload_text(message.get()) == bytes);
}

TEST(QueueDequeue, EmptyQueueGivesNoMessageAfterTheWait) {
  QueueRig rig;
  rig.enqueue("idle", "x");  // the queue exists; its one message is taken below
  sv_dequeue_req dq = queue_test::dequeue_request("idle");
  sv_message *first = nullptr;
  Error error;
  ASSERT_EQ(sv_dequeue(rig.client(), &dq, &first, error.get()), SV_OK);
  MessagePtr taken(first);
  ASSERT_NE(taken, nullptr);

  dq.wait_seconds = 5;
  sv_message sentinel{};
  sv_message *out = &sentinel;  // must be overwritten with NULL
  auto call = std::async(std::launch::async, [&] {
    Error local;
    return sv_dequeue(rig.client(), &dq, &out, local.get());
  });
  // Wait until the request waits in the server, then let its wait run out.
  bool waiting = false;
  for (int i = 0; i < 500 && !waiting; ++i) {
    const auto state = rig.inspect("idle");
    waiting = !state.is_null() && state["waiting_consumers"].get<int>() > 0;
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(waiting);
  EXPECT_EQ(call.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  rig.server().advance_clock(std::chrono::seconds(6));
  EXPECT_EQ(call.get(), SV_OK);
  EXPECT_EQ(out, nullptr);
}

TEST(QueueDequeue, PageSizes) {
  QueueRig rig;
  for (int i = 0; i < 4; ++i)
    rig.enqueue("pages", "m" + std::to_string(i));
  Error error;
  // A single dequeue always asks for one message, whatever the request says.
  sv_dequeue_req dq = queue_test::dequeue_request("pages");
  dq.page_size = 10;
  sv_message *raw = nullptr;
  ASSERT_EQ(sv_dequeue(rig.client(), &dq, &raw, error.get()), SV_OK) << error.message();
  MessagePtr one(raw);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(queue_test::payload_text(one.get()), "m0");
  auto sent =
      nlohmann::json::parse(body_of(rig.server().requests_to("POST", "/v1/queue/dequeue").back()));
  EXPECT_EQ(sent["page_size"], 1);

  // A batch of page size 0 asks for one.
  dq.page_size = 0;
  sv_dequeue_batch_res batch{};
  ASSERT_EQ(sv_dequeue_batch(rig.client(), &dq, &batch, error.get()), SV_OK) << error.message();
  ASSERT_EQ(batch.count, 1u);
  EXPECT_EQ(queue_test::payload_text(batch.items[0]), "m1");
  sent =
      nlohmann::json::parse(body_of(rig.server().requests_to("POST", "/v1/queue/dequeue").back()));
  EXPECT_EQ(sent["page_size"], 1);
  sv_dequeue_batch_cleanup(&batch);
  EXPECT_EQ(batch.items, nullptr);
  EXPECT_EQ(batch.count, 0u);
}

TEST(QueueDequeue, BatchKeepsArrivalOrderAndEveryPayload) {
  QueueRig rig;
  std::vector<std::string> payloads;
  std::vector<std::string> ids;
  for (size_t i = 0; i < 3; ++i) {
    // The middle one spills to a temporary file; all are read only after the call.
    payloads.push_back(
        queue_test::payload_of(i == 1 ? size_t{200000} : 10 + i, static_cast<uint32_t>(i)));
    ids.push_back(rig.enqueue("batch", payloads.back()));
  }
  sv_dequeue_req dq = queue_test::dequeue_request("batch");
  dq.page_size = 5;
  sv_dequeue_batch_res batch{};
  Error error;
  ASSERT_EQ(sv_dequeue_batch(rig.client(), &dq, &batch, error.get()), SV_OK) << error.message();
  ASSERT_EQ(batch.count, 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(text_of(batch.items[i]->message_id), ids[i]);
    EXPECT_TRUE(queue_test::payload_text(batch.items[i]) == payloads[i]) << "message " << i;
  }
  // Settle the first; the cleanup closes the rest, which stay leased on the server.
  ASSERT_EQ(sv_message_ack(batch.items[0], error.get()), SV_OK) << error.message();
  batch.items[0] = nullptr;
  sv_dequeue_batch_cleanup(&batch);
  const auto state = rig.inspect("batch");
  ASSERT_EQ(state["messages"].size(), 2u);
  EXPECT_EQ(state["messages"][0]["status"], "delivered");
}

TEST(QueueDequeue, WithStateDeliversAWorkingStateLease) {
  QueueRig rig;
  const std::string id = rig.enqueue("orders", "o");
  sv_dequeue_req dq = queue_test::dequeue_request("orders");
  sv_message *raw = nullptr;
  Error error;
  ASSERT_EQ(sv_dequeue_with_state(rig.client(), &dq, &raw, error.get()), SV_OK) << error.message();
  MessagePtr message(raw);
  ASSERT_NE(message, nullptr);
  ASSERT_FALSE(rig.server().requests_to("POST", "/v1/queue/dequeueWithState").empty());
  sv_lease *state = sv_message_state(message.get());
  ASSERT_NE(state, nullptr);
  auto source = lease_test::memory_source(R"({"done":true})");
  ASSERT_EQ(sv_lease_update(state, source.get(), nullptr, error.get()), SV_OK) << error.message();
  ASSERT_EQ(sv_message_ack(message.release(), error.get()), SV_OK) << error.message();
  EXPECT_EQ(rig.server().state("q/orders/state/" + id).state, R"({"done":true})");
}

TEST(QueueDequeue, StreamCutMidPayloadFailsWithoutAMessage) {
  QueueRig rig;
  rig.enqueue("cut", queue_test::payload_of(100000));
  stavo::test::Fault cut;
  cut.method = "POST";
  cut.path = "/v1/queue/dequeue";
  cut.close_after_bytes = 5000;
  rig.server().add_fault(cut);
  sv_dequeue_req dq = queue_test::dequeue_request("cut");
  sv_message *out = nullptr;
  Error error;
  EXPECT_NE(sv_dequeue(rig.client(), &dq, &out, error.get()), SV_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_NE(error.code(), 0);

  // The first message stays leased; a second one is cut in the batch.
  rig.enqueue("cut", queue_test::payload_of(100000, 3));
  dq.page_size = 3;
  rig.server().add_fault(cut);
  sv_dequeue_batch_res batch{};
  EXPECT_NE(sv_dequeue_batch(rig.client(), &dq, &batch, error.get()), SV_OK);
  EXPECT_EQ(batch.count, 0u);
  EXPECT_EQ(batch.items, nullptr);
}

TEST(QueueDequeue, ServerRefusalIsMapped) {
  QueueRig rig;
  rig.server().add_fault(
      stavo::test::Fault::error("POST", "/v1/queue/enqueue", 400, "invalid_field", "bad ttl"));
  sv_enqueue_req req;
  sv_enqueue_req_init(&req);
  req.queue = "jobs";
  auto source = lease_test::memory_source("x");
  sv_enqueue_res res{};
  Error error;
  EXPECT_EQ(sv_enqueue(rig.client(), &req, source.get(), &res, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.get()->http_status, 400);
  EXPECT_EQ(text_of(error.get()->server_error_code), "invalid_field");
  EXPECT_EQ(res.message_id, nullptr);
}

}  // namespace
