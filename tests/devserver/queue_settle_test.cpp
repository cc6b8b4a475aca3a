// ack, nack and extend: lease and meta_etag checks, intents and delays, visibility expiry and
// redelivery on the virtual clock, attempts counting and dead letters.
#include "queue_helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

Delivery only(std::vector<Delivery> deliveries) {
  EXPECT_EQ(deliveries.size(), 1u);
  return deliveries.empty() ? Delivery{} : deliveries.front();
}

TEST(DevServerQueueSettle, AckRemovesTheMessage) {
  DevServer dev;
  enqueue(dev, "q", "one");
  Delivery d = only(dequeue(dev, "q"));
  HttpResponse acked = queue_call(dev, "ack", d.settle());
  ASSERT_EQ(acked.status, 200) << acked.body;
  EXPECT_EQ(body_of(acked)["acked"], true);
  HttpResponse again = queue_call(dev, "ack", d.settle());
  EXPECT_EQ(again.status, 404);
  EXPECT_EQ(error_code(again), "message_not_found");
  dev.advance_clock(3600s);
  EXPECT_TRUE(dequeue(dev, "q").empty());
  EXPECT_EQ(inspect_queue(dev, "q")["messages"].size(), 0u);
}

TEST(DevServerQueueSettle, SettlementChecksLeaseTokensAndMetaEtag) {
  DevServer dev;
  enqueue(dev, "q", "one");
  Delivery d = only(dequeue(dev, "q"));
  auto refused = [&](const std::string &op, json extra, int status, const std::string &code) {
    HttpResponse response = queue_call(dev, op, d.settle(std::move(extra)));
    EXPECT_EQ(response.status, status) << op << " " << response.body;
    EXPECT_EQ(error_code(response), code) << op << " " << response.body;
    return response;
  };
  for (const char *op : {"ack", "nack", "extend"}) {
    refused(op, {{"lease_id", "not-the-lease"}}, 409, "lease_mismatch");
    refused(op, {{"fencing_token", 99}}, 409, "fencing_mismatch");
    refused(op, {{"txn_id", "txn-other"}}, 409, "txn_mismatch");
    HttpResponse stale = refused(op, {{"meta_etag", "stale"}}, 409, "meta_etag_mismatch");
    EXPECT_EQ(body_of(stale)["current_etag"], d.message["meta_etag"]);
    refused(op, {{"state_lease_id", "no-state"}}, 409, "state_lease_mismatch");
    refused(op, {{"message_id", "m0000000000000099-000000"}}, 404, "message_not_found");
    refused(op, {{"queue", "other"}}, 404, "message_not_found");
    refused(op, {{"lease_id", nullptr}}, 400, "missing_field");
    refused(op, {{"message_id", 7}}, 400, "invalid_field");
  }
  // Required members only: namespace, queue, message_id, lease_id.
  json minimal = {{"namespace", "default"},
                  {"queue", "q"},
                  {"message_id", d.message["message_id"]},
                  {"lease_id", d.message["lease_id"]}};
  EXPECT_EQ(queue_call(dev, "ack", minimal).status, 200);
}

TEST(DevServerQueueSettle, ExpiredDeliveryIsRedeliveredAndCountsAttempts) {
  DevServer dev;
  enqueue(dev, "q", "work", {{"visibility_timeout_seconds", 20}});
  Delivery first = only(dequeue(dev, "q"));
  EXPECT_EQ(first.message["attempts"], 1);
  dev.advance_clock(19s);
  EXPECT_TRUE(dequeue(dev, "q").empty());
  dev.advance_clock(1s);  // the lease runs out: visible again
  Delivery second = only(dequeue(dev, "q"));
  EXPECT_EQ(second.message["message_id"], first.message["message_id"]);
  EXPECT_EQ(second.message["attempts"], 2);
  EXPECT_EQ(second.message["failure_attempts"], 1);  // an unsettled delivery counts as a failure
  EXPECT_EQ(second.message["fencing_token"], 2);
  EXPECT_NE(second.message["lease_id"], first.message["lease_id"]);
  EXPECT_NE(second.message["meta_etag"], first.message["meta_etag"]);
  EXPECT_EQ(second.payload, "work");
  HttpResponse late = queue_call(dev, "ack", first.settle());
  EXPECT_EQ(late.status, 409);
  EXPECT_EQ(error_code(late), "lease_expired");
  EXPECT_EQ(queue_call(dev, "ack", second.settle()).status, 200);
}

