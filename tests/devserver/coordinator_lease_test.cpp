// The coordinator's leader lease: terms, renewal, expiry on the virtual clock, release, and the
// duration rule of ttl_ms.
#include "admin_helpers.h"

namespace stavo::test {
namespace {

json acquire_tc(const DevServer &dev, const std::string &candidate, int64_t term,
                int64_t ttl_ms = 10000) {
  return must_post(dev, "/v1/tc/lease/acquire",
                   {{"candidate_id", candidate},
                    {"candidate_endpoint", "https://" + candidate + ":7443"},
                    {"term", term},
                    {"ttl_ms", ttl_ms}});
}

json renew_tc(const DevServer &dev, const std::string &leader, int64_t term, int64_t ttl_ms) {
  return must_post(dev, "/v1/tc/lease/renew",
                   {{"leader_id", leader}, {"term", term}, {"ttl_ms", ttl_ms}});
}

TEST(CoordinatorLease, TermsAndExpiry) {
  DevServer dev;
  json none = must_get(dev, "/v1/tc/leader");
  EXPECT_EQ(none,
            json({{"leader_id", ""}, {"leader_endpoint", ""}, {"term", 0}, {"expires_at", 0}}));

  json first = acquire_tc(dev, "n1", 1);
  EXPECT_EQ(first["granted"], true);
  EXPECT_EQ(first["leader_id"], "n1");
  EXPECT_EQ(first["leader_endpoint"], "https://n1:7443");
  EXPECT_EQ(first["term"], 1);
  EXPECT_EQ(first["expires_at"], dev.now_ms() + 10000);

  json rival = acquire_tc(dev, "n2", 7);  // a live leader holds the lease, whatever the term
  EXPECT_EQ(rival["granted"], false);
  EXPECT_EQ(rival["leader_id"], "n1");
  EXPECT_EQ(rival["term"], 1);

  dev.advance_clock(std::chrono::seconds(8));
  json renewed = renew_tc(dev, "n1", 1, 10000);
  EXPECT_EQ(renewed["granted"], true);
  EXPECT_EQ(renewed["expires_at"], dev.now_ms() + 10000);
  EXPECT_EQ(renew_tc(dev, "n2", 1, 10000)["granted"], false);  // not the leader
  EXPECT_EQ(renew_tc(dev, "n1", 2, 10000)["granted"], false);  // not its term

  dev.advance_clock(std::chrono::seconds(10));  // expired
  json leader = must_get(dev, "/v1/tc/leader");
  EXPECT_EQ(leader["leader_id"], "");
  EXPECT_EQ(leader["term"], 1);
  EXPECT_EQ(renew_tc(dev, "n1", 1, 10000)["granted"], false);  // too late
  EXPECT_EQ(acquire_tc(dev, "n3", 0)["granted"], false);       // an older term

  json next = acquire_tc(dev, "n2", 1);  // same term as before: a new term starts
  EXPECT_EQ(next["granted"], true);
  EXPECT_EQ(next["term"], 2);
  json current = must_get(dev, "/v1/tc/leader");
  EXPECT_EQ(current["leader_id"], "n2");
  EXPECT_EQ(current["term"], 2);
  EXPECT_FALSE(current.contains("granted"));

  // Asking again as the leader with its term keeps the term and extends the lease.
  dev.advance_clock(std::chrono::seconds(1));
  json again = acquire_tc(dev, "n2", 2);
  EXPECT_EQ(again["granted"], true);
  EXPECT_EQ(again["term"], 2);
  EXPECT_EQ(again["expires_at"], dev.now_ms() + 10000);
}

TEST(CoordinatorLease, Release) {
  DevServer dev;
  acquire_tc(dev, "n1", 4);
  EXPECT_EQ(must_post(dev, "/v1/tc/lease/release", {{"leader_id", "n2"}, {"term", 4}})["released"],
            false);
  EXPECT_EQ(must_post(dev, "/v1/tc/lease/release", {{"leader_id", "n1"}, {"term", 3}})["released"],
            false);
  EXPECT_EQ(must_post(dev, "/v1/tc/lease/release", {{"leader_id", "n1"}, {"term", 4}})["released"],
            true);
  EXPECT_EQ(must_get(dev, "/v1/tc/leader")["leader_id"], "");
  EXPECT_EQ(must_post(dev, "/v1/tc/lease/release", {{"leader_id", "n1"}, {"term", 4}})["released"],
            false);
  json next = acquire_tc(dev, "n2", 4);
  EXPECT_EQ(next["granted"], true);
  EXPECT_EQ(next["term"], 5);
}

TEST(CoordinatorLease, DurationsAreChecked) {
  DevServer dev;
  const json bad[] = {-1, 31536000001LL, 1.5, "100", true, 18446744073709551615ULL};
  for (const auto &ttl : bad) {
    HttpResponse response = post_json(dev, "/v1/tc/lease/acquire",
                                      {{"candidate_id", "n1"}, {"term", 1}, {"ttl_ms", ttl}});
    EXPECT_EQ(response.status, 400) << ttl.dump();
    EXPECT_EQ(error_code(response), "invalid_duration") << ttl.dump();
    EXPECT_NE(body_of(response).value("detail", "").find("ttl_ms"), std::string::npos);
    EXPECT_EQ(body_of(response)["field"], "ttl_ms");
  }
  EXPECT_EQ(acquire_tc(dev, "n1", 1, 31536000000LL)["expires_at"], dev.now_ms() + 31536000000LL);
  HttpResponse renew =
      post_json(dev, "/v1/tc/lease/renew", {{"leader_id", "n1"}, {"term", 1}, {"ttl_ms", -5}});
  EXPECT_EQ(error_code(renew), "invalid_duration");
  EXPECT_EQ(error_code(post_json(dev, "/v1/tc/lease/acquire",
                                 {{"candidate_id", "n1"}, {"term", -1}, {"ttl_ms", 1}})),
            "invalid_field");
  EXPECT_EQ(error_code(post_json(dev, "/v1/tc/lease/acquire", {{"term", 1}, {"ttl_ms", 1}})),
            "missing_field");
}

}  // namespace
}  // namespace stavo::test
