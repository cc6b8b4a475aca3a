// acquire, keepalive, release and describe against the dev server over HTTP/1.1: the exact
// JSON bodies (key order, omitted members), headers, answers copied into the responses, and
// the server's refusals turned into errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state_test_support.h"

namespace {

using engine_test::AcquireResult;
using engine_test::Client;
using engine_test::DescribeResult;
using engine_test::GrantedLease;
using engine_test::KeepaliveResult;
using engine_test::ReleaseResult;
using engine_test::text;
using stavo::test::DevServer;
using stavo::test::Fault;
using Names = std::vector<std::string>;

class LeaseOperations : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new DevServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    server_->clear_faults();
    client_.config.disable_mtls = 1;
    ASSERT_EQ(client_.open({server_->http_url()}), SV_OK) << client_.open_message;
    server_->clear_requests();
  }
  stavo::test::LoggedRequest last(const std::string &method, const std::string &path) {
    const auto requests = server_->requests_to(method, path);
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? stavo::test::LoggedRequest{} : requests.back();
  }

  static DevServer *server_;
  Client client_;
};

DevServer *LeaseOperations::server_ = nullptr;

TEST_F(LeaseOperations, AcquireSendsOnlyTheMembersThatApply) {
  sv_engine_acquire_request request{};
  request.key = "acq-min";
  request.owner = "worker-1";
  request.ttl_seconds = 30;
  AcquireResult minimal;
  ASSERT_EQ(sv_engine_client_acquire(client_.client, &request, &minimal.response, &minimal.error),
            SV_OK)
      << minimal.message();
  auto sent = last("POST", "/v1/acquire");
  // An empty namespace is the client's default.
  EXPECT_EQ(sent.body,
            "{\"namespace\":\"default\",\"key\":\"acq-min\",\"ttl_seconds\":30,"
            "\"owner\":\"worker-1\"}");
  EXPECT_EQ(engine_test::chosen_headers(sent), Names{"Content-Type"});
  EXPECT_EQ(sent.header("Content-Type").value_or(""), "application/json");

  EXPECT_EQ(text(minimal.response.namespace_name), "default");
  EXPECT_EQ(text(minimal.response.key), "acq-min");
  EXPECT_EQ(text(minimal.response.owner), "worker-1");
  EXPECT_FALSE(text(minimal.response.lease_id).empty());
  EXPECT_EQ(text(minimal.response.txn_id).rfind("txn-", 0), 0u);
  EXPECT_EQ(minimal.response.fencing_token, 1);
  EXPECT_EQ(minimal.response.expires_at_unix, server_->now_unix() + 30);
  EXPECT_EQ(minimal.response.state_etag, nullptr);  // the key has no state yet
  EXPECT_EQ(text(minimal.response.correlation_id), sent.correlation_id);
  EXPECT_EQ(minimal.error.code, 0);

  // Every optional member, in the order of the record; a null owner goes out as null.
  server_->clear_requests();
  request.namespace_name = "tenant a";
  request.key = "acq-full";
  request.owner = nullptr;
  request.block_seconds = 5;
  request.if_not_exists = 1;
  request.txn_id = "txn-chosen";
  AcquireResult full;
  ASSERT_EQ(sv_engine_client_acquire(client_.client, &request, &full.response, &full.error), SV_OK)
      << full.message();
  sent = last("POST", "/v1/acquire");
  EXPECT_EQ(sent.body,
            "{\"namespace\":\"tenant a\",\"key\":\"acq-full\",\"ttl_seconds\":30,\"owner\":null,"
            "\"block_seconds\":5,\"if_not_exists\":true,\"txn_id\":\"txn-chosen\"}");
  EXPECT_EQ(text(full.response.namespace_name), "tenant a");
  EXPECT_EQ(text(full.response.txn_id), "txn-chosen");
  EXPECT_TRUE(server_->state("acq-full", "tenant a").lease.has_value());
}

