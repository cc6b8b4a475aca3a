// The queue operations that take a message by its members (queue_ack, queue_nack,
// queue_extend) and queue_stats, through the public API against the dev server, plus the
// argument checks of every queue method.
#include <gtest/gtest.h>

#include <string>

#include "queue_test_support.h"

namespace {

using api_test::Error;
using queue_test::MessagePtr;
using queue_test::QueueRig;
using queue_test::text_of;

// The members of a delivered message, kept as strings so that the handle can be closed.
struct Ref {
  std::string queue, message_id, lease_id, meta_etag;
  int64_t fencing_token = 0;
  explicit Ref(const sv_message *message)
      : queue(text_of(message->queue)),
        message_id(text_of(message->message_id)),
        lease_id(text_of(message->lease_id)),
        meta_etag(text_of(message->meta_etag)),
        fencing_token(message->fencing_token) {}
};

MessagePtr take(QueueRig &rig, const char *queue) {
  sv_dequeue_req dq = queue_test::dequeue_request(queue);
  sv_message *raw = nullptr;
  Error error;
  EXPECT_EQ(sv_dequeue(rig.client(), &dq, &raw, error.get()), SV_OK) << error.message();
  return MessagePtr(raw);
}

TEST(QueueOps, StatsSeeTheHead) {
  QueueRig rig;
  const std::string id = rig.enqueue("stats", "x");
  sv_queue_stats_req req;
  sv_queue_stats_req_init(&req);
  req.queue = "stats";
  sv_queue_stats_res res{};
  Error error;
  ASSERT_EQ(sv_queue_stats(rig.client(), &req, &res, error.get()), SV_OK) << error.message();
  EXPECT_EQ(text_of(res.queue), "stats");
  EXPECT_EQ(text_of(res.namespace_name), "default");
  EXPECT_EQ(res.available, 1);
  EXPECT_EQ(text_of(res.head_message_id), id);
  EXPECT_FALSE(text_of(res.correlation_id).empty());
  EXPECT_EQ(res.messages, 1);
  EXPECT_EQ(res.in_flight, 0);
  EXPECT_EQ(res.dead_letters, 0);
  sv_queue_stats_res_cleanup(&res);
  EXPECT_EQ(res.head_message_id, nullptr);

  // A second message, and the first one leased: both are held, one is in flight.
  rig.enqueue("stats", "y");
  MessagePtr leased = take(rig, "stats");
  ASSERT_NE(leased, nullptr);
  ASSERT_EQ(sv_queue_stats(rig.client(), &req, &res, error.get()), SV_OK) << error.message();
  EXPECT_EQ(res.messages, 2);
  EXPECT_EQ(res.in_flight, 1);
  sv_queue_stats_res_cleanup(&res);
  sv_queue_stats_res_cleanup(nullptr);
}

TEST(QueueOps, ExtendNackAndAckByReference) {
  QueueRig rig;
  const std::string id = rig.enqueue("refs", "payload");
  MessagePtr message = take(rig, "refs");
  ASSERT_NE(message, nullptr);
  Ref ref(message.get());
  message.reset();  // closing does not give the message back

  Error error;
  sv_extend_op extend;
  sv_extend_op_init(&extend);
  extend.queue = ref.queue.c_str();
  extend.message_id = ref.message_id.c_str();
  extend.lease_id = ref.lease_id.c_str();
  extend.fencing_token = ref.fencing_token;
  extend.meta_etag = ref.meta_etag.c_str();
  extend.extend_by_seconds = 120;
  sv_extend_res extended{};
  ASSERT_EQ(sv_queue_extend(rig.client(), &extend, &extended, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(extended.lease_expires_at_unix, rig.server().now_unix() + 120);
  EXPECT_EQ(extended.visibility_timeout_seconds, 120);
  ASSERT_NE(extended.meta_etag, nullptr);
  EXPECT_NE(std::string(extended.meta_etag), ref.meta_etag);
  const std::string etag = extended.meta_etag;
  sv_extend_res_cleanup(&extended);

  sv_nack_op nack;
  sv_nack_op_init(&nack);
  nack.queue = ref.queue.c_str();
  nack.message_id = ref.message_id.c_str();
  nack.lease_id = ref.lease_id.c_str();
  nack.meta_etag = ref.meta_etag.c_str();  // stale since the extension
  nack.intent = SV_NACK_INTENT_DEFER;
  nack.last_error_json = R"({"code":42})";
  sv_nack_res nacked{};
  EXPECT_EQ(sv_queue_nack(rig.client(), &nack, &nacked, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(text_of(error.get()->server_error_code), "meta_etag_mismatch");
  EXPECT_EQ(nacked.meta_etag, nullptr);
  nack.meta_etag = etag.c_str();
  ASSERT_EQ(sv_queue_nack(rig.client(), &nack, &nacked, error.get()), SV_OK) << error.message();
  EXPECT_EQ(nacked.requeued, 1);
  EXPECT_FALSE(text_of(nacked.meta_etag).empty());
  sv_nack_res_cleanup(&nacked);
  const auto held = rig.server_message("refs", id);
  EXPECT_EQ(held["last_error"]["code"], 42);
  EXPECT_EQ(held["failure_attempts"], 0);

  message = take(rig, "refs");
  ASSERT_NE(message, nullptr);
  Ref again(message.get());
  message.reset();
  sv_message_ref ack;
  sv_message_ref_init(&ack);
  ack.queue = again.queue.c_str();
  ack.message_id = again.message_id.c_str();
  ack.lease_id = again.lease_id.c_str();
  ack.fencing_token = again.fencing_token;
  sv_ack_res acked{};
  ASSERT_EQ(sv_queue_ack(rig.client(), &ack, &acked, error.get()), SV_OK) << error.message();
  EXPECT_EQ(acked.acked, 1);
  sv_ack_res_cleanup(&acked);
  EXPECT_TRUE(rig.server_message("refs", id).is_null());
}

TEST(QueueOps, QueueNackRefusesAnUnknownIntentUnsent) {
  QueueRig rig;
  sv_nack_op nack;
  sv_nack_op_init(&nack);
  nack.queue = "q";
  nack.message_id = "m";
  nack.lease_id = "l";
  nack.meta_etag = "e";
  nack.intent = 9;
  sv_nack_res res{};
  Error error;
  EXPECT_EQ(sv_queue_nack(rig.client(), &nack, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "invalid nack intent");
  EXPECT_TRUE(rig.server().requests().empty());
}

TEST(QueueOps, ArgumentChecksNameTheOperation) {
  QueueRig rig;
  sv_client *client = rig.client();
  Error error;
  sv_dequeue_req dq = queue_test::dequeue_request("q");
  sv_message *message = nullptr;
  sv_consumer consumer;
  sv_consumer_init(&consumer);
  sv_watch_handler handler;
  sv_watch_handler_init(&handler);
  sv_watch_queue_req watch;
  sv_watch_queue_req_init(&watch);

  EXPECT_EQ(sv_queue_stats(client, nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "queue_stats requires self, req, and out");
  EXPECT_EQ(sv_queue_ack(client, nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "queue_ack requires self, req, and out");
  EXPECT_EQ(sv_queue_nack(client, nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "queue_nack requires self, req, and out");
  EXPECT_EQ(sv_queue_extend(client, nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "queue_extend requires self, req, and out");
  EXPECT_EQ(sv_enqueue(client, nullptr, nullptr, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "enqueue requires self, req, and out");
  EXPECT_EQ(sv_dequeue(client, &dq, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "dequeue requires self, req, and out");
  EXPECT_EQ(sv_dequeue_with_state(client, nullptr, &message, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "dequeue requires self, req, and out");
  EXPECT_EQ(sv_dequeue_batch(client, &dq, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "dequeue_batch requires self, req, and out");
  EXPECT_EQ(sv_subscribe(client, &dq, &consumer, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "subscribe requires self, req, and consumer");
  EXPECT_EQ(sv_subscribe_with_state(client, &dq, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "subscribe requires self, req, and consumer");
  EXPECT_EQ(sv_watch_queue(client, &watch, &handler, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "watch_queue requires self, req, and handler");
  // Nothing reached the server.
  EXPECT_TRUE(rig.server().requests().empty());
}

}  // namespace
