// Queue watch events, and the scripted faults of queue streams: cuts, stalls and refusals.
#include "queue_helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

// The JSON data of each complete event in a text/event-stream body.
std::vector<json> events_of(const std::string &body) {
  std::vector<json> events;
  size_t pos = 0;
  while (true) {
    size_t end = body.find("\n\n", pos);
    if (end == std::string::npos) return events;
    std::string block = body.substr(pos, end - pos);
    size_t data = block.find("data: ");
    if (data != std::string::npos) events.push_back(json::parse(block.substr(data + 6)));
    pos = end + 2;
  }
}

std::vector<json> wait_for_events(StreamClient &client, size_t count) {
  for (int i = 0; i < 500; ++i) {
    auto events = events_of(client.body());
    if (events.size() >= count) return events;
    std::this_thread::sleep_for(10ms);
  }
  return events_of(client.body());
}

TEST(DevServerQueueWatch, EventsFollowTheHead) {
  DevServer dev;
  StreamClient watch(dev, "/v1/queue/watch", {{"namespace", "default"}, {"queue", "q"}});
  auto events = wait_for_events(watch, 1);
  ASSERT_EQ(events.size(), 1u);  // the head as it is at the start: none
  EXPECT_EQ(watch.header("Content-Type"), "text/event-stream");
  EXPECT_EQ(events[0]["namespace"], "default");
  EXPECT_EQ(events[0]["queue"], "q");
  EXPECT_EQ(events[0]["available"], false);
  EXPECT_FALSE(events[0].contains("head_message_id"));
  EXPECT_EQ(events[0]["correlation_id"], watch.header("X-Correlation-Id"));
  EXPECT_EQ(events[0]["changed_at_unix"], dev.now_unix());
  EXPECT_EQ(stats(dev, "q")["has_active_watcher"], true);

  json delayed = enqueue(dev, "q", "later", {{"delay_seconds", 10}});
  events = wait_for_events(watch, 2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1]["available"], false);
  EXPECT_EQ(events[1]["head_message_id"], delayed["message_id"]);

  dev.advance_clock(10s);  // becomes visible by itself
  events = wait_for_events(watch, 3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2]["available"], true);
  EXPECT_EQ(events[2]["changed_at_unix"], dev.now_unix());

  enqueue(dev, "q", "second");  // the head stays the same: no event
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(events_of(watch.body()).size(), 3u);

  auto got = dequeue(dev, "q");  // head moves on to the second message
  ASSERT_EQ(got.size(), 1u);
  events = wait_for_events(watch, 4);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_NE(events[3]["head_message_id"], delayed["message_id"]);
  EXPECT_EQ(events[3]["available"], true);
  watch.close();
  for (int i = 0; i < 200 && stats(dev, "q")["has_active_watcher"] == true; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stats(dev, "q")["has_active_watcher"], false);
}

TEST(DevServerQueueWatch, BadWatchRequest) {
  DevServer dev;
  HttpResponse response = queue_call(dev, "watch", {{"namespace", "default"}});
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(error_code(response), "missing_field");
}

TEST(DevServerQueueFaults, ScriptedRefusalsForTheNextStreamRequests) {
  DevServer dev;
  enqueue(dev, "q", "x");
  dev.add_fault(Fault::stream_refusal("/v1/queue/dequeue", "waiting", 2));
  dev.add_fault(Fault::stream_refusal("/v1/queue/dequeue", "cas_mismatch"));
  dev.add_fault(Fault::stream_refusal("/v1/queue/dequeue", "node_passive"));
  HttpResponse first = queue_call(dev, "dequeue", stream_body("q"));
  EXPECT_EQ(first.status, 409);
  EXPECT_EQ(error_code(first), "waiting");
  EXPECT_EQ(body_of(first)["retry_after_seconds"], 2);
  HttpResponse second = queue_call(dev, "dequeue", stream_body("q"));
  EXPECT_EQ(error_code(second), "cas_mismatch");
  EXPECT_FALSE(body_of(second).contains("retry_after_seconds"));
  HttpResponse third = queue_call(dev, "dequeue", stream_body("q"));
  EXPECT_EQ(third.status, 503);
  EXPECT_EQ(error_code(third), "node_passive");
  EXPECT_EQ(inspect_queue(dev, "q")["messages"][0]["attempts"], 0);  // nothing was delivered
  EXPECT_EQ(dequeue(dev, "q").size(), 1u);
}

TEST(DevServerQueueFaults, CutAfterParts) {
  DevServer dev;
  enqueue(dev, "q", "one");
  enqueue(dev, "q", "two");
  dev.add_fault(Fault::stream_cut_after_parts("/v1/queue/dequeue", 3));
  StreamClient client(dev, "/v1/queue/dequeue", stream_body("q", {{"page_size", 2}}));
  ASSERT_TRUE(client.wait_done());
  EXPECT_NE(client.curl_code(), 0);  // the chunked answer never ended
  auto parts = client.wait_for_parts(4, 0ms);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[2].name, "meta");
  EXPECT_FALSE(client.closed_properly());
  // Both messages were leased: the second one's payload never went out.
  json queue = inspect_queue(dev, "q");
  EXPECT_EQ(queue["messages"][0]["status"], "delivered");
  EXPECT_EQ(queue["messages"][1]["status"], "delivered");
}

TEST(DevServerQueueFaults, CutAfterBytes) {
  DevServer dev;
  enqueue(dev, "q", std::string(1000, 'p'));
  Fault fault = Fault::cut_after("POST", "/v1/queue/subscribe", 100);
  dev.add_fault(fault);
  StreamClient client(dev, "/v1/queue/subscribe", stream_body("q"));
  ASSERT_TRUE(client.wait_done());
  EXPECT_NE(client.curl_code(), 0);
  EXPECT_EQ(client.body().size(), 100u);
}

TEST(DevServerQueueFaults, StallKeepsTheStreamSilentUntilTheClientLeaves) {
  DevServer dev;
  enqueue(dev, "q", "one");
  enqueue(dev, "q", "two");
  dev.add_fault(Fault::stream_stall_after_parts("/v1/queue/subscribe", 2));
  StreamClient client(dev, "/v1/queue/subscribe", stream_body("q", {{"page_size", 5}}));
  ASSERT_EQ(client.wait_for_parts(2).size(), 2u);
  EXPECT_FALSE(client.wait_done(200ms));
  EXPECT_EQ(client.wait_for_parts(3, 0ms).size(), 2u);
  client.close();
  for (int i = 0; i < 200 && stats(dev, "q")["total_consumers"] != 0; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stats(dev, "q")["total_consumers"], 0);
}

TEST(DevServerQueueFaults, StreamFaultsOverTheDevControls) {
  DevServer dev;
  enqueue(dev, "q", "one");
  HttpResponse added = http_post(
      dev.http_url() + "/_dev/faults",
      json({{"method", "POST"}, {"path", "/v1/queue/dequeue"}, {"cut_after_parts", 1}}).dump());
  ASSERT_EQ(added.status, 200) << added.body;
  StreamClient client(dev, "/v1/queue/dequeue", stream_body("q"));
  ASSERT_TRUE(client.wait_done());
  EXPECT_NE(client.curl_code(), 0);
  EXPECT_EQ(client.wait_for_parts(2, 0ms).size(), 1u);
  json list = body_of(http_get(dev.http_url() + "/_dev/queues"));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["queue"], "q");
  EXPECT_EQ(http_get(dev.http_url() + "/_dev/queue?queue=never").status, 404);
}

}  // namespace
}  // namespace stavo::test
