// Transactions through the public API against the dev server: writes staged under a
// transaction id are prepared, replayed, then committed or rolled back across their keys; the
// server's refusals and a failed participant copy come back with their codes and messages.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "lease_test_support.h"

namespace {

using api_test::CountingAllocator;
using api_test::Error;
using lease_test::ClientConfig;
using lease_test::ClientPtr;
using lease_test::text_or_empty;
using stavo::test::DevServer;

class AdminTxn : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientConfig config(server_, false);
    config.config.allocator = allocator_.allocator;
    sv_client *raw = nullptr;
    ASSERT_EQ(sv_client_open(&config.config, &raw, nullptr), SV_OK);
    client_.reset(raw);
  }
  // Leases key under txn_id and stages a write of quantity; the handle is closed afterwards
  // (the transaction's decision ends the lease).
  void stage(const char *key, const char *txn_id, int64_t quantity) {
    Error error;
    sv_acquire_req req = lease_test::acquire_request(key);
    req.txn_id = txn_id;
    sv_lease *lease = nullptr;
    ASSERT_EQ(sv_acquire(client_.get(), &req, &lease, error.get()), SV_OK) << error.message();
    lease_test::Order order{1, nullptr, quantity};
    EXPECT_EQ(sv_lease_save(lease, &lease_test::order_map, &order, nullptr, error.get()), SV_OK)
        << error.message();
    sv_lease_close(lease);
  }
  CountingAllocator allocator_;
  DevServer server_;
  ClientPtr client_;
};

TEST_F(AdminTxn, PrepareReplayAndCommitApplyTheStagedWritesOfEveryKey) {
  stage("txn/a", "txn-1", 5);
  stage("txn/b", "txn-1", 6);
  EXPECT_FALSE(server_.state("txn/a").has_state);  // staged only

  const sv_txn_participant participants[] = {{"default", "txn/a", "backend-1"},
                                             {"default", "txn/b", nullptr}};
  sv_txn_decision_req req;
  sv_txn_decision_req_init(&req);
  req.txn_id = "txn-1";
  req.participants = participants;
  req.participant_count = 2;
  req.tc_term = 3;
  req.expires_at_unix = server_.now_unix() + 600;
  req.target_backend_hash = "backend-1";
  Error error;
  sv_txn_decision_res prepared{};
  ASSERT_EQ(sv_txn_prepare(client_.get(), &req, &prepared, error.get()), SV_OK) << error.message();
  EXPECT_EQ(text_or_empty(prepared.txn_id), "txn-1");
  EXPECT_EQ(text_or_empty(prepared.state), "prepare");
  EXPECT_EQ(prepared.has_key_count, 1);
  EXPECT_EQ(prepared.key_count, 0);  // a prepare only records the decision
  auto sent = nlohmann::json::parse(server_.requests_to("POST", "/v1/txn/decide").back().body);
  nlohmann::json expected = nlohmann::json::parse(R"({"txn_id":"txn-1","state":"prepare",
      "participants":[{"namespace":"default","key":"txn/a","backend_hash":"backend-1"},
      {"namespace":"default","key":"txn/b","backend_hash":null}],"tc_term":3,
      "target_backend_hash":"backend-1"})");
  expected["expires_at_unix"] = req.expires_at_unix;
  EXPECT_EQ(sent, expected);

  sv_txn_replay_req replay_req;
  sv_txn_replay_req_init(&replay_req);
  replay_req.txn_id = "txn-1";
  sv_txn_replay_res replayed{};
  ASSERT_EQ(sv_txn_replay(client_.get(), &replay_req, &replayed, error.get()), SV_OK)
      << error.message();
  EXPECT_EQ(text_or_empty(replayed.state), "prepare");
  EXPECT_FALSE(text_or_empty(replayed.correlation_id).empty());
  // The replay gives back the whole recorded decision.
  ASSERT_EQ(replayed.participant_count, 2u);
  EXPECT_EQ(text_or_empty(replayed.participants[0].namespace_name), "default");
  EXPECT_EQ(text_or_empty(replayed.participants[0].key), "txn/a");
  EXPECT_EQ(text_or_empty(replayed.participants[0].backend_hash), "backend-1");
  EXPECT_EQ(text_or_empty(replayed.participants[1].key), "txn/b");
  EXPECT_EQ(replayed.participants[1].backend_hash, nullptr);
  EXPECT_EQ(replayed.expires_at_unix, req.expires_at_unix);
  EXPECT_EQ(replayed.tc_term, 3);
  EXPECT_EQ(text_or_empty(replayed.target_backend_hash), "backend-1");

  sv_txn_decision_req_init(&req);
  req.txn_id = "txn-1";
  sv_txn_decision_res committed{};
  ASSERT_EQ(sv_txn_commit(client_.get(), &req, &committed, error.get()), SV_OK) << error.message();
  EXPECT_EQ(text_or_empty(committed.state), "commit");
  EXPECT_EQ(committed.has_key_count, 1);
  EXPECT_EQ(committed.key_count, 2);
  EXPECT_EQ(nlohmann::json::parse(server_.requests_to("POST", "/v1/txn/commit").back().body),
            nlohmann::json::parse(R"({"txn_id":"txn-1","state":"commit"})"));
  EXPECT_EQ(nlohmann::json::parse(server_.state("txn/a").state)["quantity"], 5);
  EXPECT_EQ(nlohmann::json::parse(server_.state("txn/b").state)["quantity"], 6);
  EXPECT_FALSE(server_.state("txn/b").lease.has_value());

  // A decided transaction cannot change its mind.
  sv_txn_decision_res refused{};
  EXPECT_EQ(sv_txn_rollback(client_.get(), &req, &refused, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 409);
  EXPECT_EQ(text_or_empty(error.record.server_error_code), "txn_already_committed");
  EXPECT_EQ(refused.state, nullptr);

  sv_txn_decision_res_cleanup(&prepared);
  sv_txn_decision_res_cleanup(&committed);
  sv_txn_replay_res_cleanup(&replayed);
  EXPECT_EQ(replayed.state, nullptr);
  EXPECT_EQ(replayed.participants, nullptr);
  EXPECT_EQ(replayed.participant_count, 0u);
}