TEST_F(LeaseOperations, AcquireUsesTheClientDefaultNamespace) {
  Client other;
  other.config.disable_mtls = 1;
  other.config.default_namespace = "team-x";
  ASSERT_EQ(other.open({server_->http_url()}), SV_OK) << other.open_message;
  const GrantedLease lease = engine_test::take_lease(other.client, "acq-ns");
  EXPECT_EQ(lease.namespace_name, "team-x");
  EXPECT_NE(last("POST", "/v1/acquire").body.find("\"namespace\":\"team-x\""), std::string::npos);
  EXPECT_TRUE(server_->state("acq-ns", "team-x").lease.has_value());
  EXPECT_FALSE(server_->state("acq-ns").exists);
}

TEST_F(LeaseOperations, AcquireOfAHeldKeyCarriesTheServerError) {
  engine_test::take_lease(client_.client, "acq-held");
  sv_engine_acquire_request request{};
  request.key = "acq-held";
  request.ttl_seconds = 30;
  AcquireResult refused;
  // A stale record must be freed by the call, not leaked.
  refused.response.owner = sv_engine_strdup_local("left over");
  EXPECT_EQ(sv_engine_client_acquire(client_.client, &request, &refused.response, &refused.error),
            SV_ERR_SERVER);
  EXPECT_EQ(refused.error.code, SV_ERR_SERVER);
  EXPECT_EQ(refused.error.http_status, 409);
  EXPECT_EQ(text(refused.error.server_error_code), "lease_held");
  EXPECT_EQ(refused.error.retry_after_seconds, 30);
  EXPECT_EQ(text(refused.error.correlation_id), last("POST", "/v1/acquire").correlation_id);
  EXPECT_EQ(refused.response.owner, nullptr);
  EXPECT_EQ(refused.response.lease_id, nullptr);
}

TEST_F(LeaseOperations, KeepaliveSendsTheTokenInBodyAndHeader) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "keep-1");
  server_->advance_clock(std::chrono::seconds(10));
  server_->clear_requests();
  sv_engine_keepalive_request request{};
  request.key = "keep-1";
  request.lease_id = lease.lease_id.c_str();
  request.ttl_seconds = 60;
  request.fencing_token = lease.fencing_token;
  KeepaliveResult kept;
  ASSERT_EQ(sv_engine_client_keepalive(client_.client, &request, &kept.response, &kept.error),
            SV_OK)
      << kept.message();
  auto sent = last("POST", "/v1/keepalive");
  EXPECT_EQ(sent.body, "{\"namespace\":\"default\",\"key\":\"keep-1\",\"lease_id\":\"" +
                           lease.lease_id + "\",\"ttl_seconds\":60,\"fencing_token\":1}");
  EXPECT_EQ(engine_test::chosen_headers(sent), (Names{"Content-Type", "X-Fencing-Token"}));
  EXPECT_EQ(sent.header("X-Fencing-Token").value_or(""), "1");
  EXPECT_EQ(kept.response.expires_at_unix, server_->now_unix() + 60);
  EXPECT_EQ(kept.response.version, 0);
  EXPECT_EQ(text(kept.response.correlation_id), sent.correlation_id);

  // With a transaction id it comes last.
  server_->clear_requests();
  request.txn_id = lease.txn_id.c_str();
  KeepaliveResult with_txn;
  ASSERT_EQ(
      sv_engine_client_keepalive(client_.client, &request, &with_txn.response, &with_txn.error),
      SV_OK)
      << with_txn.message();
  sent = last("POST", "/v1/keepalive");
  EXPECT_EQ(sent.body,
            "{\"namespace\":\"default\",\"key\":\"keep-1\",\"lease_id\":\"" + lease.lease_id +
                "\",\"ttl_seconds\":60,\"fencing_token\":1,\"txn_id\":\"" + lease.txn_id + "\"}");
}

