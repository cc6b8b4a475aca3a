// Answers the server would not give on its own, scripted through faults: undecodable and
// over-limit bodies, malformed numeric headers, success statuses other than 200, a passive
// first endpoint, a cut-off answer and an unreachable server. The responses must stay empty and
// nothing may leak.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state_test_support.h"

namespace {

using engine_test::AcquireResult;
using engine_test::Client;
using engine_test::DescribeResult;
using engine_test::GrantedLease;
using engine_test::text;
using engine_test::UpdateResult;
using stavo::test::DevServer;
using stavo::test::Fault;

class StateFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    server_->clear_requests();
    client_.config.disable_mtls = 1;
  }
  void open(std::vector<std::string> endpoints = {}, uint64_t limit = 0) {
    if (endpoints.empty()) endpoints.push_back(server_->http_url());
    client_.config.response_limit_bytes = limit;
    ASSERT_EQ(client_.open(endpoints), SV_OK) << client_.open_message;
  }
  int acquire(const char *key, AcquireResult &out) {
    sv_engine_acquire_request request{};
    request.key = key;
    request.owner = "faults";
    request.ttl_seconds = 30;
    return sv_engine_client_acquire(client_.client, &request, &out.response, &out.error);
  }
  static void expect_empty(const sv_engine_acquire_response &response) {
    EXPECT_EQ(response.key, nullptr);
    EXPECT_EQ(response.lease_id, nullptr);
    EXPECT_EQ(response.correlation_id, nullptr);
    EXPECT_EQ(response.fencing_token, 0);
  }

  static DevServer *server_;
  Client client_;
};

DevServer *StateFaults::server_ = nullptr;

TEST_F(StateFaults, UndecodableSuccessBodies) {
  open();
  const std::vector<std::string> bodies = {
      "not json",
      "{\"key\":\"k\",\"lease_id\":\"l\"",        // cut short
      "{\"key\":\"k\",\"fencing_token\":\"7\"}",  // a string where a number belongs
      "[1,2,3]",
  };
  for (const std::string &body : bodies) {
    SCOPED_TRACE(body);
    server_->add_fault(
        Fault::respond("POST", "/v1/acquire", 200, body, {{"Content-Type", "application/json"}}));
    AcquireResult result;
    EXPECT_EQ(acquire("bad-body", result), SV_ERR_PROTOCOL);
    EXPECT_EQ(result.error.code, SV_ERR_PROTOCOL);
    EXPECT_FALSE(result.message().empty());
    expect_empty(result.response);
  }
}

TEST_F(StateFaults, SuccessBodyOverTheLimit) {
  open({}, 64);
  const std::string body = "{\"key\":\"" + std::string(100, 'k') + "\"}";
  server_->add_fault(
      Fault::respond("POST", "/v1/acquire", 200, body, {{"Content-Type", "application/json"}}));
  AcquireResult result;
  EXPECT_EQ(acquire("limit", result), SV_ERR_PROTOCOL);
  EXPECT_EQ(result.message(), "typed JSON response exceeds configured byte limit");
  expect_empty(result.response);
}

TEST_F(StateFaults, MalformedNumericHeaderEndsTheCall) {
  open();
  server_->add_fault(Fault::with_headers("POST", "/v1/acquire", {{"X-Fencing-Token", "12abc"}}));
  AcquireResult result;
  EXPECT_EQ(acquire("bad-header", result), SV_ERR_PROTOCOL);
  EXPECT_EQ(result.message(), "response X-Fencing-Token header is invalid");
  expect_empty(result.response);
}