TEST(DevServerQueueSettle, RequestVisibilityTimeoutOverridesTheMessages) {
  DevServer dev;
  enqueue(dev, "q", "work", {{"visibility_timeout_seconds", 100}});
  Delivery d = only(dequeue(dev, "q", {{"visibility_timeout_seconds", 5}}));
  EXPECT_EQ(d.message["visibility_timeout_seconds"], 5);
  EXPECT_EQ(d.message["lease_expires_at_unix"], dev.now_unix() + 5);
  dev.advance_clock(5s);
  EXPECT_EQ(dequeue(dev, "q").size(), 1u);
}

TEST(DevServerQueueSettle, ExtendMovesTheLeaseAndChangesMetaEtag) {
  DevServer dev;
  enqueue(dev, "q", "work", {{"visibility_timeout_seconds", 10}});
  Delivery d = only(dequeue(dev, "q"));
  dev.advance_clock(8s);
  HttpResponse extended = queue_call(dev, "extend", d.settle({{"extend_by_seconds", 60}}));
  ASSERT_EQ(extended.status, 200) << extended.body;
  json e = body_of(extended);
  EXPECT_EQ(e["lease_expires_at_unix"], dev.now_unix() + 60);
  EXPECT_EQ(e["visibility_timeout_seconds"], 60);
  EXPECT_NE(e["meta_etag"], d.message["meta_etag"]);
  EXPECT_FALSE(e.contains("state_lease_expires_at_unix"));
  dev.advance_clock(59s);
  EXPECT_TRUE(dequeue(dev, "q").empty());
  // The old meta_etag is stale now; the new one settles.
  EXPECT_EQ(error_code(queue_call(dev, "ack", d.settle())), "meta_etag_mismatch");
  EXPECT_EQ(queue_call(dev, "ack", d.settle({{"meta_etag", e["meta_etag"]}})).status, 200);

  enqueue(dev, "q", "again", {{"visibility_timeout_seconds", 10}});
  Delivery d2 = only(dequeue(dev, "q"));
  json by_default = body_of(queue_call(dev, "extend", d2.settle()));
  EXPECT_EQ(by_default["visibility_timeout_seconds"], 10);  // the message's own timeout
  HttpResponse bad = queue_call(dev, "extend", d2.settle({{"extend_by_seconds", 31536001}}));
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(error_code(bad), "invalid_duration");
  EXPECT_NE(body_of(bad)["detail"].get<std::string>().find("extend_by_seconds"), std::string::npos);
}

TEST(DevServerQueueSettle, NackIntentsDelaysAndLastError) {
  DevServer dev;
  enqueue(dev, "q", "work", {{"max_attempts", 3}});
  Delivery d = only(dequeue(dev, "q"));
  json error_doc = {{"reason", "timeout"}, {"details", {{"tries", 2}}}};
  HttpResponse deferred =
      queue_call(dev, "nack",
                 d.settle({{"intent", "defer"}, {"delay_seconds", 30}, {"last_error", error_doc}}));
  ASSERT_EQ(deferred.status, 200) << deferred.body;
  EXPECT_EQ(body_of(deferred)["requeued"], true);
  EXPECT_NE(body_of(deferred)["meta_etag"], d.message["meta_etag"]);
  json inspected = inspect_queue(dev, "q")["messages"][0];
  EXPECT_EQ(inspected["status"], "delayed");
  EXPECT_EQ(inspected["last_error"], error_doc);
  EXPECT_EQ(inspected["failure_attempts"], 0);  // defer does not count
  dev.advance_clock(29s);
  EXPECT_TRUE(dequeue(dev, "q").empty());
  dev.advance_clock(1s);
  Delivery again = only(dequeue(dev, "q"));
  EXPECT_EQ(again.message["attempts"], 2);
  EXPECT_EQ(again.message["failure_attempts"], 0);
  EXPECT_EQ(again.message["last_error"], error_doc);

  // No intent means failure; no delay means visible at once.
  ASSERT_EQ(queue_call(dev, "nack", again.settle()).status, 200);
  Delivery third = only(dequeue(dev, "q"));
  EXPECT_EQ(third.message["failure_attempts"], 1);
  EXPECT_EQ(third.message["attempts"], 3);

  HttpResponse bad = queue_call(dev, "nack", third.settle({{"intent", "retry"}}));
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(error_code(bad), "invalid_field");
  bad = queue_call(dev, "nack", third.settle({{"delay_seconds", -5}}));
  EXPECT_EQ(error_code(bad), "invalid_duration");
}