TEST_F(LeaseOperations, StaleFencingTokenIsRefused) {
  const GrantedLease first = engine_test::take_lease(client_.client, "keep-stale");
  // The first lease runs out and another holder takes the key with a newer token.
  server_->advance_clock(std::chrono::seconds(31));
  const GrantedLease second = engine_test::take_lease(client_.client, "keep-stale");
  ASSERT_EQ(second.fencing_token, first.fencing_token + 1);
  sv_engine_keepalive_request request{};
  request.key = "keep-stale";
  request.lease_id = second.lease_id.c_str();
  request.ttl_seconds = 30;
  request.fencing_token = first.fencing_token;
  KeepaliveResult stale;
  EXPECT_EQ(sv_engine_client_keepalive(client_.client, &request, &stale.response, &stale.error),
            SV_ERR_SERVER);
  EXPECT_EQ(stale.error.http_status, 409);
  EXPECT_EQ(text(stale.error.server_error_code), "fencing_mismatch");
  EXPECT_EQ(stale.response.expires_at_unix, 0);
  EXPECT_EQ(stale.response.correlation_id, nullptr);

  // The old lease id is reported as expired.
  request.lease_id = first.lease_id.c_str();
  request.fencing_token = first.fencing_token;
  KeepaliveResult expired;
  EXPECT_EQ(sv_engine_client_keepalive(client_.client, &request, &expired.response, &expired.error),
            SV_ERR_SERVER);
  EXPECT_EQ(text(expired.error.server_error_code), "lease_expired");
}

TEST_F(LeaseOperations, ReleaseSendsTheTokenOnlyInTheHeader) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "rel-1");
  server_->clear_requests();
  sv_engine_release_request request{};
  request.key = "rel-1";
  request.lease_id = lease.lease_id.c_str();
  request.fencing_token = lease.fencing_token;
  ReleaseResult released;
  ASSERT_EQ(sv_engine_client_release(client_.client, &request, &released.response, &released.error),
            SV_OK)
      << released.message();
  const auto sent = last("POST", "/v1/release");
  EXPECT_EQ(sent.body, "{\"namespace\":\"default\",\"key\":\"rel-1\",\"lease_id\":\"" +
                           lease.lease_id + "\"}");
  EXPECT_EQ(engine_test::chosen_headers(sent), (Names{"Content-Type", "X-Fencing-Token"}));
  EXPECT_EQ(sent.header("X-Fencing-Token").value_or(""), std::to_string(lease.fencing_token));
  EXPECT_EQ(released.response.released, 1);
  EXPECT_EQ(text(released.response.correlation_id), sent.correlation_id);
  EXPECT_FALSE(server_->state("rel-1").lease.has_value());
}

TEST_F(LeaseOperations, ReleaseWithRollbackAndTransaction) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "rel-2");
  sv_engine_update_request update{};
  engine_test::fill_credentials(update, lease);
  update.body = "{\"a\":1}";
  update.body_length = 7;
  update.content_type = "application/json";
  engine_test::UpdateResult updated;
  ASSERT_EQ(sv_engine_client_update(client_.client, &update, &updated.response, &updated.error),
            SV_OK)
      << updated.message();
  server_->clear_requests();

  sv_engine_release_request request{};
  engine_test::fill_credentials(request, lease);
  request.rollback = 1;
  ReleaseResult released;
  ASSERT_EQ(sv_engine_client_release(client_.client, &request, &released.response, &released.error),
            SV_OK)
      << released.message();
  EXPECT_EQ(last("POST", "/v1/release").body,
            "{\"namespace\":\"default\",\"key\":\"rel-2\",\"lease_id\":\"" + lease.lease_id +
                "\",\"txn_id\":\"" + lease.txn_id + "\",\"rollback\":true}");
  EXPECT_EQ(released.response.released, 1);
  EXPECT_FALSE(server_->state("rel-2").has_state);  // the staged write was dropped
}

TEST_F(LeaseOperations, ReleaseAnswered409KeepsReleasedAtZero) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "rel-409");
  sv_engine_release_request request{};
  engine_test::fill_credentials(request, lease);
  request.lease_id = "not-the-lease";
  ReleaseResult refused;
  EXPECT_EQ(sv_engine_client_release(client_.client, &request, &refused.response, &refused.error),
            SV_ERR_SERVER);
  EXPECT_EQ(refused.error.http_status, 409);
  EXPECT_EQ(text(refused.error.server_error_code), "lease_mismatch");
  EXPECT_EQ(text(refused.error.detail), "the key is held by another lease");
  EXPECT_EQ(text(refused.error.message), "stavo returned a non-success status");
  EXPECT_EQ(refused.response.released, 0);
  EXPECT_EQ(refused.response.correlation_id, nullptr);
  EXPECT_TRUE(server_->state("rel-409").lease.has_value());
}