TEST_F(AdminTxn, RollbackDiscardsTheStagedWrites) {
  stage("txn/c", "txn-2", 9);
  sv_txn_decision_req req;
  sv_txn_decision_req_init(&req);
  req.txn_id = "txn-2";
  Error error;
  sv_txn_decision_res res{};
  ASSERT_EQ(sv_txn_rollback(client_.get(), &req, &res, error.get()), SV_OK) << error.message();
  EXPECT_EQ(text_or_empty(res.state), "rollback");
  EXPECT_EQ(res.key_count, 1);
  EXPECT_FALSE(server_.state("txn/c").has_state);
  EXPECT_FALSE(server_.state("txn/c").lease.has_value());
  sv_txn_decision_res_cleanup(&res);
}

TEST_F(AdminTxn, RefusalsAndBadRequestsComeBackWithTheirCodes) {
  Error error;
  sv_txn_decision_req req;
  sv_txn_decision_req_init(&req);
  req.txn_id = "txn-unknown";
  sv_txn_decision_res res{};
  EXPECT_EQ(sv_txn_commit(client_.get(), &req, &res, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(text_or_empty(error.record.server_error_code), "txn_unknown");
  sv_txn_replay_req replay;
  sv_txn_replay_req_init(&replay);
  replay.txn_id = "txn-unknown";
  sv_txn_replay_res replayed{};
  EXPECT_EQ(sv_txn_replay(client_.get(), &replay, &replayed, error.get()), SV_ERR_SERVER);
  EXPECT_EQ(error.record.http_status, 409);

  // Argument checks, and the engine's own checks, before any request.
  server_.clear_requests();
  replay.txn_id = nullptr;
  EXPECT_EQ(sv_txn_replay(client_.get(), &replay, &replayed, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_replay requires txn_id");
  EXPECT_EQ(sv_txn_replay(client_.get(), nullptr, &replayed, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_replay requires self, req, and out");
  EXPECT_EQ(sv_txn_prepare(client_.get(), &req, nullptr, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_prepare requires self, req, and out");
  EXPECT_EQ(sv_txn_commit(client_.get(), nullptr, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_commit requires self, req, and out");
  EXPECT_EQ(sv_txn_rollback(client_.get(), nullptr, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_rollback requires self, req, and out");
  // Every decision names its transaction.
  req.txn_id = "";
  EXPECT_EQ(sv_txn_prepare(client_.get(), &req, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_prepare requires txn_id");
  req.txn_id = nullptr;
  EXPECT_EQ(sv_txn_commit(client_.get(), &req, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_commit requires txn_id");
  EXPECT_EQ(sv_txn_rollback(client_.get(), &req, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn_rollback requires txn_id");
  req.txn_id = "txn-unknown";
  req.participant_count = 2;  // and no array
  EXPECT_EQ(sv_txn_prepare(client_.get(), &req, &res, error.get()), SV_ERR_INVALID);
  EXPECT_EQ(error.message(), "txn decision participants require a non-null array");
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(AdminTxn, AParticipantCopyThatCannotBeAllocatedSendsNothing) {
  const sv_txn_participant participant{"default", "txn/x", "b"};
  sv_txn_decision_req req;
  sv_txn_decision_req_init(&req);
  req.txn_id = "txn-3";
  req.participants = &participant;
  req.participant_count = 1;
  allocator_.fail_at = allocator_.allocations + 1;
  Error error;
  sv_txn_decision_res res{};
  EXPECT_EQ(sv_txn_prepare(client_.get(), &req, &res, error.get()), SV_ERR_NOMEM);
  EXPECT_EQ(error.message(), "failed to allocate txn participants");
  EXPECT_TRUE(server_.requests_to("POST", "/v1/txn/decide").empty());

  // A count whose byte size overflows is refused the same way.
  req.participant_count = SIZE_MAX / 2;
  EXPECT_EQ(sv_txn_prepare(client_.get(), &req, &res, error.get()), SV_ERR_NOMEM);
  EXPECT_EQ(error.message(), "failed to allocate txn participants");
  EXPECT_TRUE(server_.requests_to("POST", "/v1/txn/decide").empty());
}

}  // namespace
