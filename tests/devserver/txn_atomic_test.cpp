// Transactions over leases: every key leased under one txn_id commits or rolls back together.
#include "admin_helpers.h"

namespace stavo::test {
namespace {

const char *const kKeys[] = {"acct-a", "acct-b", "acct-c"};

// Leases the three keys under `txn_id` and stages a new balance on each.
std::vector<TestLease> stage_three(DevServer &dev, const std::string &txn_id, int balance) {
  std::vector<TestLease> leases;
  for (const char *key : kKeys) {
    TestLease lease = must_acquire(dev, key, {{"txn_id", txn_id}});
    EXPECT_EQ(lease.txn_id, txn_id);
    EXPECT_EQ(update(dev, key, lease, json{{"balance", balance}}.dump()).status, 200);
    leases.push_back(lease);
  }
  return leases;
}

class TxnAtomic : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *key : kKeys)
      dev.seed_state(key, R"({"balance":100})");
  }
  int committed_balance(const char *key) {
    json state = json::parse(dev.state(key).state, nullptr, false);
    return state.is_object() ? state.value("balance", -1) : -1;
  }
  DevServer dev;
};

TEST_F(TxnAtomic, CommitAppliesEveryStagedWriteAndReleasesTheLeases) {
  stage_three(dev, "t-commit", 70);
  for (const char *key : kKeys) {
    EXPECT_EQ(committed_balance(key), 100) << "staged writes leaked before the commit";
    EXPECT_TRUE(dev.state(key).lease.has_value());
  }
  json replay = must_post(dev, "/v1/txn/replay", {{"txn_id", "t-commit"}});
  EXPECT_EQ(replay["state"], "pending");
  EXPECT_EQ(replay["keys"], 3);

  json answer = must_post(dev, "/v1/txn/commit", {{"txn_id", "t-commit"}, {"state", "commit"}});
  EXPECT_EQ(answer["txn_id"], "t-commit");
  EXPECT_EQ(answer["state"], "commit");
  EXPECT_EQ(answer["keys"], 3);
  for (const char *key : kKeys) {
    KeyState state = dev.state(key);
    EXPECT_EQ(committed_balance(key), 70) << key;
    EXPECT_EQ(state.version, 2) << key;
    EXPECT_FALSE(state.lease.has_value()) << key;
  }
  EXPECT_EQ(must_post(dev, "/v1/txn/replay", {{"txn_id", "t-commit"}})["state"], "commit");
  // The keys are free again.
  must_acquire(dev, kKeys[0]);
}

TEST_F(TxnAtomic, RollbackDiscardsEveryStagedWrite) {
  std::vector<TestLease> leases = stage_three(dev, "t-undo", 0);
  json answer = must_post(dev, "/v1/txn/rollback", {{"txn_id", "t-undo"}});
  EXPECT_EQ(answer["state"], "rollback");
  EXPECT_EQ(answer["keys"], 3);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(committed_balance(kKeys[i]), 100);
    EXPECT_EQ(dev.state(kKeys[i]).version, 1);
    EXPECT_FALSE(dev.state(kKeys[i]).lease.has_value());
    // The old lease is gone: a late write under it is refused.
    EXPECT_EQ(update(dev, kKeys[i], leases[i], R"({"balance":1})").status, 409);
  }
}

TEST_F(TxnAtomic, OnlyTheTransactionsOwnLeasesAreTouched) {
  dev.seed_state("other", R"({"balance":5})");
  TestLease plain = must_acquire(dev, "other");  // its own generated transaction
  ASSERT_EQ(update(dev, "other", plain, R"({"balance":6})").status, 200);
  stage_three(dev, "t-mine", 1);
  must_post(dev, "/v1/txn/commit", {{"txn_id", "t-mine"}});
  EXPECT_TRUE(dev.state("other").lease.has_value());
  EXPECT_EQ(json::parse(dev.state("other").state)["balance"], 5);
  ASSERT_EQ(release(dev, "other", plain).status, 200);
  EXPECT_EQ(json::parse(dev.state("other").state)["balance"], 6);
}

