// The names a request carries (keys, queues, owners, ids, namespaces) are checked by the public
// call's name before anything is sent: a required one must be present and not empty, and every
// one must be valid UTF-8.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "lease_test_support.h"

namespace {

using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using stavo::test::DevServer;

class ArgumentNames : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientConfig config(server_, false);
    sv_client *raw = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    client_.reset(raw);
  }
  DevServer server_;
  ClientPtr client_;
};

struct Case {
  std::string message;
  std::function<int(sv_error *)> call;
};

void expect_refused(const std::vector<Case> &cases) {
  for (const auto &c : cases) {
    Error error;
    EXPECT_EQ(c.call(error.get()), SV_ERR_INVALID) << c.message;
    EXPECT_EQ(error.message(), c.message);
  }
}

TEST_F(ArgumentNames, RequiredNamesAreRefusedByTheCallsName) {
  sv_client *c = client_.get();
  sv_lease *lease = nullptr;
  sv_message *message = nullptr;
  sv_describe_res described{};
  sv_get_res got{};
  sv_enqueue_res enqueued{};
  sv_queue_stats_res stats{};
  sv_ack_res acked{};
  auto sink = lease_test::memory_sink();
  auto payload = lease_test::memory_source("x");
  const std::vector<Case> cases = {
      {"acquire requires key",
       [&](sv_error *e) {
         sv_acquire_req req = lease_test::acquire_request("");
         return sv_acquire(c, &req, &lease, e);
       }},
      {"acquire requires key",
       [&](sv_error *e) {
         sv_acquire_req req = lease_test::acquire_request(nullptr);
         return sv_acquire(c, &req, &lease, e);
       }},
      {"describe requires key",
       [&](sv_error *e) {
         sv_describe_req req;
         sv_describe_req_init(&req);
         return sv_describe(c, &req, &described, e);
       }},
      {"get requires key",
       [&](sv_error *e) { return sv_get(c, "", nullptr, sink.get(), &got, e); }},
      {"enqueue requires queue",
       [&](sv_error *e) {
         sv_enqueue_req req;
         sv_enqueue_req_init(&req);
         return sv_enqueue(c, &req, payload.get(), &enqueued, e);
       }},
      {"queue_stats requires queue",
       [&](sv_error *e) {
         sv_queue_stats_req req;
         sv_queue_stats_req_init(&req);
         return sv_queue_stats(c, &req, &stats, e);
       }},
      {"dequeue requires owner",
       [&](sv_error *e) {
         sv_dequeue_req req;
         sv_dequeue_req_init(&req);
         req.queue = "jobs";
         return sv_dequeue(c, &req, &message, e);
       }},
      {"dequeue requires queue",  // the with-state form shares its messages
       [&](sv_error *e) {
         sv_dequeue_req req;
         sv_dequeue_req_init(&req);
         req.owner = "w";
         return sv_dequeue_with_state(c, &req, &message, e);
       }},
      {"queue_ack requires message_id",
       [&](sv_error *e) {
         sv_message_ref req;
         sv_message_ref_init(&req);
         req.queue = "jobs";
         req.lease_id = "l";
         return sv_queue_ack(c, &req, &acked, e);
       }},
  };
  expect_refused(cases);
  EXPECT_EQ(lease, nullptr);
  EXPECT_EQ(message, nullptr);
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(ArgumentNames, NamesThatAreNotUtf8AreRefusedWithTheOffset) {
  sv_client *c = client_.get();
  sv_lease *lease = nullptr;
  const struct {
    const char *key;
    const char *namespace_name;
    const char *owner;
    const char *message;
    const char *detail;
  } cases[] = {
      {"caf\xc3", nullptr, "o", "acquire: key is not valid UTF-8", "invalid byte at offset 3"},
      {"k\xc0\xaf", nullptr, "o", "acquire: key is not valid UTF-8", "invalid byte at offset 1"},
      {"\xed\xa0\x80", nullptr, "o", "acquire: key is not valid UTF-8", "invalid byte at offset 0"},
      {"k", "ns\xff", "o", "acquire: namespace_name is not valid UTF-8",
       "invalid byte at offset 2"},
      {"k", nullptr, "\x80w", "acquire: owner is not valid UTF-8", "invalid byte at offset 0"},
  };
  for (const auto &t : cases) {
    sv_acquire_req req = lease_test::acquire_request(t.key, t.owner);
    req.namespace_name = t.namespace_name;
    Error error;
    EXPECT_EQ(sv_acquire(c, &req, &lease, error.get()), SV_ERR_INVALID) << t.message;
    EXPECT_EQ(error.message(), t.message);
    EXPECT_EQ(error.detail(), t.detail) << t.message;
  }
  // Valid multi-byte names pass and reach the server.
  sv_acquire_req req = lease_test::acquire_request("caf\xc3\xa9/\xf0\x9f\x98\x80");
  Error error;
  ASSERT_EQ(sv_acquire(c, &req, &lease, error.get()), SV_OK) << error.message();
  EXPECT_STREQ(lease->key, "caf\xc3\xa9/\xf0\x9f\x98\x80");
  sv_lease_close(lease);

  // A subscribe checks the same before it opens its stream.
  sv_dequeue_req dequeue;
  sv_dequeue_req_init(&dequeue);
  dequeue.queue = "jobs\xfe";
  dequeue.owner = "w";
  sv_consumer consumer{};
  consumer.handle = [](void *, sv_message *, sv_error *) { return 0; };
  EXPECT_EQ(sv_subscribe(c, &dequeue, &consumer, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "subscribe: queue is not valid UTF-8");
  EXPECT_TRUE(server_.requests_to("POST", "/v1/queue/subscribe").empty());
}

}  // namespace
