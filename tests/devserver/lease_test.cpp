// Leases through HTTP: grants, conflicts, expiry on the virtual clock, long polls, keepalive,
// release and the checks every lease-guarded request goes through.
#include <future>
#include <thread>

#include "helpers.h"

namespace stavo::test {
namespace {

using namespace std::chrono_literals;

TEST(DevServerLease, AcquireGrantsALeaseWithTheRequestedMembers) {
  DevServer dev;
  HttpResponse response = acquire(dev, "k", {{"txn_id", "txn-mine"}});
  ASSERT_EQ(response.status, 200) << response.body;
  json body = body_of(response);
  EXPECT_EQ(body["namespace"], "default");
  EXPECT_EQ(body["key"], "k");
  EXPECT_EQ(body["owner"], "tester");
  EXPECT_EQ(body["txn_id"], "txn-mine");
  EXPECT_EQ(body["fencing_token"], 1);
  EXPECT_EQ(body["version"], 0);
  EXPECT_FALSE(body.contains("state_etag"));
  EXPECT_EQ(body["expires_at_unix"], dev.now_unix() + 30);
  EXPECT_EQ(body["lease_id"].get<std::string>().size(), 32u);

  KeyState state = dev.state("k");
  ASSERT_TRUE(state.lease.has_value());
  EXPECT_EQ(state.lease->lease_id, body["lease_id"]);
  EXPECT_EQ(state.lease->owner, "tester");
}

TEST(DevServerLease, HeldKeyIsRefusedUntilTheLeaseExpiresOnTheVirtualClock) {
  DevServer dev;
  TestLease first = must_acquire(dev, "k");
  HttpResponse busy = acquire(dev, "k");
  EXPECT_EQ(busy.status, 409);
  EXPECT_EQ(error_code(busy), "lease_held");
  EXPECT_EQ(body_of(busy)["retry_after_seconds"], 30);

  dev.advance_clock(29s);
  EXPECT_EQ(acquire(dev, "k").status, 409);
  dev.advance_clock(1s);
  TestLease second = must_acquire(dev, "k");
  EXPECT_EQ(second.fencing_token, first.fencing_token + 1);
  EXPECT_NE(second.lease_id, first.lease_id);

  // The old holder learns that its lease ran out, not merely that someone else holds the key.
  HttpResponse late = release(dev, "k", first);
  EXPECT_EQ(late.status, 409);
  EXPECT_EQ(error_code(late), "lease_expired");
}

TEST(DevServerLease, IfNotExistsRefusesAKeyWithState) {
  DevServer dev;
  dev.seed_state("k", R"({"a":1})");
  HttpResponse response = acquire(dev, "k", {{"if_not_exists", true}});
  EXPECT_EQ(response.status, 409);
  EXPECT_EQ(error_code(response), "already_exists");
  EXPECT_EQ(acquire(dev, "fresh", {{"if_not_exists", true}}).status, 200);
}

TEST(DevServerLease, LongPollIsGrantedWhenTheHolderReleases) {
  DevServer dev;
  TestLease holder = must_acquire(dev, "k");
  auto waiter = std::async(std::launch::async, [&] {
    return acquire(dev, "k", {{"block_seconds", 60}});
  });
  ASSERT_TRUE(dev.wait_for_waiting(1));
  ASSERT_EQ(release(dev, "k", holder).status, 200);
  HttpResponse granted = waiter.get();
  EXPECT_EQ(granted.status, 200) << granted.body;
  EXPECT_EQ(body_of(granted)["fencing_token"], 2);
}

TEST(DevServerLease, LongPollWakesWhenTheClockPassesTheLeaseExpiry) {
  DevServer dev;
  must_acquire(dev, "k", {{"ttl_seconds", 10}});
  auto waiter = std::async(std::launch::async, [&] {
    return acquire(dev, "k", {{"block_seconds", 60}});
  });
  ASSERT_TRUE(dev.wait_for_waiting(1));
  dev.advance_clock(10s);
  EXPECT_EQ(waiter.get().status, 200);
}

TEST(DevServerLease, LongPollGivesUpWhenBlockSecondsPassOnTheClock) {
  DevServer dev;
  must_acquire(dev, "k", {{"ttl_seconds", 300}});
  auto waiter = std::async(std::launch::async, [&] {
    return acquire(dev, "k", {{"block_seconds", 5}});
  });
  ASSERT_TRUE(dev.wait_for_waiting(1));
  dev.advance_clock(4s);
  // Still waiting: a second advance finishes the wait.
  ASSERT_TRUE(dev.wait_for_waiting(1));
  dev.advance_clock(1s);
  HttpResponse refused = waiter.get();
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(error_code(refused), "lease_held");
}

TEST(DevServerLease, LongPollEndsCleanlyWhenTheServerStops) {
  auto dev = std::make_unique<DevServer>();
  must_acquire(*dev, "k");
  std::string url = dev->http_url();
  auto waiter = std::async(std::launch::async, [url] {
    json body = {{"key", "k"}, {"ttl_seconds", 5}, {"owner", "o"}, {"block_seconds", 3600}};
    return http_post(url + "/v1/acquire", body.dump());
  });
  ASSERT_TRUE(dev->wait_for_waiting(1));
  dev.reset();  // must not hang
  HttpResponse response = waiter.get();
  EXPECT_TRUE(response.curl_code != 0 || response.status == 503) << response.status;
}

TEST(DevServerLease, KeepaliveExtendsTheLease) {
  DevServer dev;
  TestLease lease = must_acquire(dev, "k", {{"ttl_seconds", 10}});
  dev.advance_clock(8s);
  json body = {{"namespace", "default"},
               {"key", "k"},
               {"lease_id", lease.lease_id},
               {"ttl_seconds", 10},
               {"fencing_token", 1}};
  HttpResponse kept = http_post(dev.http_url() + "/v1/keepalive", body.dump(),
                                {{"Content-Type", "application/json"}, {"X-Fencing-Token", "1"}});
  ASSERT_EQ(kept.status, 200) << kept.body;
  EXPECT_EQ(body_of(kept)["expires_at_unix"], dev.now_unix() + 10);
  dev.advance_clock(9s);  // 17 s after the grant: alive only thanks to the keepalive
  EXPECT_TRUE(dev.state("k").lease.has_value());
  EXPECT_EQ(update(dev, "k", lease, "{}").status, 200);
  dev.advance_clock(1s);
  EXPECT_EQ(error_code(update(dev, "k", lease, "{}")), "lease_expired");
}

TEST(DevServerLease, GuardedRequestsCheckLeaseFencingAndTransaction) {
  DevServer dev;
  TestLease lease = must_acquire(dev, "k");

  TestLease wrong_token = lease;
  wrong_token.fencing_token = 7;
  EXPECT_EQ(error_code(update(dev, "k", wrong_token, "{}")), "fencing_mismatch");

  TestLease wrong_txn = lease;
  wrong_txn.txn_id = "txn-other";
  EXPECT_EQ(error_code(update(dev, "k", wrong_txn, "{}")), "txn_mismatch");

  TestLease wrong_id = lease;
  wrong_id.lease_id = "feedface";
  HttpResponse mismatch = update(dev, "k", wrong_id, "{}");
  EXPECT_EQ(mismatch.status, 409);
  EXPECT_EQ(error_code(mismatch), "lease_mismatch");

  TestLease none = lease;
  none.lease_id.clear();
  EXPECT_EQ(error_code(update(dev, "k", none, "{}")), "lease_required");

  HttpResponse malformed =
      http_post(dev.http_url() + "/v1/update?key=k", "{}",
                {{"X-Lease-ID", lease.lease_id}, {"X-Fencing-Token", "12abc"}});
  EXPECT_EQ(malformed.status, 400);
  EXPECT_EQ(error_code(malformed), "invalid_fencing_token");

  HttpResponse no_token =
      http_post(dev.http_url() + "/v1/update?key=k", "{}", {{"X-Lease-ID", lease.lease_id}});
  EXPECT_EQ(error_code(no_token), "missing_fencing_token");

  // None of these staged anything.
  EXPECT_FALSE(dev.state("k").lease->has_staged_changes);
}

TEST(DevServerLease, DescribeReportsLeaseAndLatestState) {
  DevServer dev;
  EXPECT_EQ(http_get(dev.http_url() + "/v1/describe?key=nothing").status, 404);
  TestLease lease = must_acquire(dev, "k");
  ASSERT_EQ(update(dev, "k", lease, R"({"v":1})").status, 200);
  json during = body_of(http_get(dev.http_url() + "/v1/describe?key=k&namespace=default"));
  EXPECT_EQ(during["lease_id"], lease.lease_id);
  EXPECT_EQ(during["owner"], "tester");
  EXPECT_EQ(during["version"], 1);  // the staged write counts
  EXPECT_EQ(during["state_etag"], sha256_hex(R"({"v":1})"));
  ASSERT_EQ(release(dev, "k", lease).status, 200);
  json after = body_of(http_get(dev.http_url() + "/v1/describe?key=k"));
  EXPECT_FALSE(after.contains("lease_id"));
  EXPECT_EQ(after["version"], 1);
  EXPECT_EQ(after["state_etag"], dev.state("k").state_etag);
  EXPECT_EQ(after["updated_at_unix"], dev.now_unix());
  EXPECT_EQ(after["metadata"]["query_hidden"], false);
}

TEST(DevServerLease, MalformedAcquireBodiesAreRefusedWithAnErrorBody) {
  DevServer dev;
  struct Case {
    std::string body;
    std::string code;
  } cases[] = {
      {"not json", "invalid_json"},
      {"[1,2]", "invalid_json"},
      {R"({"ttl_seconds":5})", "missing_field"},
      {R"({"key":"k"})", "missing_field"},
      {R"({"key":"k","ttl_seconds":"5"})", "invalid_duration"},
      {R"({"key":"k","ttl_seconds":0})", "invalid_duration"},
      {R"({"key":7,"ttl_seconds":5})", "invalid_field"},
  };
  for (const auto &c : cases) {
    HttpResponse response = http_post(dev.http_url() + "/v1/acquire", c.body);
    EXPECT_EQ(response.status, 400) << c.body;
    EXPECT_EQ(error_code(response), c.code) << c.body;
    EXPECT_TRUE(body_of(response).contains("detail")) << c.body;
  }
}

}  // namespace
}  // namespace stavo::test