TEST_F(StateFaults, OnlyStatus200IsSuccess) {
  open();
  // A full, parseable answer with another 2xx status is still refused; what was parsed is freed.
  server_->add_fault(Fault::respond(
      "POST", "/v1/acquire", 201,
      "{\"namespace\":\"default\",\"key\":\"k\",\"lease_id\":\"l\",\"txn_id\":\"t\"}",
      {{"Content-Type", "application/json"}}));
  AcquireResult created;
  EXPECT_EQ(acquire("created", created), SV_ERR_SERVER);
  EXPECT_EQ(created.error.http_status, 201);
  EXPECT_EQ(created.message(), "stavo returned a non-success status");
  expect_empty(created.response);

  // An error answer without a body still names the status.
  server_->add_fault(Fault::respond("GET", "/v1/describe", 500));
  sv_engine_describe_request request{};
  request.key = "k";
  DescribeResult described;
  EXPECT_EQ(
      sv_engine_client_describe(client_.client, &request, &described.response, &described.error),
      SV_ERR_SERVER);
  EXPECT_EQ(described.error.http_status, 500);
  EXPECT_EQ(described.error.server_error_code, nullptr);
  EXPECT_EQ(described.response.has_metadata, 0);
}

TEST_F(StateFaults, PassiveFirstEndpointSendsTheSameBodyToTheNext) {
  // Both endpoints reach the same server: the first request meets the scripted 503.
  open({server_->http_url(), "127.0.0.1:" + std::to_string(server_->http_port())});
  const GrantedLease lease = engine_test::take_lease(client_.client, "passive-1");
  server_->clear_requests();
  server_->add_fault(Fault::error("POST", "/v1/mutate", 503, "node_passive", "not the leader"));
  const char *const expressions[] = {"/n=1"};
  sv_engine_mutate_request request{};
  engine_test::fill_credentials(request, lease);
  request.mutations = expressions;
  request.mutation_count = 1;
  UpdateResult mutated;
  ASSERT_EQ(sv_engine_client_mutate(client_.client, &request, &mutated.response, &mutated.error),
            SV_OK)
      << mutated.message();
  const auto sent = server_->requests_to("POST", "/v1/mutate");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(sent[0].faulted);
  EXPECT_EQ(sent[0].body, sent[1].body);
  EXPECT_EQ(sent[1].body, "{\"namespace\":\"default\",\"mutations\":[\"/n=1\"]}");
  EXPECT_EQ(sent[0].header("X-Fencing-Token"), sent[1].header("X-Fencing-Token"));
  EXPECT_EQ(text(mutated.response.correlation_id), sent[1].correlation_id);

  // Another 503 code is returned as it is, without asking the second endpoint.
  server_->clear_requests();
  server_->add_fault(Fault::error("POST", "/v1/mutate", 503, "overloaded", "busy"));
  UpdateResult busy;
  EXPECT_EQ(sv_engine_client_mutate(client_.client, &request, &busy.response, &busy.error),
            SV_ERR_SERVER);
  EXPECT_EQ(text(busy.error.server_error_code), "overloaded");
  EXPECT_EQ(text(busy.error.detail), "busy");
  EXPECT_EQ(server_->requests_to("POST", "/v1/mutate").size(), 1u);
}

TEST_F(StateFaults, CutOffAnswerAndUnreachableServer) {
  open();
  server_->add_fault(Fault::cut_after("GET", "/v1/describe", 5));
  const GrantedLease lease = engine_test::take_lease(client_.client, "cut-1");
  sv_engine_describe_request request{};
  request.key = lease.key.c_str();
  DescribeResult cut;
  const int status = sv_engine_client_describe(client_.client, &request, &cut.response, &cut.error);
  EXPECT_TRUE(status == SV_ERR_TRANSPORT || status == SV_ERR_PROTOCOL) << status;
  EXPECT_EQ(cut.error.code, status);
  EXPECT_EQ(cut.response.key, nullptr);

  Client nowhere;
  nowhere.config.disable_mtls = 1;
  ASSERT_EQ(nowhere.open({"127.0.0.1:" + std::to_string(engine_test::refused_port())}), SV_OK);
  sv_engine_release_request release{};
  engine_test::fill_credentials(release, lease);
  engine_test::ReleaseResult released;
  EXPECT_EQ(sv_engine_client_release(nowhere.client, &release, &released.response, &released.error),
            SV_ERR_TRANSPORT);
  EXPECT_EQ(released.response.released, 0);
  EXPECT_FALSE(released.message().empty());
}

}  // namespace
