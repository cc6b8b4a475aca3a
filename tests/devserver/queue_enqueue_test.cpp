// Enqueue uploads and the plain dequeue round trip: payload bytes, members, delays, ttl and
// refused uploads.
#include "queue_helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

TEST(DevServerQueueEnqueue, RoundTripKeepsPayloadBytesAndMembers) {
  DevServer dev;
  // Binary bytes, CRLFs and the boundary text without a line break before it are all payload.
  std::string payload = std::string("bin\0ary\r\n", 9) + "x--queue-test-boundary-42\r\n--other\r\n";
  json answer =
      enqueue(dev, "jobs", payload, {{"max_attempts", 3}, {"visibility_timeout_seconds", 45}});
  EXPECT_EQ(answer["namespace"], "default");
  EXPECT_EQ(answer["queue"], "jobs");
  EXPECT_EQ(answer["attempts"], 0);
  EXPECT_EQ(answer["max_attempts"], 3);
  EXPECT_EQ(answer["failure_attempts"], 0);
  EXPECT_EQ(answer["visibility_timeout_seconds"], 45);
  EXPECT_EQ(answer["payload_bytes"], payload.size());
  EXPECT_EQ(answer["not_visible_until_unix"], dev.now_unix());
  std::string id = answer["message_id"];

  auto got = dequeue(dev, "jobs");
  ASSERT_EQ(got.size(), 1u);
  const json &m = got[0].message;
  EXPECT_EQ(got[0].payload, payload);
  EXPECT_EQ(got[0].payload_type, "text/plain");
  EXPECT_EQ(m["message_id"], id);
  EXPECT_EQ(m["namespace"], "default");
  EXPECT_EQ(m["queue"], "jobs");
  EXPECT_EQ(m["attempts"], 1);
  EXPECT_EQ(m["max_attempts"], 3);
  EXPECT_EQ(m["payload_bytes"], payload.size());
  EXPECT_EQ(m["payload_content_type"], "text/plain");
  EXPECT_EQ(m["visibility_timeout_seconds"], 45);
  EXPECT_EQ(m["lease_expires_at_unix"], dev.now_unix() + 45);
  EXPECT_EQ(m["not_visible_until_unix"], dev.now_unix() + 45);
  EXPECT_EQ(m["fencing_token"], 1);
  EXPECT_FALSE(m["lease_id"].get<std::string>().empty());
  EXPECT_FALSE(m["txn_id"].get<std::string>().empty());
  EXPECT_FALSE(m["meta_etag"].get<std::string>().empty());
  EXPECT_FALSE(m["correlation_id"].get<std::string>().empty());
  EXPECT_FALSE(m.contains("state_lease_id"));
  EXPECT_EQ(got[0].next_cursor, id);
  EXPECT_TRUE(dequeue(dev, "jobs").empty());  // leased: invisible to others
}

TEST(DevServerQueueEnqueue, EmptyAndLargePayloads) {
  DevServer dev;
  enqueue(dev, "sizes", "");
  std::string large(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < large.size(); ++i)
    large[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  json answer = enqueue(dev, "sizes", large);
  EXPECT_EQ(answer["payload_bytes"], large.size());

  auto got = dequeue(dev, "sizes", {{"page_size", 5}});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].payload, "");
  EXPECT_EQ(got[0].message["payload_bytes"], 0);
  EXPECT_EQ(got[1].payload.size(), large.size());
  EXPECT_TRUE(got[1].payload == large);
}

TEST(DevServerQueueEnqueue, CorrelationIdTravelsWithTheMessage) {
  DevServer dev;
  HttpRequest request;
  request.method = "POST";
  request.url = dev.http_url() + "/v1/queue/enqueue";
  request.headers = {
      {"Content-Type", std::string("multipart/related; boundary=\"") + kUploadBoundary + "\""},
      {"X-Correlation-Id", "trace-7"}};
  request.body = upload_body({{"queue", "traced"}}, "x");
  HttpResponse response = http_request(request);
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(response.header("X-Correlation-Id"), "trace-7");
  auto got = dequeue(dev, "traced");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].message["correlation_id"], "trace-7");
  // Defaults: no namespace means "default", the payload part's type is used, 30 s, 5 attempts.
  EXPECT_EQ(got[0].payload_type, "application/octet-stream");
  EXPECT_EQ(got[0].message["visibility_timeout_seconds"], 30);
  EXPECT_EQ(got[0].message["max_attempts"], 5);
}