TEST_F(TxnAtomic, PreparedThenCommitted) {
  stage_three(dev, "t-2pc", 42);
  json participants = json::array();
  for (const char *key : kKeys)
    participants.push_back({{"namespace", "default"}, {"key", key}, {"backend_hash", nullptr}});
  json prepared = must_post(dev, "/v1/txn/decide",
                            {{"txn_id", "t-2pc"},
                             {"state", "prepare"},
                             {"participants", participants},
                             {"expires_at_unix", dev.now_unix() + 60},
                             {"tc_term", 3},
                             {"target_backend_hash", "bh-1"}});
  EXPECT_EQ(prepared["state"], "prepare");
  EXPECT_EQ(prepared["keys"], 0);  // a decision alone applies nothing
  json replay = must_post(dev, "/v1/txn/replay", {{"txn_id", "t-2pc"}});
  EXPECT_EQ(replay["state"], "prepare");
  EXPECT_EQ(replay["participants"], participants);
  EXPECT_EQ(replay["tc_term"], 3);
  EXPECT_EQ(replay["target_backend_hash"], "bh-1");
  EXPECT_EQ(committed_balance(kKeys[1]), 100);
  EXPECT_EQ(must_post(dev, "/v1/txn/commit", {{"txn_id", "t-2pc"}})["keys"], 3);
  for (const char *key : kKeys)
    EXPECT_EQ(committed_balance(key), 42);
}

TEST_F(TxnAtomic, CommitRefusedWhenAPreparedKeyLostItsLease) {
  TestLease short_lease = must_acquire(dev, kKeys[0], {{"txn_id", "t-lost"}, {"ttl_seconds", 5}});
  ASSERT_EQ(update(dev, kKeys[0], short_lease, R"({"balance":1})").status, 200);
  TestLease long_lease = must_acquire(dev, kKeys[1], {{"txn_id", "t-lost"}, {"ttl_seconds", 60}});
  ASSERT_EQ(update(dev, kKeys[1], long_lease, R"({"balance":1})").status, 200);
  must_post(dev, "/v1/txn/decide", {{"txn_id", "t-lost"}, {"state", "prepare"}});
  dev.advance_clock(std::chrono::seconds(6));
  HttpResponse commit = post_json(dev, "/v1/txn/commit", {{"txn_id", "t-lost"}});
  EXPECT_EQ(commit.status, 409);
  EXPECT_EQ(error_code(commit), "txn_participant_lost");
  EXPECT_EQ(committed_balance(kKeys[0]), 100);
  EXPECT_EQ(committed_balance(kKeys[1]), 100) << "a partial commit";
  EXPECT_FALSE(dev.state(kKeys[1]).lease.has_value());
  EXPECT_EQ(must_post(dev, "/v1/txn/replay", {{"txn_id", "t-lost"}})["state"], "rollback");
}

TEST_F(TxnAtomic, ExpiredPreparedTransactionRollsBack) {
  stage_three(dev, "t-late", 9);
  must_post(dev, "/v1/txn/decide",
            {{"txn_id", "t-late"}, {"state", "prepare"}, {"expires_at_unix", dev.now_unix() + 10}});
  dev.advance_clock(std::chrono::seconds(11));
  EXPECT_EQ(must_post(dev, "/v1/txn/replay", {{"txn_id", "t-late"}})["state"], "rollback");
  for (const char *key : kKeys) {
    EXPECT_EQ(committed_balance(key), 100);
    EXPECT_FALSE(dev.state(key).lease.has_value());
  }
  HttpResponse commit = post_json(dev, "/v1/txn/commit", {{"txn_id", "t-late"}});
  EXPECT_EQ(commit.status, 409);
  EXPECT_EQ(error_code(commit), "txn_already_rolled_back");
}

}  // namespace
}  // namespace stavo::test
