// dequeue and subscribe streams: waiting on the virtual clock, page sizes, flow control,
// concurrent consumers, cursors, and the WithState forms.
#include <set>

#include "queue_helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

TestLease state_lease_of(const json &message) {
  return TestLease{message.value("state_lease_id", ""), message.value("state_txn_id", ""),
                   message.value("state_fencing_token", int64_t{0})};
}

bool wait_for_stats(const DevServer &dev, const std::string &queue, const char *member,
                    int64_t wanted) {
  for (int i = 0; i < 500; ++i) {
    if (stats(dev, queue).value(member, int64_t{-1}) == wanted) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(DevServerQueueStream, AnswerLayout) {
  DevServer dev;
  enqueue(dev, "q", "hello");
  StreamClient client(dev, "/v1/queue/dequeue", stream_body("q"));
  ASSERT_TRUE(client.wait_done());
  EXPECT_EQ(client.status(), 200);
  std::string type = client.header("Content-Type");
  EXPECT_EQ(type.rfind("multipart/related; boundary=", 0), 0u) << type;
  EXPECT_FALSE(client.header("X-Correlation-Id").empty());
  std::string b = boundary_of(type);
  std::string body = client.body();
  EXPECT_EQ(body.rfind("--" + b +
                           "\r\nContent-Type: application/json\r\n"
                           "Content-Disposition: form-data; name=\"meta\"\r\nContent-Length: ",
                       0),
            0u)
      << body;
  EXPECT_NE(body.find("\r\n--" + b +
                      "\r\nContent-Disposition: form-data; name=\"payload\"\r\n"
                      "Content-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello\r\n--" +
                      b + "--\r\n"),
            std::string::npos)
      << body;
}

TEST(DevServerQueueStream, DequeueWithNothingEndsWithoutParts) {
  DevServer dev;
  StreamClient client(dev, "/v1/queue/dequeue", stream_body("empty"));
  ASSERT_TRUE(client.wait_done());
  EXPECT_EQ(client.status(), 200);
  EXPECT_EQ(client.body(), "--" + boundary_of(client.header("Content-Type")) + "--\r\n");
}

TEST(DevServerQueueStream, DequeueWaitsOnTheVirtualClock) {
  DevServer dev;
  StreamClient waiting(dev, "/v1/queue/dequeue", stream_body("q", {{"wait_seconds", 30}}));
  ASSERT_TRUE(wait_for_stats(dev, "q", "waiting_consumers", 1));
  enqueue(dev, "q", "arrived");
  auto got = waiting.wait_for_deliveries(1);
  ASSERT_TRUE(waiting.wait_done());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, "arrived");
  ASSERT_EQ(queue_call(dev, "ack", got[0].settle()).status, 200);

  StreamClient idle(dev, "/v1/queue/dequeue", stream_body("q", {{"wait_seconds", 30}}));
  ASSERT_TRUE(wait_for_stats(dev, "q", "waiting_consumers", 1));
  dev.advance_clock(29s);
  EXPECT_FALSE(idle.wait_done(50ms));
  dev.advance_clock(1s);
  ASSERT_TRUE(idle.wait_done());
  EXPECT_TRUE(idle.closed_properly());
  EXPECT_TRUE(idle.wait_for_parts(1, 0ms).empty());
  EXPECT_TRUE(wait_for_stats(dev, "q", "total_consumers", 0));
}

TEST(DevServerQueueStream, DequeueDeliversUpToPageSize) {
  DevServer dev;
  for (int i = 0; i < 5; ++i)
    enqueue(dev, "q", "m" + std::to_string(i));
  auto page = dequeue(dev, "q", {{"page_size", 3}});
  ASSERT_EQ(page.size(), 3u);
  EXPECT_EQ(page[0].payload, "m0");
  EXPECT_EQ(page[2].payload, "m2");
  auto rest = dequeue(dev, "q", {{"page_size", 3}});
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[1].payload, "m4");
}

TEST(DevServerQueueStream, StartAfterSkipsToTheCursor) {
  DevServer dev;
  for (int i = 0; i < 3; ++i)
    enqueue(dev, "q", "m" + std::to_string(i));
  auto first = dequeue(dev, "q");
  ASSERT_EQ(first.size(), 1u);
  dev.advance_clock(30s);  // m0 visible again, but behind the cursor
  auto next = dequeue(dev, "q", {{"start_after", first[0].next_cursor}});
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].payload, "m1");
  HttpResponse bad = queue_call(dev, "dequeue", stream_body("q", {{"start_after", "nonsense"}}));
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(error_code(bad), "invalid_cursor");
}