TEST_F(LeaseOperations, DescribeReadsEveryMember) {
  const GrantedLease lease = engine_test::take_lease(client_.client, "desc a&b", "ns one");
  server_->clear_requests();
  sv_engine_describe_request request{};
  request.namespace_name = "ns one";
  request.key = "desc a&b";
  DescribeResult described;
  ASSERT_EQ(
      sv_engine_client_describe(client_.client, &request, &described.response, &described.error),
      SV_OK)
      << described.message();
  const auto sent = last("GET", "/v1/describe");
  EXPECT_EQ(sent.target, "/v1/describe?key=desc%20a%26b&namespace=ns%20one");
  EXPECT_EQ(sent.body_size, 0u);
  EXPECT_EQ(engine_test::chosen_headers(sent), Names{});
  EXPECT_EQ(text(described.response.namespace_name), "ns one");
  EXPECT_EQ(text(described.response.key), "desc a&b");
  EXPECT_EQ(text(described.response.owner), "tester");
  EXPECT_EQ(text(described.response.lease_id), lease.lease_id);
  EXPECT_EQ(described.response.expires_at_unix, server_->now_unix() + 30);
  EXPECT_EQ(described.response.has_metadata, 1);
  EXPECT_EQ(described.response.query_hidden, 0);
  EXPECT_EQ(text(described.response.correlation_id), sent.correlation_id);

  // An unknown key is the server's 404; the response stays empty.
  request.key = "never-seen";
  DescribeResult missing;
  EXPECT_EQ(sv_engine_client_describe(client_.client, &request, &missing.response, &missing.error),
            SV_ERR_SERVER);
  EXPECT_EQ(missing.error.http_status, 404);
  EXPECT_EQ(text(missing.error.server_error_code), "not_found");
  EXPECT_EQ(missing.response.has_metadata, 0);
  EXPECT_EQ(missing.response.key, nullptr);
}

TEST_F(LeaseOperations, ArgumentChecksComeBeforeAnyRequest) {
  sv_engine_acquire_request acquire{};
  AcquireResult acquired;
  EXPECT_EQ(sv_engine_client_acquire(nullptr, &acquire, &acquired.response, &acquired.error),
            SV_ERR_INVALID);
  EXPECT_EQ(acquired.message(), "client, request, and response are required");
  EXPECT_EQ(sv_engine_client_acquire(client_.client, &acquire, nullptr, nullptr), SV_ERR_INVALID);

  sv_engine_keepalive_request keepalive{};
  KeepaliveResult kept;
  EXPECT_EQ(sv_engine_client_keepalive(client_.client, nullptr, &kept.response, &kept.error),
            SV_ERR_INVALID);
  EXPECT_EQ(kept.message(), "client, request, and response are required");
  EXPECT_EQ(sv_engine_client_keepalive(client_.client, &keepalive, nullptr, &kept.error),
            SV_ERR_INVALID);

  ReleaseResult released;
  EXPECT_EQ(sv_engine_client_release(client_.client, nullptr, &released.response, &released.error),
            SV_ERR_INVALID);
  EXPECT_EQ(released.message(), "client, request, and response are required");

  sv_engine_describe_request describe{};
  DescribeResult described;
  EXPECT_EQ(
      sv_engine_client_describe(client_.client, &describe, &described.response, &described.error),
      SV_ERR_INVALID);
  EXPECT_EQ(described.message(), "describe.key is required");
  describe.key = "";
  EXPECT_EQ(sv_engine_client_describe(client_.client, &describe, &described.response, nullptr),
            SV_ERR_INVALID);
  EXPECT_TRUE(server_->requests().empty());
}

}  // namespace
