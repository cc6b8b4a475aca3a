// Transaction decisions: unknown transactions, legal and illegal transitions, bad requests.
#include "admin_helpers.h"

namespace stavo::test {
namespace {

HttpResponse decide(const DevServer &dev, const std::string &txn_id, const std::string &state) {
  return post_json(dev, "/v1/txn/decide", {{"txn_id", txn_id}, {"state", state}});
}

TEST(TxnTransitions, UnknownTransactions) {
  DevServer dev;
  for (const char *path : {"/v1/txn/commit", "/v1/txn/rollback", "/v1/txn/replay"}) {
    HttpResponse response = post_json(dev, path, {{"txn_id", "nobody"}});
    EXPECT_EQ(response.status, 409) << path;
    EXPECT_EQ(error_code(response), "txn_unknown") << path;
    EXPECT_EQ(body_of(response)["txn_id"], "nobody");
  }
  // A decision makes a transaction known.
  EXPECT_EQ(decide(dev, "new", "prepare").status, 200);
  EXPECT_EQ(must_post(dev, "/v1/txn/commit", {{"txn_id", "new"}})["keys"], 0);
}

TEST(TxnTransitions, DecisionsAreFinal) {
  DevServer dev;
  ASSERT_EQ(decide(dev, "r", "rollback").status, 200);
  HttpResponse commit = post_json(dev, "/v1/txn/commit", {{"txn_id", "r"}});
  EXPECT_EQ(commit.status, 409);
  EXPECT_EQ(error_code(commit), "txn_already_rolled_back");
  EXPECT_EQ(body_of(commit)["state"], "rollback");
  EXPECT_EQ(error_code(decide(dev, "r", "prepare")), "txn_already_rolled_back");
  EXPECT_EQ(decide(dev, "r", "rollback").status, 200);  // repeating is harmless
  EXPECT_EQ(post_json(dev, "/v1/txn/rollback", {{"txn_id", "r"}}).status, 200);

  ASSERT_EQ(post_json(dev, "/v1/txn/decide", {{"txn_id", "c"}, {"state", "commit"}}).status, 200);
  EXPECT_EQ(error_code(post_json(dev, "/v1/txn/rollback", {{"txn_id", "c"}})),
            "txn_already_committed");
  EXPECT_EQ(error_code(decide(dev, "c", "prepare")), "txn_already_committed");
  EXPECT_EQ(post_json(dev, "/v1/txn/commit", {{"txn_id", "c"}}).status, 200);
  EXPECT_EQ(must_post(dev, "/v1/txn/replay", {{"txn_id", "c"}})["state"], "commit");
}

TEST(TxnTransitions, RolledBackDecisionKeepsStagedWritesFromCommitting) {
  DevServer dev;
  dev.seed_state("k", R"({"v":1})");
  TestLease lease = must_acquire(dev, "k", {{"txn_id", "t"}});
  ASSERT_EQ(update(dev, "k", lease, R"({"v":2})").status, 200);
  ASSERT_EQ(decide(dev, "t", "rollback").status, 200);
  EXPECT_EQ(post_json(dev, "/v1/txn/commit", {{"txn_id", "t"}}).status, 409);
  EXPECT_EQ(dev.state("k").state, R"({"v":1})");
  EXPECT_EQ(must_post(dev, "/v1/txn/rollback", {{"txn_id", "t"}})["keys"], 1);
  EXPECT_FALSE(dev.state("k").lease.has_value());
}

TEST(TxnTransitions, BadRequests) {
  DevServer dev;
  auto code = [&](const std::string &path, const json &body) {
    return error_code(post_json(dev, path, body));
  };
  EXPECT_EQ(code("/v1/txn/decide", {{"txn_id", "t"}}), "missing_field");
  EXPECT_EQ(code("/v1/txn/decide", {{"txn_id", "t"}, {"state", "maybe"}}), "invalid_state");
  EXPECT_EQ(code("/v1/txn/decide", {{"state", "commit"}}), "missing_field");
  EXPECT_EQ(code("/v1/txn/commit", {{"txn_id", "t"}, {"state", "rollback"}}), "invalid_state");
  EXPECT_EQ(code("/v1/txn/decide", {{"txn_id", "t"}, {"state", "prepare"}, {"participants", 1}}),
            "invalid_participants");
  EXPECT_EQ(code("/v1/txn/decide",
                 {{"txn_id", "t"}, {"state", "prepare"}, {"participants", {{{"key", 5}}}}}),
            "invalid_participants");
  EXPECT_EQ(code("/v1/txn/decide", {{"txn_id", "t"}, {"state", "prepare"}, {"tc_term", -1}}),
            "invalid_field");
  EXPECT_EQ(
      code("/v1/txn/decide", {{"txn_id", "t"}, {"state", "prepare"}, {"expires_at_unix", 1.5}}),
      "invalid_field");
  EXPECT_EQ(code("/v1/txn/replay", json::object()), "missing_field");
  // Nothing was recorded by the refused requests.
  EXPECT_EQ(error_code(post_json(dev, "/v1/txn/replay", {{"txn_id", "t"}})), "txn_unknown");
}

TEST(TxnTransitions, StaleCoordinatorTermIsRefused) {
  DevServer dev;
  json lease = must_post(dev, "/v1/tc/lease/acquire",
                         {{"candidate_id", "tc-1"},
                          {"candidate_endpoint", "http://tc1"},
                          {"term", 5},
                          {"ttl_ms", 10000}});
  ASSERT_EQ(lease["term"], 5);
  HttpResponse stale =
      post_json(dev, "/v1/txn/decide", {{"txn_id", "t"}, {"state", "commit"}, {"tc_term", 4}});
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(error_code(stale), "stale_tc_term");
  EXPECT_EQ(post_json(dev, "/v1/txn/decide", {{"txn_id", "t"}, {"state", "commit"}, {"tc_term", 5}})
                .status,
            200);
}

}  // namespace
}  // namespace stavo::test