TEST(DevServerQueueEnqueue, DelayHidesUntilTheVirtualClockPassesIt) {
  DevServer dev;
  json answer = enqueue(dev, "later", "soon", {{"delay_seconds", 60}});
  EXPECT_EQ(answer["not_visible_until_unix"], dev.now_unix() + 60);
  EXPECT_TRUE(dequeue(dev, "later").empty());
  dev.advance_clock(59s);
  EXPECT_TRUE(dequeue(dev, "later").empty());
  dev.advance_clock(1s);
  auto got = dequeue(dev, "later");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, "soon");
}

TEST(DevServerQueueEnqueue, TtlMakesMessagesVanish) {
  DevServer dev;
  enqueue(dev, "short", "a", {{"ttl_seconds", 10}});
  enqueue(dev, "short", "b");
  dev.advance_clock(10s);
  auto got = dequeue(dev, "short", {{"page_size", 10}});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, "b");
  EXPECT_EQ(inspect_queue(dev, "short")["messages"].size(), 1u);
}

TEST(DevServerQueueEnqueue, BadUploadsAreRefusedClearly) {
  DevServer dev;
  json meta = {{"queue", "q"}};
  auto refused = [&](const HttpResponse &response, int status, const std::string &code) {
    EXPECT_EQ(response.status, status) << response.body;
    EXPECT_EQ(error_code(response), code) << response.body;
    EXPECT_FALSE(body_of(response).value("detail", "").empty());
  };
  refused(enqueue_raw(dev, upload_body(meta, "x"), "application/json"), 400,
          "invalid_content_type");
  refused(enqueue_raw(dev, upload_body(meta, "x"), "multipart/related"), 400,
          "invalid_content_type");
  refused(enqueue_raw(dev, "garbage before\r\n" + upload_body(meta, "x")), 400,
          "invalid_multipart");
  std::string truncated = upload_body(meta, "x");
  truncated.resize(truncated.size() - 10);
  refused(enqueue_raw(dev, truncated), 400, "invalid_multipart");
  std::string renamed = upload_body(meta, "x");
  renamed.replace(renamed.find("name=\"meta\""), 11, "name=\"data\"");
  refused(enqueue_raw(dev, renamed), 400, "invalid_multipart");
  std::string only_meta = "--" + std::string(kUploadBoundary) +
                          "\r\nContent-Disposition: form-data; name=\"meta\"\r\n\r\n" +
                          meta.dump() + "\r\n--" + kUploadBoundary + "--\r\n";
  refused(enqueue_raw(dev, only_meta), 400, "missing_payload");
  refused(enqueue_raw(dev, "--" + std::string(kUploadBoundary) + "--\r\n"), 400, "missing_meta");
  refused(enqueue_raw(dev, upload_body(json::array(), "x")), 400, "invalid_meta");
  refused(enqueue_raw(dev, upload_body({{"queue", ""}}, "x")), 400, "missing_field");
  refused(enqueue_raw(dev, upload_body({{"queue", "q"}, {"max_attempts", -1}}, "x")), 400,
          "invalid_field");
  for (const char *field : {"delay_seconds", "visibility_timeout_seconds", "ttl_seconds"}) {
    for (json value : {json(-1), json(31536001), json(1.5), json("10")}) {
      HttpResponse response = enqueue_raw(dev, upload_body({{"queue", "q"}, {field, value}}, "x"));
      refused(response, 400, "invalid_duration");
      EXPECT_NE(body_of(response)["detail"].get<std::string>().find(field), std::string::npos);
    }
  }
  EXPECT_EQ(
      enqueue_raw(dev, upload_body({{"queue", "q"}, {"delay_seconds", 31536000}}, "x")).status,
      200);
  EXPECT_EQ(http_get(dev.http_url() + "/_dev/queue?queue=q").status, 200);
  EXPECT_EQ(inspect_queue(dev, "q")["messages"].size(), 1u);  // only the valid one
}

TEST(DevServerQueueEnqueue, OversizedMetaIsRefused) {
  DevServer dev(DevServerOptions{.json_body_limit = 256});
  json meta = {{"queue", "q"}, {"payload_content_type", std::string(300, 'a')}};
  HttpResponse response = enqueue_raw(dev, upload_body(meta, "x"));
  EXPECT_EQ(response.status, 413);
  EXPECT_EQ(error_code(response), "meta_too_large");
}

}  // namespace
}  // namespace stavo::test