TEST(DevServerQueueSettle, FailuresUpToMaxAttemptsMoveTheMessageToDeadLetters) {
  DevServer dev;
  enqueue(dev, "q", "poison", {{"max_attempts", 2}});
  enqueue(dev, "q", "fine");
  Delivery d = only(dequeue(dev, "q"));
  EXPECT_EQ(d.payload, "poison");
  ASSERT_EQ(body_of(queue_call(dev, "nack", d.settle({{"intent", "failure"}})))["requeued"], true);
  d = only(dequeue(dev, "q"));
  EXPECT_EQ(d.payload, "poison");
  HttpResponse last = queue_call(dev, "nack", d.settle({{"last_error", {{"e", 1}}}}));
  ASSERT_EQ(last.status, 200);
  EXPECT_EQ(body_of(last)["requeued"], false);
  json queue = inspect_queue(dev, "q");
  ASSERT_EQ(queue["dead_letters"].size(), 1u);
  EXPECT_EQ(queue["dead_letters"][0]["message_id"], d.message["message_id"]);
  EXPECT_EQ(queue["dead_letters"][0]["failure_attempts"], 2);
  EXPECT_EQ(queue["dead_letters"][0]["reason"], "max_attempts");
  EXPECT_EQ(queue["dead_letters"][0]["last_error"], (json{{"e", 1}}));
  auto rest = dequeue(dev, "q", {{"page_size", 5}});
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].payload, "fine");
  HttpResponse gone = queue_call(dev, "ack", d.settle());
  EXPECT_EQ(gone.status, 404);
  EXPECT_NE(body_of(gone)["detail"].get<std::string>().find("dead letters"), std::string::npos);
  EXPECT_EQ(stats(dev, "q")["dead_letters"], 1);
}

TEST(DevServerQueueSettle, RepeatedExpiryEndsInDeadLetters) {
  DevServer dev;
  enqueue(dev, "q", "slow", {{"max_attempts", 2}, {"visibility_timeout_seconds", 5}});
  only(dequeue(dev, "q"));
  dev.advance_clock(5s);
  only(dequeue(dev, "q"));
  dev.advance_clock(5s);
  EXPECT_TRUE(dequeue(dev, "q").empty());
  EXPECT_EQ(inspect_queue(dev, "q")["dead_letters"].size(), 1u);
}

TEST(DevServerQueueSettle, StatsDescribeTheHead) {
  DevServer dev;
  json empty = stats(dev, "nothing");
  EXPECT_EQ(empty["available"], false);
  EXPECT_EQ(empty["pending_candidates"], 0);
  EXPECT_FALSE(empty.contains("head_message_id"));
  json a = enqueue(dev, "q", "a", {{"delay_seconds", 100}});
  dev.advance_clock(10s);
  json s = stats(dev, "q");
  EXPECT_EQ(s["namespace"], "default");
  EXPECT_EQ(s["queue"], "q");
  EXPECT_EQ(s["available"], false);
  EXPECT_EQ(s["head_message_id"], a["message_id"]);
  EXPECT_EQ(s["head_not_visible_until_unix"], a["not_visible_until_unix"]);
  EXPECT_EQ(s["head_age_seconds"], 10);
  json b = enqueue(dev, "q", "b");
  s = stats(dev, "q");
  EXPECT_EQ(s["available"], true);
  EXPECT_EQ(s["head_message_id"], b["message_id"]);
  EXPECT_EQ(s["head_enqueued_at_unix"], dev.now_unix());
  EXPECT_EQ(s["pending_candidates"], 1);
  EXPECT_EQ(s["total_consumers"], 0);
  EXPECT_EQ(s["has_active_watcher"], false);
  HttpResponse bad = queue_call(dev, "stats", {{"namespace", "default"}});
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(error_code(bad), "missing_field");
}

}  // namespace
}  // namespace stavo::test