TEST(DevServerQueueStream, BadStreamRequests) {
  DevServer dev;
  auto refused = [&](json body, const std::string &code, const std::string &field) {
    HttpResponse response = queue_call(dev, "subscribe", body);
    EXPECT_EQ(response.status, 400) << response.body;
    EXPECT_EQ(error_code(response), code) << response.body;
    EXPECT_NE(body_of(response).value("detail", "").find(field), std::string::npos)
        << response.body;
  };
  refused(stream_body("q", {{"wait_seconds", -2}}), "invalid_duration", "wait_seconds");
  refused(stream_body("q", {{"wait_seconds", 31536001}}), "invalid_duration", "wait_seconds");
  refused(stream_body("q", {{"visibility_timeout_seconds", -1}}), "invalid_duration",
          "visibility_timeout_seconds");
  refused(stream_body("q", {{"page_size", 0}}), "invalid_field", "page_size");
  refused(stream_body("q", {{"page_size", 1001}}), "invalid_field", "page_size");
  refused(stream_body("", {}), "missing_field", "queue");
  HttpResponse not_json = http_post(dev.http_url() + "/v1/queue/dequeue", "{");
  EXPECT_EQ(not_json.status, 400);
  EXPECT_EQ(error_code(not_json), "invalid_json");
}

TEST(DevServerQueueStream, SubscribeKeepsDeliveringWithinPageSize) {
  DevServer dev;
  for (int i = 0; i < 4; ++i)
    enqueue(dev, "q", "m" + std::to_string(i));
  StreamClient sub(dev, "/v1/queue/subscribe", stream_body("q", {{"page_size", 2}}));
  auto got = sub.wait_for_deliveries(2);
  ASSERT_EQ(got.size(), 2u);
  // Two outstanding: nothing more until one is settled.
  EXPECT_EQ(sub.wait_for_parts(5, 200ms).size(), 4u);
  EXPECT_EQ(stats(dev, "q")["waiting_consumers"], 0);
  EXPECT_EQ(stats(dev, "q")["total_consumers"], 1);
  ASSERT_EQ(queue_call(dev, "ack", got[0].settle()).status, 200);
  got = sub.wait_for_deliveries(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].payload, "m2");
  // A nack (deferred) settles too, and an expired lease frees its slot.
  ASSERT_EQ(
      queue_call(dev, "nack", got[1].settle({{"intent", "defer"}, {"delay_seconds", 600}})).status,
      200);
  got = sub.wait_for_deliveries(4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3].payload, "m3");
  dev.advance_clock(30s);  // m2 and m3 expire: both come back on the same stream
  got = sub.wait_for_deliveries(6);
  ASSERT_EQ(got.size(), 6u);
  std::set<std::string> again = {got[4].payload, got[5].payload};
  EXPECT_EQ(again, (std::set<std::string>{"m2", "m3"}));
  EXPECT_FALSE(sub.wait_done(50ms));  // subscribe stays open
  sub.close();
  EXPECT_TRUE(wait_for_stats(dev, "q", "total_consumers", 0));
}

TEST(DevServerQueueStream, SubscribeIdleStreamEndsAfterWaitSeconds) {
  DevServer dev;
  StreamClient sub(dev, "/v1/queue/subscribe", stream_body("q", {{"wait_seconds", 10}}));
  ASSERT_TRUE(wait_for_stats(dev, "q", "waiting_consumers", 1));
  dev.advance_clock(6s);
  enqueue(dev, "q", "a");
  ASSERT_EQ(sub.wait_for_deliveries(1).size(), 1u);
  dev.advance_clock(6s);  // idle time counts from the last delivery
  EXPECT_FALSE(sub.wait_done(100ms));
  dev.advance_clock(4s);
  ASSERT_TRUE(sub.wait_done());
  EXPECT_TRUE(sub.closed_properly());
  EXPECT_EQ(sub.curl_code(), 0);
}

TEST(DevServerQueueStream, ConcurrentConsumersReceiveDisjointMessages) {
  DevServer dev;
  constexpr int kMessages = 60;
  std::vector<std::unique_ptr<StreamClient>> consumers;
  for (int i = 0; i < 4; ++i) {
    consumers.push_back(std::make_unique<StreamClient>(dev, "/v1/queue/subscribe",
                                                       stream_body("q", {{"page_size", 100}})));
  }
  ASSERT_TRUE(wait_for_stats(dev, "q", "waiting_consumers", 4));
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int i = p; i < kMessages; i += 3)
        enqueue(dev, "q", "m" + std::to_string(i));
    });
  }
  for (auto &producer : producers)
    producer.join();
  std::multiset<std::string> seen;
  for (int i = 0; i < 500 && seen.size() < kMessages; ++i) {
    seen.clear();
    for (auto &consumer : consumers) {
      for (const auto &d : consumer->wait_for_deliveries(0))
        seen.insert(d.payload);
    }
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kMessages));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(),
            static_cast<size_t>(kMessages));  // no message went to two consumers
  EXPECT_EQ(stats(dev, "q")["in_flight"], kMessages);
}

