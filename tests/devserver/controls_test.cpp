// The test controls: request log, scripted faults, passive mode, correlation ids, error bodies
// and the /_dev/ HTTP paths.
#include <future>

#include "helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

TEST(DevServerControls, RequestLogKeepsTheWireForm) {
  DevServer dev;
  HttpRequest request;
  request.method = "POST";
  request.url = dev.http_url() + "/v1/update?key=a%20b&namespace=default";
  request.headers = {{"X-Zeta", "last-letter"},
                     {"content-type", "application/json"},
                     {"X-Alpha", "first-letter"},
                     {"X-Lease-ID", "none"},
                     {"X-Fencing-Token", "1"}};
  request.body = R"({"z":1,"a":2})";
  ASSERT_EQ(http_request(request).status, 409);
  ASSERT_TRUE(dev.wait_for_requests(1));
  LoggedRequest logged = *dev.last_request();
  EXPECT_EQ(logged.method, "POST");
  EXPECT_EQ(logged.target, "/v1/update?key=a%20b&namespace=default");
  EXPECT_EQ(logged.path, "/v1/update");
  EXPECT_EQ(logged.query, "key=a%20b&namespace=default");
  EXPECT_EQ(logged.version, "HTTP/1.1");
  EXPECT_TRUE(logged.headers_in_order);
  std::vector<std::string> ours;
  for (const auto &name : logged.header_names()) {
    if (name.rfind("X-", 0) == 0 || name == "content-type") ours.push_back(name);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"X-Zeta", "content-type", "X-Alpha", "X-Lease-ID",
                                            "X-Fencing-Token"}));
  EXPECT_EQ(logged.header("x-alpha"), "first-letter");
  EXPECT_FALSE(logged.header("X-Devserver-Request-Id").has_value());
  EXPECT_EQ(logged.body, R"({"z":1,"a":2})");
  EXPECT_EQ(logged.body_size, logged.body.size());
  EXPECT_TRUE(logged.complete);
  EXPECT_EQ(logged.status, 409);
}

TEST(DevServerControls, CannedAnswerAppliesToTheNextMatchingRequestsOnly) {
  DevServer dev;
  dev.add_fault(Fault::error("POST", "/v1/acquire", 503, "node_passive", "try another").repeat(2));
  EXPECT_EQ(http_get(dev.http_url() + "/v1/describe?key=k").status, 404);  // not matching
  for (int i = 0; i < 2; ++i) {
    HttpResponse refused = acquire(dev, "k");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(error_code(refused), "node_passive");
    EXPECT_EQ(body_of(refused)["detail"], "try another");
    EXPECT_TRUE(refused.header("X-Correlation-Id").has_value());
  }
  EXPECT_EQ(dev.state("k").fencing_counter, 0);  // the canned answers did not touch state
  EXPECT_EQ(acquire(dev, "k").status, 200);
  EXPECT_EQ(dev.pending_faults(), 0u);
  auto logged = dev.requests_to("POST", "/v1/acquire");
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_TRUE(logged[0].faulted);
  EXPECT_FALSE(logged[2].faulted);
  EXPECT_FALSE(logged[0].body.empty());  // faulted requests are logged with their bodies
}

TEST(DevServerControls, RedirectWithAndWithoutBody) {
  DevServer dev;
  dev.add_fault(Fault::respond("GET", "/v1/get", 302, "", {{"Location", "/elsewhere"}}));
  dev.add_fault(Fault::respond("GET", "/v1/get", 302, R"({"moved":true})",
                               {{"Location", "/elsewhere"}, {"Content-Type", "application/json"}}));
  HttpResponse bare = get_state(dev, "k", nullptr);
  EXPECT_EQ(bare.status, 302);
  EXPECT_TRUE(bare.body.empty());
  EXPECT_EQ(bare.header("Location"), "/elsewhere");
  EXPECT_FALSE(bare.header("Content-Type").has_value());
  HttpResponse with_body = get_state(dev, "k", nullptr);
  EXPECT_EQ(with_body.status, 302);
  EXPECT_EQ(with_body.body, R"({"moved":true})");
}

TEST(DevServerControls, ExtraHeadersReplaceTheRealOnes) {
  DevServer dev;
  dev.seed_state("k", R"({"a":1})");
  dev.add_fault(Fault::with_headers(
      "GET", "/v1/get", {{"X-Fencing-Token", "12abc"}, {"X-Key-Version", " 7 "}, {"etag", "\"q"}}));
  HttpResponse response = get_state(dev, "k", nullptr);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, R"({"a":1})");
  EXPECT_EQ(response.header("X-Fencing-Token"), "12abc");
  // Sent as given; the test client strips only the spaces after the colon.
  EXPECT_EQ(response.header("X-Key-Version"), "7 ");
  int etags = 0;
  for (const auto &[name, value] : response.headers) {
    if (devserver::header_name_equals(name, "ETag")) {
      ++etags;
      EXPECT_EQ(name, "etag");  // spelled as the fault gave it
      EXPECT_EQ(value, "\"q");
    }
  }
  EXPECT_EQ(etags, 1);
  EXPECT_TRUE(response.header("Content-Type").has_value());  // the rest of the real answer
}

