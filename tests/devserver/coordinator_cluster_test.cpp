// Coordinator cluster membership (expiry on the virtual clock) and resource managers.
#include "admin_helpers.h"

namespace stavo::test {
namespace {

json announce(const DevServer &dev, const std::string &endpoint) {
  return must_post(dev, "/v1/tc/cluster/announce", {{"self_endpoint", endpoint}});
}

TEST(CoordinatorCluster, MembersExpireThirtySecondsAfterTheirLastAnnounce) {
  DevServer dev;
  int64_t start = dev.now_unix();
  json first = announce(dev, "https://b:7443");
  EXPECT_EQ(first["endpoints"], json({"https://b:7443"}));
  EXPECT_EQ(first["updated_at_unix"], start);
  EXPECT_EQ(first["expires_at_unix"], start + 30);
  dev.advance_clock(std::chrono::seconds(10));
  json second = announce(dev, "https://a:7443");
  EXPECT_EQ(second["endpoints"], json({"https://a:7443", "https://b:7443"}));
  EXPECT_EQ(second["expires_at_unix"], start + 40);

  dev.advance_clock(std::chrono::seconds(25));  // b ran out at start + 30
  json list = must_get(dev, "/v1/tc/cluster/list");
  EXPECT_EQ(list["endpoints"], json({"https://a:7443"}));
  EXPECT_EQ(list["updated_at_unix"], start + 30);
  EXPECT_EQ(list["expires_at_unix"], start + 40);

  announce(dev, "https://a:7443");  // renewed at start + 35
  dev.advance_clock(std::chrono::seconds(29));
  EXPECT_EQ(must_get(dev, "/v1/tc/cluster/list")["endpoints"].size(), 1u);
  dev.advance_clock(std::chrono::seconds(1));
  json empty = must_get(dev, "/v1/tc/cluster/list");
  EXPECT_EQ(empty["endpoints"], json::array());
  EXPECT_EQ(empty["expires_at_unix"], 0);
}

TEST(CoordinatorCluster, Leave) {
  DevServer dev;
  announce(dev, "https://a:7443");
  announce(dev, dev.http_url());
  // An empty body: the node the request was sent to leaves.
  HttpResponse own = http_post(dev.http_url() + "/v1/tc/cluster/leave", "");
  ASSERT_EQ(own.status, 200) << own.body;
  EXPECT_EQ(body_of(own)["endpoints"], json({"https://a:7443"}));
  EXPECT_EQ(body_of(own)["left"], true);
  json named = must_post(dev, "/v1/tc/cluster/leave", {{"self_endpoint", "https://a:7443"}});
  EXPECT_EQ(named["endpoints"], json::array());
  EXPECT_EQ(named["left"], true);
  EXPECT_EQ(must_post(dev, "/v1/tc/cluster/leave", {{"self_endpoint", "https://a:7443"}})["left"],
            false);
  EXPECT_EQ(http_post(dev.http_url() + "/v1/tc/cluster/leave", "[1]").status, 400);
  EXPECT_EQ(error_code(post_json(dev, "/v1/tc/cluster/announce", json::object())), "missing_field");
}

TEST(ResourceManagers, RegisterListUnregister) {
  DevServer dev;
  for (const char *backend : {"bh-2", "bh-1"}) {
    for (int i = 1; i <= 3; ++i) {
      json answer = must_post(
          dev, "/v1/tc/rm/register",
          {{"backend_hash", backend}, {"endpoint", std::string("https://rm") + std::to_string(i)}});
      EXPECT_EQ(answer["backend_hash"], backend);
      EXPECT_EQ(answer["endpoints"].size(), static_cast<size_t>(i));
      EXPECT_EQ(answer["updated_at_unix"], dev.now_unix());
    }
    dev.advance_clock(std::chrono::seconds(5));
  }
  json again =
      must_post(dev, "/v1/tc/rm/register", {{"backend_hash", "bh-1"}, {"endpoint", "https://rm2"}});
  EXPECT_EQ(again["endpoints"], json({"https://rm1", "https://rm2", "https://rm3"}));

  json list = must_get(dev, "/v1/tc/rm/list");
  ASSERT_EQ(list["backends"].size(), 2u);
  EXPECT_EQ(list["backends"][0]["backend_hash"], "bh-1");
  EXPECT_EQ(list["backends"][1]["backend_hash"], "bh-2");
  EXPECT_EQ(list["backends"][1]["endpoints"], json({"https://rm1", "https://rm2", "https://rm3"}));
  EXPECT_EQ(list["backends"][1]["updated_at_unix"], dev.now_unix() - 10);
  EXPECT_EQ(list["updated_at_unix"], dev.now_unix());

  json less = must_post(dev, "/v1/tc/rm/unregister",
                        {{"backend_hash", "bh-2"}, {"endpoint", "https://rm2"}});
  EXPECT_EQ(less["endpoints"], json({"https://rm1", "https://rm3"}));
  for (const char *endpoint : {"https://rm1", "https://rm3"})
    must_post(dev, "/v1/tc/rm/unregister", {{"backend_hash", "bh-2"}, {"endpoint", endpoint}});
  list = must_get(dev, "/v1/tc/rm/list");
  ASSERT_EQ(list["backends"].size(), 1u);
  EXPECT_EQ(list["backends"][0]["backend_hash"], "bh-1");
  json unknown =
      must_post(dev, "/v1/tc/rm/unregister", {{"backend_hash", "bh-9"}, {"endpoint", "x"}});
  EXPECT_EQ(unknown["endpoints"], json::array());
  EXPECT_EQ(error_code(post_json(dev, "/v1/tc/rm/register", {{"backend_hash", "bh-1"}})),
            "missing_field");
}

}  // namespace
}  // namespace stavo::test