TEST(DevServerQueueStream, WithStateAckCommitsTheStagedState) {
  DevServer dev;
  enqueue(dev, "q", "job");
  auto got = dequeue(dev, "q", {}, "/v1/queue/dequeueWithState");
  ASSERT_EQ(got.size(), 1u);
  const json &m = got[0].message;
  std::string key = "q/q/state/" + m["message_id"].get<std::string>();
  ASSERT_FALSE(m.value("state_lease_id", "").empty());
  EXPECT_EQ(m["state_lease_expires_at_unix"], m["lease_expires_at_unix"]);
  EXPECT_GE(m["state_fencing_token"], 1);
  EXPECT_FALSE(m.contains("state_etag"));  // no state yet
  KeyState state = dev.state(key);
  ASSERT_TRUE(state.lease.has_value());
  EXPECT_EQ(state.lease->lease_id, m["state_lease_id"]);
  EXPECT_EQ(state.lease->owner, "tester");

  TestLease lease = state_lease_of(m);
  ASSERT_EQ(update(dev, key, lease, R"({"step":1})").status, 200);
  EXPECT_FALSE(dev.state(key).has_state);  // staged only
  json ack = got[0].settle(
      {{"state_lease_id", m["state_lease_id"]}, {"state_fencing_token", m["state_fencing_token"]}});
  HttpResponse wrong = queue_call(
      dev, "ack",
      got[0].settle({{"state_lease_id", m["state_lease_id"]}, {"state_fencing_token", 999}}));
  EXPECT_EQ(error_code(wrong), "state_fencing_mismatch");
  ASSERT_EQ(queue_call(dev, "ack", ack).status, 200);
  state = dev.state(key);
  EXPECT_TRUE(state.has_state);
  EXPECT_EQ(state.state, R"({"step":1})");
  EXPECT_FALSE(state.lease.has_value());
}

TEST(DevServerQueueStream, WithStateNackAndExpiryRollBack) {
  DevServer dev;
  enqueue(dev, "q", "job", {{"visibility_timeout_seconds", 20}});
  auto got = dequeue(dev, "q", {}, "/v1/queue/dequeueWithState");
  ASSERT_EQ(got.size(), 1u);
  json m = got[0].message;
  std::string key = "q/q/state/" + m["message_id"].get<std::string>();
  TestLease lease = state_lease_of(m);
  ASSERT_EQ(update(dev, key, lease, R"({"v":1})").status, 200);
  ASSERT_EQ(queue_call(dev, "nack", got[0].settle({{"intent", "defer"}})).status, 200);
  EXPECT_FALSE(dev.state(key).has_state);
  EXPECT_FALSE(dev.state(key).lease.has_value());

  // Commit something, then let a later delivery expire with staged writes: they vanish.
  got = dequeue(dev, "q", {}, "/v1/queue/dequeueWithState");
  ASSERT_EQ(got.size(), 1u);
  m = got[0].message;
  lease = state_lease_of(m);
  ASSERT_EQ(update(dev, key, lease, R"({"v":2})").status, 200);
  HttpResponse extended = queue_call(dev, "extend", got[0].settle({{"extend_by_seconds", 100}}));
  ASSERT_EQ(extended.status, 200);
  EXPECT_EQ(body_of(extended)["state_lease_expires_at_unix"], dev.now_unix() + 100);
  EXPECT_EQ(dev.state(key).lease->expires_at_ms, dev.now_ms() + 100000);
  dev.advance_clock(100s);
  EXPECT_FALSE(dev.state(key).lease.has_value());
  got = dequeue(dev, "q", {}, "/v1/queue/dequeueWithState");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(got[0].message.contains("state_etag"));
  lease = state_lease_of(got[0].message);
  ASSERT_EQ(update(dev, key, lease, R"({"v":3})").status, 200);
  ASSERT_EQ(queue_call(dev, "ack", got[0].settle()).status, 200);
  EXPECT_EQ(dev.state(key).state, R"({"v":3})");

  // A delivery of a message whose state key has committed state carries that state's ETag.
  json two = enqueue(dev, "q", "two");
  std::string key2 = "q/q/state/" + two["message_id"].get<std::string>();
  dev.seed_state(key2, R"({"seeded":true})");
  got = dequeue(dev, "q", {}, "/v1/queue/dequeueWithState");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].message["state_etag"], dev.state(key2).state_etag);
  EXPECT_EQ(error_code(queue_call(dev, "ack", got[0].settle({{"state_etag", "other"}}))),
            "state_etag_mismatch");
  EXPECT_EQ(
      queue_call(dev, "ack", got[0].settle({{"state_etag", got[0].message["state_etag"]}})).status,
      200);
}

}  // namespace
}  // namespace stavo::test