TEST(DevServerControls, HeldAnswerWaitsUntilReleased) {
  DevServer dev;
  dev.add_fault(Fault::held("POST", "/v1/acquire"));
  auto pending = std::async(std::launch::async, [&] { return acquire(dev, "k"); });
  ASSERT_TRUE(dev.wait_for_held(1));
  // The request was handled (the lease exists); only the answer is held back.
  EXPECT_TRUE(dev.state("k").lease.has_value());
  EXPECT_EQ(pending.wait_for(0ms), std::future_status::timeout);
  dev.release_held();
  EXPECT_EQ(pending.get().status, 200);
}

TEST(DevServerControls, DelayedAnswerOutlastsAShortClientTimeout) {
  DevServer dev;
  dev.add_fault(Fault::delayed("GET", "/v1/describe", 2s));
  HttpRequest request;
  request.url = dev.http_url() + "/v1/describe?key=k";
  request.timeout_ms = 200;
  HttpResponse response = http_request(request);
  EXPECT_EQ(response.curl_code, 28);  // CURLE_OPERATION_TIMEDOUT
}

TEST(DevServerControls, BodyInPiecesArrivesWhole) {
  DevServer dev;
  std::string doc = R"({"pieces":"of three, four and the rest"})";
  dev.seed_state("k", doc);
  dev.add_fault(Fault::in_pieces("GET", "/v1/get", {3, 4}, 20ms));
  HttpResponse chunked = get_state(dev, "k", nullptr);
  EXPECT_EQ(chunked.status, 200);
  EXPECT_EQ(chunked.body, doc);
  EXPECT_EQ(chunked.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(chunked.header("Content-Type"), "application/json");

  dev.add_fault(Fault::in_pieces("GET", "/v1/get", {1, 1, 1}, 10ms, /*chunked_encoding=*/false));
  HttpResponse sized = get_state(dev, "k", nullptr);
  EXPECT_EQ(sized.body, doc);
  EXPECT_EQ(sized.header("Content-Length"), std::to_string(doc.size()));
}

TEST(DevServerControls, CutOffBodyAndDroppedConnection) {
  DevServer dev;
  dev.seed_state("k", R"({"a":"0123456789"})");
  dev.add_fault(Fault::cut_after("GET", "/v1/get", 5));
  HttpResponse cut = get_state(dev, "k", nullptr);
  EXPECT_EQ(cut.curl_code, 18);  // CURLE_PARTIAL_FILE
  EXPECT_EQ(cut.body, R"({"a":)");

  dev.add_fault(Fault::dropped("GET", "/v1/get"));
  HttpResponse dropped = get_state(dev, "k", nullptr);
  EXPECT_TRUE(dropped.curl_code == 52 || dropped.curl_code == 56) << dropped.curl_error;
  EXPECT_EQ(dropped.status, 0);
  // The server is fine afterwards.
  EXPECT_EQ(get_state(dev, "k", nullptr).status, 200);
}

TEST(DevServerControls, PassiveModeRefusesEveryV1Request) {
  DevServer dev(DevServerOptions{.passive = true});
  HttpResponse refused = acquire(dev, "k");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(error_code(refused), "node_passive");
  EXPECT_EQ(http_get(dev.http_url() + "/_dev/clock").status, 200);
  dev.set_passive(false);
  EXPECT_EQ(acquire(dev, "k").status, 200);
}

TEST(DevServerControls, CorrelationIdIsEchoedOrMadeUp) {
  DevServer dev;
  HttpResponse echoed =
      http_get(dev.http_url() + "/v1/describe?key=k", {{"X-Correlation-Id", "cid-from-test"}});
  EXPECT_EQ(echoed.header("X-Correlation-Id"), "cid-from-test");
  HttpResponse fresh1 = http_get(dev.http_url() + "/v1/describe?key=k");
  HttpResponse fresh2 = http_get(dev.http_url() + "/v1/describe?key=k");
  ASSERT_TRUE(fresh1.header("X-Correlation-Id") && fresh2.header("X-Correlation-Id"));
  EXPECT_NE(*fresh1.header("X-Correlation-Id"), *fresh2.header("X-Correlation-Id"));
  ASSERT_TRUE(dev.wait_for_requests(3));
  EXPECT_EQ(dev.requests()[0].correlation_id, "cid-from-test");
}

TEST(DevServerControls, UnknownPathsWrongMethodsAndOversizeBodiesGetErrorBodies) {
  DevServer dev(DevServerOptions{.json_body_limit = 100});
  HttpResponse missing = http_get(dev.http_url() + "/v1/nothing");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(error_code(missing), "not_found");
  HttpResponse wrong = http_get(dev.http_url() + "/v1/acquire");
  EXPECT_EQ(wrong.status, 405);
  EXPECT_EQ(error_code(wrong), "method_not_allowed");
  HttpResponse large = http_post(dev.http_url() + "/v1/acquire", std::string(500, ' '));
  EXPECT_EQ(large.status, 413);
  EXPECT_EQ(error_code(large), "body_too_large");
  // A GET with a large body is refused before it is read; the answer still has an error body.
  HttpRequest get_with_body;
  get_with_body.method = "GET";
  get_with_body.url = dev.http_url() + "/v1/describe?key=k";
  get_with_body.body = std::string(100000, 'x');
  HttpResponse refused = http_request(get_with_body);
  EXPECT_EQ(refused.status, 413);
  EXPECT_EQ(error_code(refused), "body_too_large");
  EXPECT_TRUE(refused.header("X-Correlation-Id").has_value());
}

TEST(DevServerControls, ManyLongPollsWakeTogether) {
  DevServer dev;
  constexpr int kWaiters = 20;
  std::vector<std::future<HttpResponse>> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    std::string key = "k" + std::to_string(i);
    must_acquire(dev, key, {{"ttl_seconds", 10}});
    waiters.push_back(std::async(std::launch::async, [&dev, key] {
      return acquire(dev, key, {{"block_seconds", 60}});
    }));
  }
  ASSERT_TRUE(dev.wait_for_waiting(kWaiters));
  dev.advance_clock(10s);
  for (auto &waiter : waiters)
    EXPECT_EQ(waiter.get().status, 200);
}

TEST(DevServerControls, DevPathsOverHttp) {
  DevServer dev;
  std::string base = dev.http_url() + "/_dev";
  json fault = {{"method", "GET"},
                {"path", "/v1/describe"},
                {"status", 500},
                {"body", R"({"error":"boom"})"},
                {"headers", json::array({json::array({"Content-Type", "application/json"})})}};
  ASSERT_EQ(http_post(base + "/faults", fault.dump()).status, 200);
  EXPECT_EQ(body_of(http_get(base + "/faults"))["pending"], 1);
  EXPECT_EQ(error_code(http_get(dev.http_url() + "/v1/describe?key=k")), "boom");

  int64_t before = dev.now_ms();
  json clock = body_of(http_post(base + "/clock/advance", R"({"seconds":2,"ms":5})"));
  EXPECT_EQ(clock["now_ms"], before + 2005);
  EXPECT_EQ(http_post(base + "/clock/advance", R"({"ms":-1})").status, 400);

  must_acquire(dev, "k");
  json state = body_of(http_get(base + "/state?key=k"));
  EXPECT_EQ(state["exists"], true);
  EXPECT_EQ(state["lease"]["owner"], "tester");

  json requests = body_of(http_get(base + "/requests"));
  ASSERT_EQ(requests.size(), 2u);  // /_dev/ calls are not logged
  EXPECT_EQ(requests[1]["path"], "/v1/acquire");
  EXPECT_FALSE(requests[1]["body_base64"].get<std::string>().empty());
  EXPECT_EQ(http_delete(base + "/requests").status, 200);
  EXPECT_TRUE(dev.requests().empty());

  ASSERT_EQ(http_post(base + "/faults", R"({"path":"/v1/describe","hold":true})").status, 200);
  auto held = std::async(std::launch::async,
                         [&] { return http_get(dev.http_url() + "/v1/describe?key=k"); });
  ASSERT_TRUE(dev.wait_for_held(1));
  EXPECT_EQ(body_of(http_get(base + "/faults"))["held"], 1);
  ASSERT_EQ(http_post(base + "/holds/release", "{}").status, 200);
  EXPECT_EQ(held.get().status, 200);

  ASSERT_EQ(http_post(base + "/passive", R"({"passive":true})").status, 200);
  EXPECT_EQ(error_code(acquire(dev, "other")), "node_passive");
  EXPECT_EQ(http_post(base + "/faults", R"({"status":"x"})").status, 400);
}

TEST(DevServerControls, DevPathsAreOffUnlessEnabled) {
  devserver::ServerOptions options;
  devserver::Server server(options);
  server.start();
  HttpResponse response = http_get(server.base_url() + "/_dev/requests");
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(error_code(response), "not_found");
}

}  // namespace
}  // namespace stavo::test
